#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test with CTest; then builds
# the whole suite with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs every test again, and runs each libFuzzer target for a few seconds.
# The store tests run twice, the second time (*_pg) on a throwaway PostgreSQL
# cluster started for this run and removed after it.
# Fails when any test fails.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
started=$SECONDS
bash scripts/build.sh build
built=$SECONDS
eval "$(bash scripts/pg-cluster.sh start)"
trap 'bash scripts/pg-cluster.sh stop "$TVX_PG_DIR"' EXIT
# The tests spend most of their time waiting on timers, servers and other
# processes, not on the processor: five at a time keep the two cores about
# half busy, four under the sanitizers.
(cd build && ctest --output-on-failure -j 5)
echo "normal run: build $((built - started)) s, tests $((SECONDS - built)) s"

# The sanitizer run: the whole suite again. Leaks are reported from our code;
# scripts/lsan.supp only names system libraries and the browser engine.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_odr_violation=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp:print_suppressions=0
started=$SECONDS
bash scripts/build.sh build-asan -DTVX_SANITIZE=ON -DTVX_BUILD_BENCH=OFF
built=$SECONDS
# Every test, the end-to-end ones included. The tests wait for conditions
# with bounds stretched for this build, and the programs draw without OpenGL
# here (cmake/Testing.cmake), so nothing is left out.
(cd build-asan && ctest --output-on-failure -j 4 -LE fuzz)
echo "sanitizer run: build $((built - started)) s, tests $((SECONDS - built)) s"

# The fuzz targets, a few seconds each.
unset ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS
started=$SECONDS
bash scripts/fuzz.sh
echo "fuzz run: build and targets $((SECONDS - started)) s"
