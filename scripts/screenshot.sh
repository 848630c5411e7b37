#!/usr/bin/env bash
# Takes the documentation's pictures (docs/) of the two windows: runs SORVIK-7 on a virtual
# display with the simulated sensor as COM1, opens the settings dialog and
# photographs it, closes it, presses START and photographs the main window
# once records are being written.
#
#   scripts/screenshot.sh          (after a build in ./build)
# Writes docs/screenshot-main.png and docs/screenshot-setting.png.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${SORVIK7_BUILD_DIR:-build}

if [ "${1:-}" != --inside ]; then
    scripts/install-deps.sh --screenshots
    [ -x "$build/ui/sorvik7" ] && [ -x "$build/tools/sorvik7-sensor" ] ||
        { echo "screenshot: build first (cmake -S . -B $build && cmake --build $build)" >&2; exit 1; }
    mkdir -p docs
    exec xvfb-run -a -s "-screen 0 800x480x24 -dpi 96" "$0" --inside
fi

# From here on inside the virtual display.
tmp=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT

# A plain background, so the pictures show only the windows.
xsetroot -solid '#3a6ea5' 2>/dev/null || true

"$build/tools/sorvik7-sensor" --rate 8 --quiet >"$tmp/sensor.out" &
pids+=($!)
for _ in $(seq 50); do grep -q '^SORVIK7_COM1=' "$tmp/sensor.out" && break; sleep 0.1; done
export SORVIK7_COM1=$(sed -n 's/^SORVIK7_COM1=//p' "$tmp/sensor.out")

"$build/ui/sorvik7" &
pids+=($!)
main=$(xdotool search --sync --name '^SORVIK-7$' | head -n1)
sleep 1

# Points inside the buttons, in pixels at 96 dpi (15 twips per pixel).
click() { xdotool mousemove --window "$1" "$2" "$3" click 1; sleep 0.5; }

click "$main" 348 76                        # Setting
setting=$(xdotool search --sync --name '^Setting$' | head -n1)
sleep 1
import -window "$setting" docs/screenshot-setting.png
click "$setting" 348 148                    # Close

click "$main" 156 76                        # START
# Four messages to sync and nine to fill the window, at eight a second.
sleep 4
import -window "$main" docs/screenshot-main.png
click "$main" 236 76                        # STOP
echo "wrote docs/screenshot-main.png docs/screenshot-setting.png"
