// In-process tests of the pure parts of quenlyte-linkd, on bytes.
#include "clients.h"
#include "counters.h"
#include "demo.h"
#include "options.h"
#include "protocol.h"
#include "script.h"

#include <gtest/gtest.h>

namespace
{

TEST(LinkdOptions, AcceptsEachSourceAndRejectsBadLinesNamingTheOption)
{
    linkd_options o;
    std::string error;
    std::vector<std::string_view> args{"--script=/s", "--listen", "127.0.0.2:0", "--window=0.25",
                                       "--idle", "0"};
    ASSERT_EQ(parse_options(args, o, error), parse_outcome::run);
    EXPECT_EQ(o.source, source_kind::script);
    EXPECT_EQ(o.script_path, "/s");
    EXPECT_EQ(o.listen_addr, "127.0.0.2");
    EXPECT_EQ(o.listen_port, 0);
    EXPECT_EQ(o.window_s, 0.25);
    EXPECT_EQ(o.idle_s, 0.0);
    args = {"--iface", "ppp0"};
    ASSERT_EQ(parse_options(args, o, error), parse_outcome::run);
    EXPECT_EQ(o.iface, "ppp0");
    EXPECT_EQ(o.listen_port, 5000);
    EXPECT_EQ(o.window_s, 1.0);
    EXPECT_EQ(o.idle_s, 10.0);
    args = {"--demo", "--seed", "18446744073709551615"};
    ASSERT_EQ(parse_options(args, o, error), parse_outcome::run);
    EXPECT_EQ(o.seed, UINT64_MAX);

    const std::pair<std::vector<std::string_view>, std::string_view> bad[] = {
        {{"--window", "2"}, "link source: missing"},
        {{"--iface"}, "--iface: missing value"},
        {{"--iface", "sixteen_chars_xx"}, "--iface: not an interface name"},
        {{"--iface", "a/b"}, "--iface: not an interface name"},
        {{"--demo", "--script", "x"}, "--script: choose only one"},
        {{"--demo", "--window", "0"}, "--window: "},
        {{"--demo", "--window", "nan"}, "--window: "},
        {{"--demo", "--window", "1s"}, "--window: "},
        {{"--demo", "--seed", "-3"}, "--seed: "},
        {{"--demo", "--idle", "-1"}, "--idle: "},
        {{"--demo", "--idle", "86401"}, "--idle: "},
        {{"--demo", "--listen", "127.0.0.1:65536"}, "--listen: "},
        {{"--demo", "--listen", "localhost:5000"}, "--listen: "},
        {{"--demo", "--frob"}, "--frob: unknown option"},
        {{"--demo", "extra"}, "extra: unexpected argument"},
    };
    for (const auto& [bad_args, message] : bad) {
        EXPECT_EQ(parse_options(bad_args, o, error), parse_outcome::error) << message;
        EXPECT_TRUE(error.starts_with(message)) << error;
    }
}

TEST(LinkdScript, TimelineHoldsEachStateFromItsTimeAndLoops)
{
    link_script s;
    std::string error;
    ASSERT_TRUE(parse_script("# demo\n\n1 online 10 20\r\n  2\toffline # drop\n3 online 30 40\n"
                             "4 loop",
                             s, error))
        << error;
    const std::pair<double, std::string> expected[] = {
        {0, "off 0 0"},  {0.99, "off 0 0"}, {1, "on 10 20"},      {2, "off 0 0"},
        {3, "on 30 40"}, {4.5, "off 0 0"},  {4001.5, "on 10 20"}, {-1, "off 0 0"},
    };
    for (const auto& [t, want] : expected) {
        const link_reading r = script_reading(s, t);
        EXPECT_EQ((r.online ? "on " : "off ") + std::to_string(r.in_bytes_per_s) + " " +
                      std::to_string(r.out_bytes_per_s),
                  want)
            << t;
    }
}

TEST(LinkdScript, RejectsMalformedLinesNamingTheLine)
{
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"# nothing\n", "1: no entries"},
        {"x online 1 2\n", "1: expected a time"},
        {"1e3 offline\n", "1: expected a time"},
        {"0 online 1\n", "1: expected 'AT online IN OUT'"},
        {"0 online -1 2\n", "1: expected 'AT online IN OUT'"},
        {"0 online 1 18446744073709551616\n", "1: expected 'AT online IN OUT'"},
        {"0 offline now\n", "1: expected 'AT offline'"},
        {"0 offline\n0 online 1 1\n", "2: time must be later"},
        {"0 loop\n", "1: 'loop' needs an entry"},
        {"0 offline\n3 loop\n4 offline\n", "3: nothing may follow 'loop'"},
        {std::string_view("0 off\0line\n", 11), "1: expected 'online'"},
    };
    for (const auto& [text, message] : cases) {
        link_script s;
        std::string error;
        EXPECT_FALSE(parse_script(text, s, error)) << text;
        EXPECT_TRUE(error.starts_with(message)) << text << " -> " << error;
    }
}

