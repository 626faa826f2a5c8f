// SPDX-License-Identifier: GPL-2.0-or-later
// Pure conversions of the command line and of the rate reply. Nothing here
// prints or exits; the entry point decides what a failure means.
#pragma once

// Highest refresh rate, updates per second: the pause after an online frame
// is 1 000 000 us divided by the rate, so any higher rate would make it 0 us
// and the daemon would poll the service without a break.
inline constexpr int max_updates_per_second = 1000000;

// Most LEDs in the chain. A frame costs 6 port accesses per LED (3 reads and
// 3 writes per bit) and 4 for the latch, about 1 us each on a real port: 8192
// LEDs make 49 156 accesses, about 49 ms, so no frame, and so no stop, takes
// longer than about 50 ms.
inline constexpr int max_leds = 8192;

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

// Converts the six arguments. Returns 0, or the position (1, 2, 4 or 6) of
// the first argument whose number lies outside its range (argument_rule).
int settings_from_args(const char* const args[6], settings& out);

// What the argument at `position` (1 to 6) must be, for the usage error:
// "a number above 0", "a number from 1 to 1000000", ...; empty for an
// argument that takes any number.
const char* argument_rule(int position);

// A reported rate in bytes per second as KiB/s, the unit of the full-scale
// arguments: divided by 1024 and rounded to the nearest float.
float kib_per_s(int bytes_per_s);

// Reads two integers from a value text as "%d %d" would (leading white
// space, a sign, any white space between; anything after the second number
// is ignored). A number outside int's range counts as not read. Returns true
// when both were read.
bool parse_rates(const char* text, int& in, int& out);
