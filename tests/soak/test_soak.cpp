// SPDX-License-Identifier: GPL-2.0-or-later
// A long run of quenlyte5-sim without pauses against a test service that
// switches the link's state and rates: 100,000 cycles. Nothing may grow -
// resident memory, its peak, open descriptors, heap allocations after
// start-up - and every frame must be well formed, which the simulated
// port's counters show: each bit costs 3 reads and 3 writes, each latch 2.
#include "harness.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{

constexpr long total_cycles = 100000;
constexpr long warm_up_cycles = 1000; // the first sample; an offline cycle lies before it
constexpr int leds = 16;
constexpr long accesses_per_frame = 3 * leds + 2; // register writes (and reads) of one frame

const std::string status_line = "status pppoe\r\n";
const std::string rate_line = "rate pppoe\r\n";

bool offline_at(long cycle)
{
    return cycle == 500 || cycle % 20000 == 10000;
}

struct sample {
    long rss_kb = -1;  // VmRSS
    long peak_kb = -1; // VmHWM
    long fds = -1;     // entries in /proc/PID/fd
    unsigned long long allocations = 0;
};

long status_field(pid_t pid, const std::string& name)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long value = -1;
    while (status >> key) {
        if (key == name + ":") {
            status >> value;
            return value;
        }
        status.ignore(4096, '\n');
    }
    return -1;
}

long descriptors(pid_t pid)
{
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr) return -1;
    long count = 0;
    while (const dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    closedir(dir);
    return count;
}

sample take(pid_t pid, const std::string& counter_file)
{
    sample s;
    s.rss_kb = status_field(pid, "VmRSS");
    s.peak_kb = status_field(pid, "VmHWM");
    s.fds = descriptors(pid);
    std::ifstream counter(counter_file, std::ios::binary);
    counter.read(reinterpret_cast<char*>(&s.allocations), sizeof s.allocations);
    return s;
}

unsigned long long counter_of(const std::string& line, const std::string& name)
{
    const auto at = line.find(" " + name + "=");
    return at == std::string::npos ? 0 : std::stoull(line.substr(at + name.size() + 2));
}

} // namespace

TEST(Soak, HundredThousandCyclesGrowNothingAndEveryFrameIsWellFormed)
{
    if (const auto why = e2e::isolate(); !why.empty()) GTEST_SKIP() << why;
    const int listener = e2e::listen_service();
    ASSERT_GE(listener, 0);

    // The allocation counter, shared with the daemon through the shim.
    char counter_file[] = "/tmp/quenlyte-soak-XXXXXX";
    const int counter_fd = mkstemp(counter_file);
    ASSERT_GE(counter_fd, 0);
    ASSERT_EQ(ftruncate(counter_fd, 8), 0);
    close(counter_fd);
    setenv("LD_PRELOAD", MALLOC_COUNT_PATH, 1);
    setenv("QUENLYTE_MALLOC_COUNT_FILE", counter_file, 1);
    const auto s = e2e::start(e2e::program("quenlyte5-sim"), {"8", "8", "0", "16", "2", "1000000"});
    unsetenv("LD_PRELOAD");
    unsetenv("QUENLYTE_MALLOC_COUNT_FILE");
    ASSERT_EQ(s.starter_status, 0);
    ASSERT_GT(s.daemon, 0);
    const pid_t daemon = s.daemon;
    const int client = e2e::accept_client(listener);
    ASSERT_GE(client, 0);

    const auto began = std::chrono::steady_clock::now();
    long online = 0;
    long offline = 0;
    sample warm;
    for (long cycle = 0; cycle < total_cycles; ++cycle) {
        if (cycle == warm_up_cycles) warm = take(daemon, counter_file);
        ASSERT_EQ(e2e::read_exact(client, status_line.size()), status_line) << "cycle " << cycle;
        if (offline_at(cycle)) {
            e2e::send_bytes(client, "OK Offline\r\n");
            ++offline;
            continue;
        }
        e2e::send_bytes(client, "OK Online\r\n");
        ASSERT_EQ(e2e::read_exact(client, rate_line.size()), rate_line) << "cycle " << cycle;
        // Rates that sweep the whole scale and beyond, in both directions.
        const long in = cycle * 7919 % 12000;
        const long out = cycle * 104729 % 12000;
        e2e::send_bytes(client, "OK " + std::to_string(in) + " " + std::to_string(out) + "\r\n");
        ++online;
    }
    // The next status stays unanswered: the daemon waits in its read.
    ASSERT_EQ(e2e::read_exact(client, status_line.size()), status_line);
    ASSERT_TRUE(e2e::wait_blocked_in(daemon, {SYS_read}));
    const sample end = take(daemon, counter_file);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();

    kill(daemon, SIGTERM);
    EXPECT_EQ(e2e::wait_exit(daemon), 0);
    const std::string view = e2e::view(0, leds);
    unlink(counter_file);
    close(client);
    close(listener);

    std::printf("soak: %ld online and %ld offline cycles in %.1f s\n"
                "soak: after %ld cycles: VmRSS %ld kB, VmHWM %ld kB, %ld descriptors, %llu "
                "allocations since start\n"
                "soak: at the end:      VmRSS %ld kB, VmHWM %ld kB, %ld descriptors, %llu "
                "allocations since start\n"
                "soak: %s",
                online, offline, seconds, warm_up_cycles, warm.rss_kb, warm.peak_kb, warm.fds,
                warm.allocations, end.rss_kb, end.peak_kb, end.fds, end.allocations, view.c_str());

    ASSERT_GT(warm.rss_kb, 0);
    EXPECT_EQ(end.fds, warm.fds) << "descriptors grew";
    EXPECT_EQ(end.allocations, warm.allocations) << "heap allocations after start-up";
    // Resident memory may settle by a page or so; anything that grows per
    // cycle would show as megabytes here.
    constexpr long slack_kb = 16;
    EXPECT_LE(end.rss_kb, warm.rss_kb + slack_kb) << "resident memory grew";
    EXPECT_LE(end.peak_kb, warm.peak_kb + slack_kb) << "peak resident memory grew";

    // Every cycle showed one frame; the interrupted read one more (offline),
    // and the end the blank frame.
    const unsigned long long frames = static_cast<unsigned long long>(online + offline + 2);
    EXPECT_EQ(counter_of(view, "frames"), frames) << view;
    EXPECT_EQ(counter_of(view, "writes"), frames * accesses_per_frame) << view;
    EXPECT_EQ(counter_of(view, "reads"), frames * accesses_per_frame) << view;
    EXPECT_EQ(view.substr(0, 35), "leds=0000000000000000 online=0 reg=") << view;
}
