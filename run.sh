#!/usr/bin/env bash
# Installs what is missing, builds SORVIK-7 and starts it.
#
#   ./run.sh           build and start the logger; on a machine without a
#                      display, the service sorvik7-logger records the
#                      simulated sensor and the records are shown as they
#                      arrive (Ctrl-C stops it)
#   ./run.sh --demo    also start the simulated sensor on a pseudo-terminal
#                      that the logger sees as COM1; press START and the
#                      day's file fills within seconds
#   ./run.sh --xvfb    start on a virtual display (a machine without one;
#                      nothing is shown, the logger runs until interrupted)
set -euo pipefail
cd "$(dirname "$0")"

demo=0
xvfb=0
for arg in "$@"; do
    case "$arg" in
        --demo) demo=1 ;;
        --xvfb) xvfb=1 ;;
        -h|--help) sed -n '2,13s/^# \{0,1\}//p' "$0"; exit 0 ;;
        *) echo "run.sh: unknown option $arg (try --help)" >&2; exit 2 ;;
    esac
done

deps=()
[ "$xvfb" -eq 1 ] && deps+=(--gui)
scripts/install-deps.sh "${deps[@]}"
build=${SORVIK7_BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)"

# No display: the headless logger service records the simulated sensor,
# four messages a second, and the day's records are shown as they arrive.
run_service() {
    local tmp data
    tmp=$(mktemp -d)
    data="$build/logger-data"
    service_pid= sensor_pid= tail_pid=
    cleanup() {
        [ -n "$tail_pid" ] && kill "$tail_pid" 2>/dev/null
        [ -n "$service_pid" ] && kill -TERM "$service_pid" 2>/dev/null && wait "$service_pid" 2>/dev/null
        [ -n "$sensor_pid" ] && kill "$sensor_pid" 2>/dev/null && wait "$sensor_pid" 2>/dev/null
        rm -rf "$tmp"
    }
    trap cleanup EXIT
    trap 'exit 0' INT TERM
    "$build/tools/sorvik7-sensor" --rate 4 --quiet --link "$tmp/ttySENSOR" >/dev/null &
    sensor_pid=$!
    : >"$tmp/empty.conf"   # no config file of this machine's applies
    echo "run.sh: no display: the service $build/service/sorvik7-logger records a simulated sensor" \
         "into $data; the first record comes after about four seconds. Ctrl-C stops it." >&2
    "$build/service/sorvik7-logger" --port "$tmp/ttySENSOR" --dir "$data" --config "$tmp/empty.conf" &
    service_pid=$!
    # The records as they arrive, without the CR of each line; the STX
    # that begins field 1 shows as ^B.
    tail -n 0 -F --pid="$service_pid" "$data/$(date +%Y%m%d).SVK" 2>/dev/null | stdbuf -oL tr -d '\r' | cat -v &
    tail_pid=$!
    wait "$service_pid"
}

logger=("$build/ui/sorvik7")
if [ "$xvfb" -eq 1 ]; then
    logger=(xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" "${logger[@]}")
elif [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    run_service
    exit 0
fi

if [ "$demo" -eq 1 ]; then
    out=$(mktemp)
    sensor_pid=
    cleanup() {
        [ -n "$sensor_pid" ] && kill "$sensor_pid" 2>/dev/null && wait "$sensor_pid" 2>/dev/null
        rm -f "$out"
    }
    trap cleanup EXIT
    trap 'exit 130' INT TERM
    # Four messages a second: the first record comes about four seconds
    # after START (four to sync, nine to fill the window of ten).
    "$build/tools/sorvik7-sensor" --rate 4 --quiet >"$out" &
    sensor_pid=$!
    for _ in $(seq 50); do
        grep -q '^SORVIK7_COM1=' "$out" && break
        kill -0 "$sensor_pid" 2>/dev/null || { echo "run.sh: the simulated sensor did not start" >&2; exit 1; }
        sleep 0.1
    done
    com1=$(sed -n 's/^SORVIK7_COM1=//p' "$out")
    [ -n "$com1" ] || { echo "run.sh: the simulated sensor printed no device" >&2; exit 1; }
    export SORVIK7_COM1="$com1"
    echo "run.sh: simulated sensor on $com1 (COM1); press START, the records go to $build/ui/$(date +%Y%m%d).SVK"
    "${logger[@]}"
else
    exec "${logger[@]}"
fi
