#include "service_harness.h"

#include <arpa/inet.h>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

bool in_private_netns = false;

double now_s()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int remaining_ms(double deadline_s)
{
    const double left = deadline_s - now_s();
    return left <= 0 ? 0 : static_cast<int>(left * 1000) + 1;
}

pid_t spawn(const std::vector<std::string>& args, int out_fd, int err_fd)
{
    std::vector<char*> argv;
    std::string path = LINKD_PATH;
    argv.push_back(path.data());
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(err_fd, 2);
        if (out_fd >= 0) ::dup2(out_fd, 1);
        ::execv(path.c_str(), argv.data());
        ::_exit(127);
    }
    return pid;
}

// Reads what is available from fd into text until `until` appears, EOF or the deadline.
bool read_until(int fd, std::string& text, std::string_view until, double deadline_s)
{
    for (;;) {
        if (!until.empty() && text.find(until) != std::string::npos) return true;
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, remaining_ms(deadline_s));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) return until.empty();
        text.append(buf, static_cast<std::size_t>(n));
    }
}

int wait_exit(pid_t pid, double deadline_s)
{
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
            return -1;
        }
        if (r < 0) return -1;
        if (now_s() > deadline_s) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        ::usleep(10000);
    }
}

} // namespace

bool enter_private_netns()
{
    if (::unshare(CLONE_NEWNET) != 0) return false;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq req{};
    std::strcpy(req.ifr_name, "lo");
    bool ok = ::ioctl(fd, SIOCGIFFLAGS, &req) == 0;
    req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
    ok = ok && ::ioctl(fd, SIOCSIFFLAGS, &req) == 0;
    ::close(fd);
    in_private_netns = ok;
    return ok;
}

bool private_netns_entered()
{
    return in_private_netns;
}

bool start_service(const std::vector<std::string>& args, service& out)
{
    std::vector<std::string> all = args;
    bool has_listen = false;
    for (const auto& a : args) has_listen = has_listen || a.starts_with("--listen");
    if (!in_private_netns && !has_listen) {
        all.push_back("--listen");
        all.push_back("127.0.0.1:0");
    }
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
    out = service{};
    out.pid = spawn(all, -1, pipe_fds[1]);
    ::close(pipe_fds[1]);
    out.err_fd = pipe_fds[0];
    if (out.pid < 0) return false;
    if (!read_until(out.err_fd, out.err_text, ": listening\n", now_s() + reply_timeout_s))
        return false;
    // "quenlyte-linkd: 127.0.0.1:PORT: listening"
    const auto end = out.err_text.find(": listening\n");
    const auto colon = out.err_text.rfind(':', end - 1);
    const char* first = out.err_text.data() + colon + 1;
    auto [ptr, ec] = std::from_chars(first, out.err_text.data() + end, out.port);
    return ec == std::errc() && out.port != 0;
}

int stop_service(service& s, int sig)
{
    if (s.pid <= 0) return -1;
    ::kill(s.pid, sig);
    const int status = wait_exit(s.pid, now_s() + reply_timeout_s);
    read_until(s.err_fd, s.err_text, {}, now_s() + 1);
    ::close(s.err_fd);
    s.pid = -1;
    s.err_fd = -1;
    return status;
}

run_result run_service(const std::vector<std::string>& args, double timeout_s)
{
    run_result result;
    int out_pipe[2], err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0) return result;
    if (::pipe2(err_pipe, O_CLOEXEC) != 0) return result;
    const pid_t pid = spawn(args, out_pipe[1], err_pipe[1]);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    const double deadline = now_s() + timeout_s;
    read_until(out_pipe[0], result.out, {}, deadline);
    read_until(err_pipe[0], result.err, {}, deadline);
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    result.status = pid < 0 ? -1 : wait_exit(pid, deadline);
    return result;
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
    c.fd = -1;
    c.buffered.clear();
}

bool send_all(const connection& c, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::send(c.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::optional<std::string> read_reply(connection& c, double timeout_s)
{
    const double deadline = now_s() + timeout_s;
    for (;;) {
        if (const auto end = c.buffered.find("\r\n"); end != std::string::npos) {
            std::string reply = c.buffered.substr(0, end + 2);
            c.buffered.erase(0, end + 2);
            return reply;
        }
        pollfd p{c.fd, POLLIN, 0};
        const int r = ::poll(&p, 1, remaining_ms(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return std::nullopt;
        char buf[4096];
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
    const double deadline = now_s() + timeout_s;
    for (;;) {
        pollfd p{c.fd, POLLIN, 0};
        const int r = ::poll(&p, 1, remaining_ms(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        char buf[4096];
        const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
        if (n <= 0) return true;
    }
}

bool shell(const std::string& command)
{
    return std::system(command.c_str()) == 0;
}
