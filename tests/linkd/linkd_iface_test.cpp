// quenlyte-linkd --iface against a real veth pair. The test makes its own
// hosts: the service and one end (lkd0, 169.254.77.1) live in the test's
// private network namespace, the other end (lkd1, 169.254.77.2) in a second
// namespace held by a child process. Traffic goes only between those two.
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

constexpr const char* near_addr = "169.254.77.1"; // lkd0, in the test's namespace
constexpr const char* far_addr = "169.254.77.2";  // lkd1, in the child's namespace
constexpr std::uint16_t sink_port = 9000;         // UDP sinks on both sides
constexpr std::size_t datagram_bytes = 1000;      // UDP payload per datagram
constexpr double paced_bytes_per_s = 400000;      // payload rate of each burst
constexpr double burst_s = 3.0;                   // length of each burst
constexpr double patience_s = 30.0;               // longest wait for a state

double since(steady::time_point t0)
{
    return std::chrono::duration<double>(steady::now() - t0).count();
}

int udp_socket(const char* bind_addr, std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, bind_addr, &a.sin_addr);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void drain(int fd)
{
    char buf[2048];
    while (::recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

// Sends the datagrams due by now to keep a steady paced rate since t0.
void send_due(int fd, const char* to, steady::time_point t0, std::size_t& sent_datagrams)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(sink_port);
    ::inet_pton(AF_INET, to, &a.sin_addr);
    static const std::string payload(datagram_bytes, 'q');
    const auto due = static_cast<std::size_t>(since(t0) * paced_bytes_per_s / datagram_bytes);
    while (sent_datagrams < due) {
        if (::sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&a),
                     sizeof a) < 0)
            break;
        ++sent_datagrams;
    }
}

// The far host: a child in its own namespace. It configures lkd1 once the
// parent has moved it in, sinks UDP, sends a paced burst on 'b', exits on EOF.
[[noreturn]] void far_host(int cmd_fd, int ready_fd)
{
    if (::unshare(CLONE_NEWNET) != 0) ::_exit(2);
    char c = 'n';
    if (::write(ready_fd, &c, 1) != 1) ::_exit(2);
    if (::read(cmd_fd, &c, 1) != 1 || c != 'c') ::_exit(0);
    const bool ok = shell("ip link set lo up && ip addr add " + std::string(far_addr) +
                          "/24 dev lkd1 && ip link set lkd1 up");
    const int sink = ok ? udp_socket(far_addr, sink_port) : -1;
    c = sink >= 0 ? 'y' : 'f';
    if (::write(ready_fd, &c, 1) != 1) ::_exit(2);
    for (;;) {
        pollfd p[2] = {{cmd_fd, POLLIN, 0}, {sink, POLLIN, 0}};
        ::poll(p, 2, 100);
        if (p[1].revents & POLLIN) drain(sink);
        if (!(p[0].revents & (POLLIN | POLLHUP))) continue;
        if (::read(cmd_fd, &c, 1) != 1) ::_exit(0);
        if (c != 'b') continue;
        const auto t0 = steady::now();
        std::size_t sent = 0;
        while (since(t0) < burst_s) {
            send_due(sink, near_addr, t0, sent);
            drain(sink);
            std::this_thread::sleep_for(5ms);
        }
    }
}

struct rates {
    std::uint64_t in = 0, out = 0;
};

std::optional<rates> read_rates(connection& c)
{
    const auto reply = ask(c, "rate pppoe");
    if (!reply || !reply->starts_with("OK ")) return std::nullopt;
    rates r;
    const char* p = reply->data() + 3;
    const char* end = reply->data() + reply->size();
    auto [p1, e1] = std::from_chars(p, end, r.in);
    if (e1 != std::errc() || p1 == end || *p1 != ' ') return std::nullopt;
    auto [p2, e2] = std::from_chars(p1 + 1, end, r.out);
    if (e2 != std::errc() || std::string_view(p2, end) != "\r\n") return std::nullopt;
    return r;
}

