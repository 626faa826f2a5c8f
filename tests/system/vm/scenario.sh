#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# The router's own checks, inside the VM: run once at boot by
# quenlyte-vm.service, after the daemon unit named in /etc/quenlyte-vm/program
# (quenlyte5 or quenlyte5-ppdev) was started by systemd as an enabled unit.
# It brings up a real PPPoE link (a veth pair, pppoe-server in namespace
# "isp", pppd with pppoe.so as ppp0), sends traffic, drops the link and
# brings it back, stops the unit, kills linkd and makes a start fail. It
# checks systemd's record of the boot, and the units' network fence from
# inside their control groups. Last, with quenlyte-linkd purged, the daemon
# runs beside another service on port 5000 (tests/system/link_standin.pl).
#
# Its findings go to the second serial port (/dev/ttyS1), one a line:
#   PASS: ... / FAIL: ... / INFO: ...
#   MARK LETTER           an event, also written to the port's status
#                         register (base+1), so QEMU's trace shows it in
#                         its own clock, in order with the frames
#   RATE PHASE IN OUT     a rate reply of linkd (bytes/s) during traffic
#   IPERF PHASE KBITS     iperf3's own receiver figure (UDP payload)
#   DONE FAILURES         the last line; the machine then powers off
# The frames themselves are judged outside, from the trace (tests/system/vm/run).
set -u
exec >/dev/ttyS1 2>&1
# pass, fail, info, await, port_mark, pppoe_server, pppd_start
# shellcheck source=vm/guest-lib.sh
. "$(dirname "$0")/guest-lib.sh"
stty -F /dev/ttyS1 -opost 2>/dev/null

program=$(cat /etc/quenlyte-vm/program)
unit=$program.service
# The phases of a real PPPoE link that every router VM runs alike (link_up,
# link_traffic, link_drop, link_back), with mark, record, ask, online and
# offline; beside this file.
# shellcheck source=tests/system/vm/link_phases.sh
. "$(dirname "$0")/link_phases.sh"
main_pid() { systemctl show -P MainPID "$1"; }
active() { systemctl is-active -q "$1"; }
journal_tail() { journalctl -b -q --no-pager -o short-monotonic -u 'quenlyte*' -t quenlyte | tail -n 40; }

info "program $program, kernel $(uname -r), modules: $(lsmod | awk '/^(parport|parport_pc|ppdev) /{printf "%s ", $1}')"
info "multi-user.target reached $(systemctl show -P ActiveEnterTimestampMonotonic multi-user.target |
    awk '{printf "%.1f s", $1 / 1e6}') after the kernel started"

# --- a. the boot, from systemd's own record: no job timed out or failed on a
# dependency (a device that never appeared holds its waiting unit until the
# device job's time-out, 90 s, then lets it go: a dark start unseen
# otherwise); no quenlyte job failed; no job but this one still waits; the
# device units that the daemon unit waits for are there.
boot_record=$(journalctl -b -q --no-pager -o short-monotonic _PID=1 JOB_RESULT=timeout JOB_RESULT=dependency
    journalctl -b -q --no-pager -o short-monotonic _PID=1 JOB_RESULT=failed UNIT="$unit" + \
        _PID=1 JOB_RESULT=failed UNIT=quenlyte-linkd.service + _PID=1 JOB_RESULT=failed UNIT=quenlyte-linkd.socket
    systemctl list-jobs --no-legend --plain | grep -v ' quenlyte-vm\.service ')
devices=$(systemctl show -P Wants -P After "$unit" | tr ' ' '\n' | grep '\.device$' | sort -u | tr '\n' ' ')
for device in $devices; do
    [ "$(systemctl show -P ActiveState "$device")" = active ] ||
        boot_record="$boot_record${boot_record:+; }$device $(systemctl show -P ActiveState "$device")"
done
if [ -z "$boot_record" ]; then
    pass "the boot: no job timed out, failed on a dependency or still waits; devices of $unit there: ${devices:-none}"
else
    fail "the boot: $boot_record"
fi

# --- a. at boot: the enabled unit started the daemon, unaided -------------
if await "$wait_s" active "$unit" && [ "$(systemctl show -P NRestarts "$unit")" = 0 ]; then
    pass "the enabled $unit started the daemon at boot ($(systemctl show -P ActiveEnterTimestampMonotonic "$unit" |
        awk '{printf "%.1f s", $1 / 1e6}') after the kernel)"
