// SPDX-License-Identifier: GPL-2.0-or-later
// The pictures of `quenlyte-sim view`: the --once line and the live frames.
#include "sim_view.h"

#include <gtest/gtest.h>

namespace
{

view_state state_of(const std::string& leds, std::uint8_t reg = 0x80)
{
    view_state s;
    s.leds = leds;
    s.port = 0x378;
    s.reg = reg;
    s.frames = 2;
    s.writes = 100;
    s.reads = 100;
    return s;
}

const view_style plain{};

view_style colour(bool unicode, int width = 80)
{
    view_style style;
    style.color = true;
    style.unicode = unicode;
    style.width = width;
    return style;
}

// Columns a line takes on a terminal: SGR sequences take none, a UTF-8
// character one.
int columns_of(const std::string& line)
{
    int columns = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\033') {
            while (i < line.size() && line[i] != 'm') ++i;
            continue;
        }
        if ((static_cast<unsigned char>(line[i]) & 0xC0) != 0x80) ++columns;
    }
    return columns;
}

// The LEDs of a plain frame read back, stage 1 first: '>' and '<' lit, '.'
// dark, from every row line (those starting "in  ", "out " or blank prefix).
std::string leds_drawn(const std::vector<std::string>& lines)
{
    std::string seen;
    for (const std::string& line : lines) {
        if (line.rfind("in  ", 0) != 0 && line.rfind("out ", 0) != 0 && line.rfind("    ", 0) != 0)
            continue;
        for (char c : line.substr(4))
            if (c == '>' || c == '<' || c == '.') seen += c;
    }
    return seen;
}

} // namespace

TEST(SimViewLine, IsTheOnceLineWithStageOneFirst)
{
    view_state s = state_of("1110000000011111", 0xa8);
    EXPECT_EQ(view_line(s),
              "leds=1110000000011111 online=1 reg=0xa8 frames=2 writes=100 reads=100\n");
    s.reg = 0x78;
    s.leds = "";
    s.frames = 18446744073709551615ULL;
    EXPECT_EQ(view_line(s),
              "leds= online=0 reg=0x78 frames=18446744073709551615 writes=100 reads=100\n");
}

TEST(SimViewFrame, PlainFrameShowsBothHalvesTheOnlineLineAndTheCounters)
{
    const auto lines = view_frame(state_of("11000011"), plain);
    const std::vector<std::string> expected{
        "[*] online    port 0x378  8 LEDs", "", "in  > > . .  |  . . < <  out",
        "    1     4     5     8",          "", "reg 0x80  frames 2  writes 100  reads 100",
    };
    EXPECT_EQ(lines, expected);
}

TEST(SimViewFrame, InboundIsTheLowerHalfAndAnOddLedGoesToTheOutboundHalf)
{
    const struct {
        std::string leds;
        std::string row;
    } cases[] = {
        {"11111", "in  > >  |  < < <  out"},
        {"10001", "in  > .  |  . . <  out"},
        {"1", "in    |  <  out"},
        {"11", "in  >  |  <  out"},
        {"", "in    |  out"},
    };
    for (const auto& c : cases) EXPECT_EQ(view_frame(state_of(c.leds), plain)[2], c.row) << c.leds;
}

TEST(SimViewFrame, OnlineIndicatorFollowsBitSevenAlone)
{
    EXPECT_EQ(view_frame(state_of("0000", 0x80), plain)[0].rfind("[*] online", 0), 0U);
    EXPECT_EQ(view_frame(state_of("0000", 0x7f), plain)[0].rfind("[ ] offline", 0), 0U);
}

TEST(SimViewFrame, HalvesDifferInEveryStyle)
{
    for (const view_style& style : {plain, colour(false), colour(true)}) {
        // One lit LED at the inner end of each half: same place, other half.
        const std::string in_lit = view_frame(state_of("0001"
                                                       "0000"),
                                              style)[2];
        const std::string out_lit = view_frame(state_of("0000"
                                                        "1000"),
                                               style)[2];
        EXPECT_NE(in_lit, out_lit);
        EXPECT_EQ(columns_of(in_lit), columns_of(out_lit));
    }
    const auto row = view_frame(state_of("10000001"), colour(true))[2];
    EXPECT_NE(row.find("\033[0;1;32m\u25cf"), std::string::npos) << "inbound lit in green";
    EXPECT_NE(row.find("\033[0;1;33m\u25cf"), std::string::npos) << "outbound lit in yellow";
    EXPECT_NE(row.find("\u2502"), std::string::npos) << "a separator between the halves";
}

