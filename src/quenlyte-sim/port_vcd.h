// SPDX-License-Identifier: GPL-2.0-or-later
// The data register's lines as a Value Change Dump (IEEE 1364), the file
// GTKWave, PulseView and sigrok-cli open: data, clock, latch and online, one
// wire each, in nanoseconds.
//
// sigrok's import merges changes that share a timestamp and turns a change
// into a sample only once a later timestamp follows it, so the timestamps
// here rise strictly (a change at or before the last one is put one
// nanosecond after it) and the dump ends with one more.
#pragma once

#include <cstdint>
#include <cstdio>

struct vcd_dump {
    std::FILE* file = nullptr;
    std::uint8_t reg = 0;      // the register as the dump last shows it
    std::uint64_t last_ns = 0; // the last timestamp written
};

// Writes the header to `file` and the lines of `reg` at time 0. `comment`
// (one line, no "$end") says where the dump comes from.
void vcd_begin(vcd_dump& dump, std::FILE* file, const char* comment, std::uint8_t reg);

// The register holds `reg` from `time_ns` on: a timestamp and the lines that
// changed; nothing when none of the four did.
void vcd_change(vcd_dump& dump, std::uint64_t time_ns, std::uint8_t reg);

// The closing timestamp. Does not close the file.
void vcd_end(vcd_dump& dump);
