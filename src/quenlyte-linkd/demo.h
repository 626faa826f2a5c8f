// SPDX-License-Identifier: GPL-2.0-or-later
// The synthetic link of --demo: rates that wander and burst, with a short
// offline spell now and then. Pure and deterministic for a given seed.
#pragma once

#include "reading.h"

#include <cstdint>

inline constexpr double demo_tick_s = 0.1; // one step of the synthetic link, seconds

struct demo_state {
    std::uint64_t rng = 0;      // splitmix64 state
    std::uint64_t ticks = 0;    // steps taken since start
    double log_in = 5.0;        // log10 of the inbound base rate, bytes per second
    double log_out = 4.3;       // log10 of the outbound base rate, bytes per second
    int offline_ticks_left = 0; // remaining steps of an offline spell
    int burst_ticks_left = 0;   // remaining steps of a burst
    double burst_factor = 1.0;  // inbound multiplier during a burst
    link_reading reading;       // the reading after the last step
};

void demo_start(demo_state& state, std::uint64_t seed);

// Advances one tick (demo_tick_s).
void demo_step(demo_state& state);

// Advances until `t_s` seconds since start have been covered.
void demo_advance_to(demo_state& state, double t_s);
