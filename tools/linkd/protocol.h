// The command-line protocol: splitting received bytes into lines and the
// reply to each line. Pure: no I/O.
#pragma once

#include "reading.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::size_t max_line_bytes = 256; // longest command line kept, LF excluded

// Per-client state of the line splitter.
struct line_splitter {
    std::string partial;     // bytes of a line not yet ended by LF
    bool discarding = false; // inside an over-long line: drop bytes up to the next LF
};

struct line_event {
    bool too_long = false; // a line passed max_line_bytes; `line` is empty
    std::string line;      // without LF and without one trailing CR
};

// Feeds received bytes; appends one event per complete line and one per
// over-long line (reported as soon as it passes the cap, then discarded up to
// its LF). Memory held stays below max_line_bytes + 1 per splitter.
void split_lines(line_splitter& splitter, std::string_view bytes, std::vector<line_event>& events);

// The reply to one command line, ending in CR LF.
std::string reply_for(std::string_view line, const link_reading& reading);

// The reply to an over-long line.
std::string_view too_long_reply();
