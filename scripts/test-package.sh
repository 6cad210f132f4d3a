#!/bin/sh
# Checks what scripts/make-package.sh wrote into dist/, as users install it:
#   the .deb files, installed with apt-get into a fresh Debian 12 root (debootstrap; the base root is kept
#     in $KORVAL_PACKAGE_CACHE, default /var/cache/korval, per suite, mirror and package list): the tool
#     measures into an HDF5 file, Debian's python3 imports the module and measures, a C program built with
#     pkg-config and a C++ program built with CMake's find_package run, the udev rules are where udev
#     reads them; purging the packages leaves none of their files
#   the Linux wheel, installed with pip into a fresh virtual environment, measures on its own library
#   the Windows archive, unpacked: korval.exe and a C program built against its headers and mingw-w64
#     import library run under Wine; KORVAL.lib names every export of korval.def
# Runs as root (debootstrap, chroot). Every wait is bounded (timeout).
#   scripts/test-package.sh [DIST_DIR]
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
dist=$(cd "${1:-dist}" && pwd)
version=$(sed -n 's/^#define KORVAL_VERSION_[A-Z]* \([0-9]*\).*/\1/p' include/korval/korval.h | paste -sd. -)
cache=${KORVAL_PACKAGE_CACHE:-/var/cache/korval}
work=$(mktemp -d /tmp/korval-test-package.XXXXXX)
chroot_dir=$work/root
mounted=""
cleanup() {
    [ -z "${WINEPREFIX:-}" ] || timeout 30 /usr/lib/wine/wineserver -k 2> /dev/null || true
    for m in $mounted; do umount "$m" 2> /dev/null || umount -l "$m" 2> /dev/null || true; done
    # Never into a mount left behind (/dev, /proc, the package cache): the folder stays then.
    if grep -q " $work/" /proc/mounts; then
        echo "still mounted under $work: left in place"
    else
        rm -rf --one-file-system "$work"
    fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM
[ "$(id -u)" -eq 0 ] || { echo "test-package.sh runs as root (debootstrap, chroot)"; exit 1; }
ls "$dist"/*.deb > /dev/null

# --- A fresh Debian 12 root with what the checks build with, from the machine's mirror
mirror=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
[ -n "$mirror" ] || mirror=$(sed -n 's/^deb  *\(\[[^]]*\] *\)\{0,1\}\([^ ]*\) .*/\2/p' /etc/apt/sources.list 2>/dev/null | head -n 1)
[ -n "$mirror" ] || mirror=http://deb.debian.org/debian
suite=bookworm
include=g++,cmake,make,pkgconf,python3
# The cache is keyed by what makes the root (suite, mirror, packages, this recipe's revision); a root is
# used only when its stamp says it was finished, and is made again when older than a week (the overlay's
# apt-get update brings the rest up to date). One run at a time makes or checks it (flock, bounded).
key=$(printf '%s %s %s 2\n' "$suite" "$mirror" "$include" | sha256sum | cut -c1-16)
base=$cache/debian12-$key
mkdir -p "$cache/apt-archives/partial"
exec 9> "$cache/.lock"
timeout 2400 flock 9 || { echo "the package cache $cache stayed locked"; exit 1; }
fresh=$(find "$base.stamp" -mtime -7 2> /dev/null || true)
if [ -z "$fresh" ] || [ "$(cat "$base.stamp")" != "$key" ] || [ ! -x "$base/usr/bin/g++" ]; then
    echo "-- debootstrap $suite from $mirror into $base (once a week: about 5 minutes)"
    rm -rf --one-file-system "$base" "$base.partial" "$base.stamp"
    timeout 1800 debootstrap --variant=minbase --include="$include" "$suite" "$base.partial" "$mirror" \
        > "$work/debootstrap.log" 2>&1 || { tail -30 "$work/debootstrap.log"; exit 1; }
    rm -rf "$base.partial/var/cache/apt/archives/"*.deb
    timeout 60 chroot "$base.partial" /usr/bin/g++ --version > /dev/null ||
        { echo "the new root cannot run its compiler"; exit 1; }
    mv "$base.partial" "$base"
    echo "$key" > "$base.stamp"
fi
# The fresh root: the base, unchanged, under an overlay that takes this run's changes (a copy where
# overlays cannot be mounted).
mkdir -p "$chroot_dir" "$work/upper" "$work/overlay-work"
if mount -t overlay overlay -o "lowerdir=$base,upperdir=$work/upper,workdir=$work/overlay-work" "$chroot_dir" 2> /dev/null; then
    mounted="$chroot_dir"
else
    cp -a "$base/." "$chroot_dir/"
fi
for m in proc dev; do
    mount --bind "/$m" "$chroot_dir/$m"
    mounted="$chroot_dir/$m $mounted"
done
# Downloaded packages are kept between runs.
mount --bind "$cache/apt-archives" "$chroot_dir/var/cache/apt/archives"
mounted="$chroot_dir/var/cache/apt/archives $mounted"
in_root() { timeout -k 10 "$1" chroot "$chroot_dir" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive sh -euc "$2"; }

mkdir -p "$chroot_dir/tmp/dist" "$chroot_dir/tmp/check"
cp "$dist"/*.deb "$chroot_dir/tmp/dist/"
cp tests/consumer/consumer.c tests/consumer/CMakeLists.txt "$chroot_dir/tmp/check/"
cat > "$chroot_dir/tmp/check/consumer.cpp" <<'EOF'
// The same check from C++, built with find_package(Korval).
#include <korval/korval.h>
#include <korval/sim.h>

#include <cstdio>

int main()
{
    KorvalSim* sim = KorvalSim_Create();
    KorvalSim_AddBoard(sim, 0x8073, KORVAL_SIM_WINUSB);
    if (KORVAL_InstallHost(KorvalSim_Host(sim)) != ERROR_SUCCESS) return 1;
    const uint32_t mask = GetDevices();
    KORVAL_InstallHost(nullptr);
    KorvalSim_Destroy(sim);
    std::printf("C++: boards 0x%X\n", static_cast<unsigned>(mask));
    return mask == 1u ? 0 : 1;
}
EOF
cat > "$chroot_dir/tmp/check/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.16)
project(korval_consumer LANGUAGES CXX)
find_package(Korval 1 REQUIRED)
add_executable(consumer_cpp consumer.cpp)
target_link_libraries(consumer_cpp PRIVATE Korval::korval)
EOF
cat > "$work/measure.py" <<EOF
import sys
import korval
assert korval.__version__ == "$version", korval.__version__
with korval.Simulation() as sim:
    sim.add_board(0x8040)
    dev = korval.Device.first()
    volts = dev.adc.scan("0-3")
    assert len(volts) >= 4 and all(abs(v) <= 10 for v in volts[:4]), volts
print("Python", korval.__version__, "from", korval._lib.load().path, ":", len(volts), "channels scanned")
EOF
cp "$work/measure.py" "$chroot_dir/tmp/check/"

echo "-- apt-get install ./dist/*.deb in a fresh Debian 12 root"
in_root 900 'apt-get update -qq && cd /tmp && apt-get install -y -qq --no-install-recommends ./dist/*.deb > /tmp/apt.log 2>&1' ||
    { tail -30 "$chroot_dir/tmp/apt.log" 2> /dev/null; echo "apt-get install failed or timed out"; exit 1; }
in_root 300 '
cd /tmp/check
dpkg-query -W -f="\${Package} \${Version}\n" libkorval1 libkorval-dev korval korval-udev python3-korval
for p in libkorval1 libkorval-dev korval korval-udev python3-korval; do dpkg -L "$p"; done | sort -u > /tmp/files.txt
echo "- korval adc acquire into r.h5"
timeout 60 korval --sim 0x8040 adc acquire --rate 1000 --channels 0-3 --seconds 1 --out r.h5
[ "$(od -An -tx1 -N8 r.h5 | tr -d " ")" = 894844460d0a1a0a ] || { echo "r.h5 is not an HDF5 file"; exit 1; }
timeout 60 korval --sim 0x8040 serve --help > /dev/null
timeout 60 korval --sim 0x8040 panel --help > /dev/null
echo "- Debian python3"
timeout 60 python3 measure.py
echo "- C with pkg-config"
timeout 120 cc -Wall -Werror -o consumer consumer.c $(pkg-config --cflags --libs korval)
timeout 60 ./consumer
echo "- C++ with find_package(Korval)"
timeout 120 cmake -S . -B build > /dev/null && timeout 300 cmake --build build > /dev/null
timeout 60 ./build/consumer_cpp
echo "- udev rules"
rules=$(grep "/70-korval.rules\$" /tmp/files.txt)
case "$rules" in
    /lib/udev/rules.d/*|/usr/lib/udev/rules.d/*|/etc/udev/rules.d/*) echo "$rules" ;;
    *) echo "the udev rules are not where udev reads them: ${rules:-none}"; exit 1 ;;
esac
grep -q "ATTR{idVendor}==\"4b56\"" "$rules"
'
echo "-- apt-get purge: no file of the packages left"
in_root 300 '
timeout 240 apt-get purge -y -qq libkorval1 libkorval-dev korval korval-udev python3-korval > /tmp/purge.log 2>&1 ||
    { cat /tmp/purge.log; exit 1; }
left=""
while read -r f; do [ -d "$f" ] && continue; { [ -e "$f" ] || [ -L "$f" ]; } && left="$left $f"; done < /tmp/files.txt
[ -d /usr/lib/python3/dist-packages/korval ] && left="$left /usr/lib/python3/dist-packages/korval/"
[ -z "$left" ] || { echo "left behind:$left"; exit 1; }
echo "removed: $(wc -l < /tmp/files.txt) paths"
'

exec 9>&-

echo "-- the Linux wheel in a fresh virtual environment"
# numpy from Debian's python3-numpy (no package index here).
timeout 120 /usr/bin/python3 -m venv --system-site-packages "$work/venv"
timeout 300 "$work/venv/bin/pip" install --no-index --quiet "$dist/korval-$version-py3-none-linux_x86_64.whl"
(cd "$work" && env -u KORVAL_LIBRARY -u PYTHONPATH LD_LIBRARY_PATH= timeout 60 "$work/venv/bin/python" measure.py) |
    tee "$work/wheel.txt"
grep -q "from $work/venv/.*/korval/libkorval.so" "$work/wheel.txt" || { echo "the wheel's own library was not used"; exit 1; }

echo "-- the Windows archive under Wine"
mkdir -p "$work/win"
(cd "$work/win" && unzip -q "$dist/korval-$version-win64.zip")
win=$work/win/korval-$version-win64
# The Wine prefix is kept beside the package builds (made once: Wine's first start takes a while).
mkdir -p "$root/build-package"
export WINEPREFIX="$root/build-package/wine-prefix" WINEDEBUG=-all
timeout 300 "$root/scripts/wine-run.sh" "$win/bin/korval.exe" --sim 0x8040 list
timeout 300 x86_64-w64-mingw32-gcc -Wall -Werror -I"$win/include" -o "$win/bin/consumer.exe" tests/consumer/consumer.c \
    "$win/lib/libKORVAL.dll.a"
timeout 300 "$root/scripts/wine-run.sh" "$win/bin/consumer.exe"
exports=$(sed '1,/^EXPORTS/d' "$win/lib/korval.def" | sed -n 's/^[[:space:]]*\([A-Za-z_][A-Za-z0-9_]*\).*/\1/p')
llvm-nm "$win/lib/KORVAL.lib" 2>/dev/null | sed -n 's/.* __imp_\(.*\)$/\1/p' | sort -u > "$work/lib-names.txt"
missing=$(printf '%s\n' $exports | sort -u | comm -23 - "$work/lib-names.txt")
[ -z "$missing" ] || { echo "KORVAL.lib lacks:" $missing; exit 1; }
echo "KORVAL.lib names all $(printf '%s\n' $exports | wc -l) exports of korval.def"
unzip -l "$dist/korval-$version-win64.zip" | grep -q "python/korval-$version-py3-none-win_amd64.whl"
unzip -l "$dist/korval-$version-py3-none-win_amd64.whl" | grep -q "korval/KORVAL.dll"

echo "== packages: all passed"
