// SPDX-License-Identifier: GPL-2.0-or-later
// The daemon against services that misbehave: replies in pieces, too
// long, malformed or missing, connections that close or never read, and the
// ending signals in every state the daemon waits in. In every case the daemon
// neither dies nor hangs, the chain shows what it should, later replies are
// read in step, and an ending signal still leaves a dark chain and status 0.
// None of this depends on the port: quenlyte5-sim alone (the port path on
// each backend is in test_port.cpp).
#include "daemon_test.h"
#include "harness.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pwd.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using namespace std::string_literals;

using e2e::dark16;
using e2e::rate_line;
using e2e::status_line;
// 8 LEDs a way at 8 KiB/s full scale (counts round up from the half): 2 KiB/s
// in and 4 KiB/s out light 3 and 5, 4 in and 2 out light 5 and 3.
const std::string rates_3_5 = "OK 2048 4096\r\n";
const std::string chain_3_5 = "1110000000011111";
const std::string rates_4_2 = "OK 4096 2048\r\n";
const std::string chain_4_2 = "1111100000000111";
const std::vector<std::string> args16 = {"8", "8", "0", "16", "2", "1000"};

const std::vector<long> pause_calls = {SYS_nanosleep, SYS_clock_nanosleep};

std::string lights(int leds)
{
    const std::string line = e2e::view(0, leds);
    return line.substr(0, line.find(" reg="));
}

// The view without counters once it equals `wanted`, or the last one seen
// after a few seconds.
std::string lights_become(const std::string& wanted)
{
    std::string seen;
    for (int i = 0; i < 100; ++i) {
        seen = lights(16);
        if (seen == wanted) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return seen;
}

std::string printable(const std::string& bytes)
{
    std::string out;
    for (const char c : bytes.substr(0, 40)) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\0')
            out += "\\0";
        else
            out += c;
    }
    return bytes.size() > 40 ? out + "... (" + std::to_string(bytes.size()) + " bytes)" : out;
}

class Faults : public e2e::daemon_test
{
  protected:
    void begin(const std::vector<std::string>& args = args16) { daemon_test::begin(args); }
    // Sends each piece on its own, a little apart, so that the daemon
    // usually reads them one by one (it must give the same either way).
    void answer(const std::vector<std::string>& pieces)
    {
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            e2e::send_bytes(client, pieces[i]);
        }
    }
    // One plain online cycle, then the frame it shows: the exchange is in
    // step when the rates of this cycle are the ones shown.
    void expect_in_step()
    {
        answer({"OK Online\r\n"});
        expect(rate_line);
        answer({rates_4_2});
        expect(status_line);
        EXPECT_EQ(lights(16), "leds=" + chain_4_2 + " online=1") << "out of step";
    }
    // Ends the daemon with `number`: status 0 and a dark chain.
    void stop_cleanly(int number = SIGTERM)
    {
        kill(daemon, number);
        EXPECT_EQ(e2e::wait_exit(daemon), 0) << "signal " << number;
        daemon = -1;
        EXPECT_EQ(lights(16), dark16);
    }
};

} // namespace

