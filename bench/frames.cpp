// SPDX-License-Identifier: GPL-2.0-or-later
// quenlyte-bench-frames: online bar frames, for callgrind to count the
// instructions of. Either through the display code (show_rates) or through
// the reference loop with the same port accesses. Built twice: on the
// simulated port, and as quenlyte-bench-frames-bare on a bare register.
//
//   quenlyte-bench-frames display|reference LEDS FRAMES
//
// Prints what the port saw per frame, so that the caller can check that
// both kinds did the same work.
#include "bench_parse.h"
#include "bench_port.h"
#include "display.h"
#include "port.h"
#include "reference_frame.h"

#include <cstdio>
#include <cstring>

namespace
{
constexpr int port_base = 0x378;
constexpr unsigned long port_span = 3; // data, status and control register
constexpr int full_scale_kib = 1000;   // KiB/s for both directions
constexpr float inbound_kib = 300;     // KiB/s: a bar of three tenths
constexpr float outbound_kib = 700;    // KiB/s: a bar of seven tenths
constexpr int bar_mode = 2;

constexpr long long max_leds = 1 << 20;      // far beyond any chain
constexpr long long max_frames = 1000000000; // fits a long on 32-bit x86 too
} // namespace

int main(int argc, char* argv[])
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s display|reference LEDS FRAMES\n", argv[0]);
        return 2;
    }
    const bool display = std::strcmp(argv[1], "display") == 0;
    const long long leds = positive_number(argv[2]);
    const long long frames = positive_number(argv[3]);
    if ((!display && std::strcmp(argv[1], "reference") != 0) || leds < 2 || leds > max_leds ||
        frames <= 0 || frames > max_frames) {
        std::fprintf(stderr, "quenlyte-bench-frames: arguments: bad kind, LEDS or FRAMES\n");
        return 2;
    }
    const int half_leds = static_cast<int>(leds / 2);
    bench_port_reset(port_base);
    if (port_access(port_base, port_span, 1) != 0) {
        std::perror("quenlyte-bench-frames: port");
        return 1;
    }
    const auto port = static_cast<std::uint16_t>(port_base);
    if (display) {
        for (long long i = 0; i < frames; ++i)
            show_rates(port_base, inbound_kib, outbound_kib, full_scale_kib, full_scale_kib,
                       half_leds, bar_mode);
    } else {
        const int in_leds = scale_rate(inbound_kib, full_scale_kib, half_leds);
        const int out_leds = scale_rate(outbound_kib, full_scale_kib, half_leds);
        for (long long i = 0; i < frames; ++i)
            reference_bar_frame(port, in_leds, out_leds, half_leds);
    }

    std::printf("%s\n",
                bench_port_summary(port_base, 2 * half_leds, static_cast<long>(frames)).c_str());
    port_access(port_base, port_span, 0);
    bench_port_reset(port_base);
    return 0;
}
