// SPDX-License-Identifier: GPL-2.0-or-later
// quenlyte-bench-emulate: what quenlyte-sim run costs per port access, for
// bench/run. Built twice from this file: with the x86 in/out port (this
// program) and with the ppdev port (quenlyte-bench-emulate-ppdev). Either
// one, given `frames`, shows FRAMES online bar frames and ends; the x86 one
// without arguments times both under the emulator and prints the results.
//
//   quenlyte-bench-emulate [--runs N]
//   quenlyte-bench-emulate[-ppdev] frames LEDS FRAMES
#include "bench_parse.h"
#include "display.h"
#include "harness.h"
#include "port.h"
#include "sim_chain.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

constexpr int port_base = 0x378;
constexpr unsigned long port_span = 3; // data, status and control register
constexpr int leds = 16;
constexpr int accesses_per_frame = 3 * 2 * leds + 2 * 2; // a read and a write per step
constexpr long timed_frames = 1000;
constexpr double updates_per_s = 20;    // the display's usual rate
constexpr double full_scale_kib = 1000; // both directions
constexpr float inbound_kib = 300;      // a bar of three tenths
constexpr float outbound_kib = 700;     // a bar of seven tenths
constexpr int bar_mode = 2;

int show_frames(int half_leds, long frames)
{
    if (port_access(port_base, port_span, 1) != 0) {
        std::fprintf(stderr, "quenlyte-bench-emulate: %s\n", port_error());
        return 1;
    }
    for (long i = 0; i < frames; ++i)
        show_rates(port_base, inbound_kib, outbound_kib, full_scale_kib, full_scale_kib, half_leds,
                   bar_mode);
    port_access(port_base, port_span, 0);
    return 0;
}

// Seconds that `quenlyte-sim run -- PROGRAM frames LEDS FRAMES` takes, or a
// negative number when it fails or the port saw other than its accesses.
double timed_run(const std::string& frames_program, long frames)
{
    sim_remove(port_base);
    const std::string emulator = e2e::program("quenlyte-sim");
    const std::string leds_text = std::to_string(leds);
    const std::string frames_text = std::to_string(frames);
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        execl(emulator.c_str(), emulator.c_str(), "run", "--", frames_program.c_str(), "frames",
              leds_text.c_str(), frames_text.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    const sim_chain* chain = sim_watch(port_base);
    const bool counted =
        chain != nullptr &&
        chain->reads + chain->writes == static_cast<std::uint64_t>(frames * accesses_per_frame);
    sim_detach(chain);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && counted ? took.count() : -1;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// One table row and one line of samples per port build.
bool measure(const char* name, const std::string& frames_program, int runs, std::string& samples)
{
    std::vector<double> empty;
    std::vector<double> full;
    for (int i = 0; i < runs; ++i) {
        empty.push_back(timed_run(frames_program, 0));
        full.push_back(timed_run(frames_program, timed_frames));
    }
    if (*std::min_element(empty.begin(), empty.end()) < 0 ||
        *std::min_element(full.begin(), full.end()) < 0) {
        std::printf("| %s | failed | - | - | **no** |\n", name);
        return false;
    }
    const double frame_s = (median(full) - median(empty)) / timed_frames;
    const double access_us = frame_s / accesses_per_frame * 1e6;
    const double busy = frame_s * updates_per_s; // share of one core at 20 updates/s
    const bool keeps_up = busy < 1;
    std::printf("| %s: per port access | %.1f µs | %.2f ms per %d-LED frame; %.1f%% of a core at "
                "%.0f frames/s | keeps up with %.0f frames/s | %s |\n",
                name, access_us, frame_s * 1e3, leds, busy * 100, updates_per_s, updates_per_s,
                keeps_up ? "yes" : "**no**");
    char line[160];
    std::snprintf(line, sizeof line, "- %s, %ld frames and none, s: ", name, timed_frames);
    samples += line;
    for (int i = 0; i < runs; ++i) {
        std::snprintf(line, sizeof line, "%s%.3f/%.3f", i == 0 ? "" : ", ",
                      full[static_cast<std::size_t>(i)], empty[static_cast<std::size_t>(i)]);
        samples += line;
    }
    samples += "\n";
    return keeps_up;
}

} // namespace

int main(int argc, char* argv[])
{
    constexpr long long max_leds = 1 << 20;      // far beyond any chain
    constexpr long long max_frames = 1000000000; // fits a long on 32-bit x86 too
    constexpr long long max_runs = 1000;         // a bound on the run's length
    if (argc == 4 && std::strcmp(argv[1], "frames") == 0) {
        const long long count = positive_number(argv[2]);
        const long long frames = positive_number(argv[3]);
        if (count < 2 || count > max_leds || frames <= 0 || frames > max_frames) {
            std::fprintf(stderr, "quenlyte-bench-emulate: frames: bad LEDS or FRAMES\n");
            return 2;
        }
        return show_frames(static_cast<int>(count / 2), static_cast<long>(frames));
    }
    int runs = 5;
    const long long runs_given = argc == 3 ? positive_number(argv[2]) : -1;
    if (argc == 3 && std::strcmp(argv[1], "--runs") == 0 && runs_given > 0 &&
        runs_given <= max_runs) {
        runs = static_cast<int>(runs_given);
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: %s [--runs N] | frames LEDS FRAMES\n", argv[0]);
        return 2;
    }
    if (const auto why = e2e::isolate(); !why.empty()) {
        std::fprintf(stderr, "quenlyte-bench-emulate: %s\n", why.c_str());
        return 1;
    }
    std::printf("\n### quenlyte-sim run\n\n");
    std::printf("| figure | measured | what it gives | target | met |\n|---|---|---|---|---|\n");
    std::string samples;
    const bool raw =
        measure("quenlyte5 (in/out)", e2e::program("quenlyte-bench-emulate"), runs, samples);
    const bool ppdev = measure("quenlyte5-ppdev (ioctl)",
                               e2e::program("quenlyte-bench-emulate-ppdev"), runs, samples);
    std::printf("\nSamples (with frames/without):\n\n%s", samples.c_str());
    return raw && ppdev ? 0 : 3;
}
