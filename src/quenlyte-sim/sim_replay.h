// SPDX-License-Identifier: GPL-2.0-or-later
// quenlyte-sim replay: QEMU's parallel-port trace (qemu_trace.h) applied,
// access by access, to a simulated port, so that `view` shows what LEDs on
// QEMU's port would show.
#pragma once

struct replay_options {
    int port = 0;                // I/O address of the simulated port
    const char* trace = nullptr; // the trace file
    bool follow = false;         // go on reading what QEMU appends, until SIGTERM, SIGINT or SIGHUP
    int log_leds = -1;           // print the events (frames with this many LEDs); negative: none
    const char* vcd = nullptr;   // write the data register's lines to this file (port_vcd.h)
};

// Replays the trace. Unreadable parallel-port lines are reported on standard
// error with their number, and the replay goes on. Returns the exit status:
// 0 when every parallel-port line was read, 1 when one was not or the port,
// the trace, the dump or standard output failed.
//
// The dump's times are the trace's, in nanoseconds from its first access; a
// trace without times counts one microsecond an access. The dump begins with
// the simulated port's register as the replay found it.
int replay_trace(const replay_options& options);
