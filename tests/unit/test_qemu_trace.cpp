// SPDX-License-Identifier: GPL-2.0-or-later
// Lines of QEMU's parallel-port trace. The first eight are as QEMU 7.2 wrote
// them (-parallel file:, -msg timestamp=on): SeaBIOS probing the port, then
// Debian 12's parport_pc probing it (the data register read back in input
// mode) and a marker byte written to base+1 through /dev/port.
#include "qemu_trace.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

struct line_case {
    const char* line;
    qemu_line kind;
    const char* time = "";
    bool is_write = false;
    int offset = 0;
    int value = 0;
    const char* reason = "";
};

std::ostream& operator<<(std::ostream& out, const line_case& c)
{
    return out << c.line;
}

class QemuTraceLine : public ::testing::TestWithParam<line_case>
{
};

const line_case cases[] = {
    {"8249@1796739497.038783:parallel_ioport_read read [SW] addr 0x02 val 0xcc", qemu_line::access,
     "1796739497.038783", false, 2, 0xcc},
    {"8249@1796739497.038859:parallel_ioport_write write [SW] addr 0x02 val 0xcc",
     qemu_line::access, "1796739497.038859", true, 2, 0xcc},
    {"8249@1796739497.038863:parallel_ioport_write write [SW] addr 0x00 val 0xaa",
     qemu_line::access, "1796739497.038863", true, 0, 0xaa},
    {"8249@1796739497.038864:parallel_ioport_read read [SW] addr 0x00 val 0xaa", qemu_line::access,
     "1796739497.038864", false, 0, 0xaa},
    {"4601@1796739874.618919:parallel_ioport_write write [SW] addr 0x02 val 0x2c",
     qemu_line::access, "1796739874.618919", true, 2, 0x2c},
    {"4601@1796739874.618923:parallel_ioport_read read [SW] addr 0x00 val 0xff", qemu_line::access,
     "1796739874.618923", false, 0, 0xff},
    {"4601@1796739874.621218:parallel_ioport_read read [SW] addr 0x01 val 0xd9", qemu_line::access,
     "1796739874.621218", false, 1, 0xd9},
    {"4601@1796739874.949011:parallel_ioport_write write [SW] addr 0x01 val 0x41",
     qemu_line::access, "1796739874.949011", true, 1, 0x41},
    // Without -msg timestamp=on; a port passed through to the host; an EPP address.
    {"parallel_ioport_write write [SW] addr 0x00 val 0x85", qemu_line::access, "", true, 0, 0x85},
    {"7@1.000001:parallel_ioport_read read [HW] addr 0x01 val 0x7f", qemu_line::access, "1.000001",
     false, 1, 0x7f},
    {"7@1.000001:parallel_ioport_write write [SW] addr 0x07 val 0x00", qemu_line::access,
     "1.000001", true, 7, 0},

    // QEMU's other messages.
    {"", qemu_line::other},
    {"2026-12-08T14:18:22.868101Z qemu-system-x86_64: terminating on signal 15", qemu_line::other},
    {"8249@1796739497.038783:serial_ioport_write write addr 0x00 val 0x41", qemu_line::other},
    {"qemu: parallel_ioport_write write [SW] addr 0x00 val 0x85", qemu_line::other},

    // Parallel-port events that cannot be read.
    {"8249@1796739497.038783:parallel_ioport_write write [SW] addr 0x08 val 0x81", qemu_line::bad,
     "", false, 0, 0, "addr beyond the port (0x00 to 0x07)"},
    {"8249@1796739497.038783:parallel_ioport_write write [SW] addr 0x00 val 0x100", qemu_line::bad,
     "", false, 0, 0, "val beyond a byte (0x00 to 0xff)"},
    {"8249@1796739497.038783:parallel_ioport_write write [SW] addr 0x00 val 0xfffffffffffffffff",
     qemu_line::bad, "", false, 0, 0, "val beyond a byte (0x00 to 0xff)"},
    {"8249@1796739497.038783:parallel_ioport_write write [SW] addr 0x00 va", qemu_line::bad, "",
     false, 0, 0, "no val 0xHH"},
    {"8249@1796739497.038783:parallel_ioport_write write [SW] addr 0x", qemu_line::bad, "", false,
     0, 0, "no addr 0xHH"},
    {"8249@1796739497.038783:parallel_ioport_write write [SW] addr 0x00 val 0x81 x", qemu_line::bad,
     "", false, 0, 0, "text after val"},
    {"8249@1796739497.038783:parallel_ioport_read write [SW] addr 0x00 val 0x81", qemu_line::bad,
     "", false, 0, 0, "not a parallel_ioport_read or parallel_ioport_write event"},
    {"8249@1796739497.038783:parallel_ioport_write write [XX] addr 0x00 val 0x81", qemu_line::bad,
     "", false, 0, 0, "no [SW] or [HW]"},
    {"8249@1796739497.:parallel_ioport_write write [SW] addr 0x00 val 0x81", qemu_line::bad, "",
     false, 0, 0, "no PID@SECONDS before the event"},
    {"x@1.5:parallel_ioport_write write [SW] addr 0x00 val 0x81", qemu_line::bad, "", false, 0, 0,
     "no PID@SECONDS before the event"},
};

} // namespace

