#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Tests of tests/system/vm/frames.py, the judge of the VM stage: its LED counts at
the rounding boundaries, the recorded QEMU trace in tests/data/ and a
synthesised trace of the whole VM scenario, both replayed by quenlyte-sim as
tests/system/vm/run replays the VM's, and corrupted copies of them, each of which
must fail for its own reason.

usage: tests/system/vm/test_frames.py QUENLYTE_SIM [unittest arguments]
"""
import io
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "..", "data")
JUDGE = os.path.join(HERE, "frames.py")
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import frames  # noqa: E402
import replay_run  # noqa: E402

SIM = None  # quenlyte-sim, from the command line
PORT = 0x1000 + os.getpid() % 0xE000  # a simulated port of this test's own


def replay(trace_text, leds, reg=None):
    """quenlyte-sim replay --log LEDS of a trace, onto a fresh simulated port
    whose register starts at reg."""
    with tempfile.NamedTemporaryFile("w", suffix=".trace") as trace:
        trace.write(trace_text)
        trace.flush()
        return replay_run.replay_file(SIM, PORT, trace.name, leds, reg)


def fail_lines(output):
    return [line for line in output.splitlines() if line.startswith("FAIL:")]


class Counts(unittest.TestCase):
    """The counts at the boundaries of the rule, worked out by hand. The
    rows marked double show where doing the sum in double precision alone
    (as an awk judge did) gives another count."""

    @staticmethod
    def double_only(x, half):
        if not x > 0:
            return 0
        x = max(x, 0.5) + 0.5
        n = int(x)
        return min(n + (x - n >= 0.5), half)

    def test_count_of_x(self):
        # x, count with half = 8, whether double alone differs; why
        rows = [
            (0.0, 0, False, "nothing"),
            (-1.0, 0, False, "below nothing: none (the daemon clamps at 0)"),
            (0.3, 1, False, "a trickle counts as 0.5: 1.0, n = 1"),
            (0.49999999, 1, False, "still a trickle"),
            (0.5, 1, False, "exactly 0.5: 1.0, n = 1, no half left"),
            (1 - 2e-8, 2, True, "1.49999998 is 1.5 as a float (steps 2^-23): n = 1 and the half"),
            (1 - 2e-7, 1, False, "1.4999998 is 1.49999988 as a float: n = 1"),
            (1.0, 2, False, "1.5: n = 1 and the half"),
            (2.5, 3, False, "3.0: n = 3"),
            (3 - 5e-8, 4, True, "3.49999995 is 3.5 as a float (steps 2^-22): 3 and the half"),
            (3 - 3e-7, 3, False, "3.4999997 is 3.49999976 as a float: n = 3"),
            (7 - 1e-7, 8, True, "7.4999999 is 7.5 as a float (steps 2^-21)"),
            (6.5, 7, False, "7.0"),
            (7.0, 8, False, "7.5: n = 7 and the half: all of them"),
            (8.0, 8, False, "9, at most half"),
            (1e40, 8, False, "far beyond a float: still half"),
        ]
        for x, want, differs, why in rows:
            with self.subTest(x=x, why=why):
                self.assertEqual(frames.count(x, 8), want)
                self.assertEqual(self.double_only(x, 8) != want, differs)

    def test_scale_of_reported_rates(self):
        # reported B/s, full scale (KiB/s), half, count, whether double alone differs; why
        rows = [
            (0, 512, 8, 0, False, "no traffic"),
            (2048, 8, 8, 3, False, "2 KiB/s of 8, x = 2.0: 2.5, n = 2 and the half"),
            (3072, 80, 8, 1, False, "x = 0.3: a trickle"),
            (1024, 16, 8, 1, False, "x = 0.5 exactly"),
            (1023, 16, 8, 1, False, "x just below 0.5: a trickle"),
            (131071, 512, 8, 2, False, "x = 1.99998: 2"),
            (131072, 512, 8, 3, False, "x = 2.0 at the VM's IN_MAX"),
            (163840, 512, 8, 3, False, "x = 2.5 (the VM's inbound traffic)"),
            (49152, 256, 8, 2, False, "x = 1.5 (the VM's outbound traffic)"),
            (262144, 512, 4, 3, False, "the recorded trace's inbound 3 of 4"),
            (32768, 64, 4, 3, False, "the recorded trace's outbound 3 of 4"),
            # 38399999 / 1024 = 37499.9990234375 is 37500 as a float (steps
            # 2^-8 there): x = 8 * 37500 / 100000 = 3.0 exactly, so 4; in
            # double x = 2.99999992 and the count 3.
            (38399999, 100000, 8, 4, True, "a float rate at a whole x"),
            # 16895999 / 1024 = 16499.9990234375 lies halfway between the
            # floats 16499.998046875 and 16500 (steps 2^-9): to even, 16500,
            # x = 3.0 and 4. The rate in double, x = 2.99999982 and x + 0.5
            # as a float 3.49999976: 3.
            (16895999, 44000, 8, 4, True, "a float rate, a tie, at a whole x"),
            (2**31 - 1, 1, 8, 8, False, "the largest rate: half"),
        ]
        for rate, full, half, want, differs, why in rows:
            with self.subTest(rate=rate, full=full, why=why):
                self.assertEqual(frames.scale(rate, full, half), want)
                x_double = half * (rate / 1024) / full
                self.assertEqual(self.double_only(x_double, half) != want, differs)

    def test_bar_frame(self):
        self.assertEqual(frames.bar(3, 5, 8), "1110000000011111")
        self.assertEqual(frames.bar(0, 0, 4), "00000000")
        self.assertEqual(frames.bar(4, 4, 4), "11111111")


def replace_line(text, stamp, old, new):
    """The trace's line with time stamp, with old (its end) made new."""
    lines = text.splitlines(keepends=True)
    hits = [i for i, line in enumerate(lines)
            if f"@{stamp}:" in line and line.rstrip().endswith(old)]
    assert len(hits) == 1, f"no single line at {stamp} ending in {old}"
    lines[hits[0]] = lines[hits[0]].rstrip()[: -len(old)] + new + "\n" if new is not None else ""
    return "".join(lines)


