#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
#
# Boots a kernel under QEMU the one way quenlyte's VM checks do: software
# emulation (TCG), no network device (-nic none: nothing the VM sends can
# leave it), ISA parallel port at 0x378 with every access traced, serial
# ports to files, and a time-out after which the VM is killed.
#
# usage: vm/qemu.sh [-t SECONDS] [-m MIB] [-c CPUS] [-a APPEND]
#                         [-T TRACE] [-o CONSOLE] [-f FINDINGS]
#                         KERNEL INITRD [-- QEMU_ARG...]
#   -t  time-out in seconds (default 300); the VM is then killed and the
#       status is 124
#   -m  memory in MiB (default 1024)      -c  virtual CPUs (default 1)
#   -a  kernel command line, added to "console=ttyS0 panic=-1
#       mitigations=off tsc=reliable" (under emulation the mitigations only
#       cost time, and the TSC is as steady as the host's clock)
#   -T  the parallel port's trace file: one line per access, e.g.
#         1234@1700000000.123456:parallel_ioport_write write [SW] addr 0x00 val 0x81
#       (addr is the offset from the base 0x378; seconds are the host's clock)
#   -o  the kernel console (ttyS0), default: discarded
#   -f  the second serial port (ttyS1, /dev/ttyS1 in the guest), default: none
#   QEMU_ARG  more options, e.g. -drive file=IMG,format=raw,if=virtio
#             or -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap
# The status is QEMU's (0 after the guest powered off: use "poweroff -f" in
# the guest; -no-reboot turns a reboot or a panic into an exit too), or 124
# after the time-out. stdin is not read: the monitor is off. SIGTERM, SIGINT
# or SIGHUP to this script ends QEMU too.
set -eu
timeout_s=300
mem_mib=1024
cpus=1
append=""
trace=""
console=""
findings=""
while getopts t:m:c:a:T:o:f: opt; do
    case $opt in
    t) timeout_s=$OPTARG ;;
    m) mem_mib=$OPTARG ;;
    c) cpus=$OPTARG ;;
    a) append=$OPTARG ;;
    T) trace=$OPTARG ;;
    o) console=$OPTARG ;;
    f) findings=$OPTARG ;;
    *) sed -n '/^# usage/,/^# after/s/^# \{0,1\}//p' "$0" >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
[ $# -ge 2 ] || { echo "qemu.sh: usage: qemu.sh [OPTION...] KERNEL INITRD [-- QEMU_ARG...]" >&2; exit 2; }
kernel=$1
initrd=$2
shift 2
[ "${1:-}" != "--" ] || shift

set -- -accel tcg -m "$mem_mib" -smp "$cpus" -nodefaults -no-user-config \
    -display none -vga none -monitor none -nic none -no-reboot \
    -kernel "$kernel" -initrd "$initrd" -append "console=ttyS0 panic=-1 mitigations=off tsc=reliable $append" \
    -serial "${console:+file:}${console:-null}" \
    ${findings:+-serial file:"$findings"} \
    -parallel file:/dev/null \
    ${trace:+-trace enable=parallel_ioport_write -trace enable=parallel_ioport_read -msg timestamp=on -D "$trace"} \
    "$@"
# timeout(1) runs QEMU in a process group of its own, so a signal to this
# script's group would miss it: SIGTERM, SIGINT or SIGHUP here is passed on
# (timeout passes it to QEMU, which ends).
timeout -k 5 "$timeout_s" qemu-system-x86_64 "$@" </dev/null &
child=$!
trap 'kill -TERM "$child" 2>/dev/null' INT TERM HUP
status=0
wait "$child" || status=$?
while kill -0 "$child" 2>/dev/null; do # a signal cut the wait short
    status=0
    wait "$child" || status=$?
done
[ "$status" != 124 ] || echo "qemu.sh: no power-off within $timeout_s s: VM killed" >&2
exit "$status"
