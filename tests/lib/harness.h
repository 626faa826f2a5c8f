// SPDX-License-Identifier: GPL-2.0-or-later
// The end-to-end harness: each test runs in network and mount namespaces of
// its own (inside a user namespace of its own where it may not administer a
// network itself), with a private loopback (so port 5000 is its own), a
// private /dev (its own /dev/shm for the simulated ports, and a /dev/log
// socket that catches the daemon's system-log messages), and as a child
// subreaper, so that the detached daemon becomes its child and can be
// waited for.
#pragma once

#include <netinet/in.h>
#include <string>
#include <sys/types.h>
#include <vector>

namespace e2e
{

// Sets up the namespaces; returns an empty text, or what the kernel or the
// container refused (the test then skips, and this process is left where it
// was).
std::string isolate();

// The path of a built program in bin/, or in $QUENLYTE_TEST_BIN_DIR when
// that is set (the release build's programs, say).
std::string program(const char* name);

// The folder that program() finds the programs in.
std::string bin_dir();

struct run_result {
    int status = -1; // exit status, or -1 when it did not exit normally
    std::string out;
    std::string err;
};

// Runs a program in the foreground to its end, capturing its output.
run_result run(const std::string& path, const std::vector<std::string>& args);

struct started {
    int starter_status = -1; // exit status of the process that was started
    pid_t daemon = -1;       // the detached daemon, now our child; -1 if none
    pid_t emulator = -1;     // quenlyte-sim run, still tracing it; -1 if none
};

// Starts a daemon program as a shell would and waits for the starting
// process; finds the detached child it leaves behind.
started start(const std::string& path, const std::vector<std::string>& args,
              bool drop_rawio = false);

// Starts a daemon program under `quenlyte-sim run [options] --`, which stays
// in the foreground while it traces the program; finds the detached daemon
// once it has become our child. Unknown, the starter's status is left -1;
// when the emulator ends first, it is the emulator's. Its output goes to
// emulator_output().
started start_emulated(const std::string& path, const std::vector<std::string>& args,
                       const std::vector<std::string>& options = {});

// What quenlyte-sim run wrote to standard output and error so far.
std::string emulator_output();

// Waits up to `timeout_ms` for a child to exit; its exit status, or -1 when
// it did not exit normally or in time (it is then killed).
int wait_exit(pid_t pid, int timeout_ms = 10000);

// Waits until `pid` sleeps in a system call (a read or a pause), so that a
// signal sent next finds it there. False if it never does.
bool wait_blocked(pid_t pid, int timeout_ms = 10000);

// Waits until `pid` sleeps in one of the system calls `numbers` (SYS_read,
// SYS_connect, ...). False if it never does.
bool wait_blocked_in(pid_t pid, const std::vector<long>& numbers, int timeout_ms = 10000);

// True while `pid` is alive and not a zombie.
bool alive(pid_t pid);

// Our children whose process name starts with `comm_prefix` (every child for
// ""). Under valgrind the name is that of the program valgrind runs.
std::vector<pid_t> children_named(const char* comm_prefix);

// The service's address, 127.0.0.1 and service_port (link_protocol.h).
sockaddr_in service_address();
// A connection to the service's address; -1 when none is made.
int connect_service();
// A listening test service on the service's address.
int listen_service();
// Accepts one client within the timeout; -1 if none came.
int accept_client(int listener, int timeout_ms = 10000);
// Reads exactly `expected.size()` bytes within the timeout and returns them.
std::string read_exact(int fd, std::size_t count, int timeout_ms = 10000);
// Writes all of `bytes`.
void send_bytes(int fd, const std::string& bytes);
// True when nothing arrives on `fd` for `ms` milliseconds.
bool quiet_for(int fd, int ms);

// The next system-log message that contains `text`, within the timeout, or
// an empty text.
std::string syslog_line(const std::string& text, int timeout_ms = 10000);

// The view line of the simulated port, as `quenlyte-sim view --once` shows
// it, or "no simulated port at ADDRESS".
std::string view(int port_argument, int leds);
// A view line's outputs and online line when a chain of 16 is dark.
inline const std::string dark16 = "leds=0000000000000000 online=0";
// The latched outputs alone, stage 1 first.
std::string leds(int port_argument, int count);

} // namespace e2e
