// End-to-end tests of the built quenlyte-linkd: started as a user would,
// spoken to over TCP. Each test enters a network namespace of its own when it
// may, so the service can use port 5000 next to other tests; otherwise it
// listens on a free port. Time-outs are generous; timings are never asserted.
#include "service_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <poll.h>
#include <random>
#include <regex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace
{

using namespace std::chrono_literals;

constexpr double patience_s = 30.0; // the longest any test waits for a state

double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

class LinkdService : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        enter_private_netns(); // without it, a free port stands in for 5000
        char dir_template[] = "/tmp/linkd-test-XXXXXX";
        ASSERT_NE(::mkdtemp(dir_template), nullptr);
        dir = dir_template;
    }
    void TearDown() override
    {
        if (svc.pid > 0) stop_service(svc, SIGKILL);
        std::system(("rm -rf '" + dir + "'").c_str());
    }
    std::string write_file(const std::string& name, const std::string& text)
    {
        const std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    // Starts the service on a script holding one constant state.
    void start_constant(const std::string& entry)
    {
        ASSERT_TRUE(start_service({"--script", write_file("s", "0 " + entry + "\n")}, svc))
            << svc.err_text;
    }
    connection client()
    {
        connection c = connect_to(svc.port);
        EXPECT_GE(c.fd, 0);
        return c;
    }
    std::string dir;
    service svc;
};

TEST_F(LinkdService, AnswersEachCommandByteForByte)
{
    start_constant("online 1000 2000");
    if (private_netns_entered()) {
        EXPECT_EQ(svc.port, 5000);
    }
    connection c = client();

    EXPECT_EQ(ask(c, "status pppoe"), "OK Online\r\n");
    EXPECT_EQ(ask(c, "rate pppoe"), "OK 1000 2000\r\n");
    EXPECT_EQ(ask(c, "status pppoe\r"), "OK Online\r\n");
    EXPECT_EQ(ask(c, "rate pppoe\r"), "OK 1000 2000\r\n");
    EXPECT_EQ(ask(c, "hello"), "ERR unknown command\r\n");
    EXPECT_EQ(ask(c, ""), "ERR unknown command\r\n");

    // Two commands in one write: two replies, in order.
    ASSERT_TRUE(send_all(c, "rate pppoe\r\nstatus pppoe\n"));
    EXPECT_EQ(read_reply(c), "OK 1000 2000\r\n");
    EXPECT_EQ(read_reply(c), "OK Online\r\n");

    // One command split over several writes: one reply, after the LF only.
    for (std::string_view piece : {"sta", "tus pp", "poe\r"}) {
        ASSERT_TRUE(send_all(c, piece));
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(read_reply(c, 0.3), std::nullopt);
    ASSERT_TRUE(send_all(c, "\n"));
    EXPECT_EQ(read_reply(c), "OK Online\r\n");
    EXPECT_TRUE(c.buffered.empty());
    close_connection(c);

    EXPECT_EQ(stop_service(svc, SIGTERM), 0);
}

TEST_F(LinkdService, OfflineScriptAnswersOfflineAndZeroRates)
{
    start_constant("offline");
    connection c = client();
    EXPECT_EQ(ask(c, "status pppoe"), "OK Offline\r\n");
    EXPECT_EQ(ask(c, "rate pppoe"), "OK 0 0\r\n");
}

// Polls status and rate until `wanted` (status + rate replies) is seen;
// returns every distinct pair seen, in order, with the time each first appeared.
struct observed {
    std::string answer;
    double at_s;
};
std::vector<observed> watch_until(connection& c, const std::string& wanted,
                                  std::chrono::steady_clock::time_point t0)
{
    std::vector<observed> seen;
    while (seconds_since(t0) < patience_s) {
        if (!send_all(c, "status pppoe\nrate pppoe\n")) break;
        const auto status = read_reply(c);
        const auto rate = read_reply(c);
        if (!status || !rate) break;
        const std::string answer = *status + *rate;
        if (seen.empty() || seen.back().answer != answer)
            seen.push_back({answer, seconds_since(t0)});
        if (answer == wanted) break;
        std::this_thread::sleep_for(20ms);
    }
    return seen;
}

TEST_F(LinkdService, ScriptTimelineChangesAnswersInOrderAndNeverEarly)
{
    const std::string a = "OK Online\r\nOK 1000 2000\r\n";
    const std::string b = "OK Offline\r\nOK 0 0\r\n";
    const std::string c3 = "OK Online\r\nOK 5 6\r\n";
    const std::string path = write_file("timeline", "# three states\n"
                                                    "0 online 1000 2000\n"
                                                    "1.5 offline\n"
                                                    "3 online 5 6\n");
    const auto t0 = std::chrono::steady_clock::now(); // before the service's own start
    ASSERT_TRUE(start_service({"--script", path}, svc)) << svc.err_text;
    connection c = client();
    const std::vector<observed> seen = watch_until(c, c3, t0);

    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().answer, c3);
    // Seen states are the script's, in its order (a slow machine may skip one).
    const std::vector<std::pair<std::string, double>> timeline = {{a, 0}, {b, 1.5}, {c3, 3}};
    std::size_t next = 0;
    for (const observed& o : seen) {
        while (next < timeline.size() && timeline[next].first != o.answer) ++next;
        ASSERT_LT(next, timeline.size()) << "unexpected or out-of-order answer: " << o.answer;
        // A state may show up late on a busy machine, never before its time.
        EXPECT_GE(o.at_s, timeline[next].second) << o.answer;
    }
}

