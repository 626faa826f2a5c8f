// SPDX-License-Identifier: GPL-2.0-or-later
// Starting the built quenlyte-linkd as a user would, and talking to it.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

inline constexpr double reply_timeout_s = 10.0; // generous: machines are shared and noisy
inline constexpr double patience_s = 30.0;      // the longest a test waits for a state

// Seconds from `t0` to now.
inline double since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The quenlyte-linkd under test: the one built beside the tests, or the one
// in $QUENLYTE_TEST_BIN_DIR when that is set (another build's programs, e.g.
// the static build's).
std::string linkd_path();

// Moves this process into a fresh network namespace with lo up (inside a
// user namespace of its own where it may not administer a network itself),
// so the service may take port 5000 beside other tests. Returns an empty
// text, or what was refused; the process then stays where it was and the
// service takes a free port.
std::string enter_private_netns();

struct service {
    pid_t pid = -1;
    int err_fd = -1;        // its stderr
    std::uint16_t port = 0; // from its "ADDR:PORT: listening" line
    std::string err_text;   // stderr read so far
};

// Starts the service and waits for its listening line. Outside a private
// namespace it adds --listen 127.0.0.1:0 (a free port) unless `args` has --listen.
bool start_service(const std::vector<std::string>& args, service& out);

// Sends `sig`, waits; returns the exit status, 128+signal, or -1 on time-out.
int stop_service(service& s, int sig);

struct run_result {
    int status = -1;
    std::string out, err;
};
// Runs the service to its exit.
run_result run_service(const std::vector<std::string>& args);

struct connection {
    int fd = -1;
    std::string buffered; // received, not yet returned
};
connection connect_to(std::uint16_t port);
void close_connection(connection& c);
bool send_all(const connection& c, std::string_view bytes);
// One reply through CR LF; nullopt on time-out or close.
std::optional<std::string> read_reply(connection& c, double timeout_s = reply_timeout_s);
// Sends `command` + LF, reads one reply.
std::optional<std::string> ask(connection& c, std::string_view command);
// True when the peer closes or resets the connection in time.
bool wait_closed(connection& c, double timeout_s = reply_timeout_s);

inline bool shell(const std::string& command)
{
    return std::system(command.c_str()) == 0;
}
