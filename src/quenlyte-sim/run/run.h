// SPDX-License-Identifier: GPL-2.0-or-later
// quenlyte-sim run [--parport ADDR]... [--refuse] -- PROGRAM [ARG...]
//
// Runs PROGRAM unmodified with its parallel port emulated on the simulated
// chain: ioperm, iopl, the ppdev device files and ioctls are answered at the
// system-call boundary, and each in or out instruction, which faults without
// a real grant, is carried out on the simulated port. PROGRAM and every
// process it starts are traced until the last of them has ended.
#pragma once

// `args` are the words after "run". Returns the exit status of quenlyte-sim.
int emulate_run(int count, char* args[]);
