// SPDX-License-Identifier: GPL-2.0-or-later
// One interface's state and 64-bit byte counters over rtnetlink: the
// RTM_GETLINK request for it by name, and the parsing of the kernel's reply.
// Pure: no I/O.
#pragma once

#include "counters.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

struct link_state {
    int ifindex = 0;         // changes when the interface is made anew
    unsigned flags = 0;      // IFF_UP, IFF_RUNNING, ...
    iface_counters counters; // from IFLA_STATS64
};

enum class link_answer {
    link,   // the interface, in `state`
    absent, // a reply to this request without the interface (no such device, or malformed)
    none,   // nothing in these bytes answers this request
};

inline constexpr std::size_t link_request_bytes = 64; // room for the longest request

// Writes the request for interface `name` (shorter than IFNAMSIZ) with
// sequence number `seq` into `out`; returns the bytes used.
std::size_t build_link_request(std::string_view name, std::uint32_t seq,
                               std::span<unsigned char, link_request_bytes> out);

// Reads the messages of one netlink datagram, looking for the answer to
// request `seq`.
link_answer parse_link_reply(std::span<const unsigned char> bytes, std::uint32_t seq,
                             link_state& state);
