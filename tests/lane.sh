#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The stages of ./tests/run that wait mostly on a clock of their own, run by
# it in the background beside its builds and tests. Each stage runs even when
# one before it failed; the status is 1 if any failed.
#   vm          started first, at tests/run's own priority: the trees the VMs
#               boot (kernel, Debian, OpenRC) while the programs build; the
#               static programs in a VM with no C library and on the OpenRC
#               image once tests/run says the static build is ready
#               ($results/ready-static); the Debian packages on the systemd
#               image once they are ($results/ready-package).
#   containers  started once the packages are built: the packages under a
#               real systemd in a container, and their autopkgtest in a
#               container booted for it (root; skip otherwise).
# usage: tests/lane.sh vm|containers RESULTS_DIR
set -eu
cd "$(dirname "$0")/.."
lane=$1
results=$2
. tests/stages.sh
status=0

# await_ready WHAT: until tests/run has made WHAT.
await_ready() {
    while [ ! -e "$results/ready-$1" ]; do sleep 1; done
}

case $lane in
vm)
    stage vm-trees
    script_results sh tests/system/vm/trees.sh prepare || status=1
    await_ready static
    # The frames are replayed with the static build's quenlyte-sim, which is
    # ready first.
    sim=build-static/bin/quenlyte-sim
    stage static-vm
    script_results sh tests/system/vm/static_run.sh build-static || status=1
    stage openrc-vm
    script_results sh tests/system/vm/openrc_run build-static "$sim" || status=1
    await_ready package
    stage router-vm
    script_results sh tests/system/vm/run build-deb "$sim" || status=1
    ;;
containers)
    stage systemd-container
    script_results bash tests/system/systemd/container_test.sh build-deb || status=1
    stage autopkgtest
    script_results bash tests/system/package/autopkgtest.sh build-deb || status=1
    ;;
*)
    echo "usage: tests/lane.sh vm|containers RESULTS_DIR" >&2
    exit 2
    ;;
esac
stage_end
exit "$status"
