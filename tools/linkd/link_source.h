// The link source chosen on the command line: a real interface, the demo
// link or a script. Keeps its state in module variables of link_source.cpp.
#pragma once

#include "options.h"
#include "reading.h"

#include <string>

// Prepares the source; `now_s` is monotonic seconds (the script and demo
// timelines start here). On failure `error` holds "context: reason".
bool source_open(const linkd_options& options, double now_s, std::string& error);

// Monotonic time at which source_poll wants to run next; negative for never.
double source_next_poll_s();

// Periodic work (sampling interface counters); call when source_next_poll_s is due.
void source_poll(double now_s);

// The reading to answer with at `now_s`.
link_reading source_reading(double now_s);

void source_close();
