#!/bin/sh
# make test-vm: the Linux host against a board through the kernel's own USB stack. A small VM (Debian's
# kernel, busybox, an initramfs) runs under qemu; in it dummy_hcd joins a host controller to a device
# port, korval-gadget makes the port a board, and the korval tool finds and drives it through libusb
# and usbfs. The same cases run against a simulated board here; their outputs must match.
#   scripts/test-vm.sh BUILD_DIR
# Figures measured in the VM (lines "figure: ...") are shown and not compared. udevd runs in the VM
# for the permission and notification cases.
# The kernel, busybox and udev come from Debian's packages (apt-get download, unpacked, never installed),
# cached in $KORVAL_VM_CACHE (default /var/cache/korval-vm) by package version; the programs are
# packed afresh each run. Every wait is bounded: a guest that hangs fails with its console shown.
set -eu
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
cache=${KORVAL_VM_CACHE:-/var/cache/korval-vm}
limit=${KORVAL_VM_SECONDS:-540}
for f in korval korval-gadget korval-vm-check src/libkorval.so udev/70-korval.rules; do
    [ -e "$build/$f" ] || { echo "test-vm: $build/$f is missing (build first)"; exit 1; }
done

# ---- the base: kernel and modules, busybox; by package version ----
kernel_pkg=$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1)
candidate() { apt-cache policy "$1" | sed -n 's/^ *Candidate: //p'; }
versions="$kernel_pkg=$(candidate "$kernel_pkg") busybox-static=$(candidate busybox-static) udev=$(candidate udev) systemd=$(candidate systemd)"
key=$(printf '%s\n' "$versions" | cat - tests/vm/init | sha256sum | cut -c1-16)
base="$cache/base-$key"
if [ ! -f "$base/base.cpio" ]; then
    echo "test-vm: building the base image ($versions)"
    rm -rf "$base.tmp" && mkdir -p "$base.tmp/debs" "$base.tmp/x" "$base.tmp/root/bin" "$base.tmp/root/modules"
    (cd "$base.tmp/debs" && timeout 600 apt-get download -q "$kernel_pkg" busybox-static udev systemd)
    for deb in "$base.tmp"/debs/*.deb; do dpkg-deb -x "$deb" "$base.tmp/x"; done
    # udev's daemon (udevadm under the daemon's name), its default rules and the seat's rules, which
    # hand a device tagged "uaccess" to the user of the seat's active session.
    # (under usr/: the programs' part links lib to usr/lib)
    mkdir -p "$base.tmp/root/usr/lib/udev/rules.d" "$base.tmp/root/usr/lib/systemd"
    cp "$base.tmp/x/bin/udevadm" "$base.tmp/root/bin/udevadm"
    cp "$base.tmp/x/bin/udevadm" "$base.tmp/udevadm"
    ln -s /bin/udevadm "$base.tmp/root/usr/lib/systemd/systemd-udevd"
    for r in 50-udev-default.rules 71-seat.rules 73-seat-late.rules; do
        cp "$(find "$base.tmp/x" -path '*/udev/rules.d/*' -name "$r" | head -n 1)" "$base.tmp/root/usr/lib/udev/rules.d/"
    done
    cp "$base.tmp"/x/boot/vmlinuz-* "$base.tmp/vmlinuz"
    cp "$base.tmp/x/bin/busybox" "$base.tmp/root/bin/busybox"
    for m in usb-common usbcore udc-core dummy_hcd configfs libcomposite usb_f_fs; do
        find "$base.tmp/x/lib/modules" -name "$m.ko" -exec cp {} "$base.tmp/root/modules/" \;
        [ -f "$base.tmp/root/modules/$m.ko" ] || { echo "test-vm: the kernel has no $m.ko"; exit 1; }
    done
    cp tests/vm/init "$base.tmp/root/init"
    (cd "$base.tmp/root" && find . | ../x/bin/busybox cpio -o -H newc > ../base.cpio 2> /dev/null)
    cp "$base.tmp/x/bin/busybox" "$base.tmp/busybox"
    rm -rf "$base.tmp/debs" "$base.tmp/x" "$base.tmp/root"
    rm -rf "$base" && mv "$base.tmp" "$base"
fi

# ---- the programs: the library, the tool, the gadget and the libraries they load ----
run=$(mktemp -d)
trap 'rm -rf "$run"' EXIT
root="$run/root"
mkdir -p "$root/korval" "$root/usr/lib" "$root/usr/lib64" "$root/etc"
ln -s usr/lib "$root/lib"
ln -s usr/lib64 "$root/lib64"
cp "$build/korval" "$build/korval-gadget" "$build/korval-vm-check" "$root/korval/"
# What the board with the noise signal of seed 7 sends: the continuous acquisition's every sample.
LD_LIBRARY_PATH="$build/src" "$build/korval-vm-check" reference "$root/korval/reference.bin" 7
cp -P "$build"/src/libkorval.so* "$root/korval/"
cp tests/vm/cases.sh "$root/korval/"
cp "$build/udev/70-korval.rules" "$root/korval/"
printf 'root:x:0:0::/:/bin/sh\nkorval:x:1000:1000::/tmp:/bin/sh\n' > "$root/etc/passwd"
printf 'root:x:0:\nkorval:x:1000:\n' > "$root/etc/group"
for lib in $(LD_LIBRARY_PATH="$build/src" ldd "$build/korval" "$build/korval-gadget" "$build/korval-vm-check" "$base/udevadm" | sed -n 's/.*=> \(\/[^ ]*\).*/\1/p; s/^[[:space:]]*\(\/[^ ]*\) (.*/\1/p' | sort -u); do
    case "$lib" in */libkorval.so*) continue ;; esac
    real=$(realpath "$lib")
    dest="$root/usr${lib#/usr}"
    mkdir -p "$(dirname "$dest")"
    cp "$real" "$dest"
