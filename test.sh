#!/usr/bin/env bash
# Builds SORVIK-7 and runs every test, then the same tests once more in a
# build with AddressSanitizer and UndefinedBehaviorSanitizer, then each fuzz
# target for a short fixed time. Any sanitizer report fails the run.
#   SORVIK7_SKIP_ASAN=1   leave out the sanitizer build (local runs only)
#   SORVIK7_SKIP_FUZZ=1   leave out the fuzz run (local runs only)
# CI (CI=true) always runs both, and builds with warnings as errors.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
jobs=$(nproc)
ci=${CI:-false}
werror=OFF
[ "$ci" = true ] && werror=ON
export SORVIK7_WERROR=$werror

ran=0
skipped=0
# Runs ctest in a build folder and adds what it ran and skipped to the totals.
run_ctest() {
    local dir=$1
    # ctest takes a relative report path as relative to the build folder.
    local junit="$dir/ctest-results.xml"
    [[ "$junit" = /* ]] || junit="$PWD/$junit"
    ctest --test-dir "$dir" --output-on-failure -j"$jobs" --output-junit "$junit"
    local count notrun
    count=$(grep -c '<testcase ' "$junit")
    notrun=$(grep -c 'status="\(notrun\|disabled\)"' "$junit" || true)
    ran=$((ran + count))
    skipped=$((skipped + notrun))
}

build=${SORVIK7_BUILD_DIR:-build}
# The build variants are the presets of CMakePresets.json (cmake --preset NAME).
cmake --preset default -B "$build"
cmake --build "$build" -j"$jobs"
run_ctest "$build"

if [ "$ci" = true ] || [ "${SORVIK7_SKIP_ASAN:-0}" != 1 ]; then
    asan=${SORVIK7_ASAN_BUILD_DIR:-build-asan}
    cmake --preset asan -B "$asan"
    cmake --build "$asan" -j"$jobs"
    # halt_on_error: the first report ends the test with a failure.
    # Leaks are checked; the suppressions file lists only leaks inside
    # system libraries, each with its reason.
    ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp:print_suppressions=0 \
        run_ctest "$asan"
fi

fuzzed=0
if [ "$ci" = true ] || [ "${SORVIK7_SKIP_FUZZ:-0}" != 1 ]; then
    scripts/fuzz.sh
    fuzzed=$(ls fuzz/fuzz_*.cpp | wc -l)
fi
# Reached only when everything above passed (set -e).
echo "test.sh: $((ran - skipped)) tests passed, $skipped skipped, $fuzzed fuzz targets clean, 0 failed"
