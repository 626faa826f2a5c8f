// SPDX-License-Identifier: GPL-2.0-or-later
// The client on protocol bytes: what it writes and what it makes of replies.
#include "link_client.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

// The daemon's end flag, which the client consults before waiting for a reply.
volatile sig_atomic_t got_signal = 0;

namespace
{

// The value text for a reply of these exact bytes, or "<null>".
std::string value_of(const std::string& reply)
{
    char buffer[8193];
    std::memcpy(buffer, reply.data(), reply.size());
    const char* value = parse_reply(buffer, reply.size());
    return value != nullptr ? value : "<null>";
}

// A reply source over scripted pieces: "<wait>" is a read that gets nothing
// in time, "<end>" the end of the stream. A piece larger than the room is
// given in parts, as a socket would.
struct scripted {
    std::vector<std::string> pieces;
    std::size_t next = 0;
    bool gave_up = false; // a later read of this reply got nothing
    int reads_after_giving_up = 0;
};

long scripted_read(void* context, char* into, std::size_t room, bool first)
{
    auto& s = *static_cast<scripted*>(context);
    if (first) s.gave_up = false;
    if (!first && s.gave_up) ++s.reads_after_giving_up;
    if (s.next == s.pieces.size() || s.pieces[s.next] == "<end>") {
        // The end stays for the later reads of this reply; a first read
        // takes it.
        if (first && s.next < s.pieces.size()) ++s.next;
        s.gave_up = !first;
        return 0;
    }
    std::string& piece = s.pieces[s.next];
    if (piece == "<wait>") {
        ++s.next;
        s.gave_up = !first;
        return -1;
    }
    const std::size_t count = std::min(room, piece.size());
    std::memcpy(into, piece.data(), count);
    piece.erase(0, count);
    if (piece.empty()) ++s.next;
    return static_cast<long>(count);
}

// The values of the replies framed one after another from `pieces` in a
// buffer of `size` bytes, "<null>" for none, until the pieces run out.
std::vector<std::string> framed(std::vector<std::string> pieces, std::size_t size = 8192)
{
    scripted source{std::move(pieces)};
    std::vector<char> buffer(size + 1);
    std::vector<std::string> values;
    bool after_cr = false;
    while (source.next < source.pieces.size()) {
        const char* value = frame_reply(buffer.data(), size, scripted_read, &source, after_cr);
        values.emplace_back(value != nullptr ? value : "<null>");
    }
    EXPECT_EQ(source.reads_after_giving_up, 0) << "it waited again after a wait had run out";
    return values;
}

using values = std::vector<std::string>;

std::string read_all(int descriptor)
{
    char bytes[512];
    const ssize_t got = read(descriptor, bytes, sizeof bytes);
    return got > 0 ? std::string(bytes, static_cast<std::size_t>(got)) : std::string();
}

// A listener on a free loopback port, the client's service_connect to it,
// and the accepted server end.
void connect_to_loopback_service(int& listener, int& client, int& server)
{
    listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    client = service_connect("127.0.0.1", ntohs(address.sin_port));
    ASSERT_GE(client, 0);
    server = accept(listener, nullptr, nullptr);
    ASSERT_GE(server, 0);
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
        {std::string("\0\0\0\0\r\n", 6), "<null>"},
        {"\r\n\r\n\n\n\r\r", "<null>"},
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

TEST(FrameReply, JoinsAReplyThatArrivesInPiecesUpToItsLineEnd)
{
    const struct {
        std::vector<std::string> pieces;
        values expected;
    } cases[] = {
        {{"OK Online\r\n"}, {"Online"}},
        {{"OK On", "line\r\n", "OK 1 2\r\n"}, {"Online", "1 2"}},
        {{"O", "K", " ", "1", " 2", "\n", "OK 3 4\r\n"}, {"1 2", "3 4"}},
        {{"1234 5678", "\r\nOK\r\n"}, {"1234 5678\r\n"}},
        // No line end: what arrived counts once nothing more comes.
        {{"OK Online", "<wait>", "OK 1 2\r\n"}, {"Online", "1 2"}},
        {{"OK 1", " 2", "<end>"}, {"1 2", "<null>"}},
        {{"OK", "<wait>"}, {"OK"}},
        // Two replies in one piece are one reply.
        {{"OK Online\r\nOK 1 2\r\n", "OK 3 4\r\n"}, {"Online\r\nOK 1 2", "3 4"}},
    };
    for (const auto& c : cases) EXPECT_EQ(framed(c.pieces), c.expected) << c.pieces[0];
}

TEST(FrameReply, TakesAnLfAfterACrEndedReplyAsThatLineEnd)
{
    const struct {
        std::vector<std::string> pieces;
        values expected;
    } cases[] = {
        {{"OK Online\r", "\nOK 1 2\r\n"}, {"Online", "1 2"}},
        {{"OK Online\r", "\n", "OK 1 2\r\n"}, {"Online", "1 2"}},
        {{"OK a\r\r", "\nOK b\n\r", "\nOK c\r"}, {"a", "b", "c"}},
        // Only right after a CR, and only one LF.
        {{"OK a\n", "\nOK b\r\n"}, {"a", "<null>"}},
        {{"OK a\r", "\n\nOK b\r\n"}, {"a", "<null>"}},
        {{"OK a", "<wait>", "\nOK b\r\n"}, {"a", "<null>"}},
    };
    for (const auto& c : cases) EXPECT_EQ(framed(c.pieces), c.expected) << c.pieces[0];
}

TEST(FrameReply, DrainsAReplyLongerThanTheBufferAndStaysInStep)
{
    const std::string full(16, 'x');
    const struct {
        std::vector<std::string> pieces;
        values expected;
    } cases[] = {
        {{full + "y\r\n", "OK 1 2\r\n"}, {"<null>", "1 2"}},
        {{"OK Online" + full + "\r\n", "OK 1 2\r\n"}, {"<null>", "1 2"}},
        {{full, full, full, "\n", "OK 1 2\r\n"}, {"<null>", "1 2"}},
        {{full + full + "\r", "\nOK 1 2\r\n"}, {"<null>", "1 2"}},
        {{full, "tail", "<wait>", "OK 1 2\r\n"}, {"<null>", "1 2"}},
        // Exactly the buffer, and nothing after it: the reply fits.
        {{"0123456789abcdOK", "<wait>", "OK 1 2\r\n"}, {"0123456789abcd", "1 2"}},
        {{"OK 0123456789ab\r", "\nOK 1 2\r\n"}, {"0123456789ab", "1 2"}},
    };
    for (const auto& c : cases) EXPECT_EQ(framed(c.pieces, 16), c.expected) << c.pieces[0];
}

TEST(FrameReply, DrainsOverlongRepliesInTheDaemonsBufferAndStaysInStep)
{
    // The daemon's 8192 bytes: a status reply whose blanks overflow it, and
    // one that arrives in pieces larger than half of it.
    EXPECT_EQ(framed({"OK Online" + std::string(8192, ' ') + "\r\n", "OK 1 2\r\n"}),
              (values{"<null>", "1 2"}));
    EXPECT_EQ(framed({std::string(5000, 'y'), std::string(5000, 'y'), "\n", "OK 1 2\r\n"}),
              (values{"<null>", "1 2"}));
    // A line of line ends alone is no reply and keeps the next in step.
    EXPECT_EQ(framed({"\r\n\r\n\n\n\r\r", "OK 1 2\r\n"}), (values{"<null>", "1 2"}));
}

TEST(FrameReply, GivesNoReplyAtTheEndOfTheStreamOrWhenNothingCame)
{
    EXPECT_EQ(framed({"<end>"}), values{"<null>"});
    EXPECT_EQ(framed({"<wait>"}), values{"<null>"});
    EXPECT_EQ(framed({"OK a\r", "\n", "<end>"}), (values{"a", "<null>"}));
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
    int listener = -1;
    int client = -1;
    int server = -1;
    ASSERT_NO_FATAL_FAILURE(connect_to_loopback_service(listener, client, server));

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

TEST(Client, JoinsAReplySentInPiecesAndDrainsAnOverlongOneOnASocket)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    std::thread service([&] {
        ASSERT_EQ(write(pair[1], "OK On", 5), 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_EQ(write(pair[1], "line\r\n", 6), 6);
    });
    const char* value = get_answer(pair[0]);
    service.join();
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, "Online");

    const std::string overlong = "OK " + std::string(20000, '9') + "\r\n";
    service = std::thread([&] {
        std::size_t sent = 0;
        while (sent < overlong.size()) {
            const ssize_t n = write(pair[1], overlong.data() + sent, overlong.size() - sent);
            if (n <= 0) return;
            sent += static_cast<std::size_t>(n);
        }
    });
    EXPECT_EQ(get_answer(pair[0]), nullptr);
    service.join();
    ASSERT_EQ(write(pair[1], "OK 1 2\r\n", 8), 8);
    value = get_answer(pair[0]);
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, "1 2") << "the overlong reply's tail was taken for the next reply";
    close(pair[0]);
    close(pair[1]);
}

TEST(Client, StopsJoiningPiecesOnceEnding)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ASSERT_EQ(write(pair[1], "OK On", 5), 5);
    got_signal = SIGTERM;
    const char* value = get_answer(pair[0]);
    got_signal = 0;
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, "On") << "it waited for the rest of the reply";
    close(pair[0]);
    close(pair[1]);
}

TEST(Client, AReadThatStartsAfterTheEndingSignalStillEnds)
{
    int listener = -1;
    int client = -1;
    int server = -1;
    ASSERT_NO_FATAL_FAILURE(connect_to_loopback_service(listener, client, server));

    // The signal came just before the read, so nothing interrupts it, and
    // the service never answers: the read must still end.
    got_signal = SIGTERM;
    EXPECT_EQ(get_answer(client), nullptr);
    got_signal = 0;
    close(server);
    close(client);
    close(listener);
}

TEST(Client, ReportsAFailedConnectionWithMinusOne)
{
    // Port 1 on loopback: nothing listens there in a test sandbox.
    EXPECT_EQ(service_connect("127.0.0.1", 1), -1);
}
