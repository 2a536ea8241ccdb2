#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test with CTest; then builds
# the common layer with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs its tests again, and runs each libFuzzer target for a few seconds.
# Fails when any test fails.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
bash scripts/build.sh build
(cd build && ctest --output-on-failure -j 2)

# The sanitizer run.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp
bash scripts/build.sh build-asan -DTVX_SANITIZE=ON -DTVX_BUILD_BENCH=OFF
(cd build-asan && ctest --output-on-failure -j 2 -L sanitize)

# The fuzz targets, a few seconds each.
unset ASAN_OPTIONS
bash scripts/fuzz.sh
