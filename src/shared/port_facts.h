// SPDX-License-Identifier: GPL-2.0-or-later
// Facts of the PC's parallel ports and I/O space that the daemon, the
// simulated port and quenlyte-sim share. The daemon's bit masks are not
// here: they belong to its display code alone, and the chain model checks
// them instead of sharing them.
#pragma once

#include <cstdint>

// The usual data register addresses, by the shorthands 0, 1 and 2 that the
// port argument takes: LPT1, LPT2, and the port of the monochrome adapter.
inline constexpr int lpt_bases[] = {0x378, 0x278, 0x3BC};
inline constexpr int lpt_shorthands = 3;

// x86 I/O space: addresses 0 to 65535.
inline constexpr unsigned long io_space_size = 65536;

// What a read returns where nothing drives the bus (an address without a
// device, or a register that the model leaves out).
inline constexpr std::uint8_t open_bus = 0xFF;

// The port argument: 0, 1 and 2 stand for the usual addresses; any other
// value is the I/O address itself.
constexpr int port_address(int value)
{
    return value >= 0 && value < lpt_shorthands ? lpt_bases[value] : value;
}
