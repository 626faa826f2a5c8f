// SPDX-License-Identifier: GPL-2.0-or-later
// quenlyte-sim: reset and watch the simulated parallel port of quenlyte5-sim,
// run the real-port programs on it, and replay QEMU's port trace onto it.
//
//   quenlyte-sim reset PORT [REG]
//   quenlyte-sim view [--once] PORT LEDS
//   quenlyte-sim view [--for SECONDS] [--stop PID] PORT LEDS
//   quenlyte-sim run [--parport ADDR]... [--refuse] -- PROGRAM [ARG...]
//   quenlyte-sim replay [--follow] [--log LEDS] [--vcd FILE] PORT TRACE
#include "port_facts.h"
#include "program_name.h"
#include "sim_chain.h"
#include "sim_live.h"
#include "sim_replay.h"
#include "sim_view.h"

#ifdef QUENLYTE_EMULATE
#include "run.h"
#endif

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <unistd.h>

namespace
{

constexpr int max_port = static_cast<int>(io_space_size - 1); // the highest I/O address
constexpr int max_reg = 255;

int usage(FILE* to, int status)
{
    std::fprintf(
        to,
        "usage: %s reset PORT [REG]\n"
        "       %s view --once PORT LEDS\n"
        "       %s view [--for SECONDS] [--stop PID] PORT LEDS\n"
        "       %s run [--parport ADDR]... [--refuse] -- PROGRAM [ARG...]\n"
        "       %s replay [--follow] [--log LEDS] [--vcd FILE] PORT TRACE\n"
        "  PORT  0 = 0x378, 1 = 0x278, 2 = 0x3BC, otherwise the I/O address (decimal)\n"
        "  REG   initial data register, decimal or 0x hex (default 0)\n"
        "  LEDS  LEDs shown, stage 1 first (at most %d)\n"
        "  --once         print one line and end\n"
        "  --for SECONDS  end the live view by itself after SECONDS\n"
        "  --stop PID     on quitting, send SIGTERM to PID and show the chain until it ended\n"
        "The live view ends with q, Ctrl-C, SIGTERM or SIGHUP.\n"
        "run: PROGRAM (quenlyte5, quenlyte5-ppdev) on the simulated ports, traced with\n"
        "all it starts: /dev/parport0 at 0x378, 1 at 0x278, 2 at 0x3BC, one more per\n"
        "--parport ADDR (decimal or 0x hex); --refuse denies every grant. Exits with\n"
        "the status of the last process to end (128+N after signal N).\n"
        "replay: QEMU's parallel-port trace TRACE (-trace enable=parallel_ioport_write\n"
        "-trace enable=parallel_ioport_read -msg timestamp=on -D TRACE) applied in order\n"
        "to PORT; unreadable lines are reported and skipped (exit status 1).\n"
        "  --follow    go on with what QEMU appends (waits for TRACE to appear) until\n"
        "              SIGTERM, SIGINT or SIGHUP\n"
        "  --log LEDS  print a line per latch pulse (LEDS LEDs) and per access at\n"
        "              an address other than the data register\n"
        "  --vcd FILE  also write the data register's lines (data, clock, latch,\n"
        "              online) to FILE as a Value Change Dump, in ns from the\n"
        "              first access (GTKWave, PulseView, sigrok-cli)\n"
        "--help shows this, --version the version.\n",
        program, program, program, program, program, sim_stages);
    return status;
}

// A whole decimal number, or with `hex_ok` a 0x-prefixed hexadecimal one.
bool to_number(std::string_view text, bool hex_ok, int& value)
{
    int base = 10;
    if (hex_ok && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty()) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return error == std::errc{} && end == text.data() + text.size();
}

bool to_port(const char* text, int& port)
{
    int value = 0;
    if (!to_number(text, false, value)) return false;
    port = port_address(value);
    return port >= 0 && port <= max_port;
}

// Seconds, a finite number from 0 up.
bool to_seconds(std::string_view text, double& seconds)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    return !text.empty() && error == std::errc{} && end == text.data() + text.size() &&
           std::isfinite(seconds) && seconds >= 0;
}

int reset(int argc, char* argv[])
{
    int port = 0;
    int reg = 0;
    if (argc < 3 || argc > 4) return usage(stderr, 2);
    if (!to_port(argv[2], port)) {
        std::fprintf(stderr, "%s: %s: not a port (0, 1, 2 or an address up to %d)\n", program,
                     argv[2], max_port);
        return 1;
    }
    if (argc == 4 && (!to_number(argv[3], true, reg) || reg < 0 || reg > max_reg)) {
        std::fprintf(stderr, "%s: %s: not a register value (0 to 255)\n", program, argv[3]);
        return 1;
    }
    sim_chain* chain = sim_attach(port, true);
    if (chain == nullptr) {
        std::fprintf(stderr, "%s: port 0x%x: %s\n", program, port, std::strerror(errno));
        return 1;
    }
    sim_reset(chain, static_cast<std::uint8_t>(reg));
    sim_detach(chain);
    return 0;
}

