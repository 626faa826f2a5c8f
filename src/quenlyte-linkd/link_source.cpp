// SPDX-License-Identifier: GPL-2.0-or-later
#include "link_source.h"

#include "counters.h"
#include "demo.h"
#include "netlink.h"
#include "script.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <linux/netlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

constexpr std::size_t reply_buffer_bytes = 32768; // a link reply is a few KiB
constexpr int max_reply_reads = 4;                // datagrams read looking for the answer

source_kind kind = source_kind::none;
double start_s = 0;

// --script
link_script script;

// --demo
demo_state demo;

// --iface
std::string iface_name;
int netlink_fd = -1;
std::uint32_t request_seq = 0;
std::array<unsigned char, reply_buffer_bytes> reply;
rate_window window;
double period_s = max_sample_period_s; // a sample younger than this is used again
double last_sample_s = 0;
int last_ifindex = 0; // 0: absent at the last sample
bool iface_online = false;

std::string errno_text(int err)
{
    return std::strerror(err);
}

// Reads a whole file into `out`, up to `cap` bytes. Returns 0 or an errno.
int read_file(const char* path, std::size_t cap, std::string& out)
{
    out.clear();
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    constexpr std::size_t chunk_bytes = 16384;
    char buf[chunk_bytes];
    int result = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            result = errno;
            break;
        }
        if (n == 0) break;
        if (out.size() + static_cast<std::size_t>(n) > cap) {
            result = EFBIG;
            break;
        }
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return result;
}

enum class query_result { link, absent, failed };

// Asks the kernel for the interface; the answer to this request is queued
// by the time send returns, so the reads never wait.
query_result query_link(link_state& state)
{
    std::array<unsigned char, link_request_bytes> request{};
    const std::size_t length = build_link_request(iface_name, ++request_seq, request);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(netlink_fd, request.data(), length, 0, reinterpret_cast<const sockaddr*>(&kernel),
                 sizeof kernel) != static_cast<ssize_t>(length))
        return query_result::failed;
    for (int reads = 0; reads < max_reply_reads; ++reads) {
        const ssize_t n = ::recv(netlink_fd, reply.data(), reply.size(), MSG_DONTWAIT | MSG_TRUNC);
        if (n <= 0 || static_cast<std::size_t>(n) > reply.size()) break; // nothing, or cut short
        switch (parse_link_reply({reply.data(), static_cast<std::size_t>(n)}, request_seq, state)) {
        case link_answer::link:
            return query_result::link;
        case link_answer::absent:
            return query_result::absent;
        case link_answer::none:
            break;
        }
    }
    return query_result::failed;
}

void sample_iface(double now_s)
{
    last_sample_s = now_s;
    link_state state;
    const query_result result = query_link(state);
    if (result == query_result::failed) return; // keep what is known until the next sample
    if (result == query_result::absent) {
        window_restart(window);
        last_ifindex = 0;
        iface_online = false;
        return;
    }
    // A different index means the interface went away and came back between samples.
    if (state.ifindex != last_ifindex) window_restart(window);
    last_ifindex = state.ifindex;
    window_add(window, rate_sample{now_s, state.counters});
    iface_online = (state.flags & IFF_UP) != 0 && (state.flags & IFF_RUNNING) != 0;
}

} // namespace

bool source_open(const linkd_options& options, double now_s, std::string& error)
{
    kind = options.source;
    start_s = now_s;
    switch (kind) {
    case source_kind::script: {
        std::string text;
        if (const int err = read_file(options.script_path.c_str(), max_script_bytes, text)) {
            error = options.script_path + ": " +
                    (err == EFBIG ? std::string("larger than 1 MiB") : errno_text(err));
            return false;
        }
        std::string why;
        if (!parse_script(text, script, why)) {
            error = options.script_path + ":" + why;
            return false;
        }
        return true;
    }
    case source_kind::demo: {
        std::uint64_t seed = options.seed;
        if (!options.seed_given) {
            seed = static_cast<std::uint64_t>(
                std::chrono::system_clock::now().time_since_epoch().count());
        }
        demo_start(demo, seed);
        return true;
    }
    case source_kind::iface:
        iface_name = options.iface;
        netlink_fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
        if (netlink_fd < 0) {
            error = "socket: " + errno_text(errno);
            return false;
        }
        window.window_s = options.window_s;
        period_s = sample_period_s(options.window_s);
        sample_iface(now_s);
        return true;
    case source_kind::none:
        break;
    }
    error = "link source: missing";
    return false;
}

link_reading source_reading(double now_s)
{
    switch (kind) {
    case source_kind::script:
        return script_reading(script, now_s - start_s);
    case source_kind::demo:
        demo_advance_to(demo, now_s - start_s);
        return demo.reading;
    case source_kind::iface: {
        if (!(now_s - last_sample_s < period_s && now_s >= last_sample_s)) sample_iface(now_s);
        const byte_rates rates = window_rates(window);
        return {iface_online, rates.in_bytes_per_s, rates.out_bytes_per_s};
    }
    case source_kind::none:
        break;
    }
    return {};
}

void source_close()
{
    if (netlink_fd >= 0) ::close(netlink_fd);
    netlink_fd = -1;
    kind = source_kind::none;
}
