#!/bin/sh
# Installs a build into a temporary prefix (as an unprivileged user where it can) and builds a small
# program against the installed package, once with CMake's find_package(Korval) and once with
# pkg-config, then runs both; builds the korval tool against it too; then installs the Python package
# with pip, without the network, and uses it on the installed library.
#   scripts/check-install.sh [BUILD_DIR]
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
prefix=$(mktemp -d)
work=$(mktemp -d)
trap 'rm -rf "$prefix" "$work"' EXIT

# A prefix of one's own needs no root: the install runs as an unprivileged user (nobody) when this
# script runs as root and that user can read the tree; otherwise as whoever runs it. Either way nothing
# may be written outside the prefix (the udev rules stay under it too).
system_rules=/etc/udev/rules.d/70-korval.rules
rules_before=$(cat "$system_rules" 2>/dev/null || echo none)
as_user=""
if [ "$(id -u)" -eq 0 ] && command -v setpriv > /dev/null &&
    setpriv --reuid=65534 --regid=65534 --clear-groups test -r "$(cd "$build" && pwd)/cmake_install.cmake" 2> /dev/null &&
    setpriv --reuid=65534 --regid=65534 --clear-groups test -r "$(pwd)/include/korval/korval.h" 2> /dev/null; then
    # The user owns the prefix and the one file the install writes in the build folder, its manifest.
    chown 65534:65534 "$prefix"
    touch "$build/install_manifest.txt"
    chown 65534:65534 "$build/install_manifest.txt"
    as_user="setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=$prefix"
    echo "-- cmake --install as user nobody into $prefix"
else
    echo "-- cmake --install as $(id -un) into $prefix"
fi
$as_user cmake --install "$build" --prefix "$prefix" > "$work/install.log" 2>&1 || { cat "$work/install.log"; exit 1; }
[ -n "$as_user" ] && chown "$(id -u):$(id -g)" "$build/install_manifest.txt"
[ "$(cat "$system_rules" 2>/dev/null || echo none)" = "$rules_before" ] || { echo "the install wrote $system_rules"; exit 1; }
grep -q "lib/udev/rules.d, where udev does not read them" "$work/install.log" || { cat "$work/install.log"; exit 1; }
pcdir=$(dirname "$(find "$prefix" -name korval.pc)")
libdir=$(dirname "$pcdir")
for f in "$prefix/include/korval/korval.h" "$prefix/bin/korval" "$libdir/cmake/Korval/KorvalConfig.cmake" \
    "$prefix/lib/udev/rules.d/70-korval.rules"; do
    [ -e "$f" ] || { echo "not installed: $f"; exit 1; }
done

# The installed library is stripped, its debug information kept apart and named by the library.
lib=$(find "$libdir" -maxdepth 1 -name 'libkorval.so.*.*')
readelf -S "$lib" | grep -q '[.]gnu_debuglink' || { echo "$lib names no debug file"; exit 1; }
readelf -S "$lib" | grep -q '[.]debug_info' && { echo "$lib is not stripped"; exit 1; }
debug="$libdir/.debug/$(basename "$lib").debug"
readelf -S "$debug" | grep -q '[.]debug_info' || { echo "no debug information in $debug"; exit 1; }
echo "installed $(basename "$lib"): $(wc -c < "$lib") bytes (build tree: $(wc -c < "$build/src/$(basename "$lib")")), debug file $(wc -c < "$debug") bytes"

echo "-- find_package(Korval)"
cmake -S tests/consumer -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" > /dev/null
cmake --build "$work/cmake" > /dev/null
LD_LIBRARY_PATH="$libdir" "$work/cmake/consumer"

echo "-- pkg-config korval"
# shellcheck disable=SC2046
cc -Wall -Wextra -Werror -o "$work/consumer" tests/consumer/consumer.c \
    $(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs korval)
LD_LIBRARY_PATH="$libdir" "$work/consumer"

echo "-- the korval tool, built against the installed package"
cmake -S tools -B "$work/tool" -DCMAKE_PREFIX_PATH="$prefix" \
    ${CMAKE_CXX_COMPILER_LAUNCHER:+-DCMAKE_CXX_COMPILER_LAUNCHER=$CMAKE_CXX_COMPILER_LAUNCHER} > /dev/null
cmake --build "$work/tool" -j "$(nproc)" > /dev/null
LD_LIBRARY_PATH="$libdir" "$work/tool/korval" --sim 0x8040 list
"$prefix/bin/korval" --version

echo "-- pip install ./python"
# Debian's Python takes no pip installs of its own: a virtual environment that sees Debian's numpy.
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install --no-index --quiet ./python
(cd "$work" && KORVAL_LIBRARY="$libdir/libkorval.so" "$work/venv/bin/python" -c '
import korval
with korval.Simulation() as sim:
    sim.add_board(0x8040)
    print(korval.devices())
')
