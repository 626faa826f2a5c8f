// SPDX-License-Identifier: GPL-2.0-or-later
// The valgrind preset's way into the programs an end-to-end test starts
// (LD_PRELOAD of the test program, tests/valgrind.sh; tests only): the test
// program itself runs as it is, and each program of this project it starts
// (a file named quenlyte*) runs under tests/valgrind.sh, which starts it
// under valgrind memcheck. The harness is no subject of the check; the
// programs are, and a test program under valgrind cost a valgrind start per
// test and its polling loops ten times over.
//
// Environment (set by tests/valgrind.sh):
//   QUENLYTE_VALGRIND_WRAPPER   tests/valgrind.sh
//   QUENLYTE_VALGRIND_LOGS      the folder of valgrind's logs; passed on to
//                               the program even where a test gives it an
//                               environment of its own
// Nothing this process starts inherits this library in LD_PRELOAD.
#include <cstdarg>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

using execve_function = int (*)(const char*, char* const[], char* const[]);

execve_function real_execve()
{
    static auto function = reinterpret_cast<execve_function>(dlsym(RTLD_NEXT, "execve"));
    return function;
}

bool ours(const char* path)
{
    const char* base = std::strrchr(path, '/');
    return std::strncmp(base != nullptr ? base + 1 : path, "quenlyte", 8) == 0;
}

// The entry "NAME=value" of `name` in this process's environment, or empty.
std::string own_entry(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(name) + "=" + value : std::string();
}

// LD_PRELOAD's entry without this library (its file name ends in
// valgrind_exec.so), or empty when nothing else is left.
std::string preload_without_us(const char* entry)
{
    std::string kept;
    std::string rest(entry + std::strlen("LD_PRELOAD="));
    std::size_t from = 0;
    while (from <= rest.size()) {
        std::size_t to = rest.find_first_of(": ", from);
        if (to == std::string::npos) to = rest.size();
        const std::string item = rest.substr(from, to - from);
        if (!item.empty() && item.find("valgrind_exec.so") == std::string::npos)
            kept += (kept.empty() ? "" : ":") + item;
        from = to + 1;
    }
    return kept.empty() ? std::string() : "LD_PRELOAD=" + kept;
}

int wrapped_execve(const char* path, char* const argv[], char* const envp[])
{
    const char* wrapper = std::getenv("QUENLYTE_VALGRIND_WRAPPER");
    if (wrapper == nullptr || !ours(path)) return real_execve()(path, argv, envp);

    // The arguments: sh WRAPPER --program PATH ARG...
    std::vector<char*> args = {const_cast<char*>("/bin/sh"), const_cast<char*>(wrapper),
                               const_cast<char*>("--program"), const_cast<char*>(path)};
    for (int i = 1; argv[i] != nullptr; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);

    // The environment: the test's, LD_PRELOAD without us, the log folder.
    std::vector<std::string> entries;
    bool has_logs = false;
    for (int i = 0; envp[i] != nullptr; ++i) {
        if (std::strncmp(envp[i], "LD_PRELOAD=", 11) == 0) {
            if (std::string kept = preload_without_us(envp[i]); !kept.empty())
                entries.push_back(kept);
            continue;
        }
        if (std::strncmp(envp[i], "QUENLYTE_VALGRIND_WRAPPER=", 26) == 0) continue;
        has_logs = has_logs || std::strncmp(envp[i], "QUENLYTE_VALGRIND_LOGS=", 23) == 0;
        entries.emplace_back(envp[i]);
    }
    if (std::string logs = own_entry("QUENLYTE_VALGRIND_LOGS"); !has_logs && !logs.empty())
        entries.push_back(logs);
    std::vector<char*> env;
    for (auto& entry : entries) env.push_back(entry.data());
    env.push_back(nullptr);
    return real_execve()("/bin/sh", args.data(), env.data());
}

// Out of this process's own LD_PRELOAD at once, so that what it starts
// otherwise (a shell script, ip, capsh) runs without it, and what those
// start in turn runs as it is.
__attribute__((constructor)) void leave_preload()
{
    if (const char* preload = std::getenv("LD_PRELOAD"); preload != nullptr) {
        const std::string entry =
            preload_without_us((std::string("LD_PRELOAD=") + preload).c_str());
        if (entry.empty())
            unsetenv("LD_PRELOAD");
        else
            setenv("LD_PRELOAD", entry.c_str() + std::strlen("LD_PRELOAD="), 1);
    }
}

} // namespace

extern "C" int execve(const char* path, char* const argv[], char* const envp[])
{
    return wrapped_execve(path, argv, envp);
}

extern "C" int execv(const char* path, char* const argv[])
{
    return wrapped_execve(path, argv, environ);
}

extern "C" int execl(const char* path, const char* arg, ...)
{
    std::vector<char*> argv = {const_cast<char*>(arg)};
    va_list more;
    va_start(more, arg);
    while (char* next = va_arg(more, char*)) argv.push_back(next);
    va_end(more);
    argv.push_back(nullptr);
    return wrapped_execve(path, argv.data(), environ);
}
