// SPDX-License-Identifier: GPL-2.0-or-later
// What the frame benchmark needs from a port beyond port.h: a fresh start
// and a summary of what the port saw, so that the display code and the
// reference loop can be checked for doing the same work.
#pragma once

#include <string>

// Clears the port at `address` before it is granted.
void bench_port_reset(int address);

// The port's state (stages 1..`stages`) and its accesses per frame after
// `frames` frames, one line.
std::string bench_port_summary(int address, int stages, long frames);
