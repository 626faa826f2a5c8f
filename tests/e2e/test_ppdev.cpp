// SPDX-License-Identifier: GPL-2.0-or-later
// quenlyte5-ppdev as a user runs it, on a fake parallel port: a tmpfs over
// /proc/sys/dev in the test's mount namespace lists the ports, plain files in
// its private /dev stand for /dev/parportN, and ppdev_shim (preloaded) answers
// their ioctls and records each one. No test reaches a real device.
#include "daemon_test.h"
#include "harness.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace
{

using e2e::rate_line;
using e2e::status_line;
const char* const calls_file = "/dev/shm/ppdev-calls";

using e2e::frame_1100;
// The writes alone ("w80 w81 ...") of recorded calls.
std::string writes(const std::string& calls)
{
    std::istringstream in(calls);
    std::string found;
    for (std::string call; in >> call;)
        if (call[0] == 'w') found += call + " ";
    return found;
}

// A blank 4-LED frame after its first write, which lowers the online line.
const std::string blank_rest = "r00 w02 r02 w00 "
                               "r00 w00 r00 w02 r02 w00 "
                               "r00 w00 r00 w02 r02 w00 "
                               "r00 w00 r00 w02 r02 w00 "
                               "r00 w04 r04 w00 ";
const std::string blank_from_online = "r80 w00 " + blank_rest;
const std::string blank_from_dark = "r00 w00 " + blank_rest;

struct fake_port {
    int number;            // N of parportN
    const char* base_addr; // the text of its base-addr file
};

class Ppdev : public e2e::daemon_test
{
  protected:
    std::vector<std::string> device_mounts;

    void SetUp() override
    {
        daemon_program = "quenlyte5-ppdev";
        daemon_test::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        std::string preload = QUENLYTE_PPDEV_SHIM;
#ifdef QUENLYTE_ASAN_RUNTIME
        // ASan insists on coming first among the loaded libraries.
        if (std::string(QUENLYTE_ASAN_RUNTIME).empty())
            GTEST_SKIP()
                << "the ASan runtime, which must be preloaded before ppdev_shim, was not found";
        preload = std::string(QUENLYTE_ASAN_RUNTIME) + ":" + preload;
#endif
        setenv("LD_PRELOAD", preload.c_str(), 1);
        setenv("QUENLYTE_PPDEV_SHIM_LOG", calls_file, 1);
    }
    void TearDown() override
    {
        daemon_test::TearDown();
        unsetenv("LD_PRELOAD");
        unsetenv("QUENLYTE_PPDEV_SHIM_LOG");
        unsetenv("QUENLYTE_PPDEV_SHIM_FAIL");
    }

    // A fresh fake: /proc/sys/dev/parport listing `ports` (no such directory
    // without `proc_dir`), a /dev/parportN for each, no calls recorded.
    void fake(const std::vector<fake_port>& ports, bool proc_dir = true)
    {
        umount2("/proc/sys/dev", MNT_DETACH); // the previous case's, if any
        ASSERT_EQ(mount("tmpfs", "/proc/sys/dev", "tmpfs", 0, "mode=755"), 0)
            << "cannot mount a tmpfs over /proc/sys/dev";
        for (const auto& path : device_mounts) umount2(path.c_str(), MNT_DETACH);
        device_mounts.clear();
        for (int n = 0; n < 4; ++n) unlink(("/dev/parport" + std::to_string(n)).c_str());
        unlink(calls_file);
        if (!proc_dir) return;
        ASSERT_EQ(mkdir("/proc/sys/dev/parport", 0555), 0);
        ASSERT_EQ(mkdir("/proc/sys/dev/parport/default", 0555), 0);
        for (const auto& port : ports) {
            const std::string dir = "/proc/sys/dev/parport/parport" + std::to_string(port.number);
            ASSERT_EQ(mkdir(dir.c_str(), 0555), 0);
            std::ofstream(dir + "/base-addr") << port.base_addr;
            std::ofstream("/dev/parport" + std::to_string(port.number));
        }
    }

    // Makes opening /dev/parportN fail with EACCES, as the kernel does, even
    // for root: a device node on a mount without device access. (The mount's
    // other flags are kept: in a user namespace they may not be dropped.)
    void refuse_access(int number)
    {
        const std::string path = "/dev/parport" + std::to_string(number);
        ASSERT_EQ(mount("/dev/null", path.c_str(), "none", MS_BIND, nullptr), 0);
        device_mounts.push_back(path);
        struct statvfs now {
        };
        ASSERT_EQ(statvfs(path.c_str(), &now), 0);
        unsigned long flags = MS_REMOUNT | MS_BIND | MS_NODEV;
        for (const auto& [kept, as] : {std::pair{ST_RDONLY, MS_RDONLY},
                                       {ST_NOSUID, MS_NOSUID},
                                       {ST_NOEXEC, MS_NOEXEC},
                                       {ST_NOATIME, MS_NOATIME},
                                       {ST_NODIRATIME, MS_NODIRATIME},
                                       {ST_RELATIME, MS_RELATIME}})
            if ((now.f_flag & kept) != 0) flags |= as;
        ASSERT_EQ(mount("none", path.c_str(), "none", flags, nullptr), 0) << std::strerror(errno);
    }

    // The recorded calls, separated by spaces.
    static std::string calls()
    {
        std::ifstream in(calls_file);
        std::string all;
        for (std::string line; std::getline(in, line);) all += line + " ";
        return all;
    }

    // The /dev/parport* files the daemon has open.
    std::string open_devices() const
    {
        std::string found;
        const std::string dir = "/proc/" + std::to_string(daemon) + "/fd";
        DIR* fds = opendir(dir.c_str());
        while (const dirent* entry = fds != nullptr ? readdir(fds) : nullptr) {
            char target[256] = {};
            if (readlink((dir + "/" + entry->d_name).c_str(), target, sizeof target - 1) > 0 &&
                std::string(target).starts_with("/dev/parport"))
                found += target;
        }
        if (fds != nullptr) closedir(fds);
        return found;
    }
};

} // namespace

