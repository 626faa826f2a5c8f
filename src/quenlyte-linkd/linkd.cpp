// SPDX-License-Identifier: GPL-2.0-or-later
// quenlyte-linkd: the link-control service. Main and the single-threaded
// epoll loop serving every client.
#include "activation.h"
#include "clients.h"
#include "detach.h"
#include "link_source.h"
#include "options.h"
#include "protocol.h"
#include "signals.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <netinet/in.h>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

namespace
{

// Limits, so that no client can stall the others or grow memory without bound.
constexpr int client_sndbuf_bytes = 16 * 1024; // kernel send buffer per client; a client
                                               // that leaves it full is reset
constexpr std::size_t read_chunk_bytes = 4096; // read per client per loop turn
constexpr int listen_backlog = SOMAXCONN;      // pending connections
constexpr int events_per_turn = 64;            // ready descriptors taken per loop turn
constexpr rlim_t reserved_fds = 16;            // kept for stdio, listener, epoll, the source
constexpr std::size_t most_clients = std::size_t{1} << 20; // whatever the descriptor limit
constexpr double min_sweep_interval_s = 0.25;              // between looks for silent clients
constexpr double accept_pause_s = 1.0;                     // after running out of descriptors
constexpr std::uint64_t listener_key = std::numeric_limits<std::uint64_t>::max(); // epoll data

volatile std::sig_atomic_t stop_signal = 0;
bool to_syslog = false;   // detached: messages go to syslog, not to stderr
bool also_syslog = false; // detaching: a start failure goes to both
int listen_fd = -1;
std::string listen_where; // "ADDR:PORT" of the listener, for the listening line
int epoll_fd = -1;
double idle_s = default_idle_s;         // 0: never close silent clients
std::size_t max_clients = 0;            // from the descriptor limit
std::vector<client> clients;            // by place; fd -1 marks a free place
std::vector<std::uint32_t> free_places; // places of `clients` to use again
std::size_t clients_in_use = 0;
double next_sweep_s = 0; // no client falls silent for good before this
double last_sweep_s = -min_sweep_interval_s;
double accept_resume_s = -1; // accepting paused until then; negative: not paused
const auto clock_start = std::chrono::steady_clock::now();

void on_stop_signal(int sig)
{
    stop_signal = sig;
}

double now_s()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - clock_start).count();
}

// One message ("context: reason"): on stderr, or to syslog (ident
// quenlyte-linkd) once detached; while detaching, to both.
void report_line(const std::string& line, int priority = LOG_ERR)
{
    if (to_syslog || also_syslog) ::syslog(priority, "%s", line.c_str());
    if (!to_syslog) std::fprintf(stderr, "quenlyte-linkd: %s\n", line.c_str());
}

void report(const std::string& context, const std::string& reason, int priority = LOG_ERR)
{
    report_line(context + ": " + reason, priority);
}

// Raises the soft descriptor limit to the hard one; the clients served are
// what it allows, less a few descriptors kept for the service itself.
void size_for_descriptor_limit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    const rlim_t usable = limit.rlim_cur > reserved_fds ? limit.rlim_cur - reserved_fds : 1;
    max_clients = static_cast<std::size_t>(std::min<rlim_t>(usable, most_clients));
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
    listen_where = std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
    return true;
}

// Takes a handed-over listening socket, or else opens its own on --listen,
// and notes where it listens; on failure reports and returns false.
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
    listen_where = options.listen_addr + ":" + std::to_string(ntohs(addr.sin_port));
    return true;
}

void close_client(std::size_t place, bool reset)
{
    client& c = clients[place];
    if (reset) { // discard unsent replies instead of leaving them to the kernel
        const linger at_once{1, 0};
        ::setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &at_once, sizeof at_once);
    }
    ::close(c.fd);
    c.fd = -1;
    free_places.push_back(static_cast<std::uint32_t>(place));
    --clients_in_use;
}

