#!/usr/bin/env bash
# Builds the enabler and rivu-host for Linux and records from a simulated
# Zarvonic CODA: channels, live progress, blood-pressure comments, CSV.
# Arguments, if any, go to rivu-host instead of the default demo options.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh --native
cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc)" --target rivu rivu-host
if [ $# -eq 0 ]; then
  set -- --simulate coda --seconds 12 --csv build/demo-recording.csv
fi
exec build/native/tools/rivu-host "$@"
