// SPDX-License-Identifier: GPL-2.0-or-later
// System calls per online and per offline cycle: strace -c over a short and
// a long run of the daemon; start-up and ending cancel out in the difference.
#include "bench.h"
#include "bench_parse.h"
#include "harness.h"

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{

const char* const strace_out_path = "/dev/shm/quenlyte-bench-strace.txt";

std::map<std::string, long long> strace_run(int listener, bool online, int cycles)
{
    auto words = daemon_words("100000");
    words.insert(words.begin(), {on_path("strace"), "-f", "-c", "-o", strace_out_path, "--"});
    auto argv = argv_of(words);
    const pid_t tracer = fork();
    if (tracer == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    const int client = accept_daemon(listener);
    const pid_t daemon = find_daemon();
    serve_cycles(client, cycles, online);
    // The next cycle has begun; end the daemon while it waits for the reply.
    expect(client, status_line);
    wait_in_syscall(daemon, SYS_read, "read");
    stop_daemon(daemon, client);
    if (e2e::wait_exit(tracer, io_timeout_ms) != 0) fail("strace failed");
    std::ifstream in(strace_out_path);
    std::stringstream text;
    text << in.rdbuf();
    return strace_counts(text.str());
}

} // namespace

void measure_syscalls()
{
    constexpr int pairs = 3;
    const int listener = open_listener();
    for (const bool online : {true, false}) {
        std::fprintf(stderr, "quenlyte-bench: system calls per %s cycle\n",
                     online ? "online" : "offline");
        // Start-up and ending cancel out between a short and a long run.
        const int few = online ? 20 : 1;
        const int many = online ? 220 : 3;
        std::vector<double> totals;
        std::string breakdown;
        for (int p = 0; p < pairs; ++p) {
            auto short_run = strace_run(listener, online, few);
            const auto long_run = strace_run(listener, online, many);
            breakdown.clear();
            for (const auto& [name, calls] : long_run) {
                const double per_cycle =
                    static_cast<double>(calls - short_run[name]) / (many - few);
                if (name == "total")
                    totals.push_back(per_cycle);
                else if (per_cycle != 0)
                    breakdown += (breakdown.empty() ? "" : ", ") + name + " " + fixed(per_cycle, 2);
            }
        }
        const int minimum = online ? 5 : 3;
        const double measured = median(totals);
        figures.push_back(
            {std::string("system calls per ") + (online ? "online" : "offline") + " cycle",
             fixed(measured, 2), "", "exactly " + std::to_string(minimum), measured == minimum});
        notes.push_back(std::string("system calls per ") + (online ? "online" : "offline") +
                        " cycle, " + std::to_string(pairs) + " pairs of " + std::to_string(few) +
                        " and " + std::to_string(many) + " cycles: " + list(totals, 2) + " (" +
                        breakdown + ")");
    }
    close(listener);
}
