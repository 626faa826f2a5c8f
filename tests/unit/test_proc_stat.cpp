// SPDX-License-Identifier: GPL-2.0-or-later
#include "proc_stat.h"

#include <gtest/gtest.h>

TEST(ProcStat, ReadsTheFieldsAfterTheLastParenthesisWhateverTheCommandName)
{
    const struct {
        const char* line;
        const char* comm; // nullptr: not a stat line
        char state;
        long long ppid, utime, stime;
    } cases[] = {
        {"4242 (quenlyte5-sim) S 1 4242 4242 0 -1 4194624 97 0 0 0 3 5 0 0 20 0 1 0 88",
         "quenlyte5-sim", 'S', 1, 3, 5},
        // a name with blanks and parentheses of its own, and a line end
        {"7 (a) b (c)) R 12 7 7 0 -1 0 0 0 0 0 120 30 0 0 20 0 1 0 9\n", "a) b (c)", 'R', 12, 120,
         30},
        {"99 () Z 3 0 0 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 9", "", 'Z', 3, 0, 0},
        {"7 (short) S 1 7 7 0 -1 0 0 0 0 0 120", nullptr, 0, 0, 0, 0},  // no stime
        {"7 (bad) S 1 7 7 0 -1 0 0 0 0 0 1x 2 0", nullptr, 0, 0, 0, 0}, // utime not a number
        {"7 (bad) S x 7 7 0 -1 0 0 0 0 0 1 2 0", nullptr, 0, 0, 0, 0},  // nor the parent
        {"7 (bad) SS 1 7 7 0 -1 0 0 0 0 0 1 2 0", nullptr, 0, 0, 0, 0}, // a state of two letters
        {"7 x) (y S 1 7 7 0 -1 0 0 0 0 0 1 2 0", nullptr, 0, 0, 0, 0},  // ')' before '('
        {"no command name", nullptr, 0, 0, 0, 0},
        {"", nullptr, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        const auto fields = parse_proc_stat(c.line);
        if (c.comm == nullptr) {
            EXPECT_FALSE(fields) << c.line;
            continue;
        }
        ASSERT_TRUE(fields) << c.line;
        EXPECT_EQ(fields->comm, c.comm) << c.line;
        EXPECT_EQ(fields->state, c.state) << c.line;
        EXPECT_EQ(fields->ppid, c.ppid) << c.line;
        EXPECT_EQ(fields->utime_ticks, c.utime) << c.line;
        EXPECT_EQ(fields->stime_ticks, c.stime) << c.line;
    }
}
