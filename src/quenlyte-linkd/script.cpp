// SPDX-License-Identifier: GPL-2.0-or-later
#include "script.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace
{

constexpr std::size_t max_tokens = 5; // more than any entry has, to detect extras

std::string_view trim(std::string_view s)
{
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

// Splits on blanks/tabs into at most max_tokens tokens; returns the count.
std::size_t split_tokens(std::string_view s, std::string_view (&tokens)[max_tokens])
{
    std::size_t n = 0;
    while (!s.empty() && n < max_tokens) {
        const auto start = s.find_first_not_of(" \t");
        if (start == std::string_view::npos) break;
        s.remove_prefix(start);
        const auto end = std::min(s.find_first_of(" \t"), s.size());
        tokens[n++] = s.substr(0, end);
        s.remove_prefix(end);
    }
    return n;
}

bool parse_time(std::string_view text, double& out)
{
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out, std::chars_format::fixed);
    return ec == std::errc() && ptr == end && std::isfinite(out) && out >= 0;
}

bool parse_rate(std::string_view text, std::uint64_t& out)
{
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end;
}

} // namespace

bool parse_script(std::string_view text, link_script& out, std::string& error)
{
    out = link_script{};
    std::size_t line_no = 0;
    while (!text.empty()) {
        ++line_no;
        const auto nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);

        if (const auto hash = line.find('#'); hash != std::string_view::npos)
            line = line.substr(0, hash);
        line = trim(line);
        if (line.empty()) continue;

        const std::string where = std::to_string(line_no) + ": ";
        if (out.loops) {
            error = where + "nothing may follow 'loop'";
            return false;
        }
        std::string_view tokens[max_tokens];
        const std::size_t n = split_tokens(line, tokens);
        double at_s = 0;
        if (!parse_time(tokens[0], at_s)) {
            error = where + "expected a time in seconds, got '" + std::string(tokens[0]) + "'";
            return false;
        }
        const double last_s = out.entries.empty() ? -1.0 : out.entries.back().at_s;
        if (at_s <= last_s) {
            error = where + "time must be later than the previous entry";
            return false;
        }
        const std::string_view word = n > 1 ? tokens[1] : std::string_view{};
        script_entry entry;
        entry.at_s = at_s;
        if (word == "online") {
            if (n != 4 || !parse_rate(tokens[2], entry.reading.in_bytes_per_s) ||
                !parse_rate(tokens[3], entry.reading.out_bytes_per_s)) {
                error = where + "expected 'AT online IN OUT' with rates in bytes per second";
                return false;
            }
            entry.reading.online = true;
            out.entries.push_back(entry);
        } else if (word == "offline") {
            if (n != 2) {
                error = where + "expected 'AT offline'";
                return false;
            }
            out.entries.push_back(entry);
        } else if (word == "loop") {
            if (n != 2) {
                error = where + "expected 'AT loop'";
                return false;
            }
            if (out.entries.empty()) {
                error = where + "'loop' needs an entry before it";
                return false;
            }
            out.loops = true;
            out.loop_at_s = at_s;
        } else {
            error = where + "expected 'online', 'offline' or 'loop' after the time";
            return false;
        }
    }
    if (out.entries.empty()) {
        error = std::to_string(line_no) + ": no entries";
        return false;
    }
    return true;
}

link_reading script_reading(const link_script& script, double t_s)
{
    if (!(t_s >= 0)) t_s = 0; // also catches NaN
    if (script.loops && t_s >= script.loop_at_s) t_s = std::fmod(t_s, script.loop_at_s);
    const auto after = std::upper_bound(script.entries.begin(), script.entries.end(), t_s,
                                        [](double t, const script_entry& e) { return t < e.at_s; });
    if (after == script.entries.begin()) return link_reading{};
    return std::prev(after)->reading;
}
