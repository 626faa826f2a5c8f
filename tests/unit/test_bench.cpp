// SPDX-License-Identifier: GPL-2.0-or-later
// The benchmark's own parts: the figures it reads from strace and callgrind,
// its median, and its reference loop, which must do exactly the port work of
// the display code or the comparison means nothing. This program links a
// recording port of its own in place of the simulated one.
#include "bench_parse.h"
#include "display.h"
#include "port.h"
#include "reference_frame.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{

std::uint8_t data_register = 0x78; // bits 3 to 6 set: every write must keep them
std::vector<std::uint8_t> written;
int reads = 0;

// The chain after the recorded writes, stage 1 first: each rising clock
// edge shifts the data line into stage 1.
std::string chain_of(const std::vector<std::uint8_t>& writes, int stages)
{
    std::string chain(static_cast<std::size_t>(stages), '0');
    std::uint8_t before = 0x78;
    for (const std::uint8_t value : writes) {
        if ((value & 0x02) != 0 && (before & 0x02) == 0)
            chain =
                std::string(1, (value & 0x01) != 0 ? '1' : '0') + chain.substr(0, chain.size() - 1);
        before = value;
    }
    return chain;
}

void start_recording()
{
    data_register = 0x78;
    written.clear();
    reads = 0;
}

} // namespace

int port_access(unsigned long from, unsigned long num, int)
{
    return port_range_valid(from, num) ? 0 : -1;
}

std::uint8_t in_byte(std::uint16_t)
{
    ++reads;
    return data_register;
}

void out_byte(std::uint16_t, std::uint8_t value)
{
    written.push_back(value);
    data_register = value;
}

TEST(BenchReferenceFrame, WritesExactlyWhatTheDisplayWritesForABarFrame)
{
    const struct {
        int leds;
        float in_kib;
        float out_kib;
    } cases[] = {{2, 0, 0},      {16, 300, 700},  {16, 1000, 1000}, {64, 5, 995},
                 {64, 300, 700}, {256, 300, 700}, {256, 0, 1000},   {15, 500, 500}};
    constexpr int full_scale = 1000;
    for (const auto& c : cases) {
        const int half = c.leds / 2;
        start_recording();
        show_rates(0x378, c.in_kib, c.out_kib, full_scale, full_scale, half, 2);
        const auto display_writes = written;
        const int display_reads = reads;

        start_recording();
        reference_bar_frame(0x378, scale_rate(c.in_kib, full_scale, half),
                            scale_rate(c.out_kib, full_scale, half), half);
        EXPECT_EQ(written, display_writes) << c.leds << " LEDs, " << c.in_kib << "/" << c.out_kib;
        EXPECT_EQ(reads, display_reads) << c.leds << " LEDs";
        for (const std::uint8_t value : written) EXPECT_EQ(value & 0x78, 0x78);
    }
}

TEST(BenchReferenceFrame, ShowsBothBarsWithTheOnlineLineHigh)
{
    start_recording();
    reference_bar_frame(0x378, 3, 6, 8);
    EXPECT_EQ(chain_of(written, 16), "1110000000111111");
    EXPECT_EQ(written.back() & 0x80, 0x80);
    EXPECT_EQ(written.size(), 16u * 3 + 2);
}

TEST(BenchMedian, TakesTheMiddleOrTheMeanOfTheMiddleTwo)
{
    EXPECT_EQ(median({}), 0);
    EXPECT_EQ(median({4}), 4);
    EXPECT_EQ(median({9, 1, 5}), 5);
    EXPECT_EQ(median({8, 1, 2, 4}), 3);
    EXPECT_EQ(median({0.25, 100, 0.5, 0.75, 0.5}), 0.5);
}

