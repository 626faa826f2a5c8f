// The client on protocol bytes: what it writes and what it makes of replies.
#include "link_client.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

// The daemon's end flag, which the client consults before waiting for a reply.
volatile sig_atomic_t got_signal = 0;

namespace {

// The value text for a reply of these exact bytes, or "<null>".
std::string value_of(const std::string& reply)
{
    char buffer[8193];
    std::memcpy(buffer, reply.data(), reply.size());
    const char* value = parse_reply(buffer, reply.size());
    return value != nullptr ? value : "<null>";
}

std::string read_all(int descriptor)
{
    char bytes[512];
    const ssize_t got = read(descriptor, bytes, sizeof bytes);
    return got > 0 ? std::string(bytes, static_cast<std::size_t>(got)) : std::string();
}

} // namespace

TEST(ParseReply, GivesTheValueOfEachAcceptedForm)
{
    const struct {
        std::string reply;
        std::string value;
    } cases[] = {
        {"OK Online\r\n", "Online"},
        {"OK 1234 5678\r\n", "1234 5678"},
        {"OK \r\n", ""},
        {"OK\r\n", "OK"},
        {"OK", "OK"},
        {"1234 5678\r\nOK\r\n", "1234 5678\r\n"},
        {"xOK", "x"},
        {"OK Offline\n\r\r\n\n", "Offline"},
        {"Online\r\n", "<null>"},
        {"\n", "<null>"},
        {"\r\n", "<null>"},
        {"ERR unknown command\r\n", "<null>"},
        {"ok online\r\n", "<null>"},
        {std::string("OK On\0line\r\n", 12), "On"},
        {"OK Online\r\nOK 1 2\r\n", "Online\r\nOK 1 2"},
    };
    for (const auto& c : cases) EXPECT_EQ(value_of(c.reply), c.value) << c.reply;
}

TEST(ParseReply, HandlesAReplyThatFillsTheWholeBuffer)
{
    std::string reply(8192, 'a');
    reply.replace(8190, 2, "OK");
    EXPECT_EQ(value_of(reply), std::string(8190, 'a'));
}

TEST(Client, SendsEachCommandAsOneLineAndReadsOneReply)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    send_command(pair[0], "status pppoe");
    EXPECT_EQ(read_all(pair[1]), "status pppoe\r\n");

    ASSERT_EQ(write(pair[1], "OK Online\r\n", 11), 11);
    const char* value = get_answer(pair[0]);
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, "Online");

    close(pair[1]);
    EXPECT_EQ(get_answer(pair[0]), nullptr) << "a closed connection gives no reply";
    close(pair[0]);
}

TEST(Client, CutsAnOverlongCommandButKeepsTheLineEnd)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const std::string command(400, 'c');
    send_command(pair[0], command.c_str());
    const std::string line = read_all(pair[1]);
    EXPECT_EQ(line.size(), 255u);
    EXPECT_EQ(line.substr(253), "\r\n");
    close(pair[0]);
    close(pair[1]);
}

TEST(Client, ConnectsOnceAndExchangesValuesWithArguments)
{
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);

    const int client = service_connect("127.0.0.1", ntohs(address.sin_port));
    ASSERT_GE(client, 0);
    const int server = accept(listener, nullptr, nullptr);
    ASSERT_GE(server, 0);

    ASSERT_EQ(write(server, "OK 3 4\r\n", 8), 8);
    EXPECT_STREQ(get_value("rate pppoe", 3), "3 4");
    EXPECT_EQ(read_all(server), "rate pppoe 3\r\n");

    ASSERT_EQ(write(server, "garbage\r\n", 9), 9);
    EXPECT_STREQ(get_value("status pppoe", -1), "") << "an unaccepted reply is the empty text";
    EXPECT_EQ(read_all(server), "status pppoe\r\n");

    got_signal = SIGTERM;
    EXPECT_STREQ(get_value("status pppoe", -1), "") << "no wait for a reply once ending";
    EXPECT_EQ(read_all(server), "status pppoe\r\n");
    got_signal = 0;

    close(server);
    EXPECT_STREQ(get_value("status pppoe", -1), "");
    close(client);
    close(listener);
}

TEST(Client, ReportsAFailedConnectionWithMinusOne)
{
    // Port 1 on loopback: nothing listens there in a test sandbox.
    EXPECT_EQ(service_connect("127.0.0.1", 1), -1);
}