// Feeds pieces to one splitter; the events as text: a line as itself, an
// over-long one as "<too long>".
std::vector<std::string> lines_of(line_splitter& sp, std::initializer_list<std::string> pieces)
{
    std::vector<std::string> out;
    for (const std::string& piece : pieces) {
        std::string_view bytes = piece;
        for (line_event e = next_line(sp, bytes); e.kind != line_kind::none;
             e = next_line(sp, bytes))
            out.emplace_back(e.kind == line_kind::line ? std::string(e.line) : "<too long>");
        EXPECT_TRUE(bytes.empty());
    }
    return out;
}

TEST(LinkdProtocol, SplitsLinesAcrossFeedsAndCapsLongOnes)
{
    line_splitter sp;
    using lines = std::vector<std::string>;
    EXPECT_EQ(lines_of(sp, {"status pppoe\r\nra", "te pppoe\n\r\r\n", "sta", "tus\r"}),
              (lines{"status pppoe", "rate pppoe", "\r"}));
    EXPECT_EQ(std::string_view(sp.partial.data(), sp.partial_bytes), "status\r");

    // At the cap a line is kept; one byte over, it is reported once and
    // dropped up to its LF, however much follows, in the splitter's fixed room.
    sp = {};
    const std::string at_cap(max_line_bytes, 'a');
    EXPECT_EQ(lines_of(sp, {at_cap + "\n" + std::string(200, 'b'), std::string(57, 'b'),
                            std::string(409600, '\0'),
                            "\nrate pppoe\n" + std::string(300, 'c') + "\nx\n"}),
              (lines{at_cap, "<too long>", "rate pppoe", "<too long>", "x"}));
    EXPECT_EQ(sp.partial_bytes, 0u);
}

TEST(LinkdProtocol, RepliesByteForByte)
{
    const link_reading up{true, 123456, 7}, down{};
    reply_buffer buf;
    const auto reply = [&](std::string_view line, const link_reading& r) {
        return std::string(reply_for(parse_command(line), r, buf));
    };
    EXPECT_EQ(reply("status pppoe", up), "OK Online\r\n");
    EXPECT_EQ(reply("status pppoe", down), "OK Offline\r\n");
    EXPECT_EQ(reply("rate pppoe", up), "OK 123456 7\r\n");
    EXPECT_EQ(reply("rate pppoe", {true, UINT64_MAX, UINT64_MAX}),
              "OK 18446744073709551615 18446744073709551615\r\n");
    const std::string_view others[] = {"",
                                       "status",
                                       "status pppoe ",
                                       "STATUS PPPOE",
                                       "rate eth0",
                                       std::string_view("status pppoe\0", 13)};
    for (std::string_view other : others)
        EXPECT_EQ(reply(other, up), "ERR unknown command\r\n") << other;
    EXPECT_EQ(too_long_reply(), "ERR line too long\r\n");
}

TEST(LinkdClients, TheClientSilentLongestGoesFirst)
{
    struct row {
        const char* why;
        std::vector<std::pair<int, double>> places; // fd (-1: free) and last line, seconds
        std::size_t chosen;
    };
    const row rows[] = {
        {"no place in use", {}, no_client},
        {"only free places", {{-1, 0}, {-1, 5}}, no_client},
        {"the oldest last line", {{3, 7.5}, {4, 2.0}, {5, 9.0}}, 1},
        {"free places are skipped, however old", {{-1, 0}, {4, 3.0}, {5, 2.5}}, 2},
        {"the lowest place among equals", {{3, 4.0}, {4, 1.0}, {5, 1.0}}, 1},
        {"a single client", {{-1, 0}, {-1, 0}, {9, 100.0}}, 2},
    };
    for (const row& r : rows) {
        std::vector<client> cs(r.places.size());
        for (std::size_t i = 0; i < cs.size(); ++i)
            std::tie(cs[i].fd, cs[i].last_line_s) = r.places[i];
        EXPECT_EQ(silent_longest(cs), r.chosen) << r.why;
    }
}

