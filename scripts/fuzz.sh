#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each for
# the given number of seconds (default: the short CTest run).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-}
extra=()
if [ -n "$seconds" ]; then extra=(-DTVX_FUZZ_SECONDS="$seconds"); fi
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DTVX_FUZZ=ON -DTVX_BUILD_BENCH=OFF "${extra[@]}"
cmake --build build-fuzz --target fuzzers -j "$(nproc)"
(cd build-fuzz && ctest --output-on-failure -L fuzz)
