#!/usr/bin/env bash
# Builds the enabler and rivu-host for Linux and records from a simulated
# Zarvonic CODA: channels, live progress, blood-pressure comments, CSV.
# rivu-sim is built too, for recording from a simulated instrument by hand.
# Arguments, if any, go to rivu-host instead of the default demo options.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh --native
cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc)" --target rivu rivu-host rivu-sim
if [ $# -eq 0 ]; then
  set -- --simulate coda --seconds 12 --csv build/demo-recording.csv --force
fi
exec build/native/tools/rivu-host "$@"