int view(int argc, char* argv[])
{
    int next = 2;
    bool once = false;
    live_options live;
    for (; next < argc && std::string_view(argv[next]).starts_with("--"); ++next) {
        const std::string_view option = argv[next];
        if (option == "--once") {
            once = true;
            continue;
        }
        if ((option != "--for" && option != "--stop") || next + 1 >= argc) return usage(stderr, 2);
        const char* value = argv[++next];
        if (option == "--for" && !to_seconds(value, live.for_s)) {
            std::fprintf(stderr, "%s: --for %s: not a number of seconds\n", program, value);
            return 1;
        }
        if (option == "--stop") {
            int pid = 0;
            if (!to_number(value, false, pid) || pid <= 0) {
                std::fprintf(stderr, "%s: --stop %s: not a process id\n", program, value);
                return 1;
            }
            live.stop_pid = pid;
        }
    }
    if (argc != next + 2 || (once && (live.for_s >= 0 || live.stop_pid > 0)))
        return usage(stderr, 2);
    int port = 0;
    int leds = 0;
    if (!to_port(argv[next], port)) {
        std::fprintf(stderr, "%s: %s: not a port (0, 1, 2 or an address up to %d)\n", program,
                     argv[next], max_port);
        return 1;
    }
    if (!to_number(argv[next + 1], false, leds) || leds < 0 || leds > sim_stages) {
        std::fprintf(stderr, "%s: %s: not an LED count (0 to %d)\n", program, argv[next + 1],
                     sim_stages);
        return 1;
    }
    const sim_chain* chain = sim_watch(port);
    if (chain == nullptr) {
        if (errno == ENOENT)
            std::fprintf(stderr, "%s: port 0x%x: no simulated port (create it: %s reset %s)\n",
                         program, port, program, argv[next]);
        else
            std::fprintf(stderr, "%s: port 0x%x: %s\n", program, port, std::strerror(errno));
        return 1;
    }
    int status = 0;
    live.port = static_cast<unsigned>(port);
    live.leds = leds;
    if (once) {
        const std::string line = view_line(view_state_of(chain, live.port, leds));
        std::fputs(line.c_str(), stdout);
        status = std::fflush(stdout) == 0 ? 0 : 1;
    } else {
        status = live_view(chain, live);
    }
    sim_detach(chain);
    return status;
}

int replay(int argc, char* argv[])
{
    int next = 2;
    replay_options options;
    for (; next < argc && std::string_view(argv[next]).starts_with("--"); ++next) {
        const std::string_view option = argv[next];
        if (option == "--follow") {
            options.follow = true;
            continue;
        }
        if ((option != "--log" && option != "--vcd") || next + 1 >= argc) return usage(stderr, 2);
        const char* value = argv[++next];
        if (option == "--vcd") {
            options.vcd = value;
            continue;
        }
        if (!to_number(value, false, options.log_leds) || options.log_leds < 0 ||
            options.log_leds > sim_stages) {
            std::fprintf(stderr, "%s: --log %s: not an LED count (0 to %d)\n", program, value,
                         sim_stages);
            return 1;
        }
    }
    if (argc != next + 2) return usage(stderr, 2);
    if (!to_port(argv[next], options.port)) {
        std::fprintf(stderr, "%s: %s: not a port (0, 1, 2 or an address up to %d)\n", program,
                     argv[next], max_port);
        return 1;
    }
    options.trace = argv[next + 1];
    return replay_trace(options);
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc >= 2 && std::strcmp(argv[1], "reset") == 0) return reset(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "view") == 0) return view(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "replay") == 0) return replay(argc, argv);
#ifdef QUENLYTE_EMULATE
    if (argc >= 2 && std::strcmp(argv[1], "run") == 0) return emulate_run(argc - 2, argv + 2);
#else
    if (argc >= 2 && std::strcmp(argv[1], "run") == 0) {
        std::fprintf(stderr, "%s: run: emulates x86-64 programs, built on x86-64 only\n", program);
        return 2;
    }
#endif
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) return usage(stdout, 0);
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s %s\n", program, QUENLYTE_VERSION);
        return 0;
    }
    return usage(stderr, 2);
}
