// SPDX-License-Identifier: GPL-2.0-or-later
#include "run.h"

#include "decode.h"
#include "machine.h"
#include "port_facts.h"
#include "program_name.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/ppdev.h>
#include <linux/seccomp.h>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

constexpr unsigned long max_address = io_space_size - 1; // the highest I/O address
constexpr unsigned long x32_syscall_bit = 0x40000000;
constexpr unsigned foreign_abi = 1;         // SECCOMP_RET_DATA of a 32-bit system call
constexpr std::size_t red_zone_bytes = 128; // below the stack pointer, the program's own
constexpr std::size_t stack_align_bytes = 16;
constexpr std::size_t path_max_bytes = 4096; // PATH_MAX
constexpr std::size_t page_bytes = 4096;
constexpr int signal_exit_base = 128; // exit status 128+N after signal N
constexpr int exec_failed_status = 127;
constexpr unsigned int ppdev_major = 99; // /dev/parportN
constexpr unsigned int mem_major = 1;    // /dev/port is 1:4
constexpr unsigned int port_minor = 4;

const int passed_signals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

struct task {
    pid_t tgid = 0;
    bool expects_stop = false;       // its first SIGSTOP, from being traced at birth, is due
    bool waiting_for_parent = false; // stopped at birth before its parent's report came
    bool restore_pending = false;    // a redirected path: put its register back at exit
    bool answer_pending = false;     // a call answered at its entry: its result is set at exit
    long answer = 0;
    bool path_in_rdi = false;
    unsigned long long saved_path = 0;
};

std::map<pid_t, task> tasks;
int last_status = 0;

// Under a seccomp filter of its own (a container's, a service's), a call
// that filter refuses never reaches this emulator's filter: the refusal
// takes precedence over tracing. There every task stops at the entry and
// exit of each system call, which comes before any filter, and ioperm and
// iopl are answered there.
bool under_outer_filter = false;

int usage(FILE* to, int status)
{
    std::fprintf(to, "usage: %s run [--parport ADDR]... [--refuse] -- PROGRAM [ARG...]\n", program);
    return status;
}

bool to_address(std::string_view text, unsigned& address)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, address, base);
    return !text.empty() && error == std::errc{} && stop == end && address <= max_address;
}

// --- the traced program's memory and registers -----------------------------

std::size_t read_memory(pid_t tid, unsigned long long address, void* to, std::size_t size)
{
    iovec local{to, size};
    iovec remote{reinterpret_cast<void*>(address), size}; // NOLINT(performance-no-int-to-ptr)
    const ssize_t got = process_vm_readv(tid, &local, 1, &remote, 1, 0);
    return got > 0 ? static_cast<std::size_t>(got) : 0;
}

