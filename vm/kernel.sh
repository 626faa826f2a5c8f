#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
#
# Fetches Debian's own amd64 kernel (the package linux-image-amd64 depends on)
# into a cache, for booting under QEMU. Nothing is installed on the host.
#
# usage: vm/kernel.sh CACHE_DIR
#   Prints the kernel version. Afterwards, in CACHE_DIR:
#     kernel/boot/vmlinuz-VERSION         the kernel (for QEMU's -kernel)
#     kernel/lib/modules/VERSION/         its modules, with modules.dep
#                                         (depmod -b), as busybox modprobe reads
#     kernel/version                      VERSION, one line
#   Idempotent: a cache that holds the version linux-image-amd64 names now
#   is reused as it is. Needs apt-get, dpkg-deb and depmod (package kmod).
#   Shell use:  ver=$(sh vm/kernel.sh build-vm/cache)
set -eu
cache=${1:?usage: kernel.sh CACHE_DIR}
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)
for tool in apt-get apt-cache dpkg-deb depmod; do
    command -v "$tool" >/dev/null || { echo "kernel.sh: $tool: missing" >&2; exit 1; }
done

# The versioned image package that the metapackage depends on today.
pkg=$(apt-cache depends linux-image-amd64 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1)
if [ -z "$pkg" ]; then
    # Without package lists (a fresh container), read them once.
    apt-get update -q >&2 || true
    pkg=$(apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1)
fi
[ -n "$pkg" ] || { echo "kernel.sh: linux-image-amd64: no kernel package found" >&2; exit 1; }
ver=${pkg#linux-image-}
# Signed and unsigned packages name the same version; the files are the same.
ver=${ver%-unsigned}

dir=$cache/kernel
if [ -f "$dir/version" ] && [ "$(cat "$dir/version")" = "$ver" ] &&
    [ -f "$dir/boot/vmlinuz-$ver" ] && [ -f "$dir/lib/modules/$ver/modules.dep" ]; then
    echo "$ver"
    exit 0
fi

work=$(mktemp -d "$cache/kernel-fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT
# As root, into a directory of its own (not the _apt user's).
(cd "$work" && apt-get download -q -o APT::Sandbox::User=root "$pkg" >&2) ||
    { echo "kernel.sh: apt-get download $pkg failed" >&2; exit 1; }
mkdir "$work/tree"
dpkg-deb -x "$work"/*.deb "$work/tree"
depmod -b "$work/tree" "$ver"
echo "$ver" >"$work/tree/version"
rm -rf "$dir"
mv "$work/tree" "$dir"
echo "$ver"
