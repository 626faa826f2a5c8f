// SPDX-License-Identifier: GPL-2.0-or-later
// The fixture of the end-to-end daemon tests: private namespaces, a test
// service on 127.0.0.1:5000, and the daemon started as a shell would. The
// protocol, argument and framing cases run on quenlyte5-sim alone
// (daemon_test): the three programs share that code and differ only in the
// port. The port cases run on each of the three backends (backend_test,
// instantiated as Backends/...): quenlyte5-sim, and the real-port programs
// quenlyte5 and quenlyte5-ppdev as they ship, under quenlyte-sim run.
#pragma once

#include "harness.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <ostream>
#include <string>
#include <unistd.h>
#include <vector>

namespace e2e
{

inline const std::string status_line = "status pppoe\r\n";
inline const std::string rate_line = "rate pppoe\r\n";

// The register accesses of one 4-LED online frame showing the stages 1100
// (shifted 0, 0, 1, 1), from a register at 0x00: r<read> w<written>.
inline const std::string frame_1100 =
    "r00 w00 r00 w82 r82 w80 " // 0: data low, clock up, clock down
    "r80 w80 r80 w82 r82 w80 " // 0
    "r80 w81 r81 w83 r83 w80 " // 1: data up, clock up, both down
    "r80 w81 r81 w83 r83 w80 " // 1
    "r80 w84 r84 w80 ";        // latch up and down

// True under the valgrind test preset (tests/valgrind.sh), which runs the
// programs a test starts under valgrind.
inline bool under_valgrind()
{
    const char* logs = std::getenv("QUENLYTE_VALGRIND_LOGS");
    return logs != nullptr && *logs != '\0';
}

struct backend {
    const char* name;    // of the test instance
    const char* program; // in bin/
    bool emulated;       // run under quenlyte-sim run
};
inline const backend backends[] = {
    {"sim", "quenlyte5-sim", false},
    {"raw", "quenlyte5", true},
    {"ppdev", "quenlyte5-ppdev", true},
};

class daemon_test : public ::testing::Test
{
  protected:
    std::string daemon_program = "quenlyte5-sim"; // the build under test
    bool emulated = false;                        // under quenlyte-sim run
    int listener = -1;
    int client = -1;
    pid_t daemon = -1;
    pid_t emulator = -1;

    void SetUp() override
    {
        if (emulated && under_valgrind())
            GTEST_SKIP() << "under valgrind: a traced program cannot run under valgrind; the "
                            "emulated backends run in the dev, san and release builds";
        if (const auto why = isolate(); !why.empty()) GTEST_SKIP() << why;
        listener = listen_service();
        ASSERT_GE(listener, 0) << "the test service cannot listen on 127.0.0.1:5000";
    }
    void TearDown() override
    {
        if (daemon > 0 && alive(daemon)) {
            kill(daemon, SIGKILL);
            wait_exit(daemon);
        }
        if (emulator > 0) wait_exit(emulator);
        hang_up();
        if (listener >= 0) close(listener);
    }

    // Starts the daemon as a shell would, under the emulator for an emulated
    // backend.
    started launch(const std::vector<std::string>& args)
    {
        emulator_status(); // the previous case's emulator ended with its daemon
        const std::string path = program(daemon_program.c_str());
        const auto s = emulated ? start_emulated(path, args) : start(path, args);
        emulator = s.emulator;
        return s;
    }
    // Runs the program to its end (one that does not detach).
    run_result run_daemon(std::vector<std::string> args) const
    {
        if (!emulated) return run(program(daemon_program.c_str()), args);
        args.insert(args.begin(), {"run", "--", program(daemon_program.c_str())});
        return run(program("quenlyte-sim"), args);
    }
    // The emulator's exit status once it has ended (it ends with the daemon).
    int emulator_status()
    {
        const int status = emulator > 0 ? wait_exit(emulator) : -1;
        emulator = -1;
        return status;
    }

    // Starts the daemon; the starting process must end with 0 and leave the
    // daemon connected to the test service.
    void begin(const std::vector<std::string>& args)
    {
        const auto s = launch(args);
        ASSERT_TRUE(emulated || s.starter_status == 0) << "starter status " << s.starter_status;
        ASSERT_GT(s.daemon, 0) << "no detached daemon " << emulator_output();
        daemon = s.daemon;
        client = accept_client(listener);
        ASSERT_GE(client, 0) << "the daemon did not connect";
    }
    void hang_up()
    {
        if (client >= 0) close(client);
        client = -1;
    }
    void expect(const std::string& line) { ASSERT_EQ(read_exact(client, line.size()), line); }
    void answer(const std::string& bytes) { send_bytes(client, bytes); }

    // One online cycle up to the rate reply; waiting for the next status
    // command then keeps the frame on the chain while the test looks.
    void online_cycle(const std::string& rate_reply)
    {
        expect(status_line);
        answer("OK Online\r\n");
        expect(rate_line);
        answer(rate_reply);
    }
    // Ends the daemon with `signal_number` and hangs up; its exit status.
    // Under the emulator, which ends with it, that is the emulator's too.
    int stop(int signal_number)
    {
        kill(daemon, signal_number);
        const int status = wait_exit(daemon);
        daemon = -1;
        hang_up();
        if (emulator > 0 && status >= 0) {
            EXPECT_EQ(emulator_status(), status) << "the emulator's exit status";
        }
        return status;
    }
};

// The port cases, once per backend.
class backend_test : public daemon_test, public ::testing::WithParamInterface<backend>
{
  protected:
    void SetUp() override
    {
        daemon_program = GetParam().program;
        emulated = GetParam().emulated;
        daemon_test::SetUp();
    }
};
inline void PrintTo(const backend& b, std::ostream* out)
{
    *out << (b.emulated ? "quenlyte-sim run -- " : "") << b.program;
}
inline std::string backend_name(const ::testing::TestParamInfo<backend>& info)
{
    return info.param.name;
}

} // namespace e2e