TEST(SimViewFrame, WithoutColourEveryByteIsPlainAscii)
{
    view_style style = plain;
    style.unicode = true; // dots only come with colour
    for (const std::string& line : view_frame(state_of("1100110011"), style))
        for (char c : line) {
            EXPECT_NE(c, '\033') << line;
            EXPECT_LT(static_cast<unsigned char>(c), 0x80U) << line;
        }
}

TEST(SimViewFrame, ColourIsResetAtTheEndOfEveryLine)
{
    for (const std::string& line : view_frame(state_of("1111000011110000", 0x80), colour(true))) {
        const auto last_sgr = line.rfind("\033[");
        if (last_sgr != std::string::npos) {
            EXPECT_EQ(line.substr(last_sgr, 4), "\033[0m") << line;
        }
    }
}

TEST(SimViewFrame, NoLineReachesTheLastColumnAndEveryLedIsDrawnInOrder)
{
    for (const int width : {1, 20, 40, 80, 132, 300}) {
        for (const int leds : {0, 1, 7, 32, 33, 64, 150, 4096}) {
            std::string pattern;
            for (int i = 0; i < leds; ++i) pattern += (i % 3 == 0 || i == leds - 1) ? '1' : '0';
            view_style style = plain;
            style.width = width;
            const auto lines = view_frame(state_of(pattern), style);
            for (const auto& line : lines)
                EXPECT_LT(columns_of(line), std::max(width, 20))
                    << width << " " << leds << ": " << line;
            std::string expected;
            for (int i = 0; i < leds; ++i)
                expected += pattern[static_cast<std::size_t>(i)] == '0' ? '.'
                            : i < leds / 2                              ? '>'
                                                                        : '<';
            EXPECT_EQ(leds_drawn(lines), expected) << width << " " << leds;
            view_style coloured = colour(true, width);
            for (const auto& line : view_frame(state_of(pattern), coloured))
                EXPECT_LT(columns_of(line), std::max(width, 20)) << width << " " << leds;
        }
    }
}

TEST(SimViewFrame, StageNumbersStandUnderTheEndsOfEachHalf)
{
    view_style wide = plain;
    wide.width = 200;
    const auto lines = view_frame(state_of(std::string(32, '0')), wide);
    const std::string& row = lines[2];
    const std::string& numbers = lines[3];
    // Stage 1 under the first LED, 16 ending under the last inbound LED,
    // 17 under the first outbound LED, 32 ending under the last LED.
    EXPECT_EQ(numbers.find('1'), row.find('.'));
    EXPECT_EQ(numbers.find("16") + 1, row.rfind('|') - 3);
    EXPECT_EQ(numbers.find("17"), row.rfind('|') + 3);
    EXPECT_EQ(numbers.find("32") + 1, row.rfind('.'));
}

TEST(SimViewFrame, CountersShowFramesPerSecondOnceMeasuredAndTheLastLineTellsHowToQuit)
{
    view_state s = state_of("0000");
    view_style style = plain;
    EXPECT_EQ(view_frame(s, style).back(), "reg 0x80  frames 2  writes 100  reads 100");
    s.frames_per_s = 19.96;
    style.keys = true;
    const auto lines = view_frame(s, style);
    EXPECT_EQ(lines[lines.size() - 2], "reg 0x80  frames 2  writes 100  reads 100  20.0 frames/s");
    EXPECT_EQ(lines.back(), "q or Ctrl-C quits");
    style.note = "pid 42: ended";
    EXPECT_EQ(view_frame(s, style).back(), "pid 42: ended");
}

TEST(SimViewRedraw, OverwritesTheFrameBeforeInPlaceWithoutClearingTheScreen)
{
    const std::vector<std::string> three{"a", "b", "c"};
    EXPECT_EQ(redraw(three, 0), "\ra\033[K\r\nb\033[K\r\nc\033[K");
    EXPECT_EQ(redraw(three, 3), "\r\033[2Aa\033[K\r\nb\033[K\r\nc\033[K");
    EXPECT_EQ(redraw({"x"}, 1), "\rx\033[K");
    // Shorter than before: what is left below goes.
    EXPECT_EQ(redraw({"a", "b"}, 3), "\r\033[2Aa\033[K\r\nb\033[K\033[J");
    EXPECT_EQ(redraw(three, 3).find("\033[2J"), std::string::npos);
}
