// SPDX-License-Identifier: GPL-2.0-or-later
// bench_port.h for the simulated port: the chain's outputs and its counters.
#include "bench_port.h"
#include "sim_chain.h"

#include <cstdio>

void bench_port_reset(int address)
{
    sim_remove(address);
}

std::string bench_port_summary(int address, int stages, long frames)
{
    const sim_chain* chain = sim_watch(address);
    if (chain == nullptr || frames <= 0) return "no simulated port";
    std::string text = "leds=";
    for (int stage = 1; stage <= stages; ++stage) text += sim_output(chain, stage) ? '1' : '0';
    char counts[96];
    std::snprintf(
        counts, sizeof counts, " latches/frame=%llu writes/frame=%llu reads/frame=%llu",
        static_cast<unsigned long long>(chain->frames / static_cast<unsigned long>(frames)),
        static_cast<unsigned long long>(chain->writes / static_cast<unsigned long>(frames)),
        static_cast<unsigned long long>(chain->reads / static_cast<unsigned long>(frames)));
    sim_detach(chain);
    return text + counts;
}
