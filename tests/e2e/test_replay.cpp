// SPDX-License-Identifier: GPL-2.0-or-later
// quenlyte-sim replay: a QEMU trace onto a fresh simulated port, the chain
// and the --log lines that the VM scenarios read afterwards; one trace is of
// quenlyte5 in a VM (tests/data).
#include "harness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

// In the test's own /dev (a tmpfs of its own).
const std::string trace_path = "/dev/qemu-trace.log";
const std::string vcd_path = "/dev/port.vcd";
constexpr int port = 4660; // 0x1234
constexpr int leds = 4;

// The lines QEMU writes for a daemon's frame on a chain of 4 LEDs: for each
// bit (last stage first) a read and a write with the data, the clock high
// and the clock low, then the latch high and low; at `seconds`.
std::string frame_lines(const std::string& bits, bool online, int seconds)
{
    std::string lines;
    int reg = online ? 0x80 : 0x00;
    const auto access = [&](int value) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "901@%d.000100:parallel_ioport_read read [SW] addr 0x00 val 0x%02x\n"
                      "901@%d.000200:parallel_ioport_write write [SW] addr 0x00 val 0x%02x\n",
                      seconds, reg, seconds, value);
        lines += text;
        reg = value;
    };
    for (auto bit = bits.rbegin(); bit != bits.rend(); ++bit) {
        const int data = *bit == '1' ? 1 : 0;
        access((reg & 0x80) | data);
        access((reg & 0x80) | data | 2);
        access((reg & 0x80) | data);
    }
    access(reg | 4);
    access(reg & ~4);
    return lines;
}

void write_file(const std::string& path, const std::string& text, std::ios::openmode mode = {})
{
    std::ofstream out(path, std::ios::binary | std::ios::out | mode);
    out << text;
}

class Replay : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (const auto why = e2e::isolate(); !why.empty()) GTEST_SKIP() << why;
        ASSERT_EQ(e2e::run(e2e::program("quenlyte-sim"), {"reset", std::to_string(port)}).status,
                  0);
    }
};

} // namespace

