// SPDX-License-Identifier: GPL-2.0-or-later
#include "clients.h"

std::size_t silent_longest(std::span<const client> clients)
{
    std::size_t oldest = no_client;
    for (std::size_t i = 0; i < clients.size(); ++i) {
        if (clients[i].fd < 0) continue;
        if (oldest == no_client || clients[i].last_line_s < clients[oldest].last_line_s) oldest = i;
    }
    return oldest;
}
