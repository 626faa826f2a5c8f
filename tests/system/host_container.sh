# SPDX-License-Identifier: GPL-2.0-or-later
# The throwaway containers of the package checks (systemd/container_test.sh,
# package/autopkgtest.sh): this machine's own system under systemd-nspawn,
# its /usr, /etc and /var under layers of a temporary directory that goes at
# the end, and a private network with a port 5000 of its own. Sourced (bash)
# by the outside half of a check, which defines skip.

# host_container_ready: skips where no such container can run here.
host_container_ready() {
    [ "$(id -u)" = 0 ] || skip "needs root"
    command -v systemd-nspawn >/dev/null || skip "systemd-nspawn missing (package systemd-container)"
    # The container's private network has a loopback of its own, which it
    # can bring up only where root may administer networks (not, for one, in
    # a default systemd-nspawn container: no CAP_NET_ADMIN there).
    local why
    if ! why=$(unshare --net ip link set lo up 2>&1); then
        skip "a private network cannot bring its loopback up here: ${why:-refused}"
    fi
}

# host_container_work NAME SCRIPT UNIT DESCRIPTION: work= a new temporary
# directory, removed at exit, with the layers, out/, a copy of SCRIPT, and
# the unit file UNIT: a oneshot unit that runs that copy with --inside once
# the container's system is up.
host_container_work() {
    work=$(mktemp -d "${TMPDIR:-/tmp}/quenlyte-$1.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    mkdir -p "$work/usr" "$work/etc" "$work/var" "$work/out"
    cp "$2" "$work/${2##*/}"
    cat >"$work/$3" <<UNIT
[Unit]
Description=$4
After=multi-user.target
[Service]
Type=oneshot
ExecStart=/bin/bash /check/${2##*/} --inside
UNIT
}

# host_container SECONDS NSPAWN_ARG...: systemd-nspawn on this machine's root
# with the layers of $work, $work read-only at /check and $work/out at /out,
# and a private network; ended after SECONDS.
host_container() {
    local limit_s=$1
    shift
    timeout "$limit_s" systemd-nspawn -q -D / --volatile=yes --register=no --keep-unit --private-network \
        --overlay=/usr:"$work/usr":/usr --overlay=/etc:"$work/etc":/etc \
        --overlay=/var:"$work/var":/var --bind-ro="$work":/check --bind="$work/out":/out "$@"
}
