#!/usr/bin/env bash
# Runs the client and wizard tests of a built tree N times in a row (default
# 10) while one busy loop per core, at normal priority, keeps every core
# saturated: a test that passes only on an idle machine turns red here.
# Prints each run green or red and how many were green; the output of a red
# run is kept in <build>/stress/. The busy loops end with the script however
# it ends: on its exit or a signal they are killed, and each one also ends by
# itself once the script is gone (killed with SIGKILL, say).
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

script=$$
loops=()
ctest_pid=
stop_all() {
  if [ -n "$ctest_pid" ]; then
    # ctest runs in a process group of its own (set -m below): its tests go with it.
    kill -TERM -- "-$ctest_pid" 2>/dev/null
    wait "$ctest_pid" 2>/dev/null
    ctest_pid=
  fi
  if [ ${#loops[@]} -gt 0 ]; then
    kill "${loops[@]}" 2>/dev/null
    wait "${loops[@]}" 2>/dev/null
  fi
  loops=()
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

for _ in $(seq 1 "$(nproc)"); do
  # Spins, and looks a few times a second whether the script still runs.
  (while kill -0 "$script" 2>/dev/null; do
     for ((i = 0; i < 200000; ++i)); do :; done
   done) &
  loops+=($!)
done

mkdir -p "$build/stress"
green=0
for run in $(seq 1 "$runs"); do
  log="$build/stress/run-$run.log"
  started=$SECONDS
  # In the background, so that a signal to the script is handled at once
  # rather than when the run ends.
  set -m
  (cd "$build" && exec ctest -R "$tests" -j "$jobs" --output-on-failure) >"$log" 2>&1 &
  ctest_pid=$!
  set +m
  wait "$ctest_pid"
  status=$?
  ctest_pid=
  if [ "$status" -eq 0 ]; then
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
