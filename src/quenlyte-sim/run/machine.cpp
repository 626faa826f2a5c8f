// SPDX-License-Identifier: GPL-2.0-or-later
#include "machine.h"

#include "port_facts.h"
#include "program_name.h"
#include "sim_chain.h"

#include <bitset>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <map>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr unsigned long highest_iopl = 3; // iopl level that opens every port
constexpr unsigned ecp_offset = 0x400;    // base-addr's second address: base + 0x400
constexpr mode_t dir_mode = 0755;
constexpr mode_t listing_mode = 0444; // as /proc/sys shows it
constexpr mode_t device_mode = 0666;  // the emulated device refuses nobody
const std::string_view device_prefix = "/dev/parport";
const std::string_view proc_prefix = "/proc/sys/dev/parport";

struct port {
    unsigned base = 0;
    sim_chain* chain = nullptr; // attached on first use
    dev_t device = 0;           // its /dev/parportN stand-in
    ino_t inode = 0;
    pid_t claimed_by = 0; // the process that holds its claim
};

struct task_io {
    std::bitset<io_space_size> ports; // what ioperm granted
    unsigned long level = 0;          // the iopl level
};

std::vector<port> ports;
std::map<pid_t, task_io> tasks;
bool refusing = false;
std::string root; // the private directory

std::string device_file(std::size_t number)
{
    return root + "/dev/parport" + std::to_string(number);
}

bool write_file(const std::string& path, const std::string& text, mode_t mode)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) return false;
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return close(fd) == 0 && written && fchmodat(AT_FDCWD, path.c_str(), mode, 0) == 0;
}

sim_chain* chain_of(port& p)
{
    if (p.chain == nullptr) {
        p.chain = sim_attach(static_cast<int>(p.base), true);
        if (p.chain == nullptr)
            std::fprintf(stderr, "%s: simulated port 0x%x: %s\n", program, p.base,
                         std::strerror(errno));
    }
    return p.chain;
}

// The port with `address` among its three addresses, and the offset there.
port* port_at(unsigned address, int& offset)
{
    for (port& p : ports) {
        if (address >= p.base && address - p.base < sim_port_span) {
            offset = static_cast<int>(address - p.base);
            return &p;
        }
    }
    return nullptr;
}

// The number of "/dev/parportN" exactly as the kernel names it, or -1.
int device_number(std::string_view rest)
{
    int number = -1;
    const char* const end = rest.data() + rest.size();
    const auto [stop, error] = std::from_chars(rest.data(), end, number);
    if (error != std::errc{} || stop != end || (rest.size() > 1 && rest[0] == '0')) return -1;
    return number;
}

} // namespace

bool machine_start(const std::vector<unsigned>& bases, bool refuse, std::string& why)
{
    refusing = refuse;
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/quenlyte-sim-run.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        why = pattern + ": " + std::strerror(errno);
        return false;
    }
    root = pattern;
    bool made = chmod(root.c_str(), dir_mode) == 0 &&
                mkdir((root + "/dev").c_str(), dir_mode) == 0 &&
                mkdir((root + "/parport").c_str(), dir_mode) == 0;
    for (std::size_t n = 0; made && n < bases.size(); ++n) {
        const std::string dir = root + "/parport/parport" + std::to_string(n);
        const std::string listing =
            std::to_string(bases[n]) + "\t" + std::to_string(bases[n] + ecp_offset) + "\n";
        struct stat device {
        };
        made = mkdir(dir.c_str(), dir_mode) == 0 &&
               write_file(dir + "/base-addr", listing, listing_mode) &&
               write_file(device_file(n), "", device_mode) &&
               stat(device_file(n).c_str(), &device) == 0;
        if (made) ports.push_back({bases[n], nullptr, device.st_dev, device.st_ino, 0});
    }
    if (!made) {
        why = root + ": " + std::strerror(errno);
        machine_end();
    }
    return made;
}

void machine_end()
{
    for (port& p : ports) sim_detach(p.chain);
    for (std::size_t n = 0; n < ports.size(); ++n) {
        const std::string dir = root + "/parport/parport" + std::to_string(n);
        unlink((dir + "/base-addr").c_str());
        rmdir(dir.c_str());
        unlink(device_file(n).c_str());
    }
    ports.clear();
    if (root.empty()) return;
    rmdir((root + "/parport").c_str());
    rmdir((root + "/dev").c_str());
    rmdir(root.c_str());
    root.clear();
}

