#!/bin/sh
# Builds the guest of the emulated-disk tests: a busybox initramfs holding the
# disk drivers of the newest installed Debian kernel, the given programs with
# their shared libraries and loader, and the guest's init script.
#
#   mkinitramfs.sh OUT_DIR SRC[:DEST]...
#
# Each program SRC is copied to DEST (default: the same path). Writes
# OUT_DIR/initramfs.cpio and OUT_DIR/kernel (a link to the kernel to boot).
set -eu

out=$1
shift
here=$(cd "$(dirname "$0")" && pwd)

# The kernel whose modules are installed: the guest boots it and loads them.
kver=
for k in /boot/vmlinuz-*; do
    v=${k#/boot/vmlinuz-}
    [ -d "/lib/modules/$v" ] && kver=$v
done
[ -n "$kver" ] || { echo "mkinitramfs: no kernel with modules in /boot" >&2; exit 1; }

root=$out/root
rm -rf "$root"
mkdir -p "$root/bin" "$root/dev" "$root/proc" "$root/sys" "$root/tmp" "$root/hw" \
         "$root/etc" "$root/lib/modules/$kver"

busybox=$(command -v busybox)
! ldd "$busybox" >/dev/null 2>&1 ||
    { echo "mkinitramfs: $busybox is not static (install busybox-static)" >&2; exit 1; }
cp "$busybox" "$root/bin/busybox"
cp "$here/guest/init" "$root/init"
chmod 755 "$root/init"

# Drivers and everything they depend on; scsi_debug is loaded later by the
# scenarios that want it, with their own parameters.
for m in ahci sd_mod sg virtio_scsi virtio_pci mptsas nvme scsi_debug 9p 9pnet_virtio; do
    modprobe -S "$kver" --show-depends "$m" | while read -r cmd ko _; do
        [ "$cmd" = insmod ] || continue
        mkdir -p "$root$(dirname "$ko")"
        cp "$ko" "$root$ko"
    done
done
cp /lib/modules/"$kver"/modules.order /lib/modules/"$kver"/modules.builtin* "$root/lib/modules/$kver/"
depmod -b "$root" "$kver"

# A program, its libraries and the loader, each at the path the loader expects.
copy_file() {
    mkdir -p "$root$(dirname "$2")"
    cp -L "$1" "$root$2"
}
for plan in "$@"; do
    src=${plan%%:*}
    dest=${plan#*:}
    [ "$dest" = "$plan" ] && dest=$src
    copy_file "$src" "$dest"
    for lib in $(ldd "$src" | sed -n 's/.*=> \(\/[^ ]*\).*/\1/p; s/^[[:space:]]*\(\/[^ ]*\) (.*/\1/p'); do
        copy_file "$lib" "$lib"
    done
done

(cd "$root" && find . | cpio -o -H newc --quiet) > "$out/initramfs.cpio"
ln -sf "/boot/vmlinuz-$kver" "$out/kernel"
rm -rf "$root"
