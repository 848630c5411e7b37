#!/usr/bin/env bash
# Installs what is missing, builds SORVIK-7 and starts it.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
build=${SORVIK7_BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)"
