// SPDX-License-Identifier: GPL-2.0-or-later
#include "options.h"

#include <arpa/inet.h>
#include <charconv>
#include <cmath>
#include <net/if.h>

namespace
{

bool parse_seconds(std::string_view text, double& out)
{
    double value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || !std::isfinite(value)) return false;
    out = value;
    return true;
}

bool parse_u64(std::string_view text, std::uint64_t& out)
{
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end && !text.empty();
}

// Interface names the kernel could have: 1..IFNAMSIZ-1 bytes, no '/', ':' or blanks.
bool valid_iface_name(std::string_view name)
{
    if (name.empty() || name.size() >= IFNAMSIZ) return false;
    for (char c : name) {
        if (c == '/' || c == ':' || c == ' ' || c == '\t' || c == '\n' || c == '\0') return false;
    }
    return name != "." && name != "..";
}

bool set_source(linkd_options& out, source_kind kind, std::string_view option, std::string& error)
{
    if (out.source != source_kind::none) {
        error = std::string(option) + ": choose only one of --iface, --demo and --script";
        return false;
    }
    out.source = kind;
    return true;
}

} // namespace

bool parse_listen(std::string_view text, std::string& addr, std::uint16_t& port)
{
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return false;
    const std::string host(text.substr(0, colon));
    const std::string_view port_text = text.substr(colon + 1);
    in_addr parsed{};
    if (inet_pton(AF_INET, host.c_str(), &parsed) != 1) return false;
    std::uint16_t value = 0;
    const char* end = port_text.data() + port_text.size();
    auto [ptr, ec] = std::from_chars(port_text.data(), end, value);
    if (port_text.empty() || ec != std::errc() || ptr != end) return false;
    addr = host;
    port = value;
    return true;
}

parse_outcome parse_options(std::span<const std::string_view> args, linkd_options& out,
                            std::string& error)
{
    out = linkd_options{};
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        if (arg == "--help" || arg == "-h") return parse_outcome::help;
        if (arg == "--version") return parse_outcome::version;
        if (arg == "--demo") {
            if (!set_source(out, source_kind::demo, arg, error)) return parse_outcome::error;
            continue;
        }
        if (arg == "--detach") {
            out.detach = true;
            continue;
        }
        if (!arg.starts_with("--")) {
            error = std::string(arg) + ": unexpected argument (see --help)";
            return parse_outcome::error;
        }
        // Options with a value: "--name VALUE" or "--name=VALUE".
        std::string_view name = arg;
        std::string_view value;
        bool has_value = false;
        if (const auto eq = arg.find('='); eq != std::string_view::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            has_value = true;
        }
        if (name != "--listen" && name != "--iface" && name != "--script" && name != "--window" &&
            name != "--idle" && name != "--seed" && name != "--pidfile") {
            error = std::string(name) + ": unknown option (see --help)";
            return parse_outcome::error;
        }
        if (!has_value) {
            if (i + 1 >= args.size()) {
                error = std::string(name) + ": missing value";
                return parse_outcome::error;
            }
            value = args[++i];
        }
        const std::string context(name);
        if (name == "--listen") {
            if (!parse_listen(value, out.listen_addr, out.listen_port)) {
                error = context + ": expected IPV4ADDR:PORT, got '" + std::string(value) + "'";
                return parse_outcome::error;
            }
        } else if (name == "--iface") {
            if (!set_source(out, source_kind::iface, name, error)) return parse_outcome::error;
            if (!valid_iface_name(value)) {
                error = context + ": not an interface name: '" + std::string(value) + "'";
                return parse_outcome::error;
            }
            out.iface = value;
        } else if (name == "--script") {
            if (!set_source(out, source_kind::script, name, error)) return parse_outcome::error;
            if (value.empty()) {
                error = context + ": missing value";
                return parse_outcome::error;
            }
            out.script_path = value;
        } else if (name == "--pidfile") {
            if (value.empty()) {
                error = context + ": missing value";
                return parse_outcome::error;
            }
            out.pidfile = value;
        } else if (name == "--window") {
            if (!parse_seconds(value, out.window_s) || out.window_s <= 0 ||
                out.window_s > max_window_s) {
                error = context + ": expected seconds above 0 and at most 3600, got '" +
                        std::string(value) + "'";
                return parse_outcome::error;
            }
        } else if (name == "--idle") {
            if (!parse_seconds(value, out.idle_s) || out.idle_s < 0 || out.idle_s > max_idle_s) {
                error = context + ": expected seconds from 0 to 86400, got '" + std::string(value) +
                        "'";
                return parse_outcome::error;
            }
        } else { // --seed
            if (!parse_u64(value, out.seed)) {
                error =
                    context + ": expected an unsigned integer, got '" + std::string(value) + "'";
                return parse_outcome::error;
            }
            out.seed_given = true;
        }
    }
    if (out.source == source_kind::none) {
        error = "link source: missing: give one of --iface NAME, --demo or --script FILE";
        return parse_outcome::error;
    }
    return parse_outcome::run;
}

std::string_view usage_text()
{
    return R"(Usage: quenlyte-linkd (--iface NAME | --demo | --script FILE) [options]

Link-control service for quenlyte: answers "status pppoe" and "rate pppoe"
command lines on a TCP port.

Link source (exactly one):
  --iface NAME       a real interface (e.g. ppp0): online while it exists and
                     is up and running; rates from its kernel byte counters
  --demo             a lively synthetic link with bursts and short offline spells
  --script FILE      a timeline read from FILE (format below)

Options:
  --listen ADDR:PORT address to listen on (default 127.0.0.1:5000; port 0
                     picks a free port, named in the listening line)
  --window SECONDS   rate averaging window for --iface (default 1, fractional
                     allowed, at most 3600)
  --idle SECONDS     close a client that sends no complete line for this
                     long (default 10; 0: never)
  --seed N           seed for --demo (default: from the clock)
  --detach           go into the background once listening: the starting
                     process exits 0 then, or 1 with the reason; the service
                     runs in a session of its own and logs to syslog
  --pidfile FILE     write the service's pid to FILE once it listens;
                     removed when the service ends
  -h, --help         show this help and exit
  --version          show the version and exit

Protocol (one line each, LF or CR LF):
  status pppoe   ->  OK Online | OK Offline
  rate pppoe     ->  OK <in> <out>   (bytes per second)
  anything else  ->  ERR unknown command
Replies end in CR LF.

Script format: one entry a line, times in seconds since start, increasing:
  AT online IN OUT   link up, IN and OUT bytes per second
  AT offline         link down (rates 0)
  AT loop            last line, optional: at AT, start again from 0
'#' starts a comment; blank lines are ignored. Before the first entry the
link is offline; after the last one (without loop) its state holds.
)";
}
