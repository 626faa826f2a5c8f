#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The frames of one VM run, judged against the events its scenario marked.

usage: tests/system/vm/frames.py --program NAME [--leds N] [--in-max N] [--out-max N]
                          FINDINGS REPLAY_LOG

FINDINGS    tests/system/vm/scenario.sh's lines (RATE lines: linkd's rates in B/s)
REPLAY_LOG  `quenlyte-sim replay --log LEDS` of QEMU's trace: frame lines,
            and other lines, among them the scenario's marks (a letter
            written to base+1), in the trace's own clock

Prints PASS:/FAIL: lines; exit status 1 when anything failed, 2 on a
usage error. The units run with LEDS=16, MODE=2 (bar), IN_MAX=512 and
OUT_MAX=256 (the defaults here).

The LED counts are worked out here from the rule, not by the daemon's code:
this is the check on that code.
"""
import argparse
import collections
import math
import re
import struct
import sys

# The scenario's marks, in the order it writes them.
MARK_ORDER = "BUIiOoDGRSsPpTKkFfAaE"
LINK_UP_S = 5  # an online frame within this long of linkd saying Online, seconds
DROP_S = 3  # the first dark frame within this long of ppp0 going away, seconds
RESTART_S = 5  # online frames within this long of linkd's restart, seconds
TRAFFIC_FRAMES_MIN = 10  # frames a traffic phase must have (about 50 at RATE=10)
EXACT_FRAMES_MIN = 5  # frames of a traffic phase whose accesses are counted exactly
USUAL_SHARE = 0.9  # share of a traffic phase's frames showing the median rate's count
OTHER_IN = 4194304  # the other service's inbound rate, B/s (beyond full scale; 0 outbound)
OTHER_FRAMES_MIN = 5  # online frames the daemon must show beside the other service

Frame = collections.namedtuple("Frame", "t leds online reads writes other after_mark")
Config = collections.namedtuple("Config", "half in_max out_max")


def float32(value):
    """value rounded to single precision (to nearest), as a C float holds it."""
    return struct.unpack("f", struct.pack("f", value))[0]


def count(x, half):
    """The LED count for x = half * rate / full scale: nothing for x of 0 or
    less (the daemon clamps at 0), a trickle (0 < x < 0.5) as 0.5; then x +
    0.5 held as a float, truncated, and one more when its fraction is 0.5 or
    more; at most half."""
    if not x > 0:
        return 0
    if x >= half:  # the count is half from x = half - 1 on; no float overflow beyond
        return half
    x = float32(max(x, 0.5) + 0.5)
    n = math.trunc(x)
    if x - n >= 0.5:
        n += 1
    return min(n, half)


def scale(rate, full_scale, half):
    """The LED count of one direction for a reported rate (bytes/s, an
    integer): the rate / 1024 held as a float, then x in double."""
    return count(half * float32(rate / 1024) / full_scale, half)


def bar(in_n, out_n, half):
    """The bar frame's outputs, stage 1 first: the inbound count from stage 1
    on, the outbound count from the last stage back."""
    stages = range(1, 2 * half + 1)
    return "".join("1" if i <= in_n or i > 2 * half - out_n else "0" for i in stages)


def frame_accesses(half):
    """Data-register reads (and as many writes) of one frame: three per bit,
    two for the latch."""
    return 6 * half + 2


class Verdict:
    """The PASS/FAIL lines of one program's run."""

    def __init__(self, program, out=sys.stdout):
        self.program = program
        self.out = out
        self.failures = 0

    def say(self, kind, text):
        print(f"{kind}: {self.program}: {text}", file=self.out)

    def passed(self, text):
        self.say("PASS", text)

    def failed(self, text):
        self.say("FAIL", text)
        self.failures += 1

    def check(self, ok, text):
        (self.passed if ok else self.failed)(text)


# --- reading ---------------------------------------------------------------

RATE_LINE = re.compile(r"RATE (\S+) (\d{1,10}) (\d{1,10})")
RATE_MAX = 2**31 - 1  # the daemon reads the rates as ints


def read_findings(lines, verdict):
    """linkd's rates from the RATE lines: {phase: [(in, out), ...]}. A RATE
    line without two rates (linkd answered with an error, or not at all)
    fails: it would say nothing of what the frames should show."""
    rates = collections.defaultdict(list)
    for line in lines:
        if not line.startswith("RATE"):
            continue
        m = RATE_LINE.fullmatch(line.rstrip("\r\n"))
        if m and int(m.group(2)) <= RATE_MAX and int(m.group(3)) <= RATE_MAX:
            rates[m.group(1)].append((int(m.group(2)), int(m.group(3))))
        else:
            verdict.failed(f"a RATE line without two rates: {line.strip()!r}")
    return rates


