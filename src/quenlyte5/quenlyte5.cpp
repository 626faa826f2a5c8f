// SPDX-License-Identifier: GPL-2.0-or-later
// quenlyte5: shows the traffic of a PPPoE link on a chain of shift-register
// LEDs driven through the data register of a parallel port.
//
// Once a cycle it asks the link-control service on 127.0.0.1:5000 whether the
// link is online and, if so, for its two rates, shows them on the chain and
// pauses. It ends in order (chain dark, port released) on SIGHUP, SIGINT,
// SIGQUIT or SIGTERM.
#include "display.h"
#include "link_client.h"
#include "link_protocol.h"
#include "parse.h"
#include "port.h"
#include "report.h"
#include "signals.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

volatile sig_atomic_t got_signal = 0; // the number of the signal that ends the loop

void handler(int number);
void start_daemon(const char* name, int facility);

namespace
{

constexpr unsigned long port_span = 3; // data, status and control register
constexpr unsigned offline_pause_s = 1;
constexpr int argument_count = 6;
const char* const argument_names[argument_count + 1] = {"",
                                                        "full-scale inbound rate",
                                                        "full-scale outbound rate",
                                                        "port",
                                                        "LEDs",
                                                        "display mode",
                                                        "refresh rate"};

char status_p[7]; // the status value text of this cycle, cut to the field
float iratep = 0; // inbound rate of this cycle, reported rate / 1024
float oratep = 0; // outbound rate of this cycle, reported rate / 1024

const char* const usage_text =
    "usage: %s IN_MAX OUT_MAX PORT LEDS MODE RATE\n"
    "  IN_MAX   full-scale inbound rate in KiB/s (above 0)\n"
    "  OUT_MAX  full-scale outbound rate in KiB/s (above 0)\n"
    "  PORT     0 = 0x378, 1 = 0x278, 2 = 0x3BC, otherwise the I/O address itself\n"
    "  LEDS     LEDs in the chain, half of them for each direction (up to 8192)\n"
    "  MODE     1 dot, 2 bar; any other value shows no rates\n"
    "  RATE     updates per second while online (1 to 1000000)\n"
    "--help shows this, --version the version.\n";

// Closes descriptors 1 and up: with close_range in one call where the kernel
// has it, since a loop over a limit of a million costs a tenth of a second.
void close_from_one()
{
    if (close_range(1, ~0U, 0) == 0) return;
    for (long descriptor = sysconf(_SC_OPEN_MAX); descriptor >= 1; --descriptor)
        close(static_cast<int>(descriptor));
}

// Points descriptors 1 and 2 at /dev/null, so that neither the control
// socket nor anything opened later can become standard output or error.
void null_out_and_err()
{
    const int null = open("/dev/null", O_RDWR);
    if (null < 0) return;
    if (null != 1) dup2(null, 1);
    if (null != 2) dup2(null, 2);
    if (null != 1 && null != 2) close(null);
}

void install_handlers()
{
    // A signal ends a blocked read or pause (no SA_RESTART).
    for (const int number : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) catch_signal(number, handler);
    // A write on a connection that the service closed goes offline, not dead.
    std::signal(SIGPIPE, SIG_IGN);
}

// Copies the status text into its field and tells whether it is "Online",
// the whole text and nothing after it.
bool status_online(const char* value)
{
    const std::size_t length = std::strlen(value);
    const std::size_t kept = length < sizeof status_p - 1 ? length : sizeof status_p - 1;
    std::memcpy(status_p, value, kept);
    status_p[kept] = '\0';
    // cppcheck-suppress knownConditionTrueFalse ; true for texts of up to 6 bytes
    return length == kept && std::strcmp(status_p, online_status) == 0;
}

// One poll of the service and one frame. Returns true when the link is online.
bool run_cycle(const settings& config)
{
    if (!status_online(get_value(status_command, -1))) {
        show_blank(config.port_base, config.half_leds);
        return false;
    }
    int in = 0;
    int out = 0;
    if (parse_rates(get_value(rate_command, -1), in, out)) {
        iratep = kib_per_s(in);
        oratep = kib_per_s(out);
    } else {
        iratep = 0;
        oratep = 0;
    }
    show_rates(config.port_base, iratep, oratep, config.in_max, config.out_max, config.half_leds,
               config.display_mode);
    return true;
}

} // namespace

void handler(int number)
{
    got_signal = number;
}

void start_daemon(const char* name, int facility)
{
    const pid_t child = fork();
    if (child < 0) {
        // Standard error is still the starter's: the only failure it sees.
        report("%s: fork: %s", program_invocation_short_name, std::strerror(errno));
        std::exit(1);
    }
    if (child != 0) std::exit(0);
    if (setsid() == -1) {
        openlog(name, LOG_PID, facility);
        report_to_syslog();
        report("%s kann nicht Session-F\xFC"
               "hrer werden!",
               name);
        std::exit(0);
    }
    (void)!chdir("/");
    umask(0);
    close_from_one();
    null_out_and_err();
    openlog(name, LOG_PID, facility);
    report_to_syslog();
}

int main(int argc, char* argv[])
{
    const char* const program = program_invocation_short_name;
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::printf(usage_text, program);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s %s\n", program, QUENLYTE_VERSION);
        return 0;
    }
    if (argc < argument_count + 1) {
        std::fprintf(stderr, usage_text, program);
        return 1;
    }
    settings config{};
    if (const int bad = settings_from_args(argv + 1, config); bad != 0) {
        std::fprintf(stderr, "%s: argument %d (%s): must be %s, not \"%s\"\n", program, bad,
                     argument_names[bad], argument_rule(bad), argv[bad]);
        return 1;
    }

    start_daemon("quenlyte", LOG_USER);

    if (service_connect(service_host, service_port) < 0) std::exit(1);

    if (port_access(static_cast<unsigned long>(config.port_base), port_span, 1) != 0) {
        report("%s", port_error());
        std::exit(1);
    }

    install_handlers();

    while (got_signal == 0) {
        const bool online = run_cycle(config);
        // A signal during the cycle ends it here, without another pause.
        if (got_signal != 0) break;
        if (online)
            usleep(static_cast<useconds_t>(config.cycle_delay_us));
        else
            sleep(offline_pause_s);
    }

    show_blank(config.port_base, config.half_leds);
    if (port_access(static_cast<unsigned long>(config.port_base), port_span, 0) != 0) {
        report("%s", port_error());
        std::exit(1);
    }
    return 0;
}
