// SPDX-License-Identifier: GPL-2.0-or-later
// port_probe: the port calls of a program, one step per argument, for the
// tests of quenlyte-sim run. Prints one line per step.
//
//   ioperm:FROM:NUM:ON  iopl:LEVEL  in:ADDR  inw:ADDR  out:ADDR:VALUE  hlt
//   fork (the rest runs in a child; the parent waits for it)  pause
//   open:PATH  ioctl:NAME[:VALUE] (on the last opened file)  cat:PATH  ls:PATH
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <string>
#include <sys/io.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

const char* error_name(int error)
{
    switch (error) {
    case EINVAL:
        return "EINVAL";
    case EPERM:
        return "EPERM";
    case EACCES:
        return "EACCES";
    case ENOENT:
        return "ENOENT";
    case EBUSY:
        return "EBUSY";
    default:
        return std::strerror(error);
    }
}

void result(const char* step, int rc)
{
    std::printf("%s %s\n", step, rc == 0 ? "0" : error_name(errno));
}

unsigned long number(const std::vector<std::string>& f, std::size_t i)
{
    return i < f.size() ? std::strtoul(f[i].c_str(), nullptr, 0) : 0;
}

unsigned long request_named(const std::string& name)
{
    if (name == "PPEXCL") return PPEXCL;
    if (name == "PPCLAIM") return PPCLAIM;
    if (name == "PPRELEASE") return PPRELEASE;
    if (name == "PPRDATA") return PPRDATA;
    if (name == "PPWDATA") return PPWDATA;
    return PPRSTATUS;
}

} // namespace

int main(int argc, char* argv[]) // cppcheck-suppress constParameter
{
    int fd = -1;
    for (int a = 1; a < argc; ++a) {
        std::vector<std::string> f;
        std::string word = argv[a];
        for (std::size_t at; (at = word.find(':')) != std::string::npos; word.erase(0, at + 1))
            f.push_back(word.substr(0, at));
        f.push_back(word);
        const std::string& step = f[0];
        const auto port = static_cast<unsigned short>(number(f, 1));
        if (step == "ioperm") {
            result("ioperm", ioperm(number(f, 1), number(f, 2), static_cast<int>(number(f, 3))));
        } else if (step == "iopl") {
            result("iopl", iopl(static_cast<int>(number(f, 1))));
        } else if (step == "in") {
            std::printf("in 0x%x 0x%02x\n", port, inb(port));
        } else if (step == "inw") {
            std::printf("inw 0x%x 0x%04x\n", port, inw(port));
        } else if (step == "out") {
            outb(static_cast<unsigned char>(number(f, 2)), port);
            std::printf("out 0x%x\n", port);
        } else if (step == "hlt") {
            __asm__ __volatile__("hlt"); // privileged: a protection fault, no port in it
        } else if (step == "pause") {
            std::puts("pausing");
            std::fflush(stdout);
            pause();
        } else if (step == "fork") {
            std::fflush(stdout);
            const pid_t child = fork();
            if (child > 0) {
                int status = 0;
                waitpid(child, &status, 0);
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
        } else if (step == "open") {
            fd = open(f[1].c_str(), O_RDWR | O_CLOEXEC);
            result("open", fd < 0 ? -1 : 0);
        } else if (step == "ioctl") {
            unsigned char data = static_cast<unsigned char>(number(f, 2));
            const int rc = ioctl(fd, request_named(f[1]), &data);
            std::printf("%s %s", f[1].c_str(), rc == 0 ? "0" : error_name(errno));
            std::printf(rc == 0 && f[1] == "PPRDATA" ? " 0x%02x\n" : "\n", data);
        } else if (step == "cat") {
            char text[256] = {};
            const int file = open(f[1].c_str(), O_RDONLY);
            const ssize_t got = file < 0 ? -1 : read(file, text, sizeof text - 1);
            std::printf("cat %s", got < 0 ? "failed\n" : text);
        } else if (step == "ls") {
            std::vector<std::string> names;
            DIR* dir = opendir(f[1].c_str());
            while (const dirent* entry = dir != nullptr ? readdir(dir) : nullptr)
                if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
            std::sort(names.begin(), names.end());
            std::printf("ls");
            for (const auto& name : names) std::printf(" %s", name.c_str());
            std::printf("\n");
        }
        std::fflush(stdout);
    }
    return 0;
}