TEST_P(QemuTraceLine, IsReadIntoItsAccessOrSkippedOrRefusedWithAReason)
{
    const line_case& c = GetParam();
    const std::string line = c.line; // no terminating zero after the view's end
    const qemu_parsed parsed = parse_qemu_line(std::string_view(line.data(), line.size()));
    ASSERT_EQ(parsed.kind, c.kind);
    if (c.kind == qemu_line::bad) {
        EXPECT_STREQ(parsed.reason, c.reason);
    }
    if (c.kind != qemu_line::access) return;
    EXPECT_EQ(parsed.access.time, c.time);
    EXPECT_EQ(parsed.access.is_write, c.is_write);
    EXPECT_EQ(parsed.access.offset, c.offset);
    EXPECT_EQ(parsed.access.value, c.value);
}

INSTANTIATE_TEST_SUITE_P(Lines, QemuTraceLine, ::testing::ValuesIn(cases));

TEST(QemuTraceLine, NoPrefixOfAnEventIsReadAsAnAccess)
{
    const std::string whole =
        "8249@1796739497.038783:parallel_ioport_write write [SW] addr 0x00 val 0x81";
    for (std::size_t size = 0; size < whole.size(); ++size) {
        const std::string cut = whole.substr(0, size); // its own buffer: reads past the end show
        EXPECT_NE(parse_qemu_line(cut).kind, qemu_line::access) << cut;
    }
}

TEST(QemuTraceTime, IsReadInNanosecondsOrRefused)
{
    const struct {
        const char* time;
        bool ok;
        std::uint64_t ns;
    } cases[] = {
        {"1796739497.038783", true, 1'796'739'497'038'783'000},
        {"0.5", true, 500'000'000},
        {"3.1234567891", true, 3'123'456'789},                        // beyond nanoseconds: dropped
        {"18446744073.709551615", true, 18'446'744'073'709'551'615U}, // 2^64 - 1 ns
        {"18446744073.709551616", false, 0},
        {"99999999999999999999.0", false, 0},
        {"", false, 0},
        {"12", false, 0},
        {"12.", false, 0},
        {".5", false, 0},
        {"1.2x", false, 0},
        {"-1.5", false, 0},
    };
    for (const auto& c : cases) {
        std::uint64_t ns = 0;
        EXPECT_EQ(qemu_time_ns(c.time, ns), c.ok) << c.time;
        if (c.ok) {
            EXPECT_EQ(ns, c.ns) << c.time;
        }
    }
}