void add_client(int fd, double now)
{
    if (clients_in_use >= max_clients) close_client(silent_longest(clients), false);
    std::size_t place = clients.size();
    if (free_places.empty()) {
        clients.emplace_back();
        free_places.reserve(clients.capacity()); // closing never allocates
    } else {
        place = free_places.back();
        free_places.pop_back();
    }
    epoll_event interest{};
    interest.events = EPOLLIN;
    interest.data.u64 = place;
    if (::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &interest) != 0) {
        report("epoll", std::strerror(errno));
        ::close(fd);
        free_places.push_back(static_cast<std::uint32_t>(place));
        return;
    }
    clients[place] = client{fd, now, {}};
    if (clients_in_use++ == 0) next_sweep_s = now + idle_s;
}

void watch_listener(std::uint32_t events)
{
    epoll_event interest{};
    interest.events = events;
    interest.data.u64 = listener_key;
    ::epoll_ctl(epoll_fd, EPOLL_CTL_MOD, listen_fd, &interest);
}

void accept_clients(double now)
{
    for (;;) {
        const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &client_sndbuf_bytes,
                         sizeof client_sndbuf_bytes);
            add_client(fd, now);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        const int err = errno;
        if ((err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) &&
            clients_in_use > 0) {
            close_client(silent_longest(clients), false); // make room, as for a full house
            continue;
        }
        // Nothing to give up: stop accepting for a while rather than spin.
        report("accept", std::strerror(err));
        watch_listener(0);
        accept_resume_s = now + accept_pause_s;
        return;
    }
}

// Sends a reply whole, or tells that the client no longer takes them.
bool send_reply(int fd, std::string_view reply)
{
    for (;;) {
        const ssize_t n = ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        return n == static_cast<ssize_t>(reply.size());
    }
}

void serve_client(std::size_t place, double now)
{
    client& c = clients[place];
    char buf[read_chunk_bytes];
    const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) close_client(place, false);
        return;
    }
    if (n == 0) { // the client is done
        close_client(place, false);
        return;
    }
    std::string_view bytes(buf, static_cast<std::size_t>(n));
    for (line_event e = next_line(c.splitter, bytes); e.kind != line_kind::none;
         e = next_line(c.splitter, bytes)) {
        bool sent = false;
        if (e.kind == line_kind::line) {
            c.last_line_s = now;
            const command cmd = parse_command(e.line);
            reply_buffer text;
            sent = send_reply(
                c.fd, reply_for(cmd, cmd == command::unknown ? link_reading{} : source_reading(now),
                                text));
        } else {
            sent = send_reply(c.fd, too_long_reply());
        }
        if (!sent) { // it does not read its replies: drop it
            close_client(place, true);
            return;
        }
    }
}

// Closes the clients silent for the idle time, at most every
// min_sweep_interval_s, and notes when the next one will be.
void close_silent_clients(double now)
{
    if (idle_s <= 0 || clients_in_use == 0 || now < next_sweep_s ||
        now < last_sweep_s + min_sweep_interval_s)
        return;
    last_sweep_s = now;
    for (std::size_t place = 0; place < clients.size(); ++place)
        if (clients[place].fd >= 0 && now - clients[place].last_line_s >= idle_s)
            close_client(place, false);
    const std::size_t oldest = silent_longest(clients);
    if (oldest != no_client) next_sweep_s = clients[oldest].last_line_s + idle_s;
}

// How long the loop may sleep: for ever unless a client may fall silent or a
// paused accept may resume. Without clients the service never wakes by itself.
int wait_ms(double now)
{
    double due = std::numeric_limits<double>::infinity();
    if (idle_s > 0 && clients_in_use > 0)
        due = std::max(next_sweep_s, last_sweep_s + min_sweep_interval_s);
    if (accept_resume_s >= 0) due = std::min(due, accept_resume_s);
    if (std::isinf(due)) return -1;
    constexpr double longest_wait_ms = 1e9;
    return static_cast<int>(std::clamp(std::ceil((due - now) * 1000.0), 0.0, longest_wait_ms));
}