TEST(BenchPairRatios, TakesTheMedianOfThePerPairRatiosAndTheirSpread)
{
    const struct {
        const char* what;
        std::vector<double> numerators;
        std::vector<double> denominators;
        ratio_summary expected;
    } cases[] = {
        {"none", {}, {}, {0, 0, 0, 0}},
        {"one pair", {3}, {2}, {1.5, 1.5, 1.5, 1}},
        // Each pair on its own, not the ratio of the medians (4 / 3).
        {"odd count", {2, 9, 4}, {1, 3, 4}, {2, 1, 3, 3}},
        {"even count", {4, 1, 6, 2}, {2, 1, 2, 4}, {1.5, 0.5, 3, 4}},
        {"a zero denominator leaves its pair out", {5, 7, 3, 8}, {1, 0, 2, 4}, {2, 1.5, 5, 3}},
        {"no denominator above zero", {1, 2}, {0, -1}, {0, 0, 0, 0}},
        {"the pairs only one side has are left out", {2, 6, 9}, {2, 3}, {1.5, 1, 2, 2}},
    };
    for (const auto& c : cases) {
        const ratio_summary got = pair_ratios(c.numerators, c.denominators);
        EXPECT_DOUBLE_EQ(got.median, c.expected.median) << c.what;
        EXPECT_DOUBLE_EQ(got.least, c.expected.least) << c.what;
        EXPECT_DOUBLE_EQ(got.most, c.expected.most) << c.what;
        EXPECT_EQ(got.pairs, c.expected.pairs) << c.what;
    }
}

TEST(BenchPositiveNumber, TakesOnlyAWholeDecimalNumberAboveZero)
{
    const struct {
        const char* text;
        long long value;
    } cases[] = {{"7", 7},   {"1000", 1000}, {"0", -1}, {"-3", -1},   {"+3", -1},
                 {"7x", -1}, {" 7", -1},     {"", -1},  {"0x10", -1}, {"99999999999999999999", -1}};
    for (const auto& c : cases) EXPECT_EQ(positive_number(c.text), c.value) << c.text;
}

TEST(BenchStraceCounts, ReadsCallsByNameFromTheSummaryWithAndWithoutErrors)
{
    const char* summary = "% time     seconds  usecs/call     calls    errors syscall\n"
                          "------ ----------- ----------- --------- --------- ----------------\n"
                          " 41.20    0.004120           9       442           write\n"
                          " 30.00    0.003000           6       441         1 read\n"
                          "  0.00    0.000000           0         1         1 access\n"
                          " 20.00    0.002000           9       220           clock_nanosleep\n"
                          "------ ----------- ----------- --------- --------- ----------------\n"
                          "100.00    0.010000           9      1104         2 total\n";
    const std::map<std::string, long long> expected = {
        {"write", 442}, {"read", 441}, {"access", 1}, {"clock_nanosleep", 220}, {"total", 1104}};
    EXPECT_EQ(strace_counts(summary), expected);
}

TEST(BenchStraceCounts, SkipsEverythingThatIsNotARow)
{
    EXPECT_TRUE(strace_counts("").empty());
    EXPECT_TRUE(strace_counts("strace: Process 123 attached\n+++ exited with 0 +++\n").empty());
    EXPECT_TRUE(strace_counts("% time seconds usecs/call calls errors syscall\n").empty());
    EXPECT_TRUE(strace_counts(" 1.00 0.1 9 many write\n").empty());
}

TEST(BenchCallgrindCollected, FindsTheCountOrTellsThereIsNone)
{
    EXPECT_EQ(callgrind_collected("==12== Callgrind, a call-graph generating cache profiler\n"
                                  "==12== Events    : Ir\n==12== Collected : 2526867\n==12==\n"
                                  "==12== I   refs:      2,526,867\n"),
              2526867);
    EXPECT_EQ(callgrind_collected("==12== Collected : 17"), 17); // no line end
    EXPECT_EQ(callgrind_collected("==12== I   refs:      2,526,867\n"), -1);
    EXPECT_EQ(callgrind_collected("==12== Collected : lots\n"), -1);
}
