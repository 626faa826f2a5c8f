#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The packages' autopkgtest (debian/tests) with the autopkgtest tool, never
# on this machine itself: a throwaway copy of it boots in a container
# (systemd-nspawn, private network, every change kept in overlay layers of a
# temporary directory) and runs `autopkgtest DEBS SOURCE/ -- null` there at
# boot, so the tests find a running systemd and a port 5000 of their own.
# usage: tests/system/package/autopkgtest.sh DEB_DIR
#   DEB_DIR holds quenlyte_*.deb, quenlyte-linkd_*.deb, quenlyte-sim_*.deb
#   QUENLYTE_AUTOPKGTEST_LOG=FILE keeps autopkgtest's whole output there
# Exit status 0 passed, 1 failed, 77 skipped (not root, no systemd-nspawn or
# autopkgtest, no private network with a loopback, or no container could
# boot here: the reason is printed).
set -u
cd "$(dirname "$0")/../../.." || exit 1

if [ "${1:-}" = --inside ]; then
    # This machine's image forbids maintainer scripts to start services (a
    # policy-rc.d that always says no); a Debian testbed has none.
    rm -f /usr/sbin/policy-rc.d
    # Nor is the manual's index rebuilt at each install (a man-db trigger
    # that takes long and checks nothing here).
    rm -f /var/lib/man-db/auto-update
    status=0
    autopkgtest --output-dir /out/results /debs/quenlyte_*.deb /debs/quenlyte-linkd_*.deb \
        /debs/quenlyte-sim_*.deb /src/ -- null >/out/log 2>&1 || status=$?
    echo "$status" >/out/status
    systemctl poweroff
    exit 0
fi

skip() { echo "SKIP: autopkgtest: $*"; exit 77; }
# host_container_ready, host_container_work, host_container
# shellcheck source=tests/system/host_container.sh
. tests/system/host_container.sh
host_container_ready
command -v autopkgtest >/dev/null || skip "autopkgtest missing (package autopkgtest)"
debs=$(cd "${1:?usage: $0 DEB_DIR}" && pwd)
for package in quenlyte quenlyte-linkd quenlyte-sim; do
    set -- "$debs/${package}"_*.deb
    [ -f "$1" ] || { echo "FAIL: no ${package}_*.deb in $debs"; exit 1; }
done

host_container_work autopkgtest "$0" run-autopkgtest.service "quenlyte autopkgtest at boot"
# The source as autopkgtest needs it: debian/'s sources, no build leftovers
# (the tests run the installed programs alone).
mkdir -p "$work/src/debian"
cp -a debian/control debian/changelog debian/copyright debian/source debian/tests "$work/src/debian/"
host_container 600 --bind-ro="$debs":/debs --bind-ro="$work/src":/src \
    --bind-ro="$work/run-autopkgtest.service":/etc/systemd/system/run-autopkgtest.service \
    --boot -- systemd.wants=run-autopkgtest.service >"$work/boot.log" 2>&1
[ -s "$work/out/status" ] || skip "the container did not boot: $(tail -n 3 "$work/boot.log")"
status=$(cat "$work/out/status")
# The tests' own lines (autopkgtest shows each twice) and its summary.
grep -a '^\(PASS\|FAIL\): ' "$work/out/log" | awk '!seen[$0]++'
echo "autopkgtest: summary:"
sed 's/^/  /' "$work/out/results/summary" 2>/dev/null
[ -z "${QUENLYTE_AUTOPKGTEST_LOG:-}" ] || cp "$work/out/log" "$QUENLYTE_AUTOPKGTEST_LOG"
# autopkgtest's status: 0 all passed, 2 some skipped, 4 some failed, 8 no
# test, 12 the packages not installable, 16 testbed failure.
if [ "$status" != 0 ]; then
    tail -n 60 "$work/out/log"
    echo "FAIL: autopkgtest: status $status"
    exit 1
fi
echo "autopkgtest: passed"
