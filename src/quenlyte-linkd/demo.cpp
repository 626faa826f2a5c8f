// SPDX-License-Identifier: GPL-2.0-or-later
#include "demo.h"

#include <algorithm>
#include <cmath>

namespace
{

constexpr double min_log_rate = 3.0;         // 1 kB/s
constexpr double max_log_rate = 7.0;         // 10 MB/s
constexpr double mean_log_in = 5.3;          // ~200 kB/s
constexpr double mean_log_out_gap = 0.8;     // outbound sits ~6x below inbound
constexpr double walk_step = 0.06;           // log10 units per tick, scale of the random walk
constexpr double pull_to_mean = 0.01;        // fraction of the distance to the mean per tick
constexpr double burst_chance = 1.0 / 120;   // per tick: a burst every ~12 s
constexpr double offline_chance = 1.0 / 450; // per tick: an offline spell every ~45 s
constexpr int min_burst_ticks = 5;
constexpr int max_extra_burst_ticks = 30;
constexpr int min_offline_ticks = 15;
constexpr int max_extra_offline_ticks = 45;

std::uint64_t next_u64(std::uint64_t& s)
{
    s += 0x9e3779b97f4a7c15ULL;
    std::uint64_t z = s;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// Uniform in [0, 1).
double next_unit(std::uint64_t& s)
{
    return static_cast<double>(next_u64(s) >> 11) * 0x1.0p-53;
}

// Roughly normal, mean 0, spread about 0.5.
double next_wobble(std::uint64_t& s)
{
    return next_unit(s) + next_unit(s) + next_unit(s) - 1.5;
}

std::uint64_t to_rate(double log_rate, double factor)
{
    return static_cast<std::uint64_t>(std::pow(10.0, log_rate) * factor);
}

} // namespace

void demo_start(demo_state& state, std::uint64_t seed)
{
    state = demo_state{};
    state.rng = seed;
    state.log_in = mean_log_in + next_wobble(state.rng);
    state.log_out = state.log_in - mean_log_out_gap;
    state.reading = {true, to_rate(state.log_in, 1.0), to_rate(state.log_out, 1.0)};
}

void demo_step(demo_state& state)
{
    std::uint64_t& r = state.rng;
    ++state.ticks;
    state.log_in += walk_step * 2 * next_wobble(r) + pull_to_mean * (mean_log_in - state.log_in);
    const double out_target = state.log_in - mean_log_out_gap;
    state.log_out += walk_step * 2 * next_wobble(r) + 0.05 * (out_target - state.log_out);
    state.log_in = std::clamp(state.log_in, min_log_rate, max_log_rate);
    state.log_out = std::clamp(state.log_out, min_log_rate, max_log_rate);

    if (state.burst_ticks_left > 0) {
        --state.burst_ticks_left;
    } else if (next_unit(r) < burst_chance) {
        state.burst_ticks_left =
            min_burst_ticks + static_cast<int>(next_unit(r) * max_extra_burst_ticks);
        state.burst_factor = 3.0 + 7.0 * next_unit(r);
    }
    if (state.offline_ticks_left > 0) {
        --state.offline_ticks_left;
    } else if (next_unit(r) < offline_chance) {
        state.offline_ticks_left =
            min_offline_ticks + static_cast<int>(next_unit(r) * max_extra_offline_ticks);
    }

    if (state.offline_ticks_left > 0) {
        state.reading = link_reading{};
        return;
    }
    const double factor = state.burst_ticks_left > 0 ? state.burst_factor : 1.0;
    state.reading = {true, to_rate(state.log_in, factor),
                     to_rate(state.log_out, 1.0 + (factor - 1.0) / 4)};
}

void demo_advance_to(demo_state& state, double t_s)
{
    if (!(t_s > 0)) return;
    const double wanted = std::floor(t_s / demo_tick_s);
    // After a long idle spell, skip ahead instead of replaying hours of steps.
    constexpr double max_catch_up_ticks = 36000; // one hour of ticks
    if (wanted - static_cast<double>(state.ticks) > max_catch_up_ticks)
        state.ticks = static_cast<std::uint64_t>(wanted - max_catch_up_ticks);
    while (static_cast<double>(state.ticks) < wanted) demo_step(state);
}