done
(cd "$root" && find . | "$base/busybox" cpio -o -H newc > "$run/programs.cpio" 2> /dev/null)
cat "$base/base.cpio" "$run/programs.cpio" > "$run/initrd"

# ---- the expected outputs: the same cases against simulated boards in this machine ----
KORVAL_SIM="0x8040" KORVAL_TOOL="$build/korval" sh tests/vm/cases.sh > "$run/expected.txt" 2>&1 || true

# ---- the run ----
echo "test-vm: booting ($(du -m "$run/initrd" | cut -f1) MB initramfs, time limit $limit s)"
start=$(date +%s)
status=0
timeout --kill-after=10 "$limit" qemu-system-x86_64 -machine q35 -accel tcg -cpu max -smp 1 -m 1536 -nographic \
    -no-reboot -kernel "$base/vmlinuz" -initrd "$run/initrd" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1 rdinit=/init" > "$run/console.txt" 2>&1 || status=$?
echo "test-vm: the VM ran $(($(date +%s) - start)) s"
tr -d '\r' < "$run/console.txt" > "$run/console.log"
if [ "$status" -ne 0 ] || ! grep -q '^korval-vm: cases ended with 0' "$run/console.log"; then
    echo "test-vm: FAILED (qemu status $status); the guest's console:"
    cat "$run/console.log"
    exit 1
fi
sed -n '/^== /,$p' "$run/console.log" | sed '/^korval-vm: cases ended/,$d' > "$run/all.txt"
# The figures (rates, times, counts measured in the VM) are shown, not compared.
grep -v '^figure: ' "$run/all.txt" > "$run/actual.txt" || true
cat "$run/all.txt"
if ! diff -u "$run/expected.txt" "$run/actual.txt" > "$run/diff.txt"; then
    echo "test-vm: FAILED: the board in the VM answered otherwise than the simulated board:"
    cat "$run/diff.txt"
    exit 1
fi
echo "test-vm: passed"
