// SPDX-License-Identifier: GPL-2.0-or-later
// quenlyte-linkd under a crowd of hostile local clients: thousands of silent
// connections and connections that stop halfway through a line hold more
// places than the service has, and then the daemon (quenlyte5-sim) starts
// and must go online and stay online. In private namespaces (see
// tests/lib/harness.h), so port 5000 and the simulated port are the test's own.
#include "harness.h"
#include "service_harness.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace
{

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

constexpr std::size_t idle_wanted = 4000; // silent connections
constexpr std::size_t half_wanted = 100;  // connections that send half a line
constexpr rlim_t own_fds_margin = 64;     // descriptors the test keeps for itself
constexpr double load_patience_s = 60.0;  // generous: valgrind and a busy machine
constexpr int leds = 16;

// How many of `fds` the service has closed (end of stream or reset seen).
std::size_t closed_by_service(const std::vector<int>& fds)
{
    std::vector<pollfd> polled;
    for (int fd : fds) polled.push_back(pollfd{fd, POLLIN | POLLRDHUP, 0});
    ::poll(polled.data(), polled.size(), 0);
    std::size_t closed = 0;
    for (const pollfd& p : polled) closed += (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
    return closed;
}

std::size_t counter(const std::string& view_line, const std::string& name)
{
    const auto at = view_line.find(" " + name + "=");
    return at == std::string::npos
               ? 0
               : std::strtoul(view_line.c_str() + at + name.size() + 2, nullptr, 10);
}

bool under_valgrind()
{
    const char* logs = std::getenv("QUENLYTE_VALGRIND_LOGS");
    return logs != nullptr && *logs != '\0';
}

class LinkdLoad : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (const auto why = e2e::isolate(); !why.empty()) GTEST_SKIP() << why;
        char dir_template[] = "/tmp/linkd-load-XXXXXX";
        ASSERT_NE(::mkdtemp(dir_template), nullptr);
        dir = dir_template;
    }
    void TearDown() override
    {
        for (pid_t pid : {daemon, linkd})
            if (pid > 0) {
                ::kill(pid, SIGKILL);
                e2e::wait_exit(pid);
            }
        for (int fd : hostile) ::close(fd);
        if (!dir.empty()) {
            std::remove((dir + "/link").c_str());
            ::rmdir(dir.c_str());
        }
    }
    // Starts the service with the descriptor limits given (it raises the soft
    // one itself; 0: as they are) and waits until it takes connections.
    void start_linkd(rlim_t soft, rlim_t hard, const std::vector<std::string>& options)
    {
        std::vector<std::string> args{e2e::program("quenlyte-linkd")};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        // The limits are set from here, between fork and exec: valgrind lets
        // no process change its own hard limit, but lets it change another's.
        int go[2];
        ASSERT_EQ(::pipe2(go, O_CLOEXEC), 0);
        linkd = ::fork();
        if (linkd == 0) {
            char c = 0;
            if (::read(go[0], &c, 1) != 1) ::_exit(126);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(go[0]);
        const rlimit limit{soft, hard};
        const bool limited =
            linkd > 0 && (soft == 0 || ::prlimit(linkd, RLIMIT_NOFILE, &limit, nullptr) == 0);
        EXPECT_EQ(::write(go[1], "g", 1), 1);
        ::close(go[1]);
        ASSERT_TRUE(limited) << std::strerror(errno);
        for (const auto t0 = steady::now(); since(t0) < load_patience_s;
             std::this_thread::sleep_for(20ms)) {
            if (const int probe = e2e::connect_service(); probe >= 0) {
                ::close(probe);
                return;
            }
        }
        FAIL() << "quenlyte-linkd does not take connections";
    }
    std::string dir;
    pid_t linkd = -1, daemon = -1;
    std::vector<int> hostile;
};

TEST_F(LinkdLoad, TheDaemonGoesOnlineAndStaysOnlineBesideThousandsOfHostileClients)
{
    // As many hostile connections as this process may hold: all of them,
    // unless its descriptor limit is lower. Under valgrind a quarter of them
    // (the service under valgrind is slow to take them in) and the service's
    // limits are left as they are: valgrind lets no program change them, and
    // crashes when they are changed from outside.
    const bool valgrind = under_valgrind();
    rlimit own{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &own), 0);
    own.rlim_cur = own.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &own);
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &own), 0);
    const std::size_t room = own.rlim_cur > 2 * own_fds_margin ? own.rlim_cur - own_fds_margin : 0;
    const std::size_t wanted = (idle_wanted + half_wanted) / (valgrind ? 4 : 1);
    const std::size_t total = std::min(wanted, room);
    const std::size_t half = total * half_wanted / (idle_wanted + half_wanted);
    if (total < idle_wanted + half_wanted)
        std::cout << (valgrind ? "under valgrind"
                               : "descriptor limit " + std::to_string(own.rlim_cur))
                  << ": " << total - half << " idle and " << half << " half-line connections\n";
    ASSERT_GT(total, 100u);

    // Natively, the service has places for about half of them once it has
    // raised its soft limit (an eighth of them) to the hard one; the rest
    // take places over.
    const rlim_t hard = total / 2;
    std::ofstream(dir + "/link") << "0 online 400000 40000\n";
    ASSERT_NO_FATAL_FAILURE(start_linkd(valgrind ? 0 : total / 8, valgrind ? 0 : hard,
                                        {"--script", dir + "/link", "--idle", "600"}));
    for (std::size_t i = 0; i < total; ++i) {
        const int fd = e2e::connect_service();
        ASSERT_GE(fd, 0) << "connection " << i;
        hostile.push_back(fd);
        if (i >= total - half) {
            ASSERT_EQ(::send(fd, "status pp", 9, MSG_NOSIGNAL), 9);
        }
    }
    // Once the service has taken them all in, the count of those it closed stays put.
    std::size_t closed = 0, before = 1;
    const std::size_t beyond = valgrind ? 0 : total - hard;
    for (const auto t0 = steady::now();
         since(t0) < load_patience_s && (closed < beyond || closed != before);
         std::this_thread::sleep_for(500ms))
        before = std::exchange(closed, closed_by_service(hostile));
    EXPECT_GE(closed, beyond) << "more clients than the descriptor limit allows";
    if (!valgrind) {
        EXPECT_GT(total - closed, total / 8) << "the soft descriptor limit was not raised";
    }

    const auto started =
        e2e::start(e2e::program("quenlyte5-sim"), {"512", "64", "0", "16", "2", "20"});
    ASSERT_EQ(started.starter_status, 0);
    daemon = started.daemon;
    ASSERT_GT(daemon, 0);
    std::string view;
    for (const auto t0 = steady::now(); since(t0) < load_patience_s;
         std::this_thread::sleep_for(100ms))
        if ((view = e2e::view(0, leds)).find(" online=1 ") != std::string::npos) break;
    ASSERT_NE(view.find(" online=1 "), std::string::npos) << view;

    // And it stays online, frame after frame, while the crowd holds on.
    for (int look = 0; look < 3; ++look) {
        const std::size_t frames = counter(view, "frames");
        for (const auto t0 = steady::now(); since(t0) < load_patience_s;
             std::this_thread::sleep_for(200ms))
            if (counter(view = e2e::view(0, leds), "frames") > frames + 10) break;
        EXPECT_GT(counter(view, "frames"), frames + 10) << view;
        EXPECT_NE(view.find(" online=1 "), std::string::npos) << view;
    }
    EXPECT_EQ(closed_by_service(hostile), closed + (valgrind ? 0 : 1))
        << "the daemon took exactly one place";
    EXPECT_TRUE(e2e::alive(daemon));

    ::kill(daemon, SIGTERM);
    EXPECT_EQ(e2e::wait_exit(daemon), 0);
    daemon = -1;
    ::kill(linkd, SIGTERM);
    EXPECT_EQ(e2e::wait_exit(linkd), 0);
    linkd = -1;
}

} // namespace
