// SPDX-License-Identifier: GPL-2.0-or-later
// The port on the simulated chain (quenlyte5-sim). The grant attaches to the
// simulated port named after the address, creating a dark one only where
// none exists, so that state set beforehand (bits 3 to 6) is kept.
#include "port.h"
#include "port_facts.h"
#include "sim_chain.h"

#include <cerrno>
#include <cstdlib>

namespace
{
sim_chain* chain = nullptr;     // the granted port's register and chain
unsigned long granted_base = 0; // its address
unsigned long granted_count = 0;

// The real program faults on a port it was not granted; so does this one.
void check_granted(std::uint16_t port)
{
    if (chain == nullptr || port < granted_base || port - granted_base >= granted_count)
        std::abort();
}
} // namespace

int port_access(unsigned long from, unsigned long num, int turn_on)
{
    if (!port_range_valid(from, num)) {
        errno = EINVAL;
        return -1;
    }
    if (turn_on == 0) {
        if (chain != nullptr && from == granted_base) {
            sim_detach(chain);
            chain = nullptr;
        }
        return 0;
    }
    if (chain == nullptr) {
        chain = sim_attach(static_cast<int>(from), true);
        if (chain == nullptr) return -1;
    }
    granted_base = from;
    granted_count = num;
    return 0;
}

std::uint8_t in_byte(std::uint16_t port)
{
    check_granted(port);
    const auto offset = static_cast<int>(port - granted_base);
    return offset < sim_port_span ? sim_read_at(chain, offset) : open_bus;
}

void out_byte(std::uint16_t port, std::uint8_t value)
{
    check_granted(port);
    const auto offset = static_cast<int>(port - granted_base);
    if (offset < sim_port_span) sim_write_at(chain, offset, value);
}
