// SPDX-License-Identifier: GPL-2.0-or-later
#include "bench_parse.h"

#include <algorithm>
#include <charconv>

namespace
{

// The white-space separated words of a line.
std::vector<std::string_view> words(std::string_view line)
{
    std::vector<std::string_view> found;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
        std::size_t end = at;
        while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
        if (end > at) found.push_back(line.substr(at, end - at));
        at = end;
    }
    return found;
}

// The whole word as a number, or false.
bool whole_number(std::string_view word, long long& value)
{
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    return error == std::errc{} && end == word.data() + word.size();
}

// Each line of `text` in turn, without its line end.
template <typename Visit> void each_line(std::string_view text, Visit visit)
{
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        visit(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
}

} // namespace

double median(std::vector<double> samples)
{
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    const std::size_t middle = samples.size() / 2;
    return samples.size() % 2 == 1 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2;
}

long long positive_number(std::string_view text)
{
    long long value = 0;
    return whole_number(text, value) && value > 0 ? value : -1;
}

ratio_summary pair_ratios(const std::vector<double>& numerators,
                          const std::vector<double>& denominators)
{
    const std::size_t count = std::min(numerators.size(), denominators.size());
    std::vector<double> ratios;
    ratios.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        if (denominators[i] > 0) ratios.push_back(numerators[i] / denominators[i]);
    if (ratios.empty()) return {};
    const auto [least, most] = std::minmax_element(ratios.begin(), ratios.end());
    return {median(ratios), *least, *most, static_cast<int>(ratios.size())};
}

std::map<std::string, long long> strace_counts(std::string_view summary)
{
    // Rows: "% time  seconds  usecs/call  calls  [errors]  syscall".
    std::map<std::string, long long> counts;
    each_line(summary, [&](std::string_view line) {
        const auto row = words(line);
        long long calls = 0;
        if (row.size() < 5 || row.size() > 6 || !whole_number(row[3], calls)) return;
        if (row[0].find_first_not_of("0123456789.") != std::string_view::npos) return;
        counts[std::string(row.back())] += calls;
    });
    return counts;
}

long long callgrind_collected(std::string_view output)
{
    constexpr std::string_view marker = "Collected :";
    long long found = -1;
    each_line(output, [&](std::string_view line) {
        const std::size_t at = line.find(marker);
        if (at == std::string_view::npos) return;
        const auto rest = words(line.substr(at + marker.size()));
        long long value = 0;
        if (!rest.empty() && whole_number(rest[0], value)) found = value;
    });
    return found;
}
