// SPDX-License-Identifier: GPL-2.0-or-later
// Start-up: from just before execv to the kernel's receive stamp of the first
// command at the service, for the daemon and, as the reference, for the
// least a forking client of the service does (quenlyte-bench-fork-client),
// and a close() loop over the descriptor limit. With --static, the static
// build's daemon in turns with them, against the release build's.
#include "bench.h"
#include "bench_parse.h"
#include "harness.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace
{

constexpr rlim_t wanted_descriptor_limit = 1048576;
constexpr rlim_t default_descriptor_limit = 1024;
const char* const fork_client = "quenlyte-bench-fork-client";

void set_descriptor_limit(rlim_t limit)
{
    const rlimit wanted{limit, limit};
    if (setrlimit(RLIMIT_NOFILE, &wanted) != 0) _exit(126);
}

// Nanoseconds `pid` has spent runnable but waiting for a processor
// (the second field of /proc/PID/schedstat).
long long runqueue_wait_ns(const std::string& pid)
{
    std::ifstream in("/proc/" + pid + "/schedstat");
    long long on_cpu = 0;
    long long waiting = 0;
    in >> on_cpu >> waiting;
    return waiting;
}

// Reads `line` and returns when the kernel received it (CLOCK_REALTIME, from
// SO_TIMESTAMPNS on the socket), so that how soon the benchmark itself gets
// the processor does not count; the time it was read where the kernel gave
// no stamp.
long long expect_stamped(int client, std::string_view line)
{
    char got[64];
    iovec part{got, line.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(client, &message, MSG_WAITALL);
    const long long read_at = realtime_ns();
    if (n != static_cast<ssize_t>(line.size()) || std::string_view(got, line.size()) != line)
        fail("the service got no command or an unexpected one");
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
        timespec stamp{};
        std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
        if (stamp.tv_sec != 0) return stamp.tv_sec * ns_per_s + stamp.tv_nsec;
    }
    return read_at;
}

struct startup_sample {
    double wall_ms;    // exec to the command's arrival at the service
    double waiting_ms; // of that, runnable but waiting for a processor
    double read_ms;    // exec until the benchmark itself read the command
};

// What a start-up sample starts.
enum class subject { daemon, fork_client, static_daemon };

// One start-up of the release build's daemon, the fork client or the static
// build's daemon. The shared page holds, from the starter: [0] the time of
// its exec, [1] its run-queue wait until then.
startup_sample startup_once(int listener, rlim_t limit, long long* shared, subject started)
{
    const bool reference = started == subject::fork_client;
    std::vector<std::string> words = reference
                                         ? std::vector<std::string>{e2e::program(fork_client)}
                                         : daemon_words("10", started == subject::static_daemon);
    auto argv = argv_of(words);
    const pid_t starter = fork();
    if (starter == 0) {
        set_descriptor_limit(limit);
        shared[1] = runqueue_wait_ns("self");
        shared[0] = realtime_ns();
        execv(argv[0], argv.data());
        _exit(127);
    }
    const int client = accept_daemon(listener);
    const long long arrived = expect_stamped(client, status_line);
    const long long read_at = realtime_ns();
    // The starter's wait, read while it is a zombie, and the detached child's.
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(starter), &info, WEXITED | WNOWAIT) != 0) fail("waitid");
    const long long starter_wait = runqueue_wait_ns(std::to_string(starter)) - shared[1];
    if (e2e::wait_exit(starter, io_timeout_ms) != 0) fail("the starter did not end with status 0");
    const pid_t detached = reference ? find_child(fork_client) : find_daemon();
    const long long detached_wait = runqueue_wait_ns(std::to_string(detached));
    if (!reference) {
        stop_daemon(detached, client);
    } else {
        close(client); // the client ends when the service closes
        if (e2e::wait_exit(detached, io_timeout_ms) != 0) fail("the fork client failed");
    }
    return {static_cast<double>(arrived - shared[0]) / ns_per_ms,
            static_cast<double>(starter_wait + detached_wait) / ns_per_ms,
            static_cast<double>(read_at - shared[0]) / ns_per_ms};
}

// Milliseconds a close() loop over every descriptor up to the limit takes,
// as a daemon without close_range would spend.
double close_loop_once(rlim_t limit, long long* took_ns)
{
    const pid_t child = fork();
    if (child == 0) {
        set_descriptor_limit(limit);
        const long long start = now_ns();
        for (long descriptor = sysconf(_SC_OPEN_MAX); descriptor >= 1; --descriptor)
            close(static_cast<int>(descriptor));
        *took_ns = now_ns() - start;
        _exit(0);
    }
    if (e2e::wait_exit(child, io_timeout_ms) != 0) fail("the close loop failed");
    return static_cast<double>(*took_ns) / ns_per_ms;
}

