# SPDX-License-Identifier: GPL-2.0-or-later
"""The judge's tests' one way to replay a trace: quenlyte-sim replay onto a
fresh simulated port of the test's own, removed again afterwards."""

import os
import subprocess


def replay_file(sim, port, trace_path, leds, reg=None, extra=()):
    """quenlyte-sim replay --log LEDS [EXTRA...] of the trace at trace_path,
    onto a fresh simulated port whose register starts at reg: the log's
    lines. Fails on a status other than 0 or anything on standard error."""
    subprocess.run([sim, "reset", str(port)] + ([str(reg)] if reg is not None else []),
                   check=True, stdout=subprocess.DEVNULL)
    try:
        r = subprocess.run([sim, "replay", "--log", str(leds), *extra, str(port), trace_path],
                           capture_output=True, text=True, timeout=60)
    finally:
        try:
            os.unlink(f"/dev/shm/quenlyte-sim-0x{port:x}")
        except FileNotFoundError:
            pass
    if r.returncode != 0 or r.stderr:
        raise AssertionError(f"replay: status {r.returncode}: {r.stderr}")
    return r.stdout.splitlines()
