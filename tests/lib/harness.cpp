// SPDX-License-Identifier: GPL-2.0-or-later
#include "harness.h"

#include "link_protocol.h"
#include "namespaces.h"
#include "port_facts.h"
#include "proc_stat.h"
#include "sim_chain.h"
#include "sim_view.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <linux/capability.h>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace e2e
{

namespace
{

int log_socket = -1;

std::string errno_text(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

// A /dev of the test's own: null and urandom from the real one, an empty
// shm, and a log socket. (Mounts that ignore their file system type name
// "none" rather than passing null, which valgrind takes for a bad pointer.)
std::string private_dev()
{
    const int null = open("/dev/null", O_PATH);
    const int urandom = open("/dev/urandom", O_PATH);
    if (null < 0 || urandom < 0) return errno_text("opening /dev");
    if (mount("tmpfs", "/dev", "tmpfs", 0, "mode=755") != 0) return errno_text("mounting /dev");
    for (const auto& [fd, path] :
         {std::pair{null, "/dev/null"}, std::pair{urandom, "/dev/urandom"}}) {
        close(open(path, O_CREAT | O_WRONLY, 0666));
        const std::string source = "/proc/self/fd/" + std::to_string(fd);
        if (mount(source.c_str(), path, "none", MS_BIND, nullptr) != 0)
            return errno_text("binding /dev");
        close(fd);
    }
    mkdir("/dev/shm", 01777);
    chmod("/dev/shm", 01777);
    if (symlink("/proc/self/fd", "/dev/fd") != 0) return errno_text("/dev/fd");

    log_socket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/dev/log");
    if (log_socket < 0 ||
        bind(log_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return errno_text("binding /dev/log");
    return "";
}

long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int wait_readable(int fd, int timeout_ms)
{
    pollfd p{fd, POLLIN, 0};
    int rc;
    do rc = poll(&p, 1, timeout_ms);
    while (rc < 0 && errno == EINTR);
    return rc;
}

std::vector<char*> argv_of(const std::string& path, const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

std::string drain(int fd)
{
    std::string all;
    char chunk[4096];
    ssize_t got;
    while ((got = read(fd, chunk, sizeof chunk)) > 0)
        all.append(chunk, static_cast<std::size_t>(got));
    return all;
}

// The first line of /proc/PID/stat; empty once the process is gone.
std::string stat_line(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    return line;
}

// The name of the program that valgrind runs in process `pid` (its first
// argument that is no option), cut to a process name's 15 bytes.
std::string valgrind_client(pid_t pid)
{
    std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
    std::string arg;
    std::getline(cmdline, arg, '\0'); // valgrind itself
    while (std::getline(cmdline, arg, '\0'))
        if (!arg.empty() && arg[0] != '-') return arg.substr(arg.rfind('/') + 1).substr(0, 15);
    return "";
}

} // namespace

std::vector<pid_t> children_named(const char* comm_prefix)
{
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return found;
    const pid_t self = getpid();
    while (const dirent* entry = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0) continue;
        const std::string line = stat_line(pid);
        const auto fields = parse_proc_stat(line);
        if (!fields) continue;
        std::string comm(fields->comm);
        // Under valgrind (preset valgrind) the name is valgrind's; the
        // program's stands in its command line, which is gone once it has
        // exited: such a child is taken for the one wanted.
        if (comm.rfind("memcheck-", 0) == 0) comm = valgrind_client(pid);
        if (comm.empty()) comm = comm_prefix;
        if (fields->ppid == self && comm.rfind(comm_prefix, 0) == 0) found.push_back(pid);
    }
    closedir(proc);
    return found;
}

std::string isolate()
{
    if (auto why = test_ns::enter(true, private_dev); !why.empty()) return why;
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) return errno_text("child subreaper");
    signal(SIGPIPE, SIG_IGN);
    return "";
}

std::string bin_dir()
{
    const char* const chosen = std::getenv("QUENLYTE_TEST_BIN_DIR");
    return chosen != nullptr && *chosen != '\0' ? chosen : QUENLYTE_BIN_DIR;
}

std::string program(const char* name)
{
    return bin_dir() + "/" + name;
}

run_result run(const std::string& path, const std::vector<std::string>& args)
{
    run_result result;
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return result;
    auto argv = argv_of(path, args);
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    result.out = drain(out[0]);
    result.err = drain(err[0]);
    close(out[0]);
    close(err[0]);
    result.status = wait_exit(child);
    return result;
}

started start(const std::string& path, const std::vector<std::string>& args, bool drop_rawio)
{
    started result;
    auto argv = argv_of(path, args);
    const pid_t child = fork();
    if (child == 0) {
        // A daemon ended by SIGQUIT leaves no core file in /.
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        if (drop_rawio) {
            prctl(PR_CAPBSET_DROP, CAP_SYS_RAWIO, 0, 0, 0);
            prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
        }
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    result.starter_status = wait_exit(child);
    // The daemon was reparented to us before the starter's exit was reported.
    const std::string base = path.substr(path.rfind('/') + 1);
    const auto found = children_named(base.substr(0, 15).c_str());
    if (found.size() == 1) result.daemon = found[0];
    return result;
}

namespace
{
const char* const emulator_log = "/dev/shm/quenlyte-sim-run.log";
}

started start_emulated(const std::string& path, const std::vector<std::string>& args,
                       const std::vector<std::string>& options)
{
    started result;
    std::vector<std::string> words = {"run"};
    words.insert(words.end(), options.begin(), options.end());
    words.push_back("--");
    words.push_back(path);
    words.insert(words.end(), args.begin(), args.end());
    const std::string emulator = program("quenlyte-sim");
    auto argv = argv_of(emulator, words);
    const pid_t child = fork();
    if (child == 0) {
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        const int log = open(emulator_log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        dup2(log, 1);
        dup2(log, 2);
        execv(emulator.c_str(), argv.data());
        _exit(127);
    }
    result.emulator = child;
    const std::string base = path.substr(path.rfind('/') + 1).substr(0, 15);
    for (int waited_ms = 0; waited_ms < 10000; ++waited_ms) {
        const auto found = children_named(base.c_str());
        if (found.size() == 1) {
            result.daemon = found[0];
            return result;
        }
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) {
            // All ended: a daemon that failed at once may be among them.
            const auto late = children_named(base.c_str());
            if (late.size() == 1) result.daemon = late[0];
            result.starter_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            result.emulator = -1;
            return result;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return result;
}

std::string emulator_output()
{
    std::ifstream in(emulator_log);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

int wait_exit(pid_t pid, int timeout_ms)
{
    const long long deadline = now_ms() + timeout_ms;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (done < 0) return -1;
        if (now_ms() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

bool wait_blocked(pid_t pid, int timeout_ms)
{
    return wait_blocked_in(pid, {}, timeout_ms);
}

bool wait_blocked_in(pid_t pid, const std::vector<long>& numbers, int timeout_ms)
{
    const long long deadline = now_ms() + timeout_ms;
    const std::string path = "/proc/" + std::to_string(pid) + "/syscall";
    while (now_ms() < deadline) {
        std::ifstream in(path);
        std::string first;
        // "running" while on a processor; the system call number while blocked.
        if (in >> first && !first.empty() && first != "running" && first[0] != '-' &&
            (numbers.empty() || std::find(numbers.begin(), numbers.end(),
                                          std::atol(first.c_str())) != numbers.end())) {
            // Sleeping for sure only once the state says so.
            const std::string line = stat_line(pid);
            if (const auto fields = parse_proc_stat(line); fields && fields->state == 'S')
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

bool alive(pid_t pid)
{
    const std::string line = stat_line(pid);
    const auto fields = parse_proc_stat(line);
    return fields && fields->state != 'Z';
}

sockaddr_in service_address()
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(service_port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int connect_service()
{
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = service_address();
    if (s >= 0 && connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return s;
    if (s >= 0) close(s);
    return -1;
}

int listen_service()
{
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in address = service_address();
    if (bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(s, 4) != 0) {
        close(s);
        return -1;
    }
    return s;
}

int accept_client(int listener, int timeout_ms)
{
    if (wait_readable(listener, timeout_ms) <= 0) return -1;
    return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

std::string read_exact(int fd, std::size_t count, int timeout_ms)
{
    std::string got;
    const long long deadline = now_ms() + timeout_ms;
    while (got.size() < count) {
        const long long left = deadline - now_ms();
        if (left <= 0 || wait_readable(fd, static_cast<int>(left)) <= 0) break;
        char chunk[512];
        const ssize_t n = read(fd, chunk, std::min(sizeof chunk, count - got.size()));
        if (n <= 0) break;
        got.append(chunk, static_cast<std::size_t>(n));
    }
    return got;
}

void send_bytes(int fd, const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + sent, bytes.size() - sent);
        if (n <= 0) return;
        sent += static_cast<std::size_t>(n);
    }
}

bool quiet_for(int fd, int ms)
{
    return wait_readable(fd, ms) == 0;
}

std::string syslog_line(const std::string& text, int timeout_ms)
{
    const long long deadline = now_ms() + timeout_ms;
    for (;;) {
        const long long left = deadline - now_ms();
        if (left <= 0 || wait_readable(log_socket, static_cast<int>(left)) <= 0) return "";
        char message[2048];
        const ssize_t n = recv(log_socket, message, sizeof message, 0);
        if (n <= 0) return "";
        std::string line(message, static_cast<std::size_t>(n));
        if (line.find(text) != std::string::npos) return line;
    }
}

std::string view(int port_argument, int leds)
{
    // Read here rather than by running `quenlyte-sim view --once`: the same
    // line from the same code, without a process per look (a valgrind start
    // each under the valgrind preset). The tool itself is in test_sim_tool.
    const int port = port_address(port_argument);
    const sim_chain* chain = sim_watch(port);
    if (chain == nullptr) return "no simulated port at " + std::to_string(port);
    std::string line = view_line(view_state_of(chain, static_cast<unsigned>(port), leds));
    sim_detach(chain);
    return line;
}

std::string leds(int port_argument, int count)
{
    const std::string line = view(port_argument, count);
    const auto at = line.find("leds=");
    return at == std::string::npos ? line : line.substr(at + 5, static_cast<std::size_t>(count));
}

} // namespace e2e