bool write_memory(pid_t tid, unsigned long long address, const void* from, std::size_t size)
{
    iovec local{const_cast<void*>(from), size};
    iovec remote{reinterpret_cast<void*>(address), size}; // NOLINT(performance-no-int-to-ptr)
    return process_vm_writev(tid, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(size);
}

// A terminated string of the program; false when unreadable or too long.
bool read_string(pid_t tid, unsigned long long address, std::string& text)
{
    text.clear();
    while (text.size() < path_max_bytes) {
        char chunk[page_bytes];
        const std::size_t to_page_end = page_bytes - (address % page_bytes);
        const std::size_t got = read_memory(tid, address, chunk, to_page_end);
        if (got == 0) return false;
        const auto* end = static_cast<const char*>(std::memchr(chunk, '\0', got));
        if (end != nullptr) {
            text.append(chunk, static_cast<std::size_t>(end - chunk));
            return true;
        }
        text.append(chunk, got);
        address += got;
    }
    return false;
}

long trace(__ptrace_request request, pid_t tid, void* data)
{
    return ptrace(request, tid, nullptr, data);
}
bool get_regs(pid_t tid, user_regs_struct& regs)
{
    return trace(PTRACE_GETREGS, tid, &regs) == 0;
}
void set_regs(pid_t tid, user_regs_struct& regs)
{
    trace(PTRACE_SETREGS, tid, &regs);
}
unsigned long event_message(pid_t tid)
{
    unsigned long message = 0;
    trace(PTRACE_GETEVENTMSG, tid, &message);
    return message;
}
// Resumes a stopped task, delivering `signal_number` (0: none); to its next
// system call's entry or exit under an outer filter.
void resume(pid_t tid, int signal_number = 0, __ptrace_request how = PTRACE_CONT)
{
    if (under_outer_filter) how = PTRACE_SYSCALL;
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    trace(how, tid, reinterpret_cast<void*>(static_cast<long>(signal_number)));
}

// True when this process runs under a seccomp filter ("Seccomp: 2").
bool seccomp_filtered()
{
    FILE* status = std::fopen("/proc/self/status", "re");
    if (status == nullptr) return false;
    char line[256];
    bool filtered = false;
    while (std::fgets(line, sizeof line, status) != nullptr)
        if (std::string_view(line).starts_with("Seccomp:"))
            filtered = std::strchr(line, '2') != nullptr;
    std::fclose(status);
    return filtered;
}

// The system call is not made; it returns `result` (0 or a negative errno).
void skip_call(pid_t tid, user_regs_struct& regs, long result)
{
    regs.orig_rax = static_cast<unsigned long long>(-1);
    regs.rax = static_cast<unsigned long long>(result);
    set_regs(tid, regs);
    resume(tid);
}

// --- the child: traced, filtered, then the program -------------------------

// Stops the program at just the system calls that the emulator answers; all
// others run at full speed. A 32-bit system call stops too, to be refused.
void install_filter()
{
    const unsigned answered[] = {SYS_ioperm, SYS_iopl,    SYS_open,
                                 SYS_openat, SYS_openat2, SYS_ioctl};
    constexpr std::size_t count = sizeof answered / sizeof answered[0];
    std::vector<sock_filter> code = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRACE | foreign_abi),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, x32_syscall_bit, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRACE | foreign_abi),
    };
    for (std::size_t i = 0; i < count; ++i)
        code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, answered[i],
                                static_cast<unsigned char>(count - i), 0));
    code.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    code.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRACE));
    const sock_fprog filter{static_cast<unsigned short>(code.size()), code.data()};
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
        // Without CAP_SYS_ADMIN a filter needs no_new_privs.
        prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
        if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
            std::fprintf(stderr, "%s: seccomp filter: %s\n", program, std::strerror(errno));
            _exit(exec_failed_status);
        }
    }
}

// LeakSanitizer stops the world with ptrace, which a traced program cannot;
// in a sanitizer build it would end every run with a fatal error instead of
// the program's status. The program's leak check is off.
void leave_leaks_unchecked()
{
    const char* const before = std::getenv("LSAN_OPTIONS");
    const std::string options =
        (before != nullptr && *before != '\0' ? std::string(before) + ":" : "") + "detect_leaks=0";
    setenv("LSAN_OPTIONS", options.c_str(), 1);
}

[[noreturn]] void run_child(char* argv[], const sigset_t& mask)
{
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    leave_leaks_unchecked();
    if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
        std::fprintf(stderr, "%s: ptrace: %s\n", program, std::strerror(errno));
        _exit(exec_failed_status);
    }
    raise(SIGSTOP); // the tracer sets its options here
    // cppcheck-suppress unreachableCode ; raise() returns once the tracer resumes the child
    install_filter();
    execvp(argv[0], argv);
    std::fprintf(stderr, "%s: %s: %s\n", program, argv[0], std::strerror(errno));
    _exit(exec_failed_status);
}

// --- answers at the system-call boundary -----------------------------------

