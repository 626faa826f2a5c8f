# SPDX-License-Identifier: GPL-2.0-or-later
# The router VMs' shared scenario pieces (bash, sourced inside the guest):
# the findings' line forms, and the phases of a real PPPoE link that any init
# system's scenario runs the same way: the link comes up, UDP traffic both
# ways with linkd's rates sampled, the link drops and comes back. What the
# init system does around them (start, stop, a failed start) is the caller's.
# The marks and findings are those frames.py reads (see scenario.sh).
#
# The caller sets nothing; it reads `failures` at the end, and after
# link_back `index1`, `index2` (ppp0's interface index before and after).

wait_s=30            # limit for each awaited state, seconds
in_bps=1275000       # inbound UDP payload, bits/s (about 2.5 LEDs at IN_MAX=512)
out_bps=382000       # outbound UDP payload, bits/s (about 1.5 LEDs at OUT_MAX=256)
datagram=1000        # UDP payload per datagram, bytes (no fragments on PPPoE)
traffic_s=11         # each iperf3 run, seconds
sample_s=5           # of which linkd's rates are sampled, from 3 to 5 s on (traffic below)
figures_file=/run/quenlyte-vm-figures   # the RATE and IPERF lines, for check_rates
: >"$figures_file"

# pass, fail, info, await, ended, port_mark, pppd_start: beside this file.
# shellcheck source=vm/guest-lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/guest-lib.sh"
record() { echo "$*"; echo "$*" >>"$figures_file"; }
# rate_now: rates= linkd's rates now ("IN OUT", bytes/s), asked over
# descriptor 4.
rate_now() {
    local reply=
    printf 'rate pppoe\n' >&4 && read -r -t 5 reply <&4
    reply=${reply%$'\r'}
    rates=${reply#OK }
}
# sample_rate PHASE: linkd's rates now as a RATE line.
sample_rate() {
    rate_now
    record "RATE $1 $rates"
}
# A pipe no one writes to, opened both ways: reading it with a time-out is
# a pause without a process (sample_rate's loop in traffic).
mkfifo /run/quenlyte-vm-tick 2>/dev/null || true
exec 6<>/run/quenlyte-vm-tick
# An event, in the trace (status register, base+1) and here.
mark() {
    port_mark "$1"
    echo "MARK $1 $(date +%s.%N)"
}
# ask COMMAND: one command to linkd over a fresh connection; the reply without CR.
ask() {
    local reply
    exec 3<>/dev/tcp/127.0.0.1/5000 || return 1
    printf '%s\n' "$1" >&3
    read -r -t 5 reply <&3
    exec 3<&-
    printf '%s\n' "${reply%$'\r'}"
}
online() { [ "$(ask 'status pppoe')" = "OK Online" ]; }
offline() { [ "$(ask 'status pppoe')" = "OK Offline" ]; }
no_ppp0() { ! ip link show ppp0 >/dev/null 2>&1; }

# a. A real PPPoE link: ppp0, served by linkd's default --iface ppp0. Mark U.
link_up() {
    modprobe -a ppp_async pppoe
    pppoe_server
    pppd_start
    if await "$wait_s" online; then
        index1=$(cat /sys/class/net/ppp0/ifindex)
        pass "PPPoE up: ppp0 (index $index1, $(ip -4 -br addr show ppp0 | awk '{print $3}')), linkd says Online"
    else
        fail "no PPPoE link: $(ip -br link; ask 'status pppoe')"
    fi
    mark U
    sleep 2
}

# traffic PHASE LETTER BPS [-R]: iperf3 from "isp" to the router (-R: back),
# with linkd's rates sampled over one connection in the steady middle,
# between the marks LETTER and its lower case.
traffic() {
    local phase=$1 letter=$2 bps=$3
    shift 3
    ip netns exec isp iperf3 -c 192.0.2.2 -u -b "$bps" -l "$datagram" -t "$traffic_s" -f k "$@" \
        >"/run/iperf-$phase" 2>&1 &
    local iperf=$!
    sleep 2
    exec 4<>/dev/tcp/127.0.0.1/5000
    # The window opens once the phase's rate has levelled off: two of
    # linkd's replies 0.5 s apart within 3% of each other, not zero (at most
    # 2.5 s more), and the daemon has had half a second to ask for it. On a
    # busy host iperf3 can start late, and the daemon's frames of the climb
    # would then be judged against rates sampled after it.
    local rates rate_in rate_out now before=0 polls=0
    while [ "$polls" -lt 5 ]; do
        rate_now
        read -r rate_in rate_out <<<"$rates"
        if [ "$phase" = in ]; then now=${rate_in:-}; else now=${rate_out:-}; fi
        case $now in '' | *[!0-9]*) now=0 ;; esac
        [ "$now" -gt 0 ] && [ "$before" -gt 0 ] &&
            [ $(((now - before) * 100)) -le $((before * 3)) ] &&
            [ $(((before - now) * 100)) -le $((before * 3)) ] && break
        before=$now polls=$((polls + 1))
        sleep 0.5
    done
    sleep 0.5
    # About as often as the daemon asks (RATE=10), so that the figures linkd
    # gave it in these 5 s are among the samples (linkd renews them every
    # 250 ms); the pause is a read that times out, not a sleep process, whose
    # start alone takes tens of milliseconds under emulation. The figures
    # just before the window and just after it are among them too: the
    # daemon may show the one from before the first mark after it, and may
    # have asked for the one after the last sample before the second mark.
    sample_rate "$phase"
    mark "$letter"
    local end_us=$((${EPOCHREALTIME/./} + sample_s * 1000000))
    while [ "${EPOCHREALTIME/./}" -lt "$end_us" ]; do
        sample_rate "$phase"
        read -r -t 0.1 -u 6 _ || true
    done
    mark "${letter,,}"
    sample_rate "$phase"
    exec 4<&-
    wait "$iperf"
    local kbits
    kbits=$(awk '/receiver/ { for (i = 1; i < NF; i++) if ($(i + 1) == "Kbits/sec") print $i }' "/run/iperf-$phase")
    if [ -n "$kbits" ]; then
        record "IPERF $phase $kbits"
    else
        fail "iperf3 $phase: $(cat "/run/iperf-$phase")"
    fi
}

