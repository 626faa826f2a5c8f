# SPDX-License-Identifier: GPL-2.0-or-later
# The Debian packages quenlyte's scripts need, in one place, and the one way
# they get them. Sourced by ./demo, ./tests/run and .ci/run (POSIX sh).

# ./demo: building its three programs (preset demo, no tests) and --netns.
needs_demo="cmake g++ make iproute2"
# Building the programs and the tests (preset dev, which finds GoogleTest).
needs_build="$needs_demo googletest libgtest-dev"
# ./tests/run on top: man page check, valgrind, fuzzing and static checks,
# the Debian packages and lintian, systemd in a container, and capsh (the
# end-to-end and linkd tests without CAP_NET_ADMIN), the packages'
# autopkgtest. The package build's
# pkgconf and systemd (Build-Depends: systemd.pc names the units' directory).
# sigrok-cli: its SPI decoder reads the port's captures, the independent
# check of the frames in the judge's tests and the VM stages.
needs_test="$needs_build groff-base valgrind clang libclang-rt-14-dev clang-tidy cppcheck binutils
python3 build-essential debhelper lintian pkgconf systemd systemd-container libcap2-bin sigrok-cli
autopkgtest"
# Booting Debian's kernel under QEMU (tests/system/vm/): the emulator, the kernel's
# download and module index, the initramfs, and the Debian image of the VM
# stage (mmdebstrap, mke2fs -d). ppp, pppoe and iperf3 go into that image,
# not onto the host.
# ./tests/run asks for these only as root (the VM stages skip otherwise), and
# only where apt-get can install them or QEMU is there already.
needs_vm="qemu-system-x86 busybox-static kmod cpio e2fsprogs mmdebstrap debian-archive-keyring"

# need_packages PROG PACKAGE...: installs the missing packages with apt-get
# when run as root; otherwise prints the one command that installs them and
# returns 1. Where there is no dpkg it checks nothing.
need_packages() {
    need_prog=$1
    shift
    command -v dpkg-query >/dev/null || return 0
    need_missing=""
    for need_p in "$@"; do
        dpkg-query -W -f='${Status}' "$need_p" 2>/dev/null | grep -q "ok installed" ||
            need_missing="$need_missing $need_p"
    done
    [ -n "$need_missing" ] || return 0
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        echo "$need_prog: installing:$need_missing" >&2
        apt-get update -q >&2 &&
            DEBIAN_FRONTEND=noninteractive apt-get install -y -q $need_missing >&2
    else
        echo "$need_prog: missing Debian packages; install them with:" >&2
        echo "  sudo apt-get install$need_missing" >&2
        return 1
    fi
}
