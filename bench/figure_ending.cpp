// SPDX-License-Identifier: GPL-2.0-or-later
// Ending: from SIGTERM until the daemon's pidfd reports its exit, with the
// daemon pausing online, pausing offline, or blocked on a service that does
// not answer.
#include "bench.h"
#include "bench_parse.h"
#include "harness.h"

#include <csignal>
#include <cstdio>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

namespace
{

enum class ending_state { online_pause, offline_pause, hung_service };

// Milliseconds from SIGTERM to the daemon's exit, in `state`.
double ending_once(int listener, ending_state state)
{
    const pid_t daemon = start_daemon(state == ending_state::online_pause ? "1" : "100000");
    const int client = accept_daemon(listener);
    if (state == ending_state::hung_service) {
        expect(client, status_line);
        wait_in_syscall(daemon, SYS_read, "read");
    } else {
        serve_cycles(client, 1, state == ending_state::online_pause);
        wait_in_syscall(daemon, SYS_clock_nanosleep, "its pause");
    }
    const int exit_fd = static_cast<int>(syscall(SYS_pidfd_open, daemon, 0));
    if (exit_fd < 0) fail("pidfd_open");
    const long long sent = now_ns();
    kill(daemon, SIGTERM);
    pollfd p{exit_fd, POLLIN, 0};
    if (poll(&p, 1, io_timeout_ms) != 1) fail("the daemon did not end on SIGTERM");
    const long long ended = now_ns();
    close(exit_fd);
    if (e2e::wait_exit(daemon, io_timeout_ms) != 0) fail("the daemon did not end with status 0");
    close(client);
    return static_cast<double>(ended - sent) / ns_per_ms;
}

} // namespace

void measure_ending()
{
    constexpr double target_ms = 10;
    const int listener = open_listener();
    const std::pair<ending_state, const char*> states[] = {
        {ending_state::online_pause, "pausing online (1 update/s)"},
        {ending_state::offline_pause, "pausing offline"},
        {ending_state::hung_service, "blocked on a hung service"}};
    for (const auto& [state, what] : states) {
        std::fprintf(stderr, "quenlyte-bench: ending, %s\n", what);
        std::vector<double> ms;
        ms.reserve(static_cast<std::size_t>(runs));
        for (int r = 0; r < runs; ++r) ms.push_back(ending_once(listener, state));
        const double measured = median(ms);
        figures.push_back({std::string("ending, SIGTERM to exit, ") + what,
                           fixed(measured, 3) + " ms", "", "under 10 ms", measured < target_ms});
        notes.push_back(std::string("ending, ") + what + ": " + list(ms, 3) + " ms");
    }
    close(listener);
}
