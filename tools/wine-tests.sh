#!/usr/bin/env bash
# Builds the Windows preset and runs its tests under Wine in a throw-away
# prefix, with real serial ports: a linked pair of pseudo-terminals as COM5
# and COM6, and simulated instruments (rivu-sim) on further COM ports.
# Arguments go to ctest (for example -R end_to_end).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)

cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
# The simulator is a Linux program: it comes from the native build.
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs" --target rivu-sim

work=$(mktemp -d /tmp/rivu-wine.XXXXXX)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

/usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1
/usr/lib/wine/wineserver -w

# COM5 <-> COM6: two pseudo-terminals linked back to back.
socat PTY,link="$work/pair-a",raw,echo=0 PTY,link="$work/pair-b",raw,echo=0 &
pids+=($!)
for _ in $(seq 50); do [ -e "$work/pair-a" ] && [ -e "$work/pair-b" ] && break; sleep 0.1; done
ln -sf "$(readlink -f "$work/pair-a")" "$WINEPREFIX/dosdevices/com5"
ln -sf "$(readlink -f "$work/pair-b")" "$WINEPREFIX/dosdevices/com6"
export RIVU_TEST_PORT_A='\\.\COM5' RIVU_TEST_PORT_B='\\.\COM6'

# Simulated instruments are started by the tests themselves, on the Linux side.
export RIVU_SIM_PROGRAM="$root/build/native/tools/rivu-sim"

# The tests are mostly waits on Wine and the simulator: run them side by side.
ctest --preset windows -j "$jobs" "$@"
