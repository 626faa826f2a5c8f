// Memory: VmRSS after 10,000 online cycles, and the heap allocations in the
// loop, counted by an LD_PRELOAD library shared with the soak.
#include "bench.h"
#include "bench_parse.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{

const char* const malloc_counts_path = "/dev/shm/quenlyte-bench-mallocs";
constexpr int steady_cycles = 10000; // cycles before memory is read
constexpr int warm_up_cycles = 100;  // cycles before the allocation count starts

long long status_kib(pid_t pid, const char* field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::atoll(line.c_str() + std::strlen(field));
    fail(std::string("no ") + field + " in /proc/PID/status");
}

} // namespace

void measure_memory()
{
    constexpr long long target_kib = 2048;
    const int listener = open_listener();
    std::fprintf(stderr, "quenlyte-bench: memory after %d cycles\n", steady_cycles);
    std::vector<double> rss;
    std::vector<double> hwm;
    for (int r = 0; r < 3; ++r) {
        const pid_t daemon = start_daemon("100000");
        const int client = accept_daemon(listener);
        serve_cycles(client, steady_cycles, true);
        expect(client, status_line);
        wait_in_syscall(daemon, SYS_read, "read");
        rss.push_back(static_cast<double>(status_kib(daemon, "VmRSS:")));
        hwm.push_back(static_cast<double>(status_kib(daemon, "VmHWM:")));
        stop_daemon(daemon, client);
    }
    const double measured = median(rss);
    figures.push_back({"resident memory after " + std::to_string(steady_cycles) + " cycles (VmRSS)",
                       fixed(measured, 0) + " KiB", "", "under 2048 KiB", measured < target_kib});
    notes.push_back("VmRSS after " + std::to_string(steady_cycles) + " cycles: " + list(rss, 0) +
                    " KiB; peak (VmHWM): " + list(hwm, 0) + " KiB");

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