TEST_F(LinkdService, ScriptWithLoopStartsAgain)
{
    const std::string path = write_file("loop", "0 online 7 8\n0.4 offline\n0.8 loop\n");
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(start_service({"--script", path}, svc)) << svc.err_text;
    connection c = client();
    // Online, then offline, then online again: only a loop brings it back.
    int changes = 0;
    std::string last;
    while (changes < 3 && seconds_since(t0) < patience_s) {
        const auto status = ask(c, "status pppoe");
        ASSERT_TRUE(status);
        if (*status != last) ++changes;
        last = *status;
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_GE(changes, 3);
}

TEST_F(LinkdService, FiftyClientsAtOnceEachGetTheirAnswers)
{
    start_constant("online 31 41");
    constexpr int n_clients = 50;
    std::vector<connection> cs;
    for (int i = 0; i < n_clients; ++i) cs.push_back(client());
    for (const connection& c : cs) ASSERT_TRUE(send_all(c, "status pppoe\r\nrate pppoe\n"));
    for (connection& c : cs) {
        EXPECT_EQ(read_reply(c), "OK Online\r\n");
        EXPECT_EQ(read_reply(c), "OK 31 41\r\n");
    }
    for (int round = 0; round < 3; ++round)
        for (std::size_t i = cs.size(); i-- > 0;)
            EXPECT_EQ(ask(cs[i], "rate pppoe"), "OK 31 41\r\n");
    for (connection& c : cs) close_connection(c);
}

TEST_F(LinkdService, HostileInputGetsErrorsAndTheServiceKeepsAnswering)
{
    start_constant("online 1 2");
    connection good = client();
    connection bad = client();

    // An over-long line: one error, then the next line is served.
    ASSERT_TRUE(send_all(bad, std::string(100000, 'x') + "\nstatus pppoe\n"));
    EXPECT_EQ(read_reply(bad), "ERR line too long\r\n");
    EXPECT_EQ(read_reply(bad), "OK Online\r\n");

    // NUL bytes and other binary junk inside lines.
    ASSERT_TRUE(send_all(bad, std::string("status\0pppoe\n\0\0\0\n\xff\xfe\r\n", 22)));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(read_reply(bad), "ERR unknown command\r\n");
    EXPECT_EQ(ask(good, "status pppoe"), "OK Online\r\n");

    // A megabyte of random bytes; the service reads it all and answers a
    // well-behaved client throughout.
    std::mt19937 rng(7);
    std::string junk(1 << 20, '\0');
    for (char& ch : junk) ch = static_cast<char>(rng());
    ASSERT_TRUE(send_all(bad, junk));
    EXPECT_EQ(ask(good, "rate pppoe"), "OK 1 2\r\n");
    close_connection(bad);
    EXPECT_EQ(ask(good, "status pppoe"), "OK Online\r\n");
    EXPECT_EQ(stop_service(svc, SIGTERM), 0);
}

TEST_F(LinkdService, ClientThatNeverReadsIsDroppedWhileOthersAreServed)
{
    start_constant("online 1 2");
    connection good = client();
    connection hog = client();
    const int small_bytes = 4096;
    ::setsockopt(hog.fd, SOL_SOCKET, SO_RCVBUF, &small_bytes, sizeof small_bytes);

    // Short unknown commands make replies ten times their size, so the hog's
    // unread replies pile up fast. Stop when the service drops it.
    const std::string chunk = [] {
        std::string s;
        for (int i = 0; i < 32768; ++i) s += "x\n";
        return s;
    }();
    constexpr std::size_t budget_bytes = 256u << 20; // the most the hog may send
    std::size_t sent = 0;
    bool dropped = false;
    const auto t0 = std::chrono::steady_clock::now();
    while (sent < budget_bytes && !dropped && seconds_since(t0) < patience_s) {
        pollfd p{hog.fd, POLLOUT, 0};
        if (::poll(&p, 1, 100) > 0) {
            const ssize_t n =
                ::send(hog.fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) sent += static_cast<std::size_t>(n);
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) dropped = true;
            if (p.revents & (POLLERR | POLLHUP)) dropped = true;
        }
        ASSERT_EQ(ask(good, "status pppoe"), "OK Online\r\n") << "after " << sent << " bytes";
    }
    EXPECT_TRUE(dropped) << "hog still connected after sending " << sent << " bytes";
    EXPECT_EQ(ask(good, "rate pppoe"), "OK 1 2\r\n");
}