FRAME_LINE = re.compile(
    r"frame t=(\S+) leds=([01]+) online=([01]) reads=(\d+) writes=(\d+) other=(\d+)")
OTHER_LINE = re.compile(r"other t=(\S+) offset=(\d+) op=(read|write) value=0x([0-9a-f]{2})")


def read_log(lines, verdict, order=MARK_ORDER):
    """The frames, and the times of the marks (letters written to base+1)
    taken in the scenario's order: a letter out of turn is not a mark."""
    frames = []
    marks = {}
    mark_since = False
    for number, line in enumerate(lines, 1):
        line = line.rstrip("\n")
        m = FRAME_LINE.fullmatch(line)
        if m:
            t, leds, online, reads, writes, other = m.groups()
            frames.append(Frame(float(t), leds, online == "1", int(reads), int(writes), int(other),
                                mark_since))
            mark_since = False
            continue
        m = OTHER_LINE.fullmatch(line)
        if m:
            t, offset, op, value = m.groups()
            letter = chr(int(value, 16))
            if offset == "1" and op == "write" and len(marks) < len(order) and \
                    letter == order[len(marks)]:
                marks[letter] = float(t)
                mark_since = True
            continue
        verdict.failed(f"replay log line {number} unreadable: {line!r}")
    return frames, marks


# --- the checks --------------------------------------------------------------


def blank(frame, half):
    return not frame.online and frame.leds == "0" * (2 * half)


def first_after(frames, t, online, half):
    """The first frame after t that is online (online) or dark (not online)."""
    for f in frames:
        if f.t > t and (f.online if online else blank(f, half)):
            return f
    return None


def lit_at_start(leds):
    return len(leds) - len(leds.lstrip("1"))


def lit_at_end(leds):
    return len(leds) - len(leds.rstrip("1"))


def check_boot(verdict, frames, t_begin, half):
    """The daemon's frames before the scenario began: all dark (no link yet).
    The kernel's probe of the port latches a few short frames before them."""
    k = bad = probe = 0
    for f in frames:
        if f.t >= t_begin:
            break
        if k == 0 and f.reads < frame_accesses(half):
            probe += 1
            continue
        k += 1
        bad += not blank(f, half)
    verdict.check(k > 0 and bad == 0,
                  f"{k} blank frames, online line low, from boot until the link came up "
                  f"(after {probe} of the kernel's probe)" if k > 0 and bad == 0 else
                  f"at boot before the link: {k} frames of the daemon, {bad} not blank")


def check_link_up(verdict, frames, t_up, half):
    f = first_after(frames, t_up, True, half)
    if f and f.t - t_up < LINK_UP_S:
        verdict.passed(f"online frames {f.t - t_up:.2f} s after linkd said Online: {f.leds}")
    else:
        verdict.failed(f"no online frame within {LINK_UP_S} s of the link coming up")


def shown_counts(samples, cfg):
    """The LED counts linkd's rates allow: (in_lo, in_hi, out_lo, out_hi)."""
    ins = [scale(r_in, cfg.in_max, cfg.half) for r_in, _ in samples]
    outs = [scale(r_out, cfg.out_max, cfg.half) for _, r_out in samples]
    return min(ins), max(ins), min(outs), max(outs)


