// SPDX-License-Identifier: GPL-2.0-or-later
// The daemon as a user runs it, against a test service that answers byte by
// byte, observed on the simulated chain: the commands, the frames shown for
// the replies, the arguments and the start as a daemon. These do not depend
// on the port, so they run on quenlyte5-sim alone; the port path on each
// backend is in test_port.cpp.
#include "daemon_test.h"
#include "harness.h"

#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace
{

using e2e::dark16;
using e2e::rate_line;
using e2e::status_line;

// The outputs and the online line of a view line, without the counters.
std::string lights(int port_argument, int leds)
{
    const std::string line = e2e::view(port_argument, leds);
    return line.substr(0, line.find(" reg="));
}

using Daemon = e2e::daemon_test;

} // namespace

TEST_F(Daemon, AsksForStatusAndRateWithTheExactCommandBytes)
{
    ASSERT_NO_FATAL_FAILURE(begin({"8", "8", "0", "16", "2", "1000"}));
    online_cycle("OK 0 0\r\n");
    expect(status_line);
    EXPECT_EQ(stop(SIGTERM), 0);
}

TEST_F(Daemon, ShowsBarAndDotFramesFromTheReportedRates)
{
    const struct {
        const char* mode;
        const char* reply;
        const char* chain;
        const char* in_max = "8";
    } cases[] = {
        // in 2 KiB/s and out 4 KiB/s of 8 on 8 LEDs each way: 3 and 5 LEDs
        {"2", "OK 2048 4096\r\n", "1110000000011111"},
        {"1", "OK 2048 4096\r\n", "0010000000010000"},
        {"2", "OK 0 0\r\n", "0000000000000000"},
        {"2", "OK 999999 999999\r\n", "1111111111111111"},
        {"2", "1024 0\r\nOK\r\n", "1100000000000000"},       // value before a trailing OK
        {"2", "OK 2147483648 4096\r\n", "0000000000000000"}, // beyond int: both 0
        {"2", "OK -4096 -4096\r\n", "0000000000000000"},
        {"2", "OK lots\r\n", "0000000000000000"},
        // KiB are 1024 bytes: 2000 bytes/s is 1.95 KiB/s, 2 LEDs (3 at 2.0)
        {"2", "OK 2000 2000\r\n", "1100000000000011"},
        // x = 1.99999988, and x + 0.5 rounded to single precision is 2.5: 3
        {"2", "OK 16777215 0\r\n", "1110000000000000", "65536"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("mode ") + c.mode + " reply " + c.reply);
        ASSERT_NO_FATAL_FAILURE(begin({c.in_max, "8", "0", "16", c.mode, "1000"}));
        online_cycle(c.reply);
        expect(status_line);
        EXPECT_EQ(e2e::leds(0, 16), c.chain);
        EXPECT_NE(e2e::view(0, 16).find(" online=1 "), std::string::npos);
        EXPECT_EQ(stop(SIGTERM), 0);
    }
}

TEST_F(Daemon, CountsOnlyTheExactStatusOnlineAsOnline)
{
    for (const char* reply : {"OK Onlinex\r\n", "OK online\r\n", "Online\r\n", "OK \r\n"}) {
        SCOPED_TRACE(reply);
        ASSERT_NO_FATAL_FAILURE(begin({"8", "8", "0", "16", "2", "1000"}));
        expect(status_line);
        answer(reply);
        // Offline goes straight to the next status after its pause; a rate
        // command would come first if the reply had counted as online.
        expect(status_line);
        EXPECT_EQ(lights(0, 16), dark16);
        EXPECT_EQ(stop(SIGINT), 0);
    }
}

TEST_F(Daemon, DisplayModeThreeWritesNothing)
{
    ASSERT_NO_FATAL_FAILURE(begin({"8", "8", "0", "16", "3", "1000"}));
    online_cycle("OK 4096 4096\r\n");
    expect(status_line);
    EXPECT_EQ(e2e::view(0, 16),
              "leds=0000000000000000 online=0 reg=0x00 frames=0 writes=0 reads=0\n");
    EXPECT_EQ(stop(SIGTERM), 0);
}

