#!/bin/sh
# Runs a Windows program under Wine: the test runner of the mingw-w64 cross build.
#   scripts/wine-run.sh program.exe [arguments...]
# WINEPREFIX (default: build-windows-tests/wine-prefix) and WINEDEBUG (default: -all) may be set.
set -eu
wine_dir=/usr/lib/wine
[ -x "$wine_dir/wine64" ] || { echo "wine-run.sh: no $wine_dir/wine64 (Debian package wine64)" >&2; exit 127; }
: "${WINEPREFIX:=$(pwd)/wine-prefix}"
: "${WINEDEBUG:=-all}"
export WINEPREFIX WINEDEBUG
exec "$wine_dir/wine64" "$@"
