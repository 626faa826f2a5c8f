// SPDX-License-Identifier: GPL-2.0-or-later
#include "display.h"

#include "port.h"

#include <algorithm>

namespace
{

// Masks of the read-modify-write steps. AND masks keep the bits that are set;
// OR masks raise them. Bits 3 to 6 (0x78) pass through every step unchanged.
constexpr std::uint8_t online_low = 0xFC;   // data and clock low
constexpr std::uint8_t online_clock = 0x82; // clock high, online line high
constexpr std::uint8_t online_data = 0x81;  // data high, online line high
constexpr std::uint8_t online_data_clock = 0x83;
constexpr std::uint8_t online_latch = 0x84;     // latch high, online line high
constexpr std::uint8_t online_latch_low = 0xF8; // data, clock and latch low
constexpr std::uint8_t blank_low = 0x7C;        // data, clock and online line low
constexpr std::uint8_t blank_clock = 0x02;      // clock high
constexpr std::uint8_t blank_latch = 0x04;      // latch high
constexpr std::uint8_t blank_latch_low = 0x78;  // data, clock, latch and online line low

void and_mask(std::uint16_t port, std::uint8_t mask)
{
    out_byte(port, in_byte(port) & mask);
}
void or_mask(std::uint16_t port, std::uint8_t mask)
{
    out_byte(port, in_byte(port) | mask);
}

// Clocks `count` copies of `bit`; nothing when count is 0 or less.
void shift_run(std::uint16_t port, int bit, long long count, frame_variant variant)
{
    for (long long i = 0; i < count; ++i) shift_bit(port, bit, variant);
}

} // namespace

void shift_bit(std::uint16_t port, int bit, frame_variant variant)
{
    if (variant == blank_frame) {
        and_mask(port, blank_low);
        or_mask(port, blank_clock);
        and_mask(port, blank_low);
    } else if (bit != 0) {
        or_mask(port, online_data);
        or_mask(port, online_data_clock);
        and_mask(port, online_low);
    } else {
        and_mask(port, online_low);
        or_mask(port, online_clock);
        and_mask(port, online_low);
    }
}

void latch_frame(std::uint16_t port, frame_variant variant)
{
    if (variant == blank_frame) {
        or_mask(port, blank_latch);
        and_mask(port, blank_latch_low);
    } else {
        or_mask(port, online_latch);
        and_mask(port, online_latch_low);
    }
}

int scale_rate(float rate, int full_scale, int half_leds)
{
    if (half_leds <= 0 || full_scale <= 0) return 0;
    double x = static_cast<double>(half_leds) * rate / full_scale;
    // A negative or zero rate lights nothing; counts never drop below 0.
    if (!(x > 0)) return 0;
    // A trickle still lights one LED; above that the count is rounded up from
    // the half, in single precision as the display always has.
    x = std::max(x, 0.5);
    const float rounded = static_cast<float>(x + 0.5);
    // Compare before converting: a huge rate must not overflow the count.
    if (static_cast<double>(rounded) >= half_leds) return half_leds;
    int n = static_cast<int>(rounded);
    if (rounded - static_cast<float>(n) >= 0.5f) ++n;
    return std::min(n, half_leds);
}

void show_rates(int port_base, float iratep, float oratep, int in_max, int out_max, int half_leds,
                int display_mode)
{
    const auto port = static_cast<std::uint16_t>(port_base);
    const int in_leds = scale_rate(iratep, in_max, half_leds);
    const int out_leds = scale_rate(oratep, out_max, half_leds);
    const long long half = half_leds;

    if (display_mode == 1) {
        if (out_leds > 0) {
            shift_run(port, 0, out_leds - 1, online_frame);
            shift_bit(port, 1, online_frame);
            shift_run(port, 0, half - out_leds, online_frame);
        } else {
            shift_run(port, 0, half, online_frame);
        }
        if (in_leds > 0) {
            shift_run(port, 0, half - in_leds, online_frame);
            shift_bit(port, 1, online_frame);
            shift_run(port, 0, in_leds - 1, online_frame);
        } else {
            shift_run(port, 0, half, online_frame);
        }
    } else if (display_mode == 2) {
        shift_run(port, 1, out_leds, online_frame);
        shift_run(port, 0, half - out_leds, online_frame);
        shift_run(port, 0, half - in_leds, online_frame);
        shift_run(port, 1, in_leds, online_frame);
    } else {
        return;
    }
    latch_frame(port, online_frame);
}

void show_blank(int port_base, int half_leds)
{
    const auto port = static_cast<std::uint16_t>(port_base);
    shift_run(port, 0, 2LL * half_leds, blank_frame);
    latch_frame(port, blank_frame);
}
