// SPDX-License-Identifier: GPL-2.0-or-later
// Memory: VmRSS after 10,000 online cycles, and the heap allocations in the
// loop, counted by an LD_PRELOAD library shared with the soak. With --static,
// the static build's daemon's VmRSS in turns with the release build's, and
// the size of the programs of both builds.
#include "bench.h"
#include "bench_parse.h"
#include "harness.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace
{

const char* const malloc_counts_path = "/dev/shm/quenlyte-bench-mallocs";
constexpr int steady_cycles = 10000; // cycles before memory is read
constexpr int warm_up_cycles = 100;  // cycles before the allocation count starts

long long status_kib(pid_t pid, const char* field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field, 0) != 0) continue;
        // "VmRSS:\t    1234 kB"
        const std::size_t digits = line.find_first_not_of(" \t", std::strlen(field));
        long long kib = 0;
        if (digits != std::string::npos &&
            std::from_chars(line.data() + digits, line.data() + line.size(), kib).ec == std::errc{})
            return kib;
        break;
    }
    fail(std::string("no ") + field + " in /proc/PID/status");
}

} // namespace

void measure_memory()
{
    constexpr long long target_kib = 2048;
    const int listener = open_listener();
    std::fprintf(stderr, "quenlyte-bench: memory after %d cycles\n", steady_cycles);
    const bool with_static = !static_bin_dir.empty();
    // [0] the release build's daemon, [1] the static build's; in turns.
    std::vector<double> rss[2];
    std::vector<double> hwm[2];
    for (int r = 0; r < 3; ++r) {
        for (const int k : {0, 1}) {
            if (k == 1 && !with_static) continue;
            const pid_t daemon = start_daemon("100000", k == 1);
            const int client = accept_daemon(listener);
            serve_cycles(client, steady_cycles, true);
            expect(client, status_line);
            wait_in_syscall(daemon, SYS_read, "read");
            rss[k].push_back(static_cast<double>(status_kib(daemon, "VmRSS:")));
            hwm[k].push_back(static_cast<double>(status_kib(daemon, "VmHWM:")));
            stop_daemon(daemon, client);
        }
    }
    const double measured = median(rss[0]);
    const std::string name =
        "resident memory after " + std::to_string(steady_cycles) + " cycles (VmRSS)";
    figures.push_back(
        {name, fixed(measured, 0) + " KiB", "", "under 2048 KiB", measured < target_kib});
    notes.push_back("VmRSS after " + std::to_string(steady_cycles) + " cycles: " + list(rss[0], 0) +
                    " KiB; peak (VmHWM): " + list(hwm[0], 0) + " KiB");
    if (with_static) {
        const double measured_static = median(rss[1]);
        figures.push_back({name + ", static build", fixed(measured_static, 0) + " KiB",
                           fixed(measured, 0) + " KiB, the release build's (dynamic) daemon",
                           "under 2048 KiB", measured_static < target_kib});
        notes.push_back("VmRSS after " + std::to_string(steady_cycles) + " cycles, static build: " +
                        list(rss[1], 0) + " KiB; peak (VmHWM): " + list(hwm[1], 0) +
                        " KiB (no allocation count: a static program takes no LD_PRELOAD)");
    }

    std::fprintf(stderr, "quenlyte-bench: heap allocations in the loop\n");
    const int counts_fd = open(malloc_counts_path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (counts_fd < 0 || ftruncate(counts_fd, sizeof(long long)) != 0)
        fail("the allocation count file");
    void* page = mmap(nullptr, sizeof(long long), PROT_READ, MAP_SHARED, counts_fd, 0);
    close(counts_fd);
    if (page == MAP_FAILED) fail("mmap");
    const auto* allocations = static_cast<const volatile unsigned long long*>(page);
    setenv("LD_PRELOAD", QUENLYTE_BENCH_MALLOC_LIB, 1);
    setenv("QUENLYTE_MALLOC_COUNT_FILE", malloc_counts_path, 1);
    const pid_t daemon = start_daemon("100000");
    unsetenv("LD_PRELOAD");
    unsetenv("QUENLYTE_MALLOC_COUNT_FILE");
    const int client = accept_daemon(listener);
    serve_cycles(client, warm_up_cycles, true);
    expect(client, status_line);
    wait_in_syscall(daemon, SYS_read, "read");
    const unsigned long long at_start = *allocations;
    // Finish this cycle, then run the counted ones up to the next status command.
    answer(client, online_reply);
    expect(client, rate_line);
    answer(client, rate_reply);
    serve_cycles(client, steady_cycles - 1, true);
    expect(client, status_line);
    wait_in_syscall(daemon, SYS_read, "read");
    const unsigned long long in_loop = *allocations - at_start;
    stop_daemon(daemon, client);
    munmap(page, sizeof(long long));
    figures.push_back({"heap allocations in " + std::to_string(steady_cycles) + " cycles",
                       std::to_string(in_loop), "", "none", in_loop == 0});
    notes.push_back("heap allocations (LD_PRELOAD counter): " + std::to_string(at_start) +
                    " before the first " + std::to_string(warm_up_cycles) + " cycles ended, " +
                    std::to_string(in_loop) + " in the " + std::to_string(steady_cycles) +
                    " after");
    close(listener);
}

namespace
{

long long file_bytes(const std::string& path)
{
    struct stat st {
    };
    if (stat(path.c_str(), &st) != 0) fail(path + ": " + std::strerror(errno));
    return st.st_size;
}

// The size of `path` stripped of its symbols, as the packages and the
// static archive ship it (strip -o into a scratch file).
long long stripped_bytes(const std::string& path)
{
    static const std::string strip = on_path("strip");
    const std::string scratch = "/dev/shm/quenlyte-bench-stripped";
    const pid_t child = fork();
    if (child == 0) {
        execl(strip.c_str(), "strip", "-o", scratch.c_str(), path.c_str(), nullptr);
        _exit(127);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail(path + ": strip failed");
    const long long bytes = file_bytes(scratch);
    unlink(scratch.c_str());
    return bytes;
}

// The shared libraries a dynamic program loads (its NEEDED entries, found by
// the dynamic loader: `ldd`), and their size on disk together.
std::pair<std::string, long long> shared_libraries(const std::string& path)
{
    const auto listed = e2e::run(on_path("ldd"), {path});
    std::string names;
    long long bytes = 0;
    std::istringstream lines(listed.out);
    std::string text;
    while (std::getline(lines, text)) {
        const auto arrow = text.find(" => /");
        if (arrow == std::string::npos) continue;
        const auto start = arrow + 4;
        const auto end = text.find(' ', start);
        const std::string library = text.substr(start, end - start);
        names += (names.empty() ? "" : " + ") + library.substr(library.rfind('/') + 1);
        bytes += file_bytes(library);
    }
    return {names, bytes};
}

std::string kib(long long bytes)
{
    return fixed(static_cast<double>(bytes) / 1024, 0) + " KiB";
}

} // namespace

void measure_size()
{
    if (static_bin_dir.empty()) return;
    std::fprintf(stderr, "quenlyte-bench: size of the programs\n");
    for (const char* program :
         {"quenlyte5", "quenlyte5-ppdev", "quenlyte5-sim", "quenlyte-sim", "quenlyte-linkd"}) {
        const std::string dynamic = program_path(program, false);
        const std::string static_one = program_path(program, true);
        if (access(dynamic.c_str(), X_OK) != 0 || access(static_one.c_str(), X_OK) != 0) continue;
        const auto [libraries, library_bytes] = shared_libraries(dynamic);
        figures.push_back(
            {std::string("size of ") + program + ", static build, stripped",
             kib(stripped_bytes(static_one)) + " (" + kib(file_bytes(static_one)) + " as built)",
             kib(stripped_bytes(dynamic)) + " (" + kib(file_bytes(dynamic)) +
                 " as built), the release build's, which loads " + libraries + ", " +
                 kib(library_bytes),
             "", true});
    }
}