def check_traffic(verdict, frames, phase, t_start, t_end, samples, cfg, program,
                  min_frames=TRAFFIC_FRAMES_MIN, min_exact=EXACT_FRAMES_MIN):
    """b. The frames between the phase's marks (at least min_frames) are
    online and show counts that linkd's rates sampled then scale to; most of
    them that of the median rate. f. Each (but the first, and one after a
    mark) is exactly one frame's data-register accesses (at least
    min_exact such frames)."""
    if not samples:
        verdict.failed(f"{phase}bound: no rates from linkd")
        return
    half = cfg.half
    in_lo, in_hi, out_lo, out_hi = shown_counts(samples, cfg)
    # A direction without traffic may show a trickle of one LED.
    if phase == "in":
        out_hi = max(out_hi, 1)
    else:
        in_hi = max(in_hi, 1)
    busy = sorted(r[0] if phase == "in" else r[1] for r in samples)
    median = busy[(len(busy) - 1) // 2]
    typical = scale(median, cfg.in_max if phase == "in" else cfg.out_max, half)
    allowed = {bar(a, b, half) for a in range(in_lo, in_hi + 1) for b in range(out_lo, out_hi + 1)}

    window = [i for i, f in enumerate(frames) if t_start < f.t < t_end]
    k = len(window)
    bad = usual = exact = inexact = 0
    bad_text = inexact_text = example = ""
    for i in window:
        f = frames[i]
        if f.leds not in allowed or not f.online:
            bad += 1
            if bad == 1:
                bad_text = f"{f.leds} online={int(f.online)} at {f.t:.6f}"
        lit = lit_at_start(f.leds) if phase == "in" else lit_at_end(f.leds)
        usual += lit == typical
        if i > 0 and frames[i - 1].t > t_start and not f.after_mark:
            n = frame_accesses(half)
            if f.reads == n and f.writes == n and (f.other == 0 or program != "quenlyte5"):
                exact += 1
            else:
                inexact += 1
                if inexact == 1:
                    inexact_text = f"reads={f.reads} writes={f.writes} other={f.other} at {f.t:.6f}"
        example = example or f.leds
    want = (f"in {in_lo}..{in_hi}, out {out_lo}..{out_hi} LEDs, {usual} of them {typical} "
            f"{phase}bound")
    rates_in = [r[0] for r in samples]
    rates_out = [r[1] for r in samples]
    span = (f"{len(samples)} rates from linkd, in {min(rates_in)}..{max(rates_in)}, "
            f"out {min(rates_out)}..{max(rates_out)} B/s")
    if k >= min_frames and bad == 0 and usual >= USUAL_SHARE * k:
        verdict.passed(f"{phase}bound traffic: {k} frames, all online with {want} ({span}): "
                       f"{example}")
    else:
        verdict.failed(f"{phase}bound traffic: {k} frames, {bad} not online with {want} ({span})"
                       + (f", first: {bad_text}" if bad_text else ""))
    n = frame_accesses(half)
    if exact >= min_exact and inexact == 0:
        verdict.passed(f"{phase}bound: {exact} frames of exactly {n} reads and {n} writes of the "
                       f"data register"
                       + (", none at base+1 or base+2" if program == "quenlyte5" else ""))
    else:
        verdict.failed(f"{phase}bound: {exact} exact frames, {inexact} not"
                       + (f", first: {inexact_text}" if inexact_text else ""))


def check_drop(verdict, frames, t_told, t_gone, t_back, half):
    """c. Dark frames, online line low, within DROP_S of ppp0 going away,
    and until pppd is started again."""
    f = first_after(frames, t_gone, False, half)
    if not f or f.t >= t_back or f.t - t_gone > DROP_S:
        when = f"{f.t - t_gone:.2f} s" if f else "none"
        verdict.failed(f"link dropped: no blank frame within {DROP_S} s of ppp0 going away "
                       f"({when})")
        return
    lit = [g for g in frames if f.t <= g.t < t_back and not blank(g, half)]
    if lit:
        verdict.failed(f"link dropped: {len(lit)} frames not blank before pppd started again, "
                       f"first: {lit[0].leds} online={int(lit[0].online)} at {lit[0].t:.6f}")
    else:
        verdict.passed(f"link dropped: blank frames {f.t - t_gone:.2f} s after ppp0 went away "
                       f"({f.t - t_told:.2f} s after pppd was told to end), blank until pppd "
                       f"started again")


def check_back(verdict, frames, t_back, t_next, half):
    """d. Online frames after pppd is started again."""
    f = first_after(frames, t_back, True, half)
    if f and f.t < t_next:
        verdict.passed(f"link back: online frames {f.t - t_back:.2f} s after pppd started again")
    else:
        verdict.failed("link back: no online frame before the stop")


def check_stopped(verdict, frames, t_stop, t_stopped, t_next, half, what="stopped"):
    """e. Stop: the last frame before t_stopped comes after t_stop and is
    dark with the online line low; none after it until t_next (None: the
    end of the trace)."""
    before = [f for f in frames if f.t < t_stopped]
    later = [f for f in frames if f.t >= t_stopped and (t_next is None or f.t < t_next)]
    last = before[-1] if before else None
    if later:
        verdict.failed(f"{what}: {len(later)} frames after the daemon had ended, first: "
                       f"{later[0].leds} online={int(later[0].online)} at {later[0].t:.6f}")
    elif not last or last.t <= t_stop:
        verdict.failed(f"{what}: no frame between the stop and its end")
    elif not blank(last, half):
        verdict.failed(f"{what}: the last frame {last.leds} online={int(last.online)}, not dark")
    else:
        verdict.passed(f"{what}: the last frame blank with the online line low, none after it")


def check_restart(verdict, frames, t_start, t_kill, t_restarted, half):
    """e. Started again: online frames; linkd killed and both restarted:
    online frames again soon after."""
    f = first_after(frames, t_start, True, half)
    g = first_after(frames, t_restarted, True, half)
    if f and f.t < t_kill and g and g.t - t_restarted < RESTART_S:
        verdict.passed(f"started again: online frames; linkd killed and both restarted: online "
                       f"frames {g.t - t_restarted:.2f} s later")
    else:
        verdict.failed("no online frames after the start or after linkd's restart")


def check_other_service(verdict, frames, t_start, t_stop, cfg):
    """i. Beside another link-control service (quenlyte-linkd purged): the
    online frames between the start and the stop show its rates, OTHER_IN
    in and 0 out."""
    want = bar(scale(OTHER_IN, cfg.in_max, cfg.half), 0, cfg.half)
    shown = [f for f in frames if t_start < f.t < t_stop and f.online]
    other = [f for f in shown if f.leds != want]
    if len(shown) >= OTHER_FRAMES_MIN and not other:
        verdict.passed(f"beside another service on port 5000: {len(shown)} online frames, all "
                       f"its rates: {want}")
    else:
        verdict.failed(f"beside another service on port 5000: {len(shown)} online frames, "
                       f"{len(other)} not {want}"
                       + (f", first: {other[0].leds} at {other[0].t:.6f}" if other else ""))


def judge(program, findings_lines, log_lines, cfg, out=sys.stdout, other_service=True):
    """The whole scenario's frames; the number of failures. Without
    other_service the scenario has no phase beside another service and ends
    after the failed start (no marks A, a and E): the OpenRC one."""
    verdict = Verdict(program, out)
    rates = read_findings(findings_lines, verdict)
    frames, marks = read_log(log_lines, verdict)
    if not frames:
        verdict.failed("no frames in the trace")
        return verdict.failures
    order = MARK_ORDER if other_service else MARK_ORDER.replace("AaE", "")
    missing = [m for m in order if m not in marks]
    if missing:
        verdict.failed(f"no mark {missing[0]} in the trace (marks found: "
                       f"{''.join(marks) or 'none'})")
        return verdict.failures
    half = cfg.half
    t = marks
    check_boot(verdict, frames, t["B"], half)
    check_link_up(verdict, frames, t["U"], half)
    check_traffic(verdict, frames, "in", t["I"], t["i"], rates.get("in", []), cfg, program)
    check_traffic(verdict, frames, "out", t["O"], t["o"], rates.get("out", []), cfg, program)
    check_drop(verdict, frames, t["D"], t["G"], t["R"], half)
    check_back(verdict, frames, t["R"], t["S"], half)
    check_stopped(verdict, frames, t["S"], t["s"], t["T"], half)
    check_restart(verdict, frames, t["T"], t["K"], t["k"], half)
    # h. A start that cannot take the port: the running daemon's stop leaves
    # the chain dark, and the failed start touches it no more.
    if not other_service:
        check_stopped(verdict, frames, t["F"], t["f"], None, half, "restarted onto a bad port")
        return verdict.failures
    check_stopped(verdict, frames, t["F"], t["f"], t["A"], half, "restarted onto a bad port")
    check_other_service(verdict, frames, t["A"], t["a"], cfg)
    check_stopped(verdict, frames, t["a"], t["E"], None, half, "stopped beside another service")
    return verdict.failures


def main(argv):
    parser = argparse.ArgumentParser(prog="frames.py", description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True, help="quenlyte5 or quenlyte5-ppdev")
    parser.add_argument("--leds", type=int, default=16, help="the unit's LEDS (default 16)")
    parser.add_argument("--in-max", type=int, default=512, help="IN_MAX (default 512)")
    parser.add_argument("--out-max", type=int, default=256, help="OUT_MAX (default 256)")
    parser.add_argument("--without-other-service", action="store_true",
                        help="the scenario ends after the failed start (no marks A, a, E)")
    parser.add_argument("findings")
    parser.add_argument("replay_log")
    args = parser.parse_args(argv)
    if args.leds < 2 or args.in_max <= 0 or args.out_max <= 0:
        parser.error("--leds must be 2 or more, --in-max and --out-max above 0")
    cfg = Config(args.leds // 2, args.in_max, args.out_max)
    try:
        with open(args.findings, encoding="latin-1") as f:
            findings = f.read().splitlines()
        with open(args.replay_log, encoding="latin-1") as f:
            log = f.read().splitlines()
    except OSError as e:
        print(f"frames.py: {e.filename}: {e.strerror}", file=sys.stderr)
        return 1
    return 1 if judge(args.program, findings, log, cfg,
                      other_service=not args.without_other_service) else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
