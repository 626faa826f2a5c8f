// SPDX-License-Identifier: GPL-2.0-or-later
// The command line of quenlyte-linkd: a pure parser, no I/O and no exits.
#pragma once

#include "link_protocol.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

enum class source_kind { none, iface, demo, script };

inline constexpr double default_window_s = 1.0; // rate averaging window, seconds
inline constexpr double max_window_s = 3600.0;  // longest accepted window, seconds
inline constexpr double default_idle_s = 10.0;  // a client silent this long is closed, seconds
inline constexpr double max_idle_s = 86400.0;   // longest accepted idle time, seconds
inline constexpr std::uint16_t default_port = service_port;

struct linkd_options {
    std::string listen_addr = service_host; // dotted IPv4
    std::uint16_t listen_port = default_port;
    source_kind source = source_kind::none;
    std::string iface;       // with source_kind::iface
    std::string script_path; // with source_kind::script
    double window_s = default_window_s;
    double idle_s = default_idle_s; // 0: silent clients are never closed
    std::uint64_t seed = 0;         // with source_kind::demo
    bool seed_given = false;
    bool detach = false; // --detach: into the background once listening
    std::string pidfile; // --pidfile FILE; empty: none
};

enum class parse_outcome { run, help, version, error };

// Parses the arguments after the program name. On parse_outcome::error,
// `error` holds "context: reason" (without the program name).
parse_outcome parse_options(std::span<const std::string_view> args, linkd_options& out,
                            std::string& error);

// Splits "ADDR:PORT" (dotted IPv4, port 0..65535). False if malformed.
bool parse_listen(std::string_view text, std::string& addr, std::uint16_t& port);

// Usage for --help.
std::string_view usage_text();
