// SPDX-License-Identifier: GPL-2.0-or-later
#include "bench.h"

#include "harness.h"
#include "proc_stat.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

std::vector<figure> figures;
std::vector<std::string> notes;
int runs = 7;
std::string static_bin_dir;

namespace
{

std::vector<pid_t> our_children()
{
    std::ifstream in("/proc/self/task/" + std::to_string(getpid()) + "/children");
    std::vector<pid_t> found;
    pid_t pid = 0;
    while (in >> pid) found.push_back(pid);
    return found;
}

long long clock_ns(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return t.tv_sec * ns_per_s + t.tv_nsec;
}

} // namespace

long long now_ns()
{
    return clock_ns(CLOCK_MONOTONIC);
}

long long realtime_ns()
{
    return clock_ns(CLOCK_REALTIME);
}

std::string fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string list(const std::vector<double>& samples, int decimals)
{
    std::string text;
    for (const double s : samples) text += (text.empty() ? "" : ", ") + fixed(s, decimals);
    return text;
}

void fail(const std::string& why)
{
    std::fprintf(stderr, "quenlyte-bench: %s\n", why.c_str());
    for (const pid_t pid : our_children()) kill(pid, SIGKILL);
    while (wait(nullptr) > 0) {
    }
    std::exit(1);
}

std::string proc_line(pid_t pid, const char* file)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::string line;
    std::getline(in, line);
    return line;
}

pid_t find_child(std::string_view comm)
{
    constexpr std::size_t comm_size = 15; // the kernel keeps this much of the name
    const std::string_view wanted = comm.substr(0, comm_size);
    const long long deadline = now_ns() + io_timeout_ms * ns_per_ms;
    while (now_ns() < deadline) {
        for (const pid_t pid : our_children())
            if (proc_line(pid, "comm") == wanted) return pid;
        usleep(200);
    }
    fail(std::string(comm) + ": the detached process did not turn up");
}

pid_t find_daemon()
{
    return find_child("quenlyte5-sim");
}

void wait_in_syscall(pid_t pid, long number, const char* what)
{
    const long long deadline = now_ns() + io_timeout_ms * ns_per_ms;
    const std::string expected = std::to_string(number) + " ";
    while (now_ns() < deadline) {
        if (proc_line(pid, "syscall").rfind(expected, 0) == 0) {
            const std::string line = proc_line(pid, "stat");
            if (const auto fields = parse_proc_stat(line); fields && fields->state == 'S') return;
        }
        usleep(50);
    }
    fail(std::string("the daemon never waited in ") + what);
}

std::string on_path(const char* name)
{
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':'))
        if (std::string full = dir + "/" + name; access(full.c_str(), X_OK) == 0) return full;
    fail(std::string(name) + ": not found on PATH");
}

std::vector<char*> argv_of(std::vector<std::string>& words)
{
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    return argv;
}

long long* shared_value()
{
    void* page =
        mmap(nullptr, sizeof(long long), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) fail("mmap");
    return static_cast<long long*>(page);
}

// --- the service side ---------------------------------------------------

int open_listener()
{
    const int listener = e2e::listen_service();
    if (listener < 0) fail("cannot listen on 127.0.0.1:5000");
    return listener;
}

int accept_daemon(int listener)
{
    const int client = e2e::accept_client(listener, io_timeout_ms);
    if (client < 0) fail("nothing connected to the service");
    const timeval timeout{io_timeout_ms / 1000, 0};
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const int on = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return client;
}

void expect(int client, std::string_view line)
{
    char got[64];
    std::size_t have = 0;
    while (have < line.size()) {
        const ssize_t n = read(client, got + have, line.size() - have);
        if (n <= 0)
            fail("the service got no command (" +
                 std::string(n == 0 ? "closed" : std::strerror(errno)) + ")");
        have += static_cast<std::size_t>(n);
    }
    if (std::string_view(got, have) != line) fail("the service got an unexpected command");
}

void answer(int client, std::string_view reply)
{
    if (write(client, reply.data(), reply.size()) != static_cast<ssize_t>(reply.size()))
        fail("the service could not answer");
}

void serve_cycles(int client, int cycles, bool online)
{
    for (int i = 0; i < cycles; ++i) {
        expect(client, status_line);
        answer(client, online ? online_reply : offline_reply);
        if (!online) continue;
        expect(client, rate_line);
        answer(client, rate_reply);
    }
}

// --- starting and ending the programs ---------------------------------------

std::string program_path(const char* name, bool static_build)
{
    return static_build ? static_bin_dir + "/" + name : e2e::program(name);
}

std::vector<std::string> daemon_words(const char* rate, bool static_build)
{
    return {program_path("quenlyte5-sim", static_build), "64", "64", "0", "64", "2", rate};
}

pid_t start_daemon(const char* rate, bool static_build)
{
    auto words = daemon_words(rate, static_build);
    const auto s = e2e::start(words[0], std::vector<std::string>(words.begin() + 1, words.end()));
    if (s.starter_status != 0 || s.daemon <= 0) fail("the daemon did not start");
    return s.daemon;
}

void stop_daemon(pid_t daemon, int client)
{
    kill(daemon, SIGTERM);
    if (client >= 0) close(client);
    if (e2e::wait_exit(daemon, io_timeout_ms) != 0) fail("the daemon did not end with status 0");
}

pid_t start_linkd(const std::vector<std::string>& options)
{
    return start_service("quenlyte-linkd", options);
}

pid_t start_service(const char* name, const std::vector<std::string>& options)
{
    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0) fail("pipe");
    std::vector<std::string> words{e2e::program(name)};
    words.insert(words.end(), options.begin(), options.end());
    auto argv = argv_of(words);
    const pid_t linkd = fork();
    if (linkd == 0) {
        dup2(err[1], 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(err[1]);
    std::string said;
    pollfd p{err[0], POLLIN, 0};
    while (said.find("listening") == std::string::npos && poll(&p, 1, io_timeout_ms) == 1) {
        char chunk[256];
        const ssize_t n = read(err[0], chunk, sizeof chunk);
        if (n <= 0) break;
        said.append(chunk, static_cast<std::size_t>(n));
    }
    close(err[0]);
    if (said.find("listening") == std::string::npos)
        fail(std::string(name) + " did not start: " + said);
    return linkd;
}
