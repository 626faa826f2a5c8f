// SPDX-License-Identifier: GPL-2.0-or-later
#include "activation.h"

#include <charconv>
#include <string_view>
#include <system_error>

namespace
{

// A whole decimal number without sign or blanks, as the service manager writes it.
bool read_count(std::string_view text, long& value)
{
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return !text.empty() && text.front() != '-' && ec == std::errc() && ptr == end;
}

} // namespace

int handed_listener(const char* listen_pid, const char* listen_fds, long self_pid,
                    std::string& error)
{
    error.clear();
    if (listen_pid == nullptr || listen_fds == nullptr) return -1;
    long pid = 0, count = 0;
    if (!read_count(listen_pid, pid)) {
        error = "LISTEN_PID: not a process id";
        return -1;
    }
    if (pid != self_pid) return -1; // meant for another process (a parent)
    if (!read_count(listen_fds, count)) {
        error = "LISTEN_FDS: not a count";
        return -1;
    }
    if (count == 0) return -1;
    if (count > 1) {
        error = "LISTEN_FDS: " + std::to_string(count) + " sockets handed over, one expected";
        return -1;
    }
    return first_handed_fd;
}
