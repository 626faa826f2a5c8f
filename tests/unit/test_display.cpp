// SPDX-License-Identifier: GPL-2.0-or-later
// Frames on a fresh simulated chain per test, written as the string of
// outputs that the chain shows, stage 1 first.
#include "display.h"
#include "parse.h"
#include "port.h"
#include "sim_chain.h"
#include "sim_port.h"

#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace
{

class Display : public ::testing::Test, protected sim_port
{
  protected:
    void SetUp() override { open_port(); }
    void TearDown() override { close_port(); }
    bool online() const { return (chain->reg & 0x80) != 0; }
};

} // namespace

TEST(ScaleRate, RoundsUpFromTheHalfAndClampsToTheHalfChain)
{
    const struct {
        float rate;
        int full_scale;
        int half_leds;
        int leds;
    } cases[] = {
        {8.0f, 8, 8, 8}, // 9 clamped
        {7.0f, 8, 8, 8},  {1.0f, 8, 8, 2},
        {0.3f, 8, 8, 1},  {0.0f, 8, 8, 0},
        {2.0f, 8, 8, 3},  {0.01f, 1000, 8, 1},
        {5.0f, 8, 0, 0},  {-3.0f, 8, 8, 0}, // a negative rate never lights or lengthens anything
        {-0.2f, 8, 8, 0}, {3e9f, 1, 1 << 29, 1 << 29}, // far beyond int when scaled
        {1e6f, 1, 8, 8},  {1.0f, 0, 8, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(scale_rate(c.rate, c.full_scale, c.half_leds), c.leds)
            << c.rate << " of " << c.full_scale << " on " << c.half_leds;
}

TEST_F(Display, DotAndBarFramesLightTheRightStages)
{
    // in 3 and out 5 of 8 per direction; full scale 8, so rate = LEDs - 1.
    const struct {
        int mode;
        float in;
        float out;
        const char* chain;
    } cases[] = {
        {1, 2.0f, 4.0f, "0010000000010000"},     {2, 2.0f, 4.0f, "1110000000011111"},
        {1, 0.0f, 0.0f, "0000000000000000"},     {2, 0.0f, 0.0f, "0000000000000000"},
        {2, 100.0f, 100.0f, "1111111111111111"}, {1, 100.0f, 0.1f, "0000000100000001"},
    };
    for (const auto& c : cases) {
        show_rates(port, c.in, c.out, 8, 8, 8, c.mode);
        EXPECT_EQ(outputs(16), c.chain) << "mode " << c.mode << " in " << c.in << " out " << c.out;
        EXPECT_TRUE(online());
    }
}

TEST_F(Display, AFrameCostsThreeReadsAndWritesPerBitAndTwoPerLatch)
{
    show_rates(port, 2.0f, 4.0f, 8, 8, 8, 2);
    EXPECT_EQ(chain->reads, 16u * 3 + 2);
    EXPECT_EQ(chain->writes, 16u * 3 + 2);
    EXPECT_EQ(chain->frames, 1u);
    show_blank(port, 8);
    EXPECT_EQ(chain->writes, 2 * (16u * 3 + 2));
    EXPECT_EQ(chain->frames, 2u);
}

TEST_F(Display, AFrameAtTheLedBoundStaysUnderFiftyThousandAccesses)
{
    // At about 1 us per access on a real port: a frame, and so a stop, under 50 ms.
    show_rates(port, 1.0f, 1.0f, 1, 1, max_leds / 2, 2);
    show_blank(port, max_leds / 2);
    EXPECT_EQ(chain->frames, 2u);
    EXPECT_LE((chain->reads + chain->writes) / 2, 50000u);
}

TEST_F(Display, BlankFrameDarkensTheChainAndLowersTheOnlineLine)
{
    show_rates(port, 100.0f, 100.0f, 8, 8, 8, 2);
    show_blank(port, 8);
    EXPECT_EQ(outputs(16), "0000000000000000");
    EXPECT_FALSE(online());
    EXPECT_EQ(chain->reg & 0x07, 0);
}

TEST_F(Display, BitsThreeToSixKeepTheirValueThroughEveryFrame)
{
    sim_reset(chain, 0x5A); // 0101 1010: bits 3, 4 and 6 set
    show_rates(port, 2.0f, 4.0f, 8, 8, 8, 1);
    EXPECT_EQ(chain->reg & 0x78, 0x58);
    EXPECT_EQ(chain->reg, 0xD8) << "online high, data, clock and latch low";
    show_blank(port, 8);
    EXPECT_EQ(chain->reg, 0x58);
}

TEST_F(Display, ZeroLedsMakeEveryFrameItsLatchPulseAlone)
{
    show_rates(port, 5.0f, 5.0f, 8, 8, 0, 2);
    EXPECT_EQ(chain->writes, 2u);
    EXPECT_TRUE(online());
    show_blank(port, 0);
    EXPECT_EQ(chain->writes, 4u);
    EXPECT_FALSE(online());
    show_blank(port, -3);
    EXPECT_EQ(chain->writes, 6u) << "a negative count clocks nothing";
}

TEST_F(Display, AnUnknownModeWritesNothingAtAll)
{
    show_blank(port, 8);
    const auto writes = chain->writes;
    show_rates(port, 5.0f, 5.0f, 8, 8, 8, 3);
    EXPECT_EQ(chain->writes, writes);
    EXPECT_EQ(chain->reads, writes);
    EXPECT_FALSE(online()) << "the online line stays low after a blank frame";
}

TEST_F(Display, ALongerChainShowsBothBarsFromItsEnds)
{
    show_rates(port, 2.0f, 1.0f, 32, 32, 32, 2); // in 3 of 32, out 2 of 32
    std::string expected(64, '0');
    expected.replace(0, 3, "111");
    expected.replace(62, 2, "11");
    EXPECT_EQ(outputs(64), expected);
}
