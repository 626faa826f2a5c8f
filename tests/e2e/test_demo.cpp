// SPDX-License-Identifier: GPL-2.0-or-later
// The one-command demo (./demo) and the live view without a terminal, as a
// user runs them: the script starts the service, the detached daemon and the
// view, and ends all of them. Each test runs in namespaces of its own (see
// harness.h); as child subreaper the test inherits the detached daemon and
// sees whether anything was left running.
#include "daemon_test.h"
#include "harness.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

// The demo link of this seed stays online with inbound traffic for its first
// 15 seconds, so the frames of a short run are known.
const char* const steady_seed = "4";

struct ended_child {
    std::string name; // cppcheck-suppress unusedStructMember ; read by the tests
    int status;       // cppcheck-suppress unusedStructMember
};

// Reaps every child that has ended, with its name; then tells whether any
// is still running.
std::vector<ended_child> reap_children(bool& any_left)
{
    std::vector<ended_child> ended;
    for (;;) {
        siginfo_t info{};
        if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0) break;
        std::ifstream comm("/proc/" + std::to_string(info.si_pid) + "/comm");
        std::string name;
        std::getline(comm, name);
        int status = 0;
        waitpid(info.si_pid, &status, 0);
        ended.push_back({name, WIFEXITED(status) ? WEXITSTATUS(status) : -1});
    }
    errno = 0;
    any_left = !(waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD);
    return ended;
}

// SIGKILL to every child of ours, each by its id.
void kill_children()
{
    for (const pid_t pid : e2e::children_named("")) kill(pid, SIGKILL);
}

class Demo : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (const auto why = e2e::isolate(); !why.empty()) GTEST_SKIP() << why;
    }
    void TearDown() override
    {
        bool any_left = false;
        reap_children(any_left);
        if (any_left) kill_children(); // never leave a stray process behind a failed test
    }
    static e2e::run_result demo(std::vector<std::string> args)
    {
        args.insert(args.begin(),
                    {std::string(QUENLYTE_SOURCE_DIR) + "/demo", "--bin", e2e::bin_dir()});
        return e2e::run("/bin/sh", args);
    }
    static e2e::run_result sim(const std::vector<std::string>& args)
    {
        return e2e::run(e2e::program("quenlyte-sim"), args);
    }
    // The daemon was the only process left to us, and it ended in order.
    static void expect_daemon_ended_in_order(const char* name = "quenlyte5-sim")
    {
        bool any_left = true;
        const auto ended = reap_children(any_left);
        EXPECT_FALSE(any_left) << "a process of the demo is still running";
        ASSERT_EQ(ended.size(), 1U);
        EXPECT_EQ(ended[0].name, name);
        EXPECT_EQ(ended[0].status, 0);
    }
};

// The last frame of plain view output: from its header line to the end.
std::string last_frame(const std::string& out)
{
    const auto header = out.rfind("] o"); // "[*] online" or "[ ] offline"
    return header == std::string::npos || header < 2 ? out : out.substr(header - 2);
}

} // namespace

TEST_F(Demo, StartsShowsTheChainOnlineAndEndsDarkWithNothingLeftRunning)
{
    const auto r = demo({"--for", "2", "--leds", "8", "--seed", steady_seed});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("demo: quenlyte5-sim 512 64 0 8 2 20 (pid "), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("[*] online    port 0x378  8 LEDs\n\nin  > "), std::string::npos)
        << "an online frame with inbound traffic";
    const std::string last = last_frame(r.out);
    EXPECT_NE(last.find("[ ] offline"), std::string::npos) << last;
    EXPECT_NE(last.find("in  . . . .  |  . . . .  out"), std::string::npos) << last;
    EXPECT_NE(last.find(": ended"), std::string::npos) << last;
    expect_daemon_ended_in_order();
}

TEST_F(Demo, WithRealRunsTheRealPortProgramUnderTheEmulator)
{
    if (e2e::under_valgrind())
        GTEST_SKIP() << "under valgrind: a traced program cannot run under valgrind";
    const auto r = demo({"--real", "--for", "2", "--leds", "8", "--seed", steady_seed});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("demo: quenlyte5 512 64 0 8 2 20 under quenlyte-sim run (pid "),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("[*] online    port 0x378  8 LEDs\n\nin  > "), std::string::npos);
    EXPECT_NE(last_frame(r.out).find("in  . . . .  |  . . . .  out"), std::string::npos);
    expect_daemon_ended_in_order("quenlyte5");
}

TEST_F(Demo, WhenPort5000IsTakenItSaysSoAndWhatToDo)
{
    const int listener = e2e::listen_service();
    ASSERT_GE(listener, 0);
    const auto r = demo({"--for", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("demo: 127.0.0.1:5000 is taken by another service"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("./demo --netns"), std::string::npos) << r.err;
    bool any_left = true;
    EXPECT_TRUE(reap_children(any_left).empty());
    EXPECT_FALSE(any_left);
    close(listener);
}

TEST_F(Demo, InAPrivateNetworkNamespaceItRunsBesideAServiceOnPort5000)
{
    const int listener = e2e::listen_service();
    ASSERT_GE(listener, 0);
    const auto r = demo({"--netns", "--for", "1", "--leds", "4", "--mode", "1", "--rate", "5"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("running in a private network namespace"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("quenlyte5-sim 512 64 0 4 1 5"), std::string::npos) << r.err;
    EXPECT_EQ(e2e::accept_client(listener, 0), -1) << "the daemon asked the service outside";
    expect_daemon_ended_in_order();
    close(listener);
}

TEST_F(Demo, RejectsWhatItDoesNotKnowAndExplainsItself)
{
    for (const auto& args : std::vector<std::vector<std::string>>{{"--frobnicate"},
                                                                  {"--leds"},
                                                                  {"--leds", "x"},
                                                                  {"--rate", "-1"},
                                                                  {"--iface", "--netns"}}) {
        const auto r = demo(args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_EQ(r.err.rfind("demo: ", 0), 0U) << r.err;
    }
    const auto help = demo({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--iface [NAME]"), std::string::npos);
}

TEST_F(Demo, LiveViewWithoutATerminalDrawsPlainFramesUntilItsTimeIsUp)
{
    ASSERT_EQ(sim({"reset", "0", "0x80"}).status, 0);
    const auto r = sim({"view", "--for", "0.2", "0", "4"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "[*] online    port 0x378  4 LEDs\n"
                     "\n"
                     "in  . .  |  . .  out\n"
                     "    1 2     3 4\n"
                     "\n"
                     "reg 0x80  frames 0  writes 0  reads 0\n"
                     "\n");
}

TEST_F(Demo, LiveViewRejectsMalformedOptions)
{
    ASSERT_EQ(sim({"reset", "0"}).status, 0);
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"view", "--for", "x", "0", "4"},
                                               {"view", "--for", "-1", "0", "4"},
                                               {"view", "--stop", "0", "0", "4"},
                                               {"view", "--stop", "0", "4"},
                                               {"view", "--once", "--for", "1", "0", "4"},
                                               {"view", "--fast", "0", "4"}}) {
        const auto r = sim(args);
        EXPECT_NE(r.status, 0) << args[1] << " " << args[2];
        EXPECT_FALSE(r.err.empty());
    }
}
