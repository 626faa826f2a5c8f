// SPDX-License-Identifier: GPL-2.0-or-later
// The rates on the LED chain: scaling to LED counts, the frames of dot and
// bar mode and of the blank frame, and their signalling on the data register
// of the parallel port.
//
// Data register bits: 0 data line, 1 clock line, 2 latch line, 7 online line.
// Bits 3 to 6 are never changed: every write is a read-modify-write.
#pragma once

#include <cstdint>

enum frame_variant {
    online_frame, // every OR write raises the online line
    blank_frame,  // every AND write lowers it
};

// Clocks one bit into stage 1 of the chain (three writes).
void shift_bit(std::uint16_t port, int bit, frame_variant variant);

// Pulses the latch line, copying the stages to the outputs (two writes).
void latch_frame(std::uint16_t port, frame_variant variant);

// LEDs lit for `rate` against `full_scale` (same unit), 0..half_leds.
int scale_rate(float rate, int full_scale, int half_leds);

// Shows both rates in `display_mode` (1 dot, 2 bar); any other mode writes
// nothing at all. The outbound half is shifted first, so the inbound bar
// grows from stage 1 and the outbound bar from the far end of the chain.
void show_rates(int port_base, float iratep, float oratep, int in_max, int out_max, int half_leds,
                int display_mode);

// Shifts 2 x half_leds dark bits and latches them with the online line low.
void show_blank(int port_base, int half_leds);
