// SPDX-License-Identifier: GPL-2.0-or-later
// quenlyte-linkd --iface against a real veth pair the test makes: lkd0
// (169.254.77.1) in the test's private network namespace beside the service,
// lkd1 (169.254.77.2) in a second namespace held by a child process that
// sinks UDP. Traffic goes only between those two ends.
#include "service_harness.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <charconv>
#include <chrono>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

constexpr const char* far_addr = "169.254.77.2"; // lkd1, in the child's namespace
constexpr std::uint16_t sink_port = 9000;        // UDP sink on lkd1
constexpr std::size_t datagram_bytes = 1000;     // UDP payload per datagram
constexpr double paced_bytes_per_s = 400000;     // payload rate of a burst
constexpr double burst_s = 3.0;                  // length of a burst, seconds

// The far host: enters a namespace of its own, configures lkd1 once the
// parent has moved it in ('c'), then sinks UDP until the pipe closes.
[[noreturn]] void far_host(int cmd_fd, int ready_fd)
{
    char c = 'n';
    if (::unshare(CLONE_NEWNET) != 0 || ::write(ready_fd, &c, 1) != 1) ::_exit(2);
    if (::read(cmd_fd, &c, 1) != 1) ::_exit(0);
    const int sink = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(sink_port);
    ::inet_pton(AF_INET, far_addr, &a.sin_addr);
    c = shell(std::string("ip addr add ") + far_addr + "/24 dev lkd1 && ip link set lkd1 up") &&
                ::bind(sink, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0
            ? 'y'
            : 'f';
    if (::write(ready_fd, &c, 1) != 1) ::_exit(2);
    char buf[2048];
    for (pollfd p[2] = {{cmd_fd, POLLIN, 0}, {sink, POLLIN, 0}};; p[0].revents = p[1].revents = 0) {
        ::poll(p, 2, -1);
        if (p[0].revents) ::_exit(0);
        ::recv(sink, buf, sizeof buf, 0);
    }
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> read_rates(connection& c)
{
    const std::string reply = ask(c, "rate pppoe").value_or("");
    std::uint64_t in = 0, out = 0;
    const char* end = reply.data() + reply.size();
    auto [p1, e1] = std::from_chars(reply.data() + std::min<std::size_t>(3, reply.size()), end, in);
    if (!reply.starts_with("OK ") || e1 != std::errc() || p1 == end || *p1 != ' ')
        return std::nullopt;
    auto [p2, e2] = std::from_chars(p1 + 1, end, out);
    if (e2 != std::errc() || std::string_view(p2, end) != "\r\n") return std::nullopt;
    return std::pair{in, out};
}

bool wait_status(connection& c, const std::string& wanted)
{
    for (const auto t0 = steady::now(); since(t0) < patience_s; std::this_thread::sleep_for(50ms))
        if (ask(c, "status pppoe") == wanted) return true;
    return false;
}

class LinkdIface : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (const auto why = enter_private_netns(); !why.empty()) GTEST_SKIP() << why;
        if (!shell("ip -V >/dev/null 2>&1")) GTEST_SKIP() << "needs the 'ip' program (iproute2)";
        int cmd[2], ready[2];
        ASSERT_EQ(::pipe(cmd), 0);
        ASSERT_EQ(::pipe(ready), 0);
        child = ::fork();
        if (child == 0) {
            ::close(cmd[1]); // so that the parent closing it ends the far host
            far_host(cmd[0], ready[1]);
        }
        ::close(cmd[0]);
        ::close(ready[1]);
        cmd_fd = cmd[1];
        ready_fd = ready[0];
        char c = 0;
        ASSERT_EQ(::read(ready_fd, &c, 1), 1);
        ASSERT_TRUE(shell("ip link add lkd0 type veth peer name lkd1 netns " +
                          std::to_string(child) +
                          " && ip addr add 169.254.77.1/24 dev lkd0 && ip link set lkd0 up"));
        ASSERT_EQ(::write(cmd_fd, "c", 1), 1);
        ASSERT_EQ(::read(ready_fd, &c, 1), 1);
        ASSERT_EQ(c, 'y') << "the far host could not configure lkd1";
    }
    void TearDown() override
    {
        if (svc.pid > 0) stop_service(svc, SIGKILL);
        if (cmd_fd >= 0) ::close(cmd_fd); // the far host exits, its namespace goes
        if (ready_fd >= 0) ::close(ready_fd);
        if (child > 0) ::waitpid(child, nullptr, 0);
    }

    // Sends paced UDP to the far host for a burst, reading the rates every
    // 200 ms; returns the highest inbound and outbound rates seen.
    std::pair<std::uint64_t, std::uint64_t> peak_during_burst(connection& c)
    {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(sink_port);
        ::inet_pton(AF_INET, far_addr, &a.sin_addr);
        const std::string payload(datagram_bytes, 'q');
        std::pair<std::uint64_t, std::uint64_t> peak{0, 0};
        std::size_t sent = 0;
        const auto t0 = steady::now();
        for (auto next_read = t0; since(t0) < burst_s; std::this_thread::sleep_for(5ms)) {
            while (static_cast<double>(sent * datagram_bytes) < since(t0) * paced_bytes_per_s &&
                   ::sendto(fd, payload.data(), payload.size(), 0,
                            reinterpret_cast<const sockaddr*>(&a), sizeof a) > 0)
                ++sent;
            if (steady::now() < next_read) continue;
            next_read += 200ms;
            const auto r = read_rates(c);
            EXPECT_TRUE(r);
            if (r) peak = {std::max(peak.first, r->first), std::max(peak.second, r->second)};
        }
        ::close(fd);
        return peak;
    }

    pid_t child = -1;
    int cmd_fd = -1, ready_fd = -1;
    service svc;
};

