# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=sh
#
# The shell functions that the scripts inside quenlyte's VMs share, sourced
# from the folder of the script that uses them:
#   tests/system/vm/scenario.sh     bash, in the Debian image (tests/system/vm/run
#                                   copies this file next to it)
#   tests/system/vm/static_init.sh  busybox sh, /init of the root with no C
#                                   library (static_run.sh puts this file at /)
#   vm/demo.sh                      the guest of ./demo --vm, which sees this
#                                   machine's root, and its side out here
# So: POSIX sh alone, no bash-isms. Variables named guest_* are this file's
# own scratch.

# --- findings, one a line: PASS: / FAIL: / INFO: ------------------------------
failures=0 # FAIL lines so far
pass() { echo "PASS: $*"; }
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
info() { echo "INFO: $*"; }

# await SECONDS COMMAND...: runs COMMAND, and again after a pause of 0.1 s,
# then after pauses doubling up to 1 s, until it succeeds; false once SECONDS
# have gone by without. Under emulation each try (a process or more) costs tens to
# hundreds of milliseconds of the host's processor, so a long wait tries
# seldom, and a short one still ends soon.
await() {
    guest_tenths=$(($1 * 10)) # the wait left, tenths of a second
    guest_pause=1             # the next pause, tenths of a second
    shift
    until "$@"; do
        [ "$guest_tenths" -gt 0 ] || return 1
        sleep "$((guest_pause / 10)).$((guest_pause % 10))"
        guest_tenths=$((guest_tenths - guest_pause))
        guest_pause=$((guest_pause >= 5 ? 10 : guest_pause * 2))
    done
}

# ended PID: true once process PID is gone or a zombie nobody has reaped
# yet. The state follows the command name, which may hold blanks and
# parentheses itself and so ends at the last ')'.
ended() {
    guest_stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 0
    guest_stat=${guest_stat##*) }
    [ "${guest_stat%% *}" = Z ]
}

# port_mark LETTER: LETTER's code to the status register of the port at
# 0x378 (base+1, through /dev/port), so that QEMU's trace of the port shows
# the event in its own clock, in order with the daemon's accesses.
port_mark() {
    # shellcheck disable=SC2059 # the format is the byte's octal escape
    printf "\\$(printf %03o "'$1")" | dd of=/dev/port bs=1 seek=$((0x379)) conv=notrunc 2>/dev/null
}

# --- a real PPPoE link --------------------------------------------------------
# Both ends send an LCP echo a second and give the link up after this many
# unanswered ones.
pppoe_echo_failures=5

# pppoe_server: the provider's end. Namespace "isp" holds veth-s of a veth
# pair and pppoe-server on it (192.0.2.1 its address, 192.0.2.2 the one it
# gives); veth-c stays here for pppd_start. The kernel needs the modules
# veth, pppoe and ppp_async (loaded by the caller, where its modules are).
pppoe_server() {
    ip netns add isp
    ip link add veth-c type veth peer name veth-s
    ip link set veth-s netns isp
    ip link set veth-c up
    ip -n isp link set lo up
    ip -n isp link set veth-s up
    printf 'noauth\nlcp-echo-interval 1\nlcp-echo-failure %s\n' "$pppoe_echo_failures" \
        >/run/quenlyte-pppoe-server-options
    ip netns exec isp pppoe-server -I veth-s -L 192.0.2.1 -R 192.0.2.2 -N 4 \
        -O /run/quenlyte-pppoe-server-options
}

# pppd_start: our end, pppd with pppoe.so on veth-c: ppp0 once the link is
# up, pppd's process id in /run/ppp0.pid. One try: pppd ends when the link
# drops.
pppd_start() {
    pppd plugin pppoe.so veth-c unit 0 noauth noipdefault nodefaultroute \
        lcp-echo-interval 1 lcp-echo-failure "$pppoe_echo_failures" maxfail 1 >/dev/null 2>&1
}
