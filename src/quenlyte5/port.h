// SPDX-License-Identifier: GPL-2.0-or-later
// The port seam. The daemon reaches the parallel port's data register only
// through these three functions. Each program links exactly one
// implementation: port_io.cpp (x86 in/out after ioperm, quenlyte5),
// port_sim.cpp (the simulated register and chain, quenlyte5-sim) or
// port_ppdev.cpp (the kernel's ppdev driver, quenlyte5-ppdev); the first two
// share port_ioperm_error.cpp.
#pragma once

#include "port_facts.h"

#include <cstdint>

// Grants (turn_on != 0) or releases access to `num` port addresses starting at
// `from`, with ioperm's meaning: 0 on success, otherwise -1 with errno set.
// A range that does not lie wholly in 0..65535 fails with EINVAL; it never
// wraps to another port.
int port_access(unsigned long from, unsigned long num, int turn_on);

// Why the port_access call that just returned -1 failed, as one message line:
// "ioperm: <text of errno>" for the real and simulated ports, the cause found
// for ppdev. Call it before anything else can change errno.
const char* port_error();

// One byte-wide read of the port.
std::uint8_t in_byte(std::uint16_t port);

// One byte-wide write of `value` to the port.
void out_byte(std::uint16_t port, std::uint8_t value);

// True when `num` addresses from `from` all lie in 0..65535, the range that
// ioperm can grant. Every implementation refuses anything else with EINVAL.
inline bool port_range_valid(unsigned long from, unsigned long num)
{
    return num > 0 && from < io_space_size && num <= io_space_size - from;
}