void task_started(pid_t tid, pid_t parent)
{
    const auto from = tasks.find(parent);
    tasks[tid] = from != tasks.end() ? from->second : task_io{};
}

void task_renamed(pid_t from, pid_t to)
{
    const auto found = tasks.find(from);
    if (found == tasks.end() || from == to) return;
    tasks[to] = found->second;
    tasks.erase(from);
}

void task_ended(pid_t tid)
{
    tasks.erase(tid);
}

void process_ended(pid_t tgid)
{
    for (port& p : ports) {
        if (p.claimed_by == tgid) p.claimed_by = 0;
    }
}

long answer_ioperm(pid_t tid, unsigned long from, unsigned long num, unsigned long turn_on)
{
    // The kernel's order: the range first, then the privilege.
    if (from + num <= from || from + num > io_space_size) return -EINVAL;
    const bool on = static_cast<int>(turn_on) != 0;
    if (on && refusing) return -EPERM;
    task_io& io = tasks[tid];
    for (unsigned long address = from; address < from + num; ++address) io.ports[address] = on;
    if (on) {
        for (port& p : ports)
            if (p.base < from + num && from < p.base + sim_port_span) chain_of(p);
    }
    return 0;
}

long answer_iopl(pid_t tid, unsigned long level)
{
    const auto wanted = static_cast<unsigned>(level);
    if (wanted > highest_iopl) return -EINVAL;
    task_io& io = tasks[tid];
    if (wanted > io.level && refusing) return -EPERM;
    io.level = wanted;
    return 0;
}

bool port_held(pid_t tid, unsigned address)
{
    const auto found = tasks.find(tid);
    return found != tasks.end() && address < io_space_size &&
           (found->second.level == highest_iopl || found->second.ports[address]);
}

std::uint8_t port_read(unsigned address)
{
    int offset = 0;
    port* p = port_at(address, offset);
    sim_chain* chain = p != nullptr ? chain_of(*p) : nullptr;
    return chain != nullptr ? sim_read_at(chain, offset) : open_bus;
}

void port_write(unsigned address, std::uint8_t value)
{
    int offset = 0;
    port* p = port_at(address, offset);
    sim_chain* chain = p != nullptr ? chain_of(*p) : nullptr;
    if (chain != nullptr) sim_write_at(chain, offset, value);
}

open_answer answer_open(const std::string& path)
{
    open_answer answer;
    const std::string_view name = path;
    if (name.starts_with(device_prefix)) {
        // Never a real /dev/parportN: ours, or none at all.
        const int number = device_number(name.substr(device_prefix.size()));
        if (number < 0 || static_cast<std::size_t>(number) >= ports.size())
            answer.error = ENOENT;
        else if (refusing)
            answer.error = EACCES;
        else if (chain_of(ports[static_cast<std::size_t>(number)]) != nullptr)
            answer.instead = device_file(static_cast<std::size_t>(number));
        else
            answer.error = EIO;
    } else if (name.starts_with(proc_prefix) &&
               (name.size() == proc_prefix.size() || name[proc_prefix.size()] == '/')) {
        answer.instead = root + "/parport" + path.substr(proc_prefix.size());
    }
    return answer;
}

int device_port(dev_t device, ino_t inode)
{
    for (std::size_t n = 0; n < ports.size(); ++n)
        if (ports[n].device == device && ports[n].inode == inode) return static_cast<int>(n);
    return -1;
}

long answer_ppdev(pid_t tgid, int number, unsigned long request, std::uint8_t& data)
{
    port& p = ports.at(static_cast<std::size_t>(number));
    const bool mine = p.claimed_by == tgid;
    switch (request) {
    case PPEXCL:
        // Every emulated claim is exclusive already; asking is too late once claimed.
        return p.claimed_by != 0 ? -EINVAL : 0;
    case PPCLAIM:
        if (mine) return -EINVAL;
        if (p.claimed_by != 0) return -EBUSY;
        p.claimed_by = tgid;
        return 0;
    case PPRELEASE:
        if (!mine) return -EINVAL;
        p.claimed_by = 0;
        return 0;
    case PPRDATA:
        if (!mine) return -EINVAL; // the port must be claimed first
        data = port_read(p.base);
        return 0;
    case PPWDATA:
        if (!mine) return -EINVAL;
        port_write(p.base, data);
        return 0;
    default:
        std::fprintf(stderr, "%s: process %d: /dev/parport%d: ioctl 0x%lx: not emulated: %s\n",
                     program, static_cast<int>(tgid), number, request, std::strerror(EINVAL));
        return -EINVAL;
    }
}
