#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Tests of the capture (`quenlyte-sim replay --vcd`) and of its check by
sigrok's SPI decoder (tests/system/vm/sigrok_frames.py): on the recorded QEMU
trace and on synthetic traces whose accesses share QEMU's microsecond
stamps, sigrok must read exactly the replay's frames; a replay log or a
capture that is wrong must fail with the first differing frame.

usage: tests/system/vm/test_sigrok.py QUENLYTE_SIM [unittest arguments]
Exits 77 (skipped) when sigrok-cli is missing.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "..", "data")
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import replay_run  # noqa: E402
import sigrok_frames  # noqa: E402

SIM = None  # quenlyte-sim, from the command line
PORT = 0x1000 + os.getpid() % 0xE000  # a simulated port of this test's own


def trace_of(writes, second=10):
    """QEMU's lines for data-register writes, each after the read of its
    read-modify-write, eight accesses to a microsecond (QEMU stamps
    microseconds; a port access takes about one)."""
    lines, reg = [], 0
    for n, value in enumerate(writes):
        stamp = f"901@{second}.{n // 4:06d}"
        lines.append(f"{stamp}:parallel_ioport_read read [SW] addr 0x00 val 0x{reg:02x}")
        lines.append(f"{stamp}:parallel_ioport_write write [SW] addr 0x00 val 0x{value:02x}")
        reg = value
    return "\n".join(lines) + "\n"


def frame_writes(bits, online, reg):
    """Writes that shift `bits` (in that order) and latch them, with the
    daemon's masks: online, or blank (the online line low, from the first AND
    write on). Returns them and the register after them."""
    writes = []

    def write(value):
        nonlocal reg
        reg = value
        writes.append(value)

    for bit in bits:
        data = 1 if bit == "1" else 0
        write((reg & 0xFC if online else reg & 0x7C) | data)
        write(reg | 0x82 | data if online else reg | 0x02)
        write(reg & 0xFC if online else reg & 0x7C)
    write(reg | 0x84 if online else reg | 0x04)
    write(reg & 0xF8 if online else reg & 0x78)
    return writes, reg


def chain_of_frames(*frames):
    writes, reg = [], 0
    for bits, online in frames:
        more, reg = frame_writes(bits, online, reg)
        writes += more
    return writes


def replay(trace_text, leds, reg, work):
    """quenlyte-sim replay --log LEDS --vcd of a trace on a fresh simulated
    port whose register starts at reg: the log's lines and the capture."""
    trace = os.path.join(work, "port.trace")
    vcd = os.path.join(work, "port.vcd")
    with open(trace, "w") as f:
        f.write(trace_text)
    lines = replay_run.replay_file(SIM, PORT, trace, leds, reg, ["--vcd", vcd])
    return lines, vcd


def recorded_trace():
    with open(os.path.join(DATA, "quenlyte5-in-qemu.trace")) as f:
        return f.read()


def flip_first_led(lines):
    out = list(lines)
    for i, line in enumerate(out):
        if line.startswith("frame "):
            at = line.index("leds=") + 5
            out[i] = line[:at] + ("1" if line[at] == "0" else "0") + line[at + 1:]
            return out
    raise AssertionError("no frame to change")


def drop_last_frame(lines):
    last = max(i for i, line in enumerate(lines) if line.startswith("frame "))
    return lines[:last] + lines[last + 1:]


def rename_latch(vcd):
    with open(vcd) as f:
        text = f.read()
    with open(vcd, "w") as f:
        f.write(text.replace(" latch $end", " storage $end"))


# name, trace, register at the start, LEDs logged, sigrok's frames (bits in
# the order shifted, online), what is done to the log, to the capture, and
# the verdict's words.
CASES = [
    # The kernel's probe left the latch high: the first frame has no rising
    # edge and neither reads it; the frames after it are whole.
    ("recorded trace", recorded_trace, 4, 8,
     [("11100111", "1"), ("11100111", "1"), ("00000000", "0")], None, None, "agree on all 3"),
    ("a frame of odd length", lambda: trace_of(chain_of_frames(("10110", True), ("011", False))),
     0, 8, [("10110", "1"), ("011", "0")], None, None, "agree on all 2"),
    # Latch pulses alone, online and blank: two frames with no bits.
    ("a latch pulse with no bits",
     lambda: trace_of(chain_of_frames(("1", True), ("", True), ("", False))), 0, 4,
     [("1", "1"), ("", "1"), ("", "1")], None, None, "agree on all 3"),
    ("an LED the replay shows wrongly", recorded_trace, 4, 8, None, flip_first_led, None,
     "frame 1 (t=1796740345.714972) differs:\n"
     "  sigrok: 8 bits, stage 1 first 11100111, online=1\n"
     "  replay: leds=01100111 online=1"),
    ("a frame the replay missed", recorded_trace, 4, 8, None, drop_last_frame, None,
     "sigrok decoded 3 frames, the replay reports 2; the first beyond the other's: "
     "sigrok's transfer 3: 8 bits, stage 1 first 00000000, online=0"),
    ("a capture sigrok cannot decode", recorded_trace, 4, 8, None, None, rename_latch,
     'FAIL: sigrok: sigrok-cli: status 0: cli: No channel with name "latch" found.'),
]


class SigrokReadsTheReplaysFrames(unittest.TestCase):
    def test_cases(self):
        for name, trace, reg, leds, expected, change_log, change_vcd, verdict in CASES:
            with self.subTest(name), tempfile.TemporaryDirectory() as work:
                log, vcd = replay(trace(), leds, reg, work)
                if expected is not None:
                    self.assertEqual(sigrok_frames.decode(vcd), expected)
                if change_log:
                    log = change_log(log)
                if change_vcd:
                    change_vcd(vcd)
                log_file = os.path.join(work, "replay.log")
                with open(log_file, "w") as f:
                    f.write("\n".join(log) + "\n")
                r = subprocess.run([sys.executable, sigrok_frames.__file__, vcd, log_file],
                                   capture_output=True, text=True, timeout=600)
                self.assertIn(verdict, r.stdout)
                passes = change_log is None and change_vcd is None
                self.assertEqual(r.returncode, 0 if passes else 1, r.stdout)

    def test_capture_follows_sigroks_rules(self):
        # Strictly rising times, one more at the end, ns from the first access.
        with tempfile.TemporaryDirectory() as work:
            _, vcd = replay(recorded_trace(), 8, 4, work)
            with open(vcd) as f:
                stamps = [int(line[1:]) for line in f if line.startswith("#")]
        self.assertEqual(stamps[0], 0)
        self.assertTrue(all(a < b for a, b in zip(stamps, stamps[1:])))
        # The first change is the daemon's first write, 67.291 ms after the
        # first access (a marker); the last stamp closes the last change.
        self.assertEqual(stamps[1], 67_291_000)
        self.assertEqual(stamps[-1], stamps[-2] + 1)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    SIM = sys.argv.pop(1)
    if shutil.which(sigrok_frames.SIGROK) is None:
        print("SKIP: sigrok-cli missing (apt-get install sigrok-cli)")
        sys.exit(77)
    unittest.main()
