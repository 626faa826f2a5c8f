// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim_replay.h"

#include "port_vcd.h"
#include "program_name.h"
#include "qemu_trace.h"
#include "signals.h"
#include "sim_chain.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr std::size_t chunk_bytes = 65536;  // read from the trace at a time
constexpr std::size_t line_bytes = 512;     // longest line kept; QEMU's events take under 80
constexpr long follow_poll_ns = 20'000'000; // 20 ms between looks at a trace that is not growing
constexpr std::uint8_t online_line = 0x80;
constexpr std::uint64_t untimed_access_ns = 1000; // an access's share of a trace without times

volatile sig_atomic_t stop_requested = 0; // SIGTERM, SIGINT or SIGHUP came while following

const replay_options* options = nullptr;
sim_chain* chain = nullptr;
unsigned long long line_number = 0; // of the line in `line`, from 1
bool all_read = true;               // no parallel-port line failed so far
char line[line_bytes];
std::size_t line_size = 0;
bool line_too_long = false; // `line` holds the start of a longer line

// Accesses since the last frame line.
unsigned long long reads_since_frame = 0;
unsigned long long writes_since_frame = 0;
unsigned long long other_since_frame = 0; // at offsets 1 to 7

char leds[sim_stages + 1]; // a frame line's LEDs

// The dump of the lines, when asked for.
std::FILE* vcd_file = nullptr;
vcd_dump vcd;
bool have_origin = false;       // the first access's time is known
std::uint64_t origin_ns = 0;    // the first access's time
std::uint64_t last_time_ns = 0; // the last access's time, from the origin
std::uint64_t accesses = 0;     // read so far, for a trace without times

void on_stop(int)
{
    stop_requested = 1;
}

void sleep_a_poll()
{
    const timespec pause{0, follow_poll_ns};
    nanosleep(&pause, nullptr); // a signal ends it early
}

// The trace's time, or "-" for a trace without times.
std::string_view time_of(const qemu_access& access)
{
    return access.time.empty() ? std::string_view("-") : access.time;
}

void log_frame(const qemu_access& access)
{
    const int count = options->log_leds;
    for (int stage = 1; stage <= count; ++stage)
        leds[stage - 1] = sim_output(chain, stage) ? '1' : '0';
    leds[count] = '\0';
    const std::string_view time = time_of(access);
    std::printf("frame t=%.*s leds=%s online=%u reads=%llu writes=%llu other=%llu\n",
                static_cast<int>(time.size()), time.data(), leds,
                (chain->reg & online_line) != 0 ? 1U : 0U, reads_since_frame, writes_since_frame,
                other_since_frame);
    reads_since_frame = writes_since_frame = other_since_frame = 0;
}

void log_other(const qemu_access& access)
{
    const std::string_view time = time_of(access);
    std::printf("other t=%.*s offset=%d op=%s value=0x%02x\n", static_cast<int>(time.size()),
                time.data(), access.offset, access.is_write ? "write" : "read", access.value);
}

// The access's time in nanoseconds from the first access. A time that
// cannot be had keeps the last one.
std::uint64_t time_of_access(const qemu_access& access)
{
    std::uint64_t ns = 0;
    ++accesses;
    if (access.time.empty()) return (accesses - 1) * untimed_access_ns;
    if (!qemu_time_ns(access.time, ns)) return last_time_ns;
    if (!have_origin) {
        have_origin = true;
        origin_ns = ns;
    }
    last_time_ns = ns >= origin_ns ? ns - origin_ns : last_time_ns;
    return last_time_ns;
}

// One access onto the simulated port. The port has the data, status and
// control registers; QEMU's EPP addresses (3 to 7) are logged but not applied.
void apply(const qemu_access& access)
{
    const std::uint64_t time_ns = vcd_file != nullptr ? time_of_access(access) : 0;
    const bool logging = options->log_leds >= 0;
    if (access.offset == 0)
        ++(access.is_write ? writes_since_frame : reads_since_frame);
    else
        ++other_since_frame;
    if (logging && access.offset != 0) log_other(access);
    if (access.offset >= sim_port_span) return;
    if (!access.is_write) {
        sim_read_at(chain, access.offset);
        return;
    }
    const std::uint64_t frames_before = chain->frames;
    sim_write_at(chain, access.offset, access.value);
    if (vcd_file != nullptr && access.offset == 0) vcd_change(vcd, time_ns, chain->reg);
    if (logging && chain->frames != frames_before) log_frame(access);
}

void cannot_read(const char* reason)
{
    std::fprintf(stderr, "%s: %s:%llu: cannot read: %s\n", program, options->trace, line_number,
                 reason);
    all_read = false;
}

// The line in `line` is complete.
void end_line()
{
    ++line_number;
    const qemu_parsed parsed = parse_qemu_line(std::string_view(line, line_size));
    if (line_too_long) {
        // Its start tells whether it is a parallel-port event at all.
        if (parsed.kind != qemu_line::other) {
            char reason[line_bytes];
            std::snprintf(reason, sizeof reason, "longer than %zu bytes", line_bytes);
            cannot_read(reason);
        }
    } else if (parsed.kind == qemu_line::bad) {
        cannot_read(parsed.reason);
    } else if (parsed.kind == qemu_line::access) {
        apply(parsed.access);
    }
    line_size = 0;
    line_too_long = false;
}

