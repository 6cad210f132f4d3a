#!/bin/sh
# Builds what users install into dist/, all of one version (the CMake project's, from the public header):
#   the Debian packages (debhelper, dh-python): libkorval1, libkorval-dev, korval, korval-udev,
#     python3-korval, checked by lintian (no errors); their -dbgsym packages go to dist/debug/
#   the Python wheels: Linux x86-64 carrying libkorval.so, Windows x64 carrying KORVAL.dll; the sdist
#   korval-VERSION-win64.zip: KORVAL.dll, import libraries for Visual C++ and mingw-w64, korval.def, the
#     headers, korval.exe, the Windows wheel, LICENSE and README-Windows.txt
# Every step is bounded in time (timeout): a hung one fails with its log. Work folders are under
# build-package/. KORVAL_WINDOWS_BUILD names a mingw-w64 build folder of the
# library configured as .ci/run's (build-windows) to reuse; otherwise build-package/windows is one.
#   scripts/make-package.sh [DIST_DIR]
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
dist=$(mkdir -p "${1:-dist}" && cd "${1:-dist}" && pwd)
work=$root/build-package
jobs=${JOBS:-$(nproc)}
version=$(sed -n 's/^#define KORVAL_VERSION_[A-Z]* \([0-9]*\).*/\1/p' include/korval/korval.h | paste -sd. -)
case "$version" in [0-9]*.[0-9]*.[0-9]*) ;; *) echo "no version in include/korval/korval.h"; exit 1 ;; esac
py=/usr/bin/python3
# debhelper gives the build a HOME of its own, which would hide ccache's cache: the machine's is used.
if command -v ccache > /dev/null && [ -z "${CCACHE_DIR:-}" ]; then
    CCACHE_DIR=$(ccache --get-config cache_dir) && export CCACHE_DIR
