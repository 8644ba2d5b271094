#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if missing.
#   tools/install-deps.sh           everything (native, sanitizers, fuzz targets, Windows, Wine)
#   tools/install-deps.sh --native  only what the Linux build and the demo need
set -euo pipefail
# python3-serial drives the benchmark's pyserial reader; python3-mne reads the
# EDF+ recordings back (tests, plot), python3-matplotlib draws them.
packages=(cmake ninja-build g++ googletest python3-serial python3-mne python3-matplotlib)
if [ "${1:-}" != "--native" ]; then
  packages+=(g++-mingw-w64-x86-64 wine64 socat python3-pefile binutils clang libclang-rt-14-dev)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q "${missing[@]}"
fi
