// SPDX-License-Identifier: GPL-2.0-or-later
// Interface byte counters: turning timestamped counter samples into steady
// rates over a window. Pure: no I/O.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "options.h" // max_window_s

struct iface_counters {
    std::uint64_t rx_bytes = 0; // received since the interface appeared
    std::uint64_t tx_bytes = 0; // sent since the interface appeared
};

// Interface sampling: a sample at most every sample period, a quarter of the
// window clamped to these bounds (sample_period_s below).
inline constexpr double max_sample_period_s = 0.25; // seconds, for windows of 1 s and more
inline constexpr double min_sample_period_s = 0.01; // seconds, for windows under 0.04 s
inline constexpr int window_divisions = 4;          // sample periods per window, in between

// Samples kept, at most: a window of W seconds sampled every P seconds holds
// up to W / P samples after its start and one at or before it, and the ring
// takes a new sample before the old ones are dropped. Windows of 1 s and more
// are sampled every 0.25 s, so the longest needs the most (14 402, 338 KiB).
inline constexpr std::size_t max_window_samples =
    static_cast<std::size_t>(max_window_s / max_sample_period_s) + 2;
static_assert(max_window_s / max_sample_period_s == static_cast<double>(max_window_samples - 2),
              "a whole number of sample periods in the longest window");

struct rate_sample {
    double t_s = 0; // monotonic seconds
    iface_counters counters;
};

// The samples kept, oldest first, in a ring of fixed size: adding one never allocates.
struct rate_window {
    double window_s = 1.0; // averaging window, seconds
    std::array<rate_sample, max_window_samples> ring{};
    std::size_t first = 0; // place of the oldest sample in `ring`
    std::size_t count = 0; // samples kept
};

struct byte_rates {
    std::uint64_t in_bytes_per_s = 0;
    std::uint64_t out_bytes_per_s = 0;
};

// Adds a sample. A counter going down or time going backwards restarts the
// window, so a reset never shows as a spike or a negative rate. Keeps one
// sample at or before the start of the window and drops older ones.
void window_add(rate_window& window, const rate_sample& sample);

// The sampling period for a window: a quarter of it, from 0.01 to 0.25 s.
double sample_period_s(double window_s);

// Forgets all samples (e.g. when the interface went away).
void window_restart(rate_window& window);

// (newest - oldest) / elapsed over the samples kept; zero with fewer than two.
byte_rates window_rates(const rate_window& window);
