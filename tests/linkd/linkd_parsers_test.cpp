// SPDX-License-Identifier: GPL-2.0-or-later
// In-process tests of the pure parts of quenlyte-linkd, on bytes.
#include "clients.h"
#include "counters.h"
#include "demo.h"
#include "netlink.h"
#include "options.h"
#include "protocol.h"
#include "script.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <net/if.h>

namespace
{

TEST(LinkdOptions, AcceptsEachSourceAndRejectsBadLinesNamingTheOption)
{
    linkd_options o;
    std::string error;
    std::vector<std::string_view> args{"--script=/s",   "--listen", "127.0.0.2:0",
                                       "--window=0.25", "--idle",   "0"};
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
    EXPECT_FALSE(o.detach);
    EXPECT_EQ(o.pidfile, "");
    args = {"--demo", "--seed", "18446744073709551615", "--detach", "--pidfile=run/l.pid"};
    ASSERT_EQ(parse_options(args, o, error), parse_outcome::run);
    EXPECT_EQ(o.seed, UINT64_MAX);
    EXPECT_TRUE(o.detach);
    EXPECT_EQ(o.pidfile, "run/l.pid");

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
        {{"--demo", "--pidfile"}, "--pidfile: missing value"},
        {{"--demo", "--pidfile="}, "--pidfile: missing value"},
        {{"--demo", "--detach=yes"}, "--detach: unknown option"},
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

// Captured here: the kernel's replies to RTM_GETLINK requests with sequence
// number 7, for cap1 (index 2, one end of a veth pair, up and running, 518
// bytes received and 90 sent) and for "nope", which no interface is called.
constexpr std::string_view veth_reply_hex =
    "d805000010000000070000009552000000000100020000004310010000000000090003006361703100000000"
    "08000d00e803000005001000060000000500110000000000050043000000000008000400dc05000008003200"
    "4400000008003300ffff000008001b000000000008001e000000000008003d000000000008001f0002000000"
    "08002800ffff0000080029000000010008003a000000010008003f0000000100080040000000010008003b00"
    "f8ff070008003c00ffff00000800420000000000080020000200000005002100010000000800230002000000"
    "08002f000100000008003000010000000600440000000000060045000000000005002700000000000a000100"
    "aec095a29ec600000a000200ffffffffffff0000cc0017000500000000000000010000000000000006020000"
    "000000005a000000000000000000000000000000000000000000000003000000000000000000000000000000"
    "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "00000000640007000500000001000000060200005a0000000000000000000000030000000000000000000000"
    "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "000000000000000000000000000000000c002b00050002000000000010001200090001007665746800000000"
    "08000500030000000c0006006e6f71756575650030031a008c00020088000100000000000000000000000000"
    "0100000001000000010000000100000000000000010000000000000000000000000000000000000000000000"
    "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "0000000010270000e80300000000000000000000000000000000000001000000a0020a000800010000000080"
    "14000500ffff00009439010068740000e8030000f40002000000000040000000dc0500000100000001000000"
    "0100000001000000ffffffffa00f0000e803000000000000803a090080510100030000005802000010000000"
    "0000000001000000010000000100000060ea0000000000000000000000000000000000000000000000000000"
    "01000000000000000000000010270000e8030000010000000000000000000000010000000000000000000000"
    "010000000000000000000000000000000000000080ee36000000000000000000010000000000000000000000"
    "0000000000000000000000000004000000000000ffff0000ffffffff01000000000000000000000000000000"
    "3401030026000000000000000200000000000000940000000000000000000000000000000200000000000000"
    "000000000000000000000000000000000000000000000000010000000000000001000000000000004c000000"
    "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "0000000000000000020000000000000001000000000000000000000000000000000000000000000094000000"
    "000000004c000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "3c00060007000000000000000000000000000000000000000000000001000000000000000000000000000000"
    "0000000000000000000000000000000014000700000000000000000000000000000000000500080000000000"
    "24000e00000000000000000000000000000000000000000000000000000000000000000004003e8004004180";
constexpr std::string_view no_such_device_reply_hex =
    "40000000020000000700000096520000edffffff2c0000001200010007000000000000000000000000000000"
    "0000000000000000090003006e6f706500000000";

std::vector<unsigned char> bytes_of(std::string_view hex)
{
    std::vector<unsigned char> bytes(hex.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        std::from_chars(hex.data() + 2 * i, hex.data() + 2 * i + 2, bytes[i], 16);
    return bytes;
}

TEST(LinkdNetlink, AsksForOneInterfaceByNameAsTheKernelEchoesIt)
{
    std::array<unsigned char, link_request_bytes> request{};
    const std::size_t length = build_link_request("nope", 7, request);
    const auto reply = bytes_of(no_such_device_reply_hex);
    constexpr std::size_t echo_at = 20; // after the netlink header and the error number
    ASSERT_EQ(length, reply.size() - echo_at);
    EXPECT_TRUE(std::equal(request.begin(), request.begin() + static_cast<std::ptrdiff_t>(length),
                           reply.begin() + echo_at));
}

TEST(LinkdNetlink, ReadsStateAndCountersFromCapturedRepliesAndNothingFromBrokenOnes)
{
    const auto veth = bytes_of(veth_reply_hex), absent = bytes_of(no_such_device_reply_hex);
    auto veth_then_absent = veth;
    veth_then_absent.insert(veth_then_absent.end(), absent.begin(), absent.end());
    auto no_stats = veth; // IFLA_STATS64 (type 23) renamed to an attribute nobody reads
    constexpr std::size_t stats_at = 284;
    ASSERT_EQ(no_stats[stats_at + 2], 23);
    no_stats[stats_at + 2] = 0x7f;
    auto short_stats = veth; // IFLA_STATS64 too short to hold tx_bytes
    short_stats[stats_at] = 4 + 24;

    const struct {
        const char* what;
        std::vector<unsigned char> bytes;
        std::uint32_t seq;
        link_answer answer;
    } rows[] = {
        {"the interface", veth, 7, link_answer::link},
        {"another request's answer", veth, 8, link_answer::none},
        {"no such device", absent, 7, link_answer::absent},
        {"the first message that answers", veth_then_absent, 7, link_answer::link},
        {"a reply without counters", no_stats, 7, link_answer::absent},
        {"counters cut short", short_stats, 7, link_answer::absent},
        {"nothing", {}, 7, link_answer::none},
    };
    for (const auto& row : rows) {
        link_state state;
        EXPECT_EQ(parse_link_reply(row.bytes, row.seq, state), row.answer) << row.what;
        if (row.answer == link_answer::link) {
            EXPECT_EQ(state.ifindex, 2);
            EXPECT_EQ(state.flags & (IFF_UP | IFF_RUNNING), unsigned{IFF_UP | IFF_RUNNING});
            EXPECT_EQ(state.counters.rx_bytes, 518u);
            EXPECT_EQ(state.counters.tx_bytes, 90u);
        }
    }
    // A reply cut anywhere short of its end is not read as the interface.
    for (std::size_t length = 0; length < veth.size(); ++length) {
        link_state state;
        EXPECT_NE(parse_link_reply({veth.data(), length}, 7, state), link_answer::link) << length;
    }
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
    EXPECT_LE(w.count, 12u); // about one window kept

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

TEST(LinkdCounters, TheWindowKeepsTheLastSampleAtOrBeforeItsStartAndNothingOlder)
{
    // Samples at uneven, made-up times (exact in binary), window 1 s. The
    // rates are (newest - oldest) / elapsed, so they show which sample is the
    // oldest kept: the window must span at least one second once it can.
    const struct {
        double t_s;
        std::uint64_t rx, tx;
        double oldest_s; // the oldest sample kept after this one
        std::uint64_t in_per_s, out_per_s;
    } steps[] = {
        {0.0, 0, 0, 0.0, 0, 0},
        {0.25, 1000, 0, 0.0, 4000, 0},
        {0.75, 1000, 500, 0.0, 1333, 667},
        {1.0, 1000, 500, 0.0, 1000, 500},  // the first sample stands at the start: kept
        {1.125, 1000, 500, 0.0, 889, 444}, // the next one is still inside: the first stays
        {1.25, 1250, 500, 0.25, 250, 500}, // the next one stands at the start: the first goes
        {2.5, 1250, 750, 1.25, 0, 200},    // a long gap: all but the last before the start go
    };
    rate_window w;
    w.window_s = 1.0;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.t_s);
        window_add(w, sample(step.t_s, step.rx, step.tx));
        EXPECT_EQ(w.ring[w.first].t_s, step.oldest_s);
        EXPECT_EQ(window_rates(w).in_bytes_per_s, step.in_per_s);
        EXPECT_EQ(window_rates(w).out_bytes_per_s, step.out_per_s);
    }
}

TEST(LinkdCounters, EveryAcceptedWindowFitsItsSamples)
{
    // W / P samples after the window's start, one at or before it, and the new one.
    for (const double window_s : {0.001, 0.04, 0.3, 1.0, 1023.0, 1024.25, 2000.0, max_window_s}) {
        const double periods = window_s / sample_period_s(window_s);
        EXPECT_LE(std::ceil(periods) + 2, static_cast<double>(max_window_samples)) << window_s;
    }
}

TEST(LinkdCounters, TheLongestWindowKeepsEverySampleOfIt)
{
    // Two windows of samples at the period this window gets; 4000 B/s in
    // until 1.5 windows, then nothing. At the end the window's rate is half
    // of 4000 only if it still reaches back a whole window.
    static rate_window w; // 338 KiB: kept off the stack
    w.window_s = max_window_s;
    window_restart(w);
    const double period_s = sample_period_s(max_window_s);
    const auto periods = static_cast<int>(max_window_s / period_s);
    std::uint64_t rx = 0;
    for (int i = 0; i <= 2 * periods; ++i) {
        const double t_s = i * period_s; // exact: multiples of a power of two
        if (i > 0 && i <= 3 * periods / 2) rx += 1000;
        window_add(w, sample(t_s, rx, 7u * static_cast<unsigned>(i)));
        ASSERT_EQ(w.ring[w.first].t_s, std::max(0.0, t_s - max_window_s)) << "at " << t_s << " s";
    }
    EXPECT_EQ(w.count, static_cast<std::size_t>(periods) + 1);
    EXPECT_EQ(window_rates(w).in_bytes_per_s, 2000u);
    EXPECT_EQ(window_rates(w).out_bytes_per_s, 28u);
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
