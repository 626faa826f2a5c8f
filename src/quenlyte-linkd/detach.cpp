// SPDX-License-Identifier: GPL-2.0-or-later
#include "detach.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

int detach_fork()
{
    int word[2];
    if (::pipe2(word, O_CLOEXEC) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int err = errno;
        ::close(word[0]);
        ::close(word[1]);
        errno = err;
        return -1;
    }
    if (pid > 0) {
        // The starting process: one byte means ready; end of file means the
        // service ended first, having said why on the stderr both share.
        ::close(word[1]);
        char byte = 0;
        ssize_t n = 0;
        do n = ::read(word[0], &byte, 1);
        while (n < 0 && errno == EINTR);
        ::_exit(n == 1 ? 0 : 1);
    }
    ::close(word[0]);
    ::setsid(); // cannot fail: a child of fork leads no process group
    return word[1];
}

bool detach_ready(int ready_fd, std::string& error)
{
    const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd < 0) {
        error = std::string("/dev/null: ") + std::strerror(errno);
        return false;
    }
    for (int fd = 0; fd <= 2; ++fd) ::dup2(null_fd, fd);
    ::close(null_fd);
    if (::chdir("/") != 0) {
        error = std::string("/: ") + std::strerror(errno);
        return false;
    }
    const char ready = 1;
    while (::write(ready_fd, &ready, 1) < 0 && errno == EINTR) {
    }
    ::close(ready_fd);
    return true;
}

bool write_pidfile(const std::string& path, std::string& error)
{
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    const std::string text = std::to_string(::getpid()) + "\n";
    errno = ENOSPC; // what a short write means: write() sets nothing then
    bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    int err = errno;
    if (::close(fd) != 0 && written) {
        written = false;
        err = errno;
    }
    if (!written) {
        error = path + ": " + std::strerror(err);
        ::unlink(path.c_str());
    }
    return written;
}

std::string absolute_path(const std::string& path)
{
    if (path.empty() || path.starts_with('/')) return path;
    char dir[PATH_MAX];
    if (::getcwd(dir, sizeof dir) == nullptr) return path;
    return std::string(dir) + (dir[1] == '\0' ? "" : "/") + path;
}
