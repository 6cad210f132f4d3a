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
#   scripts/setup.sh --vm       also qemu, for make test-vm (the kernel and busybox it boots are Debian
#                               packages too, fetched and unpacked by scripts/test-vm.sh, not installed)
#   scripts/setup.sh --format   also clang-format (with git clang-format), for scripts/check-format.sh
#   scripts/setup.sh --dotnet   also unzip (the packed package's check); the .NET package itself needs the
#                               .NET SDK 10 (dotnet on PATH, not a Debian package: the machine brings it)
#                               with NuGet packages from /opt/nuget/packages (xunit, the test SDK) and
#                               the registry (NETStandard.Library); without the SDK, make test-dotnet skips
#   scripts/setup.sh --tango    also PyTango (python3-tango) and pytest-forked, for korval-tango and
#                               "make test-tango"; the Tango database (tango-db, tango_admin) and MariaDB,
#                               for its test against a real database (which starts its own instance)
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
if [ "${1:-}" = "--vm" ]; then
    packages="$packages qemu-system-x86"
fi
if [ "${1:-}" = "--format" ]; then
    packages="$packages clang-format git"
fi
if [ "${1:-}" = "--dotnet" ]; then
    packages="$packages unzip"
    command -v dotnet > /dev/null 2>&1 ||
        echo "the .NET SDK (dotnet) is not installed: the .NET package is not built or tested here"
fi
if [ "${1:-}" = "--tango" ]; then
    packages="$packages python3-tango python3-pytest-forked tango-db libtango-tools mariadb-server"
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
if [ "${1:-}" = "--tango" ]; then
    # tango-db would otherwise set up its schema in the system's MariaDB; the test makes a database of its own.
    echo "tango-db tango-db/dbconfig-install boolean false" | $sudo debconf-set-selections
fi
$sudo apt-get update -qq
# shellcheck disable=SC2086
$sudo apt-get install -y -qq --no-install-recommends $missing