// Bytes read from the trace: complete lines are replayed, the rest is kept.
void feed(const char* bytes, std::size_t size)
{
    while (size > 0) {
        const void* found = std::memchr(bytes, '\n', size);
        const std::size_t part =
            found == nullptr ? size
                             : static_cast<std::size_t>(static_cast<const char*>(found) - bytes);
        std::size_t kept = part;
        if (part > line_bytes - line_size) {
            kept = line_bytes - line_size;
            line_too_long = true;
        }
        std::memcpy(line + line_size, bytes, kept);
        line_size += kept;
        if (found == nullptr) return;
        end_line();
        bytes += part + 1;
        size -= part + 1;
    }
}

void restart_trace()
{
    line_number = 0;
    line_size = 0;
    line_too_long = false;
}

// Opens the trace; while following, waits for it to appear. -1 when it
// cannot be opened (reported) or a stop came first.
int open_trace()
{
    for (;;) {
        const int descriptor = open(options->trace, O_RDONLY | O_CLOEXEC);
        if (descriptor >= 0) return descriptor;
        if (errno == EINTR) continue;
        if (!options->follow || errno != ENOENT) {
            std::fprintf(stderr, "%s: %s: %s\n", program, options->trace, std::strerror(errno));
            all_read = false;
            return -1;
        }
        if (stop_requested != 0) return -1;
        sleep_a_poll();
    }
}

// At the end of a trace being followed: a trace cut short (QEMU started
// again on it) is read from its start, one put in its place from the new
// file's start. Returns the descriptor to go on with.
int check_trace(int descriptor)
{
    struct stat open_file {
    };
    struct stat named_file {
    };
    if (fstat(descriptor, &open_file) != 0) return descriptor;
    if (stat(options->trace, &named_file) == 0 &&
        (named_file.st_ino != open_file.st_ino || named_file.st_dev != open_file.st_dev)) {
        const int replacement = open(options->trace, O_RDONLY | O_CLOEXEC);
        if (replacement >= 0) {
            close(descriptor);
            restart_trace();
            return replacement;
        }
        return descriptor;
    }
    const off_t position = lseek(descriptor, 0, SEEK_CUR);
    if (position > open_file.st_size && lseek(descriptor, 0, SEEK_SET) == 0) restart_trace();
    return descriptor;
}

// Opens the dump and writes its head; false (reported) when it cannot be
// created.
bool open_vcd()
{
    vcd_file = std::fopen(options->vcd, "we");
    if (vcd_file == nullptr) {
        std::fprintf(stderr, "%s: %s: %s\n", program, options->vcd, std::strerror(errno));
        return false;
    }
    char comment[line_bytes];
    std::snprintf(comment, sizeof comment, "%s replay of %s: the data register's lines", program,
                  options->trace);
    vcd_begin(vcd, vcd_file, comment, chain->reg);
    return true;
}

// Ends the dump; false (reported) when writing it failed.
bool close_vcd()
{
    vcd_end(vcd);
    const bool written = std::ferror(vcd_file) == 0;
    const bool closed = std::fclose(vcd_file) == 0;
    vcd_file = nullptr;
    if (written && closed) return true;
    std::fprintf(stderr, "%s: %s: %s\n", program, options->vcd,
                 written ? std::strerror(errno) : "write error");
    return false;
}

} // namespace

int replay_trace(const replay_options& chosen)
{
    options = &chosen;
    if (chosen.follow) // a stop ends the wait for more of the trace at once
        for (const int number : {SIGINT, SIGTERM, SIGHUP}) catch_signal(number, on_stop);
    chain = sim_attach(chosen.port, true);
    if (chain == nullptr) {
        std::fprintf(stderr, "%s: port 0x%x: %s\n", program, static_cast<unsigned>(chosen.port),
                     std::strerror(errno));
        return 1;
    }
    if (chosen.vcd != nullptr && !open_vcd()) {
        sim_detach(chain);
        return 1;
    }
    static char chunk[chunk_bytes];
    int descriptor = open_trace();
    while (descriptor >= 0) {
        if (stop_requested != 0) break;
        const ssize_t got = read(descriptor, chunk, sizeof chunk);
        if (got > 0) {
            feed(chunk, static_cast<std::size_t>(got));
            std::fflush(stdout);
            if (vcd_file != nullptr) std::fflush(vcd_file);
        } else if (got == 0) {
            if (!chosen.follow) break;
            descriptor = check_trace(descriptor);
            sleep_a_poll();
        } else if (errno != EINTR) {
            std::fprintf(stderr, "%s: %s: %s\n", program, chosen.trace, std::strerror(errno));
            all_read = false;
            break;
        }
    }
    // A last line without a line end, when the whole file was read. While
    // following it may still be being written, so it is left.
    if (descriptor >= 0 && !chosen.follow && (line_size > 0 || line_too_long)) end_line();
    if (descriptor >= 0) close(descriptor);
    sim_detach(chain);
    const bool vcd_ok = vcd_file == nullptr || close_vcd();
    const bool output_ok = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
    return all_read && vcd_ok && output_ok ? 0 : 1;
}
