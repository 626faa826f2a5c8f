#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The Debian packages under a real systemd: boots a throwaway copy of this
# machine in a container (systemd-nspawn, private network, every change kept
# in overlay layers of a temporary directory), installs the packages, runs
# the checks below inside at boot, upgrades them to the next version, runs
# the package quenlyte alone beside another service on port 5000, and purges
# them again.
# usage: tests/system/systemd/container_test.sh DEB_DIR
#   DEB_DIR holds quenlyte_*.deb, quenlyte-linkd_*.deb, quenlyte-sim_*.deb
#   and, in DEB_DIR/next/, the same of the next version (the upgrade;
#   tests/system/package/build.sh builds both)
# Exit status 0 passed, 1 failed, 77 skipped (not root, no systemd-nspawn,
# no private network with a loopback, or no container could boot here: the
# reason is printed).
set -u

wait_s=20 # generous limit for each awaited state, seconds

# ---------------------------------------------------------------------------
# Inside the booted container, as the unit boot-checks.service.
inside() {
    exec >/out/results 2>&1
    echo "booted"
    # This machine's image forbids maintainer scripts to start or stop
    # services (a policy-rc.d that always says no); a router has none.
    rm -f /usr/sbin/policy-rc.d
    failures=0
    pass() { echo "PASS: $*"; }
    fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
    # Waits until the command succeeds, at most wait_s.
    await() {
        local tenths=0
        until "$@"; do
            tenths=$((tenths + 1))
            [ "$tenths" -le $((wait_s * 10)) ] || return 1
            sleep 0.1
        done
    }
    ask() { # one command to 127.0.0.1:5000; prints the reply without CR LF
        local reply
        exec 3<>/dev/tcp/127.0.0.1/5000 || return 1
        printf '%s\n' "$1" >&3
        read -r -t 5 reply <&3 || { exec 3<&-; return 1; }
        exec 3<&-
        printf '%s\n' "${reply%$'\r'}"
    }
    main_pid() { systemctl show -P MainPID "$1"; }
    view() { quenlyte-sim view --once 0 16; }
    frames() { view | sed -n 's/.* frames=\([0-9]*\).*/\1/p'; }
    # Online frames arrive: online=1 and the frame count grows past $1.
    frames_after() {
        view | grep -q ' online=1 ' && [ "$(frames)" -gt "$1" ]
    }
    online_frames() { # online frames and more than 5 of them since now
        local start
        start=$(frames)
        await frames_after $((start + 5))
    }

    # 1. At boot the socket listens and linkd answers through it; its lines
    # are logged under its own name.
    linkd_said() {
        journalctl -b -q -u quenlyte-linkd.service -t quenlyte-linkd -o cat | grep -q ': listening$'
    }
    if systemctl is-active -q quenlyte-linkd.socket &&
        [ "$(ask 'status pppoe')" = "OK Offline" ] &&
        systemctl is-active -q quenlyte-linkd.service && await linkd_said; then
        pass "at boot the socket listens; linkd started through it answers and says: $(journalctl -b -q -u quenlyte-linkd.service -o cat | tail -n 1)"
    else
        fail "socket or linkd at boot: $(systemctl status --no-pager quenlyte-linkd.socket quenlyte-linkd.service 2>&1)"
    fi

    # 2. No parallel port here: quenlyte5-ppdev fails, is not restarted, says
    # why at priority err. Its wait for /dev/parport0 ends at once here (a
    # container supports no device units: the job's result is unsupported);
    # the device's job time-out is cut from systemd's 90 s to 2 s all the
    # same, for a systemd that would wait.
    mkdir -p /run/systemd/system/dev-parport0.device.d
    printf '[Unit]\nJobTimeoutSec=2s\n' >/run/systemd/system/dev-parport0.device.d/wait.conf
    systemctl daemon-reload
    systemctl start quenlyte5-ppdev.service
    if await systemctl is-failed -q quenlyte5-ppdev.service &&
        [ "$(systemctl show -P NRestarts quenlyte5-ppdev.service)" = 0 ] &&
        journalctl -b -q -p err -t quenlyte | grep -q 'ppdev: no parallel port at 0x378'; then
        pass "quenlyte5-ppdev without a parallel port fails, not restarted: $(journalctl -b -q -p err -t quenlyte -o cat | grep -m 1 'ppdev: no parallel port')"
    else
        fail "quenlyte5-ppdev without a port: $(systemctl status --no-pager quenlyte5-ppdev.service 2>&1; journalctl -b -q -t quenlyte)"
    fi
    systemctl reset-failed quenlyte5-ppdev.service

    # 2b. An argument the program refuses: the starter says so on standard
    # error before detaching, which the unit logs as the daemon's own name at
    # priority err, under the unit.
    mkdir -p /run/systemd/system/quenlyte5-ppdev.service.d
    printf '[Service]\nEnvironment=RATE=never\n' >/run/systemd/system/quenlyte5-ppdev.service.d/bad.conf
    systemctl daemon-reload
    systemctl start quenlyte5-ppdev.service 2>/dev/null
    refused() {
        journalctl -b -q -u quenlyte5-ppdev.service -t quenlyte -p err -o cat |
            grep -q '^quenlyte5-ppdev: argument 6 (.*): must be a number from 1 to 1000000, not "never"$'
    }
    if await systemctl is-failed -q quenlyte5-ppdev.service && await refused; then
        pass "a refused argument fails the unit, logged as quenlyte at err: $(journalctl -b -q -u quenlyte5-ppdev.service -t quenlyte -p err -o cat | grep -m 1 'argument 6')"
    else
        fail "refused argument: $(systemctl status --no-pager quenlyte5-ppdev.service 2>&1)"
    fi
    rm -r /run/systemd/system/quenlyte5-ppdev.service.d
    systemctl daemon-reload
    systemctl reset-failed quenlyte5-ppdev.service

    # 3. The sim daemon under the ppdev unit's hardening (a drop-in that
    # changes only ExecStart; it still waits 2 s for /dev/parport0) shows
    # online frames of the loopback link. The settings are made as an admin
    # would: by uncommenting and changing lines of the package's conffiles.
    mkdir -p /etc/systemd/system/quenlyte5-ppdev.service.d
    printf '[Service]\nExecStart=\nExecStart=/usr/bin/quenlyte5-sim $IN_MAX $OUT_MAX $PORT $LEDS $MODE $RATE\n' \
        >/etc/systemd/system/quenlyte5-ppdev.service.d/sim.conf
    sed -i 's/^#QUENLYTE_LINKD_ARGS="[^"]*"/QUENLYTE_LINKD_ARGS="--iface lo"/' /etc/default/quenlyte-linkd
    sed -i 's/^#IN_MAX=[0-9]*/IN_MAX=1/; s/^#OUT_MAX=[0-9]*/OUT_MAX=1/; s/^#RATE=[0-9]*/RATE=20/' /etc/default/quenlyte5
    if ! grep -qx 'QUENLYTE_LINKD_ARGS="--iface lo"' /etc/default/quenlyte-linkd ||
        [ "$(grep -cx 'IN_MAX=1\|OUT_MAX=1\|RATE=20' /etc/default/quenlyte5)" != 3 ]; then
        fail "the conffiles lack the commented settings: $(cat /etc/default/quenlyte-linkd /etc/default/quenlyte5)"
    fi
    systemctl daemon-reload
    systemctl restart quenlyte-linkd.service
    quenlyte-sim reset 0 && chmod 0666 /dev/shm/quenlyte-sim-0x378 # the "hardware"
    systemctl start quenlyte5-ppdev.service
    if online_frames; then
        pass "the sim daemon under quenlyte5-ppdev.service shows frames: $(view)"
    else
        fail "no online frames: $(view; systemctl status --no-pager quenlyte5-ppdev.service 2>&1)"
    fi

    # 4. systemctl stop leaves the chain dark.
    systemctl stop quenlyte5-ppdev.service
    if view | grep -q '^leds=0000000000000000 online=0 '; then
        pass "stopped, the chain is dark: $(view)"
    else
        fail "not dark after stop: $(view)"
    fi

    # 5. linkd killed: it comes back and the daemon is restarted after it.
    systemctl start quenlyte5-ppdev.service
    online_frames
    linkd=$(main_pid quenlyte-linkd.service) daemon=$(main_pid quenlyte5-ppdev.service)
    systemctl kill -s KILL quenlyte-linkd.service
    restarted() {
        local l d
        l=$(main_pid quenlyte-linkd.service) d=$(main_pid quenlyte5-ppdev.service)
        [ "$l" != 0 ] && [ "$l" != "$linkd" ] && [ "$d" != 0 ] && [ "$d" != "$daemon" ]
    }
    if await restarted && online_frames; then
        pass "after SIGKILL linkd and the daemon came back, frames resume: $(view)"
    else
        fail "after SIGKILL: linkd $linkd -> $(main_pid quenlyte-linkd.service), daemon $daemon -> $(main_pid quenlyte5-ppdev.service); $(view)"
    fi

    # 6. Restarting linkd restarts the daemon too.
    linkd=$(main_pid quenlyte-linkd.service) daemon=$(main_pid quenlyte5-ppdev.service)
    systemctl restart quenlyte-linkd.service
    if await restarted && online_frames; then
        pass "systemctl restart quenlyte-linkd restarted the daemon, frames resume"
    else
        fail "restart: linkd $linkd -> $(main_pid quenlyte-linkd.service), daemon $daemon -> $(main_pid quenlyte5-ppdev.service)"
    fi
    systemctl stop quenlyte-linkd.service quenlyte5-ppdev.service 2>/dev/null

    # 6b. Every line the units' own processes logged carries the name of the
    # program that wrote it: quenlyte for the daemon, quenlyte-linkd.
    for unit_ident in quenlyte5-ppdev.service:quenlyte quenlyte-linkd.service:quenlyte-linkd; do
        unit=${unit_ident%:*} ident=${unit_ident#*:}
        idents=$(journalctl -b -q "_SYSTEMD_UNIT=$unit" -o export |
            sed -n 's/^SYSLOG_IDENTIFIER=//p' | sort -u | tr '\n' ' ')
        if [ "$idents" = "$ident " ]; then
            pass "$unit logs as $ident"
        else
            fail "$unit logs as '$idents', not $ident alone"
        fi
    done

    # 7. Exposure of each unit: at most 2.0, and no higher than before.
    for unit_limit in quenlyte5.service:1.8 quenlyte5-ppdev.service:1.3 quenlyte-linkd.service:1.1; do
        unit=${unit_limit%:*} limit=${unit_limit#*:}
        level=$(systemd-analyze security --no-pager "$unit" 2>&1 |
            sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
        echo "exposure $unit $level"
        if [ -n "$level" ] && awk -v l="$level" -v m="$limit" 'BEGIN { exit !(l <= m) }'; then
            pass "systemd-analyze security $unit: $level (at most $limit)"
        else
            fail "systemd-analyze security $unit: '$level' above $limit"
        fi
    done

    # 8. The upgrade to the next version keeps the admin's edits of
    # /etc/default/quenlyte5 (made in 3.), and the socket stays up.
    version() { dpkg-query -W -f '${Version}' "$1"; }
    before=$(version quenlyte)
    DEBIAN_FRONTEND=noninteractive dpkg -i /debs/next/quenlyte_*.deb /debs/next/quenlyte-linkd_*.deb \
        /debs/next/quenlyte-sim_*.deb >/out/upgrade.log 2>&1 || fail "dpkg -i (upgrade): $(cat /out/upgrade.log)"
    after=$(version quenlyte)
    kept=$(grep -cx 'IN_MAX=1\|OUT_MAX=1\|RATE=20' /etc/default/quenlyte5)
    strays=$(find /etc/default -name 'quenlyte*.dpkg-*')
    if dpkg --compare-versions "$after" gt "$before" && [ "$kept" = 3 ] && [ -z "$strays" ] &&
        [ "$(ask 'status pppoe')" = "OK Online" ]; then
        pass "upgraded $before -> $after: the edits of /etc/default/quenlyte5 kept, the socket answers"
    else
        fail "upgrade $before -> $after: $kept of 3 edits kept, strays '$strays': $(cat /etc/default/quenlyte5)"
    fi

    # 9. quenlyte alone beside another link-control service on port 5000: it
    # takes no port, its daemon unit names no quenlyte-linkd, and the daemon
    # shows that service's rates (4 MiB/s in, beyond full scale, and 0 out:
    # the inbound half lit, the outbound half dark).
    DEBIAN_FRONTEND=noninteractive dpkg --purge quenlyte-linkd quenlyte >/out/purge.log 2>&1 ||
        fail "dpkg --purge quenlyte-linkd quenlyte: $(cat /out/purge.log)"
    systemd-run -q --unit=other-link-service -p SyslogIdentifier=other-link-service \
        /usr/bin/perl /check/link_standin.pl 4194304 0
    await ask 'status pppoe' >/dev/null || fail "the stand-in does not answer"
    other=$(main_pid other-link-service.service)
    DEBIAN_FRONTEND=noninteractive dpkg -i /debs/quenlyte_*.deb >/out/alone.log 2>&1 ||
        fail "dpkg -i quenlyte alone: $(cat /out/alone.log)"
    listeners=$(ss -Hltnp 'sport = :5000')
    requires=$(systemctl show -P Requires -P Wants -P PartOf quenlyte5-ppdev.service)
    if [ "$(main_pid other-link-service.service)" = "$other" ] && [ "$(echo "$listeners" | wc -l)" = 1 ] &&
        case $listeners in *"pid=$other,"*) true ;; *) false ;; esac &&
        case $requires in *quenlyte-linkd*) false ;; *) true ;; esac; then
        pass "quenlyte alone installed beside another service on port 5000, which stays the only listener"
    else
        fail "quenlyte alone: the other service $other -> $(main_pid other-link-service.service), listeners: $listeners; quenlyte5-ppdev needs: $requires"
    fi
    quenlyte-sim reset 0 && chmod 0666 /dev/shm/quenlyte-sim-0x378
    systemctl start quenlyte5-ppdev.service
    others_rates() { view | grep -q '^leds=1111111100000000 online=1 '; }
    if await others_rates && online_frames; then
        pass "quenlyte alone shows the other service's rates: $(view)"
    else
        fail "quenlyte alone, not the other service's rates: $(view; systemctl status --no-pager quenlyte5-ppdev.service 2>&1)"
    fi
    systemctl stop quenlyte5-ppdev.service other-link-service.service

    # 10. Purge: nothing running, nothing of it left (the overlays are checked
    # from outside too).
    rm -f /dev/shm/quenlyte-sim-0x378
    rm -rf /etc/systemd/system/quenlyte5-ppdev.service.d /run/systemd/system/dev-parport0.device.d
    DEBIAN_FRONTEND=noninteractive dpkg --purge quenlyte-sim quenlyte >/out/purge.log 2>&1 ||
        fail "dpkg --purge: $(cat /out/purge.log)"
    left=$(systemctl list-units --all --no-legend --plain 'quenlyte*'; pgrep -a quenlyte;
        find /etc /usr /var /run /tmp /dev/shm -xdev -name '*quenlyte*')
    if [ -z "$left" ]; then
        pass "purged: no unit, process or file left"
    else
        fail "left after purge: $left"
    fi
    if [ "$failures" != 0 ]; then
        journalctl -b -q -o short-monotonic --no-pager -u 'quenlyte*' -t quenlyte | tail -n 80
    fi
    echo "done $failures"
    systemctl poweroff
}