TEST(LinkdCounters, FindsRxAndTxBytesOfTheNamedInterfaceOnly)
{
    constexpr std::string_view text =
        "Inter-|   Receive                |  Transmit\n"
        " face |bytes    packets errs drop|bytes    packets errs\n"
        "    lo:  123456   100 0 0 0 0 0 0   654321   100 0 0 0 0 0 0\n"
        "  ppp0: 18446744073709551615 7 0 0 0 0 0 0 42 9 0 0 0 0 0 0\n"
        "veth-a:1000 1 0 0 0 0 0 0 2000 2 0 0 0 0 0 0\n"
        "  bad0: 12 x 0 0 0 0 0 0 5 0 0 0 0 0 0 0\n"
        "  short: 1 2 3\n";
    const auto pair = [&](std::string_view name) {
        const auto c = find_iface_counters(text, name);
        return c ? std::to_string(c->rx_bytes) + " " + std::to_string(c->tx_bytes) : "none";
    };
    EXPECT_EQ(pair("lo"), "123456 654321");
    EXPECT_EQ(pair("ppp0"), "18446744073709551615 42");
    EXPECT_EQ(pair("veth-a"), "1000 2000");
    for (std::string_view absent : {"ppp", "bad0", "short", "eth0", ""})
        EXPECT_EQ(pair(absent), "none") << absent;
}

rate_sample sample(double t, std::uint64_t rx, std::uint64_t tx)
{
    return {t, {rx, tx}};
}

TEST(LinkdCounters, RateIsSteadyOverTheWindowAndAResetNeverSpikes)
{
    rate_window w;
    for (int i = 0; i <= 50; ++i) { // 10 kB/s in, 2 kB/s out, sampled every 0.1 s
        window_add(w, sample(100 + i * 0.1, 1000000 + 1000u * i, 200u * i));
        EXPECT_EQ(window_rates(w).in_bytes_per_s, i ? 10000u : 0u) << i;
        EXPECT_EQ(window_rates(w).out_bytes_per_s, i ? 2000u : 0u) << i;
    }
    EXPECT_LE(w.samples.size(), 12u); // about one window kept

    window_add(w, sample(105.1, 10, 10)); // counters went down: restart, not a spike
    EXPECT_EQ(window_rates(w).in_bytes_per_s, 0u);
    window_add(w, sample(105.2, 110, 10));
    EXPECT_EQ(window_rates(w).in_bytes_per_s, 1000u);
    window_add(w, sample(105.0, 120, 10)); // clock went back: restart
    EXPECT_EQ(window_rates(w).in_bytes_per_s, 0u);
    window_add(w, sample(105.0, UINT64_MAX, 10)); // no time elapsed: no division
    EXPECT_EQ(window_rates(w).in_bytes_per_s, 0u);
    window_add(w, sample(105.0 + 1e-9, UINT64_MAX, 10)); // huge: saturates, no wrap
    EXPECT_EQ(window_rates(w).in_bytes_per_s, UINT64_MAX);
}

TEST(LinkdDemo, SameSeedSameLinkThatWandersAndDropsOutBriefly)
{
    demo_state a, b;
    demo_start(a, 42);
    demo_start(b, 42);
    int offline_ticks = 0, spells = 0;
    std::uint64_t low = UINT64_MAX, high = 0;
    constexpr int ticks = 20 * 60 * 10; // twenty minutes
    for (int i = 0; i < ticks; ++i) {
        const bool was_online = a.reading.online;
        demo_step(a);
        demo_step(b);
        ASSERT_EQ(a.reading.in_bytes_per_s, b.reading.in_bytes_per_s) << i;
        ASSERT_EQ(a.reading.out_bytes_per_s, b.reading.out_bytes_per_s) << i;
        ASSERT_EQ(a.reading.online, b.reading.online);
        offline_ticks += !a.reading.online;
        spells += was_online && !a.reading.online;
        if (a.reading.online) {
            low = std::min(low, a.reading.in_bytes_per_s);
            high = std::max(high, a.reading.in_bytes_per_s);
        }
    }
    EXPECT_GE(spells, 3);
    EXPECT_LT(offline_ticks, ticks / 5);
    EXPECT_GT(high, 10 * low);
    demo_start(a, 42);
    demo_start(b, 43);
    demo_advance_to(a, 12.34);
    demo_advance_to(b, 12.34);
    EXPECT_EQ(b.ticks, 123u);
    EXPECT_NE(b.reading.in_bytes_per_s, a.reading.in_bytes_per_s); // another seed, another link
}

} // namespace
