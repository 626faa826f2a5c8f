// The fixture of the end-to-end daemon tests: private namespaces, a test
// service on 127.0.0.1:5000, and the daemon started as a shell would.
#pragma once

#include "harness.h"

#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace e2e {

inline const std::string status_line = "status pppoe\r\n";
inline const std::string rate_line = "rate pppoe\r\n";

class daemon_test : public ::testing::Test {
protected:
    std::string daemon_program = "quenlyte5-sim"; // the build under test
    int listener = -1;
    int client = -1;
    pid_t daemon = -1;

    void SetUp() override
    {
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
        hang_up();
        if (listener >= 0) close(listener);
    }

    // Starts the daemon; the starting process must end with 0 and leave the
    // daemon connected to the test service.
    void begin(const std::vector<std::string>& args)
    {
        const auto s = start(program(daemon_program.c_str()), args);
        ASSERT_EQ(s.starter_status, 0);
        ASSERT_GT(s.daemon, 0) << "no detached daemon";
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
    int stop(int signal_number)
    {
        kill(daemon, signal_number);
        const int status = wait_exit(daemon);
        daemon = -1;
        hang_up();
        return status;
    }
};

} // namespace e2e
