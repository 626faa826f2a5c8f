#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The replay's frames against an independent decoder: sigrok's SPI decoder
on the capture of the same trace.

usage: tests/system/vm/sigrok_frames.py [--label NAME] [--out FILE] VCD REPLAY_LOG

VCD         `quenlyte-sim replay --vcd` of QEMU's trace
REPLAY_LOG  `quenlyte-sim replay --log LEDS` of the same trace, in the same run
--out FILE  the replay log again with each frame's leds= and online= as
            sigrok read them (leds: the frame's bits, stage 1 first)

A 74HC595 chain is an SPI device of mode 0 whose chip select is the latch
(storage clock), active low: the clock line is SPI's clock, the data line
MOSI. One bit a word, so a frame of any length is one transfer, ended by the
latch's rising edge. A second decoder, clocked by the latch line with the
online line as MOSI, reads the online line at each latch.

Every transfer must equal the replay's frame at the same place: its bits,
last shifted first, are the replay's LEDs from stage 1 on (as many as both
have), and the online line is the same; and there are as many transfers as
frames. Prints PASS:/FAIL:/INFO: lines with the first difference both ways;
exit status 0 when they agree, 1 when not, 77 when sigrok-cli is missing.
"""
import argparse
import re
import shutil
import subprocess
import sys

SIGROK = "sigrok-cli"
# compress: sigrok's VCD import makes one sample per time unit (ns here);
# idle stretches shrink to one sample, so that the run time follows the
# number of changes, not the trace's length in time.
INPUT = "vcd:compress=1"
FRAME_DECODER = ("spi:clk=clock:mosi=data:cs=latch:cs_polarity=active-low"
                 ":cpol=0:cpha=0:wordsize=1")
ONLINE_DECODER = "spi:clk=latch:mosi=online:cpol=0:cpha=0:wordsize=1"
TIMEOUT_S = 1800

FRAME_LINE = re.compile(r"frame t=(\S+) leds=([01]*) online=([01])( .*)?$")
WORDS = re.compile(r"(?:[0-9A-F]{2}(?: [0-9A-F]{2})*)?")  # a transfer's words, maybe none


class SigrokError(Exception):
    pass


def decode(vcd):
    """sigrok's reading of the capture: a list of (bits in the order they
    were shifted, online line at the latch)."""
    command = [SIGROK, "-I", INPUT, "-i", vcd, "-P", FRAME_DECODER, "-P", ONLINE_DECODER,
               "-A", "spi=mosi-transfer:mosi-bits"]
    r = subprocess.run(command, capture_output=True, text=True, timeout=TIMEOUT_S)
    # sigrok-cli exits 0 on some errors (a channel name that is not in the
    # capture): what it says on standard error counts.
    if r.returncode != 0 or r.stderr.strip():
        raise SigrokError(f"sigrok-cli: status {r.returncode}: {r.stderr.strip()[:600]}")
    transfers, online = [], []
    for line in r.stdout.splitlines():
        instance, _, text = line.partition(":")
        text = text.strip()
        if instance == "spi-2" and text in ("0", "1"):
            online.append(text)
        elif instance == "spi-1" and text in ("0", "1"):
            continue  # the frame decoder's bits: its transfers carry them
        elif instance == "spi-1" and WORDS.fullmatch(text):
            words = text.split()
            if any(w not in ("00", "01") for w in words):
                raise SigrokError(f"sigrok-cli: a word of more than one bit: {line}")
            transfers.append("".join(w[1] for w in words))
        else:
            raise SigrokError(f"sigrok-cli: an unexpected line: {line}")
    if len(online) != len(transfers):
        raise SigrokError(f"sigrok-cli: {len(transfers)} transfers but {len(online)} "
                          "latch edges for the online line")
    return list(zip(transfers, online))


def replay_frames(log_lines):
    """The replay's frames: (index in the log, time, LEDs stage 1 first, online)."""
    frames = []
    for number, line in enumerate(log_lines):
        m = FRAME_LINE.match(line)
        if m:
            frames.append((number, m.group(1), m.group(2), m.group(3)))
    return frames


def describe_sigrok(frame):
    bits, online = frame
    shown = bits[::-1] if bits else "(none)"
    return f"{len(bits)} bits, stage 1 first {shown}, online={online}"


def compare(decoded, frames):
    """The first difference as text, or None when they agree."""
    for i, (sig, rep) in enumerate(zip(decoded, frames)):
        bits, online = sig
        _, t, leds, rep_online = rep
        stages = bits[::-1]
        n = min(len(stages), len(leds))
        if stages[:n] != leds[:n] or online != rep_online:
            return (f"frame {i + 1} (t={t}) differs:\n"
                    f"  sigrok: {describe_sigrok(sig)}\n"
                    f"  replay: leds={leds} online={rep_online}")
    if len(decoded) != len(frames):
        i = min(len(decoded), len(frames))
        extra = (f"sigrok's transfer {i + 1}: {describe_sigrok(decoded[i])}"
                 if len(decoded) > len(frames) else
                 f"the replay's frame {i + 1} (t={frames[i][1]}): leds={frames[i][2]} "
                 f"online={frames[i][3]}")
        return (f"sigrok decoded {len(decoded)} frames, the replay reports {len(frames)}; "
                f"the first beyond the other's: {extra}")
    return None


def sigrok_log(log_lines, frames, decoded):
    """The replay log with each frame as sigrok read it."""
    out = list(log_lines)
    for (number, _, _, _), (bits, online) in zip(frames, decoded):
        m = FRAME_LINE.match(out[number])
        rest = m.group(4) or ""
        out[number] = f"frame t={m.group(1)} leds={bits[::-1]} online={online}{rest}"
    return out


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--label", default="sigrok")
    parser.add_argument("--out")
    parser.add_argument("vcd")
    parser.add_argument("replay_log")
    args = parser.parse_args(argv)
    label = args.label
    if shutil.which(SIGROK) is None:
        print(f"SKIP: {label}: sigrok-cli missing (apt-get install sigrok-cli)")
        return 77
    with open(args.replay_log, encoding="utf-8", errors="replace") as f:
        log_lines = f.read().splitlines()
    frames = replay_frames(log_lines)
    try:
        decoded = decode(args.vcd)
    except (SigrokError, subprocess.TimeoutExpired, OSError) as e:
        print(f"FAIL: {label}: {e}")
        return 1
    difference = compare(decoded, frames)
    if args.out:
        with open(args.out, "w", encoding="utf-8") as f:
            f.write("\n".join(sigrok_log(log_lines, frames, decoded)) + "\n")
    if difference:
        print(f"FAIL: {label}: {difference}")
        return 1
    bits = sum(len(b) for b, _ in decoded)
    print(f"PASS: {label}: sigrok's SPI decoder and the replay agree on all {len(frames)} "
          f"frames ({bits} bits, the online line at each latch)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
