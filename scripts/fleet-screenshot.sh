#!/usr/bin/env bash
# Takes the documentation's picture of the fleet page (docs/screenshot-fleet.png):
# a mosquitto of its own, sorvik7-collect --http, and four stations:
# north and south record the simulated sensor, west waits for a serial
# device that is not there (a "device lost" alarm), east is killed without a
# goodbye (offline, by its last will). The charts' last six hours of
# interval statistics are published beforehand, as the stations would have
# over those hours; everything else on the page is what the programs say.
#
#   scripts/fleet-screenshot.sh [WIDTH,HEIGHT [FILE]]    (after a build in ./build)
# 1000,640 into docs/screenshot-fleet.png when not given; 390,1200 shows it
# as a phone does.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${SORVIK7_BUILD_DIR:-build}
size=${1:-1000,640}
picture=$(realpath -m "${2:-docs/screenshot-fleet.png}")
scripts/install-deps.sh --screenshots
for p in "$build/collector/sorvik7-collect" "$build/service/sorvik7-logger" "$build/tools/sorvik7-sensor"; do
    [ -x "$p" ] || { echo "fleet-screenshot: build first (cmake -S . -B $build && cmake --build $build)" >&2; exit 1; }
done

tmp=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

mqtt=$(free_port)
http=$(free_port)
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$mqtt" >"$tmp/broker.conf"
[ "$(id -u)" -eq 0 ] && echo "user root" >>"$tmp/broker.conf"
mosquitto -c "$tmp/broker.conf" 2>"$tmp/broker.log" &
pids+=($!)
: >"$tmp/empty.conf"
sleep 1

# Six hours of ten-minute intervals for the two stations that record.
python3 - "$tmp" <<'EOF'
import datetime, json, math, sys
now = datetime.datetime.now(datetime.timezone.utc).replace(second=0, microsecond=0)
now -= datetime.timedelta(minutes=now.minute % 10)
for station, base in (("north", 6.0), ("south", 4.2)):
    with open(f"{sys.argv[1]}/{station}.stats", "w") as out:
        for k in range(36, 0, -1):
            start = now - datetime.timedelta(minutes=10 * k)
            mean = base + 1.8 * math.sin(k / 5.0) + 0.4 * math.sin(k * 1.7)
            gust = mean * (1.45 + 0.15 * math.sin(k * 0.9))
            row = {"start": start.strftime("%Y-%m-%dT%H:%M:%SZ"),
                   "end": (start + datetime.timedelta(minutes=10)).strftime("%Y-%m-%dT%H:%M:%SZ"),
                   "count": 2400, "coverage": 1.0, "speed_mean": round(mean, 3), "speed_sd": round(mean * 0.14, 3),
                   "speed_min": round(mean * 0.5, 3), "speed_max": round(gust * 1.05, 3), "gust": round(gust, 3),
                   "ti": round(0.14, 4), "dir_mean": round(200 + 20 * math.sin(k / 7.0), 1), "dir_sd": 11.2,
                   "status_bad": 0, "units": "M"}
            out.write(json.dumps(row, separators=(",", ":")) + "\n")
EOF

"$build/collector/sorvik7-collect" --mqtt-url "mqtt://127.0.0.1:$mqtt" --dir "$tmp/copies" --config "$tmp/empty.conf" \
    --http "$http" 2>"$tmp/collect.log" &
pids+=($!)
sleep 1
for station in north south; do
    while read -r row; do mosquitto_pub -p "$mqtt" -q 1 -t "sorvik7/$station/stats" -m "$row"; done <"$tmp/$station.stats"
done

logger() { # station device
    "$build/service/sorvik7-logger" --port "$2" --dir "$tmp/$1" --config "$tmp/empty.conf" \
        --mqtt-url "mqtt://127.0.0.1:$mqtt" --station "$1" 2>"$tmp/$1.log" &
    pids+=($!)
}
declare -A wind=([north]="--seed 1" [south]="--speed 5.3 --direction 215" [east]="--seed 3")
for station in north south east; do
    # shellcheck disable=SC2086
    "$build/tools/sorvik7-sensor" --quiet --rate 4 ${wind[$station]} --link "$tmp/tty-$station" &
    pids+=($!)
done
sleep 1
for station in north south east; do logger "$station" "$tmp/tty-$station"; done
logger west /dev/ttyUSB3
east=${pids[-2]}
sleep 8
kill -KILL "$east"
sleep 3

mkdir -p "$(dirname "$picture")"
root=()
[ "$(id -u)" -eq 0 ] && root=(--no-sandbox)
chromium "${root[@]}" --headless --disable-gpu --hide-scrollbars --user-data-dir="$tmp/browser" \
    --window-size="$size" --virtual-time-budget=5000 --screenshot="$picture" \
    "http://127.0.0.1:$http/" 2>"$tmp/chromium.log"
echo "fleet-screenshot: wrote $picture"
