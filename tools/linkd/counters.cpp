#include "counters.h"

#include <charconv>
#include <cmath>

namespace
{

constexpr std::size_t rx_bytes_field = 0; // field index after "name:"
constexpr std::size_t tx_bytes_field = 8;

std::string_view trim(std::string_view s)
{
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = s.find_last_not_of(" \t");
    return s.substr(first, last - first + 1);
}

std::uint64_t rate_of(std::uint64_t delta, double elapsed_s)
{
    const double rate = std::round(static_cast<double>(delta) / elapsed_s);
    constexpr double max_exact = 18446744073709549568.0; // largest double below 2^64
    if (!(rate >= 0)) return 0;
    if (rate >= max_exact) return UINT64_MAX;
    return static_cast<std::uint64_t>(rate);
}

} // namespace

std::optional<iface_counters> find_iface_counters(std::string_view text, std::string_view iface)
{
    while (!text.empty()) {
        const auto nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);

        const auto colon = line.find(':');
        if (colon == std::string_view::npos || trim(line.substr(0, colon)) != iface) continue;
        std::string_view rest = line.substr(colon + 1);
        iface_counters counters;
        for (std::size_t field = 0; field <= tx_bytes_field; ++field) {
            rest = trim(rest);
            std::uint64_t value = 0;
            auto [ptr, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
            if (ec != std::errc() || rest.empty()) return std::nullopt;
            if (field == rx_bytes_field) counters.rx_bytes = value;
            if (field == tx_bytes_field) counters.tx_bytes = value;
            rest.remove_prefix(static_cast<std::size_t>(ptr - rest.data()));
            if (!rest.empty() && rest.front() != ' ' && rest.front() != '\t') return std::nullopt;
        }
        return counters;
    }
    return std::nullopt;
}

void window_add(rate_window& window, const rate_sample& sample)
{
    if (!window.samples.empty()) {
        const rate_sample& last = window.samples.back();
        if (!(sample.t_s >= last.t_s) || sample.counters.rx_bytes < last.counters.rx_bytes ||
            sample.counters.tx_bytes < last.counters.tx_bytes)
            window.samples.clear();
    }
    window.samples.push_back(sample);
    const double start_s = sample.t_s - window.window_s;
    while (window.samples.size() >= 2 && window.samples[1].t_s <= start_s)
        window.samples.pop_front();
    while (window.samples.size() > max_window_samples) window.samples.pop_front();
}

void window_restart(rate_window& window)
{
    window.samples.clear();
}

byte_rates window_rates(const rate_window& window)
{
    if (window.samples.size() < 2) return {};
    const rate_sample& oldest = window.samples.front();
    const rate_sample& newest = window.samples.back();
    const double elapsed_s = newest.t_s - oldest.t_s;
    if (!(elapsed_s > 0)) return {};
    return {rate_of(newest.counters.rx_bytes - oldest.counters.rx_bytes, elapsed_s),
            rate_of(newest.counters.tx_bytes - oldest.counters.tx_bytes, elapsed_s)};
}
