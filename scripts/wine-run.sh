#!/bin/sh
# Runs a program of the Windows build under Wine: the test emulator of the cross build
# (cmake/toolchain-mingw-w64.cmake). The prefix is $WINEPREFIX, which the tests set to the one
# scripts/wine-prefix.sh made for the test run; Wine's own diagnostics are off.
set -e
: "${WINEPREFIX:?WINEPREFIX names the Wine prefix to run in}"
export WINEPREFIX WINEDEBUG=-all
if command -v wine64 >/dev/null 2>&1; then exec wine64 "$@"; fi
if [ -x /usr/lib/wine/wine64 ]; then exec /usr/lib/wine/wine64 "$@"; fi
exec wine "$@"
