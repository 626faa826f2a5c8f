#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The stages of ./tests/run that wait mostly on a clock of their own, run by
# it in the background beside its builds and tests. Each stage runs even when
# one before it failed; the status is 1 if any failed.
#   vm          started first, ahead of everything else on the machine
#               (below): the trees the VMs boot (kernel, Debian, OpenRC)
#               while the programs build; the router images once the
#               packages are ($results/ready-package); then the router VMs:
#               the static archive on the OpenRC image, the Debian packages
#               on the systemd image.
#   static-vm   started once the static build is ready, ahead as the vm
#               lane: the static programs in a VM with no C library, once
#               the vm lane has the kernel ($results/ready-kernel).
#   containers  started once the packages are built: the packages under a
#               real systemd in a container, and their autopkgtest in a
#               container booted for it (root; skip otherwise).
#   dev-tests   started once the dev build is: the tests no other stage
#               runs (soak, judge, built files); a sample of them
#               without CAP_NET_ADMIN; the port cases on the static
#               programs; its tests under valgrind.
#   checks      started with the containers lane: the static checks, the
#               licence lines and the fuzzer, which need no build of the
#               others; so the last of clang-tidy's files, one core's work,
#               no longer ends the run alone.
# It writes its process id to RESULTS_DIR/LANE-lane.pid, and its status to
# RESULTS_DIR/LANE-lane.status when it ends.
# usage: tests/lane.sh vm|static-vm|containers|dev-tests|checks RESULTS_DIR
set -eu
cd "$(dirname "$0")/.."
lane=$1
results=$2
. tests/stages.sh
status=0
echo $$ >"$results/$lane-lane.pid"
# The status for tests/run, however the lane ends.
trap 'rc=$?; echo "$rc" >"$results/$lane-lane.status"' EXIT
trap 'exit 143' TERM
# The VM lanes go ahead of every other stage: their checks compare rates and
# frames in the guest's own time, which a starved QEMU stretches, and they
# are the longest chain. Each lane is a session of its own, and where the
# kernel groups a session's processes for the scheduler (autogroup), nice
# weighs only within the group: so the group's own weight is raised.
case $lane in
*vm) echo -20 >/proc/self/autogroup 2>/dev/null || true ;;
esac

# await_ready WHAT: until tests/run has made WHAT.
await_ready() {
    while [ ! -e "$results/ready-$1" ]; do sleep 1; done
}

case $lane in
vm)
    stage vm-trees
    sh vm/kernel.sh build-vm/cache >/dev/null 2>&1 || true
    touch "$results/ready-kernel"
    script_results sh tests/system/vm/trees.sh prepare || status=1
    # The frames are replayed with the static build's quenlyte-sim.
    await_ready static
    sim=build-static/bin/quenlyte-sim
    await_ready package
    stage vm-images
    script_results sh -c 'sh tests/system/vm/openrc_run --images build-static &&
        sh tests/system/vm/run --images build-deb' || status=1
    stage openrc-vm
    script_results sh tests/system/vm/openrc_run build-static "$sim" || status=1
    stage router-vm
    script_results sh tests/system/vm/run build-deb "$sim" || status=1
    ;;
static-vm)
    await_ready kernel
    stage static-vm
    script_results sh tests/system/vm/static_run.sh build-static || status=1
    ;;
containers)
    stage systemd-container
    script_results bash tests/system/systemd/container_test.sh build-deb || status=1
    stage autopkgtest
    script_results bash tests/system/package/autopkgtest.sh build-deb || status=1
    ;;
dev-tests)
    # What neither the san nor the valgrind stage runs of the dev build's
    # tests: the soak, the judge's tests, the checks of built files.
    stage dev
    ctest_results --preset dev -L '^(soak|judge|built)$' || status=1
    # A sample of the end-to-end and linkd suites once more as a default
    # container (systemd-nspawn, most CI containers) runs them: without
    # CAP_NET_ADMIN, so in user namespaces of their own
    # (tests/lib/namespaces.cpp). One or more of each way the tests use them:
    # the daemon on each backend (the emulator's tracing), the system log and
    # /dev/null of a private /dev, the writable network settings, the ppdev
    # device and the demo's own namespace, the sim tool, and the linkd
    # services (a network namespace or a port of their own, interfaces made
    # in it, socket activation, the load).
    stage dev-without-cap-net-admin
    if [ "$(id -u)" = 0 ] && command -v capsh >/dev/null; then
        capsh --drop=cap_net_admin -- -c \
            'ctest --preset dev -L "^(e2e|linkd)$" -LE soak -R "$2" --output-junit "$1"' \
            capsh "$stage_file.xml" \
            '^(Backends/|Daemon\.(LogsAFailedConnection|PointsStandardOutput)|Faults\.AServiceThatAnswersButNeverReads|SimTool\.|Emulate\.|Ppdev\.|Demo\.InAPrivateNetworkNamespace|linkd\.Linkd(Service|Iface|Activation|Load)\.)' ||
            status=1
    else
        printf 'skipped\nneeds root and capsh (package libcap2-bin)\n' >"$stage_file.status"
    fi
    # The programs as they ship: the static build's under the daemon's port
    # cases on all three backends and the linkd service tests (the dev
    # build's tests, run against them; the rest of the daemon is the same
    # code on every backend and runs on quenlyte5-sim in the dev, san and
    # valgrind stages).
    stage static-on-backends
    QUENLYTE_TEST_BIN_DIR=$PWD/build-static/bin ctest_results --preset dev \
        -R '^(Backends/|linkd\.Linkd(Service|Iface|Activation|Load)\.)' || status=1
    # The dev build's tests under valgrind memcheck (test preset valgrind),
    # with the programs the tests start; the programs that only run traced,
    # the soak and the checks of built files are left out. Each process logs
    # to build/valgrind/, and any finding fails the run. The C library's
    # debug files hold their symbols alone meanwhile (tests/valgrind_lean.sh).
    stage valgrind
    rm -rf build/valgrind
    sh tests/valgrind_lean.sh build/valgrind-lean ctest --preset valgrind --output-junit "$stage_file.xml" ||
        status=1
    stage valgrind-findings
    script_results sh tests/valgrind_report.sh build/valgrind || status=1
    ;;
checks)
    # clang-tidy reads the release preset's compile commands (the
    # benchmark's too): configured, not built. The optimized dynamic
    # programs are the package's, checked in the package and VM stages.
    stage static-checks
    cmake --preset release >/dev/null
    script_results sh tests/static_checks.sh build-release || status=1
    stage licence-lines
    script_results sh tests/check_spdx.sh || status=1
    # The reply framing under libFuzzer with ASan + UBSan, for
    # QUENLYTE_FUZZ_SECONDS (15 here: its coverage stops growing within the
    # first second; see docs/RELIABILITY.md to run longer).
    stage fuzz
    { cmake --preset fuzz -DQUENLYTE_FUZZ_SECONDS="${QUENLYTE_FUZZ_SECONDS:-15}" &&
        cmake --build --preset fuzz -j "$(nproc)" && ctest_results --preset fuzz; } || status=1
    ;;
*)
    echo "usage: tests/lane.sh vm|static-vm|containers|dev-tests|checks RESULTS_DIR" >&2
    exit 2
    ;;
esac
stage_end
exit "$status"
