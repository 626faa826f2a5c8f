// SPDX-License-Identifier: GPL-2.0-or-later
// quenlyte-sim run on a probe that makes the port calls one by one: the
// answers to ioperm, iopl, the port instructions, the ppdev files and
// ioctls, also under a seccomp filter that refuses the port grants, and how
// the traced program ends.
#include "daemon_test.h"
#include "harness.h"

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <string>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

class Emulate : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (e2e::under_valgrind())
            GTEST_SKIP() << "under valgrind: a traced program cannot run under valgrind";
        if (const auto why = e2e::isolate(); !why.empty()) GTEST_SKIP() << why;
        // In a sanitizer build the probe's own SIGSEGV handler would turn
        // the signal into exit status 1.
        setenv("ASAN_OPTIONS", "handle_segv=0", 1);
    }
};

e2e::run_result probe(const char* probe_program, const std::vector<std::string>& options,
                      const std::vector<std::string>& steps)
{
    std::vector<std::string> args = {"run"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back("--");
    args.push_back(probe_program);
    args.insert(args.end(), steps.begin(), steps.end());
    return e2e::run(e2e::program("quenlyte-sim"), args);
}

const char* const granted = "ioperm:0x378:3:1";

// Each case on the dynamic and the static probe.
void check_port_calls()
{
    const struct {
        std::vector<std::string> options;
        std::vector<std::string> steps;
        std::string out;
        int status;
        std::string err; // a part of it
    } cases[] = {
        {{},
         {granted, "out:0x378:0x55", "in:0x378", "in:0x379", "out:0x37a:1"},
         "ioperm 0\nout 0x378\nin 0x378 0x55\nin 0x379 0xff\nout 0x37a\n",
         0,
         ""},
        {{},
         {"ioperm:65535:2:1", "ioperm:1:0:1", "ioperm:0:65536:1", "iopl:4", "iopl:3", "in:0x80"},
         "ioperm EINVAL\nioperm EINVAL\nioperm 0\niopl EINVAL\niopl 0\nin 0x80 0xff\n",
         0,
         ""},
        {{}, {"ioperm:0x378:1:1", "in:0x379"}, "ioperm 0\n", 128 + SIGSEGV, ""},
        {{}, {granted, "ioperm:0x378:3:0", "in:0x378"}, "ioperm 0\nioperm 0\n", 128 + SIGSEGV, ""},
        {{}, {"hlt"}, "", 128 + SIGSEGV, ""},
        {{}, {granted, "inw:0x378"}, "ioperm 0\n", 128 + SIGKILL, "in ax,dx (66 ed) at 0x"},
        {{}, {granted, "fork", "in:0x378"}, "ioperm 0\nin 0x378 0x55\n", 0, ""},
        {{"--refuse"},
         {granted, "ioperm:0x378:3:0", "iopl:3", "open:/dev/parport0"},
         "ioperm EPERM\nioperm 0\niopl EPERM\nopen EACCES\n",
         0,
         ""},
        {{"--parport", "0x1000"},
         {"ls:/proc/sys/dev/parport", "cat:/proc/sys/dev/parport/parport3/base-addr",
          "open:/dev/parport4", "open:/dev/parport3", "ioctl:PPRDATA", "ioctl:PPEXCL",
          "ioctl:PPCLAIM", "ioctl:PPWDATA:0x81", "ioctl:PPRDATA", "ioctl:PPRSTATUS",
          "ioctl:PPRELEASE", "ioctl:PPWDATA:0"},
         "ls parport0 parport1 parport2 parport3\ncat 4096\t5120\nopen ENOENT\nopen 0\n"
         "PPRDATA EINVAL\nPPEXCL 0\nPPCLAIM 0\nPPWDATA 0\nPPRDATA 0 0x81\nPPRSTATUS EINVAL\n"
         "PPRELEASE 0\nPPWDATA EINVAL\n",
         0,
         "/dev/parport3: ioctl 0x80017081: not emulated: Invalid argument"},
    };
    for (const char* build : {"port_probe", "port_probe_static"}) {
        const std::string path = e2e::program(build);
        if (access(path.c_str(), X_OK) != 0) continue; // no static build with sanitizers
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(build) + " " + c.steps[0] + " " + c.steps.back());
            const auto r = probe(path.c_str(), c.options, c.steps);
            EXPECT_EQ(r.out, c.out);
            EXPECT_EQ(r.status, c.status);
            EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        }
    }
    EXPECT_NE(e2e::view(0, 0).find(" reg=0x55 "), std::string::npos) << e2e::view(0, 0);
    EXPECT_NE(e2e::view(4096, 0).find(" reg=0x81 "), std::string::npos) << e2e::view(4096, 0);
}

} // namespace

TEST_F(Emulate, AnswersPortCallsAsTheKernelAndAPortAsTheHardware)
{
    check_port_calls();
}

// A container without CAP_SYS_RAWIO refuses ioperm and iopl in a seccomp
// filter of its own; that refusal takes precedence over the emulator's
// filter, so the emulator must answer them before any filter sees them.
TEST_F(Emulate, AnswersPortGrantsThatAFilterAroundItRefuses)
{
    const sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_ioperm, 1, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_iopl, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog filter{sizeof code / sizeof code[0], const_cast<sock_filter*>(code)};
    // For the rest of this test's process and all it starts.
    ASSERT_EQ(prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0), 0);
    ASSERT_EQ(prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter), 0) << std::strerror(errno);
    check_port_calls();
}

TEST_F(Emulate, PassesEndingSignalsOnAndEndsWithTheProgramsStatus)
{
    for (const int number : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) {
        SCOPED_TRACE(number);
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        const std::string emulator = e2e::program("quenlyte-sim");
        const std::string probe_path = e2e::program("port_probe");
        const pid_t child = fork();
        if (child == 0) {
            dup2(out[1], 1);
            // The probe's child pauses: a second traced process.
            execl(emulator.c_str(), emulator.c_str(), "run", "--", probe_path.c_str(), "fork",
                  "pause", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        EXPECT_EQ(e2e::read_exact(out[0], 8), "pausing\n");
        close(out[0]);
        kill(child, number);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + number) << status;
    }
}
