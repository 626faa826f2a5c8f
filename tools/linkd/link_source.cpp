#include "link_source.h"

#include "counters.h"
#include "demo.h"
#include "script.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

constexpr double max_sample_period_s = 0.1;  // interface sampling period, at most
constexpr double min_sample_period_s = 0.01; // and at least
constexpr int window_divisions = 10;       // samples per window, when the window is short
constexpr std::size_t max_proc_bytes = std::size_t{4} * 1024 * 1024; // cap on /proc/net/dev read

source_kind kind = source_kind::none;
double start_s = 0;

// --script
link_script script;

// --demo
demo_state demo;

// --iface
std::string iface_name;
int ioctl_fd = -1;
rate_window window;
double sample_period_s = max_sample_period_s; // a sample younger than this is used again
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

// Flags and index of the interface; false when it does not exist.
bool iface_flags(short& flags, int& ifindex)
{
    ifreq req{};
    std::memcpy(req.ifr_name, iface_name.data(),
                std::min(iface_name.size(), sizeof req.ifr_name - 1));
    if (::ioctl(ioctl_fd, SIOCGIFFLAGS, &req) != 0) return false;
    flags = req.ifr_flags;
    if (::ioctl(ioctl_fd, SIOCGIFINDEX, &req) != 0) return false;
    ifindex = req.ifr_ifindex;
    return true;
}

void sample_iface(double now_s)
{
    last_sample_s = now_s;
    short flags = 0;
    int ifindex = 0;
    std::string text;
    const bool present =
        iface_flags(flags, ifindex) && read_file("/proc/net/dev", max_proc_bytes, text) == 0;
    const auto counters = present ? find_iface_counters(text, iface_name) : std::nullopt;
    if (!counters) {
        window_restart(window);
        last_ifindex = 0;
        iface_online = false;
        return;
    }
    // A different index means the interface went away and came back between samples.
    if (ifindex != last_ifindex) window_restart(window);
    last_ifindex = ifindex;
    window_add(window, rate_sample{now_s, *counters});
    iface_online = (flags & IFF_UP) != 0 && (flags & IFF_RUNNING) != 0;
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
        ioctl_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (ioctl_fd < 0) {
            error = "socket: " + errno_text(errno);
            return false;
        }
        window.window_s = options.window_s;
        sample_period_s = std::clamp(options.window_s / window_divisions, min_sample_period_s,
                                     max_sample_period_s);
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
        if (!(now_s - last_sample_s < sample_period_s && now_s >= last_sample_s)) sample_iface(now_s);
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
    if (ioctl_fd >= 0) ::close(ioctl_fd);
    ioctl_fd = -1;
    kind = source_kind::none;
}
