// SPDX-License-Identifier: GPL-2.0-or-later
// The whole router: what the daemon (quenlyte5-sim) and quenlyte-linkd
// --iface cost together, in milliseconds of CPU a second, at 10 and 20
// updates a second, with no and with 500 extra interfaces in the bench's
// network namespace. A tun interface that the bench holds open stands in for
// ppp0 (up and running, so the link is online); the extra interfaces are
// veth pairs.
#include "bench.h"
#include "bench_parse.h"
#include "harness.h"
#include "proc_stat.h"
#include "sim_chain.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace
{

const char* const link_name = "ppp0";
const char* const batch_path = "/dev/shm/quenlyte-bench-links.txt";
constexpr int extra_interfaces = 500; // veth pairs count two each
constexpr int tun_major = 10;         // /dev/net/tun, a misc device
constexpr int tun_minor = 200;
constexpr long long warm_up_ns = 1500 * ns_per_ms; // the link's rate window filled
constexpr long long interval_ns = 3 * ns_per_s;    // one sample
constexpr int intervals = 3;                       // samples per case
constexpr int rates[] = {10, 20};                  // updates a second (argument 6)

// Runs `ip` with `args`; fails the run when it does not succeed.
void ip(const std::vector<std::string>& args)
{
    const auto r = e2e::run(on_path("ip"), args);
    if (r.status != 0) fail("ip " + args.front() + ": " + r.err);
}

// The stand-in for ppp0: a tun interface, up, with a carrier for as long as
// the returned descriptor stays open. The bench's /dev is a private one, so
// the device node is made there first.
int open_link()
{
    mkdir("/dev/net", 0755);
    if (mknod("/dev/net/tun", S_IFCHR | 0600, makedev(tun_major, tun_minor)) != 0 &&
        errno != EEXIST)
        fail(std::string("/dev/net/tun: ") + std::strerror(errno));
    const int tun = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (tun < 0) fail(std::string("/dev/net/tun: ") + std::strerror(errno));
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", link_name);
    if (ioctl(tun, TUNSETIFF, &request) != 0)
        fail(std::string("tun ") + link_name + ": " + std::strerror(errno));
    ip({"link", "set", link_name, "up"});
    return tun;
}

// `count` interfaces as veth pairs, up, in one batch; or, with `remove`,
// those pairs gone again.
void extra_links(int count, bool remove)
{
    {
        std::ofstream batch(batch_path);
        for (int pair = 0; pair < count / 2; ++pair) {
            const std::string a = "qbv" + std::to_string(pair) + "a";
            const std::string b = "qbv" + std::to_string(pair) + "b";
            if (remove)
                batch << "link del " << a << "\n";
            else
                batch << "link add " << a << " type veth peer name " << b << "\nlink set " << a
                      << " up\nlink set " << b << " up\n";
        }
    }
    ip({"-batch", batch_path});
    unlink(batch_path);
}

// Nanoseconds of CPU that all threads of `pid` have used: the first field of
// /proc/PID/task/TID/schedstat, the exact sum that utime + stime in
// /proc/PID/stat give in clock ticks.
long long cpu_ns(pid_t pid)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr) fail(tasks + ": " + std::strerror(errno));
    long long total = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream in(tasks + "/" + entry->d_name + "/schedstat");
        long long on_cpu = 0;
        in >> on_cpu;
        total += on_cpu;
    }
    closedir(dir);
    return total;
}

long long cpu_ticks(pid_t pid)
{
    const std::string line = proc_line(pid, "stat");
    const auto fields = parse_proc_stat(line);
    if (!fields) fail("no CPU times in /proc/PID/stat");
    return fields->utime_ticks + fields->stime_ticks;
}

struct router_case {
    std::vector<double> daemon_ms; // ms of CPU a second, one per interval
    std::vector<double> linkd_ms;
    std::vector<double> together_ms;
    double frames_per_s = 0; // latched frames: the daemon's cycles
    long long ticks[2] = {}; // utime + stime over all intervals: daemon, linkd
};

