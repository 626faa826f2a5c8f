// SPDX-License-Identifier: GPL-2.0-or-later
// A fake parallel port behind the ppdev ioctls, for tests only (LD_PRELOAD).
// ioctl and close on a descriptor open on /dev/parport* (a plain file in the
// test's private /dev) are answered here like the kernel's ppdev driver
// would: PPEXCL before PPCLAIM, the data register only while claimed, and
// PPRDATA returns the last value PPWDATA wrote (0 at first). Every other
// descriptor goes to the C library.
//
// Environment (of this library only, read at each call):
//   QUENLYTE_PPDEV_SHIM_LOG   file to which each call is appended, one line
//                             each: PPEXCL, PPCLAIM, PPRELEASE, close, r<hex>
//                             for PPRDATA, w<hex> for PPWDATA; a failed
//                             call ends in "!"
//   QUENLYTE_PPDEV_SHIM_FAIL  calls to fail and with what, e.g.
//                             "PPCLAIM:EBUSY PPWDATA:EIO"
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <string_view>
#include <sys/ioctl.h>
#include <unistd.h>

namespace
{

bool claimed = false;            // between PPCLAIM and PPRELEASE
unsigned char data_register = 0; // the modelled data register

using ioctl_function = int (*)(int, unsigned long, ...);
using close_function = int (*)(int);

close_function real_close()
{
    static auto function = reinterpret_cast<close_function>(dlsym(RTLD_NEXT, "close"));
    return function;
}

bool is_parport(int fd)
{
    char link[32];
    char target[64] = {};
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    return n > 0 &&
           std::string_view(target, static_cast<std::size_t>(n)).starts_with("/dev/parport");
}

void record(const char* line)
{
    const char* const path = std::getenv("QUENLYTE_PPDEV_SHIM_LOG");
    if (path == nullptr) return;
    const int saved = errno;
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        char text[64];
        const int n = std::snprintf(text, sizeof text, "%s\n", line);
        (void)!write(fd, text, static_cast<std::size_t>(n));
        real_close()(fd);
    }
    errno = saved;
}

// The errno that QUENLYTE_PPDEV_SHIM_FAIL asks `name` to fail with, or 0.
int planned_failure(const char* name)
{
    const char* const plan = std::getenv("QUENLYTE_PPDEV_SHIM_FAIL");
    if (plan == nullptr) return 0;
    const std::size_t length = std::strlen(name);
    for (const char* at = std::strstr(plan, name); at != nullptr; at = std::strstr(at + 1, name)) {
        if (at[length] != ':') continue;
        const std::string_view error(at + length + 1, std::strcspn(at + length + 1, " "));
        if (error == "EBUSY") return EBUSY;
        if (error == "EIO") return EIO;
        if (error == "ENXIO") return ENXIO;
        return EINVAL;
    }
    return 0;
}

// Records the call as `line` and answers it: the planned failure, else
// `refused` (the driver's own refusal), else success.
int answer(const char* name, const char* line, int refused = 0)
{
    const int error = planned_failure(name) != 0 ? planned_failure(name) : refused;
    if (error == 0) {
        record(line);
        return 0;
    }
    char failed[64];
    std::snprintf(failed, sizeof failed, "%s!", line);
    record(failed);
    errno = error;
    return -1;
}

int fake_ioctl(unsigned long request, void* argument)
{
    char line[16];
    switch (request) {
    case PPEXCL:
        return answer("PPEXCL", "PPEXCL", claimed ? EINVAL : 0);
    case PPCLAIM:
        if (answer("PPCLAIM", "PPCLAIM", claimed ? EINVAL : 0) != 0) return -1;
        claimed = true;
        return 0;
    case PPRELEASE:
        if (answer("PPRELEASE", "PPRELEASE", claimed ? 0 : EINVAL) != 0) return -1;
        claimed = false;
        return 0;
    case PPRDATA:
        std::snprintf(line, sizeof line, "r%02x", data_register);
        if (answer("PPRDATA", line, claimed ? 0 : EINVAL) != 0) return -1;
        *static_cast<unsigned char*>(argument) = data_register;
        return 0;
    case PPWDATA: {
        const unsigned char value = *static_cast<const unsigned char*>(argument);
        std::snprintf(line, sizeof line, "w%02x", value);
        if (answer("PPWDATA", line, claimed ? 0 : EINVAL) != 0) return -1;
        data_register = value;
        return 0;
    }
    default:
        std::snprintf(line, sizeof line, "0x%lx", request);
        return answer("other", line, ENOTTY);
    }
}

} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    void* const argument = va_arg(args, void*);
    va_end(args);
    if (is_parport(fd)) return fake_ioctl(request, argument);
    static auto real = reinterpret_cast<ioctl_function>(dlsym(RTLD_NEXT, "ioctl"));
    return real(fd, request, argument);
}

extern "C" int close(int fd)
{
    if (is_parport(fd)) {
        record("close");
        claimed = false;
    }
    return real_close()(fd);
}
