#!/bin/sh
# Installs what building and testing Korval needs, when it is missing (Debian packages, with apt-get).
#   scripts/setup.sh            compiler, CMake, GoogleTest, Google Benchmark
#   scripts/setup.sh --windows  also the mingw-w64 cross compiler for KORVAL.dll
#   scripts/setup.sh --fuzz     also clang and its libFuzzer, for the fuzz targets
set -eu

packages="cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev"
if [ "${1:-}" = "--windows" ]; then
    packages="$packages mingw-w64 g++-mingw-w64-x86-64-posix"
fi
if [ "${1:-}" = "--fuzz" ]; then
    packages="$packages clang libclang-rt-14-dev"
fi

missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

echo "installing:$missing"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
# shellcheck disable=SC2086
$sudo apt-get install -y -qq --no-install-recommends $missing
