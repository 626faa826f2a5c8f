// SPDX-License-Identifier: GPL-2.0-or-later
// A bare port for the frame benchmark: the data register is one byte of
// memory, so that an access costs about what one in or out instruction does
// and the instructions counted are those of the code around it. Every write
// goes into a running hash, to check that two kinds of frames wrote the same.
#include "bench_port.h"
#include "port.h"

#include <cstdio>

namespace
{
std::uint8_t data_register = 0;
unsigned long long writes = 0;
unsigned long long reads = 0;
std::uint64_t write_hash = 14695981039346656037ULL; // FNV-1a offset basis
constexpr std::uint64_t fnv_prime = 1099511628211ULL;
} // namespace

int port_access(unsigned long from, unsigned long num, int /*turn_on*/)
{
    return port_range_valid(from, num) ? 0 : -1;
}

std::uint8_t in_byte(std::uint16_t /*port*/)
{
    ++reads;
    return data_register;
}

void out_byte(std::uint16_t /*port*/, std::uint8_t value)
{
    ++writes;
    write_hash = (write_hash ^ value) * fnv_prime;
    data_register = value;
}

void bench_port_reset(int /*address*/) {}

std::string bench_port_summary(int /*address*/, int /*stages*/, long frames)
{
    if (frames <= 0) return "no frames";
    char text[128];
    std::snprintf(text, sizeof text, "writes/frame=%llu reads/frame=%llu hash=%016llx",
                  writes / static_cast<unsigned long>(frames),
                  reads / static_cast<unsigned long>(frames),
                  static_cast<unsigned long long>(write_hash));
    return text;
}
