#!/usr/bin/env bash
# Builds SORVIK-7 and runs every test, then the same tests once more in a
# build with AddressSanitizer and UndefinedBehaviorSanitizer, then each fuzz
# target for a short fixed time. Any sanitizer report fails the run.
#   SORVIK7_SKIP_ASAN=1   leave out the sanitizer build (local runs only)
#   SORVIK7_SKIP_FUZZ=1   leave out the fuzz run (local runs only)
# CI (CI=true) always runs both.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
jobs=$(nproc)
build=${SORVIK7_BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$jobs"
ctest --test-dir "$build" --output-on-failure -j"$jobs"
passed=$(ctest --test-dir "$build" -N | sed -n 's/^Total Tests: //p')

ci=${CI:-false}
if [ "$ci" = true ] || [ "${SORVIK7_SKIP_ASAN:-0}" != 1 ]; then
    asan=${SORVIK7_ASAN_BUILD_DIR:-build-asan}
    cmake -S . -B "$asan" -DCMAKE_BUILD_TYPE=Debug -DSORVIK7_SANITIZE=ON
    cmake --build "$asan" -j"$jobs"
    # halt_on_error: the first report ends the test with a failure.
    # Leaks are checked; the suppressions file lists only leaks inside
    # system libraries, each with its reason.
    ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp:print_suppressions=0 \
        ctest --test-dir "$asan" --output-on-failure -j"$jobs"
    passed=$((passed + $(ctest --test-dir "$asan" -N | sed -n 's/^Total Tests: //p')))
fi

if [ "$ci" = true ] || [ "${SORVIK7_SKIP_FUZZ:-0}" != 1 ]; then
    scripts/fuzz.sh
    passed=$((passed + $(ls fuzz/fuzz_*.cpp | wc -l)))  # one per fuzz target
fi
# Reached only when everything above passed (set -e).
echo "test.sh: $passed passed, 0 failed"