fi
mkdir -p "$work"
rm -rf "${dist:?}"/*
echo "== Korval $version into $dist"

# --- Debian packages, built from a copy of the tree's files (tracked and new, as they are now)
src=$work/korval-$version
rm -rf "$src" "$work"/*.deb "$work"/*.ddeb "$work"/*.changes "$work"/*.buildinfo
mkdir -p "$src"
git ls-files -co --exclude-standard | while read -r f; do [ -f "$f" ] && printf '%s\n' "$f"; done |
    tar -cf - -T - | tar -xf - -C "$src"
maintainer=$(sed -n 's/^Maintainer: //p' debian/control)
cat > "$src/debian/changelog" <<EOF
korval ($version) unstable; urgency=medium

  * Korval $version.

 -- $maintainer  $(git log -1 --format=%cD 2>/dev/null || date -R)
EOF
echo "-- dpkg-buildpackage (log: $work/dpkg-buildpackage.log)"
(cd "$src" && DEB_BUILD_OPTIONS="parallel=$jobs" timeout -k 10 3600 dpkg-buildpackage -b -us -uc > "$work/dpkg-buildpackage.log" 2>&1) ||
    { tail -40 "$work/dpkg-buildpackage.log"; exit 1; }
mkdir -p "$dist/debug"
for deb in "$work"/*.deb "$work"/*.ddeb; do
    [ -f "$deb" ] || continue
    case "$deb" in *-dbgsym_*) cp "$deb" "$dist/debug/" ;; *) cp "$deb" "$dist/" ;; esac
done
ls "$dist"/*.deb

echo "-- lintian"
timeout -k 10 900 lintian --fail-on error --tag-display-limit 0 "$dist"/*.deb > "$work/lintian.txt" 2>&1 ||
    { cat "$work/lintian.txt"; echo "lintian reports errors"; exit 1; }
cat "$work/lintian.txt"

# --- Python: the sdist, the Linux wheel on the library the Debian build stripped
echo "-- Python wheels and sdist"
wheel() { (cd python && "$py" -c 'import sys
sys.path.insert(0, "build_backend")
import korval_wheel
settings = dict(zip(["library", "platform"], sys.argv[2:]))
print(korval_wheel.build_wheel(sys.argv[1], settings) if len(sys.argv) > 2 else korval_wheel.build_sdist(sys.argv[1]))' "$@"); }
wheel "$dist"
linux_lib=$(find "$src/debian/libkorval1" -name "libkorval.so.$version" | head -n 1)
wheel "$dist" "$linux_lib" linux_x86_64

# --- Windows: KORVAL.dll cross-built with mingw-w64 (as .ci/run's Windows build, whose folder may be
# reused) and installed into a staging prefix; korval.exe built against that installation, as a user's
# program would be (optimised for release: the tool's own project does not make warnings errors, as GCC 12
# reports a false -Wrestrict in it at -O3 for this target)
echo "-- Windows build (log: $work/windows.log)"
win=$(mkdir -p "${KORVAL_WINDOWS_BUILD:-$work/windows}" && cd "${KORVAL_WINDOWS_BUILD:-$work/windows}" && pwd)
stage=$work/windows-stage
rm -rf "$stage"
cmake -S . -B "$win" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake \
    -DKORVAL_WERROR=ON -DKORVAL_BUILD_TESTS=OFF -DKORVAL_BUILD_BENCH=OFF -DKORVAL_BUILD_TOOL=OFF > "$work/windows.log" 2>&1 ||
    { cat "$work/windows.log"; exit 1; }
timeout -k 10 2400 cmake --build "$win" -j "$jobs" --target korval >> "$work/windows.log" 2>&1 || { tail -40 "$work/windows.log"; exit 1; }
cmake --install "$win" --prefix "$stage" >> "$work/windows.log" 2>&1 || { tail -20 "$work/windows.log"; exit 1; }
cmake -S tools -B "$work/windows-tool" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$stage" >> "$work/windows.log" 2>&1 ||
    { tail -20 "$work/windows.log"; exit 1; }
timeout -k 10 2400 cmake --build "$work/windows-tool" -j "$jobs" >> "$work/windows.log" 2>&1 || { tail -40 "$work/windows.log"; exit 1; }
wheel "$dist" "$win/src/KORVAL.dll" win_amd64

name=korval-$version-win64
zipdir=$work/zip/$name
rm -rf "$work/zip"
mkdir -p "$zipdir/bin" "$zipdir/lib" "$zipdir/include" "$zipdir/python"
cp "$win/src/KORVAL.dll" "$work/windows-tool/korval.exe" "$zipdir/bin/"
x86_64-w64-mingw32-strip "$zipdir/bin/korval.exe"
# korval.exe carries its runtimes (linked statically): KORVAL.dll is the one DLL it needs beside the system's.
for dll in $(x86_64-w64-mingw32-objdump -p "$zipdir/bin/korval.exe" | sed -n 's/.*DLL Name: //p'); do
    [ -f "$zipdir/bin/$dll" ] && continue
    case "$(echo "$dll" | tr '[:upper:]' '[:lower:]')" in
        kernel32.dll|user32.dll|advapi32.dll|msvcrt.dll|ws2_32.dll|shell32.dll|ole32.dll|setupapi.dll|api-ms-win-*) ;;
        *) echo "korval.exe needs $dll, which is not in the archive"; exit 1 ;;
    esac
done
cp "$win/src/korval.def" "$zipdir/lib/"
cp "$win/src/KORVAL.dll.a" "$zipdir/lib/libKORVAL.dll.a"
llvm-dlltool -m i386:x86-64 -d "$win/src/korval.def" -D KORVAL.dll -l "$zipdir/lib/KORVAL.lib"
cp -r include/korval "$zipdir/include/"
cp "$dist/korval-$version-py3-none-win_amd64.whl" "$zipdir/python/"
cp LICENSE "$zipdir/LICENSE.txt"
sed "s/@VERSION@/$version/g" packaging/README-Windows.txt > "$zipdir/README-Windows.txt"
(cd "$work/zip" && rm -f "$dist/$name.zip" && zip -qr -X "$dist/$name.zip" "$name")

echo "== dist/:"
(cd "$dist" && ls -l ./*.deb ./*.whl ./*.tar.gz ./*.zip)
