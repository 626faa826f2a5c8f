// SPDX-License-Identifier: GPL-2.0-or-later
// A fresh simulated port for a test of the daemon's display code in this
// process: granted as the daemon grants its port, at an address of this
// process alone (so that tests run in parallel), removed at the end.
#pragma once

#include "port.h"
#include "sim_chain.h"

#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

class sim_port
{
  protected:
    int port = 0x1000 + static_cast<int>(getpid() % 0xE000);
    sim_chain* chain = nullptr;

    void open_port()
    {
        sim_remove(port);
        ASSERT_EQ(port_access(static_cast<unsigned long>(port), 3, 1), 0);
        chain = sim_attach(port, false);
        ASSERT_NE(chain, nullptr);
    }
    void close_port()
    {
        sim_detach(chain);
        port_access(static_cast<unsigned long>(port), 3, 0);
        sim_remove(port);
    }

    // The latched outputs of stages 1..leds, '1' for a lit one.
    std::string outputs(int leds) const
    {
        std::string lit;
        for (int stage = 1; stage <= leds; ++stage) lit += sim_output(chain, stage) ? '1' : '0';
        return lit;
    }
};
