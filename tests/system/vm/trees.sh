# SPDX-License-Identifier: GPL-2.0-or-later
#
# The trees the router VMs boot, made once and kept in build-vm/cache:
# Debian's kernel (vm/kernel.sh), a Debian 12 tree (mmdebstrap minbase with
# systemd, udev, ppp, pppoe and iperf3) and the same tree with OpenRC in
# place of systemd. Sourced by tests/system/vm/run and openrc_run, which
# define say and skip first; run as a script, it makes all three ahead of
# those stages (tests/run does so while the programs build).
#
# usage: sh tests/system/vm/trees.sh prepare    (from the tree's top)
#   Status 0 ready, 77 skipped (not root, a tool missing, no mirror).
#
# As a library, after `. tests/system/vm/trees.sh` with cache= set:
#   vm_kernel        kver, kdir: the kernel and its modules
#   vm_base          base, base_key: the systemd tree
#   vm_openrc_base   obase, openrc_key: the OpenRC tree (vm_base first)
#   vm_modules TREE MODULE...   the modules, with what they need, into TREE
suite=bookworm
mirror=http://deb.debian.org/debian
include=systemd-sysv,udev,kmod,iproute2,procps,ppp,pppoe,iperf3
openrc_packages="sysvinit-core openrc ifupdown busybox-syslogd"

vm_kernel() {
    kver=$(sh vm/kernel.sh "$cache") || skip "no Debian kernel to be had (apt-get download failed)"
    kdir=$cache/kernel
}

vm_base() {
    base_key=$(echo "mmdebstrap $suite $mirror $include" | sha256sum | cut -c1-12)
    base=$cache/base-$base_key
    [ ! -d "$base" ] || return 0
    rm -rf "$cache"/base-* "$cache/base.tmp"
    # mmdebstrap, not debootstrap: the same packages in half the processor
    # time (apt resolves once, dpkg unpacks in a few large runs). Its hook
    # merges /usr as debootstrap does, without the usrmerge package.
    say "mmdebstrap $suite minbase with $include"
    if ! mmdebstrap --variant=minbase --include="$include" \
        --hook-dir=/usr/share/mmdebstrap/hooks/merged-usr "$suite" "$cache/base.tmp" "$mirror" \
        >"$cache/mmdebstrap.log" 2>&1; then
        tail -n 5 "$cache/mmdebstrap.log"
        rm -rf "$cache/base.tmp"
        skip "mmdebstrap failed (no Debian mirror?)"
    fi
    rm -rf "$cache/base.tmp/var/cache/apt/archives"/*.deb
    mv "$cache/base.tmp" "$base"
}

vm_openrc_base() {
    openrc_key=$(echo "$base_key $openrc_packages" | sha256sum | cut -c1-12)
    obase=$cache/openrc-base-$openrc_key
    [ ! -d "$obase" ] || return 0
    rm -rf "$cache"/openrc-base-* "$cache/openrc-base.tmp"
    say "OpenRC in place of systemd: $openrc_packages"
    cp -a "$base" "$cache/openrc-base.tmp"
    t=$cache/openrc-base.tmp
    printf '#!/bin/sh\nexit 101\n' >"$t/usr/sbin/policy-rc.d"
    chmod 755 "$t/usr/sbin/policy-rc.d"
    mount -t proc proc "$t/proc"
    # sysvinit-core takes /sbin/init from systemd-sysv; openrc takes sysv-rc's
    # place; the services' scripts come after it, so that OpenRC gets them.
    if ! chroot "$t" sh -c "export DEBIAN_FRONTEND=noninteractive
        apt-get update -q &&
        apt-get install -y -q sysvinit-core &&
        apt-get install -y -q openrc &&
        apt-get install -y -q --no-install-recommends ifupdown busybox-syslogd &&
        apt-get purge -y -q --auto-remove systemd &&
        apt-get clean" >"$cache/openrc-base.log" 2>&1; then
        umount "$t/proc"
        tail -n 10 "$cache/openrc-base.log"
        rm -rf "$t"
        skip "apt-get in the image failed (no Debian mirror?)"
    fi
    umount "$t/proc"
    rm -f "$t/usr/sbin/policy-rc.d"
    rm -rf "$t/var/lib/apt/lists"/*_Packages
    mv "$t" "$obase"
}

vm_modules() {
    tree=$1
    shift
    mods=$kdir/lib/modules/$kver
    for m in "$@"; do
        line=$(grep -E "(^|/)$m\.ko:" "$mods/modules.dep" | head -n 1)
        [ -n "$line" ] || { echo "module $m: not in $kver"; exit 1; }
        for f in $(echo "$line" | tr -d ':'); do
            mkdir -p "$tree/lib/modules/$kver/${f%/*}"
            cp "$mods/$f" "$tree/lib/modules/$kver/$f"
        done
    done
    cp "$mods"/modules.builtin* "$mods/modules.order" "$tree/lib/modules/$kver/"
    depmod -b "$tree" "$kver"
}

if [ "${1:-}" = prepare ]; then
    set -eu
    start_s=$(date +%s)
    say() { echo "vm-trees: $*"; }
    skip() { echo "SKIP: VM trees: $*"; exit 77; }
    [ "$(id -u)" = 0 ] || skip "needs root (mmdebstrap, chroot)"
    for tool in mmdebstrap depmod; do
        command -v "$tool" >/dev/null || skip "$tool missing (see needs_vm in .ci/needs.sh)"
    done
    cache=$PWD/build-vm/cache
    mkdir -p "$cache"
    vm_kernel
    vm_base
    vm_openrc_base
    say "kernel $kver, Debian tree and its OpenRC twin ready ($(($(date +%s) - start_s)) s)"
fi
