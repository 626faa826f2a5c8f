// SPDX-License-Identifier: GPL-2.0-or-later
#include "protocol.h"

#include "link_protocol.h"

#include <algorithm>
#include <charconv>

line_event next_line(line_splitter& splitter, std::string_view& bytes)
{
    while (!bytes.empty()) {
        const auto nl = bytes.find('\n');
        const bool ended = nl != std::string_view::npos;
        const std::string_view chunk = bytes.substr(0, nl);
        bytes.remove_prefix(ended ? nl + 1 : bytes.size());

        if (splitter.discarding) {
            splitter.discarding = !ended;
            continue;
        }
        if (splitter.partial_bytes + chunk.size() > max_line_bytes) {
            splitter.partial_bytes = 0;
            splitter.discarding = !ended;
            return {line_kind::too_long, {}};
        }
        std::string_view line = chunk; // a line within one read needs no copy
        if (splitter.partial_bytes > 0 || !ended) {
            std::copy(chunk.begin(), chunk.end(),
                      splitter.partial.begin() +
                          static_cast<std::ptrdiff_t>(splitter.partial_bytes));
            splitter.partial_bytes += chunk.size();
            if (!ended) break;
            line = std::string_view(splitter.partial.data(), splitter.partial_bytes);
            splitter.partial_bytes = 0;
        }
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        return {line_kind::line, line};
    }
    return {};
}

command parse_command(std::string_view line)
{
    if (line == status_command) return command::status;
    if (line == rate_command) return command::rate;
    return command::unknown;
}

std::string_view reply_for(command cmd, const link_reading& reading, reply_buffer& buffer)
{
    switch (cmd) {
    case command::status:
        return reading.online ? "OK Online\r\n" : "OK Offline\r\n";
    case command::rate: {
        char* const first = buffer.data();
        char* const last = first + buffer.size();
        char* p = std::copy_n("OK ", 3, first);
        p = std::to_chars(p, last, reading.in_bytes_per_s).ptr;
        *p++ = ' ';
        p = std::to_chars(p, last, reading.out_bytes_per_s).ptr;
        p = std::copy_n("\r\n", 2, p);
        return {first, static_cast<std::size_t>(p - first)};
    }
    case command::unknown:
        break;
    }
    return "ERR unknown command\r\n";
}

std::string_view too_long_reply()
{
    return "ERR line too long\r\n";
}
