// quenlyte-sim: reset and watch the simulated parallel port of quenlyte5-sim.
//
//   quenlyte-sim reset PORT [REG]
//   quenlyte-sim view [--once] PORT LEDS
#include "parse.h"
#include "sim_chain.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <unistd.h>

namespace {

const char* const program = "quenlyte-sim";
constexpr int max_port = 65535;
constexpr int max_reg = 255;
constexpr unsigned redraw_interval_us = 50000; // 20 redraws per second

volatile sig_atomic_t stop = 0;
void on_stop(int) { stop = 1; }

int usage(FILE* to, int status)
{
    std::fprintf(to,
                 "usage: %s reset PORT [REG]\n"
                 "       %s view [--once] PORT LEDS\n"
                 "  PORT  0 = 0x378, 1 = 0x278, 2 = 0x3BC, otherwise the I/O address (decimal)\n"
                 "  REG   initial data register, decimal or 0x hex (default 0)\n"
                 "  LEDS  LEDs shown, stage 1 first (at most %d)\n",
                 program, program, sim_stages);
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

// The one line of `view`: outputs (stage 1 first), online line, register, counters.
void print_state(const sim_chain* chain, int leds, const char* end)
{
    static char lights[sim_stages + 1];
    for (int stage = 1; stage <= leds; ++stage) lights[stage - 1] = sim_output(chain, stage) ? '1' : '0';
    lights[leds] = '\0';
    const unsigned reg = chain->reg;
    std::printf("leds=%s online=%u reg=0x%02x frames=%llu writes=%llu reads=%llu%s", lights, reg >> 7,
                reg, static_cast<unsigned long long>(chain->frames),
                static_cast<unsigned long long>(chain->writes),
                static_cast<unsigned long long>(chain->reads), end);
    std::fflush(stdout);
}

int reset(int argc, char* argv[])
{
    int port = 0;
    int reg = 0;
    if (argc < 3 || argc > 4) return usage(stderr, 2);
    if (!to_port(argv[2], port)) {
        std::fprintf(stderr, "%s: %s: not a port (0, 1, 2 or an address up to %d)\n", program, argv[2],
                     max_port);
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
    const bool once = argc > next && std::strcmp(argv[next], "--once") == 0;
    if (once) ++next;
    if (argc != next + 2) return usage(stderr, 2);
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
    if (once) {
        print_state(chain, leds, "\n");
    } else {
        std::signal(SIGINT, on_stop);
        std::signal(SIGTERM, on_stop);
        while (stop == 0) {
            std::fputs("\r", stdout);
            print_state(chain, leds, "\033[K");
            usleep(redraw_interval_us);
        }
        std::fputs("\n", stdout);
    }
    sim_detach(chain);
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc >= 2 && std::strcmp(argv[1], "reset") == 0) return reset(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "view") == 0) return view(argc, argv);
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) return usage(stdout, 0);
    return usage(stderr, 2);
}
