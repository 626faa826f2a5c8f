// SPDX-License-Identifier: GPL-2.0-or-later
// The link source chosen on the command line: a real interface, the demo
// link or a script. Keeps its state in module variables of link_source.cpp.
#pragma once

#include "options.h"
#include "reading.h"

#include <string>

// Prepares the source; `now_s` is monotonic seconds (the script and demo
// timelines start here). On failure `error` holds "context: reason".
bool source_open(const linkd_options& options, double now_s, std::string& error);

// The reading to answer with at `now_s`. An interface is sampled here, when
// a command needs it and the last sample is older than the sampling period:
// the service has no timer of its own.
link_reading source_reading(double now_s);

void source_close();
