#!/usr/bin/env bash
# Builds the enabler, rivu-host and rivu-sim for Linux and records from a
# simulated Zarvonic CODA: channels, live progress, blood-pressure comments,
# then the recording as CSV, EDF+ and a picture. rivu-sim is built too, for
# recording from a simulated instrument by hand.
# Arguments, if any, go to rivu-host instead of the default demo recording.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh --native
cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc)" --target rivu rivu-host rivu-sim
if [ $# -gt 0 ]; then
  exec build/native/tools/rivu-host "$@"
fi
# The simulated CODA measures 0.5 s after the start and every 10 s after that,
# each cycle taking about 3.5 s: 16 s end between the second and third cycles,
# so the recording holds two complete results. --force: each run replaces the
# previous demo recording.
build/native/tools/rivu-host --simulate coda --seconds 16 --force \
  --csv build/demo-recording.csv --edf build/demo-recording.edf
/usr/bin/python3 tools/plot-recording.py build/demo-recording.edf build/demo-recording.png \
  --title "Simulated Zarvonic CODA, 16 s (rivu-host)"
echo "Recording: build/demo-recording.csv (CSV), build/demo-recording-comments.csv (comments)," \
  "build/demo-recording.edf (EDF+), build/demo-recording.png (picture)"
