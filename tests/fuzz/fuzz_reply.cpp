// SPDX-License-Identifier: GPL-2.0-or-later
// libFuzzer target for the reply framing and the value parsing.
//
// The input is the byte stream the service sends, cut into the pieces the
// reads get: the byte 0x1E ends a piece, and an empty piece is a read that
// got nothing in time. The end of the input is the end of the stream. Every
// reply framed from it goes through parse_rates too; the checks:
// - the value lies in the reply buffer and is terminated within it;
// - a reply that arrives whole in one piece has parse_reply's value;
// - once a later read of a reply got nothing, no further later read is made
//   for that reply (the wait stays bounded);
// - parse_rates agrees with strtol-based conversion and reads nothing past
//   the value's terminator (AddressSanitizer sees to that).
#include "link_client.h"
#include "parse.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

volatile sig_atomic_t got_signal = 0;

namespace
{

constexpr char piece_end = '\x1e';
constexpr std::size_t small_size = 64;  // bytes: reaches the overlong paths with short inputs
constexpr std::size_t real_size = 8192; // bytes: the daemon's reply buffer

struct stream {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at; // next unread byte
    bool gave_up;   // a later read of this reply got nothing
};

long next_piece(void* context, char* into, std::size_t room, bool first)
{
    auto& s = *static_cast<stream*>(context);
    if (first)
        s.gave_up = false;
    else if (s.gave_up)
        std::abort(); // it waited again after a wait ran out
    if (s.at >= s.size) {
        s.gave_up = !first;
        return 0;
    }
    const auto* begin = s.data + s.at;
    const auto* end =
        static_cast<const std::uint8_t*>(std::memchr(begin, piece_end, s.size - s.at));
    const std::size_t left = end != nullptr ? static_cast<std::size_t>(end - begin) : s.size - s.at;
    if (left == 0) {
        ++s.at; // an empty piece: nothing in time
        s.gave_up = !first;
        return -1;
    }
    const std::size_t count = std::min(left, room);
    std::memcpy(into, begin, count);
    s.at += count;
    if (count == left && end != nullptr) ++s.at; // the piece is used up
    return static_cast<long>(count);
}

// One "%d" by strtol: leading white space, a sign, digits; false outside int.
bool reference_int(const char*& text, int& value)
{
    char* end = nullptr;
    errno = 0;
    const long got = std::strtol(text, &end, 10);
    if (end == text || errno == ERANGE || got < INT_MIN || got > INT_MAX) return false;
    // strtol takes "0x" no further than "0" in base 10, like "%d".
    value = static_cast<int>(got);
    text = end;
    return true;
}

void check_value(const char* value, const char* buffer, std::size_t size)
{
    if (value == nullptr) return;
    if (value < buffer || value > buffer + size) std::abort();
    const auto room = static_cast<std::size_t>(buffer + size + 1 - value);
    if (std::memchr(value, '\0', room) == nullptr) std::abort();

    int in = -1;
    int out = -1;
    const bool read = parse_rates(value, in, out);
    const char* text = value;
    int want_in = 0;
    int want_out = 0;
    const bool want = reference_int(text, want_in) && reference_int(text, want_out);
    if (read != want || (read && (in != want_in || out != want_out))) std::abort();
}

void run(const std::uint8_t* data, std::size_t size, std::size_t buffer_size)
{
    std::vector<char> buffer(buffer_size + 1); // exact, so that overruns are seen
    stream s{data, size, 0, false};
    bool after_cr = false;
    bool first_reply = true;
    while (s.at < s.size) {
        const std::size_t start = s.at;
        const char* value = frame_reply(buffer.data(), buffer_size, next_piece, &s, after_cr);
        check_value(value, buffer.data(), buffer_size);

        // A first reply that came whole: the framing adds nothing.
        const auto* piece_stop =
            static_cast<const std::uint8_t*>(std::memchr(data + start, piece_end, size - start));
        const std::size_t piece = piece_stop != nullptr
                                      ? static_cast<std::size_t>(piece_stop - (data + start))
                                      : size - start;
        const char last = piece > 0 ? static_cast<char>(data[start + piece - 1]) : '\0';
        if (first_reply && piece > 0 && piece <= buffer_size && (last == '\n' || last == '\r')) {
            std::vector<char> copy(data + start, data + start + piece);
            copy.push_back('\0');
            const char* direct = parse_reply(copy.data(), piece);
            if ((direct == nullptr) != (value == nullptr)) std::abort();
            if (direct != nullptr && std::strcmp(direct, value) != 0) std::abort();
        }
        first_reply = false;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    run(data, size, small_size);
    run(data, size, real_size);
    return 0;
}