TEST_F(LinkdService, FloodFromAClientThatReadsGetsEveryAnswer)
{
    start_constant("offline");
    connection c = client();
    constexpr int commands = 100000;
    std::string flood;
    for (int i = 0; i < commands; ++i) flood += i % 2 ? "rate pppoe\n" : "status pppoe\r\n";
    const std::string expected_one = "OK Offline\r\nOK 0 0\r\n";

    std::size_t sent = 0, received = 0;
    const std::size_t expected_bytes = expected_one.size() * commands / 2;
    std::string got;
    const auto t0 = std::chrono::steady_clock::now();
    while (received < expected_bytes && seconds_since(t0) < patience_s) {
        pollfd p{c.fd, static_cast<short>(POLLIN | (sent < flood.size() ? POLLOUT : 0)), 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        if (p.revents & POLLOUT) {
            const ssize_t n =
                ::send(c.fd, flood.data() + sent, flood.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) sent += static_cast<std::size_t>(n);
        }
        if (p.revents & POLLIN) {
            char buf[65536];
            const ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
            ASSERT_NE(n, 0) << "closed after " << received << " bytes";
            if (n > 0) {
                got.append(buf, static_cast<std::size_t>(n));
                received += static_cast<std::size_t>(n);
            }
        }
    }
    ASSERT_EQ(received, expected_bytes);
    for (std::size_t i = 0; i < got.size(); i += expected_one.size())
        ASSERT_EQ(got.compare(i, expected_one.size(), expected_one), 0) << "at byte " << i;
}

TEST_F(LinkdService, ClientsBeyondSixtyFourAreRefusedByClosing)
{
    start_constant("online 1 2");
    constexpr int max_clients = 64;
    std::vector<connection> cs;
    for (int i = 0; i < max_clients; ++i) {
        cs.push_back(client());
        ASSERT_EQ(ask(cs.back(), "status pppoe"), "OK Online\r\n") << "client " << i;
    }
    connection extra = client();
    EXPECT_TRUE(wait_closed(extra, reply_timeout_s));
    close_connection(extra);

    // A place frees up when a client leaves.
    close_connection(cs.front());
    bool served = false;
    for (int attempt = 0; attempt < 50 && !served; ++attempt) {
        connection again = client();
        served = ask(again, "rate pppoe") == "OK 1 2\r\n";
        close_connection(again);
        if (!served) std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(served);
    EXPECT_EQ(ask(cs.back(), "status pppoe"), "OK Online\r\n");
}

TEST_F(LinkdService, DemoAnswersAndStopsCleanlyOnSigtermAndSigint)
{
    const std::regex rate_reply("OK (0|[1-9][0-9]*) (0|[1-9][0-9]*)\r\n");
    for (int sig : {SIGTERM, SIGINT}) {
        ASSERT_TRUE(start_service({"--demo", "--seed", "5"}, svc)) << svc.err_text;
        connection c = client();
        for (int i = 0; i < 20; ++i) {
            const auto status = ask(c, "status pppoe");
            EXPECT_TRUE(status == "OK Online\r\n" || status == "OK Offline\r\n");
            const auto rate = ask(c, "rate pppoe");
            ASSERT_TRUE(rate);
            EXPECT_TRUE(std::regex_match(*rate, rate_reply)) << *rate;
            std::this_thread::sleep_for(20ms);
        }
        EXPECT_EQ(stop_service(svc, sig), 0) << svc.err_text;
        EXPECT_TRUE(wait_closed(c, reply_timeout_s));
        close_connection(c);
    }
}

TEST_F(LinkdService, StartFailuresExitOneWithAContextAndReason)
{
    const std::string script = write_file("bad", "0 online 1 2\n1 sideways\n");
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{}, "quenlyte-linkd: link source: missing"},
        {{"--iface"}, "quenlyte-linkd: --iface: missing value"},
        {{"--demo", "--window", "x"}, "quenlyte-linkd: --window: "},
        {{"--demo", "--listen", "nowhere"}, "quenlyte-linkd: --listen: "},
        {{"--script", dir + "/absent"}, "quenlyte-linkd: " + dir + "/absent: No such file"},
        {{"--script", dir}, "quenlyte-linkd: " + dir + ": Is a directory"},
        {{"--script", script}, "quenlyte-linkd: " + script + ":2: expected 'online'"},
        {{"--demo", "--listen", "192.0.2.1:5000"}, "quenlyte-linkd: 192.0.2.1:5000: Cannot assign"},
    };
    for (const auto& c : cases) {
        const run_result r = run_service(c.args, reply_timeout_s);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_TRUE(r.err.starts_with(c.message)) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_TRUE(r.out.empty());
    }
    const run_result help = run_service({"--help"}, reply_timeout_s);
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.starts_with("Usage: quenlyte-linkd")) << help.out;
    EXPECT_NE(help.out.find("AT online IN OUT"), std::string::npos);
    EXPECT_TRUE(help.err.empty());
}

TEST_F(LinkdService, PortAlreadyInUseIsReportedClearly)
{
    start_constant("offline");
    const std::string where = "127.0.0.1:" + std::to_string(svc.port);
    const run_result r = run_service({"--demo", "--listen", where}, reply_timeout_s);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quenlyte-linkd: " + where + ": Address already in use\n");
    connection c = client(); // the first one is unharmed
    EXPECT_EQ(ask(c, "status pppoe"), "OK Offline\r\n");
}

} // namespace
