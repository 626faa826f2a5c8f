// SPDX-License-Identifier: GPL-2.0-or-later
// The command-line protocol: splitting received bytes into lines and the
// reply to each line. Pure: no I/O, and no heap allocation.
#pragma once

#include "reading.h"

#include <array>
#include <cstddef>
#include <string_view>

inline constexpr std::size_t max_line_bytes = 256; // longest command line kept, LF excluded

// Per-client state of the line splitter: a fixed buffer, whatever the client sends.
struct line_splitter {
    std::array<char, max_line_bytes> partial{}; // bytes of a line not yet ended by LF
    std::size_t partial_bytes = 0;
    bool discarding = false; // inside an over-long line: drop bytes up to the next LF
};

enum class line_kind {
    none,     // no further line in these bytes (a partial one is kept)
    line,     // a complete line
    too_long, // a line passed max_line_bytes (reported once, then dropped up to its LF)
};

struct line_event {
    line_kind kind = line_kind::none;
    std::string_view line; // without LF and one trailing CR; valid until the next call
};

// Takes bytes from the front of `bytes` through the next complete or
// over-long line and returns it; kind none once `bytes` is used up.
line_event next_line(line_splitter& splitter, std::string_view& bytes);

enum class command { status, rate, unknown };

command parse_command(std::string_view line);

// Room for the longest reply: "OK " and two 20-digit numbers, CR LF.
using reply_buffer = std::array<char, 64>;

// The reply to a command, ending in CR LF; may point into `buffer`.
std::string_view reply_for(command cmd, const link_reading& reading, reply_buffer& buffer);

// The reply to an over-long line.
std::string_view too_long_reply();
