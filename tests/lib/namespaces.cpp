// SPDX-License-Identifier: GPL-2.0-or-later
#include "namespaces.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace test_ns
{

namespace
{

std::string errno_text(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

std::string bring_up_loopback()
{
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return errno_text("socket");
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    int rc = ioctl(s, SIOCGIFFLAGS, &request);
    if (rc == 0) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        rc = ioctl(s, SIOCSIFFLAGS, &request);
    }
    std::string why;
    if (rc != 0) why = errno_text("bringing lo up") + (errno == EPERM ? " (no CAP_NET_ADMIN)" : "");
    close(s);
    return why;
}

bool write_file(const std::string& path, const std::string& text)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int saved = errno;
    close(fd);
    errno = saved;
    return written;
}

std::string first_line(const char* path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The ids this process's user namespace maps, each mapped to itself: the
// map of a child namespace in which files keep their owners.
std::string identity_map(const char* file)
{
    std::ifstream in(std::string("/proc/self/") + file);
    std::string map;
    unsigned long long inside = 0, outside = 0, count = 0;
    while (in >> inside >> outside >> count)
        map += std::to_string(inside) + " " + std::to_string(inside) + " " + std::to_string(count) +
               "\n";
    return map;
}

// Moves this process into a new user namespace together with the namespaces
// `flags` name. A helper left outside writes identity maps of every id the
// current namespace maps (it may where it holds CAP_SETUID and CAP_SETGID);
// where it may not, this process maps its own user and group alone, to root.
std::string unshare_with_user(int flags)
{
    const std::string uid_map = identity_map("uid_map");
    const std::string gid_map = identity_map("gid_map");
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    const pid_t self = getpid();
    int go[2];
    if (pipe2(go, O_CLOEXEC) != 0) return errno_text("pipe");
    const pid_t helper = fork();
    if (helper < 0) {
        close(go[0]);
        close(go[1]);
        return errno_text("fork");
    }
    if (helper == 0) {
        close(go[1]);
        char made = 0;
        if (read(go[0], &made, 1) != 1 || made != 'y') _exit(2);
        const std::string proc = "/proc/" + std::to_string(self) + "/";
        const bool mapped =
            write_file(proc + "uid_map", uid_map) && write_file(proc + "gid_map", gid_map);
        _exit(mapped ? 0 : 1);
    }
    close(go[0]);
    const bool made = unshare(CLONE_NEWUSER | flags) == 0;
    const int unshare_errno = errno;
    (void)!write(go[1], made ? "y" : "n", 1);
    close(go[1]);
    int status = 0;
    while (waitpid(helper, &status, 0) < 0 && errno == EINTR) {
    }
    if (!made) {
        errno = unshare_errno;
        std::string why = errno_text("unshare(CLONE_NEWUSER)");
        if (first_line("/proc/sys/user/max_user_namespaces") == "0")
            why += " (user.max_user_namespaces is 0)";
        return why;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return "";
    if (!write_file("/proc/self/setgroups", "deny") ||
        !write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
        return errno_text("mapping the user namespace's ids");
    return "";
}

// (Mounts that ignore their file system type name "none" rather than
// passing null, which valgrind takes for a bad pointer.)
bool private_mounts()
{
    return mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) == 0;
}

// Where it may, makes /proc/sys/net writable in this mount namespace
// (containers mount /proc/sys read-only). Its settings are those of the
// writer's network namespace, so a test changes only its own. A user
// namespace may not lift a read-only flag it inherits: this comes first.
void writable_net_settings()
{
    const char* const net = "/proc/sys/net";
    if (mount(net, net, "none", MS_BIND, nullptr) == 0)
        mount("none", net, "none", MS_REMOUNT | MS_BIND, nullptr);
}

// One way, in this process: new namespaces (in a user namespace of their
// own when `with_user`), loopback up, then `inside`.
std::string make(bool with_user, bool with_mounts, setup_step inside)
{
    const int flags = CLONE_NEWNET | (with_mounts ? CLONE_NEWNS : 0);
    if (with_user) {
        // A mount namespace of this process's own capabilities first, if it
        // may have one, to make /proc/sys/net writable in.
        if (with_mounts && unshare(CLONE_NEWNS) == 0 && private_mounts()) writable_net_settings();
        if (auto why = unshare_with_user(flags); !why.empty()) return why;
    } else if (unshare(flags) != 0) {
        return errno_text(with_mounts ? "unshare(CLONE_NEWNET | CLONE_NEWNS)"
                                      : "unshare(CLONE_NEWNET)");
    }
    if (with_mounts) {
        if (!private_mounts()) return errno_text("making the mounts private");
        if (!with_user) writable_net_settings();
    }
    if (auto why = bring_up_loopback(); !why.empty()) return why;
    return inside != nullptr ? inside() : "";
}

// The same way tried in a child process: what it returned there.
std::string trial(bool with_user, bool with_mounts, setup_step inside)
{
    int result[2];
    if (pipe2(result, O_CLOEXEC) != 0) return errno_text("pipe");
    const pid_t child = fork();
    if (child < 0) {
        close(result[0]);
        close(result[1]);
        return errno_text("fork");
    }
    if (child == 0) {
        close(result[0]);
        const std::string why = make(with_user, with_mounts, inside);
        (void)!write(result[1], why.data(), why.size());
        _exit(0);
    }
    close(result[1]);
    std::string why;
    char chunk[512];
    ssize_t got;
    while ((got = read(result[0], chunk, sizeof chunk)) > 0 || (got < 0 && errno == EINTR))
        if (got > 0) why.append(chunk, static_cast<std::size_t>(got));
    close(result[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "the trial process failed";
    return why;
}

} // namespace

std::string enter(bool with_mounts, setup_step inside)
{
    const std::string plain = trial(false, with_mounts, inside);
    if (plain.empty()) return make(false, with_mounts, inside);
    const std::string user = trial(true, with_mounts, inside);
    if (user.empty()) return make(true, with_mounts, inside);
    return std::string(with_mounts ? "network and mount namespaces" : "a network namespace") +
           " of its own: " + plain + "; in a user namespace: " + user;
}

} // namespace test_ns
