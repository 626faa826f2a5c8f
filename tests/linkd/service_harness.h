// Starting the built quenlyte-linkd as a user would, and talking to it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

inline constexpr double reply_timeout_s = 10.0; // generous: machines are shared and noisy

// Moves this test process into a fresh network namespace with lo up, so the
// service can take port 5000 without meeting other tests. False if not allowed.
bool enter_private_netns();

struct service {
    pid_t pid = -1;
    int err_fd = -1;        // the service's stderr
    std::uint16_t port = 0; // taken from its "listening" line
    std::string err_text;   // stderr read so far
};

// Starts the service with `args`. Outside a private namespace (see
// private_netns_entered) it adds --listen 127.0.0.1:0 unless `args` has
// --listen. Waits for its "listening" line.
bool start_service(const std::vector<std::string>& args, service& out);

// Sends `sig` and waits for the exit; returns the exit status, or 128+signal
// if killed by one, or -1 on time-out (then the service is killed).
int stop_service(service& s, int sig);

bool private_netns_entered();

struct run_result {
    int status = -1; // exit status, -1 if it did not exit by itself
    std::string out, err;
};

// Runs the service to its exit (killed after `timeout_s`).
run_result run_service(const std::vector<std::string>& args, double timeout_s);

// A client connection with its unread bytes.
struct connection {
    int fd = -1;
    std::string buffered;
};

// Connects to 127.0.0.1:port; fd -1 on failure.
connection connect_to(std::uint16_t port);
void close_connection(connection& c);
bool send_all(const connection& c, std::string_view bytes);

// Reads one reply (through CR LF); nullopt on time-out or close.
std::optional<std::string> read_reply(connection& c, double timeout_s = reply_timeout_s);

// Sends `command` + LF and reads one reply.
std::optional<std::string> ask(connection& c, std::string_view command);

// True when the peer closes (or resets) the connection within `timeout_s`.
bool wait_closed(connection& c, double timeout_s);

// Runs a shell command; true if it exits 0.
bool shell(const std::string& command);
