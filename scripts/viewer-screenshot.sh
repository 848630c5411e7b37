#!/usr/bin/env bash
# Takes the documentation's picture (docs/) of sorvik7-view: writes a day of simulated wind as
# the logger writes its day file (4 records a second, a tenth of the day in
# debug mode; sorvik7-bench-view --generate), opens it in the viewer on a
# virtual display and photographs the window.
#
#   scripts/viewer-screenshot.sh          (after a build in ./build)
# Writes docs/screenshot-viewer.png.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${SORVIK7_BUILD_DIR:-build}

if [ "${1:-}" != --inside ]; then
    scripts/install-deps.sh --screenshots
    [ -x "$build/viewer/sorvik7-view" ] && [ -x "$build/bench/sorvik7-bench-view" ] ||
        { echo "viewer-screenshot: build first (cmake -S . -B $build && cmake --build $build)" >&2; exit 1; }
    mkdir -p docs
    exec xvfb-run -a -s "-screen 0 1280x800x24 -dpi 96" "$0" --inside
fi

# From here on inside the virtual display.
tmp=$(mktemp -d)
viewer=
cleanup() {
    [ -n "$viewer" ] && kill "$viewer" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT

xsetroot -solid '#3a6ea5' 2>/dev/null || true
# The title names the station after the file's folder.
mkdir "$tmp/mast-a"
"$build/bench/sorvik7-bench-view" --generate "$tmp/mast-a" --days 1 --start 2003-05-21 >/dev/null

TZ=Europe/Berlin "$build/viewer/sorvik7-view" --size 1200x760 "$tmp/mast-a/20030521.SVK" &
viewer=$!
window=$(xdotool search --sync --name '^SORVIK-7 Viewer' | head -n1)
# The day reads in well under a second; give the charts time to draw.
sleep 3
import -window "$window" docs/screenshot-viewer.png
echo "wrote docs/screenshot-viewer.png"
