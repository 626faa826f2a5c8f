// SPDX-License-Identifier: GPL-2.0-or-later
// Socket activation: the LISTEN_* variables, and the service serving on a
// listening socket handed to it as descriptor 3.
#include "activation.h"
#include "service_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

TEST(LinkdActivation, TakesDescriptorThreeOnlyWhenHandedExactlyOneSocket)
{
    struct row {
        const char* pid;
        const char* fds;
        int fd;
        const char* error; // start of the error, or "" for none
    };
    const row rows[] = {
        {"42", "1", 3, ""},
        {nullptr, "1", -1, ""}, // started by hand
        {"42", nullptr, -1, ""},
        {"41", "1", -1, ""}, // handed to a parent, inherited
        {"42", "0", -1, ""},
        {"42", "2", -1, "LISTEN_FDS: 2 sockets"},
        {"42x", "1", -1, "LISTEN_PID: "},
        {"", "1", -1, "LISTEN_PID: "},
        {"42", "-1", -1, "LISTEN_FDS: "},
        {"42", " 1", -1, "LISTEN_FDS: "},
        {"42", "99999999999999999999", -1, "LISTEN_FDS: "},
    };
    for (const row& r : rows) {
        std::string error = "stale";
        EXPECT_EQ(handed_listener(r.pid, r.fds, 42, error), r.fd)
            << (r.pid ? r.pid : "(unset)") << " " << (r.fds ? r.fds : "(unset)");
        EXPECT_TRUE(error.starts_with(r.error) && (error.empty() == (*r.error == '\0'))) << error;
    }
}

TEST(LinkdActivation, ServesOnTheListeningSocketHandedToIt)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0); // blocking, as handed over
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 8), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    int err[2];
    ASSERT_EQ(::pipe2(err, O_CLOEXEC), 0);

    const std::string linkd = linkd_path();
    service s;
    s.pid = ::fork();
    if (s.pid == 0) { // --listen names a port it must not open
        ::dup2(listener, 3);
        ::dup2(err[1], 2);
        ::setenv("LISTEN_PID", std::to_string(::getpid()).c_str(), 1);
        ::setenv("LISTEN_FDS", "1", 1);
        ::execl(linkd.c_str(), linkd.c_str(), "--demo", "--listen", "127.0.0.1:1", nullptr);
        ::_exit(127);
    }
    ::close(err[1]);
    ::close(listener);
    s.err_fd = err[0];

    connection c = connect_to(ntohs(addr.sin_port));
    ASSERT_GE(c.fd, 0);
    const auto reply = ask(c, "status pppoe");
    ASSERT_TRUE(reply.has_value());
    EXPECT_TRUE(*reply == "OK Online\r\n" || *reply == "OK Offline\r\n") << *reply;
    close_connection(c);
    EXPECT_EQ(stop_service(s, SIGTERM), 0);
    EXPECT_NE(s.err_text.find("127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + ": listening"),
              std::string::npos)
        << s.err_text;
}

} // namespace
