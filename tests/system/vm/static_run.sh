#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
#
# The static programs on a machine with no C library: Debian's kernel under
# QEMU (vm/kernel.sh, qemu.sh) with an initramfs that holds busybox, the
# modules parport_pc and ppdev, and the programs of the release archive,
# nothing else (no ld-linux, no libc.so, no shared library at all; checked in
# the cpio and again inside). There tests/system/vm/static_init.sh first runs
# the archive README's own boot lines for a system without OpenRC (taken
# from it here, not copied) with a ppp0 up, and its stop lines; then
# quenlyte-linkd on a fixed timeline (tests/system/vm/static_timeline), quenlyte5 and
# then quenlyte5-ppdev on QEMU's port, stops them with SIGTERM and checks the
# system log and the simulated pair. Here QEMU's port trace is replayed onto a
# simulated port (quenlyte-sim replay --log) and every frame judged:
#   - under the README's lines, each frame online (ppp0 is up) and 50 reads
#     and 50 writes, and the last one after their stop dark;
#   - while a daemon runs, each frame is one of the timeline's three
#     (1110000000111111 and 1111111000000000 online, dark offline), in the
#     timeline's order, each of them seen, 50 reads and 50 writes apiece
#     (16 LEDs: three read-modify-writes a bit, two to latch);
#   - after SIGTERM the last frame is dark with the online line low;
#   - before the modules load, after the daemon has ended, and on a start
#     that fails, nothing (parport_pc's probe of the port in between is the
#     kernel's);
#   - sigrok's SPI decoder reads the same frames from the port's capture
#     (quenlyte-sim replay --vcd, tests/system/vm/sigrok_frames.py);
#   - the walking test (share/walk.script, quenlyte5 in dot mode on 16 LEDs):
#     in sigrok's decode the dot walks LED 1 to 16, then LEDs 8 and 9, then
#     none, in that order, every step seen (docs/bring-up.md).
#
# usage: tests/system/vm/static_run.sh STATIC_BUILD_DIR   (default build-static)
# Needs root, qemu-system-x86_64 and Debian's kernel package (fetched once
# into build-vm/cache/); exits 77 with the reason otherwise.
# Work files (console, findings, trace, frames) go to STATIC_BUILD_DIR/vm/.
set -eu
cd "$(dirname "$0")/../../.."
build=${1:-build-static}
skip() {
    echo "SKIP: static programs in a VM: $*"
    exit 77
}
[ "$(id -u)" = 0 ] || skip "needs root (the replay runs on a private /dev/shm)"
command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 missing (apt-get install qemu-system-x86)"
[ -x /bin/busybox ] || skip "/bin/busybox missing (apt-get install busybox-static)"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
name=quenlyte-$version-x86_64-linux-static
archive=$build/$name.tar.gz
[ -f "$archive" ] || { echo "static_run: $archive: missing (build the target static-archive)" >&2; exit 1; }
work=$build/vm
rm -rf "$work"
mkdir -p "$work/tree/etc/quenlyte" "$work/tree/usr"
work=$(cd "$work" && pwd)
started=$(date +%s)

# The programs as the archive ships them, in /usr/sbin and /usr/bin.
tar -xzf "$archive" -C "$work"
cp -a "$work/$name/sbin" "$work/$name/bin" "$work/tree/usr/"
cp tests/system/vm/static_timeline "$work/tree/etc/quenlyte/timeline"
# Beside /init, the shell functions it shares with the other VMs' scripts.
cp vm/guest-lib.sh "$work/tree/"
# The README's lines as the archive ships them.
sh tests/system/vm/readme_block.sh "$work/$name/README" "Start at boot without OpenRC" \
    >"$work/tree/etc/quenlyte/boot-lines"
sh tests/system/vm/readme_block.sh "$work/$name/README" "Stop" >"$work/tree/etc/quenlyte/stop-lines"
mkdir -p "$work/tree/usr/share"
cp -a "$work/$name/share/quenlyte" "$work/tree/usr/share/"

kernel_version=$(sh vm/kernel.sh build-vm/cache) || skip "no Debian kernel to be had (apt-get download failed)"
sh vm/initramfs.sh "$work/initrd.gz" build-vm/cache/kernel tests/system/vm/static_init.sh \
    -d "$work/tree" parport_pc ppdev dummy
