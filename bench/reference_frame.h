// SPDX-License-Identifier: GPL-2.0-or-later
// The reference for the cost of a frame: the plainest loop that issues the
// same reads and writes, with the same masks, as the display code does for
// an online bar frame.
#pragma once

#include <cstdint>

// Shifts `out_leds` lit bits, then dark bits, then `in_leds` lit bits into a
// chain of 2 x half_leds stages and latches them, online line high.
void reference_bar_frame(std::uint16_t port, int in_leds, int out_leds, int half_leds);