// One case; `server` stands in for quenlyte-linkd when given (the reference).
router_case measure_case(int rate, const char* server = nullptr)
{
    const pid_t linkd =
        server != nullptr ? start_service(server, {}) : start_linkd({"--iface", link_name});
    const pid_t daemon = start_daemon(std::to_string(rate).c_str());
    const sim_chain* chain = nullptr;
    const long long deadline = now_ns() + io_timeout_ms * ns_per_ms;
    while ((chain = sim_watch(sim_port_address)) == nullptr && now_ns() < deadline) usleep(1000);
    if (chain == nullptr) fail("the simulated port did not appear");
    usleep(static_cast<useconds_t>(warm_up_ns / 1000));

    router_case c;
    const long long ticks_before[2] = {cpu_ticks(daemon), cpu_ticks(linkd)};
    const auto frames_before = chain->frames;
    const long long start = now_ns();
    for (int i = 0; i < intervals; ++i) {
        const long long t0 = now_ns();
        const long long daemon0 = cpu_ns(daemon);
        const long long linkd0 = cpu_ns(linkd);
        usleep(static_cast<useconds_t>(interval_ns / 1000));
        const long long daemon1 = cpu_ns(daemon);
        const long long linkd1 = cpu_ns(linkd);
        const double seconds = static_cast<double>(now_ns() - t0) / ns_per_s;
        c.daemon_ms.push_back(static_cast<double>(daemon1 - daemon0) / ns_per_ms / seconds);
        c.linkd_ms.push_back(static_cast<double>(linkd1 - linkd0) / ns_per_ms / seconds);
        c.together_ms.push_back(c.daemon_ms.back() + c.linkd_ms.back());
    }
    c.frames_per_s = static_cast<double>(chain->frames - frames_before) * ns_per_s /
                     static_cast<double>(now_ns() - start);
    c.ticks[0] = cpu_ticks(daemon) - ticks_before[0];
    c.ticks[1] = cpu_ticks(linkd) - ticks_before[1];
    sim_detach(chain);
    stop_daemon(daemon, -1);
    kill(linkd, SIGTERM);
    if (server != nullptr) {
        e2e::wait_exit(linkd, io_timeout_ms); // ended by the signal
    } else if (e2e::wait_exit(linkd, io_timeout_ms) != 0) {
        fail("quenlyte-linkd did not end with status 0");
    }
    // Offline, the daemon would cycle once a second: the link must have been up.
    if (c.frames_per_s < rate / 2.0) fail("the daemon was not online on " + std::string(link_name));
    return c;
}

std::string case_name(int rate, int extra)
{
    return std::to_string(rate) + " updates/s, " +
           (extra == 0 ? std::string("no") : std::to_string(extra)) + " extra interfaces";
}

} // namespace

