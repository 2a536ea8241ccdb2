#!/usr/bin/env bash
# Builds and runs the benchmarks (bench/<area>/), each inside a private X
# display with a tray host, and prints their figures. With arguments, runs only
# the benchmarks whose names contain one of them: scripts/bench.sh server
# (scripts/bench.sh console: the alert console's first paint against a bare
# page in the same engine, and its first page's bytes)
#
# scripts/bench.sh fleet [OPTIONS] runs the fleet benchmark alone, without a
# display, handing it the options (bench/fleet/bench_fleet.cpp; --smoke for a
# 30-second run on 200 desktops). It takes the whole machine for minutes, so
# the other forms leave it out.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build
if [ "${1:-}" = fleet ]; then
  shift
  eval "$(bash scripts/pg-cluster.sh start --durable)"
  trap 'bash scripts/pg-cluster.sh stop "$TVX_PG_DIR"' EXIT
  build/bench/fleet/bench_fleet "$@"
  exit
fi
# The server benchmark's PostgreSQL rounds run on a cluster of their own,
# removed afterwards; it waits for the disk as a real one would.
eval "$(bash scripts/pg-cluster.sh start --durable)"
trap 'bash scripts/pg-cluster.sh stop "$TVX_PG_DIR"' EXIT
export QTWEBENGINE_DISABLE_SANDBOX=1
status=0
for exe in build/bench/*/bench_*; do
  [ -f "$exe" ] && [ -x "$exe" ] || continue
  name=$(basename "$exe")
  [ "$name" = bench_fleet ] && continue
  if [ $# -gt 0 ]; then
    match=""
    for want in "$@"; do case "$name" in *"$want"*) match=1 ;; esac; done
    [ -n "$match" ] || continue
  fi
  echo "=== $name"
  scripts/xvfb-test.sh "$exe" || status=1
done
exit $status
