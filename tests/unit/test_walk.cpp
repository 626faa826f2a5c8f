// SPDX-License-Identifier: GPL-2.0-or-later
// The walking test as shipped (share/walk.script): each of its steps, read
// by quenlyte-linkd's script reader, shown by the daemon's display code on
// a simulated chain of 32 or 16 LEDs at the script's full scale, lights
// exactly the LEDs docs/bring-up.md names for it.
#include "display.h"
#include "parse.h"
#include "port.h"
#include "script.h"
#include "sim_chain.h"
#include "sim_port.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace
{

constexpr int full_scale_kib_per_s = 16; // both ways
constexpr int walk_steps = 32;           // a dot over 32 LEDs, then full scale, then nothing
constexpr double step_s = 0.5;
constexpr int steps = walk_steps + 2;

struct walk_case {
    int mode; // 1 dot, 2 bar
    int leds;
};

// LEDs lit of `leds`, stage 1 first: `first` to `last` (1-based), both included.
std::string lit(int leds, int first, int last)
{
    std::string shown(static_cast<std::size_t>(leds), '0');
    for (int stage = first; stage <= last; ++stage)
        shown[static_cast<std::size_t>(stage - 1)] = '1';
    return shown;
}

// What the guide says step `s` (1-based) shows: the dot on LED s of 32, or
// on LED s x leds / 32 rounded up of a shorter chain.
std::string expected(int s, walk_case c)
{
    const bool dot = c.mode == 1;
    const int n = c.leds;
    const int led = (s * n + walk_steps - 1) / walk_steps;
    if (s <= walk_steps / 2) return dot ? lit(n, led, led) : lit(n, 1, led);
    if (s <= walk_steps) return dot ? lit(n, led, led) : lit(n, led, n);
    if (s == walk_steps + 1) return dot ? lit(n, n / 2, n / 2 + 1) : lit(n, 1, n);
    return lit(n, 1, 0);
}

link_script shipped_script()
{
    std::ifstream file(QUENLYTE_SOURCE_DIR "/share/walk.script");
    std::stringstream text;
    text << file.rdbuf();
    link_script script;
    std::string error;
    EXPECT_TRUE(parse_script(text.str(), script, error)) << error;
    return script;
}

class Walk : public ::testing::TestWithParam<walk_case>, protected sim_port
{
  protected:
    void SetUp() override { open_port(); }
    void TearDown() override { close_port(); }
};

} // namespace

TEST_P(Walk, EachStepLightsTheLedsTheGuideNamesAndTheRoundRepeats)
{
    const walk_case c = GetParam();
    const link_script script = shipped_script();
    ASSERT_TRUE(script.loops);
    EXPECT_EQ(script.loop_at_s, steps * step_s);
    // Two rounds, each step looked at in its middle.
    for (int round = 0; round < 2; ++round) {
        for (int s = 1; s <= steps; ++s) {
            const double t_s = (round * steps + s - 0.5) * step_s;
            const link_reading reading = script_reading(script, t_s);
            ASSERT_TRUE(reading.online) << "step " << s;
            show_rates(port, kib_per_s(static_cast<int>(reading.in_bytes_per_s)),
                       kib_per_s(static_cast<int>(reading.out_bytes_per_s)), full_scale_kib_per_s,
                       full_scale_kib_per_s, c.leds / 2, c.mode);
            EXPECT_EQ(outputs(c.leds), expected(s, c))
                << "mode " << c.mode << ", " << c.leds << " LEDs, step " << s;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, Walk,
                         ::testing::Values(walk_case{1, 32}, walk_case{2, 32}, walk_case{1, 16},
                                           walk_case{2, 16}),
                         [](const ::testing::TestParamInfo<walk_case>& info) {
                             return std::string(info.param.mode == 1 ? "Dot" : "Bar") +
                                    std::to_string(info.param.leds) + "Leds";
                         });