libs=$(gzip -dc "$work/initrd.gz" | cpio -it --quiet |
    grep -E '(^|/)(ld-linux[^/]*|ld-musl[^/]*|libc\.so[^/]*|[^/]*\.so|[^/]*\.so\.[0-9][^/]*)$' || true)
if [ -n "$libs" ]; then
    echo "static_run: the initramfs holds shared libraries:" $libs
    exit 1
fi
echo "static_run: initramfs: busybox, parport_pc, ppdev, dummy and the programs of $name.tar.gz; no shared library"

status=0
sh vm/qemu.sh -t 200 -m 256 -a quiet -T "$work/trace" -o "$work/console" -f "$work/findings" \
    "build-vm/cache/kernel/boot/vmlinuz-$kernel_version" "$work/initrd.gz" || status=$?
sed 's/^/static_run: vm: /' "$work/findings" 2>/dev/null || true
failed=0
if [ "$status" != 0 ]; then
    echo "static_run: QEMU ended with status $status; the console's end:"
    tail -n 20 "$work/console" 2>/dev/null | sed 's/^/  /'
    failed=1
fi
grep -q '^DONE 0' "$work/findings" 2>/dev/null || { echo "static_run: the checks inside the VM failed"; failed=1; }

# The trace, replayed onto a simulated port of a private /dev/shm.
sim=$(cd "$build/bin" && pwd)/quenlyte-sim
unshare -m sh -c 'mount -t tmpfs tmpfs /dev/shm && "$1" reset 0 && "$1" replay --log 16 --vcd "$3" 0 "$2"' \
    sh "$sim" "$work/trace" "$work/port.vcd" >"$work/frames" || { echo "static_run: the replay failed"; failed=1; }

awk -v online_a=1110000000111111 -v online_b=1111111000000000 -v dark=0000000000000000 '
function problem(text) { print "static_run: " text; bad = 1 }
function kind(leds, online) {
    if (leds == online_a && online == 1) return "A"
    if (leds == online_b && online == 1) return "B"
    if (leds == dark && online == 0) return "Z"
    # The daemon asks the state, then the rates: when the timeline goes
    # offline between the two, the frame is online with the offline rates.
    if (leds == dark && online == 1) return "O"
    return "?"
}
function close_run() {
    if (run == "walk") run = ""
    if (run == "") return
    if (!(seen[run, "A"] && seen[run, "B"] && seen[run, "Z"]))
        problem(run ": not every frame of the timeline was shown (A " seen[run, "A"] + 0 \
            ", B " seen[run, "B"] + 0 ", dark " seen[run, "Z"] + 0 ")")
    printf "static_run: %s: %d frames while running (%d + %d online, %d dark), then %d after SIGTERM, the last %s\n",
        run, count[run], seen[run, "A"], seen[run, "B"], seen[run, "Z"], ending,
        last_kind == "Z" ? "dark, online line low" : "NOT dark"
    run = ""
}
BEGIN {
    letter["0x52"] = "R"; letter["0x49"] = "I"; letter["0x50"] = "P"; letter["0x54"] = "T"; letter["0x45"] = "E"; letter["0x46"] = "F"; letter["0x4d"] = "M"
    letter["0x57"] = "W"
    next_ok["A"] = "AB"; next_ok["B"] = "BZO"; next_ok["O"] = "Z"; next_ok["Z"] = "ZA"
    segment = "-"
}
$1 == "other" && $3 == "offset=1" && $4 == "op=write" {
    value = substr($5, 7)
    if (!(value in letter)) next
    m = letter[value]
    marks = marks m
    if (segment == "T") {
        if (ending == 0 || last_kind != "Z") problem(run ": after SIGTERM the last frame is not dark with the online line low")
        if (run == "README") {
            printf "static_run: README lines: %d frames, %d of them online, then %d after SIGTERM, the last %s\n",
                readme, readme_online, ending, last_kind == "Z" ? "dark, online line low" : "NOT dark"
            if (readme == 0 || readme_online != readme) problem("README lines: not every frame online")
            run = ""
        }
        close_run()
    }
    segment = m
    if (m == "I") run = "quenlyte5"
    if (m == "P") run = "quenlyte5-ppdev"
    if (m == "R") run = "README"
    if (m == "I" || m == "P" || m == "R") { previous = ""; first = 1 }
    if (m == "W") run = "walk" # its frames: judged from the decode below
    if (m == "T") ending = 0
    next
}
$1 == "frame" {
    split($3, l, "="); split($4, o, "="); split($5, r, "="); split($6, w, "="); split($7, x, "=")
    k = kind(l[2], o[2])
    if (segment == "R") {
        ++readme; readme_online += o[2] == 1
        if (!first && (r[2] != 50 || w[2] != 50 || x[2] != 0))
            problem("README lines: not 50 reads and 50 writes of the data register: " $0)
        first = 0
    } else if (segment == "I" || segment == "P") {
        ++count[run]; ++seen[run, k]
        if (k == "?") problem(run ": a frame not of the timeline: " $0)
        else if (previous != "" && index(next_ok[previous], k) == 0)
            problem(run ": " previous " then " k ", out of the timeline order: " $0)
        if (!first && (r[2] != 50 || w[2] != 50 || x[2] != 0))
            problem(run ": not 50 reads and 50 writes of the data register: " $0)
        previous = k; first = 0
    } else if (segment == "T") {
        ++ending; last_kind = k
        if ((k == "?" && run != "walk") || ending > 2) problem(run ": after SIGTERM: " $0)
    } else if (segment == "W") {
        next
    } else if (segment == "M") {
        ++probe
    } else {
        problem("a frame with no daemon running (after mark " segment "): " $0)
    }
}
END {
    if (marks != "MRTEITEPTEFEWTE") problem("the events in the trace are " marks ", not MRTEITEPTEFEWTE")
    printf "static_run: parport_pc: %d latch pulses while probing the port\n", probe
    exit bad
}' "$work/frames" || failed=1