// True when `path`, opened by `tid` relative to `dirfd`, is a real parallel
// port device or /dev/port under any name.
bool real_port_device(pid_t tid, long long dirfd, const std::string& path)
{
    std::string seen = "/proc/" + std::to_string(tid);
    if (!path.empty() && path[0] == '/')
        seen += "/root" + path;
    else if (static_cast<int>(dirfd) == AT_FDCWD)
        seen += "/cwd/" + path;
    else
        seen += "/fd/" + std::to_string(static_cast<int>(dirfd)) + "/" + path;
    struct stat target {
    };
    if (stat(seen.c_str(), &target) != 0 || !S_ISCHR(target.st_mode)) return false;
    return major(target.st_rdev) == ppdev_major ||
           (major(target.st_rdev) == mem_major && minor(target.st_rdev) == port_minor);
}

void answer_open_call(pid_t tid, user_regs_struct& regs)
{
    const bool path_in_rdi = regs.orig_rax == SYS_open;
    const unsigned long long path_address = path_in_rdi ? regs.rdi : regs.rsi;
    std::string path;
    if (!read_string(tid, path_address, path)) return resume(tid); // the kernel says EFAULT
    const open_answer answer = answer_open(path);
    if (answer.error != 0) return skip_call(tid, regs, -answer.error);
    if (answer.instead.empty()) {
        if (real_port_device(tid, path_in_rdi ? AT_FDCWD : static_cast<long long>(regs.rdi),
                             path)) {
            std::fprintf(stderr, "%s: process %d: %s: a real port device; refused\n", program,
                         static_cast<int>(tid), path.c_str());
            return skip_call(tid, regs, -EACCES);
        }
        return resume(tid);
    }
    // The new path goes below the red zone of the stack; the register is put
    // back when the call returns.
    const std::size_t size = answer.instead.size() + 1;
    const unsigned long long at = (regs.rsp - red_zone_bytes - size) &
                                  ~static_cast<unsigned long long>(stack_align_bytes - 1);
    if (!write_memory(tid, at, answer.instead.c_str(), size)) {
        std::fprintf(stderr, "%s: process %d: %s: cannot place the emulated path: %s\n", program,
                     static_cast<int>(tid), path.c_str(), std::strerror(errno));
        return skip_call(tid, regs, -EFAULT);
    }
    task& t = tasks[tid];
    t.restore_pending = true;
    t.path_in_rdi = path_in_rdi;
    t.saved_path = path_address;
    (path_in_rdi ? regs.rdi : regs.rsi) = at;
    set_regs(tid, regs);
    resume(tid, 0, PTRACE_SYSCALL);
}

void answer_ioctl_call(pid_t tid, user_regs_struct& regs)
{
    const std::string fd_link =
        "/proc/" + std::to_string(tid) + "/fd/" + std::to_string(static_cast<int>(regs.rdi));
    struct stat file {
    };
    const int number =
        stat(fd_link.c_str(), &file) == 0 ? device_port(file.st_dev, file.st_ino) : -1;
    if (number < 0) return resume(tid);
    const unsigned long request = regs.rsi & 0xFFFFFFFFUL; // an unsigned int to the kernel
    std::uint8_t data = 0;
    if (request == PPWDATA && read_memory(tid, regs.rdx, &data, 1) != 1)
        return skip_call(tid, regs, -EFAULT);
    long result = answer_ppdev(tasks[tid].tgid, number, request, data);
    if (result == 0 && request == PPRDATA && !write_memory(tid, regs.rdx, &data, 1))
        result = -EFAULT;
    skip_call(tid, regs, result);
}

void kill_program(pid_t tid)
{
    kill(tasks[tid].tgid, SIGKILL);
}

