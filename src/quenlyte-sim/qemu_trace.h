// SPDX-License-Identifier: GPL-2.0-or-later
// One line of QEMU's parallel-port trace (-trace enable=parallel_ioport_read
// -trace enable=parallel_ioport_write -D FILE), read into the access it
// records. Pure: no files, no output.
//
// QEMU 7.2 writes, with -msg timestamp=on,
//   8249@1796739497.038859:parallel_ioport_write write [SW] addr 0x02 val 0xcc
//   8249@1796739497.038864:parallel_ioport_read read [SW] addr 0x00 val 0xaa
// (thread id @ host seconds.microseconds), and without it the same from the
// event name on. [SW] is the port emulated in software, [HW] one passed
// through to a host port. addr is the offset from the port's base.
#pragma once

#include <cstdint>
#include <string_view>

constexpr int qemu_port_span = 8; // addresses QEMU's ISA parallel port answers at: offsets 0 to 7

struct qemu_access {
    std::string_view time; // "SECONDS.MICROSECONDS" as written; empty without -msg timestamp=on
    bool is_write = false;
    int offset = 0; // 0 data, 1 status, 2 control, 3 to 7 EPP
    std::uint8_t value = 0;
};

enum class qemu_line {
    access, // a parallel-port event, read into the access
    other,  // not a parallel-port event (QEMU's other messages): skip it
    bad,    // a parallel-port event that cannot be read: see the reason
};

struct qemu_parsed {
    qemu_line kind = qemu_line::other;
    qemu_access access;      // with kind access; `time` points into the line
    const char* reason = ""; // with kind bad: why, a short phrase
};

// Reads `line` (without its line end). A line is a parallel-port event when
// it begins with the event name, or with a prefix without blanks and a colon
// before it.
qemu_parsed parse_qemu_line(std::string_view line);

// The access's time, "SECONDS.FRACTION", in nanoseconds (digits beyond the
// ninth of the fraction are dropped). False for an empty or unreadable time,
// or one beyond 2^64 ns.
bool qemu_time_ns(std::string_view time, std::uint64_t& ns);
