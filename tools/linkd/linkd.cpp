// quenlyte-linkd: the link-control service. Main and the single-threaded
// poll loop serving every client.
#include "activation.h"
#include "link_source.h"
#include "options.h"
#include "protocol.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace
{

// Limits, so that no client can stall the others or grow memory without bound.
constexpr std::size_t max_clients = 64;                  // extra connections are closed at once
constexpr std::size_t max_pending_out_bytes = std::size_t{64} * 1024; // unsent replies before a drop
constexpr int client_sndbuf_bytes = 32 * 1024;           // kernel send buffer per client
constexpr std::size_t read_chunk_bytes = 4096;           // read per client per loop turn
constexpr int listen_backlog = 64;                       // pending connections

struct client {
    int fd = -1;
    line_splitter splitter;
    std::string pending; // replies not yet taken by the socket
    bool dead = false;
    bool abort = false; // close with a reset, discarding unsent replies
};

volatile std::sig_atomic_t stop_signal = 0;
int listen_fd = -1;
std::vector<client> clients;
const auto clock_start = std::chrono::steady_clock::now();

void on_stop_signal(int sig)
{
    stop_signal = sig;
}

double now_s()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - clock_start).count();
}

void report(const std::string& context, const std::string& reason)
{
    std::fprintf(stderr, "quenlyte-linkd: %s: %s\n", context.c_str(), reason.c_str());
}

// Takes the listening socket that the service manager handed over (socket
// activation) as descriptor `fd`; on failure reports and returns false.
bool take_handed_listener(int fd)
{
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    int listening = 0;
    socklen_t size = sizeof listening;
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || listening == 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        addr.sin_family != AF_INET) {
        report("socket activation",
               "descriptor " + std::to_string(fd) + " is not a listening IPv4 TCP socket");
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); // accept_clients reads to EAGAIN
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    listen_fd = fd;
    char text[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    report(std::string(text) + ":" + std::to_string(ntohs(addr.sin_port)), "listening");
    return true;
}

// Takes a handed-over listening socket, or else opens its own on --listen;
// on failure reports and returns false.
bool open_listener(const linkd_options& options)
{
    std::string handed_error;
    const int handed = handed_listener(std::getenv("LISTEN_PID"), std::getenv("LISTEN_FDS"),
                                       static_cast<long>(::getpid()), handed_error);
    if (!handed_error.empty()) {
        report("socket activation", handed_error);
        return false;
    }
    if (handed >= 0) return take_handed_listener(handed);

    const std::string where = options.listen_addr + ":" + std::to_string(options.listen_port);
    listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listen_fd < 0) {
        report(where, std::strerror(errno));
        return false;
    }
    const int one = 1;
    ::setsockopt(listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(options.listen_port);
    ::inet_pton(AF_INET, options.listen_addr.c_str(), &addr.sin_addr);
    if (::bind(listen_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_fd, listen_backlog) != 0) {
        report(where, std::strerror(errno));
        return false;
    }
    socklen_t len = sizeof addr;
    ::getsockname(listen_fd, reinterpret_cast<sockaddr*>(&addr), &len);
    report(options.listen_addr + ":" + std::to_string(ntohs(addr.sin_port)), "listening");
    return true;
}

void accept_clients()
{
    for (;;) {
        const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) report("accept", std::strerror(errno));
            return;
        }
        if (clients.size() >= max_clients) {
            ::close(fd); // refused: too many clients
            continue;
        }
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &client_sndbuf_bytes, sizeof client_sndbuf_bytes);
        clients.push_back(client{fd, {}, {}, false, false});
    }
}

// Writes as much of the pending replies as the socket takes.
void flush(client& c)
{
    while (!c.pending.empty()) {
        const ssize_t n = ::send(c.fd, c.pending.data(), c.pending.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n <= 0) {
            c.dead = true;
            return;
        }
        c.pending.erase(0, static_cast<std::size_t>(n));
    }
}