# linkd counts what ppp0's counters count: IP packets (payload + 8 UDP + 20 IP).
check_rates() { # PHASE FIELD
    awk -v phase="$1" -v field="$2" -v datagram="$datagram" '
        $1 == "RATE" && $2 == phase { r[++n] = $(2 + field) }
        $1 == "IPERF" && $2 == phase { kbits = $3 }
        END {
            if (n == 0 || kbits == "") { print "no figures"; exit 1 }
            for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (r[j] < r[i]) { t = r[i]; r[i] = r[j]; r[j] = t }
            median = r[int((n + 1) / 2)]
            expected = kbits * 1000 / 8 * (datagram + 28) / datagram
            printf "linkd %d B/s (median of %d), iperf3 %s kbit/s payload = %d B/s as IP packets, %+.1f%%\n",
                median, n, kbits, expected, (median / expected - 1) * 100
            exit !(median > expected * 0.95 && median < expected * 1.05)
        }' "$figures_file"
}

# b. Traffic: UDP inbound, then outbound (marks I i O o), and linkd's rates
# against iperf3's own figures.
link_traffic() {
    iperf3 -s -B 192.0.2.2 -D
    sleep 1
    traffic in I "$in_bps"
    traffic out O "$out_bps" -R
    local phase_field figures
    for phase_field in in:1 out:2; do
        if figures=$(check_rates "${phase_field%:*}" "${phase_field#*:}"); then
            pass "${phase_field%:*}bound rate: $figures"
        else
            fail "${phase_field%:*}bound rate: $figures"
        fi
    done
    pkill -x iperf3
}

# c. The link drops (marks D G).
link_drop() {
    mark D
    kill "$(head -n 1 /run/ppp0.pid)"
    if await 15 no_ppp0; then
        mark G
        pass "pppd ended, ppp0 gone"
    else
        fail "ppp0 still there after pppd was told to end"
    fi
    await 10 offline || fail "linkd still says online without ppp0"
    sleep 4
}

# d. The link comes back under a new index (mark R); status 1 when it does
# not (failed here). The caller checks that nothing restarted.
link_back() {
    mark R
    pppd_start
    if await "$wait_s" online; then
        index2=$(cat /sys/class/net/ppp0/ifindex)
    else
        fail "the link did not come back: $(ip -br link)"
        return 1
    fi
}

# g. The user "plain" runs $program (marks P p): `statuses` gets the exit
# statuses of the starter and of its detached child, which a child
# subreaper collects too.
plain_user_run() {
    sleep 1
    mark P
    statuses=$(perl -e 'syscall(157, 36, 1, 0, 0, 0) == 0 or die "prctl: $!";
        my $pid = fork(); if ($pid == 0) { exec @ARGV or die "exec: $!" }
        while ((my $p = wait()) > 0) { print $? >> 8, " " }' \
        runuser -u plain -- "/usr/sbin/$program" 512 256 0 16 2 10)
    mark p
    sleep 1
}
