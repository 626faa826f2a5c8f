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
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::size_t reply_size = 8192;    // bytes of one reply
constexpr std::size_t line_size = 256;      // command, CR, LF and terminator
constexpr std::size_t argument_size = 64;   // command with its numeric argument

int fd = -1;                 // the service connection
char buf[reply_size + 1];    // the reply, plus room for its terminator

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
        std::memcpy(&address.sin_addr, entry->h_addr_list[0], static_cast<std::size_t>(entry->h_length));
    }
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));

    const int descriptor = socket(AF_INET, SOCK_STREAM, 0);
    if (descriptor < 0) {
        report_errno("socket");
        return -1;
    }
    (void)setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
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

const char* get_answer(int descriptor)
{
    const ssize_t got = read(descriptor, buf, reply_size);
    if (got <= 0) return nullptr;
    return parse_reply(buf, static_cast<std::size_t>(got));
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
    // itself interrupts it.)
    const char* value = got_signal == 0 ? get_answer(fd) : nullptr;
    return value != nullptr ? value : "";
}
