// In-process tests of the pure parts of quenlyte-linkd, on bytes.
#include "counters.h"
#include "demo.h"
#include "options.h"
#include "protocol.h"
#include "script.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

parse_outcome parse(std::vector<std::string_view> args, linkd_options& out, std::string& error)
{
    return parse_options(args, out, error);
}

// ---- command line ----

TEST(LinkdOptions, AcceptsEachSourceWithItsValuesAndDefaults)
{
    linkd_options o;
    std::string error;
    ASSERT_EQ(parse({"--iface", "ppp0"}, o, error), parse_outcome::run);
    EXPECT_EQ(o.source, source_kind::iface);
    EXPECT_EQ(o.iface, "ppp0");
    EXPECT_EQ(o.listen_addr, "127.0.0.1");
    EXPECT_EQ(o.listen_port, 5000);
    EXPECT_EQ(o.window_s, 1.0);

    ASSERT_EQ(parse({"--script=/tmp/x", "--listen", "127.0.0.2:0"}, o, error), parse_outcome::run);
    EXPECT_EQ(o.source, source_kind::script);
    EXPECT_EQ(o.script_path, "/tmp/x");
    EXPECT_EQ(o.listen_addr, "127.0.0.2");
    EXPECT_EQ(o.listen_port, 0);

    ASSERT_EQ(parse({"--demo", "--seed", "18446744073709551615", "--window=0.25"}, o, error),
              parse_outcome::run);
    EXPECT_EQ(o.source, source_kind::demo);
    EXPECT_TRUE(o.seed_given);
    EXPECT_EQ(o.seed, UINT64_MAX);
    EXPECT_EQ(o.window_s, 0.25);

    EXPECT_EQ(parse({"--demo", "--help"}, o, error), parse_outcome::help);
    EXPECT_EQ(parse({"--bogus", "-h"}, o, error), parse_outcome::error);
}

TEST(LinkdOptions, RejectsBadCommandLinesWithTheOptionAsContext)
{
    struct bad_case {
        std::vector<std::string_view> args;
        std::string_view message_start;
    };
    const bad_case cases[] = {
        {{}, "link source: "},
        {{"--window", "2"}, "link source: "},
        {{"--iface"}, "--iface: missing value"},
        {{"--iface", ""}, "--iface: not an interface name"},
        {{"--iface", "a/b"}, "--iface: not an interface name"},
        {{"--iface", "sixteen_chars_xx"}, "--iface: not an interface name"},
        {{"--demo", "--iface", "ppp0"}, "--iface: choose only one"},
        {{"--script", "a", "--demo"}, "--demo: choose only one"},
        {{"--demo", "--window", "0"}, "--window: "},
        {{"--demo", "--window", "-1"}, "--window: "},
        {{"--demo", "--window", "nan"}, "--window: "},
        {{"--demo", "--window", "inf"}, "--window: "},
        {{"--demo", "--window", "1s"}, "--window: "},
        {{"--demo", "--window", "3601"}, "--window: "},
        {{"--demo", "--seed", "-3"}, "--seed: "},
        {{"--demo", "--seed", "18446744073709551616"}, "--seed: "},
        {{"--demo", "--listen", "127.0.0.1"}, "--listen: "},
        {{"--demo", "--listen", "127.0.0.1:65536"}, "--listen: "},
        {{"--demo", "--listen", "localhost:5000"}, "--listen: "},
        {{"--demo", "--listen", "127.0.0.1:"}, "--listen: "},
        {{"--demo", "--listen", "127.0.0.1:+5"}, "--listen: "},
        {{"--demo", "--frobnicate"}, "--frobnicate: unknown option"},
        {{"--demo", "extra"}, "extra: unexpected argument"},
    };
    for (const bad_case& c : cases) {
        linkd_options o;
        std::string error;
        std::string joined;
        for (auto a : c.args) joined += std::string(a) + " ";
        EXPECT_EQ(parse(c.args, o, error), parse_outcome::error) << joined;
        EXPECT_TRUE(error.starts_with(c.message_start)) << joined << "-> " << error;
    }
}

// ---- script ----

