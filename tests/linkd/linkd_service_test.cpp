// SPDX-License-Identifier: GPL-2.0-or-later
// End-to-end tests of the built quenlyte-linkd, started as a user would and
// spoken to over TCP. Each test enters a network namespace of its own when it
// may (the service then uses port 5000), else the service takes a free port.
// Time-outs are generous; timings are never asserted.
#include "service_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <poll.h>
#include <regex>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace
{

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

class LinkdService : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        netns = enter_private_netns().empty();
        char dir_template[] = "/tmp/linkd-test-XXXXXX";
        ASSERT_NE(::mkdtemp(dir_template), nullptr);
        dir = dir_template;
    }
    void TearDown() override
    {
        if (svc.pid > 0) stop_service(svc, SIGKILL);
        shell("rm -rf '" + dir + "'");
    }
    std::string write_file(const std::string& text)
    {
        const std::string path = dir + "/script" + std::to_string(++files);
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    connection start_with_script(const std::string& text)
    {
        EXPECT_TRUE(start_service({"--script", write_file(text)}, svc)) << svc.err_text;
        connection c = connect_to(svc.port);
        EXPECT_GE(c.fd, 0);
        return c;
    }
    bool netns = false;
    int files = 0;
    std::string dir;
    service svc;
};

TEST_F(LinkdService, AnswersEachCommandByteForByte)
{
    connection c = start_with_script("0 online 1000 2000\n");
    EXPECT_TRUE(!netns || svc.port == 5000) << svc.port;
    EXPECT_EQ(ask(c, "status pppoe"), "OK Online\r\n");
    EXPECT_EQ(ask(c, "rate pppoe\r"), "OK 1000 2000\r\n");
    EXPECT_EQ(ask(c, "hello"), "ERR unknown command\r\n");
    ASSERT_TRUE(send_all(c, "rate pppoe\r\nstatus pppoe\n")); // two in one write
    EXPECT_EQ(read_reply(c), "OK 1000 2000\r\n");
    EXPECT_EQ(read_reply(c), "OK Online\r\n");
    for (std::string_view piece : {"sta", "tus pp", "poe\r"}) { // one split over writes
        ASSERT_TRUE(send_all(c, piece));
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(read_reply(c, 0.3), std::nullopt); // nothing before the LF
    ASSERT_TRUE(send_all(c, "\n"));
    EXPECT_EQ(read_reply(c), "OK Online\r\n");
    EXPECT_TRUE(c.buffered.empty());
    EXPECT_EQ(stop_service(svc, SIGTERM), 0);
}

TEST_F(LinkdService, ScriptTimelineChangesAnswersInOrderAndNeverEarly)
{
    const auto t0 = steady::now(); // before the service's own start
    connection c = start_with_script("0 online 1000 2000\n1.5 offline\n3 online 5 6\n");
    const std::pair<std::string, double> timeline[] = {{"OK Online\r\nOK 1000 2000\r\n", 0},
                                                       {"OK Offline\r\nOK 0 0\r\n", 1.5},
                                                       {"OK Online\r\nOK 5 6\r\n", 3}};
    std::size_t state = 0;
    std::string answer;
    while (answer != timeline[2].first && since(t0) < patience_s) {
        ASSERT_TRUE(send_all(c, "status pppoe\nrate pppoe\n"));
        const auto status = read_reply(c), rate = read_reply(c);
        ASSERT_TRUE(status && rate);
        answer = *status + *rate;
        // Each answer is the script's current state or a later one (a busy
        // machine may skip one), and never shows before its time.
        while (state < 3 && timeline[state].first != answer) ++state;
        ASSERT_LT(state, 3u) << "unexpected or out-of-order answer: " << answer;
        EXPECT_GE(since(t0), timeline[state].second) << answer;
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(answer, timeline[2].first);
}

TEST_F(LinkdService, FiftyClientsAtOnceEachGetTheirAnswers)
{
    connection first = start_with_script("0 online 31 41\n");
    std::vector<connection> cs(49);
    for (connection& c : cs) c = connect_to(svc.port);
    cs.push_back(first);
    for (const connection& c : cs) ASSERT_TRUE(send_all(c, "status pppoe\r\nrate pppoe\n"));
    for (connection& c : cs) {
        EXPECT_EQ(read_reply(c), "OK Online\r\n");
        EXPECT_EQ(read_reply(c), "OK 31 41\r\n");
    }
    for (std::size_t i = cs.size(); i-- > 0;) EXPECT_EQ(ask(cs[i], "rate pppoe"), "OK 31 41\r\n");
}

TEST_F(LinkdService, HostileClientsNeverStallAWellBehavedOne)
{
    connection good = start_with_script("0 online 1 2\n");
    connection bad = connect_to(svc.port);
    // An over-long line gets one error, the line after it an answer.
    ASSERT_TRUE(send_all(bad, std::string(100000, 'x') + "\nstatus pppoe\n"));
    EXPECT_EQ(read_reply(bad), "ERR line too long\r\n");
    EXPECT_EQ(read_reply(bad), "OK Online\r\n");
    // NUL bytes and other binary junk.
    ASSERT_TRUE(send_all(bad, std::string("status\0pppoe\n\0\0\0\n\xff\xfe\r\n", 22)));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(read_reply(bad), "ERR unknown command\r\n");

    // A client that floods short commands and never reads: its replies pile
    // up ten times faster than it sends, until the service drops it.
    const int small_bytes = 4096;
    ::setsockopt(bad.fd, SOL_SOCKET, SO_RCVBUF, &small_bytes, sizeof small_bytes);
    std::string flood;
    for (int i = 0; i < 32768; ++i) flood += "x\n";
    constexpr std::size_t budget_bytes = 256u << 20; // the most it may send
    std::size_t sent = 0;
    bool dropped = false;
    const auto t0 = steady::now();
    while (!dropped && sent < budget_bytes && since(t0) < patience_s) {
        pollfd p{bad.fd, POLLOUT, 0};
        if (::poll(&p, 1, 100) > 0) {
            const ssize_t n =
                ::send(bad.fd, flood.data(), flood.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            sent += n > 0 ? static_cast<std::size_t>(n) : 0;
            dropped = (n < 0 && errno != EAGAIN) || (p.revents & (POLLERR | POLLHUP));
        }
        ASSERT_EQ(ask(good, "status pppoe"), "OK Online\r\n") << "after " << sent << " bytes";
    }
    EXPECT_TRUE(dropped) << "still connected after sending " << sent << " bytes";
    EXPECT_EQ(ask(good, "rate pppoe"), "OK 1 2\r\n");
    EXPECT_EQ(stop_service(svc, SIGTERM), 0);
}

TEST_F(LinkdService, SilentClientsAreClosedWhileATalkingOneStays)
{
    // The talker asks every 0.1 s against an idle time of 2 s, so that a loaded
    // machine's stall cannot make it look silent.
    EXPECT_TRUE(start_service({"--script", write_file("0 online 1 2\n"), "--idle", "2"}, svc))
        << svc.err_text;
    connection talker = connect_to(svc.port), silent = connect_to(svc.port),
               half_line = connect_to(svc.port), endless = connect_to(svc.port);
    ASSERT_TRUE(send_all(half_line, "status pp"));
    ASSERT_TRUE(send_all(endless, std::string(1000, 'x'))); // over-long and never ended
    EXPECT_EQ(read_reply(endless), "ERR line too long\r\n");
    std::vector<connection*> open{&silent, &half_line, &endless};
    for (const auto t0 = steady::now(); !open.empty() && since(t0) < patience_s;) {
        ASSERT_EQ(ask(talker, "status pppoe"), "OK Online\r\n");
        std::erase_if(open, [](connection* c) { return wait_closed(*c, 0); });
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(open.empty()) << open.size() << " silent clients still open";
    EXPECT_EQ(ask(talker, "rate pppoe"), "OK 1 2\r\n");
}

// Context switches of a process so far, voluntary and not.
long switches(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    long total = 0;
    for (std::string line; std::getline(status, line);)
        if (line.find("ctxt_switches:") != std::string::npos)
            total += std::stol(line.substr(line.find(':') + 1));
    return total;
}

TEST_F(LinkdService, WithoutAClientItNeverWakesUp)
{
    ASSERT_TRUE(start_service({"--iface", "lo"}, svc)) << svc.err_text;
    for (const bool after_a_client : {false, true}) {
        if (after_a_client) {
            connection c = connect_to(svc.port);
            EXPECT_EQ(ask(c, "status pppoe"), "OK Online\r\n");
            EXPECT_TRUE(ask(c, "rate pppoe"));
            close_connection(c);
        }
        long before = switches(svc.pid); // settled once nothing moves for half a second
        for (const auto t0 = steady::now(); since(t0) < patience_s;) {
            std::this_thread::sleep_for(500ms);
            if (const long now = switches(svc.pid); std::exchange(before, now) == now) break;
        }
        std::this_thread::sleep_for(3s);
        EXPECT_EQ(switches(svc.pid), before) << (after_a_client ? "after a client" : "from start");
    }
    EXPECT_EQ(stop_service(svc, SIGTERM), 0);
}

TEST_F(LinkdService, DemoAnswersAndStopsCleanlyOnSigtermAndSigint)
{
    const std::regex rate_reply("OK (0|[1-9][0-9]*) (0|[1-9][0-9]*)\r\n");
    for (int sig : {SIGTERM, SIGINT}) {
        ASSERT_TRUE(start_service({"--demo", "--seed", "5"}, svc)) << svc.err_text;
        connection c = connect_to(svc.port);
        for (int i = 0; i < 20; ++i) {
            const auto status = ask(c, "status pppoe");
            EXPECT_TRUE(status == "OK Online\r\n" || status == "OK Offline\r\n");
            EXPECT_TRUE(std::regex_match(ask(c, "rate pppoe").value_or(""), rate_reply));
            std::this_thread::sleep_for(20ms);
        }
        EXPECT_EQ(stop_service(svc, sig), 0) << svc.err_text;
        EXPECT_TRUE(wait_closed(c));
    }
}

TEST_F(LinkdService, StartFailuresExitOneWithContextAndReason)
{
    connection c = start_with_script("0 offline\n");
    const std::string taken = "127.0.0.1:" + std::to_string(svc.port);
    const std::string bad = write_file("0 online 1 2\n1 sideways\n");
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "link source: missing"},
        {{"--iface"}, "--iface: missing value"},
        {{"--demo", "--window", "x"}, "--window: "},
        {{"--script", dir + "/absent"}, dir + "/absent: No such file or directory\n"},
        {{"--script", bad}, bad + ":2: expected 'online'"},
        {{"--demo", "--listen", taken}, taken + ": Address already in use\n"},
        // Detached: the starting process waits for the service's word, so
        // the reason reaches its caller the same way, and nothing stays.
        {{"--detach", "--demo", "--listen", taken}, taken + ": Address already in use\n"},
        {{"--detach", "--demo", "--listen", "127.0.0.1:0", "--pidfile", dir + "/absent/pid"},
         dir + "/absent/pid: No such file or directory\n"},
    };
    for (const auto& [args, message] : cases) {
        const run_result r = run_service(args);
        EXPECT_EQ(r.status, 1) << message;
        EXPECT_TRUE(r.err.starts_with("quenlyte-linkd: " + message)) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_TRUE(r.out.empty());
        // The first is unharmed (asked each time, so that it never closes
        // the connection as a silent client's, however slow the starts are).
        EXPECT_EQ(ask(c, "status pppoe"), "OK Offline\r\n") << message;
    }

    const run_result help = run_service({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.starts_with("Usage: quenlyte-linkd")) << help.out;
    EXPECT_NE(help.out.find("AT online IN OUT"), std::string::npos);
    EXPECT_TRUE(help.err.empty());
    const run_result version = run_service({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "quenlyte-linkd " QUENLYTE_VERSION "\n");
    EXPECT_TRUE(version.err.empty());
}

// A field of /proc/PID/stat after the command's closing parenthesis (3: state).
std::string stat_field(pid_t pid, int field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(in, line);
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string value;
    for (int i = 3; i <= field; ++i) rest >> value;
    return value;
}

std::string link_target(const std::string& path)
{
    char buf[4096];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

TEST_F(LinkdService, DetachedItServesOnceTheStarterEndsAndItsPidfileGoesWithIt)
{
    // The detached service is adopted here rather than by init, so that its
    // end can be waited for.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    std::uint16_t port = 5000;
    if (!netns) { // a port free a moment ago
        service probe;
        ASSERT_TRUE(start_service({"--script", write_file("0 offline\n")}, probe));
        port = probe.port;
        stop_service(probe, SIGTERM);
    }
    ASSERT_EQ(::chdir(dir.c_str()), 0); // a relative pidfile names the same file after detaching
    const run_result r =
        run_service({"--script", write_file("0 online 7 8\n"), "--listen",
                     "127.0.0.1:" + std::to_string(port), "--detach", "--pidfile", "linkd.pid"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    // Ready means ready: asked at once, it answers.
    connection c = connect_to(port);
    EXPECT_EQ(ask(c, "rate pppoe"), "OK 7 8\r\n");
    pid_t pid = 0;
    std::ifstream(dir + "/linkd.pid") >> pid;
    ASSERT_GT(pid, 0);
    EXPECT_EQ(stat_field(pid, 6), std::to_string(pid)) << "not the leader of its own session";
    for (const char* fd : {"0", "1", "2"})
        EXPECT_EQ(link_target("/proc/" + std::to_string(pid) + "/fd/" + fd), "/dev/null") << fd;
    EXPECT_EQ(link_target("/proc/" + std::to_string(pid) + "/cwd"), "/");

    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    int status = -1;
    const auto t0 = steady::now();
    while (::waitpid(pid, &status, WNOHANG) == 0 && since(t0) < patience_s)
        std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(::access((dir + "/linkd.pid").c_str(), F_OK), 0)
        << "the pidfile outlived the service";
    EXPECT_TRUE(wait_closed(c));
}

} // namespace
