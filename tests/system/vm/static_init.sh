#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
#
# /init of the VM with no C library (tests/system/vm/static_run.sh): a root of busybox,
# the parallel-port modules and the static programs alone. It runs the
# router README's boot lines (/etc/quenlyte/boot-lines, taken from it) with
# a dummy ppp0 up, then its stop lines; then starts quenlyte-linkd on a
# fixed timeline, runs quenlyte5 (ioperm) and then quenlyte5-ppdev (/dev/parport0) on QEMU's
# port for some seconds each and stops them with SIGTERM, then the simulated
# pair, and powers off.
#
# Events are marked in QEMU's port trace by a byte written to the status
# register (base+1, through /dev/port), in order with the daemon's accesses:
#   M  the modules load: parport_pc probes the port (its own frames)
#   R  the README's boot lines run
#   I  quenlyte5 starts        P  quenlyte5-ppdev starts
#   T  SIGTERM to the daemon   E  the daemon has ended
#   F  a start that must fail (no port at 0x278): nothing may reach the port
#   W  quenlyte5 starts on the walking test (share/walk.script), dot mode
# The frames between them are judged outside, from the trace. The checks
# made here go to the second serial port (/dev/ttyS1), one a line:
#   PASS: ... / FAIL: ... / INFO: ..., and last DONE FAILURES.
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
/bin/busybox mkdir -p /proc /sys /dev /tmp /run /dev/shm
/bin/busybox mount -t proc proc /proc
/bin/busybox mount -t sysfs sysfs /sys
/bin/busybox mount -t devtmpfs devtmpfs /dev 2>/dev/null
/bin/busybox mkdir -p /dev/shm
/bin/busybox mount -t tmpfs tmpfs /dev/shm
/bin/busybox --install -s
exec >/dev/ttyS1 2>&1
# pass, fail, info, await, ended, port_mark (static_run.sh puts it beside /init)
# shellcheck source=vm/guest-lib.sh
. "$(dirname "$0")/guest-lib.sh"
ip link set lo up

run_s=7          # seconds each daemon runs: more than one turn of the timeline
wait_s=20        # limit for each awaited state, seconds
args="512 64 0 16 2 10"   # IN_MAX OUT_MAX PORT LEDS MODE RATE: 16 LEDs, bar, 10/s
# The daemon detaches and ends up a child of this /init (ended: gone or a zombie).
daemon_pid() { pidof "$1" | cut -d' ' -f1; }
daemon_running() { [ -n "$(daemon_pid "$1")" ]; }

# --- no C library in this root ----------------------------------------------
libs=$(find / -xdev \( -name 'ld-linux*' -o -name 'ld-musl*' -o -name 'libc.so*' -o -name 'libc-*.so' \
    -o -name '*.so' -o -name '*.so.[0-9]*' \) 2>/dev/null)
if [ -z "$libs" ]; then
    pass "no shared library and no dynamic loader anywhere in the root"
else
    fail "shared libraries in the root: $libs"
fi
info "kernel $(uname -r)"

# --- every program runs here -------------------------------------------------
for program in quenlyte5 quenlyte5-ppdev quenlyte5-sim quenlyte-sim quenlyte-linkd; do
    if "$program" --help >/dev/null 2>&1; then
        pass "$program --help: status 0"
    else
        fail "$program --help: status $?"
    fi
done

# --- the system log and the port's modules ------------------------------------
syslogd -O /run/messages
await "$wait_s" test -S /dev/log || fail "syslogd made no /dev/log"
port_mark M
modprobe parport_pc && modprobe ppdev || fail "modprobe parport_pc ppdev"
await "$wait_s" test -c /dev/parport0 || fail "no /dev/parport0"
info "$(cat /proc/sys/dev/parport/parport0/base-addr 2>/dev/null | tr '\t' ' ') is parport0"

# --- the README's lines, as they stand --------------------------------------
modprobe dummy && ip link add ppp0 type dummy && ip link set ppp0 up || fail "no dummy ppp0"
port_mark R
if sh -e /etc/quenlyte/boot-lines; then
    pass "the README's boot lines returned 0: $(tr '\n' ';' </etc/quenlyte/boot-lines)"
else
    fail "the README's boot lines: status $?"
fi
# The daemon asked the service once, at once: had it not been listening yet,
# the daemon would have ended with status 1.
pid=$(daemon_pid quenlyte5-ppdev)
linkd=$(daemon_pid quenlyte-linkd)
sleep "$run_s"
if [ -n "$pid" ] && ! ended "$pid" && [ -n "$linkd" ]; then
    pass "quenlyte5-ppdev runs $run_s s after the README's lines, beside quenlyte-linkd"
else
    fail "after the README's lines: daemon '$pid', service '$linkd': $(tail -n 5 /run/messages)"
fi
if grep -q 'quenlyte-linkd\[[0-9]*\]: 127.0.0.1:5000: listening' /run/messages; then
    pass "the detached service logs to syslog: $(grep -o 'quenlyte-linkd\[.*listening' /run/messages)"
else
    fail "no listening line of quenlyte-linkd in the system log"
