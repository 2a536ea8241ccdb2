#!/usr/bin/env bash
# The suite's main job, in one command. For now it installs and builds
# everything; the alert server, the client and the wizard join as they land.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build
echo
echo "Built: build/tarvex/tarvex (alert client), build/kestrup/kestrup (administrator wizard),"
echo "       build/alertserver/alertserver (reference alert server)."
echo "Coming next: the demo starts the server with a seeded account, the client logged in,"
echo "and raises an alert a few seconds later."
