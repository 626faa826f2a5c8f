// SPDX-License-Identifier: GPL-2.0-or-later
// The daemon's port path on each backend (Backends/Port...): the exact
// register accesses of a frame, the online line and the bits it must keep,
// the dark chain and the released port at the end, and the refusal of an
// address outside the I/O space. Everything that does not depend on the
// port runs on quenlyte5-sim alone (test_daemon.cpp, test_faults.cpp).
#include "daemon_test.h"
#include "harness.h"
#include "sim_chain.h"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>

namespace
{

// Every access the simulated port at `address` has seen, oldest first, as
// "r<read> w<written>"; at another address than the base with "+offset:".
std::string port_trace(int address)
{
    const sim_chain* chain = sim_watch(address);
    if (chain == nullptr) return "no simulated port";
    std::string all;
    const std::uint64_t first =
        chain->accesses > sim_trace_size ? chain->accesses - sim_trace_size : 0;
    for (std::uint64_t n = first; n < chain->accesses; ++n) {
        const sim_access& a = chain->trace[n % sim_trace_size];
        char entry[16];
        if (a.offset == 0)
            std::snprintf(entry, sizeof entry, "%c%02x ", a.is_write != 0 ? 'w' : 'r', a.value);
        else
            std::snprintf(entry, sizeof entry, "%c+%d:%02x ", a.is_write != 0 ? 'w' : 'r', a.offset,
                          a.value);
        all += entry;
    }
    sim_detach(chain);
    return all;
}

using Port = e2e::backend_test;
using RealPort = e2e::daemon_test;

} // namespace

TEST_P(Port, AFrameIsThreeReadsAndWritesPerBitAndTwoOfEachForTheLatchAllAtTheDataRegister)
{
    ASSERT_EQ(e2e::run(e2e::program("quenlyte-sim"), {"reset", "0"}).status, 0);
    // 8 of 8 KiB/s inbound on 4 LEDs: both inbound LEDs, none outbound.
    ASSERT_NO_FATAL_FAILURE(begin({"8", "8", "0", "4", "2", "1000"}));
    online_cycle("OK 8192 0\r\n");
    expect(e2e::status_line);
    EXPECT_EQ(port_trace(0x378), e2e::frame_1100);
    EXPECT_EQ(stop(SIGTERM), 0);
}

// Ends with the blank frame and status 0, which the daemon returns only once
// the port was released.
TEST_P(Port, KeepsBitsThreeToSixAndRaisesTheOnlineLineOnlyWhileOnlineAndEndsDark)
{
    ASSERT_EQ(e2e::run(e2e::program("quenlyte-sim"), {"reset", "1", "0x50"}).status, 0);
    ASSERT_NO_FATAL_FAILURE(begin({"8", "8", "1", "16", "2", "1000"}));
    online_cycle("OK 2048 4096\r\n");
    expect(e2e::status_line);
    EXPECT_EQ(e2e::view(1, 16),
              "leds=1110000000011111 online=1 reg=0xd0 frames=1 writes=50 reads=50\n");
    answer("OK Offline\r\n");
    // Offline: the blank frame, no rate asked, then a pause of a second.
    expect(e2e::status_line);
    EXPECT_EQ(e2e::view(1, 16),
              "leds=0000000000000000 online=0 reg=0x50 frames=2 writes=100 reads=100\n");
    EXPECT_EQ(stop(SIGTERM), 0);
    EXPECT_EQ(e2e::view(1, 16),
              "leds=0000000000000000 online=0 reg=0x50 frames=4 writes=200 reads=200\n")
        << "the read interrupted by the signal counts as offline, then the blank frame of the end";
}

TEST_P(Port, RefusesAPortOutsideTheIoSpaceInsteadOfWrapping)
{
    // 66424 is 0x378 + 65536: it must never reach 0x378.
    for (const char* port : {"65534", "66424", "-1"}) {
        SCOPED_TRACE(port);
        ASSERT_NO_FATAL_FAILURE(begin({"8", "8", port, "16", "2", "10"}));
        EXPECT_EQ(e2e::wait_exit(daemon), 1);
        daemon = -1;
        EXPECT_NE(e2e::syslog_line("Invalid argument"), "");
        hang_up();
    }
    EXPECT_EQ(e2e::view(0, 16).rfind("no simulated port", 0), 0U)
        << "a simulated port appeared at 0x378";
}

TEST_F(RealPort, ProgramFailsAtTheGrantForAnAddressOutsideTheIoSpaceWithoutTheEmulator)
{
    // Without CAP_SYS_RAWIO, so that no test can ever reach a real port: a
    // wrapped address would fail with "Operation not permitted" instead.
    const auto s =
        e2e::start(e2e::program("quenlyte5"), {"8", "8", "66424", "16", "2", "10"}, true);
    EXPECT_EQ(s.starter_status, 0);
    ASSERT_GT(s.daemon, 0);
    client = e2e::accept_client(listener);
    EXPECT_EQ(e2e::wait_exit(s.daemon), 1);
    EXPECT_NE(e2e::syslog_line("ioperm").find("ioperm: Invalid argument"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Backends, Port, ::testing::ValuesIn(e2e::backends), e2e::backend_name);
