#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# The OpenRC router's checks, inside the VM (tests/system/vm/openrc_run): run
# once from inittab after the default runlevel, in which the README's steps
# put the daemon's script named in /etc/quenlyte-vm/program (quenlyte5 or
# quenlyte5-ppdev). The link's phases are those of the systemd router
# (link_phases.sh); around them OpenRC's own: the start at boot, stop,
# start, linkd stopped under the daemon, a start that cannot take the port,
# and one that cannot take port 5000. Findings and marks as scenario.sh
# writes them (the same marks, so frames.py judges both):
#   K  rc-service quenlyte-linkd stop (the daemon is stopped first), then
#   k  rc-service PROGRAM start (linkd with it) has both running again
set -u
exec >/dev/ttyS1 2>&1
stty -F /dev/ttyS1 -opost 2>/dev/null
. /usr/local/lib/quenlyte-vm/link_phases.sh

program=$(cat /etc/quenlyte-vm/program)
confd=/etc/conf.d/$program
started() { rc-service "$1" status >/dev/null 2>&1; }
daemon_pid() { pidof -s "$program"; }
linkd_pid() { pidof -s quenlyte-linkd; }
log_since() { logread | tail -n +"$1"; }
log_lines() { logread | wc -l; }

info "program $program, kernel $(uname -r), init $(readlink /proc/1/exe), OpenRC $(openrc --version | awk '{print $3}')"
info "default runlevel reached $(awk '{printf "%.1f s", $1}' /proc/uptime) after the kernel started"

# --- a. at boot: the script put in the default runlevel started the daemon --
if started "$program" && started quenlyte-linkd && [ -n "$(daemon_pid)" ]; then
    pass "at boot OpenRC started $program (daemon $(daemon_pid)) and quenlyte-linkd (pid file $(cat /run/quenlyte-linkd.pid))"
else
    fail "at boot: $(rc-status default 2>&1 | tr '\n' ' '); $(logread | grep quenlyte | tail -n 5)"
fi
daemon=$(daemon_pid)
linkd=$(linkd_pid)
mark B

link_up
link_traffic
link_drop
if link_back; then
    if [ "$index2" != "$index1" ] && [ "$(daemon_pid)" = "$daemon" ] && [ "$(linkd_pid)" = "$linkd" ]; then
        pass "link back as ppp0 index $index2 (was $index1); daemon $daemon and linkd $linkd not restarted"
    else
        fail "link back: index $index1 -> $index2, daemon $daemon -> $(daemon_pid), linkd $linkd -> $(linkd_pid)"
    fi
fi
sleep 3

# --- e. rc-service stop: dark chain (judged outside), the daemon ended ------
mark S
rc-service "$program" stop >/run/stop.out 2>&1
status=$?
mark s
if [ "$status" = 0 ] && ! started "$program" && [ -z "$(daemon_pid)" ]; then
    pass "rc-service $program stop: status 0, stopped, no $program process when it returned"
else
    fail "rc-service $program stop: status $status, $(cat /run/stop.out), processes: $(pidof "$program")"
fi
if [ "$program" = quenlyte5-ppdev ]; then
    claim=$(/usr/local/lib/quenlyte-vm/port_probe open:/dev/parport0 ioctl:PPEXCL ioctl:PPCLAIM ioctl:PPRELEASE | tr '\n' ' ')
    case $claim in
    "open 0 PPEXCL 0 PPCLAIM 0 PPRELEASE 0 ") pass "after stop another process opens /dev/parport0 and claims it: $claim" ;;
    *) fail "the port is not free after stop: $claim" ;;
    esac
fi

# --- g. a plain user runs the program: status 1, err in syslog, no access ---
from=$(log_lines)
plain_user_run
case $program in
quenlyte5) want_err='ioperm: Operation not permitted' ;;
*) want_err='/dev/parport0: Permission denied' ;;
esac
err=$(log_since "$from" | grep 'quenlyte\[')
if [ "$statuses" = "0 1 " ] && case $err in *"$want_err"*) true ;; *) false ;; esac then
    pass "a plain user runs $program: the starter exits 0, the daemon 1; syslog: $err"
else
    fail "plain user: exit statuses '$statuses' (want '0 1 '), syslog: '$err'"
fi