// The highest descriptor limit this process may give its children: 1,048,576
// where the kernel (nr_open) and our privileges (CAP_SYS_RESOURCE, else
// the hard limit) allow it.
rlim_t highest_descriptor_limit()
{
    long long nr_open = 0;
    std::ifstream("/proc/sys/fs/nr_open") >> nr_open;
    rlim_t wanted = wanted_descriptor_limit;
    if (nr_open > 0 && static_cast<rlim_t>(nr_open) < wanted) wanted = static_cast<rlim_t>(nr_open);
    rlimit now{};
    getrlimit(RLIMIT_NOFILE, &now);
    if (now.rlim_max >= wanted) return wanted;
    const rlimit raised{now.rlim_cur, wanted};
    return setrlimit(RLIMIT_NOFILE, &raised) == 0 ? wanted : now.rlim_max;
}

} // namespace

void measure_startup()
{
    constexpr double target_ms = 5;
    constexpr double over_reference_ms = 0.3; // the most the daemon may take beyond the client
    const int listener = open_listener();
    const int on = 1; // accepted connections inherit the receive stamps
    setsockopt(listener, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    long long* shared = shared_value();
    for (const rlim_t limit : {default_descriptor_limit, highest_descriptor_limit()}) {
        std::fprintf(stderr, "quenlyte-bench: start-up, descriptor limit %llu\n",
                     static_cast<unsigned long long>(limit));
        // [0] the daemon, [1] the fork client, [2] the static build's daemon;
        // samples taken in turns.
        const bool with_static = !static_bin_dir.empty();
        std::vector<double> wall_ms[3];
        std::vector<double> working_ms[3];
        std::vector<double> read_ms;
        std::vector<double> loop_ms;
        for (int r = 0; r < runs; ++r) {
            for (const int k : {0, 1, 2}) {
                if (k == 2 && !with_static) continue;
                const auto sample = startup_once(listener, limit, shared, static_cast<subject>(k));
                wall_ms[k].push_back(sample.wall_ms);
                working_ms[k].push_back(sample.wall_ms - sample.waiting_ms);
                if (k == 0) read_ms.push_back(sample.read_ms);
            }
            loop_ms.push_back(close_loop_once(limit, shared));
        }
        const double working = median(working_ms[0]);
        const double reference = median(working_ms[1]);
        const std::string name =
            "start-up, exec to first command, descriptor limit " + std::to_string(limit);
        figures.push_back(
            {name,
             fixed(working, 2) + " ms (" + fixed(median(wall_ms[0]), 2) +
                 " ms with run-queue waits)",
             fixed(reference, 2) + " ms (" + fixed(median(wall_ms[1]), 2) +
                 " ms with run-queue waits), minimal C forking client; close() loop over the "
                 "limit " +
                 fixed(median(loop_ms), 2) + " ms",
             "at most the client's + 0.3 ms, under 5 ms",
             working <= reference + over_reference_ms && working < target_ms});
        notes.push_back(name + ": " + list(wall_ms[0], 2) + " ms; without run-queue waits " +
                        list(working_ms[0], 2) + " ms; until the benchmark read it " +
                        list(read_ms, 2) + " ms; fork client " + list(wall_ms[1], 2) +
                        " ms, without run-queue waits " + list(working_ms[1], 2) +
                        " ms; close() loop: " + list(loop_ms, 2) + " ms");
        if (!with_static) continue;
        const double working_static = median(working_ms[2]);
        figures.push_back(
            {name + ", static build",
             fixed(working_static, 2) + " ms (" + fixed(median(wall_ms[2]), 2) +
                 " ms with run-queue waits)",
             fixed(working, 2) + " ms, the release build's (dynamic) daemon; client " +
                 fixed(reference, 2) + " ms",
             "at most the client's + 0.3 ms, under 5 ms",
             working_static <= reference + over_reference_ms && working_static < target_ms});
        notes.push_back(name + ", static build: " + list(wall_ms[2], 2) +
                        " ms; without run-queue waits " + list(working_ms[2], 2) + " ms");
    }
    munmap(shared, sizeof *shared);
    close(listener);
}
