#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
#
# ./demo --vm: this build's programs on a real kernel's parallel port and a
# real PPPoE link, watched live. Debian's kernel boots under QEMU with this
# machine's root shared read-only (9p, a tmpfs overlay on top, chroot), and
# runs in there: a PPPoE link (pppoe-server in namespace "isp", pppd),
# quenlyte-linkd --iface ppp0, the daemon on QEMU's port at 0x378, and iperf3
# traffic that changes, with the link dropped now and then. Out here
# `quenlyte-sim replay --follow` applies QEMU's port trace to a simulated
# port and `quenlyte-sim view` shows it. q ends the view, the replay and QEMU.
# The port's lines of the run stay as a capture, build-vm/demo.vcd (GTKWave,
# PulseView, sigrok-cli).
#
# usage: vm/demo.sh BIN DAEMON IN_MAX OUT_MAX PORT LEDS MODE RATE [FOR_S]
#   (run by ./demo --vm, which builds the programs into BIN)
# Inside the VM it runs itself as: demo.sh --guest BIN DAEMON IN_MAX OUT_MAX LEDS MODE RATE
set -eu
# await, ended, pppoe_server, pppd_start: shared with the other VMs' scripts
# (this machine's root is the guest's too).
# shellcheck source=vm/guest-lib.sh
. "$(dirname "$0")/guest-lib.sh"

# --- inside the VM ------------------------------------------------------------
if [ "${1:-}" = --guest ]; then
    shift
    bin=$1 daemon=$2 in_max=$3 out_max=$4 leds=$5 mode=$6 rate=$7
    say() { echo "vm: $*"; }
    # Scratch files in a directory of their own: the root is this machine's
    # behind a writable layer in the VM's memory, with nothing mounted over
    # any of its directories (a checkout under /tmp stays visible).
    scratch=$(mktemp -d /tmp/quenlyte-vm.XXXXXX)
    rm -f /run/netns/isp /run/ppp0.pid # this machine's, if any: not the VM's
    ppp0_addressed() { ip -4 addr show ppp0 2>/dev/null | grep -q inet; }
    ip link set lo up
    pppoe_server
    say "PPPoE: pppoe-server in namespace isp, pppd with pppoe.so on veth-c"
    "$bin/quenlyte-linkd" --iface ppp0 </dev/null >/dev/null 2>"$scratch/linkd.err" &
    sleep 0.5
    "$bin/$daemon" "$in_max" "$out_max" 0 "$leds" "$mode" "$rate"
    say "$daemon $in_max $out_max 0 $leds $mode $rate on QEMU's port 0x378 (link offline: blank frames)"
    pppd_start
    await 30 ppp0_addressed && say "ppp0 up ($(ip -4 -br addr show ppp0 | awk '{print $3}')): online frames"
    iperf3 -s -B 192.0.2.2 -p 5201 -D
    iperf3 -s -B 192.0.2.2 -p 5202 -D
    sleep 1
    round=0
    while :; do
        # inbound and outbound UDP payload in kbit/s, 6 s each step
        for step in 400:100 1200:300 2400:500 3200:150 1600:900 800:600 200:50; do
            ip netns exec isp iperf3 -c 192.0.2.2 -p 5201 -u -l 1000 -t 6 -b "${step%:*}k" >/dev/null 2>&1 &
            inbound=$!
            ip netns exec isp iperf3 -c 192.0.2.2 -p 5202 -u -l 1000 -t 6 -b "${step#*:}k" -R >/dev/null 2>&1 &
            wait "$inbound" $!
        done
        round=$((round + 1))
        if [ $((round % 2)) = 1 ]; then
            say "the link drops for 5 s (pppd ends)"
            kill "$(head -n 1 /run/ppp0.pid)" 2>/dev/null || true
            sleep 5
            pppd_start
            await 30 ppp0_addressed && say "ppp0 back"
        fi
    done
fi

# --- out here ------------------------------------------------------------------
bin=$1 daemon=$2 in_max=$3 out_max=$4 port=$5 leds=$6 mode=$7 rate=$8 for_s=${9:-}
say() { echo "demo: $*" >&2; }
fail() { say "$*"; exit 1; } # out here in place of the findings line of guest-lib.sh
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. ./.ci/needs.sh
# The guest runs this machine's own pppd, pppoe-server and iperf3.
need_packages demo $needs_vm ppp pppoe iperf3 || exit 1
for tool in qemu-system-x86_64 pppd pppoe-server iperf3; do
    command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] || fail "$tool: missing"
done

cache=$root/build-vm/cache
mkdir -p "$cache"
say "fetching Debian's kernel (once, into $cache)"
kver=$(sh vm/kernel.sh "$cache") || fail "no Debian kernel to be had (apt-get download)"
kdir=$cache/kernel
work=$(mktemp -d "$root/build-vm/demo.XXXXXX")
capture=$root/build-vm/demo.vcd # the port's lines of this run, left for the user
qemu_pid="" replay_pid="" view_pid=""