fi
port_mark T
sh /etc/quenlyte/stop-lines || fail "the README's stop lines: status $?"
if [ -n "$pid" ] && await "$wait_s" ended "$pid" && await "$wait_s" ended "$linkd"; then
    pass "the README's stop lines ended the daemon and the service"
else
    fail "still running after the README's stop lines: $(pidof quenlyte5-ppdev quenlyte-linkd)"
fi
port_mark E
ip link del ppp0

# --- the service on a timeline, detached --------------------------------------
if quenlyte-linkd --script /etc/quenlyte/timeline --detach; then
    pass "quenlyte-linkd --detach returned 0: listening"
else
    fail "quenlyte-linkd --script --detach: status $?"
fi
linkd=$(daemon_pid quenlyte-linkd)

# --- each daemon for some seconds, then SIGTERM --------------------------------
for program in quenlyte5 quenlyte5-ppdev; do
    case $program in quenlyte5) port_mark I ;; *) port_mark P ;; esac
    # shellcheck disable=SC2086
    "$program" $args || fail "$program: status $? before detaching"
    if ! await "$wait_s" daemon_running "$program"; then
        fail "$program: no daemon running"
        continue
    fi
    pid=$(daemon_pid "$program")
    sleep "$run_s"
    if ended "$pid"; then
        fail "$program ended by itself"
    else
        pass "$program ran $run_s s (connected to 127.0.0.1 and took the port)"
    fi
    port_mark T
    kill -TERM "$pid"
    if await "$wait_s" ended "$pid"; then
        pass "$program ended on SIGTERM"
    else
        fail "$program still running after SIGTERM"
        kill -KILL "$pid"
    fi
    port_mark E
done

# --- a start that fails says why in the system log ------------------------------
port_mark F
quenlyte5-ppdev 512 64 1 16 2 10 || fail "quenlyte5-ppdev on 0x278: status $? before detaching"
if await "$wait_s" grep -q 'quenlyte\[[0-9]*\]: ppdev: no parallel port at 0x278' /run/messages; then
    pass "the system log has: $(grep -o 'ppdev: no parallel port at 0x278.*' /run/messages | head -n 1)"
else
    fail "no message of the failed start in the system log: $(tail -n 5 /run/messages)"
fi
port_mark E

# --- the simulated port in /dev/shm ---------------------------------------------
quenlyte-sim reset 0
# shellcheck disable=SC2086
quenlyte5-sim $args
sleep 3
line=$(quenlyte-sim view --once 0 16)
pid=$(daemon_pid quenlyte5-sim)
[ -n "$pid" ] && kill -TERM "$pid" && await "$wait_s" ended "$pid"
last=$(quenlyte-sim view --once 0 16)
info "quenlyte5-sim: $line; after SIGTERM: $last"
case $line in
*"leds=1110000000111111 online=1 "* | *"leds=1111111000000000 online=1 "* | *"leds=0000000000000000 online=0 "*)
    pass "quenlyte5-sim shows a frame of the timeline on the simulated port" ;;
*) fail "quenlyte5-sim: unexpected frame: $line" ;;
esac
case $last in
*"leds=0000000000000000 online=0 "*) pass "quenlyte5-sim left the chain dark" ;;
*) fail "quenlyte5-sim after SIGTERM: $last" ;;
esac

# --- the walking test of docs/bring-up.md on QEMU's port -------------------------
# The shipped script, quenlyte5 in dot mode at its full scale on 16 LEDs, a
# round of it and a bit; outside, sigrok's decode must walk the dot.
walk_s=19 # a round is 17 s
kill -TERM "$linkd"
await "$wait_s" ended "$linkd" || fail "quenlyte-linkd still running after SIGTERM"
: >/tmp/quenlyte-linkd-walk.log
quenlyte-linkd --script /usr/share/quenlyte/walk.script 2>/tmp/quenlyte-linkd-walk.log &
linkd=$!
await "$wait_s" grep -q listening /tmp/quenlyte-linkd-walk.log ||
    fail "quenlyte-linkd --script walk.script: $(cat /tmp/quenlyte-linkd-walk.log)"
port_mark W
quenlyte5 16 16 0 16 1 20 || fail "quenlyte5 on the walking test: status $? before detaching"
if await "$wait_s" daemon_running quenlyte5; then
    pid=$(daemon_pid quenlyte5)
    sleep "$walk_s"
    port_mark T
    kill -TERM "$pid"
    await "$wait_s" ended "$pid" || { fail "quenlyte5 (walking test) still running after SIGTERM"; kill -KILL "$pid"; }
    pass "quenlyte5 ran the walking test for $walk_s s"
else
    fail "quenlyte5 (walking test): no daemon running"
    port_mark T
fi
port_mark E

kill -TERM "$linkd"
others=$(grep quenlyte /run/messages | grep -v -e 'ppdev: no parallel port at 0x278' \
    -e 'quenlyte-linkd\[[0-9]*\]: 127.0.0.1:5000: listening$' -e 'quenlyte-linkd\[[0-9]*\]: SIGTERM: stopping$')
if [ -z "$others" ]; then
    pass "no other message from the programs in the system log"
else
    fail "unexpected messages in the system log: $others"
fi
echo "DONE $failures"
sync
poweroff -f