TEST_F(LinkdIface, RatesFollowRealTrafficAndSettleWhenItStops)
{
    ASSERT_TRUE(start_service({"--iface", "lkd0", "--window", "1"}, svc)) << svc.err_text;
    connection c = connect_to(svc.port);
    ASSERT_TRUE(wait_status(c, "OK Online\r\n"));

    // Wide bounds: a busy machine paces unevenly, and headers add 42 bytes a datagram.
    const auto [in, out] = peak_during_burst(c);
    EXPECT_GT(static_cast<double>(out), paced_bytes_per_s / 4);
    EXPECT_LT(static_cast<double>(out), paced_bytes_per_s * 4);
    EXPECT_LT(static_cast<double>(in), paced_bytes_per_s / 4) << "only ARP comes back";

    std::optional<std::pair<std::uint64_t, std::uint64_t>> r;
    for (const auto t0 = steady::now(); since(t0) < patience_s; std::this_thread::sleep_for(100ms))
        if ((r = read_rates(c)) && r->first < 1000 && r->second < 1000) break;
    ASSERT_TRUE(r);
    EXPECT_LT(r->second, 1000u);
    EXPECT_EQ(stop_service(svc, SIGTERM), 0);
}

TEST_F(LinkdIface, StatusFollowsTheLinkAndARecreatedInterfaceGivesNoSpike)
{
    ASSERT_TRUE(start_service({"--iface", "lkd0", "--window", "0.5"}, svc)) << svc.err_text;
    connection c = connect_to(svc.port);
    ASSERT_TRUE(wait_status(c, "OK Online\r\n"));
    ASSERT_TRUE(shell("ip link set lkd0 down"));
    EXPECT_TRUE(wait_status(c, "OK Offline\r\n"));
    ASSERT_TRUE(shell("ip link set lkd0 up"));
    EXPECT_TRUE(wait_status(c, "OK Online\r\n"));

    // Push the counters up, then swap in a fresh veth whose counters start at zero.
    peak_during_burst(c);
    ASSERT_TRUE(shell("ip link del lkd0"));
    EXPECT_TRUE(wait_status(c, "OK Offline\r\n"));
    EXPECT_EQ(ask(c, "rate pppoe"), "OK 0 0\r\n");
    const std::string recreate =
        "ip link add lkd0 type veth peer name lkd2 && ip link set lkd2 up && ip link set lkd0 up";
    ASSERT_TRUE(shell(recreate));
    EXPECT_TRUE(wait_status(c, "OK Online\r\n"));
    for (int i = 0; i < 20; ++i, std::this_thread::sleep_for(50ms)) {
        const auto r = read_rates(c);
        ASSERT_TRUE(r);
        EXPECT_LT(r->first, 100000u);
        EXPECT_LT(r->second, 100000u);
    }

    // Started while the interface is absent, it says Offline, then follows.
    EXPECT_EQ(stop_service(svc, SIGTERM), 0);
    ASSERT_TRUE(shell("ip link del lkd0"));
    ASSERT_TRUE(start_service({"--iface", "lkd0"}, svc)) << svc.err_text;
    close_connection(c);
    c = connect_to(svc.port);
    EXPECT_EQ(ask(c, "status pppoe"), "OK Offline\r\n");
    ASSERT_TRUE(shell(recreate));
    EXPECT_TRUE(wait_status(c, "OK Online\r\n"));
}

} // namespace