# Ends $1's process group (setsid made $1 its leader): SIGTERM, SIGKILL
# after 5 s.
end_group() {
    kill -TERM "-$1" 2>/dev/null || true
    await 5 ended "$1" || kill -KILL "-$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}
cleanup() {
    trap '' INT TERM HUP
    if [ -n "$view_pid" ]; then kill -TERM "$view_pid" 2>/dev/null || true; wait "$view_pid" 2>/dev/null || true; fi
    if [ -n "$qemu_pid" ]; then end_group "$qemu_pid"; fi
    if [ -n "$replay_pid" ]; then end_group "$replay_pid"; fi
    rm -rf "$work"
    if [ -n "$capture" ] && [ -s "$capture" ]; then
        say "the port's lines of this run: $capture (GTKWave, PulseView; decoding: docs/bring-up.md)"
        capture="" # said once, also when the cleanup runs again
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# The initramfs: 9p, overlay, the port and PPPoE drivers, and an /init that
# puts a writable layer over this machine's root and runs the guest part.
mkdir -p "$work/tree"
cat >"$work/init" <<'INIT'
#!/bin/sh
/bin/busybox --install -s 2>/dev/null
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
modprobe -a virtio_pci 9pnet_virtio 9p overlay parport_pc ppdev ppp_async pppoe veth
mkdir -p /lower /upper /newroot
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144,cache=loose hostroot /lower ||
    { echo "init: no 9p root"; poweroff -f; }
mount -t tmpfs tmpfs /upper
mkdir /upper/u /upper/w
mount -t overlay overlay -o lowerdir=/lower,upperdir=/upper/u,workdir=/upper/w /newroot
for d in proc sys dev; do mount --move "/$d" "/newroot/$d"; done
mkdir -p /newroot/dev/pts
mount -t devpts devpts /newroot/dev/pts
. /demo.env
chroot /newroot /bin/sh "$demo_script" --guest $demo_args >/newroot/dev/ttyS1 2>&1
poweroff -f
INIT
printf 'demo_script=%s\ndemo_args="%s %s %s %s %s %s %s"\n' "$root/vm/demo.sh" \
    "$bin" "$daemon" "$in_max" "$out_max" "$leds" "$mode" "$rate" >"$work/tree/demo.env"
say "packing an initramfs (busybox, 9p, overlay, parport_pc, ppdev, PPPoE)"
sh vm/initramfs.sh "$work/initrd.gz" "$kdir" "$work/init" -d "$work/tree" \
    virtio_pci 9pnet_virtio 9p overlay parport_pc ppdev ppp_async pppoe veth

"$bin/quenlyte-sim" reset "$port"
: >"$work/port.trace"
: >"$work/guest.log"
say "booting Debian's kernel $kver under QEMU (software emulation, no network device)"
setsid sh vm/qemu.sh -t $((${for_s:-86400} + 120)) -c 2 -T "$work/port.trace" \
    -o "$work/console" -f "$work/guest.log" -a quiet "$kdir/boot/vmlinuz-$kver" "$work/initrd.gz" \
    -- -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
    </dev/null >/dev/null 2>"$work/qemu.err" &
qemu_pid=$!
rm -f "$capture"
setsid "$bin/quenlyte-sim" replay --follow --vcd "$capture" "$port" "$work/port.trace" </dev/null >/dev/null 2>"$work/replay.err" &
replay_pid=$!

# What the guest says, until ppp0 is up and an online frame reaches the view
# (the kernel's probe of the port at boot may set the online line too).
seen=0 tenths=0
online_frame() {
    grep -q 'ppp0 up' "$work/guest.log" &&
        "$bin/quenlyte-sim" view --once "$port" "$leds" 2>/dev/null | grep -q ' online=1 '
}
until online_frame; do
    lines=$(wc -l <"$work/guest.log")
    if [ "$lines" -gt "$seen" ]; then
        sed -n "$((seen + 1)),${lines}p" "$work/guest.log" | tr -d '\r' | sed 's/^/demo: /' >&2
        seen=$lines
    fi
    kill -0 "$qemu_pid" 2>/dev/null || fail "QEMU ended: $(tail -n 3 "$work/qemu.err" "$work/console" 2>/dev/null)"
    tenths=$((tenths + 1))
    [ "$tenths" -le 1200 ] || fail "no online frame within 120 s (see $work/guest.log)"
    sleep 0.1
done
sed -n "$((seen + 1)),\$p" "$work/guest.log" | tr -d '\r' | sed 's/^/demo: /' >&2
say "online frames after $((tenths / 10)) s; the view follows QEMU's port (q ends everything)"
sleep 1

# The view in the foreground, with the keyboard (descriptor 3 is our stdin).
exec 3<&0
"$bin/quenlyte-sim" view ${for_s:+--for "$for_s"} "$port" "$leds" <&3 &
view_pid=$!
status=0
wait "$view_pid" || status=$?
view_pid=""
exit "$status"