void on_system_call(pid_t tid)
{
    user_regs_struct regs{};
    if (!get_regs(tid, regs)) return;
    // Answered at its entry already (under an outer filter): not made.
    if (tasks[tid].answer_pending) return resume(tid);
    if (event_message(tid) == foreign_abi) {
        std::fprintf(stderr,
                     "%s: process %d: a 32-bit system call; only 64-bit programs are "
                     "emulated; killing the program\n",
                     program, static_cast<int>(tid));
        return kill_program(tid);
    }
    switch (regs.orig_rax) {
    case SYS_ioperm:
        return skip_call(tid, regs, answer_ioperm(tid, regs.rdi, regs.rsi, regs.rdx));
    case SYS_iopl:
        return skip_call(tid, regs, answer_iopl(tid, regs.rdi));
    case SYS_open:
    case SYS_openat:
    case SYS_openat2:
        return answer_open_call(tid, regs);
    case SYS_ioctl:
        return answer_ioctl_call(tid, regs);
    default:
        return resume(tid);
    }
}

// The redirected call has returned: its path register is the program's
// again. A call answered at its entry returns the answer (an outer filter
// may have put its refusal there meanwhile).
void on_system_call_exit(pid_t tid)
{
    task& t = tasks[tid];
    user_regs_struct regs{};
    if ((t.restore_pending || t.answer_pending) && get_regs(tid, regs)) {
        if (t.restore_pending) (t.path_in_rdi ? regs.rdi : regs.rsi) = t.saved_path;
        if (t.answer_pending) regs.rax = static_cast<unsigned long long>(t.answer);
        set_regs(tid, regs);
    }
    t.restore_pending = false;
    t.answer_pending = false;
    resume(tid);
}

// Under an outer filter: the entry of every system call, before any filter.
// ioperm and iopl are answered here and not made; all others go on.
void on_system_call_entry(pid_t tid)
{
    user_regs_struct regs{};
    if (!get_regs(tid, regs)) return;
    long result = 0;
    if (regs.orig_rax == SYS_ioperm)
        result = answer_ioperm(tid, regs.rdi, regs.rsi, regs.rdx);
    else if (regs.orig_rax == SYS_iopl)
        result = answer_iopl(tid, regs.rdi);
    else
        return resume(tid);
    task& t = tasks[tid];
    t.answer_pending = true;
    t.answer = result;
    skip_call(tid, regs, result);
}

// A system-call stop: its entry (only ever under an outer filter) or exit.
void on_system_call_stop(pid_t tid)
{
    __ptrace_syscall_info info{};
    void* const size = reinterpret_cast<void*>(sizeof info); // NOLINT(performance-no-int-to-ptr)
    if (under_outer_filter && ptrace(PTRACE_GET_SYSCALL_INFO, tid, size, &info) > 0 &&
        info.op == PTRACE_SYSCALL_INFO_ENTRY)
        return on_system_call_entry(tid);
    on_system_call_exit(tid);
}

// --- in and out -------------------------------------------------------------

void on_protection_fault(pid_t tid)
{
    user_regs_struct regs{};
    if (!get_regs(tid, regs)) return;
    std::uint8_t bytes[16] = {};
    const std::size_t got = read_memory(tid, regs.rip, bytes, sizeof bytes);
    const port_instruction op = decode_port_instruction(bytes, got);
    if (op.op == port_op::other) {
        std::string code;
        for (std::size_t i = 0; i < op.length; ++i) {
            char hex[4];
            std::snprintf(hex, sizeof hex, i == 0 ? "%02x" : " %02x", bytes[i]);
            code += hex;
        }
        std::fprintf(stderr,
                     "%s: process %d: %s (%s) at 0x%llx: only byte-wide in and out are "
                     "emulated; killing the program\n",
                     program, static_cast<int>(tid), op.text.c_str(), code.c_str(), regs.rip);
        return kill_program(tid);
    }
    const unsigned address = op.immediate ? op.address : static_cast<unsigned>(regs.rdx & 0xFFFF);
    if (op.op == port_op::none || !port_held(tid, address)) return resume(tid, SIGSEGV);
    if (op.op == port_op::in_byte)
        regs.rax = (regs.rax & ~0xFFULL) | port_read(address);
    else
        port_write(address, static_cast<std::uint8_t>(regs.rax & 0xFF));
    regs.rip += op.length;
    set_regs(tid, regs);
    resume(tid);
}

