// SPDX-License-Identifier: GPL-2.0-or-later
// The simulated data register and shift-register chain. It lives in POSIX
// shared memory named after the port address, so that the detached daemon
// drives it while other processes (quenlyte-sim, tests) watch it.
//
// Data register bits: a rising edge of bit 1 (clock) shifts bit 0 (data)
// into stage 1 and every stage on by one; a rising edge of bit 2 (latch)
// copies the stages to the outputs; bit 7 is the online line. A read returns
// the last value written, all eight bits.
#pragma once

#include <cstdint>

constexpr int sim_stages = 4096;     // stages in the simulated chain
constexpr int sim_trace_size = 1024; // accesses kept in the trace ring
constexpr int sim_port_span = 3;     // addresses of a port: data, status, control

// One access to the port, as the trace ring keeps it.
struct sim_access {
    std::uint8_t offset;   // address - base: 0 data, 1 status, 2 control
    std::uint8_t is_write; // 1 write, 0 read
    std::uint8_t value;    // the byte read or written
    std::uint8_t unused;
};

struct sim_chain {
    std::uint8_t reg; // the data register
    std::uint8_t unused[3];
    std::uint32_t head;               // ring index of stage 1 in `stages`
    std::uint64_t writes;             // data register writes so far
    std::uint64_t reads;              // data register reads so far
    std::uint64_t frames;             // latch pulses (rising edges of bit 2) so far
    std::uint8_t stages[sim_stages];  // ring: stage k at (head + k - 1) mod sim_stages
    std::uint8_t outputs[sim_stages]; // latched outputs, outputs[k - 1] is stage k
    std::uint64_t accesses;           // accesses at any address of the port so far
    sim_access trace[sim_trace_size]; // ring: access n at n mod sim_trace_size
};

// Maps the simulated port at `port` (an I/O address); with `create`, makes
// a dark one where none exists. Returns nullptr with errno set on failure
// (ENOENT: no simulated port at that address).
sim_chain* sim_attach(int port, bool create);

// Maps the simulated port at `port` read-only, for watching it. Returns
// nullptr with errno set on failure (ENOENT: no simulated port there).
const sim_chain* sim_watch(int port);

// Unmaps a chain from sim_attach or sim_watch.
void sim_detach(const sim_chain* chain);

// Removes the simulated port at `port`; processes that have it mapped keep it.
int sim_remove(int port);

// Outputs and stages dark, counters 0, data register `reg`.
void sim_reset(sim_chain* chain, std::uint8_t reg);

// One read at `offset` from the port's base (0 to sim_port_span - 1): the
// data register at 0, counted; the status and control registers are not
// modelled and read as 0xFF. Traced.
std::uint8_t sim_read_at(sim_chain* chain, int offset);

// One write at `offset` from the port's base; only the data register (0)
// takes it, counted, with its clock and latch edges. Traced.
void sim_write_at(sim_chain* chain, int offset, std::uint8_t value);

// True when latched output `stage` (1-based) is lit.
bool sim_output(const sim_chain* chain, int stage);