def frame_after_end(text):
    """The daemon's last online frame once more, 2 s after the end mark."""
    lines = text.splitlines(keepends=True)
    start = next(i for i, line in enumerate(lines) if line.rstrip().endswith("addr 0x01 val 0x42"))
    copy = []
    for line in lines[start + 1 :]:
        pid, rest = line.split("@", 1)
        t, event = rest.split(":", 1)
        copy.append(f"{pid}@{float(t) + 2:.6f}:{event}")
        if event.rstrip().endswith("val 0x84"):
            break
    return text + "".join(copy)


class RecordedTrace(unittest.TestCase):
    """quenlyte5 under QEMU with Debian's kernel (LEDS=8, IN_MAX=512,
    OUT_MAX=64): started (mark A), showing linkd's rates, SIGTERM (B) and
    ended (C). The judge's checks of what it holds: the frames shown and the
    stop."""

    cfg = frames.Config(4, 512, 64)

    @classmethod
    def setUpClass(cls):
        with open(os.path.join(DATA, "quenlyte5-in-qemu.trace")) as f:
            cls.trace = f.read()
        with open(os.path.join(DATA, "quenlyte5-in-qemu.findings")) as f:
            cls.findings = f.read().splitlines()

    def judge(self, trace):
        out = io.StringIO()
        verdict = frames.Verdict("quenlyte5", out)
        rates = frames.read_findings(self.findings, verdict)
        # The kernel's probe left the data register at 0x04.
        log, marks = frames.read_log(replay(trace, 8, reg=4), verdict, order="ABC")
        self.assertEqual(list(marks), ["A", "B", "C"])
        frames.check_traffic(verdict, log, "in", marks["A"], marks["B"], rates["run"], self.cfg,
                             "quenlyte5", min_frames=1, min_exact=0)
        frames.check_stopped(verdict, log, marks["B"], marks["C"], None, self.cfg.half)
        return out.getvalue()

    def test_passes(self):
        out = self.judge(self.trace)
        self.assertEqual(fail_lines(out), [])
        self.assertIn("PASS: quenlyte5: inbound traffic: 1 frames, all online with in 3..3, "
                      "out 3..3 LEDs, 1 of them 3 inbound (1 rates from linkd, "
                      "in 262144..262144, out 32768..32768 B/s): 11100111\n", out)
        self.assertIn("PASS: quenlyte5: stopped: the last frame blank", out)

    def test_corrupted_copies_fail(self):
        rows = [
            ("a frame's bit flipped: stage 1 shifted as 0",
             lambda t: replace_line(t, "1796740345.714966", "val 0x83", "val 0x82"),
             "inbound traffic: 1 frames, 1 not online with in 3..3, out 3..3 LEDs, 0 of them 3 "
             "inbound (1 rates from linkd, in 262144..262144, out 32768..32768 B/s), first: "
             "01100111 online=1"),
            ("the dark frame of the stop missing",
             lambda t: replace_line(t, "1796740348.612629", "val 0x04", None),
             "stopped: the last frame 11100111 online=1, not dark"),
            ("the online line low at a frame's latch",
             lambda t: replace_line(t, "1796740345.714972", "val 0x84", "val 0x04"),
             "inbound traffic: 1 frames, 1 not online with in 3..3, out 3..3 LEDs, 1 of them 3 "
             "inbound (1 rates from linkd, in 262144..262144, out 32768..32768 B/s), first: "
             "11100111 online=0"),
            ("a frame after the daemon ended", frame_after_end,
             "stopped: 1 frames after the daemon had ended, first: 11100111 online=1"),
        ]
        for name, corrupt, reason in rows:
            with self.subTest(name):
                failed = fail_lines(self.judge(corrupt(self.trace)))
                self.assertEqual(len(failed), 1, failed)
                self.assertTrue(failed[0].startswith(f"FAIL: quenlyte5: {reason}"), failed[0])