else
    fail "$unit at boot: $(systemctl status --no-pager -l "$unit"; journal_tail)"
fi

# --- g. who it runs as ------------------------------------------------------
daemon=$(main_pid "$unit")
if [ "$daemon" -gt 0 ] 2>/dev/null; then
    uid=$(awk '/^Uid:/{print $2}' "/proc/$daemon/status")
    caps=$(awk '/^CapEff:/{print $2}' "/proc/$daemon/status")
    groups=$(awk '/^Groups:/{$1 = ""; print}' "/proc/$daemon/status")
    lp=$(getent group lp | cut -d: -f3)
    who="uid $uid, effective capabilities $caps, groups$groups"
    dynamic=0
    [ "$uid" -ge 61184 ] && [ "$uid" -le 65519 ] && dynamic=1
    case $program in
    quenlyte5) want_caps=0000000000020000 want_lp=0 ;;   # CAP_SYS_RAWIO alone
    *) want_caps=0000000000000000 want_lp=1 ;;           # nothing; group lp
    esac
    has_lp=0
    case " $groups " in *" $lp "*) has_lp=1 ;; esac
    if [ "$dynamic" = 1 ] && [ "$caps" = "$want_caps" ] && [ "$has_lp" = "$want_lp" ]; then
        pass "the daemon runs as its dynamic user: $who"
    else
        fail "the daemon's privileges: $who"
    fi
else
    fail "no main process of $unit"
fi
mark B

# --- a. a real PPPoE link: ppp0, served by linkd's default --iface ppp0 ----
link_up

# --- a. the network fence of each unit (IPAddressDeny=any, IPAddressAllow=
# localhost), which systemd enforces on cgroup v2 with BPF programs on the
# unit's control group: a shell moved into that group reaches linkd on
# 127.0.0.1:5000 and not the PPPoE peer (TCP and UDP), which answers from
# outside it.
ip netns exec isp perl -MIO::Socket::INET -e '$s = IO::Socket::INET->new(LocalAddr => "192.0.2.1",
    LocalPort => 5301, Listen => 8, ReuseAddr => 1) or die "peer listener: $!\n";
    while (1) { my $c = $s->accept; close $c if $c }' &
peer_listener=$!
# /run/reach tcp|udp HOST PORT: connects (TCP; port 5000 is asked for the
# link's status) or sends a datagram (UDP). Prints the reply, "connected",
# "sent", why it failed, or "no answer within 5 s".
cat >/run/reach <<'REACH'
#!/bin/bash
if [ -z "${REACH_TIMED:-}" ]; then
    REACH_TIMED=1 timeout 5 "$0" "$@"
    status=$?
    [ "$status" != 124 ] || echo "no answer within 5 s"
    exit "$status"
fi
proto=$1 host=$2 port=$3
exec 2>"/run/reach.$$"
said() { sed -n '$s/.*: //p' "/run/reach.$$"; }
trap 'rm -f "/run/reach.$$"' EXIT
exec 3<>"/dev/$proto/$host/$port" || { said; exit 1; }
if [ "$proto" = udp ]; then
    printf x >&3 || { said; exit 1; }
    echo sent
elif [ "$port" = 5000 ]; then
    printf 'status pppoe\r\n' >&3
    read -r -t 4 reply <&3
    echo "${reply%$'\r'}"
else
    echo connected