TEST(LinkdScript, ParsesEntriesCommentsAndLoop)
{
    link_script s;
    std::string error;
    ASSERT_TRUE(parse_script("# a demo\n"
                             "\n"
                             "0 online 1000 2000\r\n"
                             "  1.5\toffline   # drop\n"
                             "3 online 18446744073709551615 0\n"
                             "4.25 loop",
                             s, error))
        << error;
    ASSERT_EQ(s.entries.size(), 3u);
    EXPECT_EQ(s.entries[1].at_s, 1.5);
    EXPECT_FALSE(s.entries[1].reading.online);
    EXPECT_EQ(s.entries[2].reading.in_bytes_per_s, UINT64_MAX);
    EXPECT_TRUE(s.loops);
    EXPECT_EQ(s.loop_at_s, 4.25);
}

TEST(LinkdScript, RejectsMalformedLinesNamingTheLine)
{
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"", "0: no entries"},
        {"# only a comment\n\n", "2: no entries"},
        {"x online 1 2\n", "1: expected a time"},
        {"-1 online 1 2\n", "1: expected a time"},
        {"1e3 offline\n", "1: expected a time"},
        {"inf offline\n", "1: expected a time"},
        {"0 online 1\n", "1: expected 'AT online IN OUT'"},
        {"0 online 1 2 3\n", "1: expected 'AT online IN OUT'"},
        {"0 online -1 2\n", "1: expected 'AT online IN OUT'"},
        {"0 online 1 18446744073709551616\n", "1: expected 'AT online IN OUT'"},
        {"0 offline now\n", "1: expected 'AT offline'"},
        {"0 sideways\n", "1: expected 'online', 'offline' or 'loop'"},
        {"5\n", "1: expected 'online', 'offline' or 'loop'"},
        {"0 offline\n0 online 1 1\n", "2: time must be later"},
        {"2 offline\n1 online 1 1\n", "2: time must be later"},
        {"0 loop\n", "1: 'loop' needs an entry"},
        {"0 offline\n0 loop\n", "2: time must be later"},
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

TEST(LinkdScript, ReadingFollowsTheTimelineAndLoops)
{
    link_script s;
    std::string error;
    ASSERT_TRUE(parse_script("1 online 10 20\n2 offline\n3 online 30 40\n", s, error));
    const link_reading off{}, a{true, 10, 20}, b{true, 30, 40};
    const std::pair<double, link_reading> expected[] = {
        {0, off}, {0.999, off}, {1, a}, {1.5, a}, {2, off}, {2.9, off}, {3, b}, {1e9, b}, {-5, off},
    };
    for (const auto& [t, r] : expected) {
        const link_reading got = script_reading(s, t);
        EXPECT_EQ(got.online, r.online) << t;
        EXPECT_EQ(got.in_bytes_per_s, r.in_bytes_per_s) << t;
        EXPECT_EQ(got.out_bytes_per_s, r.out_bytes_per_s) << t;
    }

    ASSERT_TRUE(parse_script("0 online 1 1\n0.5 offline\n1 loop\n", s, error));
    EXPECT_TRUE(script_reading(s, 0.25).online);
    EXPECT_FALSE(script_reading(s, 0.75).online);
    EXPECT_TRUE(script_reading(s, 1.0).online);
    EXPECT_FALSE(script_reading(s, 1001.6).online);
    EXPECT_TRUE(script_reading(s, 1001.2).online);
}

// ---- protocol ----

std::vector<line_event> split(line_splitter& sp, std::string_view bytes)
{
    std::vector<line_event> events;
    split_lines(sp, bytes, events);
    return events;
}

TEST(LinkdProtocol, SplitsLinesOnLfDroppingOneCr)
{
    line_splitter sp;
    auto ev = split(sp, "status pppoe\r\nrate pppoe\n\n\r\r\n");
    ASSERT_EQ(ev.size(), 4u);
    EXPECT_EQ(ev[0].line, "status pppoe");
    EXPECT_EQ(ev[1].line, "rate pppoe");
    EXPECT_EQ(ev[2].line, "");
    EXPECT_EQ(ev[3].line, "\r");

    EXPECT_TRUE(split(sp, "sta").empty());
    EXPECT_TRUE(split(sp, "tus ppp").empty());
    ev = split(sp, "oe\r");
    EXPECT_TRUE(ev.empty());
    ev = split(sp, "\nrate");
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].line, "status pppoe");
    EXPECT_EQ(sp.partial, "rate");
}

