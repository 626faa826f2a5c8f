// SPDX-License-Identifier: GPL-2.0-or-later
// Refresh: the highest sustained cycles per second at argument 6 = 100000,
// against the bench's own service and against quenlyte-linkd --script, next
// to a minimal client of the protocol.
#include "bench.h"
#include "bench_parse.h"
#include "harness.h"
#include "sim_chain.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

const char* const link_script_path = "/dev/shm/quenlyte-bench-link.txt";
constexpr long long refresh_window_ns = ns_per_s; // how long refresh is counted
constexpr long long refresh_warm_up_ns = 300 * ns_per_ms;

// The plainest client of the protocol: per cycle one write and one read per
// command and the same pause as the daemon at argument 6 = 100000. With
// `rate`, counts its cycles in the window after a warm-up and leaves the
// rate there; without, runs until the service closes the connection.
[[noreturn]] void minimal_client(long long* rate)
{
    constexpr useconds_t pause_us = 10; // 1,000,000 / 100000
    const int s = e2e::connect_service();
    if (s < 0) _exit(1);
    const int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    char reply[256];
    const long long begin = now_ns() + refresh_warm_up_ns;
    long long cycles = 0;
    for (;;) {
        if (write(s, status_line.data(), status_line.size()) <= 0 ||
            read(s, reply, sizeof reply) <= 0 ||
            write(s, rate_line.data(), rate_line.size()) <= 0 || read(s, reply, sizeof reply) <= 0)
            _exit(0);
        usleep(pause_us);
        if (rate == nullptr) continue;
        const long long t = now_ns();
        if (t >= begin) ++cycles;
        if (t >= begin + refresh_window_ns) {
            *rate = cycles * ns_per_s / refresh_window_ns;
            _exit(0);
        }
    }
}

// Cycles per second that the bench's own service answers to `client`.
double served_rate(int client)
{
    constexpr int cycles_per_look = 64;
    const long long warm_end = now_ns() + refresh_warm_up_ns;
    while (now_ns() < warm_end) serve_cycles(client, cycles_per_look, true);
    const long long start = now_ns();
    long long cycles = 0;
    while (now_ns() - start < refresh_window_ns) {
        serve_cycles(client, cycles_per_look, true);
        cycles += cycles_per_look;
    }
    return static_cast<double>(cycles) * ns_per_s / static_cast<double>(now_ns() - start);
}

double daemon_refresh_local(int listener)
{
    const pid_t daemon = start_daemon("100000");
    const int client = accept_daemon(listener);
    const double rate = served_rate(client);
    stop_daemon(daemon, client);
    return rate;
}

double minimal_refresh_local(int listener)
{
    const pid_t child = fork();
    if (child == 0) minimal_client(nullptr);
    const int client = accept_daemon(listener);
    const double measured = served_rate(client);
    close(client);
    e2e::wait_exit(child, io_timeout_ms);
    return measured;
}

double daemon_refresh_linkd()
{
    const pid_t daemon = start_daemon("100000");
    const sim_chain* chain = nullptr;
    const long long deadline = now_ns() + io_timeout_ms * ns_per_ms;
    while ((chain = sim_watch(sim_port_address)) == nullptr && now_ns() < deadline) usleep(1000);
    if (chain == nullptr) fail("the simulated port did not appear");
    usleep(static_cast<useconds_t>(refresh_warm_up_ns / 1000));
    const long long start = now_ns();
    const auto frames_before = chain->frames;
    usleep(static_cast<useconds_t>(refresh_window_ns / 1000));
    const auto frames_after = chain->frames;
    const long long end = now_ns();
    sim_detach(chain);
    stop_daemon(daemon, -1);
    return static_cast<double>(frames_after - frames_before) * ns_per_s /
           static_cast<double>(end - start);
}

double minimal_refresh_linkd(long long* rate)
{
    const pid_t child = fork();
    if (child == 0) minimal_client(rate);
    if (e2e::wait_exit(child, io_timeout_ms) != 0) fail("the minimal client failed");
    return static_cast<double>(*rate);
}

} // namespace

void measure_refresh()
{
    constexpr int refresh_runs = 3;
    long long* rate = shared_value();
    std::vector<double> samples[4];
    std::fprintf(stderr, "quenlyte-bench: refresh against the bench's own service\n");
    const int listener = open_listener();
    for (int r = 0; r < refresh_runs; ++r) {
        samples[0].push_back(daemon_refresh_local(listener));
        samples[1].push_back(minimal_refresh_local(listener));
    }
    close(listener);
    std::fprintf(stderr, "quenlyte-bench: refresh against quenlyte-linkd --script\n");
    std::ofstream(link_script_path) << "0 online 2500000 400000\n";
    const pid_t linkd = start_linkd({"--script", link_script_path});
    for (int r = 0; r < refresh_runs; ++r) {
        samples[2].push_back(daemon_refresh_linkd());
        samples[3].push_back(minimal_refresh_linkd(rate));
    }
    kill(linkd, SIGTERM);
    e2e::wait_exit(linkd, io_timeout_ms);
    munmap(rate, sizeof *rate);
    const char* const against[2] = {"the bench's own service", "quenlyte-linkd --script"};
    for (std::size_t k = 0; k < 2; ++k) {
        figures.push_back(
            {std::string("highest sustained refresh, argument 6 = 100000, against ") + against[k],
             fixed(median(samples[2 * k]), 0) + " cycles/s",
             fixed(median(samples[2 * k + 1]), 0) + " cycles/s (minimal client)", "", true});
        notes.push_back(std::string("refresh against ") + against[k] + ": daemon " +
                        list(samples[2 * k], 0) + "; minimal client " +
                        list(samples[2 * k + 1], 0) + " cycles/s");
    }
}