# The same frames as sigrok's SPI decoder reads them from the capture.
sigrok_started=$(date +%s)
decoded=$work/frames.sigrok
sigrok_status=0
python3 tests/system/vm/sigrok_frames.py --label "static_run: sigrok" --out "$decoded" \
    "$work/port.vcd" "$work/frames" || sigrok_status=$?
case $sigrok_status in
0) echo "static_run: sigrok: $(($(date +%s) - sigrok_started)) s" ;;
77) decoded=$work/frames ;; # no sigrok-cli: the walk from the replay alone
*) failed=1 ;;
esac

# The walking test: the dot on LED 1 to 16 (two steps each), LEDs 8 and 9,
# none, around again; every frame online.
awk -v leds=16 -v source="${decoded##*/}" '
function problem(text) { print "static_run: walking test: " text; bad = 1 }
function pattern(a, b,   s, i) {
    s = ""
    for (i = 1; i <= leds; i++) s = s ((i == a || i == b) ? "1" : "0")
    return s
}
BEGIN {
    for (k = 1; k <= leds; k++) number[pattern(k, k)] = k
    number[pattern(leds / 2, leds / 2 + 1)] = leds + 1
    number[pattern(0, 0)] = leds + 2
    steps = leds + 2
}
$1 == "other" && $3 == "offset=1" && $4 == "op=write" { inside = ($5 == "value=0x57"); next }
inside && $1 == "frame" {
    split($3, l, "="); split($4, o, "=")
    ++frames
    if (o[2] != 1) { problem("the online line low: " $0); next }
    if (!(l[2] in number)) { problem("a frame not of the guide: " $0); next }
    k = number[l[2]]
    if (previous != "" && k != previous && k != previous % steps + 1)
        problem("step " previous " then " k ", out of the guide order: " $0)
    if (k != previous) ++seen[k]
    previous = k
}
END {
    for (k = 1; k <= steps; k++) if (!seen[k]) missing = missing " " k
    if (missing != "") problem("never shown:" missing)
    if (!bad) printf "static_run: walking test: %d frames (%s), the dot walked LED 1 to %d, then %d and %d, then none, in order\n", frames, source, leds, leds / 2, leds / 2 + 1
    exit bad
}' "$decoded" || failed=1

echo "static_run: $(($(date +%s) - started)) s in all (kernel $kernel_version)"
[ "$failed" = 0 ] && echo "static_run: the static programs ran with no C library: frames as expected"
exit "$failed"