TEST_F(Replay, DrivesTheChainAndLogsEveryFrameAndMarkerGoingOnPastABadLine)
{
    write_file(
        trace_path,
        // SeaBIOS probing the port, as QEMU 7.2 traced it, and a message of QEMU's.
        "8249@1796739497.038783:parallel_ioport_read read [SW] addr 0x02 val 0xcc\n"
        "8249@1796739497.038859:parallel_ioport_write write [SW] addr 0x02 val 0xcc\n"
        "8249@1796739497.038863:parallel_ioport_write write [SW] addr 0x00 val 0xaa\n"
        "8249@1796739497.038864:parallel_ioport_read read [SW] addr 0x00 val 0xaa\n"
        "qemu-system-x86_64: terminating on signal 15\n" +
            frame_lines("1100", true, 10) +
            "901@11.000000:parallel_ioport_write write [SW] addr 0x01 val 0x41\n" + // line 34
            "901@11.000001:parallel_ioport_write write [SW] addr 0x00 val 0x1ff\n" +
            frame_lines("0000", false, 12));
    const auto r = e2e::run(e2e::program("quenlyte-sim"), {"replay", "--log", std::to_string(leds),
                                                           std::to_string(port), trace_path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quenlyte-sim: " + trace_path +
                         ":35: cannot read: val beyond a byte (0x00 to 0xff)\n");
    // The BIOS's data write ran into the first frame, which ends at its latch
    // pulse; the latch going low again counts for the next frame.
    EXPECT_EQ(r.out, "other t=1796739497.038783 offset=2 op=read value=0xcc\n"
                     "other t=1796739497.038859 offset=2 op=write value=0xcc\n"
                     "frame t=10.000200 leds=1100 online=1 reads=14 writes=14 other=2\n"
                     "other t=11.000000 offset=1 op=write value=0x41\n"
                     "frame t=12.000200 leds=0000 online=0 reads=14 writes=14 other=1\n");
    EXPECT_EQ(e2e::view(port, leds), "leds=0000 online=0 reg=0x00 frames=2 writes=29 reads=29\n");
}

TEST_F(Replay, ShowsQuenlyte5OnDebiansKernelAsQemuTracedIt)
{
    // The kernel's probe left the latch line high, so the daemon's first
    // frame has no rising edge of its own and merges into the second.
    ASSERT_EQ(e2e::run(e2e::program("quenlyte-sim"), {"reset", std::to_string(port), "4"}).status,
              0);
    const auto r = e2e::run(e2e::program("quenlyte-sim"),
                            {"replay", "--log", "8", std::to_string(port),
                             QUENLYTE_SOURCE_DIR "/tests/data/quenlyte5-in-qemu.trace"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "other t=1796740345.544360 offset=1 op=write value=0x41\n"
                     "frame t=1796740345.714972 leds=11100111 online=1 reads=51 writes=51 other=1\n"
                     "other t=1796740348.589107 offset=1 op=write value=0x42\n"
                     "frame t=1796740348.593651 leds=11100111 online=1 reads=26 writes=26 other=1\n"
                     "frame t=1796740348.612629 leds=00000000 online=0 reads=26 writes=26 other=0\n"
                     "other t=1796740349.636569 offset=1 op=write value=0x43\n");
    EXPECT_EQ(e2e::view(port, 8),
              "leds=00000000 online=0 reg=0x00 frames=3 writes=104 reads=104\n");
}

TEST_F(Replay, FollowsATraceFromBeforeItExistsUntilTerminated)
{
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    const pid_t replay = fork();
    if (replay == 0) {
        dup2(out[1], 1);
        const std::string bin = e2e::program("quenlyte-sim");
        execl(bin.c_str(), bin.c_str(), "replay", "--follow", "--log", "4", "--vcd",
              vcd_path.c_str(), "4660", trace_path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    const auto wait_for_frames = [](const std::string& frames) {
        for (int tries = 0; tries < 1000; ++tries) { // 10 s
            if (e2e::view(port, leds).find(" frames=" + frames + " ") != std::string::npos)
                return true;
            usleep(10000);
        }
        return false;
    };

    usleep(100000); // it waits for the file
    const std::string first = frame_lines("1010", true, 20);
    const std::string second = frame_lines("0111", true, 21);
    // Cut inside the line of the latch's rising edge, the third last.
    std::size_t cut = second.size() - 1;
    for (int line = 0; line < 2; ++line) cut = second.rfind('\n', cut - 1);
    cut -= 5;
    write_file(trace_path, first + second.substr(0, cut));
    EXPECT_TRUE(wait_for_frames("1"));
    EXPECT_EQ(e2e::leds(port, leds), "1010");
    write_file(trace_path, second.substr(cut), std::ios::app);
    EXPECT_TRUE(wait_for_frames("2"));
    EXPECT_EQ(e2e::leds(port, leds), "0111");

    kill(replay, SIGTERM);
    EXPECT_EQ(e2e::wait_exit(replay), 0);
    std::string log;
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
        log.append(buffer, static_cast<std::size_t>(n));
    close(out[0]);
    // The first frame has no latch falling edge before it.
    EXPECT_EQ(log, "frame t=20.000200 leds=1010 online=1 reads=13 writes=13 other=0\n"
                   "frame t=21.000200 leds=0111 online=1 reads=14 writes=14 other=0\n");
    // The capture, ended on SIGTERM: both latch pulses, then the closing
    // timestamp one nanosecond after the last change.
    std::ifstream capture(vcd_path);
    std::string line;
    std::vector<unsigned long long> stamps; // ns
    int latch_rises = 0;
    while (std::getline(capture, line)) {
        if (line == "1l") ++latch_rises;
        if (line.starts_with("#")) stamps.push_back(std::stoull(line.substr(1)));
    }
    EXPECT_EQ(latch_rises, 2);
    ASSERT_GE(stamps.size(), 2U);
    EXPECT_EQ(stamps.back(), stamps[stamps.size() - 2] + 1);
}

TEST_F(Replay, SaysWhenTheCaptureCannotBeWritten)
{
    write_file(trace_path, frame_lines("1", true, 1));
    const auto r = e2e::run(e2e::program("quenlyte-sim"), {"replay", "--vcd", "/dev/no/such.vcd",
                                                           std::to_string(port), trace_path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quenlyte-sim: /dev/no/such.vcd: No such file or directory\n");
}
