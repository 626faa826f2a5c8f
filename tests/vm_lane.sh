#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The VM stages of ./tests/run, started by it in the background at the start
# and run beside its other stages: the trees the VMs boot (kernel, Debian,
# OpenRC) while the programs build; the static programs in a VM with no C
# library and on the OpenRC image once tests/run says the static build is
# ready ($results/ready-static); the Debian packages on the systemd image once
# the packages are ($results/ready-package). Each stage runs even when one
# before it failed; the status is 1 if any failed.
# usage: tests/vm_lane.sh RESULTS_DIR
set -eu
cd "$(dirname "$0")/.."
results=$1
. tests/stages.sh
status=0

# await_ready WHAT: until tests/run has made WHAT.
await_ready() {
    while [ ! -e "$results/ready-$1" ]; do sleep 1; done
}

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
stage_end
exit "$status"
