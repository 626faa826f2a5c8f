// SPDX-License-Identifier: GPL-2.0-or-later
// The fields of a line of /proc/PID/stat that quenlyte-sim, the tests and the
// benchmark read: pure, text in and fields out.
#pragma once

#include <charconv>
#include <optional>
#include <string_view>

struct proc_stat {
    std::string_view comm;     // the command name without its parentheses (points into the line)
    char state = 0;            // R running, S sleeping, Z zombie, ...
    long long ppid = 0;        // the parent's process id
    long long utime_ticks = 0; // CPU time in user mode, clock ticks
    long long stime_ticks = 0; // CPU time in the kernel, clock ticks
};

// "PID (COMM) STATE PPID PGRP ... UTIME STIME ...": the fields above, or
// nothing when the line is not such a line (a trailing line end is fine).
// COMM may hold blanks and parentheses itself, so it ends at the last ')'.
inline std::optional<proc_stat> parse_proc_stat(std::string_view line)
{
    constexpr std::string_view blanks = " \t\n";
    constexpr int ppid_field = 1;   // the fields after COMM, counted from STATE as 0
    constexpr int utime_field = 11; // the 14th of the line; STIME the 15th
    const std::size_t open = line.find('(');
    const std::size_t close = line.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        return std::nullopt;
    proc_stat found;
    found.comm = line.substr(open + 1, close - open - 1);
    std::string_view rest = line.substr(close + 1);
    const auto number = [](std::string_view word, long long& value) {
        const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
        return error == std::errc{} && end == word.data() + word.size();
    };
    for (int field = 0; field <= utime_field + 1; ++field) {
        const std::size_t start = rest.find_first_not_of(blanks);
        if (start == std::string_view::npos) return std::nullopt;
        rest.remove_prefix(start);
        const std::string_view word = rest.substr(0, rest.find_first_of(blanks));
        rest.remove_prefix(word.size());
        if (field == 0) {
            if (word.size() != 1) return std::nullopt;
            found.state = word[0];
        } else if ((field == ppid_field && !number(word, found.ppid)) ||
                   (field == utime_field && !number(word, found.utime_ticks)) ||
                   (field == utime_field + 1 && !number(word, found.stime_ticks))) {
            return std::nullopt;
        }
    }
    return found;
}
