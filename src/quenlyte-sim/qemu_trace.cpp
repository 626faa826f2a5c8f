// SPDX-License-Identifier: GPL-2.0-or-later
#include "qemu_trace.h"

#include <charconv>

namespace
{

constexpr std::string_view event_stem = "parallel_ioport_";
constexpr unsigned max_byte = 0xFF;
constexpr std::size_t min_hex_digits = 2; // QEMU's 0x%02x

// Takes `word` off the front of `text`; false when it is not there.
bool take(std::string_view& text, std::string_view word)
{
    if (!text.starts_with(word)) return false;
    text.remove_prefix(word.size());
    return true;
}

// Takes a run of digits in `base` off the front of `text` into `value`.
// The outcome: ok, none (no digit there) or out of range.
enum class number { ok, none, too_big };
number take_number(std::string_view& text, int base, unsigned long long& value)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error == std::errc::invalid_argument) return number::none;
    // Out of range stops after the whole run of digits too.
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    return error == std::errc{} ? number::ok : number::too_big;
}

// "PID@SECONDS.FRACTION", the whole of `prefix`; `time` gets SECONDS.FRACTION.
bool read_prefix(std::string_view prefix, std::string_view& time)
{
    unsigned long long unused = 0;
    if (take_number(prefix, 10, unused) != number::ok || !take(prefix, "@")) return false;
    const std::string_view stamp = prefix;
    if (take_number(prefix, 10, unused) != number::ok || !take(prefix, ".") ||
        take_number(prefix, 10, unused) != number::ok || !prefix.empty())
        return false;
    time = stamp;
    return true;
}

qemu_parsed bad(const char* reason)
{
    qemu_parsed parsed;
    parsed.kind = qemu_line::bad;
    parsed.reason = reason;
    return parsed;
}

// `name_and_space` and "0xHH" off the front of `text`, the number into
// `value`. Returns null, or why not: `missing`, or `too_big` beyond `limit`.
const char* take_hex(std::string_view& text, const char* name_and_space, unsigned limit,
                     const char* missing, const char* too_big, unsigned& value)
{
    if (!take(text, name_and_space) || !take(text, "0x")) return missing;
    unsigned long long number_read = 0;
    const std::size_t before = text.size();
    const number outcome = take_number(text, 16, number_read);
    // QEMU writes two digits at least: fewer is a line cut short.
    if (outcome == number::none || before - text.size() < min_hex_digits) return missing;
    if (outcome == number::too_big || number_read > limit) return too_big;
    value = static_cast<unsigned>(number_read);
    return nullptr;
}

} // namespace

qemu_parsed parse_qemu_line(std::string_view line)
{
    std::string_view rest = line;
    std::string_view prefix;
    const bool has_prefix = !line.starts_with(event_stem);
    if (has_prefix) {
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) return {};
        prefix = line.substr(0, colon);
        rest = line.substr(colon + 1);
        if (prefix.find_first_of(" \t") != std::string_view::npos || !rest.starts_with(event_stem))
            return {};
    }

    qemu_parsed parsed;
    parsed.kind = qemu_line::access;
    if (has_prefix && !read_prefix(prefix, parsed.access.time))
        return bad("no PID@SECONDS before the event");
    if (take(rest, "parallel_ioport_read read ["))
        parsed.access.is_write = false;
    else if (take(rest, "parallel_ioport_write write ["))
        parsed.access.is_write = true;
    else
        return bad("not a parallel_ioport_read or parallel_ioport_write event");
    if (!take(rest, "SW] ") && !take(rest, "HW] ")) return bad("no [SW] or [HW]");

    unsigned offset = 0;
    unsigned value = 0;
    if (const char* why = take_hex(rest, "addr ", qemu_port_span - 1, "no addr 0xHH",
                                   "addr beyond the port (0x00 to 0x07)", offset))
        return bad(why);
    if (const char* why = take_hex(rest, " val ", max_byte, "no val 0xHH",
                                   "val beyond a byte (0x00 to 0xff)", value))
        return bad(why);
    if (!rest.empty()) return bad("text after val");
    parsed.access.offset = static_cast<int>(offset);
    parsed.access.value = static_cast<std::uint8_t>(value);
    return parsed;
}

bool qemu_time_ns(std::string_view time, std::uint64_t& ns)
{
    constexpr std::uint64_t ns_per_s = 1'000'000'000;
    constexpr std::size_t fraction_digits = 9; // of a second: nanoseconds
    const std::size_t dot = time.find('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == time.size()) return false;
    std::uint64_t seconds = 0;
    const char* const end = time.data() + dot;
    const auto [seconds_end, seconds_error] = std::from_chars(time.data(), end, seconds);
    if (seconds_error != std::errc{} || seconds_end != end) return false;
    std::string_view fraction = time.substr(dot + 1);
    if (fraction.find_first_not_of("0123456789") != std::string_view::npos) return false;
    std::uint64_t fraction_ns = 0;
    for (std::size_t digit = 0; digit < fraction_digits; ++digit)
        fraction_ns = fraction_ns * 10 +
                      (digit < fraction.size() ? static_cast<unsigned>(fraction[digit] - '0') : 0U);
    if (seconds > (UINT64_MAX - fraction_ns) / ns_per_s) return false;
    ns = seconds * ns_per_s + fraction_ns;
    return true;
}
