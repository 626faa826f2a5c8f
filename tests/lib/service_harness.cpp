// SPDX-License-Identifier: GPL-2.0-or-later
#include "service_harness.h"

#include "namespaces.h"

#include <arpa/inet.h>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

bool in_private_netns = false;

double now_s()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Waits for fd to be readable until the deadline.
bool readable(int fd, double deadline_s)
{
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const double left_s = deadline_s - now_s();
        const int r = ::poll(&p, 1, left_s <= 0 ? 0 : static_cast<int>(left_s * 1000) + 1);
        if (r >= 0 || errno != EINTR) return r > 0;
    }
}

pid_t spawn(std::vector<std::string> args, int out_fd, int err_fd)
{
    args.insert(args.begin(), linkd_path());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out_fd, 1);
        ::dup2(err_fd, 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// Appends what fd gives until `until` shows up (or EOF when empty) or the deadline.
bool read_until(int fd, std::string& text, std::string_view until, double deadline_s)
{
    while (until.empty() || text.find(until) == std::string::npos) {
        char buf[4096];
        if (!readable(fd, deadline_s)) return false;
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) return until.empty();
        text.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

int wait_exit(pid_t pid)
{
    const double deadline_s = now_s() + reply_timeout_s;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (now_s() > deadline_s) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        ::usleep(10000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

std::string linkd_path()
{
    const char* const chosen = std::getenv("QUENLYTE_TEST_BIN_DIR");
    if (chosen == nullptr || *chosen == '\0') return LINKD_PATH;
    return std::string(chosen) + "/quenlyte-linkd";
}

std::string enter_private_netns()
{
    std::string why = test_ns::enter(false);
    in_private_netns = why.empty();
    return why;
}

bool start_service(const std::vector<std::string>& args, service& out)
{
    std::vector<std::string> all = args;
    bool has_listen = false;
    for (const auto& a : args) has_listen = has_listen || a.starts_with("--listen");
    if (!in_private_netns && !has_listen) all.insert(all.end(), {"--listen", "127.0.0.1:0"});
    int err[2];
    if (::pipe2(err, O_CLOEXEC) != 0) return false;
    out = service{};
    out.pid = spawn(all, 1, err[1]);
    ::close(err[1]);
    out.err_fd = err[0];
    const std::string_view mark = ": listening\n";
    if (!read_until(out.err_fd, out.err_text, mark, now_s() + reply_timeout_s)) return false;
    const auto end = out.err_text.find(mark);
    const auto colon = out.err_text.rfind(':', end - 1);
    const char* text = out.err_text.data();
    return std::from_chars(text + colon + 1, text + end, out.port).ec == std::errc();
}

int stop_service(service& s, int sig)
{
    ::kill(s.pid, sig);
    const int status = wait_exit(s.pid);
    read_until(s.err_fd, s.err_text, {}, now_s() + 1);
    ::close(s.err_fd);
    s.pid = -1;
    return status;
}

run_result run_service(const std::vector<std::string>& args)
{
    run_result r;
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return r;
    const pid_t pid = spawn(args, out[1], err[1]);
    ::close(out[1]);
    ::close(err[1]);
    read_until(out[0], r.out, {}, now_s() + reply_timeout_s);
    read_until(err[0], r.err, {}, now_s() + reply_timeout_s);
    ::close(out[0]);
    ::close(err[0]);
    r.status = wait_exit(pid);
    return r;
}

connection connect_to(std::uint16_t port)
{
    connection c;
    c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (c.fd >= 0 && ::connect(c.fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        close_connection(c);
    return c;
}

void close_connection(connection& c)
{
    if (c.fd >= 0) ::close(c.fd);
    c = connection{};
}

bool send_all(const connection& c, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::send(c.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0 && errno != EINTR) return false;
        if (n > 0) bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::optional<std::string> read_reply(connection& c, double timeout_s)
{
    const double deadline_s = now_s() + timeout_s;
    for (;;) {
        if (const auto end = c.buffered.find("\r\n"); end != std::string::npos) {
            std::string reply = c.buffered.substr(0, end + 2);
            c.buffered.erase(0, end + 2);
            return reply;
        }
        char buf[4096];
        if (!readable(c.fd, deadline_s)) return std::nullopt;
        const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
        if (n <= 0) return std::nullopt;
        c.buffered.append(buf, static_cast<std::size_t>(n));
    }
}

std::optional<std::string> ask(connection& c, std::string_view command)
{
    if (!send_all(c, std::string(command) + "\n")) return std::nullopt;
    return read_reply(c);
}

bool wait_closed(connection& c, double timeout_s)
{
    const double deadline_s = now_s() + timeout_s;
    char buf[4096];
    while (readable(c.fd, deadline_s))
        if (::recv(c.fd, buf, sizeof buf, 0) <= 0) return true;
    return false;
}