void serve(const sigset_t& wait_mask)
{
    epoll_event ready[events_per_turn];
    while (stop_signal == 0) {
        const int count =
            ::epoll_pwait(epoll_fd, ready, events_per_turn, wait_ms(now_s()), &wait_mask);
        if (count < 0 && errno != EINTR) {
            report("epoll", std::strerror(errno));
            return;
        }
        const double now = now_s();
        // Clients are served before new ones are accepted, so that no place
        // given up for a newcomer has an event pending in this turn.
        bool listener_ready = false;
        for (int i = 0; i < count; ++i) {
            if (ready[i].data.u64 == listener_key)
                listener_ready = true;
            else if (clients[ready[i].data.u64].fd >= 0)
                serve_client(ready[i].data.u64, now);
        }
        if (accept_resume_s >= 0 && now >= accept_resume_s) {
            accept_resume_s = -1;
            watch_listener(EPOLLIN);
            listener_ready = true;
        }
        if (listener_ready) accept_clients(now);
        close_silent_clients(now);
    }
}

// Watches the listener; false (reported) on failure.
bool start_watching()
{
    epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event interest{};
    interest.events = EPOLLIN;
    interest.data.u64 = listener_key;
    if (epoll_fd < 0 || ::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, listen_fd, &interest) != 0) {
        report("epoll", std::strerror(errno));
        return false;
    }
    return true;
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
    case parse_outcome::version:
        std::puts("quenlyte-linkd " QUENLYTE_VERSION);
        return 0;
    case parse_outcome::error:
        std::fprintf(stderr, "quenlyte-linkd: %s\n", error.c_str());
        return 1;
    case parse_outcome::run:
        break;
    }

    std::signal(SIGPIPE, SIG_IGN);
    // SIGINT and SIGTERM are blocked except while waiting in epoll_pwait, so a stop
    // request is never lost between checking the flag and waiting.
    sigset_t stop_set, wait_mask;
    sigemptyset(&stop_set);
    sigaddset(&stop_set, SIGINT);
    sigaddset(&stop_set, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop_set, &wait_mask);
    sigdelset(&wait_mask, SIGINT);
    sigdelset(&wait_mask, SIGTERM);
    catch_signal(SIGINT, on_stop_signal);
    catch_signal(SIGTERM, on_stop_signal);

    if (options.detach) {
        ::openlog("quenlyte-linkd", LOG_PID, LOG_DAEMON);
        also_syslog = true;
    }
    idle_s = options.idle_s;
    size_for_descriptor_limit();
    if (!source_open(options, now_s(), error)) {
        report_line(error);
        return 1;
    }
    if (!open_listener(options)) return 1;
    // Detached, the starting process ends here once the service is ready;
    // until then the service's errors still reach the caller's stderr.
    int ready_fd = -1;
    if (options.detach && (ready_fd = detach_fork()) < 0) {
        report("fork", std::strerror(errno));
        return 1;
    }
    if (!start_watching()) return 1;
    const std::string pidfile = absolute_path(options.pidfile);
    if (!pidfile.empty() && !write_pidfile(pidfile, error)) {
        report_line(error);
        return 1;
    }
    if (options.detach) {
        if (!detach_ready(ready_fd, error)) {
            report_line(error);
            if (!pidfile.empty()) ::unlink(pidfile.c_str());
            return 1;
        }
        to_syslog = true;
    }
    report(listen_where, "listening", LOG_INFO);

    serve(wait_mask);

    for (const client& c : clients)
        if (c.fd >= 0) ::close(c.fd);
    clients.clear();
    ::close(epoll_fd);
    ::close(listen_fd);
    source_close();
    if (!pidfile.empty()) ::unlink(pidfile.c_str());
    if (stop_signal != 0)
        report(stop_signal == SIGINT ? "SIGINT" : "SIGTERM", "stopping", LOG_INFO);
    return stop_signal != 0 ? 0 : 1;
}
