#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
#
# Packs a small initramfs: static busybox (package busybox-static), the
# named kernel modules with what they depend on (and a modules.dep for
# busybox modprobe), an /init script, and optionally a tree of more files.
#
# usage: vm/initramfs.sh OUT KERNEL_DIR INIT [-d TREE] [MODULE...]
#   OUT         the gzip'd newc cpio to write (for QEMU's -initrd)
#   KERNEL_DIR  the cache that kernel.sh filled (CACHE_DIR/kernel)
#   INIT        a shell script, installed as /init (run by /bin/sh = busybox;
#               "/bin/busybox --install -s" in it makes the applet links)
#   -d TREE     a directory copied over the root (programs, config files)
#   MODULE      module names, e.g. virtio_pci 9pnet_virtio 9p parport_pc ppdev
# In /init, "modprobe NAME" then loads any module packed here.
set -eu
[ $# -ge 3 ] || { echo "initramfs.sh: usage: initramfs.sh OUT KERNEL_DIR INIT [-d TREE] [MODULE...]" >&2; exit 2; }
out=$1
kdir=$2
init=$3
shift 3
tree=""
if [ "${1:-}" = "-d" ]; then
    tree=$2
    shift 2
fi
for tool in busybox cpio gzip depmod; do
    command -v "$tool" >/dev/null || { echo "initramfs.sh: $tool: missing" >&2; exit 1; }
done
bb=/bin/busybox
# Debian's busybox-static puts a static busybox at /bin/busybox.
ldd "$bb" 2>&1 | grep -q 'not a dynamic' ||
    { echo "initramfs.sh: $bb is not static (install busybox-static)" >&2; exit 1; }
ver=$(cat "$kdir/version")
mods=$kdir/lib/modules/$ver

work=$(mktemp -d "${TMPDIR:-/tmp}/quenlyte-initramfs.XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir -p "$root/bin" "$root/sbin" "$root/dev" "$root/proc" "$root/sys" "$root/run" \
    "$root/tmp" "$root/mnt" "$root/lib/modules/$ver"
cp "$bb" "$root/bin/busybox"
ln -s busybox "$root/bin/sh"
cp "$init" "$root/init"
chmod 755 "$root/init"
for m in "$@"; do
    # The module's own line in modules.dep: its path, then its dependencies.
    line=$(grep -E "(^|/)$(echo "$m" | sed 's/[-_]/[-_]/g')\.ko(\.[a-z]+)?:" "$mods/modules.dep" | head -n 1)
    [ -n "$line" ] || { echo "initramfs.sh: module $m: not in $ver" >&2; exit 1; }
    for f in $(echo "$line" | tr -d ':'); do
        mkdir -p "$root/lib/modules/$ver/$(dirname "$f")"
        cp "$mods/$f" "$root/lib/modules/$ver/$f"
    done
done
cp "$mods/modules.builtin" "$mods/modules.builtin.modinfo" "$mods/modules.order" "$root/lib/modules/$ver/" 2>/dev/null || true
depmod -b "$root" "$ver"
[ -z "$tree" ] || cp -a "$tree/." "$root/"
(cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 >"$out.tmp"
mv "$out.tmp" "$out"
