// SPDX-License-Identifier: GPL-2.0-or-later
#include "reference_frame.h"

#include "port.h"

void reference_bar_frame(std::uint16_t port, int in_leds, int out_leds, int half_leds)
{
    const int stages = 2 * half_leds;
    for (int shifted = 0; shifted < stages; ++shifted) {
        if (shifted < out_leds || shifted >= stages - in_leds) {
            out_byte(port, in_byte(port) | 0x81); // data high, online line high
            out_byte(port, in_byte(port) | 0x83); // and the clock
            out_byte(port, in_byte(port) & 0xFC); // data and clock low
        } else {
            out_byte(port, in_byte(port) & 0xFC);
            out_byte(port, in_byte(port) | 0x82); // clock high, online line high
            out_byte(port, in_byte(port) & 0xFC);
        }
    }
    out_byte(port, in_byte(port) | 0x84); // latch high, online line high
    out_byte(port, in_byte(port) & 0xF8); // data, clock and latch low
}
