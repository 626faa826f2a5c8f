// SPDX-License-Identifier: GPL-2.0-or-later
// Interface byte counters: turning timestamped counter samples into steady
// rates over a window. Pure: no I/O.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

struct iface_counters {
    std::uint64_t rx_bytes = 0; // received since the interface appeared
    std::uint64_t tx_bytes = 0; // sent since the interface appeared
};

inline constexpr std::size_t max_window_samples = 4096; // cap on samples kept

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

// Forgets all samples (e.g. when the interface went away).
void window_restart(rate_window& window);

// (newest - oldest) / elapsed over the samples kept; zero with fewer than two.
byte_rates window_rates(const rate_window& window);
