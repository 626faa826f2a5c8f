// SPDX-License-Identifier: GPL-2.0-or-later
// The port through the kernel's ppdev driver (quenlyte5-ppdev). The grant
// finds the parallel port whose base address is the given I/O address in
// /proc/sys/dev/parport, opens its /dev/parportN, takes it exclusively and
// claims it; the data register is then read and written with the PPRDATA
// and PPWDATA ioctls. Needs no capability, only read and write access to the
// device (usually group lp), works under kernel lockdown, and leaves the
// port to the kernel's parport driver between runs.
#include "port.h"
#include "port_facts.h"
#include "report.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <string_view>
#include <sys/ioctl.h>
#include <unistd.h>

namespace
{

const char* const proc_dir = "/proc/sys/dev/parport"; // one directory per port
constexpr int max_ports = 16;                         // the kernel's PARPORT_MAX
constexpr std::size_t base_addr_size = 64;            // bytes of a base-addr file we read
constexpr std::size_t message_size = 400;             // bytes of a failure message

int device = -1;                    // the open, claimed /dev/parportN
char device_path[32];               // its name, for messages
unsigned long granted_base = 0;     // its base address
std::uint8_t last_data = 0;         // the data register as last read or written
bool register_failure_told = false; // a failed PPRDATA/PPWDATA was reported
char failure[message_size];         // why the last grant or release failed

struct found_port {
    int number;         // N of parportN
    unsigned long base; // its base address
};

// Sets the failure message and errno; returns -1 for port_access.
int fail(int error, const char* format, ...) __attribute__((format(printf, 2, 3)));
int fail(int error, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): set by va_start above
    std::vsnprintf(failure, sizeof failure, format, args);
    va_end(args);
    errno = error;
    return -1;
}

// The number of a directory entry named parportN, or -1.
int port_number(std::string_view name)
{
    constexpr std::string_view prefix = "parport";
    if (!name.starts_with(prefix) || name.size() == prefix.size()) return -1;
    int number = -1;
    const char* const end = name.data() + name.size();
    const auto [rest, error] = std::from_chars(name.data() + prefix.size(), end, number);
    return error == std::errc{} && rest == end && number >= 0 ? number : -1;
}

// The first address of parportN/base-addr ("888\t1912": 888). False when the
// file cannot be read or does not begin with a decimal number.
bool read_base(int number, unsigned long& base)
{
    char path[64];
    std::snprintf(path, sizeof path, "%s/parport%d/base-addr", proc_dir, number);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[base_addr_size];
    const ssize_t got = read(fd, text, sizeof text);
    close(fd);
    if (got <= 0) return false;
    const char* first = text;
    const char* const end = text + got;
    while (first != end && (*first == ' ' || *first == '\t')) ++first;
    return std::from_chars(first, end, base).ec == std::errc{};
}

// The parallel ports the kernel knows, in order of their numbers.
int list_ports(found_port (&ports)[max_ports])
{
    int count = 0;
    DIR* const dir = opendir(proc_dir);
    if (dir == nullptr) return 0;
    while (const dirent* entry = readdir(dir)) {
        const int number = port_number(entry->d_name);
        unsigned long base = 0;
        if (number < 0 || count == max_ports || !read_base(number, base)) continue;
        ports[count++] = {number, base};
    }
    closedir(dir);
    std::sort(ports, ports + count,
              [](const found_port& a, const found_port& b) { return a.number < b.number; });
    return count;
}

// "no parallel port at 0x378 (found: parport0 at 0x278, ...)" or "(none found)".
int fail_no_port(unsigned long base, const found_port* ports, int count)
{
    char list[message_size - 64] = "none found";
    std::size_t used = 0;
    for (int i = 0; i < count && used < sizeof list; ++i) {
        const int n = std::snprintf(list + used, sizeof list - used, "%sparport%d at 0x%lx",
                                    i == 0 ? "found: " : ", ", ports[i].number, ports[i].base);
        if (n < 0) break;
        used += static_cast<std::size_t>(n);
    }
    return fail(ENODEV, "ppdev: no parallel port at 0x%lx (%s)", base, list);
}

// Why opening the device failed, with what usually helps.
int fail_open(int error)
{
    const char* hint = "";
    if (error == EACCES || error == EPERM)
        hint = " (the user needs read and write access to it, usually as a member of group lp)";
    else if (error == ENOENT || error == ENXIO || error == ENODEV)
        hint = " (is the ppdev module loaded?)";
    return fail(error, "ppdev: %s: %s%s", device_path, std::strerror(error), hint);
}

// One of the grant's ioctls; on failure closes the device and says why.
int grant_ioctl(unsigned long request, const char* name)
{
    if (ioctl(device, request) == 0) return 0;
    const int error = errno;
    close(device);
    device = -1;
    const char* const hint =
        error == EBUSY ? " (another program or a kernel driver such as lp holds the port)" : "";
    return fail(error, "ppdev: %s: %s: %s%s", device_path, name, std::strerror(error), hint);
}

int grant(unsigned long base)
{
    if (device >= 0)
        return granted_base == base ? 0 : fail(EBUSY, "ppdev: %s: already granted", device_path);
    found_port ports[max_ports];
    const int count = list_ports(ports);
    const found_port* const port =
        std::find_if(ports, ports + count, [base](const found_port& p) { return p.base == base; });
    if (port == ports + count) return fail_no_port(base, ports, count);

    std::snprintf(device_path, sizeof device_path, "/dev/parport%d", port->number);
    device = open(device_path, O_RDWR | O_CLOEXEC);
    if (device < 0) return fail_open(errno);
    // Exclusive: no other driver may share the port while the chain runs on it.
    if (grant_ioctl(PPEXCL, "PPEXCL") != 0 || grant_ioctl(PPCLAIM, "PPCLAIM") != 0) return -1;
    granted_base = base;
    last_data = 0;
    register_failure_told = false;
    return 0;
}

int release(unsigned long base)
{
    if (device < 0 || base != granted_base) return 0;
    const int released = ioctl(device, PPRELEASE);
    const int error = errno;
    close(device);
    device = -1;
    if (released != 0)
        return fail(error, "ppdev: %s: PPRELEASE: %s", device_path, std::strerror(error));
    return 0;
}

// The first failed register access is reported; the poll loop would repeat
// it every cycle, so later ones are not.
void register_failed(const char* name)
{
    if (register_failure_told) return;
    register_failure_told = true;
    report("ppdev: %s: %s: %s (further failures are not reported)", device_path, name,
           std::strerror(errno));
}

} // namespace

int port_access(unsigned long from, unsigned long num, int turn_on)
{
    // The same range as ioperm grants: an address must never wrap around to
    // another port.
    if (!port_range_valid(from, num))
        return fail(EINVAL, "ppdev: 0x%lx: %s (I/O addresses end at 0xffff)", from,
                    std::strerror(EINVAL));
    return turn_on != 0 ? grant(from) : release(from);
}

const char* port_error()
{
    return failure;
}

std::uint8_t in_byte(std::uint16_t port)
{
    if (device < 0 || port != granted_base) return open_bus;
    unsigned char value = 0;
    if (ioctl(device, PPRDATA, &value) != 0) {
        register_failed("PPRDATA");
        return last_data; // keeps bits 3 to 6 as they were
    }
    last_data = value;
    return value;
}

void out_byte(std::uint16_t port, std::uint8_t value)
{
    if (device < 0 || port != granted_base) return;
    unsigned char data = value;
    if (ioctl(device, PPWDATA, &data) != 0) {
        register_failed("PPWDATA");
        return;
    }
    last_data = value;
}
