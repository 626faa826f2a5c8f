// SPDX-License-Identifier: GPL-2.0-or-later
// The places of connected clients and the choice made over them: the client
// silent longest, which is closed first (when a new client needs its place,
// or when the idle time has run out). Pure: no I/O.
#pragma once

#include "protocol.h"

#include <cstddef>
#include <span>

struct client {
    int fd = -1;            // -1: a free place
    double last_line_s = 0; // monotonic time of its last complete line, or of its connection
    line_splitter splitter; // a line that never ends does not count: silence
};

inline constexpr std::size_t no_client = static_cast<std::size_t>(-1);

// The place of the client whose last line is oldest (the lowest place among
// equals); no_client when no place is in use.
std::size_t silent_longest(std::span<const client> clients);
