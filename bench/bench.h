// SPDX-License-Identifier: GPL-2.0-or-later
// What every figure of quenlyte-bench shares: the table of results, clocks,
// the service side of the protocol, and starting and ending the programs it
// measures. Each figure lives in a file of its own (figure_*.cpp) and adds
// its rows and the samples behind them here.
#pragma once

#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

constexpr std::string_view status_line = "status pppoe\r\n";
constexpr std::string_view rate_line = "rate pppoe\r\n";
constexpr std::string_view online_reply = "OK Online\r\n";
constexpr std::string_view offline_reply = "OK Offline\r\n";
constexpr std::string_view rate_reply = "OK 123456 7890\r\n"; // bytes/s in and out
constexpr int sim_port_address = 0x378;                       // argument 3 = 0
constexpr int io_timeout_ms = 10000;                          // the longest wait for any one step
constexpr long long ns_per_ms = 1000000;
constexpr long long ns_per_s = 1000000000;

struct figure {
    std::string name;
    std::string measured;
    std::string reference; // empty: no reference
    std::string target;    // empty: reported only
    bool met = true;
};
extern std::vector<figure> figures;
extern std::vector<std::string> notes; // the samples and details behind the figures
extern int runs;                       // samples of every timed figure
// bin/ of the static build (--static DIR), whose programs are measured
// beside the release build's; empty: the release build alone.
extern std::string static_bin_dir;

// The figures, in the order they are measured.
void measure_instructions();
void measure_syscalls();
void measure_startup();
void measure_ending();
void measure_memory();
void measure_size();
void measure_refresh();
void measure_router();

// Clocks, in nanoseconds.
long long now_ns();      // CLOCK_MONOTONIC
long long realtime_ns(); // CLOCK_REALTIME, as the kernel stamps packets

// `value` with `decimals` places; samples as a list of such.
std::string fixed(double value, int decimals);
std::string list(const std::vector<double>& samples, int decimals);

// Ends the run: every process we started (our children, the detached
// daemon among them since we are its subreaper) is killed and reaped.
[[noreturn]] void fail(const std::string& why);

// The first line of /proc/PID/FILE.
std::string proc_line(pid_t pid, const char* file);
// Our child whose command name (up to 15 bytes) is `comm`, once it is there.
pid_t find_child(std::string_view comm);
// The detached daemon, once its starter has gone and it is our child.
pid_t find_daemon();
// Waits until `pid` sleeps in system call `number` (a read, a pause), so that
// what comes next finds it there.
void wait_in_syscall(pid_t pid, long number, const char* what);

// The absolute path of a program on PATH.
std::string on_path(const char* name);
// `words` as an argv for execv; it points into `words`.
std::vector<char*> argv_of(std::vector<std::string>& words);
// A page shared with the children forked after this call.
long long* shared_value();

// The service side: 127.0.0.1:5000, one client, the protocol's lines.
int open_listener();
int accept_daemon(int listener);
void expect(int client, std::string_view line);
void answer(int client, std::string_view reply);
void serve_cycles(int client, int cycles, bool online);

// A program of the release build, or with `static_build` of the static one.
std::string program_path(const char* name, bool static_build);
// The daemon quenlyte5-sim with 64 LEDs in bar mode at `rate` updates a
// second, of the release build or with `static_build` of the static one.
std::vector<std::string> daemon_words(const char* rate, bool static_build = false);
pid_t start_daemon(const char* rate, bool static_build = false);
// SIGTERM and the end of the daemon; closing `client` (unless -1) as well
// makes sure that a daemon that missed the signal on its way into a read
// ends too.
void stop_daemon(pid_t daemon, int client);

// quenlyte-linkd with `options`; returns its pid once it listens.
pid_t start_linkd(const std::vector<std::string>& options);
// The same for another service program in bin/ that says "listening".
pid_t start_service(const char* name, const std::vector<std::string>& options);