// Sends one reply in one write when nothing is queued, else queues it.
void send_reply(client& c, std::string_view reply)
{
    if (c.dead) return;
    const bool was_empty = c.pending.empty();
    c.pending.append(reply);
    if (was_empty) flush(c);
    if (c.pending.size() > max_pending_out_bytes) c.dead = c.abort = true; // never reads: drop it
}

void close_client(const client& c)
{
    if (c.abort) { // reset now instead of keeping unsent replies in the kernel
        const linger reset{1, 0};
        ::setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    ::close(c.fd);
}

void serve_input(client& c)
{
    char buf[read_chunk_bytes];
    const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) c.dead = true;
        return;
    }
    if (n == 0) { // the client is done: hand over what is queued, then close
        flush(c);
        c.dead = true;
        return;
    }
    std::vector<line_event> events;
    split_lines(c.splitter, std::string_view(buf, static_cast<std::size_t>(n)), events);
    if (events.empty()) return;
    const link_reading reading = source_reading(now_s());
    for (const line_event& e : events) {
        if (e.too_long)
            send_reply(c, too_long_reply());
        else
            send_reply(c, reply_for(e.line, reading));
    }
}

int poll_timeout_ms()
{
    const double due = source_next_poll_s();
    if (due < 0) return -1;
    const double wait_ms = (due - now_s()) * 1000.0;
    if (wait_ms <= 0) return 0;
    return static_cast<int>(wait_ms) + 1;
}

void serve(const sigset_t& wait_mask)
{
    std::vector<pollfd> fds;
    while (stop_signal == 0) {
        fds.clear();
        fds.push_back(pollfd{listen_fd, POLLIN, 0});
        for (const client& c : clients) {
            const short events = static_cast<short>(POLLIN | (c.pending.empty() ? 0 : POLLOUT));
            fds.push_back(pollfd{c.fd, events, 0});
        }
        const int timeout_ms = poll_timeout_ms();
        timespec timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
        const int ready =
            ::ppoll(fds.data(), fds.size(), timeout_ms < 0 ? nullptr : &timeout, &wait_mask);
        if (ready < 0 && errno != EINTR) {
            report("poll", std::strerror(errno));
            return;
        }
        source_poll(now_s());
        if (ready <= 0) continue;

        // Clients accepted now are polled from the next turn on.
        const std::size_t polled = clients.size();
        for (std::size_t i = 0; i < polled; ++i) {
            client& c = clients[i];
            const short revents = fds[i + 1].revents;
            if (revents & POLLOUT) flush(c);
            if (!c.dead && (revents & (POLLIN | POLLHUP | POLLERR))) serve_input(c);
        }
        if (fds[0].revents & POLLIN) accept_clients();
        std::erase_if(clients, [](const client& c) {
            if (c.dead) close_client(c);
            return c.dead;
        });
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    linkd_options options;
    std::string error;
    switch (parse_options(args, options, error)) {
    case parse_outcome::help:
        std::fputs(usage_text().data(), stdout);
        return 0;
    case parse_outcome::error:
        std::fprintf(stderr, "quenlyte-linkd: %s\n", error.c_str());
        return 1;
    case parse_outcome::run:
        break;
    }

    std::signal(SIGPIPE, SIG_IGN);
    // SIGINT and SIGTERM are blocked except while waiting in ppoll, so a stop
    // request is never lost between checking the flag and waiting.
    sigset_t stop_set, wait_mask;
    sigemptyset(&stop_set);
    sigaddset(&stop_set, SIGINT);
    sigaddset(&stop_set, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop_set, &wait_mask);
    sigdelset(&wait_mask, SIGINT);
    sigdelset(&wait_mask, SIGTERM);
    struct sigaction action {
    };
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    if (!source_open(options, now_s(), error)) {
        std::fprintf(stderr, "quenlyte-linkd: %s\n", error.c_str());
        return 1;
    }
    if (!open_listener(options)) return 1;

    serve(wait_mask);

    for (const client& c : clients) ::close(c.fd);
    clients.clear();
    ::close(listen_fd);
    source_close();
    if (stop_signal != 0) report(stop_signal == SIGINT ? "SIGINT" : "SIGTERM", "stopping");
    return stop_signal != 0 ? 0 : 1;
}
