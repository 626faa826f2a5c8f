// SPDX-License-Identifier: GPL-2.0-or-later
/* quenlyte-bench-fork-client: the reference for the daemon's start-up, the
 * least a client of the service that detaches does before its first command:
 * fork, setsid in the child, connect to 127.0.0.1:5000 and send
 * "status pppoe". It then waits until the service closes the connection. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int main(void)
{
    static const char line[] = "status pppoe\r\n";
    const unsigned short service_port = 5000;
    struct sockaddr_in address = {0};
    char reply[64];
    int s;

    const pid_t child = fork();
    if (child < 0) return 1;
    if (child > 0) return 0;
    if (setsid() < 0) return 1;
    s = socket(AF_INET, SOCK_STREAM, 0);
    address.sin_family = AF_INET;
    address.sin_port = htons(service_port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s < 0 || connect(s, (const struct sockaddr*)&address, sizeof address) != 0) return 1;
    if (write(s, line, sizeof line - 1) != (ssize_t)(sizeof line - 1)) return 1;
    while (read(s, reply, sizeof reply) > 0) {
    }
    return 0;
}
