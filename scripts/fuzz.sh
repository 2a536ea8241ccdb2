#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each for
# the given number of seconds (default: the short CTest run), then prints the
# executions each target managed.
set -euo pipefail
cd "$(dirname "$0")/.."
# Always passed, so that a longer run on demand does not stay in the cache
# for the next short one.
seconds=${1:-8}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DTVX_FUZZ=ON -DTVX_BUILD_BENCH=OFF -DTVX_FUZZ_SECONDS="$seconds"
cmake --build build-fuzz --target fuzzers -j "$(nproc)"
log=build-fuzz/fuzz.log
status=0
# One target per core: each is a single busy process.
(cd build-fuzz && ctest -V -L fuzz -j "$(nproc)") >"$log" 2>&1 || status=$?
# "N: Test command: .../name ..." names test N; its final stats follow as "N: stat::...".
awk '
  /: Test command: / { n = $1; sub(":", "", n); split($4, p, "/"); name[n] = p[length(p)] }
  /stat::number_of_executed_units/ { n = $1; sub(":", "", n); runs[n] = $3 }
  /stat::peak_rss_mb/ { n = $1; sub(":", "", n); rss[n] = $3 }
  END { for (n in name) printf "fuzz: %-16s %10s executions, peak %s MB\n", name[n], runs[n], rss[n] }
' "$log" | sort
tail -n 3 "$log"
if [ "$status" -ne 0 ]; then
  echo "fuzz: a target failed; see $log and build-fuzz/tests/fuzz/ for the crashing input" >&2
  grep -n "ERROR\|==.*==\|deadly signal\|Test artifact\|artifact_prefix\|crash-" "$log" | head -40 >&2 || true
fi
exit "$status"
