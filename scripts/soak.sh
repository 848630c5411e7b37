#!/usr/bin/env bash
# Soak: the benchmark's headless acquisition (the real cycle, serial control
# and data file on a pseudo-terminal fed by the simulated sensor) for a long
# time at full line rate, with its resident memory and CPU sampled every
# 10 s. Reports records expected and written, memory at start and end, the
# largest backlog and CPU. The benchmark is stopped once its line-rate
# scenario has reported; its other scenarios are not part of the soak.
#   scripts/soak.sh [minutes]     (default 30)
# Output goes to $SORVIK7_SOAK_DIR (default build/soak): bench.log, samples.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-30}
seconds=$((minutes * 60))
build=${SORVIK7_BUILD_DIR:-build}
out=${SORVIK7_SOAK_DIR:-$build/soak}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target sorvik7-bench sorvik7-sensor >/dev/null
mkdir -p "$out"

"$build/bench/sorvik7-bench" --seconds "$seconds" --record-cost 0 >"$out/bench.log" 2>&1 &
pid=$!
tick=$(getconf CLK_TCK)
start=$(date +%s)
echo "seconds rss_kib cpu_seconds" >"$out/samples.txt"
while kill -0 "$pid" 2>/dev/null; do
    rss=$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)
    cpu=$(awk -v t="$tick" '{printf "%.2f", ($14 + $15) / t}' "/proc/$pid/stat" 2>/dev/null || true)
    [ -n "$rss" ] && echo "$(( $(date +%s) - start )) $rss $cpu" >>"$out/samples.txt"
    if grep -q '^saturated' "$out/bench.log"; then
        kill "$pid"
        break
    fi
    sleep 10
done
wait "$pid" 2>/dev/null || true
status=0
grep -q '^saturated.* ok$' "$out/bench.log" || status=1

line=$(grep '^saturated' "$out/bench.log" || true)
field() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" <<<"$line"; }
# Memory over the line-rate part: the first sample after 10 s, the last one
# before it ended, and the largest in between.
read -r rss_start rss_end rss_max < <(awk -v end="$seconds" \
    'NR > 1 && $1 >= 10 && $1 <= end { if (!s) s = $2; e = $2; if ($2 > m) m = $2 }
     END { print s + 0, e + 0, m + 0 }' "$out/samples.txt")
echo "soak: ${minutes} min at line rate"
echo "soak: records written=$(field records) expected=$(field expected) lost=$(field lost)"
echo "soak: rss_start_kib=$rss_start rss_end_kib=$rss_end rss_max_kib=$rss_max growth_kib=$((rss_end - rss_start))"
echo "soak: max_pending=$(field max_pending) cpu=$(field cpu)"
if [ "$status" -ne 0 ] || [ "$(field records)" != "$(field expected)" ]; then
    echo "soak: FAILED (bench status $status); see $out/bench.log" >&2
    exit 1
fi
