// SPDX-License-Identifier: GPL-2.0-or-later
#include "parse.h"
#include "port_facts.h"

#include <climits>
#include <gtest/gtest.h>
#include <string>

TEST(ToInt, FollowsStrtolRulesAndSaturates)
{
    const struct {
        const char* text;
        int value;
    } cases[] = {
        {"8", 8},
        {"8k", 8},
        {"  42", 42},
        {"+7", 7},
        {"-3", -3},
        {"", 0},
        {"abc", 0},
        {"0x10", 0},
        {"2147483647", INT_MAX},
        {"2147483648", INT_MAX},
        {"99999999999999999999", INT_MAX},
        {"-99999999999", INT_MIN},
    };
    for (const auto& c : cases) EXPECT_EQ(to_int(c.text), c.value) << '"' << c.text << '"';
}

TEST(PortAddress, MapsTheThreeShorthandsAndKeepsAnyOtherValue)
{
    EXPECT_EQ(port_address(0), 0x378);
    EXPECT_EQ(port_address(1), 0x278);
    EXPECT_EQ(port_address(2), 0x3BC);
    EXPECT_EQ(port_address(888), 0x378);
    EXPECT_EQ(port_address(3), 3);
    EXPECT_EQ(port_address(-1), -1);
}

TEST(Settings, ConvertAllSixArguments)
{
    const char* args[] = {"100", "20", "1", "9", "2", "4"};
    settings s{};
    ASSERT_EQ(settings_from_args(args, s), 0);
    EXPECT_EQ(s.in_max, 100);
    EXPECT_EQ(s.out_max, 20);
    EXPECT_EQ(s.port_base, 0x278);
    EXPECT_EQ(s.half_leds, 4); // an odd count leaves one LED out
    EXPECT_EQ(s.display_mode, 2);
    EXPECT_EQ(s.cycle_delay_us, 250000);
}

TEST(Settings, NameTheFirstArgumentOutsideItsRange)
{
    const struct {
        const char* args[6];
        int bad;
    } cases[] = {
        {{"0", "1", "0", "16", "1", "1"}, 1},
        {{"-5", "1", "0", "16", "1", "1"}, 1},
        {{"x", "1", "0", "16", "1", "1"}, 1},
        {{"1", "0", "0", "16", "1", "1"}, 2},
        {{"1", "1", "0", "16", "1", "0"}, 6},
        {{"1", "1", "0", "16", "1", "-1"}, 6},
        {{"1", "1", "0", "16", "1", "fast"}, 6},
        {{"1k", "1", "0", "-16", "7", "1000000"}, 0},
        // The refresh rate ends where the pause would round down to 0 us.
        {{"1", "1", "0", "16", "1", "1000001"}, 6},
        {{"1", "1", "0", "16", "1", "2147483648"}, 6},
        // The LED count ends where a frame would outlast about 50 ms.
        {{"1", "1", "0", "8192", "1", "1"}, 0},
        {{"1", "1", "0", "8193", "1", "1"}, 4},
        {{"1", "1", "0", "99999999999", "1", "1"}, 4},
        // The first bad one is named, in the order of the arguments.
        {{"0", "1", "0", "8193", "1", "0"}, 1},
        {{"1", "1", "0", "8193", "1", "0"}, 4},
    };
    for (const auto& c : cases) {
        settings s{};
        EXPECT_EQ(settings_from_args(c.args, s), c.bad)
            << c.args[0] << ' ' << c.args[1] << ' ' << c.args[3] << ' ' << c.args[5];
        if (c.bad != 0) {
            EXPECT_STRNE(argument_rule(c.bad), "") << c.bad;
        }
    }
}

TEST(Settings, TheHighestRefreshRatePausesOneMicrosecond)
{
    const char* args[] = {"1", "1", "0", "16", "1", "1000000"};
    settings s{};
    ASSERT_EQ(settings_from_args(args, s), 0);
    EXPECT_EQ(s.cycle_delay_us, 1);
}

TEST(ArgumentRule, StatesTheBoundsThatTheCheckUses)
{
    EXPECT_STREQ(argument_rule(1), "a number above 0");
    EXPECT_STREQ(argument_rule(2), "a number above 0");
    EXPECT_EQ(argument_rule(4), "a number up to " + std::to_string(max_leds));
    EXPECT_EQ(argument_rule(6), "a number from 1 to " + std::to_string(max_updates_per_second));
    for (const int unchecked : {3, 5}) EXPECT_STREQ(argument_rule(unchecked), "") << unchecked;
}

TEST(KibPerS, DividesBy1024AndRoundsToTheNearestFloat)
{
    const struct {
        int bytes_per_s;
        float kib_per_s;
    } cases[] = {
        {0, 0.0f},
        {1023, 0.9990234375f},
        {1024, 1.0f},
        {2048, 2.0f},
        {-2048, -2.0f},
        {INT_MIN, -2097152.0f},
        {INT_MAX, 2097152.0f},       // 2097151.999..., beyond a float's 24 bits
        {33554435, 32768.00390625f}, // 32768.0029296875 lies nearer the float above
        {33554433, 32768.0f},        // 32768.0009765625 nearer the one below
    };
    for (const auto& c : cases) EXPECT_EQ(kib_per_s(c.bytes_per_s), c.kib_per_s) << c.bytes_per_s;
}

TEST(ParseRates, AcceptsWhatTwoDecimalConversionsAccept)
{
    const struct {
        const char* text;
        bool ok;
        int in;
        int out;
    } cases[] = {
        {"1024 2048", true, 1024, 2048},
        {"  12\t\r\n -34 trailing", true, 12, -34},
        {"+5 +6", true, 5, 6},
        {"7  8\r\n", true, 7, 8},
        {"2147483647 -2147483648", true, INT_MAX, INT_MIN},
        {"9x 10", false, 0, 0},        // junk between the numbers
        {"2147483648 1", false, 0, 0}, // beyond int
        {"1 -2147483649", false, 0, 0},
        {"1 99999999999999999999999", false, 0, 0},
        {"5", false, 0, 0},
        {"", false, 0, 0},
        {"- 5 6", false, 0, 0},
        {"Online", false, 0, 0},
    };
    for (const auto& c : cases) {
        int in = 0;
        int out = 0;
        EXPECT_EQ(parse_rates(c.text, in, out), c.ok) << '"' << c.text << '"';
        if (c.ok) {
            EXPECT_EQ(in, c.in) << c.text;
            EXPECT_EQ(out, c.out) << c.text;
        }
    }
}
