// SPDX-License-Identifier: GPL-2.0-or-later
// quenlyte-sim's command line is a contract: other tools parse its output.
#include "harness.h"

#include <gtest/gtest.h>

namespace
{
class SimTool : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (const auto why = e2e::isolate(); !why.empty()) GTEST_SKIP() << why;
    }
    static e2e::run_result sim(const std::vector<std::string>& args)
    {
        return e2e::run(e2e::program("quenlyte-sim"), args);
    }
};
} // namespace

TEST_F(SimTool, ViewOfAMissingPortFailsWithAMessage)
{
    const auto r = sim({"view", "--once", "0", "8"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("quenlyte-sim: port 0x378: no simulated port"), std::string::npos)
        << r.err;
}

TEST_F(SimTool, ResetCreatesADarkPortWithTheGivenRegister)
{
    const struct {
        std::vector<std::string> reset;
        std::string port;
        std::string line;
    } cases[] = {
        {{"reset", "0"}, "888", "leds=0000 online=0 reg=0x00 frames=0 writes=0 reads=0\n"},
        {{"reset", "1", "0x78"}, "632", "leds=0000 online=0 reg=0x78 frames=0 writes=0 reads=0\n"},
        {{"reset", "956", "200"}, "2", "leds=0000 online=1 reg=0xc8 frames=0 writes=0 reads=0\n"},
        {{"reset", "4096"}, "4096", "leds=0000 online=0 reg=0x00 frames=0 writes=0 reads=0\n"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(sim(c.reset).status, 0);
        const auto r = sim({"view", "--once", c.port, "4"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, c.line);
    }
}

TEST_F(SimTool, HelpAndVersionGoToStandardOutputAndEndWithStatusZero)
{
    const auto help = sim({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: quenlyte-sim reset", 0), 0u) << help.out;
    EXPECT_EQ(help.err, "");
    const auto version = sim({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "quenlyte-sim " QUENLYTE_VERSION "\n");
    EXPECT_EQ(version.err, "");
}

TEST_F(SimTool, RejectsMalformedArguments)
{
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"reset"},
                                               {"reset", "x"},
                                               {"reset", "65536"},
                                               {"reset", "0", "256"},
                                               {"reset", "0", "0xZZ"},
                                               {"view", "--once", "0"},
                                               {"view", "--once", "0", "5000"},
                                               {"view", "0", "-1"},
                                               {"replay", "0"},
                                               {"replay", "--log", "0", "t"},
                                               {"replay", "--log", "4097", "0", "t"},
                                               {"replay", "--fast", "0", "t"},
                                               {"replay", "65536", "t"},
                                               {"frobnicate"},
                                               {}}) {
        const auto r = sim(args);
        EXPECT_NE(r.status, 0) << (args.empty() ? "" : args[0]);
        EXPECT_FALSE(r.err.empty());
    }
}