TEST(LinkdProtocol, OverlongLineGivesOneErrorAndIsDiscardedToItsLf)
{
    line_splitter sp;
    const std::string at_cap(max_line_bytes, 'a');
    auto ev = split(sp, at_cap + "\n");
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_FALSE(ev[0].too_long);

    // One byte over, sent in pieces: one error, nothing kept, then normal again.
    EXPECT_TRUE(split(sp, std::string(200, 'b')).empty());
    ev = split(sp, std::string(57, 'b'));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_TRUE(ev[0].too_long);
    for (int i = 0; i < 1000; ++i) EXPECT_TRUE(split(sp, std::string(4096, 'c')).empty());
    EXPECT_TRUE(sp.partial.empty());
    ev = split(sp, "ccc\nstatus pppoe\n");
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].line, "status pppoe");

    // Over-long and ended in the same chunk: an error, then the next line.
    ev = split(sp, std::string(300, 'd') + "\nrate pppoe\n");
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_TRUE(ev[0].too_long);
    EXPECT_EQ(ev[1].line, "rate pppoe");
}

TEST(LinkdProtocol, RepliesByteForByte)
{
    const link_reading up{true, 123456, 7}, down{false, 0, 0};
    const struct {
        std::string_view line;
        link_reading reading;
        std::string_view reply;
    } cases[] = {
        {"status pppoe", up, "OK Online\r\n"},
        {"status pppoe", down, "OK Offline\r\n"},
        {"rate pppoe", up, "OK 123456 7\r\n"},
        {"rate pppoe", down, "OK 0 0\r\n"},
        {"rate pppoe", {true, UINT64_MAX, 0}, "OK 18446744073709551615 0\r\n"},
        {"", up, "ERR unknown command\r\n"},
        {"status", up, "ERR unknown command\r\n"},
        {"status pppoe ", up, "ERR unknown command\r\n"},
        {"STATUS PPPOE", up, "ERR unknown command\r\n"},
        {"rate eth0", up, "ERR unknown command\r\n"},
        {std::string_view("status\0pppoe", 12), up, "ERR unknown command\r\n"},
        {std::string_view("status pppoe\0", 13), up, "ERR unknown command\r\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(reply_for(c.line, c.reading), c.reply) << c.line;
    EXPECT_EQ(too_long_reply(), "ERR line too long\r\n");
}

// ---- /proc/net/dev and rates ----

constexpr std::string_view proc_net_dev =
    "Inter-|   Receive                                                |  Transmit\n"
    " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs "
    "drop fifo colls carrier compressed\n"
    "    lo:  123456     100    0    0    0     0          0         0   654321     100    0 "
    "   0    0     0       0          0\n"
    "  ppp0: 18446744073709551615 7 0 0 0 0 0 0 42 9 0 0 0 0 0 0\n"
    "veth-a:1000 1 0 0 0 0 0 0 2000 2 0 0 0 0 0 0\n"
    "  bad0: 12 x 0 0\n"
    "  short: 1 2 3\n";

TEST(LinkdCounters, FindsRxAndTxBytesOfTheNamedInterface)
{
    auto c = find_iface_counters(proc_net_dev, "lo");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->rx_bytes, 123456u);
    EXPECT_EQ(c->tx_bytes, 654321u);
    c = find_iface_counters(proc_net_dev, "ppp0");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->rx_bytes, UINT64_MAX);
    EXPECT_EQ(c->tx_bytes, 42u);
    c = find_iface_counters(proc_net_dev, "veth-a");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->tx_bytes, 2000u);
    EXPECT_FALSE(find_iface_counters(proc_net_dev, "ppp"));
    EXPECT_FALSE(find_iface_counters(proc_net_dev, "bad0"));
    EXPECT_FALSE(find_iface_counters(proc_net_dev, "short"));
    EXPECT_FALSE(find_iface_counters(proc_net_dev, "face |bytes    packets errs drop fifo"));
    EXPECT_FALSE(find_iface_counters("", "lo"));
    EXPECT_FALSE(find_iface_counters(std::string_view("lo:\0", 4), "lo"));
}

rate_sample sample(double t, std::uint64_t rx, std::uint64_t tx)
{
    return {t, {rx, tx}};
}