# --- the VM scenario, synthesised ------------------------------------------

T0 = 1796740000.0  # the synthesised trace's clock, seconds
HALF = 8  # LEDS=16, IN_MAX=512, OUT_MAX=256 as in the VM
PERIOD_S = 0.2  # between the daemon's online frames (it runs at RATE=10)


def scenario():
    """tests/system/vm/scenario.sh's run, as events: (t, "mark", letter),
    (t, "frame", leds, online), (t, "access", offset, is_write, value); and
    its findings, RATE lines among them."""
    ev = [(0.5, "access", 0, True, 0x04), (0.500002, "access", 0, True, 0x00)]  # the probe
    ev += [(2.0 + k, "frame", frames.bar(0, 0, HALF), False) for k in range(9)]  # boot: offline
    marks = {"B": 10.5, "U": 12.0, "I": 18.0, "i": 23.0, "O": 32.0, "o": 37.0, "D": 45.0,
             "G": 46.0, "R": 52.0, "S": 58.0, "s": 58.3, "P": 59.5, "p": 60.0, "T": 61.0,
             "K": 65.0, "k": 66.2, "F": 70.0, "f": 71.0, "A": 73.0, "a": 76.0, "E": 77.0}
    ev += [(t, "mark", letter) for letter, t in marks.items()]

    def online(start, end, counts=lambda k: (0, 0)):
        n = round((end - start) / PERIOD_S)
        return [(round(start + k * PERIOD_S, 6), "frame", frames.bar(*counts(k), HALF), True)
                for k in range(n)]

    ev += online(11.05, 15.0)
    ev += online(15.05, 26.0, lambda k: (3, k % 2))  # inbound: 3 LEDs, outbound a trickle or none
    ev += online(26.05, 29.0)
    ev += online(29.05, 40.0, lambda k: (k % 2, 2))  # outbound: 2 LEDs
    ev += online(40.05, 45.6)
    ev += [(46.8 + k, "frame", frames.bar(0, 0, HALF), False) for k in range(6)]  # link down
    ev += online(53.05, 58.0) + [(58.05, "frame", frames.bar(0, 0, HALF), True)]
    ev += [(58.1, "frame", frames.bar(0, 0, HALF), False)]  # systemctl stop
    ev += online(61.3, 65.0) + [(65.05, "frame", frames.bar(0, 0, HALF), False)]  # linkd killed
    ev += online(66.5, 70.0) + [(70.05, "frame", frames.bar(0, 0, HALF), False)]  # restart
    # beside another service: its rates, 8 LEDs in and none out
    ev += online(73.3, 76.0, lambda k: (HALF, 0)) + [(76.05, "frame", frames.bar(0, 0, HALF), False)]
    findings = ["PASS: the enabled quenlyte5.service started the daemon at boot"]
    findings += [f"MARK {letter} {T0 + t:.9f}" for letter, t in marks.items()]
    # linkd's rates: 3 LEDs inbound (x 2.49 to 2.51), 2 outbound (x 1.48 to 1.51).
    findings += [f"RATE in {163000 + 60 * k} {1300 * (k % 2)}" for k in range(25)]
    findings += [f"RATE out {2000 * (k % 2)} {48500 + 45 * k}" for k in range(25)]
    findings += ["DONE 0"]
    return ev, findings


