// SPDX-License-Identifier: GPL-2.0-or-later
// Pure conversions of the command line and of the rate reply. Nothing here
// prints or exits; the entry point decides what a failure means.
#pragma once

struct settings {
    int in_max;         // full-scale inbound rate, KiB/s
    int out_max;        // full-scale outbound rate, KiB/s
    int port_base;      // I/O address of the data register
    int half_leds;      // LEDs per direction
    int display_mode;   // 1 dot, 2 bar, anything else shows no rates
    int cycle_delay_us; // pause after an online frame, microseconds
};

// A decimal integer by strtol's rules: leading white space and a sign are
// accepted, conversion stops at the first character that is not a digit, a
// text without digits gives 0. Values beyond int's range saturate.
int to_int(const char* text);

// Converts the six arguments. Returns 0, or the position (1, 2 or 6) of the
// first argument that must convert to a number above 0 and does not.
int settings_from_args(const char* const args[6], settings& out);

// Reads two integers from a value text as "%d %d" would (leading white
// space, a sign, any white space between; anything after the second number
// is ignored). A number outside int's range counts as not read. Returns true
// when both were read.
bool parse_rates(const char* text, int& in, int& out);