fi
REACH
chmod 755 /run/reach
# in_cgroup UNIT COMMAND...: the command, moved into the unit's control group.
in_cgroup() {
    local group
    group=/sys/fs/cgroup$(systemctl show -P ControlGroup "$1")
    shift
    bash -c 'echo $$ >"$1/cgroup.procs" && [ "$(cat /proc/self/cgroup)" = "0::${1#/sys/fs/cgroup}" ] &&
        shift && exec "$@"' _ "$group" "$@"
}
peer_answers() { [ "$(/run/reach tcp 192.0.2.1 5301)" = connected ]; }
await 10 peer_answers
outside="TCP $(/run/reach tcp 192.0.2.1 5301), UDP $(/run/reach udp 192.0.2.1 5301)"
info "cgroup $(stat -fc %T /sys/fs/cgroup) (cgroup2fs is v2)"
for fenced in "$unit" quenlyte-linkd.service; do
    local_reply=$(in_cgroup "$fenced" /run/reach tcp 127.0.0.1 5000)
    # The group's egress filter drops the TCP handshake (connect waits and
    # retries) and refuses a datagram at once.
    tcp_reply=$(in_cgroup "$fenced" /run/reach tcp 192.0.2.1 5301)
    udp_reply=$(in_cgroup "$fenced" /run/reach udp 192.0.2.1 5301)
    if [ "$local_reply" = "OK Online" ] && [ "$outside" = "TCP connected, UDP sent" ] &&
        [ "$tcp_reply" != connected ] && [ -n "$tcp_reply" ] && [ "$udp_reply" = "Operation not permitted" ]; then
        pass "the fence of $fenced: from its control group 127.0.0.1:5000 says $local_reply; the peer 192.0.2.1 ($outside from outside it): TCP $tcp_reply, UDP $udp_reply"
    else
        fail "the fence of $fenced: 127.0.0.1:5000 '$local_reply', the peer 192.0.2.1: TCP '$tcp_reply', UDP '$udp_reply' (from outside: $outside)"
    fi
done
kill "$peer_listener"
sleep 2

# --- b. traffic: UDP inbound, then outbound, and linkd's rates ------------
link_traffic

# --- c. the link drops ------------------------------------------------------
link_drop

# --- d. the link comes back under a new index; nothing restarted ----------
linkd=$(main_pid quenlyte-linkd.service)
if link_back; then
    if [ "$index2" != "$index1" ] && [ "$(main_pid "$unit")" = "$daemon" ] &&
        [ "$(main_pid quenlyte-linkd.service)" = "$linkd" ] &&
        [ "$(systemctl show -P NRestarts "$unit")" = 0 ]; then
        pass "link back as ppp0 index $index2 (was $index1); daemon $daemon and linkd $linkd not restarted"
    else
        fail "link back: index $index1 -> $index2, daemon $daemon -> $(main_pid "$unit"), linkd $linkd -> $(main_pid quenlyte-linkd.service)"
    fi
fi
sleep 3

# --- e. systemctl stop: dark chain, daemon ended, port free ---------------
mark S
systemctl stop "$unit"
mark s
if ! active "$unit" && ! pgrep -x "$program" >/dev/null; then
    pass "systemctl stop: $unit $(systemctl is-active "$unit"), no $program process"
else
    fail "after stop: $(systemctl is-active "$unit"), processes: $(pgrep -a -x "$program")"
fi
if [ "$program" = quenlyte5-ppdev ]; then
    claim=$(/usr/local/lib/quenlyte-vm/port_probe open:/dev/parport0 ioctl:PPEXCL ioctl:PPCLAIM ioctl:PPRELEASE | tr '\n' ' ')
    case $claim in
    "open 0 PPEXCL 0 PPCLAIM 0 PPRELEASE 0 ") pass "after stop another process opens /dev/parport0 and claims it: $claim" ;;
    *) fail "the port is not free after stop: $claim" ;;
    esac
fi

# --- g. a plain user runs the program: status 1, err in the journal, no port access
since=$(date +%s)
plain_user_run
err=$(journalctl -b -q --no-pager -o cat -p err -t quenlyte --since "@$since")
case $program in
quenlyte5) want_err='ioperm: Operation not permitted' ;;
*) want_err='/dev/parport0: Permission denied' ;;
esac
if [ "$statuses" = "0 1 " ] && case $err in *"$want_err"*) true ;; *) false ;; esac then
    pass "a plain user runs $program: the starter exits 0, the daemon 1; at priority err: $err"
else
    fail "plain user: exit statuses '$statuses' (want '0 1 '), err lines: '$err'"
fi

# --- e. kill linkd: systemd restarts it, and the daemon after it ----------
mark T
systemctl start "$unit"
await "$wait_s" active "$unit" || fail "$unit did not start again: $(systemctl status --no-pager -l "$unit")"
sleep 3
linkd=$(main_pid quenlyte-linkd.service)
daemon=$(main_pid "$unit")
mark K
systemctl kill -s KILL quenlyte-linkd.service
restarted() {
    local l d
    l=$(main_pid quenlyte-linkd.service) d=$(main_pid "$unit")
    [ "$l" != 0 ] && [ "$l" != "$linkd" ] && [ "$d" != 0 ] && [ "$d" != "$daemon" ] && active "$unit"
}
if await "$wait_s" restarted; then
    mark k
    pass "linkd killed: systemd restarted it ($linkd -> $(main_pid quenlyte-linkd.service)) and the daemon ($daemon -> $(main_pid "$unit"))"