# --- e. start and restart ----------------------------------------------------
mark T
if rc-service "$program" start >/run/start.out 2>&1 && started "$program" && [ -n "$(daemon_pid)" ]; then
    first=$(daemon_pid)
    rc-service "$program" restart >/run/restart.out 2>&1
    status=$?
    if [ "$status" = 0 ] && [ -n "$(daemon_pid)" ] && [ "$(daemon_pid)" != "$first" ]; then
        pass "rc-service $program start, then restart: daemon $first, then $(daemon_pid)"
    else
        fail "rc-service $program restart: status $status, $(cat /run/restart.out)"
    fi
else
    fail "rc-service $program start: $(cat /run/start.out)"
fi
sleep 3

# --- e. quenlyte-linkd stopped: OpenRC stops the daemon first ----------------
linkd=$(linkd_pid)
daemon=$(daemon_pid)
mark K
rc-service quenlyte-linkd stop >/run/stop-linkd.out 2>&1
status=$?
if [ "$status" = 0 ] && ! started "$program" && [ -z "$(daemon_pid)" ] && [ -z "$(linkd_pid)" ] &&
    [ ! -e /run/quenlyte-linkd.pid ]; then
    pass "rc-service quenlyte-linkd stop stopped $program (daemon $daemon) first, then linkd $linkd; its pid file gone"
else
    fail "rc-service quenlyte-linkd stop: status $status, $(cat /run/stop-linkd.out); daemon '$(daemon_pid)', linkd '$(linkd_pid)'"
fi
if rc-service "$program" start >/run/start.out 2>&1 && started quenlyte-linkd && [ -n "$(daemon_pid)" ]; then
    mark k
    pass "rc-service $program start brought quenlyte-linkd ($(linkd_pid)) and the daemon ($(daemon_pid)) back"
else
    mark k
    fail "after linkd's stop, rc-service $program start: $(cat /run/start.out)"
fi
sleep 3

# --- h. a start that cannot take the port is reported failed ----------------
mark F
case $program in
quenlyte5) bad_port=65535 want_err='ioperm: Invalid argument' ;;     # beyond the I/O space
*) bad_port=1 want_err='no parallel port at 0x278' ;;                 # no port there
esac
cp "$confd" /run/confd.saved
echo "PORT=$bad_port" >>"$confd"
from=$(log_lines)
rc-service "$program" restart >/run/bad.out 2>&1
status=$?
sleep 1
err=$(log_since "$from" | grep 'quenlyte\[')
if [ "$status" != 0 ] && ! started "$program" && [ -z "$(daemon_pid)" ] &&
    case $err in *"$want_err"*) true ;; *) false ;; esac then
    pass "a start onto PORT=$bad_port: rc-service status $status ($(grep -m 1 -o 'ERROR.*' /run/bad.out)); syslog: $err"
else
    fail "a start onto PORT=$bad_port: rc-service status $status, $(cat /run/bad.out); syslog: '$err'"
fi
cp /run/confd.saved "$confd"
mark f

# --- h. port 5000 taken by another service: linkd's start fails -------------
rc-service quenlyte-linkd stop >/dev/null 2>&1
iperf3 -s -B 127.0.0.1 -p 5000 -D
port_taken() { exec 5<>/dev/tcp/127.0.0.1/5000 && exec 5<&-; } 2>/dev/null
await 10 port_taken || fail "the stand-in on port 5000 does not listen"
from=$(log_lines)
rc-service quenlyte-linkd start >/run/taken.out 2>&1
status=$?
err=$(log_since "$from" | grep 'quenlyte-linkd\[.*Address already in use')
if [ "$status" != 0 ] && ! started quenlyte-linkd &&
    case $err in *"127.0.0.1:5000: Address already in use"*) true ;; *) false ;; esac then
    pass "port 5000 taken: rc-service quenlyte-linkd start failed (status $status: $(grep -m 1 -o 'quenlyte-linkd: .*' /run/taken.out)); syslog: $err"
else
    fail "port 5000 taken: rc-service quenlyte-linkd start status $status, $(cat /run/taken.out); syslog: '$err'"
fi
pkill -x iperf3

[ "$failures" = 0 ] || logread | grep quenlyte | tail -n 40
echo "DONE $failures"
mark E
sync
poweroff -f
