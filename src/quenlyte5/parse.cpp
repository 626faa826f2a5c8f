// SPDX-License-Identifier: GPL-2.0-or-later
#include "parse.h"

#include "port_facts.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <string_view>

namespace
{

constexpr int us_per_second = 1000000;
constexpr double bytes_per_kib = 1024.0;

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// One "%d" conversion from the front of `text`; advances past it.
bool read_int(std::string_view& text, int& value)
{
    std::size_t i = 0;
    while (i < text.size() && is_space(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::size_t digits_end = i;
    while (digits_end < text.size() && is_digit(text[digits_end])) ++digits_end;
    if (digits_end == i) return false;

    unsigned long long magnitude = 0;
    const auto [end, error] = std::from_chars(text.data() + i, text.data() + digits_end, magnitude);
    (void)end;
    const unsigned long long limit = negative ? static_cast<unsigned long long>(INT_MAX) + 1
                                              : static_cast<unsigned long long>(INT_MAX);
    if (error != std::errc{} || magnitude > limit) return false;

    value = negative ? static_cast<int>(-static_cast<long long>(magnitude))
                     : static_cast<int>(magnitude);
    text.remove_prefix(digits_end);
    return true;
}

} // namespace

int to_int(const char* text)
{
    errno = 0;
    const long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

int settings_from_args(const char* const args[6], settings& out)
{
    out.in_max = to_int(args[0]);
    out.out_max = to_int(args[1]);
    out.port_base = port_address(to_int(args[2]));
    const int leds = to_int(args[3]);
    out.half_leds = leds / 2;
    out.display_mode = to_int(args[4]);
    const int updates_per_second = to_int(args[5]);
    if (out.in_max <= 0) return 1;
    if (out.out_max <= 0) return 2;
    if (leds > max_leds) return 4;
    if (updates_per_second <= 0 || updates_per_second > max_updates_per_second) return 6;
    out.cycle_delay_us = us_per_second / updates_per_second;
    return 0;
}

const char* argument_rule(int position)
{
    // The bounds are spelt out here; the unit tests hold them to the constants.
    switch (position) {
    case 1:
    case 2:
        return "a number above 0";
    case 4:
        return "a number up to 8192";
    case 6:
        return "a number from 1 to 1000000";
    default:
        return "";
    }
}

float kib_per_s(int bytes_per_s)
{
    return static_cast<float>(bytes_per_s / bytes_per_kib);
}

bool parse_rates(const char* text, int& in, int& out)
{
    std::string_view rest(text);
    int first = 0;
    int second = 0;
    if (!read_int(rest, first) || !read_int(rest, second)) return false;
    in = first;
    out = second;
    return true;
}