else
    mark k
    fail "after killing linkd: linkd $linkd -> $(main_pid quenlyte-linkd.service), daemon $daemon -> $(main_pid "$unit")"
fi
sleep 3

# --- h. a start that fails is seen as failed, with its err line -----------
mark F
case $program in
quenlyte5) bad_port=65535 want_err='ioperm: Invalid argument' ;;     # beyond the I/O space
*) bad_port=1 want_err='no parallel port at 0x278' ;;                 # no port there
esac
since_f=$(date +%s)
sleep 1
# The port named in the defaults file, as its owner would (read at each
# start: no daemon-reload, which takes seconds under emulation).
cp /etc/default/quenlyte5 /run/defaults.saved
echo "PORT=$bad_port" >>/etc/default/quenlyte5
systemctl restart "$unit" 2>/dev/null
failed() { systemctl is-failed -q "$unit"; }
if await 10 failed; then
    # The err line is under the unit unless the daemon was gone before
    # journald read it (no unit then, see quenlyte5(8)); under ident quenlyte
    # either way.
    status=$(systemctl status --no-pager -l -n 20 "$unit" 2>&1)
    err=$(journalctl -b -q --no-pager -o cat -p err -t quenlyte --since "@$since_f")
    case $status in
    *"$want_err"*) where="status shows" ;;
    *) where="status lacks it (journald could not name its unit); journalctl -t quenlyte has" ;;
    esac
    if case $err in *"$want_err"*) true ;; *) false ;; esac then
        case $(systemctl show -P ExecMainStatus "$unit") in
        1) how="systemd saw the daemon's exit status 1" ;;
        *) how="the daemon ended before systemd found it: ExecStartPost failed the start" ;;
        esac
        pass "a start that cannot take the port fails ($how): $(systemctl show -P Result "$unit"), $where: $(echo "$err" | grep -m 1 -F "$want_err")"
    else
        fail "the failed start's err line '$want_err' is not in the journal: $err; $status"
    fi
else
    fail "a start with PORT=$bad_port is not seen as failed: $(systemctl status --no-pager -l "$unit" 2>&1)"
fi
cp /run/defaults.saved /etc/default/quenlyte5
systemctl reset-failed "$unit"
mark f

# --- i. quenlyte alone beside another link-control service on port 5000 --
# quenlyte-linkd purged, a stand-in takes the port and answers 4 MiB/s in
# (beyond full scale) and 0 out; the daemon unit, which now names no linkd,
# shows those rates: the inbound half lit, judged outside from the trace
# between the marks A and a.
DEBIAN_FRONTEND=noninteractive dpkg --purge quenlyte-linkd >/run/purge-linkd.log 2>&1 ||
    fail "dpkg --purge quenlyte-linkd: $(cat /run/purge-linkd.log)"
port_free() { ! (exec 3<>/dev/tcp/127.0.0.1/5000) 2>/dev/null; }
port_free || fail "127.0.0.1:5000 still answers with quenlyte-linkd purged"
systemd-run -q --unit=other-link-service /usr/bin/perl /usr/local/lib/quenlyte-vm/link_standin.pl 4194304 0
needs=$(systemctl show -P Requires -P Wants -P PartOf "$unit")
if await 10 online && case $needs in *quenlyte-linkd*) false ;; *) true ;; esac; then
    pass "quenlyte-linkd purged, another service answers on 127.0.0.1:5000; $unit needs no linkd"
else
    fail "the other service on port 5000: $(ask 'status pppoe'); $unit needs: $needs"
fi
mark A
systemctl start "$unit"
await "$wait_s" active "$unit" || fail "$unit beside the other service: $(systemctl status --no-pager -l "$unit")"
sleep 3
mark a
systemctl stop "$unit" other-link-service.service

[ "$failures" = 0 ] || journal_tail
echo "DONE $failures"
mark E
systemctl poweroff -ff
