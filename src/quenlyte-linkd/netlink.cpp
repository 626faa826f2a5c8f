// SPDX-License-Identifier: GPL-2.0-or-later
#include "netlink.h"

#include <algorithm>
#include <cstring>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>

namespace
{

// Reads a T from `bytes` at `offset`, whatever the alignment; false when it does not fit.
template <class T> bool read_at(std::span<const unsigned char> bytes, std::size_t offset, T& out)
{
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) return false;
    std::memcpy(&out, bytes.data() + offset, sizeof(T));
    return true;
}

template <class T> std::size_t write_at(unsigned char* out, std::size_t offset, const T& value)
{
    std::memcpy(out + offset, &value, sizeof(T));
    return offset + sizeof(T);
}

constexpr std::size_t align4(std::size_t n)
{
    return (n + 3) & ~std::size_t{3};
}

// Byte offsets of the two counters in struct rtnl_link_stats64.
constexpr std::size_t rx_bytes_offset = offsetof(rtnl_link_stats64, rx_bytes);
constexpr std::size_t tx_bytes_offset = offsetof(rtnl_link_stats64, tx_bytes);

// The interface of one RTM_NEWLINK message (its bytes after the netlink header).
link_answer parse_new_link(std::span<const unsigned char> body, link_state& state)
{
    ifinfomsg info{};
    if (!read_at(body, 0, info)) return link_answer::absent;
    std::size_t at = align4(sizeof info);
    while (at < body.size()) {
        rtattr attr{};
        if (!read_at(body, at, attr) || attr.rta_len < sizeof attr ||
            attr.rta_len > body.size() - at)
            return link_answer::absent;
        const auto payload = body.subspan(at + sizeof attr, attr.rta_len - sizeof attr);
        if ((attr.rta_type & NLA_TYPE_MASK) == IFLA_STATS64) {
            link_state found;
            if (!read_at(payload, rx_bytes_offset, found.counters.rx_bytes) ||
                !read_at(payload, tx_bytes_offset, found.counters.tx_bytes))
                return link_answer::absent;
            found.ifindex = info.ifi_index;
            found.flags = info.ifi_flags;
            state = found;
            return link_answer::link;
        }
        at += align4(attr.rta_len);
    }
    return link_answer::absent; // no counters
}

} // namespace

std::size_t build_link_request(std::string_view name, std::uint32_t seq,
                               std::span<unsigned char, link_request_bytes> out)
{
    name = name.substr(0, std::min<std::size_t>(name.size(), IFNAMSIZ - 1));
    const std::size_t attr_bytes = sizeof(rtattr) + name.size() + 1; // with its NUL
    const std::size_t total = sizeof(nlmsghdr) + align4(sizeof(ifinfomsg)) + align4(attr_bytes);
    std::fill(out.begin(), out.end(), 0);
    nlmsghdr header{};
    header.nlmsg_len = static_cast<std::uint32_t>(total);
    header.nlmsg_type = RTM_GETLINK;
    header.nlmsg_flags = NLM_F_REQUEST;
    header.nlmsg_seq = seq;
    ifinfomsg info{};
    info.ifi_family = AF_UNSPEC;
    rtattr attr{};
    attr.rta_len = static_cast<unsigned short>(attr_bytes);
    attr.rta_type = IFLA_IFNAME;
    write_at(out.data(), 0, header);
    const std::size_t at = write_at(out.data(), sizeof(nlmsghdr) + align4(sizeof info), attr);
    write_at(out.data(), sizeof(nlmsghdr), info);
    std::copy(name.begin(), name.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
    return total;
}

link_answer parse_link_reply(std::span<const unsigned char> bytes, std::uint32_t seq,
                             link_state& state)
{
    std::size_t at = 0;
    nlmsghdr header{};
    while (read_at(bytes, at, header)) {
        if (header.nlmsg_len < sizeof header || header.nlmsg_len > bytes.size() - at)
            return link_answer::none; // the rest cannot be read as messages
        const auto body = bytes.subspan(at + sizeof header, header.nlmsg_len - sizeof header);
        at += align4(header.nlmsg_len);
        if (header.nlmsg_seq != seq) continue;
        if (header.nlmsg_type == RTM_NEWLINK) return parse_new_link(body, state);
        if (header.nlmsg_type == NLMSG_ERROR) return link_answer::absent; // e.g. ENODEV
    }
    return link_answer::none;
}
