// SPDX-License-Identifier: GPL-2.0-or-later
/* quenlyte-bench-line-server: the reference for quenlyte-linkd's CPU, the
 * least an event-driven service does for the daemon: one epoll wait, one read
 * and one write a command on 127.0.0.1:5000, a fixed reply ("OK Online" to
 * status, "OK 0 0" to anything else), no link behind it. */
/* A feature macro of the C library: a reserved name by design. */
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
#define _GNU_SOURCE /* accept4 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

int main(void)
{
    static const char online[] = "OK Online\r\n";
    static const char rates[] = "OK 0 0\r\n";
    const unsigned short service_port = 5000;
    struct sockaddr_in address = {0};
    struct epoll_event interest = {0};
    const int one = 1;
    char line[4096];

    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int poller = epoll_create1(EPOLL_CLOEXEC);
    address.sin_family = AF_INET;
    address.sin_port = htons(service_port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (listener < 0 || poller < 0 ||
        bind(listener, (const struct sockaddr*)&address, sizeof address) != 0 ||
        listen(listener, 16) != 0)
        return 1;
    interest.events = EPOLLIN;
    interest.data.fd = listener;
    epoll_ctl(poller, EPOLL_CTL_ADD, listener, &interest);
    fputs("quenlyte-bench-line-server: 127.0.0.1:5000: listening\n", stderr);
    for (;;) {
        struct epoll_event ready;
        if (epoll_wait(poller, &ready, 1, -1) != 1) continue;
        if (ready.data.fd == listener) {
            interest.data.fd = accept4(listener, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (interest.data.fd >= 0)
                epoll_ctl(poller, EPOLL_CTL_ADD, interest.data.fd, &interest);
            continue;
        }
        const ssize_t n = recv(ready.data.fd, line, sizeof line, 0);
        if (n <= 0) {
            close(ready.data.fd);
            continue;
        }
        const char* reply = line[0] == 's' ? online : rates;
        send(ready.data.fd, reply, strlen(reply), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
}