void measure_router()
{
    // quenlyte-linkd's CPU at 20 updates/s with the extra interfaces, to that of
    // a minimal epoll line server in its place: what the loopback exchange and
    // the wake-ups cost here is the floor. The two are measured in turns, pair
    // after pair, so that both sides of a pair see the same load of a shared
    // machine; one pair alone moved by nearly twice from run to run.
    constexpr double linkd_target_ratio = 1.5;
    constexpr int least_pairs = 5;
    const int pairs = std::max(runs, least_pairs);
    const std::string crowded_name = case_name(rates[1], extra_interfaces);
    const int tun = open_link();
    router_case cases[2][2]; // [with extra interfaces][rate]
    for (const int extra : {0, 1}) {
        if (extra == 1) extra_links(extra_interfaces, false);
        for (int r = 0; r < 2; ++r) {
            if (extra == 1 && r == 1) continue; // the first quenlyte-linkd turn below
            std::fprintf(stderr, "quenlyte-bench: whole router, %s\n",
                         case_name(rates[r], extra * extra_interfaces).c_str());
            cases[extra][r] = measure_case(rates[r]);
        }
    }
    std::vector<double> linkd_turns; // ms/s, the median of each turn
    std::vector<double> server_turns;
    std::vector<std::string> pair_notes;
    for (int p = 1; p <= pairs; ++p) {
        std::fprintf(stderr, "quenlyte-bench: whole router, %s, pair %d of %d: quenlyte-linkd\n",
                     crowded_name.c_str(), p, pairs);
        const router_case linkd = measure_case(rates[1]);
        std::fprintf(stderr,
                     "quenlyte-bench: whole router, %s, pair %d of %d: a minimal line server\n",
                     crowded_name.c_str(), p, pairs);
        const router_case server = measure_case(rates[1], "quenlyte-bench-line-server");
        if (p == 1) cases[1][1] = linkd;
        linkd_turns.push_back(median(linkd.linkd_ms));
        server_turns.push_back(median(server.linkd_ms));
        pair_notes.push_back(
            "quenlyte-linkd and the minimal line server in turns, pair " + std::to_string(p) +
            ": quenlyte-linkd " + list(linkd.linkd_ms, 2) + " ms/s, the line server " +
            list(server.linkd_ms, 2) + " ms/s, ratio of the medians " +
            (server_turns.back() > 0 ? fixed(linkd_turns.back() / server_turns.back(), 2) + "x"
                                     : std::string("none (no CPU for the line server)")) +
            "; the daemon latched " + fixed(linkd.frames_per_s, 1) + " and " +
            fixed(server.frames_per_s, 1) + " frames/s");
    }
    extra_links(extra_interfaces, true);
    close(tun);

    const long ms_per_tick = 1000 / sysconf(_SC_CLK_TCK);
    for (int r = 0; r < 2; ++r) {
        for (const int extra : {0, 1}) {
            const auto& c = cases[extra][r];
            const std::string name = "whole router, CPU of quenlyte5-sim and quenlyte-linkd " +
                                     std::string("--iface, ") +
                                     case_name(rates[r], extra * extra_interfaces);
            const std::string reference = extra == 0 ? ""
                                                     : fixed(median(cases[0][r].together_ms), 2) +
                                                           " ms/s (no extra interfaces)";
            figures.push_back({name,
                               fixed(median(c.together_ms), 2) + " ms/s (daemon " +
                                   fixed(median(c.daemon_ms), 2) + ", quenlyte-linkd " +
                                   fixed(median(c.linkd_ms), 2) + ")",
                               reference, "", true});
            notes.push_back("whole router, " + case_name(rates[r], extra * extra_interfaces) +
                            ": daemon " + list(c.daemon_ms, 2) + " ms/s; quenlyte-linkd " +
                            list(c.linkd_ms, 2) + " ms/s; the daemon latched " +
                            fixed(c.frames_per_s, 1) + " frames/s; utime + stime over the " +
                            std::to_string(intervals) +
                            " intervals: " + std::to_string(c.ticks[0] * ms_per_tick) + " ms and " +
                            std::to_string(c.ticks[1] * ms_per_tick) + " ms");
        }
    }
    notes.insert(notes.end(), pair_notes.begin(), pair_notes.end());
    const ratio_summary ratio = pair_ratios(linkd_turns, server_turns);
    if (ratio.pairs == 0) fail("the minimal line server used no CPU in any pair");
    const double alone = median(cases[0][1].linkd_ms);
    const double crowded = median(linkd_turns);
    const double least = median(server_turns);
    figures.push_back({"quenlyte-linkd --iface, CPU with a client at 20 updates/s, " +
                           std::to_string(extra_interfaces) + " extra interfaces",
                       fixed(crowded, 2) + " ms/s (" + fixed(ratio.median, 2) +
                           "x the line server, median of " + std::to_string(ratio.pairs) +
                           " pairs in turns, " + fixed(ratio.least, 2) + "x to " +
                           fixed(ratio.most, 2) + "x; " + fixed(crowded / alone, 2) +
                           "x without the extra interfaces, " + fixed(alone, 2) + " ms/s)",
                       "a minimal epoll line server in its place " + fixed(least, 2) + " ms/s",
                       "at most 1.5x the line server (median of the pairs, same run)",
                       ratio.median <= linkd_target_ratio});
}