def render(events):
    """The events as QEMU traces them: each write to the data register after
    a read of it, as the daemon does; the frames in the daemon's masks."""
    lines = []
    reg = 0

    def access(t, offset, is_write, value):
        op = "write" if is_write else "read"
        lines.append(f"4242@{T0 + t:.6f}:parallel_ioport_{op} {op} [SW] addr 0x{offset:02x} "
                     f"val 0x{value:02x}")

    for event in sorted(events, key=lambda e: e[0]):
        t, kind = event[0], event[1]
        if kind == "mark":
            access(t, 1, True, ord(event[2]))
        elif kind == "access":
            access(*event[:1], *event[2:])
            if event[2] == 0 and event[3]:
                reg = event[4]
        else:
            leds, online = event[2], event[3]
            high = 0x80 if online else 0x00
            writes = []
            for bit in reversed(leds):  # the last stage's bit first
                data = 0x01 if bit == "1" else 0x00
                writes += [high | data, high | data | 0x02, high]
            writes += [high | 0x04, high]  # the latch pulse
            for i, value in enumerate(writes):
                access(t + 2e-6 * i, 0, False, reg)
                access(t + 2e-6 * i + 1e-6, 0, True, value)
                reg = value
    return "".join(line + "\n" for line in lines)


def without(events, t, kind="frame"):
    hits = [e for e in events if e[1] == kind and abs(e[0] - t) < 1e-9]
    assert len(hits) == 1, f"no single {kind} at {t}"
    return [e for e in events if e is not hits[0]]


def with_frame(events, t, leds, online):
    return without(events, t) + [(t, "frame", leds, online)]


def flip(leds, stage):
    return leds[: stage - 1] + ("0" if leds[stage - 1] == "1" else "1") + leds[stage:]


