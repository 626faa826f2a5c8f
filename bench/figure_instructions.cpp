// SPDX-License-Identifier: GPL-2.0-or-later
// Instructions per online frame: callgrind's count for the display code and
// for the reference loop with the same port accesses, on the simulated port
// and on a bare register.
#include "bench.h"
#include "bench_parse.h"
#include "harness.h"

#include <cstdio>
#include <utility>

namespace
{

struct frames_count {
    long long instructions = -1;
    std::string chain; // the program's line: the chain and accesses per frame
};

frames_count callgrind_frames(const char* program, const char* kind, int leds, int frames)
{
    const auto r =
        e2e::run(on_path("valgrind"),
                 {"--tool=callgrind", "--callgrind-out-file=/dev/null", e2e::program(program), kind,
                  std::to_string(leds), std::to_string(frames)});
    frames_count c;
    c.instructions = callgrind_collected(r.err);
    c.chain = r.out.substr(0, r.out.find('\n'));
    if (r.status != 0 || c.instructions < 0) fail("callgrind run failed: " + r.err);
    return c;
}

} // namespace

// Instructions per frame of the display code and of the reference loop,
// from the difference of a short and a long run (start-up cancels out).
void measure_instructions()
{
    constexpr int few_frames = 20;
    constexpr int many_frames = 220;
    constexpr double target_ratio = 1.5;
    const std::pair<const char*, const char*> ports[] = {
        {"quenlyte-bench-frames", "simulated port"},
        {"quenlyte-bench-frames-bare", "bare register"}};
    for (const auto& [program, port] : ports) {
        for (const int leds : {16, 64, 256}) {
            std::fprintf(stderr, "quenlyte-bench: instructions per frame, %s, %d LEDs\n", port,
                         leds);
            double per_frame[2] = {};
            std::string chain[2];
            const char* const kinds[2] = {"display", "reference"};
            for (int k = 0; k < 2; ++k) {
                const auto few = callgrind_frames(program, kinds[k], leds, few_frames);
                const auto many = callgrind_frames(program, kinds[k], leds, many_frames);
                per_frame[k] = static_cast<double>(many.instructions - few.instructions) /
                               (many_frames - few_frames);
                chain[k] = many.chain;
            }
            if (chain[0] != chain[1])
                fail("the reference loop did other work: " + chain[0] + " / " + chain[1]);
            const double ratio = per_frame[0] / per_frame[1];
            const std::string name = "user-space instructions per online frame, " +
                                     std::to_string(leds) + " LEDs, " + port;
            figures.push_back({name, fixed(per_frame[0], 0) + " (" + fixed(ratio, 2) + "x)",
                               fixed(per_frame[1], 0), "within 1.5x the reference",
                               ratio <= target_ratio});
            notes.push_back(name + ", both kinds: " + chain[0]);
        }
    }
}
