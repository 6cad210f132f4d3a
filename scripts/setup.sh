#!/bin/sh
# Installs what building and testing Korval needs, when it is missing (Debian packages, with apt-get).
#   scripts/setup.sh            compiler, CMake, GoogleTest, Google Benchmark, pkg-config; libusb-1.0
#                               (the Linux host) and umockdev (its tests on an emulated USB stack); for
#                               the Python package numpy, pytest and matplotlib (its plotting example);
#                               PLplot for the tool's plots; gRPC for remote boards (korval serve)
#   scripts/setup.sh --windows  also the mingw-w64 cross compiler for KORVAL.dll, GoogleTest's sources
#                               and Wine, to run the tests as Windows programs
#   scripts/setup.sh --fuzz     also clang and its libFuzzer, for the fuzz targets
#   scripts/setup.sh --browser  also Chromium and the DevTools client for the panel's browser test
#   scripts/setup.sh --docs     also Doxygen, Sphinx and Chromium (headless), for "make docs" and its checks
#   scripts/setup.sh --format   also clang-format (with git clang-format), for scripts/check-format.sh
#   scripts/setup.sh --package  also debhelper, dh-python, lintian, debootstrap, llvm-dlltool, zip and the
#                               mingw-w64 cross compiler with Wine, for "make package" and "make test-package"
set -eu

packages="cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev"
packages="$packages pkg-config libusb-1.0-0-dev umockdev libumockdev-dev"
# Rebuilds and the several builds of .ci/run reuse earlier compilations.
packages="$packages ccache"
packages="$packages python3 python3-venv python3-numpy python3-pytest python3-matplotlib"
# Plots of "korval adc stream --plot" (the tool only; the library does not use them).
packages="$packages libplplot-dev plplot-driver-cairo"
# The tool's command line and help (CLI11) and its --json output (nlohmann::json): header-only, tool only.
packages="$packages libcli11-dev nlohmann-json3-dev"
# The HTTP server of "korval panel" (cpp-httplib; tool only).
packages="$packages libcpp-httplib-dev"
# Measurement files: HDF5 for the tool (C library) and for the Python package (h5py).
packages="$packages libhdf5-dev python3-h5py"
# Remote boards (korval serve, libkorval_remote.so) on gRPC and protobuf; openssl makes the TLS tests'
# certificates. Neither is linked into the library.
packages="$packages libgrpc++-dev libprotobuf-dev protobuf-compiler protobuf-compiler-grpc openssl"
if [ "${1:-}" = "--windows" ]; then
    packages="$packages mingw-w64 g++-mingw-w64-x86-64-posix googletest wine64"
fi
if [ "${1:-}" = "--browser" ]; then
    packages="$packages chromium python3-websocket"
fi
if [ "${1:-}" = "--docs" ]; then
    packages="$packages doxygen python3-sphinx chromium"
fi
if [ "${1:-}" = "--format" ]; then
    packages="$packages clang-format git"
fi
if [ "${1:-}" = "--package" ]; then
    packages="$packages debhelper dh-python dpkg-dev devscripts fakeroot lintian debootstrap python3-wheel"
    packages="$packages python3-setuptools python3-all llvm zip unzip"
    packages="$packages mingw-w64 g++-mingw-w64-x86-64-posix wine64"
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
