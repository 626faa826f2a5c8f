// In-process tests of the pure parts of quenlyte-linkd, on bytes.
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
    std::vector<std::string_view> args{"--script=/s", "--listen", "127.0.0.2:0", "--window=0.25"};
    ASSERT_EQ(parse_options(args, o, error), parse_outcome::run);
    EXPECT_EQ(o.source, source_kind::script);
    EXPECT_EQ(o.script_path, "/s");
    EXPECT_EQ(o.listen_addr, "127.0.0.2");
    EXPECT_EQ(o.listen_port, 0);
    EXPECT_EQ(o.window_s, 0.25);
    args = {"--iface", "ppp0"};
    ASSERT_EQ(parse_options(args, o, error), parse_outcome::run);
    EXPECT_EQ(o.iface, "ppp0");
    EXPECT_EQ(o.listen_port, 5000);
    EXPECT_EQ(o.window_s, 1.0);
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

TEST(LinkdProtocol, SplitsLinesAcrossFeedsAndCapsLongOnes)
{
    line_splitter sp;
    std::vector<line_event> ev;
    for (std::string_view piece : {"status pppoe\r\nra", "te pppoe\n\r\r\n", "sta", "tus\r"})
        split_lines(sp, piece, ev);
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(ev[0].line, "status pppoe");
    EXPECT_EQ(ev[1].line, "rate pppoe");
    EXPECT_EQ(ev[2].line, "\r");
    EXPECT_EQ(sp.partial, "status\r");

    // At the cap a line is kept; one byte over, it is reported once and
    // dropped up to its LF, however much follows, holding no memory.
    ev.clear();
    sp = {};
    split_lines(sp, std::string(max_line_bytes, 'a') + "\n" + std::string(200, 'b'), ev);
    split_lines(sp, std::string(57, 'b'), ev);
    for (int i = 0; i < 100; ++i) split_lines(sp, std::string(4096, '\0'), ev);
    EXPECT_TRUE(sp.partial.empty());
    split_lines(sp, "\nrate pppoe\n" + std::string(300, 'c') + "\nx\n", ev);
    ASSERT_EQ(ev.size(), 5u);
    EXPECT_EQ(ev[0].line.size(), max_line_bytes);
    EXPECT_TRUE(ev[1].too_long);
    EXPECT_EQ(ev[2].line, "rate pppoe");
    EXPECT_TRUE(ev[3].too_long);
    EXPECT_EQ(ev[4].line, "x");
}

TEST(LinkdProtocol, RepliesByteForByte)
{
    const link_reading up{true, 123456, 7}, down{};
    EXPECT_EQ(reply_for("status pppoe", up), "OK Online\r\n");
    EXPECT_EQ(reply_for("status pppoe", down), "OK Offline\r\n");
    EXPECT_EQ(reply_for("rate pppoe", up), "OK 123456 7\r\n");
    EXPECT_EQ(reply_for("rate pppoe", {true, UINT64_MAX, 0}), "OK 18446744073709551615 0\r\n");
    const std::string_view others[] = {"",
                                       "status",
                                       "status pppoe ",
                                       "STATUS PPPOE",
                                       "rate eth0",
                                       std::string_view("status pppoe\0", 13)};
    for (std::string_view other : others)
        EXPECT_EQ(reply_for(other, up), "ERR unknown command\r\n") << other;
    EXPECT_EQ(too_long_reply(), "ERR line too long\r\n");
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
        ASSERT_EQ(reply_for("rate pppoe", a.reading), reply_for("rate pppoe", b.reading)) << i;
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