bool wait_status(connection& c, const std::string& wanted)
{
    const auto t0 = steady::now();
    while (since(t0) < patience_s) {
        if (ask(c, "status pppoe") == wanted) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

class LinkdIface : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (!enter_private_netns())
            GTEST_SKIP() << "needs root: cannot make a network namespace (unshare CLONE_NEWNET)";
        if (!shell("ip -V >/dev/null 2>&1")) GTEST_SKIP() << "needs the 'ip' program (iproute2)";
        int cmd[2], ready[2];
        ASSERT_EQ(::pipe(cmd), 0);
        ASSERT_EQ(::pipe(ready), 0);
        child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(cmd[1]);
            ::close(ready[0]);
            far_host(cmd[0], ready[1]);
        }
        ::close(cmd[0]);
        ::close(ready[1]);
        cmd_fd = cmd[1];
        ready_fd = ready[0];
        char c = 0;
        ASSERT_EQ(::read(ready_fd, &c, 1), 1);
        ASSERT_TRUE(make_pair());
        ASSERT_TRUE(tell('c'));
        ASSERT_EQ(::read(ready_fd, &c, 1), 1);
        ASSERT_EQ(c, 'y') << "the far host could not configure lkd1";
        sink = udp_socket(near_addr, sink_port);
        ASSERT_GE(sink, 0);
    }
    void TearDown() override
    {
        if (svc.pid > 0) stop_service(svc, SIGKILL);
        if (sink >= 0) ::close(sink);
        if (cmd_fd >= 0) ::close(cmd_fd); // the far host exits; its namespace and lkd1 go
        if (ready_fd >= 0) ::close(ready_fd);
        if (child > 0) ::waitpid(child, nullptr, 0);
        // lkd0 goes with this process's namespace.
    }
    bool make_pair()
    {
        return shell("ip link add lkd0 type veth peer name lkd1 netns " + std::to_string(child) +
                     " && ip addr add " + near_addr + "/24 dev lkd0 && ip link set lkd0 up");
    }
    bool tell(char c) { return ::write(cmd_fd, &c, 1) == 1; }

    // Reads rates every 200 ms for a burst; the near side sends when `send_out`.
    rates peak_during_burst(connection& c, bool send_out)
    {
        rates peak;
        const auto t0 = steady::now();
        std::size_t sent = 0;
        auto next_read = t0;
        while (since(t0) < burst_s) {
            if (send_out) send_due(sink, far_addr, t0, sent);
            drain(sink);
            if (steady::now() >= next_read) {
                const auto r = read_rates(c);
                EXPECT_TRUE(r);
                if (r) peak = {std::max(peak.in, r->in), std::max(peak.out, r->out)};
                next_read += 200ms;
            }
            std::this_thread::sleep_for(5ms);
        }
        return peak;
    }

    pid_t child = -1;
    int cmd_fd = -1, ready_fd = -1, sink = -1;
    service svc;
};

TEST_F(LinkdIface, RatesFollowRealTrafficBothWays)
{
    ASSERT_TRUE(start_service({"--iface", "lkd0", "--window", "1"}, svc)) << svc.err_text;
    connection c = connect_to(svc.port);
    ASSERT_TRUE(wait_status(c, "OK Online\r\n"));

    // Bounds are wide: a busy machine paces unevenly; each datagram also
    // carries 42 bytes of headers on the wire.
    const double low = paced_bytes_per_s / 4, high = paced_bytes_per_s * 4;

    const rates out = peak_during_burst(c, true);
    EXPECT_GT(static_cast<double>(out.out), low);
    EXPECT_LT(static_cast<double>(out.out), high);
    EXPECT_LT(static_cast<double>(out.in), low) << "only ARP should come back";

    ASSERT_TRUE(tell('b'));
    const rates in = peak_during_burst(c, false);
    EXPECT_GT(static_cast<double>(in.in), low);
    EXPECT_LT(static_cast<double>(in.in), high);

    // Once quiet, both rates fall back close to zero.
    const auto t0 = steady::now();
    std::optional<rates> r;
    while (since(t0) < patience_s) {
        drain(sink);
        r = read_rates(c);
        if (r && r->in < 1000 && r->out < 1000) break;
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(r);
    EXPECT_LT(r->in, 1000u);
    EXPECT_LT(r->out, 1000u);
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

    // Push the counters up, then replace the interface by a fresh veth whose
    // counters start again from zero.
    peak_during_burst(c, true);
    ASSERT_TRUE(shell("ip link del lkd0"));
    EXPECT_TRUE(wait_status(c, "OK Offline\r\n"));
    EXPECT_EQ(ask(c, "rate pppoe"), "OK 0 0\r\n");
    ASSERT_TRUE(shell(
        "ip link add lkd0 type veth peer name lkd2 && ip link set lkd2 up && ip link set lkd0 up"));
    EXPECT_TRUE(wait_status(c, "OK Online\r\n"));
    for (int i = 0; i < 20; ++i) {
        const auto r = read_rates(c);
        ASSERT_TRUE(r);
        EXPECT_LT(r->in, 100000u);
        EXPECT_LT(r->out, 100000u);
        std::this_thread::sleep_for(50ms);
    }

    // A service started while the interface is absent says Offline, then follows it.
    EXPECT_EQ(stop_service(svc, SIGTERM), 0);
    ASSERT_TRUE(shell("ip link del lkd0"));
    ASSERT_TRUE(start_service({"--iface", "lkd0"}, svc)) << svc.err_text;
    close_connection(c);
    c = connect_to(svc.port);
    EXPECT_EQ(ask(c, "status pppoe"), "OK Offline\r\n");
    ASSERT_TRUE(shell(
        "ip link add lkd0 type veth peer name lkd2 && ip link set lkd2 up && ip link set lkd0 up"));
    EXPECT_TRUE(wait_status(c, "OK Online\r\n"));
}

} // namespace