if [ "${1:-}" = --inside ]; then
    inside
    exit 0
fi

# ---------------------------------------------------------------------------
# Outside: install, boot with the checks, look at what is left.
skip() { echo "SKIP: systemd container test: $*"; exit 77; }
# host_container_ready, host_container_work, host_container
# shellcheck source=tests/system/host_container.sh
. "$(dirname "$0")/../host_container.sh"
host_container_ready
debs=$(cd "${1:?usage: $0 DEB_DIR}" && pwd)
set -- "$debs"/quenlyte_*.deb "$debs"/quenlyte-linkd_*.deb "$debs"/quenlyte-sim_*.deb
for deb in "$@" "$debs"/next/quenlyte_*.deb; do
    [ -f "$deb" ] || { echo "FAIL: $deb: missing (tests/system/package/build.sh $debs builds it)"; exit 1; }
done

host_container_work container "$0" boot-checks.service "quenlyte checks at boot"
cp "$(dirname "$0")/../link_standin.pl" "$work/"
container() { host_container 300 --bind-ro="$debs":/debs "$@"; }

# Installed before the boot, as on a machine that has it.
if ! container dpkg -i "/debs/${1##*/}" "/debs/${2##*/}" "/debs/${3##*/}" >"$work/install.log" 2>&1; then
    if grep -q 'Setting up quenlyte ' "$work/install.log"; then
        cat "$work/install.log"; echo "FAIL: dpkg -i in the container"; exit 1
    fi
    skip "no container here: $(tail -n 3 "$work/install.log")"
fi
container --bind-ro="$work/boot-checks.service":/etc/systemd/system/boot-checks.service \
    --boot -- systemd.wants=boot-checks.service >"$work/boot.log" 2>&1
[ -s "$work/out/results" ] || skip "the container did not boot: $(tail -n 3 "$work/boot.log")"
cat "$work/out/results"

# Nothing of the packages is left in the layers that took every change.
left=$(cd "$work" && find usr etc var -name '*quenlyte*')
if [ -n "$left" ]; then echo "FAIL: left after purge: $left"; exit 1; fi
echo "PASS: purged: no file left in /usr, /etc or /var"
grep -q '^done 0$' "$work/out/results" || { echo "FAIL: systemd container test"; exit 1; }
echo "systemd container test: passed"