class Scenario(unittest.TestCase):
    """tests/system/vm/frames.py as tests/system/vm/run calls it, on the replay of a whole
    VM scenario's trace."""

    @classmethod
    def setUpClass(cls):
        cls.events, cls.findings = scenario()

    def judge(self, events, findings, program="quenlyte5"):
        log = replay(render(events), 2 * HALF)
        with tempfile.TemporaryDirectory() as d:
            paths = [os.path.join(d, "findings.txt"), os.path.join(d, "log")]
            for path, lines in zip(paths, [findings, log]):
                with open(path, "w") as f:
                    f.write("".join(line + "\n" for line in lines))
            r = subprocess.run([sys.executable, JUDGE, "--program", program] + paths,
                               capture_output=True, text=True, timeout=60)
        self.assertEqual(r.stderr, "")
        return r.returncode, r.stdout

    def test_passes(self):
        status, out = self.judge(self.events, self.findings)
        self.assertEqual((status, fail_lines(out)), (0, []), out)
        self.assertEqual(out.count("PASS: quenlyte5: "), 13, out)
        # The daemon's first frame merges with the probe's accesses.
        self.assertIn("PASS: quenlyte5: 8 blank frames, online line low, from boot until the link "
                      "came up (after 2 of the kernel's probe)\n", out)
        self.assertIn("PASS: quenlyte5: inbound traffic: 25 frames, all online with in 3..3, "
                      "out 0..1 LEDs, 25 of them 3 inbound (25 rates from linkd, "
                      "in 163000..164440, out 0..1300 B/s): 1110000000000001\n", out)
        self.assertIn("PASS: quenlyte5: outbound: 24 frames of exactly 50 reads and 50 writes", out)

    def test_corrupted_runs_fail(self):
        ev, fi = self.events, self.findings
        in_frame = next(e for e in ev if e[1] == "frame" and e[0] > 20)
        out_phase = [e for e in ev if e[1] == "frame" and 29 < e[0] < 40]
        rows = [
            # name, events, findings, program, the FAIL line's start (None: passes)
            ("an inbound frame's bit flipped",
             with_frame(ev, in_frame[0], flip(in_frame[2], 5), True), fi, "quenlyte5",
             "inbound traffic: 25 frames, 1 not online with in 3..3, out 0..1 LEDs, 25 of them 3 "
             "inbound (25 rates from linkd, in 163000..164440, out 0..1300 B/s), first: "
             "1110100000000001 online=1"),
            ("every outbound frame an LED too many",
             [e for e in ev if e not in out_phase]
             + [(e[0], "frame", frames.bar(0, 3, HALF), True) for e in out_phase], fi, "quenlyte5",
             "outbound traffic: 25 frames, 25 not online with in 0..1, out 2..2 LEDs, 0 of them 2"),
            ("the stop's dark frame missing", without(ev, 58.1), fi, "quenlyte5",
             "stopped: the last frame 0000000000000000 online=1, not dark"),
            ("the online line high on a frame while the link is down",
             with_frame(ev, 48.8, frames.bar(0, 0, HALF), True), fi, "quenlyte5",
             "link dropped: 1 frames not blank before pppd started again, first: "
             "0000000000000000 online=1"),
            ("the online line high at boot",
             with_frame(ev, 5.0, frames.bar(0, 0, HALF), True), fi, "quenlyte5",
             "at boot before the link: 8 frames of the daemon, 1 not blank"),
            ("a frame after the stop, before the next start",
             ev + [(60.5, "frame", frames.bar(0, 0, HALF), False)], fi, "quenlyte5",
             "stopped: 1 frames after the daemon had ended, first: 0000000000000000 online=0"),
            ("a frame beside the other service showing linkd's last rates",
             with_frame(ev, 74.5, frames.bar(3, 0, HALF), True), fi, "quenlyte5",
             "beside another service on port 5000: 14 online frames, 1 not 1111111100000000, "
             "first: 1110000000000000"),
            ("a frame after the start that cannot take the port",
             ev + [(71.5, "frame", frames.bar(0, 0, HALF), True)], fi, "quenlyte5",
             "restarted onto a bad port: 1 frames after the daemon had ended"),
            ("no online frame after the link came back",
             [e for e in ev if not (e[1] == "frame" and 52 < e[0] < 58.07)], fi, "quenlyte5",
             "link back: no online frame before the stop"),
            ("quenlyte5 reads base+2 inside an inbound frame",
             ev + [(in_frame[0] - 0.05, "access", 2, False, 0xcc)], fi, "quenlyte5",
             "inbound: 23 exact frames, 1 not, first: reads=50 writes=50 other=1"),
            ("quenlyte5-ppdev's kernel driver may read base+2",
             ev + [(in_frame[0] - 0.05, "access", 2, False, 0xcc)], fi, "quenlyte5-ppdev", None),
            ("the mark of ppp0's end missing", without(ev, 46.0, "mark"), fi, "quenlyte5",
             "no mark G in the trace (marks found: BUIiOoD)"),
            ("linkd answered a rate with an error",
             ev, fi[:30] + ["RATE in ERR unknown command"] + fi[30:], "quenlyte5",
             "a RATE line without two rates: 'RATE in ERR unknown command'"),
        ]
        for name, events, findings, program, reason in rows:
            with self.subTest(name):
                status, out = self.judge(events, findings, program)
                failed = fail_lines(out)
                if reason is None:
                    self.assertEqual((status, failed), (0, []), out)
                    continue
                self.assertEqual(status, 1, out)
                self.assertEqual(len(failed), 1, failed)
                self.assertTrue(failed[0].startswith(f"FAIL: {program}: {reason}"), failed[0])


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__.strip().splitlines()[-1])
    SIM = os.path.abspath(sys.argv.pop(1))
    unittest.main()
