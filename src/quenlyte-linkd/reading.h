// SPDX-License-Identifier: GPL-2.0-or-later
// What the link-control service knows about the link at one moment.
#pragma once

#include <cstdint>

struct link_reading {
    bool online = false;
    std::uint64_t in_bytes_per_s = 0;  // inbound rate
    std::uint64_t out_bytes_per_s = 0; // outbound rate
};
