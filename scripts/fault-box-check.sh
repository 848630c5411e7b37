#!/usr/bin/env bash
# Checks the window's file fault box as an operator meets it, on a virtual
# display with a window manager: a FIFO stands under today's day file name,
# START is clicked, the simulated sensor sends a burst of messages, then a
# stray Return is typed and STOP is clicked as an operator might. A run
# counts when the box is still on the screen afterwards.
#
#   scripts/fault-box-check.sh [RUNS] [WM] [RATE] [COUNT]
#     RUNS   how many runs (default 10)
#     WM     the window manager to run (default evilwm; any on the PATH)
#     RATE   messages a second, or "line" for back to back (default 10)
#     COUNT  messages sent (default 40)
# Prints one line per run and "fault box shown in X of RUNS runs"; exits 1
# when a run lost the box.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${SORVIK7_BUILD_DIR:-build}
runs=${1:-10} wm=${2:-evilwm} rate=${3:-10} count=${4:-40}

if [ "${5:-}" != --inside ]; then
    [ -x "$build/ui/sorvik7" ] && [ -x "$build/tools/sorvik7-sensor" ] ||
        { echo "fault-box-check: build first (cmake -S . -B $build && cmake --build $build)" >&2; exit 1; }
    command -v "$wm" >/dev/null || { echo "fault-box-check: no window manager '$wm'" >&2; exit 1; }
    exec xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" "$0" "$runs" "$wm" "$rate" "$count" --inside
fi

"$wm" >/dev/null 2>&1 &
wmpid=$!
trap 'kill $wmpid 2>/dev/null || true' EXIT
sleep 1
[ "$rate" = line ] && pace=(--line-rate) || pace=(--rate "$rate")

shown=0
for run in $(seq "$runs"); do
    tmp=$(mktemp -d)
    # The window's data folder is its own folder when it may write there.
    cp "$build/ui/sorvik7" "$tmp/"
    mkfifo "$tmp/$(date +%Y%m%d).SVK"
    "$build/tools/sorvik7-sensor" "${pace[@]}" --count "$count" --wait --link "$tmp/com1" --quiet >/dev/null &
    sensor=$!
    for _ in $(seq 50); do [ -e "$tmp/com1" ] && break; sleep 0.1; done
    SORVIK7_COM1="$tmp/com1" "$tmp/sorvik7" 2>"$tmp/err.log" &
    window=$!
    main=$(xdotool search --sync --onlyvisible --pid "$window" --name '^SORVIK-7$' | head -1)
    sleep 0.5
    # START, 1680 by 960 twips from the top left, 96 dots an inch.
    xdotool mousemove --window "$main" 156 76 click 1
    wait "$sensor" || true
    sleep 1
    xdotool key Return
    xdotool mousemove --window "$main" 253 76 click 1 # STOP
    sleep 1
    windows=$(xwininfo -root -tree | grep -c '"SORVIK-7"' || true)
    if [ "$windows" -ge 2 ]; then
        shown=$((shown + 1))
        echo "run $run: box shown"
    else
        echo "run $run: no box"
    fi
    kill "$window" 2>/dev/null || true
    wait "$window" 2>/dev/null || true
    rm -rf "$tmp"
done
echo "fault box shown in $shown of $runs runs ($wm, $rate messages a second, $count messages)"
[ "$shown" = "$runs" ]
