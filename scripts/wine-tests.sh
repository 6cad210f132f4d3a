#!/bin/sh
# Runs the test suites of a mingw-w64 cross build under Wine (make test-windows; a step of .ci/run).
#   scripts/wine-tests.sh BUILD_DIR [ctest arguments...]
# One wineserver stays up for the whole run (wineserver -p) so that each test program does not pay for
# starting Wine; it is stopped again at the end, whatever the result. The Wine prefix lives in the
# build folder and is made on the first run.
set -eu
build=$(cd "$1" && pwd)
shift
wine_dir=/usr/lib/wine
export WINEPREFIX="$build/wine-prefix" WINEDEBUG=-all
# A server still up from an earlier run (it lingers a few seconds) serves this run as well.
"$wine_dir/wineserver" -p 2> /dev/null || true
trap '"$wine_dir/wineserver" -k 2> /dev/null || true' EXIT
[ -f "$WINEPREFIX/system.reg" ] || echo "creating the Wine prefix $WINEPREFIX"
# Start Wine's own services once, before any test: a test program that is among the first to end while
# they are still starting may be kept from exiting.
"$wine_dir/wine64" wineboot > /dev/null 2>&1 || true
cd "$build"
ctest --output-on-failure "$@"
