// SPDX-License-Identifier: GPL-2.0-or-later
// The live view of `quenlyte-sim view`: the terminal side (modes, keys,
// signals, timing) around the pure pictures of sim_view.h.
#pragma once

#include "sim_view.h"

#include <sys/types.h>

struct sim_chain;

struct live_options {
    unsigned port = 0;   // I/O address, for the header
    int leds = 0;        // LEDs shown
    double for_s = -1.0; // quit by itself after this many seconds; negative: never
    pid_t stop_pid = -1; // on quit, send SIGTERM here and show the chain until it has ended
};

// Draws `chain` until q, Ctrl-C, SIGTERM or SIGHUP (or `for_s` seconds),
// then restores the terminal. Returns the exit status: 0, or 1 when
// standard output failed.
int live_view(const sim_chain* chain, const live_options& options);
