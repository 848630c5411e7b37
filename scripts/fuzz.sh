#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each one for a fixed time, starting
# from the seed corpus in fuzz/corpus/<target>/. Any crash, sanitizer
# report, leak, timeout or memory overrun fails the run; the input that
# caused it is kept in build-fuzz/artifacts/.
#   SORVIK7_FUZZ_SECONDS   time per target (default 30)
#   SORVIK7_FUZZ_BUILD_DIR build folder (default build-fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${SORVIK7_FUZZ_SECONDS:-30}
build=${SORVIK7_FUZZ_BUILD_DIR:-build-fuzz}
targets=(fuzz_parser fuzz_cycle fuzz_dayfile fuzz_payload)

# The fuzz preset of CMakePresets.json.
SORVIK7_WERROR=${SORVIK7_WERROR:-OFF} cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

mkdir -p "$build/artifacts"
pids=()
for t in "${targets[@]}"; do
    # New inputs go to a scratch corpus; the seeds in the repository stay as they are.
    work="$build/corpus/$t"
    mkdir -p "$work"
    (
        export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:quarantine_size_mb=64
        export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
        "$build/fuzz/$t" -max_total_time="$seconds" -rss_limit_mb=512 -malloc_limit_mb=256 \
            -max_len=8192 -timeout=10 -print_final_stats=1 \
            -artifact_prefix="$build/artifacts/$t-" "$work" "fuzz/corpus/${t#fuzz_}" \
            >"$build/$t.log" 2>&1
    ) &
    pids+=($!)
done
status=0
for i in "${!targets[@]}"; do
    t=${targets[$i]}
    if wait "${pids[$i]}"; then
        echo "fuzz: $t: $(grep -E '^(Done|stat::number_of_executed_units)' "$build/$t.log" | tr '\n' ' ')"
    else
        echo "fuzz: $t FAILED; log: $build/$t.log" >&2
        grep -E 'ERROR|SUMMARY|fuzz_|Test unit written' "$build/$t.log" | head -20 >&2 || true
        status=1
    fi
done
exit $status