// --- processes ----------------------------------------------------------------

pid_t thread_group_of(pid_t tid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(tid));
    FILE* status = std::fopen(path, "re");
    if (status == nullptr) return tid;
    char line[256];
    pid_t tgid = tid;
    const std::string_view key = "Tgid:";
    while (std::fgets(line, sizeof line, status) != nullptr) {
        std::string_view text = line;
        if (!text.starts_with(key)) continue;
        text.remove_prefix(key.size());
        while (!text.empty() && (text[0] == '\t' || text[0] == ' ')) text.remove_prefix(1);
        std::from_chars(text.data(), text.data() + text.size(), tgid);
        break;
    }
    std::fclose(status);
    return tgid;
}

// A fork, vfork or clone: the new task takes its permission from `parent`.
void on_new_task(pid_t parent, int event)
{
    const auto child = static_cast<pid_t>(event_message(parent));
    const bool waiting = tasks.count(child) != 0 && tasks[child].waiting_for_parent;
    task& t = tasks[child];
    t.tgid = event == PTRACE_EVENT_CLONE ? thread_group_of(child) : child;
    task_started(child, parent);
    if (waiting) {
        t.waiting_for_parent = false;
        resume(child);
    } else {
        t.expects_stop = true;
    }
    resume(parent);
}

// After execve the task has its leader's id; the process's other threads are gone.
void on_exec(pid_t tid)
{
    const auto former = static_cast<pid_t>(event_message(tid));
    if (former != tid && tasks.count(former) != 0) {
        task_renamed(former, tid);
        tasks[tid] = tasks[former];
        tasks.erase(former);
    }
    const pid_t tgid = tasks[tid].tgid;
    for (auto it = tasks.begin(); it != tasks.end();) {
        if (it->second.tgid == tgid && it->first != tid) {
            task_ended(it->first);
            it = tasks.erase(it);
        } else {
            ++it;
        }
    }
    resume(tid);
}

void on_signal_stop(pid_t tid, int signal_number)
{
    task& t = tasks[tid];
    if (signal_number == SIGSTOP && t.expects_stop) {
        t.expects_stop = false;
        return resume(tid);
    }
    siginfo_t info{};
    if (trace(PTRACE_GETSIGINFO, tid, &info) != 0) return resume(tid); // a group stop
    if (signal_number == SIGSEGV && info.si_code == SI_KERNEL) return on_protection_fault(tid);
    resume(tid, signal_number);
}

void on_ended(pid_t tid, int status)
{
    const auto found = tasks.find(tid);
    if (found == tasks.end()) return;
    if (found->second.tgid == tid) {
        last_status = WIFEXITED(status) ? WEXITSTATUS(status) : signal_exit_base + WTERMSIG(status);
        process_ended(tid);
    }
    task_ended(tid);
    tasks.erase(found);
}

void on_stop(pid_t tid, int status)
{
    // Born before its parent's report: it waits for the permission to copy.
    if (tasks.try_emplace(tid, task{tid, false, true}).second) return;
    const int event = status >> 16;
    const int signal_number = WSTOPSIG(status);
    if (event == PTRACE_EVENT_SECCOMP) return on_system_call(tid);
    if (event == PTRACE_EVENT_FORK || event == PTRACE_EVENT_VFORK || event == PTRACE_EVENT_CLONE)
        return on_new_task(tid, event);
    if (event == PTRACE_EVENT_EXEC) return on_exec(tid);
    if (event != 0) return resume(tid);
    if (signal_number == (SIGTRAP | 0x80)) return on_system_call_stop(tid);
    on_signal_stop(tid, signal_number);
}

