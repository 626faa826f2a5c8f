#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The summary at the end of ./tests/run: for each stage, the tests passed,
failed and skipped, with the skip reasons grouped and counted.

usage: tests/summary.py RESULTS_DIR [EXIT_STATUS]

RESULTS_DIR holds what tests/run recorded (tests/stages.sh): `stages`
(lines "NAME start SECONDS" and "NAME end SECONDS", epoch seconds, and
"NAME cpu SECONDS", the processor time its commands took; the lanes of
tests/run write them side by side), and for each stage NAME.xml
(ctest --output-junit) or NAME.status (a script: its first line passed,
failed or skipped, then the reason or the last lines of its output). The
last lines of each failed test's output come before the summary. With a
non-zero EXIT_STATUS a stage without results or an end is named as one that
stopped the run.
"""
import collections
import os
import re
import sys
import time
import xml.etree.ElementTree as ET

REASON_WIDTH = 150  # characters of a skip reason shown
FAILURE_LINES = 25  # last lines of a failed test's output shown


def gtest_skip_reason(output):
    """The message of GTEST_SKIP(): the lines between "...: Skipped" and
    "[  SKIPPED ]"; else the last line of the output (a script's)."""
    lines = output.splitlines()
    for i, line in enumerate(lines):
        if line.endswith(": Skipped"):
            reason = []
            for rest in lines[i + 1:]:
                if rest.startswith("[  SKIPPED ]"):
                    break
                reason.append(rest.strip())
            if any(reason):
                return " ".join(r for r in reason if r)
    for line in reversed(lines):
        if line.strip():
            return re.sub(r"^SKIP:\s*", "", line.strip())
    return "(no reason given)"


def shorten(text):
    return text if len(text) <= REASON_WIDTH else text[:REASON_WIDTH - 3] + "..."


def ctest_stage(path):
    """passed, failed, skipped, {reason: count}, [(failed test name, the
    last lines of its output)]"""
    passed = failed = skipped = 0
    reasons = collections.Counter()
    failures = []
    for case in ET.parse(path).getroot().iter("testcase"):
        status = case.get("status")
        name = case.get("name", "").split("  # ")[0]
        if status == "run":
            passed += 1
        elif status == "notrun":
            skipped += 1
            out = case.findtext("system-out") or ""
            marker = case.find("skipped")
            message = marker.get("message", "") if marker is not None else ""
            if message in ("SKIP_REGULAR_EXPRESSION_MATCHED", "") or message.startswith(
                    "SKIP_RETURN_CODE"):
                reasons[shorten(gtest_skip_reason(out))] += 1
            else:  # "Disabled", a missing program, ...
                reasons[shorten(message)] += 1
        else:
            failed += 1
            out = (case.findtext("system-out") or "").splitlines()
            failures.append((name, out[-FAILURE_LINES:]))
    return passed, failed, skipped, reasons, failures


def main():
    results = sys.argv[1]
    exit_status = int(sys.argv[2]) if len(sys.argv) > 2 else 0
    starts = {}
    ends = {}
    cpus = {}
    try:
        with open(os.path.join(results, "stages"), encoding="utf-8") as f:
            for line in f:
                name, what, seconds = line.split()
                {"start": starts, "end": ends, "cpu": cpus}[what][name] = int(seconds)
    except OSError:
        pass
    stages = sorted(starts, key=lambda name: starts[name])
    end = int(time.time())
    width = max([len(name) for name in stages] + [len("all ctest stages")]) + 1
    ctest = {name: ctest_stage(os.path.join(results, name + ".xml")) for name in stages
             if os.path.exists(os.path.join(results, name + ".xml"))}
    # The failed tests' output first, so that the end of a long log shows why.
    for name, (_, _, _, _, failures) in ctest.items():
        for failure, tail in failures:
            print(f"== {name}: {failure} failed; its output ends:")
            print("\n".join(tail))
    print("== summary")
    if not stages:
        print("no stage ran")
    totals = [0, 0, 0]
    stopped = []
    for name in stages:
        seconds = ends.get(name, end) - starts[name]
        base = os.path.join(results, name)
        cpu = f", {cpus[name]} s cpu" if name in cpus else ""
        took = f"({seconds // 60}:{seconds % 60:02d}{cpu})"
        if name in ctest:
            passed, failed, skipped, reasons, failures = ctest[name]
            totals[0] += passed
            totals[1] += failed
            totals[2] += skipped
            print(f"{name:<{width}} {passed:4d} passed {failed:4d} failed {skipped:4d} skipped  {took}")
            for reason, count in reasons.most_common():
                print(f"    {count:4d} skipped: {reason}")
            for failure, _ in failures:
                print(f"         failed: {failure}")
            if failed:
                stopped.append(name)
        elif os.path.exists(base + ".status"):
            with open(base + ".status", encoding="utf-8", errors="replace") as f:
                status = f.readline().strip()
                detail = " ".join(line.strip() for line in f if line.strip())
            shown = status + (": " + shorten(detail) if detail and status != "passed" else "")
            print(f"{name:<{width}} {shown}  {took}")
            if status == "failed":
                stopped.append(name)
        else:
            unfinished = exit_status != 0 and name not in ends
            shown = "stopped here" if unfinished else "no results"
            print(f"{name:<{width}} {shown}  {took}")
            if unfinished:
                stopped.append(name)
    if stages:
        seconds = end - starts[stages[0]]
        print(f"{'all ctest stages':<{width}} {totals[0]:4d} passed {totals[1]:4d} failed "
              f"{totals[2]:4d} skipped  ({seconds // 60}:{seconds % 60:02d} in all)")
    if exit_status != 0:
        where = ", ".join(stopped) if stopped else stages[-1] if stages else "set-up"
        print(f"tests/run: failed in stage {where} (status {exit_status})")
    else:
        print("tests/run: passed")


if __name__ == "__main__":
    main()
