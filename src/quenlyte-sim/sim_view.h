// SPDX-License-Identifier: GPL-2.0-or-later
// What `quenlyte-sim view` shows, as text: the one line of `view --once` and
// the frames of the live view. Pure: nothing here reads the simulated port or
// touches the terminal, so every picture can be checked from a state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct sim_chain;

// One look at the simulated port.
struct view_state {
    std::string leds;           // '1' lit, '0' dark, stage 1 first
    unsigned port = 0;          // I/O address
    std::uint8_t reg = 0;       // the data register; bit 7 is the online line
    std::uint64_t frames = 0;   // latch pulses so far
    std::uint64_t writes = 0;   // register writes so far
    std::uint64_t reads = 0;    // register reads so far
    double frames_per_s = -1.0; // latch pulses per second lately; negative until measured
};

// How the live view may draw.
struct view_style {
    bool color = false;   // ANSI colours
    bool unicode = false; // UTF-8 dots for LEDs (used with colour only)
    bool keys = false;    // q is read from the keyboard: say so
    std::string note;     // a last line instead of the keys, e.g. while quitting
    int width = 80;       // terminal columns
};

// The state of `leds` outputs of `chain` (at I/O address `port`), counters
// and register as they are now.
view_state view_state_of(const sim_chain* chain, unsigned port, int leds);

// The line of `view --once`, newline included:
// leds=<0/1 per LED, stage 1 first> online=<0|1> reg=0x<2 hex> frames=N writes=N reads=N
std::string view_line(const view_state& state);

// The live view: its lines, without line ends. Stages 1..LEDS/2 are the
// inbound half, the rest the outbound half; the halves differ in glyph (and
// colour) and a separator stands between them. No line is wider than
// width - 1 columns, so that no terminal wraps it.
std::vector<std::string> view_frame(const view_state& state, const view_style& style);

// The bytes that draw `lines` over the frame of `previous_lines` lines drawn
// before (0: nothing drawn yet), the cursor left at the end of the last line:
// back to the start of the old frame, each line overwritten and cleared to
// its end, and anything below cleared when the new frame is shorter. Never a
// clear of the whole screen.
std::string redraw(const std::vector<std::string>& lines, int previous_lines);