TEST_F(Faults, StatusRepliesInPiecesOrOddFormsGiveTheRightStateAndKeepTheExchangeInStep)
{
    const struct {
        std::vector<std::string> pieces;
        bool online;
    } cases[] = {
        {{"OK On", "line\r\n"}, true},
        {{"O", "K", " ", "Onl", "i", "ne", "\r", "\n"}, true},
        {{"OK Online"}, true}, // no line end: taken once nothing more comes
        {{"OK Online\n\r"}, true},
        {{"OK Online\r\r\r\n\n"}, true},
        {{"OK Online\r", "\n"}, true},    // the LF must not spoil the rate reply
        {{"OK Online\0junk\r\n"s}, true}, // a NUL ends the value text
        {{"OK Online \r\n"}, false},
        {{"OKxOnline\r\n"}, false}, // "OK" and no blank is no "OK " prefix
        {{"OK Online\tx\r\n"}, false},
        {{"OK Online\r\nOK\r\n"}, false},
        {{"OK Online\r\n" + rates_3_5}, false},   // two replies in one write are one reply
        {{std::string(8190, 'z') + "OK"}, false}, // exactly the buffer: it fits
        // Longer than the buffer (more such forms: FrameReply in the unit tests)
        {{std::string(100000, 'y') + "\r\n"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(printable(c.pieces[0]));
        ASSERT_NO_FATAL_FAILURE(begin());
        expect(status_line);
        answer(c.pieces);
        if (c.online) {
            expect(rate_line);
            answer({rates_3_5});
            expect(status_line);
            EXPECT_EQ(lights(16), "leds=" + chain_3_5 + " online=1");
        } else {
            // Offline asks no rate: the next command is the status after
            // the pause of a second.
            expect(status_line);
            EXPECT_EQ(lights(16), dark16);
        }
        expect_in_step();
        stop_cleanly();
        hang_up();
    }
}

TEST_F(Faults, RateRepliesInPiecesOrOddFormsShowTheRightFrameAndKeepTheExchangeInStep)
{
    const struct {
        std::vector<std::string> pieces;
        std::string chain;
    } cases[] = {
        {{"OK 2048", " 4096\r\n"}, chain_3_5},
        {{"OK 20", "48 40", "96", "\r\n"}, chain_3_5},
        {{"OK 2048 4096"}, chain_3_5},
        {{"OK 2048 4096\r", "\n"}, chain_3_5},
        {{"OK 2048 4096\n\r\n\r"}, chain_3_5},
        {{"OK +2048 +4096\r\n"}, chain_3_5},
        {{"OK \t2048\t\t4096\r\n"}, chain_3_5},
        {{"OK 2048 4096 and more\r\n"}, chain_3_5},
        {{"OK 2048 4096junk\r\n"}, chain_3_5},
        {{"OK 2048 4096\r\nOK 1 1\r\n"}, chain_3_5}, // two replies in one write
        {{"OK 2048junk 4096\r\n"}, "0000000000000000"},
        {{"OKx2048 4096\r\n"}, "0000000000000000"},
        {{"OK 0x800 4096\r\n"}, "0000000000000000"},
        {{"OK 2048\0 4096\r\n"s}, "0000000000000000"},
        {{"OK -2048 4096\r\n"}, "0000000000011111"},
        {{"OK 2147483647 -2147483648\r\n"}, "1111111100000000"},
        {{"OK 99999999999999999999 4096\r\n"}, "0000000000000000"},
        {{"OK 2048 -2147483649\r\n"}, "0000000000000000"},
        {{"OK 2048\r\n"}, "0000000000000000"},
        {{"OK " + std::string(9000, '1') + " 1\r\n"}, "0000000000000000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(printable(c.pieces[0]));
        ASSERT_NO_FATAL_FAILURE(begin());
        expect(status_line);
        answer({"OK Online\r\n"});
        expect(rate_line);
        answer(c.pieces);
        expect(status_line);
        EXPECT_EQ(lights(16), "leds=" + c.chain + " online=1");
        expect_in_step();
        // The same reply after a good one: nothing of the good one stays.
        answer({"OK Online\r\n"});
        expect(rate_line);
        answer(c.pieces);
        expect(status_line);
        EXPECT_EQ(lights(16), "leds=" + c.chain + " online=1") << "after a good reply";
        stop_cleanly();
        hang_up();
    }
}

TEST_F(Faults, AServiceThatClosesOrResetsTheConnectionLeavesTheChainDarkForGood)
{
    enum when { after_accepting, before_status_reply, mid_status_reply, before_rate_reply };
    const struct {
        when at;
        bool reset; // a reset (RST) instead of an orderly close
    } cases[] = {
        {after_accepting, false},   {before_status_reply, false}, {mid_status_reply, false},
        {before_rate_reply, false}, {before_status_reply, true},  {before_rate_reply, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("case " + std::to_string(c.at) + (c.reset ? " with a reset" : ""));
        ASSERT_NO_FATAL_FAILURE(begin());
        // One online frame first, so that going dark is seen.
        expect(status_line);
        answer({"OK Online\r\n"});
        expect(rate_line);
        answer({rates_3_5});
        if (c.at != after_accepting) expect(status_line);
        if (c.at == mid_status_reply) answer({"OK Onl"});
        if (c.at == before_rate_reply) {
            answer({"OK Online\r\n"});
            expect(rate_line);
        }
        if (c.reset) {
            const linger abort_on_close{1, 0};
            setsockopt(client, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
        }
        hang_up();
        EXPECT_EQ(lights_become(dark16), dark16);
        EXPECT_EQ(e2e::accept_client(listener, 1500), -1) << "it reconnected";
        EXPECT_TRUE(e2e::alive(daemon));
        stop_cleanly();
    }
}

TEST_F(Faults, EachEndingSignalEndsTheDaemonInOrderInEveryStateItWaitsIn)
{
    enum state {
        pausing_online, // after an online frame
        pausing_offline,
        waiting_for_status,   // before any frame
        reading_after_online, // a service that stopped answering, the chain lit
        waiting_for_rate,
        joining_pieces,
    };
    for (const int number : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) {
        for (const state s : {pausing_online, pausing_offline, waiting_for_status,
                              reading_after_online, waiting_for_rate, joining_pieces}) {
            SCOPED_TRACE("signal " + std::to_string(number) + " state " + std::to_string(s));
            // One update a second: a pause after the signal's cycle would be
            // seen (a prompt second status once online while reading).
            const char* rate = s == reading_after_online ? "1000" : "1";
            ASSERT_NO_FATAL_FAILURE(begin({"8", "8", "0", "16", "2", rate}));
            expect(status_line);
            if (s == pausing_online || s == reading_after_online) {
                answer({"OK Online\r\n"});
                expect(rate_line);
                answer({rates_3_5});
                if (s == pausing_online) {
                    ASSERT_TRUE(e2e::wait_blocked_in(daemon, pause_calls));
                    EXPECT_EQ(lights(16), "leds=" + chain_3_5 + " online=1");
                    stop_cleanly(number);
                    hang_up();
                    continue;
                }
                expect(status_line);
                EXPECT_EQ(lights(16), "leds=" + chain_3_5 + " online=1");
            }
            if (s == pausing_offline) {
                answer({"OK Offline\r\n"});
                ASSERT_TRUE(e2e::wait_blocked_in(daemon, pause_calls));
                stop_cleanly(number);
                hang_up();
                continue;
            }
            if (s == waiting_for_status || s == reading_after_online) {
                ASSERT_TRUE(e2e::wait_blocked_in(daemon, {SYS_read}));
            } else if (s == waiting_for_rate) {
                answer({"OK Online\r\n"});
                expect(rate_line);
                ASSERT_TRUE(e2e::wait_blocked_in(daemon, {SYS_read}));
            } else {
                // The rest of the reply never comes; the signal finds the
                // daemon joining pieces, or pausing once it gave up on them.
                answer({"OK On"});
                ASSERT_TRUE(e2e::wait_blocked_in(
                    daemon, {SYS_poll, SYS_ppoll, SYS_nanosleep, SYS_clock_nanosleep}));
            }
            // The cycle that the signal cut short is the last: no pause after
            // it. The read must not be restarted.
            kill(daemon, number);
            bool paused = false;
            while (!paused && e2e::alive(daemon)) {
                std::ifstream syscall("/proc/" + std::to_string(daemon) + "/syscall");
                long call = -1;
                paused = syscall >> call && (call == SYS_nanosleep || call == SYS_clock_nanosleep);
            }
            EXPECT_FALSE(paused && s != joining_pieces) << "it paused once more after the signal";
            EXPECT_EQ(e2e::wait_exit(daemon), 0);
            daemon = -1;
            EXPECT_EQ(lights(16), dark16);
            hang_up();
        }
    }
}

TEST_F(Faults, AnEndingSignalWhileStillConnectingEndsTheDaemonBeforeItTakesThePort)
{
    // A full accept queue drops the daemon's connection request, so that it
    // waits in connect(), before it takes the port and installs its handler:
    // the signal's default action ends it there, the port untouched.
    ASSERT_EQ(listen(listener, 0), 0);
    const int filler = e2e::connect_service();
    ASSERT_GE(filler, 0);

    for (const int number : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) {
        SCOPED_TRACE(number);
        const auto s = launch(args16);
        ASSERT_EQ(s.starter_status, 0);
        ASSERT_GT(s.daemon, 0);
        daemon = s.daemon;
        ASSERT_TRUE(e2e::wait_blocked_in(daemon, {SYS_connect}));
        kill(daemon, number);
        int status = 0;
        for (int waited_ms = 0; waitpid(daemon, &status, WNOHANG) == 0 && waited_ms < 10000;
             ++waited_ms)
            usleep(1000);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == number) << "status " << status;
        daemon = -1;
    }
    EXPECT_EQ(e2e::view(0, 16).rfind("no simulated port", 0), 0U) << "the port was taken";
    EXPECT_EQ(e2e::syslog_line("quenlyte", 200), "") << "an orderly end logged a failure";
    close(filler);
}

TEST_F(Faults, AServiceThatAnswersButNeverReadsBlocksTheDaemonOnlyOnceTheBuffersFill)
{
    // The service answers each command as soon as the daemon has written it
    // (seen in the daemon's write count), but reads none of them. The
    // daemon's writes must go through until the buffers on both ends are
    // full; then it waits in write(), from which a signal still ends it in
    // order. Small TCP buffers in this test's network namespace make them
    // fill within some hundred cycles instead of some hundred thousand (the
    // harness makes /proc/sys/net writable in the test's mount namespace
    // where it may, as a container mounts /proc/sys read-only).
    {
        std::ofstream sysctl("/proc/sys/net/ipv4/tcp_wmem");
        if (!sysctl.is_open())
            GTEST_SKIP() << "cannot make the TCP send buffers small: /proc/sys/net/ipv4/tcp_wmem: "
                         << std::strerror(errno)
                         << " (read-only /proc/sys, and no mount namespace could make it writable)";
        sysctl << "4096 4096 4096\n";
        ASSERT_TRUE(sysctl.flush());
    }
    const int small_buffer_bytes = 4096;
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small_buffer_bytes, sizeof small_buffer_bytes);
    ASSERT_NO_FATAL_FAILURE(begin({"8", "8", "0", "16", "2", "1000000"}));
    const int on = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    // Bytes the daemon has written: what waits unread at the service plus
    // what its own socket still holds (both columns of /proc/net/tcp).
    const auto bytes_written = [] {
        std::ifstream tcp("/proc/net/tcp");
        std::string line;
        std::getline(tcp, line);
        long long total = 0;
        while (std::getline(tcp, line)) {
            char local[64] = {};
            char remote[64] = {};
            unsigned state = 0;
            unsigned long long tx = 0;
            unsigned long long rx = 0;
            if (std::sscanf(line.c_str(), "%*d: %63s %63s %x %llx:%llx", local, remote, &state, &tx,
                            &rx) != 5)
                continue;
            const std::string l = local;
            const std::string r = remote;
            if (l.ends_with(":1388") && !r.ends_with(":0000")) total += static_cast<long long>(rx);
            if (r.ends_with(":1388")) total += static_cast<long long>(tx);
        }
        return total;
    };
    // Commands alternate, status then rate, once the link is online.
    const auto commands_in = [&](long long bytes) {
        long long count = 0;
        for (long long at = 0; at < bytes; ++count)
            at += static_cast<long long>(count % 2 == 0 ? status_line.size() : rate_line.size());
        return count;
    };
    long long answered = 0;
    bool blocked_in_write = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!blocked_in_write && std::chrono::steady_clock::now() < deadline) {
        if (commands_in(bytes_written()) > answered) {
            e2e::send_bytes(client, answered % 2 == 0 ? "OK Online\r\n" : rates_3_5);
            ++answered;
            continue;
        }
        std::ifstream syscall("/proc/" + std::to_string(daemon) + "/syscall");
        long number = -1;
        if (syscall >> number && number == SYS_write)
            blocked_in_write = e2e::wait_blocked_in(daemon, {SYS_write}, 100) &&
                               commands_in(bytes_written()) == answered;
    }
    ASSERT_TRUE(blocked_in_write) << "answered " << answered << " commands";
    EXPECT_GT(answered, 100) << "a write blocked before the buffers could have filled";
    RecordProperty("commands_before_the_write_blocked", std::to_string(answered));
    int queued = 0;
    ioctl(client, FIONREAD, &queued);
    std::printf("the daemon wrote %lld commands (%d bytes unread at the service) before a write "
                "blocked\n",
                answered, queued);
    stop_cleanly();
}

namespace
{
class StartUp : public e2e::daemon_test
{
};
} // namespace

TEST_F(StartUp, AFailedForkIsReportedOnStandardErrorWithStatusOne)
{
    // With RLIMIT_NPROC at 0 every fork of a user other than root fails with
    // EAGAIN, as that user already has a process. Root is exempt, so a test
    // run as root drops to nobody first; a probe fork checks that the limit
    // binds before the daemon runs. The fork comes before any port access.
    if (e2e::under_valgrind())
        GTEST_SKIP()
            << "valgrind 3.19 itself dies in a program whose fork failed (a plain C program "
               "that calls strerror after a failed fork does too)";
    const std::string path = e2e::program("quenlyte5-sim");
    const passwd* const nobody = getpwnam("nobody");
    const uid_t nobody_uid = nobody != nullptr ? nobody->pw_uid : 65534;
    const gid_t nobody_gid = nobody != nullptr ? nobody->pw_gid : 65534;
    // LeakSanitizer's thread at exit would need a process of its own.
    std::vector<std::string> env_texts = {"ASAN_OPTIONS=detect_leaks=0"};
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "ASAN_OPTIONS=", 13) != 0) env_texts.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& text : env_texts) envp.push_back(text.data());
    envp.push_back(nullptr);
    std::vector<std::string> arg_texts = {path, "8", "8", "0", "16", "2", "10"};
    std::vector<char*> argv;
    for (auto& text : arg_texts) argv.push_back(text.data());
    argv.push_back(nullptr);

    enum : int { no_user = 120, no_limit = 121, limit_not_binding = 122, no_exec = 123 };
    int err[2];
    ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(err[1], 2);
        if (geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(nobody_gid) != 0 || setuid(nobody_uid) != 0))
            _exit(no_user);
        const rlimit none{0, 0};
        if (setrlimit(RLIMIT_NPROC, &none) != 0) _exit(no_limit);
        const pid_t probe = fork();
        if (probe == 0) _exit(0);
        if (probe > 0) {
            waitpid(probe, nullptr, 0);
            _exit(limit_not_binding);
        }
        execve(path.c_str(), argv.data(), envp.data());
        _exit(no_exec);
    }
    close(err[1]);
    std::string text;
    char chunk[512];
    for (ssize_t got; (got = read(err[0], chunk, sizeof chunk)) > 0;)
        text.append(chunk, static_cast<std::size_t>(got));
    close(err[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    switch (WEXITSTATUS(status)) {
    case no_user:
        GTEST_SKIP() << "cannot become nobody (uid " << nobody_uid << ") here";
    case no_limit:
        GTEST_SKIP() << "cannot set RLIMIT_NPROC here";
    case limit_not_binding:
        GTEST_SKIP() << "RLIMIT_NPROC does not stop forks here (a capability left?)";
    default:
        break;
    }
    EXPECT_EQ(WEXITSTATUS(status), 1) << text;
    EXPECT_EQ(text, "quenlyte5-sim: fork: " + std::string(std::strerror(EAGAIN)) + "\n");
}