TEST(LinkdCounters, RateIsSteadyAcrossTheWindowAtAnySamplingPhase)
{
    rate_window w;
    w.window_s = 1.0;
    EXPECT_EQ(window_rates(w).in_bytes_per_s, 0u);
    // 10 kB/s in, 2 kB/s out, sampled every 0.1 s for 5 s.
    for (int i = 0; i <= 50; ++i) {
        window_add(w, sample(100 + i * 0.1, 1000000 + 1000u * i, 200u * i));
        if (i == 0) continue;
        const byte_rates r = window_rates(w);
        EXPECT_EQ(r.in_bytes_per_s, 10000u) << i;
        EXPECT_EQ(r.out_bytes_per_s, 2000u) << i;
    }
    EXPECT_LE(w.samples.size(), 12u); // only about one window of samples is kept
    EXPECT_GE(w.samples.back().t_s - w.samples.front().t_s, 1.0 - 1e-9);
}

TEST(LinkdCounters, CounterResetOrTimeGoingBackRestartsWithoutSpike)
{
    rate_window w;
    w.window_s = 1.0;
    window_add(w, sample(0.0, 5000000, 5000000));
    window_add(w, sample(0.5, 5001000, 5000500));
    EXPECT_EQ(window_rates(w).in_bytes_per_s, 2000u);

    window_add(w, sample(0.6, 10, 5000600)); // rx went down: interface came back
    EXPECT_EQ(window_rates(w).in_bytes_per_s, 0u);
    EXPECT_EQ(window_rates(w).out_bytes_per_s, 0u);
    window_add(w, sample(0.7, 110, 5000700));
    EXPECT_EQ(window_rates(w).in_bytes_per_s, 1000u);
    EXPECT_EQ(window_rates(w).out_bytes_per_s, 1000u);

    window_add(w, sample(0.65, 200, 5000800)); // clock went backwards
    EXPECT_EQ(window_rates(w).in_bytes_per_s, 0u);

    window_add(w, sample(0.8, 200, 5000800)); // same counters: idle, not negative
    EXPECT_EQ(window_rates(w).in_bytes_per_s, 0u);

    window_restart(w);
    window_add(w, sample(0.9, 0, 0));
    window_add(w, sample(0.9, UINT64_MAX, UINT64_MAX)); // no elapsed time: no division
    EXPECT_EQ(window_rates(w).in_bytes_per_s, 0u);
    window_add(w, sample(0.9 + 1e-300, UINT64_MAX, UINT64_MAX));
    window_add(w, sample(1.0, UINT64_MAX, UINT64_MAX));
    EXPECT_EQ(window_rates(w).in_bytes_per_s, UINT64_MAX); // saturates, never wraps
}

// ---- demo ----

TEST(LinkdDemo, SameSeedSameLinkAndItWandersBurstsAndDropsOut)
{
    demo_state a, b, c;
    demo_start(a, 42);
    demo_start(b, 42);
    demo_start(c, 43);
    bool differs_from_other_seed = false;
    int offline_ticks = 0, offline_spells = 0;
    std::uint64_t low = UINT64_MAX, high = 0;
    bool was_offline = false;
    constexpr int ticks = 20 * 60 * 10; // twenty minutes
    for (int i = 0; i < ticks; ++i) {
        demo_step(a);
        demo_step(b);
        demo_step(c);
        ASSERT_EQ(a.reading.online, b.reading.online);
        ASSERT_EQ(a.reading.in_bytes_per_s, b.reading.in_bytes_per_s);
        ASSERT_EQ(a.reading.out_bytes_per_s, b.reading.out_bytes_per_s);
        differs_from_other_seed |= a.reading.in_bytes_per_s != c.reading.in_bytes_per_s;
        if (!a.reading.online) {
            EXPECT_EQ(a.reading.in_bytes_per_s, 0u);
            ++offline_ticks;
            if (!was_offline) ++offline_spells;
        } else {
            low = std::min(low, a.reading.in_bytes_per_s);
            high = std::max(high, a.reading.in_bytes_per_s);
            EXPECT_LE(a.reading.in_bytes_per_s, 100'000'000u);
        }
        was_offline = !a.reading.online;
    }
    EXPECT_TRUE(differs_from_other_seed);
    EXPECT_GE(offline_spells, 3);
    EXPECT_LT(offline_ticks, ticks / 5); // short spells, mostly online
    EXPECT_GT(high, 10 * low);           // lively, not flat

    demo_state d;
    demo_start(d, 42);
    demo_advance_to(d, 12.34);
    EXPECT_EQ(d.ticks, 123u);
    demo_advance_to(d, 1.0); // never goes back
    EXPECT_EQ(d.ticks, 123u);
}

} // namespace