TEST_F(Ppdev, ClaimsThePortShowsEachFrameIoctlByIoctlAndReleasesIt)
{
    fake({{0, "888\t1912\n"}});
    // 8 of 8 KiB/s inbound on 4 LEDs: both inbound LEDs, none outbound.
    ASSERT_NO_FATAL_FAILURE(begin({"8", "8", "0", "4", "2", "1000"}));
    online_cycle("OK 8192 0\r\n");
    expect(status_line);
    EXPECT_EQ(calls(), "PPEXCL PPCLAIM " + frame_1100);
    ASSERT_TRUE(e2e::wait_blocked(daemon));
    EXPECT_EQ(stop(SIGTERM), 0);
    // The read cut by the signal counts as offline, then the blank frame of the end.
    EXPECT_EQ(calls(), "PPEXCL PPCLAIM " + frame_1100 + blank_from_online + blank_from_dark +
                           "PPRELEASE close ");
}

TEST_F(Ppdev, OpensThePortWhoseFirstBaseAddressIsTheGivenAddress)
{
    const std::vector<fake_port> ports = {
        {0, "632\t1656\n"}, {1, "888\t1912\n"}, {2, "60416\t60424\n"}}; // 0x278, 0x378, 0xec00
    const std::pair<const char*, const char*> cases[] = {
        {"0", "/dev/parport1"}, {"1", "/dev/parport0"}, {"60416", "/dev/parport2"}};
    for (const auto& [argument, device] : cases) {
        SCOPED_TRACE(argument);
        fake(ports);
        ASSERT_NO_FATAL_FAILURE(begin({"8", "8", argument, "4", "2", "1000"}));
        expect(status_line);
        EXPECT_EQ(open_devices(), device);
        EXPECT_EQ(stop(SIGTERM), 0);
    }
}

