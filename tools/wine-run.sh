#!/bin/sh
# Runs a Windows test program under Wine in the prefix named by WINEPREFIX
# (tools/run-tests.sh makes a throw-away one). Used as the cross-compiling
# emulator of the windows preset.
: "${WINEPREFIX:?set WINEPREFIX to a throw-away Wine prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
exec /usr/lib/wine/wine64 "$@"
