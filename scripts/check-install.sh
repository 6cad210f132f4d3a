#!/bin/sh
# Installs a build into a temporary prefix and builds a small program against the installed package,
# once with CMake's find_package(Korval) and once with pkg-config, then runs both.
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