TEST_F(Ppdev, EachFailureToTakeThePortIsNamedAndEndsWithStatusOne)
{
    enum device_setup { usable, refused, no_node, no_proc_dir };
    const std::vector<fake_port> one_port = {{0, "888\t1912\n"}};
    const std::vector<fake_port> two_ports = {{0, "632\t1656\n"}, {3, "956\n"}};
    const char* const none_found = "no parallel port at 0x378 (none found)";
    const char* const busy = "Device or resource busy (another program or a kernel driver such "
                             "as lp holds the port)";
    const struct {
        const char* what;
        std::vector<fake_port> ports;
        const char* argument;
        device_setup setup;
        const char* shim_fail;
        std::string message;
        const char* calls;
    } cases[] = {
        {"another address", two_ports, "0", usable, "",
         "no parallel port at 0x378 (found: parport0 at 0x278, parport3 at 0x3bc)", ""},
        {"the second address of a port", one_port, "1912", usable, "",
         "no parallel port at 0x778 (found: parport0 at 0x378)", ""},
        {"no ports", {}, "0", usable, "", none_found, ""},
        {"no parport directory", {}, "0", no_proc_dir, "", none_found, ""},
        {"access refused", one_port, "0", refused, "",
         "/dev/parport0: Permission denied (the user needs read and write access to it, usually "
         "as a member of group lp)",
         ""},
        {"no device node", one_port, "0", no_node, "",
         "/dev/parport0: No such file or directory (is the ppdev module loaded?)", ""},
        {"exclusive access refused", one_port, "0", usable, "PPEXCL:EBUSY",
         std::string("/dev/parport0: PPEXCL: ") + busy, "PPEXCL! close "},
        {"claim refused", one_port, "0", usable, "PPCLAIM:EBUSY",
         std::string("/dev/parport0: PPCLAIM: ") + busy, "PPEXCL PPCLAIM! close "},
        {"an address outside the I/O space", one_port, "66424", usable, "",
         "0x10378: Invalid argument (I/O addresses end at 0xffff)", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fake(c.ports, c.setup != no_proc_dir);
        if (c.setup == refused) {
            ASSERT_NO_FATAL_FAILURE(refuse_access(0));
        }
        if (c.setup == no_node) unlink("/dev/parport0");
        setenv("QUENLYTE_PPDEV_SHIM_FAIL", c.shim_fail, 1);
        ASSERT_NO_FATAL_FAILURE(begin({"8", "8", c.argument, "4", "2", "1000"}));
        EXPECT_EQ(e2e::wait_exit(daemon), 1);
        daemon = -1;
        const std::string line = e2e::syslog_line("ppdev: ");
        EXPECT_NE(line.find("]: ppdev: " + c.message), std::string::npos) << line;
        EXPECT_EQ(calls(), c.calls);
        hang_up();
    }
}

TEST_F(Ppdev, AFailingRegisterIsReportedOnceAndTheDaemonRunsOn)
{
    for (const char* failing : {"PPRDATA", "PPWDATA"}) {
        SCOPED_TRACE(failing);
        fake({{0, "888\n"}});
        setenv("QUENLYTE_PPDEV_SHIM_FAIL", (std::string(failing) + ":EIO").c_str(), 1);
        ASSERT_NO_FATAL_FAILURE(begin({"8", "8", "0", "4", "2", "1000"}));
        for (int cycle = 0; cycle < 3; ++cycle) online_cycle("OK 8192 0\r\n");
        expect(status_line);
        EXPECT_EQ(stop(SIGTERM), 0);
        EXPECT_NE(e2e::syslog_line("ppdev: ").find(std::string("]: ppdev: /dev/parport0: ") +
                                                   failing +
                                                   ": Input/output error (further failures are "
                                                   "not reported)"),
                  std::string::npos);
        // The daemon has ended: whatever else it logged is waiting already.
        EXPECT_EQ(e2e::syslog_line("ppdev: ", 200), "");
        const std::string all = calls();
        EXPECT_EQ(all.substr(all.size() - 16), "PPRELEASE close ");
        if (std::string(failing) == "PPRDATA") {
            // Unreadable, the register is taken to hold what was last written.
            EXPECT_EQ(writes(all).substr(0, writes(frame_1100).size()), writes(frame_1100));
        }
    }
}

TEST_F(Ppdev, AFailedReleaseIsNamedAndEndsWithStatusOne)
{
    fake({{0, "888\n"}});
    setenv("QUENLYTE_PPDEV_SHIM_FAIL", "PPRELEASE:EIO", 1);
    ASSERT_NO_FATAL_FAILURE(begin({"8", "8", "0", "4", "2", "1000"}));
    expect(status_line);
    EXPECT_EQ(stop(SIGTERM), 1);
    EXPECT_NE(
        e2e::syslog_line("ppdev: ").find("]: ppdev: /dev/parport0: PPRELEASE: Input/output error"),
        std::string::npos);
    const std::string all = calls();
    EXPECT_EQ(all.substr(all.size() - 17), "PPRELEASE! close ");
}
