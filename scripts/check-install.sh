#!/bin/sh
# Installs a build into a temporary prefix and builds a small program against the installed package,
# once with CMake's find_package(Korval) and once with pkg-config, then runs both; builds the korval
# tool against it too; then installs the Python package with pip, without the network, and uses it on
# the installed library.
#   scripts/check-install.sh [BUILD_DIR]
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
prefix=$(mktemp -d)
work=$(mktemp -d)
trap 'rm -rf "$prefix" "$work"' EXIT

cmake --install "$build" --prefix "$prefix" > /dev/null
pcdir=$(dirname "$(find "$prefix" -name korval.pc)")
libdir=$(dirname "$pcdir")
for f in "$prefix/include/korval/korval.h" "$prefix/bin/korval" "$libdir/cmake/Korval/KorvalConfig.cmake"; do
    [ -e "$f" ] || { echo "not installed: $f"; exit 1; }
done

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
