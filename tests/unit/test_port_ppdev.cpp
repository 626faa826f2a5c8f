// SPDX-License-Identifier: GPL-2.0-or-later
// The ppdev port in-process, without any grant: nothing here may open a
// device, so only what fails before the lookup or needs no port is tested.
#include "port.h"

#include <cerrno>
#include <climits>
#include <gtest/gtest.h>
#include <string>

TEST(PpdevPort, UsedBeforeItsGrantReadsAllOnesWritesNothingAndReleasesNothing)
{
    EXPECT_EQ(in_byte(0x378), 0xFF);
    out_byte(0x378, 0x81);
    EXPECT_EQ(port_access(0x378, 3, 0), 0);
}

TEST(PpdevPort, RefusesAnyRangeBeyondTheIoSpaceWithItsAddressNamed)
{
    const struct {
        unsigned long from;
        unsigned long count;
        const char* message;
    } cases[] = {
        {65534, 3, "ppdev: 0xfffe: Invalid argument (I/O addresses end at 0xffff)"},
        {66424, 3, "ppdev: 0x10378: Invalid argument (I/O addresses end at 0xffff)"},
        {ULONG_MAX, 3, "ppdev: 0xffffffffffffffff: Invalid argument (I/O addresses end at 0xffff)"},
    };
    for (const auto& c : cases) {
        for (const int turn_on : {1, 0}) {
            errno = 0;
            EXPECT_EQ(port_access(c.from, c.count, turn_on), -1);
            EXPECT_EQ(errno, EINVAL);
            EXPECT_EQ(std::string(port_error()), c.message);
        }
    }
}
