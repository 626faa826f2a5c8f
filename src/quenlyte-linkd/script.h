// SPDX-License-Identifier: GPL-2.0-or-later
// Script timelines for --script: a pure parser and a pure evaluator.
//
// One entry a line, times in seconds since the service started, strictly
// increasing:
//   AT online IN OUT   link up with IN/OUT bytes per second
//   AT offline         link down, rates 0
//   AT loop            optional last line: at AT, start again from 0
// '#' starts a comment; blank lines are ignored.
#pragma once

#include "reading.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::size_t max_script_bytes =
    std::size_t{1024} * 1024; // largest script file accepted

struct script_entry {
    double at_s = 0; // seconds since start
    link_reading reading;
};

struct link_script {
    std::vector<script_entry> entries;
    bool loops = false;
    double loop_at_s = 0; // seconds since start, with `loops`
};

// Parses `text`. On failure `error` holds "LINE: reason" (1-based line).
bool parse_script(std::string_view text, link_script& out, std::string& error);

// The reading at `t_s` seconds since start (offline before the first entry).
link_reading script_reading(const link_script& script, double t_s);
