// SPDX-License-Identifier: GPL-2.0-or-later
#include "counters.h"

#include <algorithm>
#include <cmath>

namespace
{

std::uint64_t rate_of(std::uint64_t delta, double elapsed_s)
{
    const double rate = std::round(static_cast<double>(delta) / elapsed_s);
    constexpr double max_exact = 18446744073709549568.0; // largest double below 2^64
    if (!(rate >= 0)) return 0;
    if (rate >= max_exact) return UINT64_MAX;
    return static_cast<std::uint64_t>(rate);
}

const rate_sample& sample_at(const rate_window& window, std::size_t i)
{
    return window.ring[(window.first + i) % max_window_samples];
}

void drop_oldest(rate_window& window)
{
    window.first = (window.first + 1) % max_window_samples;
    --window.count;
}

} // namespace

void window_add(rate_window& window, const rate_sample& sample)
{
    if (window.count > 0) {
        const rate_sample& last = sample_at(window, window.count - 1);
        if (!(sample.t_s >= last.t_s) || sample.counters.rx_bytes < last.counters.rx_bytes ||
            sample.counters.tx_bytes < last.counters.tx_bytes)
            window.count = 0;
    }
    if (window.count == max_window_samples) drop_oldest(window);
    window.ring[(window.first + window.count) % max_window_samples] = sample;
    ++window.count;
    const double start_s = sample.t_s - window.window_s;
    while (window.count >= 2 && sample_at(window, 1).t_s <= start_s) drop_oldest(window);
}

double sample_period_s(double window_s)
{
    return std::clamp(window_s / window_divisions, min_sample_period_s, max_sample_period_s);
}

void window_restart(rate_window& window)
{
    window.count = 0;
}

byte_rates window_rates(const rate_window& window)
{
    if (window.count < 2) return {};
    const rate_sample& oldest = sample_at(window, 0);
    const rate_sample& newest = sample_at(window, window.count - 1);
    const double elapsed_s = newest.t_s - oldest.t_s;
    if (!(elapsed_s > 0)) return {};
    return {rate_of(newest.counters.rx_bytes - oldest.counters.rx_bytes, elapsed_s),
            rate_of(newest.counters.tx_bytes - oldest.counters.tx_bytes, elapsed_s)};
}
