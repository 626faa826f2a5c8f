// SPDX-License-Identifier: GPL-2.0-or-later
#include "link_client.h"

#include "report.h"

#include <csignal>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

namespace
{

constexpr std::size_t reply_size = 8192;  // bytes of one reply
constexpr std::size_t line_size = 256;    // command, CR, LF and terminator
constexpr std::size_t argument_size = 64; // command with its numeric argument
// Milliseconds, all told, that one reply may take to arrive in full after its
// first piece (the rest of a split reply, or the tail of an overlong one).
constexpr int reply_budget_ms = 200;
constexpr long long ns_per_ms = 1000000;

int fd = -1;                 // the service connection
char buf[reply_size + 1];    // the reply, plus room for its terminator
bool reply_after_cr = false; // the last reply ended in CR (see frame_reply)
// How long one read waits before it looks at the end flag again. A signal
// interrupts a read at once; this bounds how late one that lands just before
// the read starts is seen, at no cost while the service answers.
constexpr timeval end_check_interval{0, 100000}; // 100 ms

bool is_line_end(char c)
{
    return c == '\n' || c == '\r';
}

// The service connection as a reply_source. The first read is a plain
// read(); later ones wait in poll() for what is left of the budget, which
// starts with the first of them.
struct socket_source {
    int descriptor;
    bool budget_started;
    long long deadline_ns; // CLOCK_MONOTONIC
};

// Nanoseconds on the monotonic clock. A plain libc call, so that the daemon
// needs no C++ runtime library at run time.
long long monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 * ns_per_ms + now.tv_nsec;
}

} // namespace

extern volatile sig_atomic_t got_signal;

int service_connect(const char* host, int port)
{
    sockaddr_in address{};
    const int on = 1;

    address.sin_addr.s_addr = inet_addr(host);
    if (address.sin_addr.s_addr == INADDR_NONE) {
        const hostent* entry = gethostbyname(host);
        if (entry == nullptr || entry->h_addrtype != AF_INET ||
            entry->h_length > static_cast<int>(sizeof address.sin_addr)) {
            report("%s: host not found", host);
            return -1;
        }
        std::memcpy(&address.sin_addr, entry->h_addr_list[0],
                    static_cast<std::size_t>(entry->h_length));
    }
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));

    const int descriptor = socket(AF_INET, SOCK_STREAM, 0);
    if (descriptor < 0) {
        report_errno("socket");
        return -1;
    }
    (void)setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    (void)setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &end_check_interval,
                     sizeof end_check_interval);
    if (connect(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int saved = errno;
        close(descriptor);
        errno = saved;
        report_errno(host);
        return -1;
    }
    fd = descriptor;
    return descriptor;
}

void send_command(int descriptor, const char* command)
{
    char line[line_size];
    const int length = std::snprintf(line, sizeof line, "%s\r\n", command);
    if (length < 0) return;
    // A command too long for the line is cut to what fits; the line end stays.
    std::size_t count = static_cast<std::size_t>(length);
    if (count >= sizeof line) {
        count = sizeof line - 1;
        line[count - 2] = '\r';
        line[count - 1] = '\n';
    }
    (void)!write(descriptor, line, count);
}

const char* parse_reply(char* reply, std::size_t length)
{
    while (length > 1 && (reply[length - 1] == '\n' || reply[length - 1] == '\r')) --length;
    reply[length] = '\0';

    if (length >= 3 && std::memcmp(reply, "OK ", 3) == 0) return reply + 3;
    if (length > 2 && std::memcmp(reply + length - 2, "OK", 2) == 0) {
        reply[length - 2] = '\0';
        return reply;
    }
    if (length == 2 && std::memcmp(reply, "OK", 2) == 0) return reply;
    return nullptr;
}

namespace
{

long read_socket(void* context, char* into, std::size_t room, bool first)
{
    auto& source = *static_cast<socket_source*>(context);
    if (!first) {
        // A signal ends the wait at once; the check before the poll covers
        // a signal that came while this reply was being joined.
        if (got_signal != 0) return -1;
        const long long now = monotonic_ns();
        if (!source.budget_started) {
            source.budget_started = true;
            source.deadline_ns = now + reply_budget_ms * ns_per_ms;
        }
        const long long left_ns = source.deadline_ns - now;
        if (left_ns <= 0) return -1;
        const long long left_ms = (left_ns + ns_per_ms - 1) / ns_per_ms; // rounded up
        pollfd ready{source.descriptor, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(left_ms)) <= 0) return -1;
    }
    ssize_t got;
    // The first read waits for the service as long as it takes (there is no
    // time-out), but only while the daemon is not ending.
    do got = read(source.descriptor, into, room);
    while (got < 0 && first && (errno == EAGAIN || errno == EWOULDBLOCK) && got_signal == 0);
    return got < 0 ? -1 : static_cast<long>(got);
}

} // namespace

const char* frame_reply(char* buffer, std::size_t size, reply_source source, void* context,
                        bool& after_cr)
{
    std::size_t length = 0;
    while (length == 0) {
        const long got = source(context, buffer, size, true);
        if (got <= 0) {
            after_cr = false;
            return nullptr;
        }
        length = static_cast<std::size_t>(got);
        if (after_cr && buffer[0] == '\n') {
            --length;
            std::memmove(buffer, buffer + 1, length);
        }
        after_cr = false;
    }
    while (!is_line_end(buffer[length - 1]) && length < size) {
        const long got = source(context, buffer + length, size - length, false);
        if (got <= 0) break;
        length += static_cast<std::size_t>(got);
    }
    if (length == size && !is_line_end(buffer[length - 1])) {
        // Full without a line end: if more comes, the reply is longer than
        // the buffer. Drain it (over the bytes kept so far) to its line end.
        bool overlong = false;
        for (;;) {
            const long got = source(context, buffer, size, false);
            if (got <= 0) break;
            overlong = true;
            after_cr = buffer[got - 1] == '\r';
            if (is_line_end(buffer[got - 1])) break;
        }
        if (overlong) return nullptr;
    }
    after_cr = buffer[length - 1] == '\r';
    return parse_reply(buffer, length);
}

const char* get_answer(int descriptor)
{
    socket_source source{descriptor, false, 0};
    return frame_reply(buf, reply_size, read_socket, &source, reply_after_cr);
}

const char* get_value(const char* command, int argument)
{
    char with_argument[argument_size];
    if (argument >= 0) {
        std::snprintf(with_argument, sizeof with_argument, "%s %d", command, argument);
        command = with_argument;
    }
    send_command(fd, command);
    // Once the daemon is ending, a service that has stopped answering must
    // not hold it: skip the wait for the reply. (A signal during the read
    // itself interrupts it; one that comes between this check and the read
    // is seen within end_check_interval.)
    const char* value = got_signal == 0 ? get_answer(fd) : nullptr;
    return value != nullptr ? value : "";
}