TEST_F(Daemon, AnOddLedCountLeavesTheLastLedWithoutAStage)
{
    ASSERT_NO_FATAL_FAILURE(begin({"8", "8", "2", "9", "2", "1000"}));
    online_cycle("OK 999999 999999\r\n");
    expect(status_line);
    EXPECT_EQ(e2e::leds(2, 9), "111111110");
    EXPECT_EQ(stop(SIGTERM), 0);
}

TEST_F(Daemon, PointsStandardOutputAndErrorAtDevNull)
{
    ASSERT_NO_FATAL_FAILURE(begin({"8", "8", "0", "16", "2", "1000"}));
    expect(status_line);
    for (const char* fd : {"1", "2"}) {
        char target[256] = {};
        const std::string link = "/proc/" + std::to_string(daemon) + "/fd/" + fd;
        ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
        EXPECT_STREQ(target, "/dev/null") << "descriptor " << fd;
    }
    EXPECT_EQ(stop(SIGTERM), 0);
}

TEST_F(Daemon, LogsAFailedConnectionAndExitsWithOneWhileTheShellGetsZero)
{
    close(listener);
    listener = -1;
    const auto s = launch({"8", "8", "0", "16", "2", "10"});
    EXPECT_EQ(s.starter_status, 0);
    ASSERT_GT(s.daemon, 0);
    EXPECT_EQ(e2e::wait_exit(s.daemon), 1);
    const std::string line = e2e::syslog_line("Connection refused");
    EXPECT_NE(line.find("<11>"), std::string::npos) << line; // user facility, error level
    EXPECT_NE(line.find("quenlyte["), std::string::npos) << line;
    EXPECT_NE(line.find("127.0.0.1: Connection refused"), std::string::npos) << line;
}

TEST_F(Daemon, RejectsBadArgumentsBeforeDetachingAndAcceptsExtraOnes)
{
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{}, 1, "usage: " + daemon_program + " IN_MAX OUT_MAX PORT LEDS MODE RATE\n"},
        {{"8", "8", "0", "16", "2"}, 1, "usage: " + daemon_program},
        {{"0", "8", "0", "16", "2", "10"},
         1,
         daemon_program +
             ": argument 1 (full-scale inbound rate): must be a number above 0, not \"0\"\n"},
        {{"8", "-8", "0", "16", "2", "10"}, 1, "argument 2 (full-scale outbound rate)"},
        {{"8", "8", "0", "16", "2", "0"}, 1, "argument 6 (refresh rate)"},
        {{"8", "8", "0", "16", "2", "-1"}, 1, "argument 6 (refresh rate)"},
        {{"8"}, 1, "usage: "},
        {{"-8", "8", "0", "16", "2", "10"}, 1, "argument 1 (full-scale inbound rate)"},
        {{"x", "8", "0", "16", "2", "10"},
         1,
         "argument 1 (full-scale inbound rate): must be a number above 0, not \"x\""},
        {{"8", "0", "0", "16", "2", "10"}, 1, "argument 2 (full-scale outbound rate)"},
        {{"8", "8", "0", "16", "2", "-2147483649"}, 1, "argument 6 (refresh rate)"},
        {{"8", "8", "0", "16", "2", " "}, 1, "argument 6 (refresh rate)"},
    };
    for (const auto& c : cases) {
        const auto r = run_daemon(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.err.rfind(c.err, 0) == 0 || r.err.find(c.err) != std::string::npos, true)
            << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(e2e::accept_client(listener, 200), -1) << "a daemon started despite bad arguments";

    const auto help = run_daemon({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: " + daemon_program, 0), 0u);
    EXPECT_EQ(help.err, "");
    const auto version = run_daemon({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, daemon_program + " " QUENLYTE_VERSION "\n");
    EXPECT_EQ(version.err, "");
    // A seventh argument is ignored, and a huge rate saturates instead of
    // wrapping to a bad value: no inbound LED for 0 of it.
    ASSERT_NO_FATAL_FAILURE(begin({"99999999999", "8", "0", "16", "2", "1000", "extra"}));
    online_cycle("OK 0 4096\r\n");
    expect(status_line);
    EXPECT_EQ(lights(0, 16), "leds=0000000000011111 online=1");
    EXPECT_EQ(stop(SIGTERM), 0);
}
