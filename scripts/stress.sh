#!/usr/bin/env bash
# Runs the client and wizard tests of a built tree N times in a row (default
# 10) while one busy loop per core, at normal priority, keeps every core
# saturated: a test that passes only on an idle machine turns red here.
# Prints each run green or red and how many were green; the output of a red
# run is kept in <build>/stress/. The busy loops end with the script,
# however it ends.
#   bash scripts/stress.sh [N]        (the tree in build/, or TVX_STRESS_BUILD)
# TVX_STRESS_JOBS sets how many tests run at once (default 5, as the test
# command runs them).
set -u
cd "$(dirname "$0")/.."
runs=${1:-10}
build=${TVX_STRESS_BUILD:-build}
jobs=${TVX_STRESS_JOBS:-5}
# The client's and the wizard's tests: their windows, processes, faults and
# end-to-end runs (the packaging tests and the server's own are left out).
tests='^tst_(sessionlogic|form1login|form1polling|sessiontray|sessionprocess|startuplogic|remoteloader|form3|startupprocess|e2e_client|e2e_wizard|e2e_tls|settingsfaults|clientfaults|wizardfaults|wizard_checks|wizard_pages|kestrup_program|userlogic|emailusers|userdialogs)$'

if [ ! -f "$build/CTestTestfile.cmake" ]; then
  echo "stress: no built tree in $build (bash scripts/build.sh $build)" >&2
  exit 2
fi

loops=()
stop_loops() {
  if [ ${#loops[@]} -gt 0 ]; then
    kill "${loops[@]}" 2>/dev/null
    wait "${loops[@]}" 2>/dev/null
  fi
  loops=()
}
trap stop_loops EXIT
trap 'exit 130' INT TERM
for _ in $(seq 1 "$(nproc)"); do
  (while :; do :; done) &
  loops+=($!)
done

mkdir -p "$build/stress"
green=0
for run in $(seq 1 "$runs"); do
  log="$build/stress/run-$run.log"
  started=$SECONDS
  if (cd "$build" && ctest -R "$tests" -j "$jobs" --output-on-failure) >"$log" 2>&1; then
    green=$((green + 1))
    echo "run $run/$runs: green ($((SECONDS - started)) s)"
    rm -f "$log"
  else
    failed=$(sed -n 's/^[[:space:]]*[0-9]* - \(tst_[a-z0-9_]*\) .*/\1/p' "$log" | tr '\n' ' ')
    echo "run $run/$runs: red ($((SECONDS - started)) s): ${failed:-see the log} -> $log"
  fi
done
echo "$green of $runs runs green with $(nproc) busy loops beside the tests"
[ "$green" -eq "$runs" ]
