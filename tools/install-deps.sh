#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if missing.
#   tools/install-deps.sh           everything (native, sanitizers, fuzz targets, Windows, Wine)
#   tools/install-deps.sh --native  only what the Linux build and the demo need
set -euo pipefail
# python3-serial drives the benchmark's pyserial reader; python3-mne reads the
# EDF+ recordings back (tests, plot), python3-matplotlib draws them. libgtest-dev
# is the googletest the native builds link; googletest, its sources, is built by
# the Windows build (and wherever libgtest-dev is missing). locales provides the
# decimal-comma locale a number-parsing test switches to.
packages=(cmake ninja-build g++ libgtest-dev googletest locales python3-serial python3-mne python3-matplotlib)
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
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The locale with a decimal comma that the number-parsing test looks for.
locale_name=de_DE.UTF-8
if ! locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\?8'; then
  echo "generating locale $locale_name"
  sed -i "s/^# *\($locale_name UTF-8\)/\1/" /etc/locale.gen
  grep -qx "$locale_name UTF-8" /etc/locale.gen || echo "$locale_name UTF-8" >>/etc/locale.gen
  locale-gen >/dev/null
fi