void pass_on(int signal_number)
{
    std::set<pid_t> processes;
    for (const auto& [tid, t] : tasks)
        if (!t.waiting_for_parent) processes.insert(t.tgid);
    for (const pid_t tgid : processes) kill(tgid, signal_number);
}

// Until the last traced task has ended; signals to pass on are taken
// between the reports of the traced tasks, and looked for now and then
// while reports keep coming.
void trace_all(const sigset_t& waited, const sigset_t& passed)
{
    constexpr unsigned reports_between_looks = 256;
    const timespec no_wait{0, 0};
    for (unsigned reports = 0; !tasks.empty(); ++reports) {
        if (reports % reports_between_looks == 0) {
            const int number = sigtimedwait(&passed, nullptr, &no_wait);
            if (number > 0) pass_on(number);
        }
        int status = 0;
        const pid_t tid = waitpid(-1, &status, __WALL | WNOHANG);
        if (tid < 0) {
            if (errno == EINTR) continue;
            break; // ECHILD: nothing left, whatever the table says
        }
        if (tid == 0) {
            siginfo_t info{};
            if (sigwaitinfo(&waited, &info) > 0 && info.si_signo != SIGCHLD) pass_on(info.si_signo);
            continue;
        }
        if (WIFSTOPPED(status))
            on_stop(tid, status);
        else
            on_ended(tid, status);
    }
}

} // namespace

int emulate_run(int count, char* args[])
{
    std::vector<unsigned> bases(std::begin(lpt_bases), std::end(lpt_bases));
    bool refuse = false;
    int next = 0;
    for (; next < count && args[next][0] == '-'; ++next) {
        const std::string_view option = args[next];
        if (option == "--") {
            ++next;
            break;
        }
        if (option == "--refuse") {
            refuse = true;
        } else if (option == "--parport" && next + 1 < count) {
            unsigned address = 0;
            if (!to_address(args[++next], address)) {
                std::fprintf(stderr,
                             "%s: --parport %s: not an I/O address (0 to 65535, decimal "
                             "or 0x hex)\n",
                             program, args[next]);
                return 2;
            }
            if (bases.size() == max_presented_ports) {
                std::fprintf(stderr, "%s: --parport %s: at most %d parallel ports\n", program,
                             args[next], max_presented_ports);
                return 2;
            }
            bases.push_back(address);
        } else {
            return usage(stderr, 2);
        }
    }
    if (next >= count) return usage(stderr, 2);

    std::string why;
    if (!machine_start(bases, refuse, why)) {
        std::fprintf(stderr, "%s: run: %s\n", program, why.c_str());
        return 1;
    }
    // Reports of the traced tasks and the signals to pass on are taken in
    // turn, so none is lost in between.
    sigset_t passed;
    sigset_t waited;
    sigset_t original;
    sigemptyset(&passed);
    for (const int number : passed_signals) sigaddset(&passed, number);
    waited = passed;
    sigaddset(&waited, SIGCHLD);
    sigprocmask(SIG_BLOCK, &waited, &original);

    under_outer_filter = seccomp_filtered();
    const pid_t child = fork();
    if (child == 0) run_child(args + next, original);
    int status = 0;
    if (child < 0 || waitpid(child, &status, __WALL) != child || !WIFSTOPPED(status)) {
        std::fprintf(stderr, "%s: run: cannot start %s: %s\n", program, args[next],
                     std::strerror(errno));
        machine_end();
        return 1;
    }
    const long options = PTRACE_O_EXITKILL | PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACEFORK |
                         PTRACE_O_TRACEVFORK | PTRACE_O_TRACECLONE | PTRACE_O_TRACEEXEC |
                         PTRACE_O_TRACESECCOMP;
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    trace(PTRACE_SETOPTIONS, child, reinterpret_cast<void*>(options));
    tasks[child] = task{child};
    task_started(child, 0);
    resume(child);
    trace_all(waited, passed);
    machine_end();
    sigprocmask(SIG_SETMASK, &original, nullptr);
    return last_status;
}
