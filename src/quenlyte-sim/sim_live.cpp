// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim_live.h"

#include "proc_stat.h"
#include "signals.h"
#include "sim_chain.h"

#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <langinfo.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace
{

constexpr int frame_interval_ms = 33;      // at most ~30 redraws per second
constexpr long long rate_window_ms = 1000; // frames/s is measured over this
constexpr long long stop_wait_ms = 5000;   // longest wait for the stopped process to end
constexpr long long linger_ms = 700;       // drawing goes on this long after it ended
constexpr int default_width = 80;          // columns when the terminal does not say
constexpr std::size_t key_buffer_bytes = 64;

const char* const hide_cursor = "\033[?25l";
const char* const show_cursor = "\033[?25h";

volatile sig_atomic_t quit_signals = 0; // SIGINT, SIGTERM, SIGHUP so far
volatile sig_atomic_t resized = 0;      // SIGWINCH came
volatile sig_atomic_t suspend = 0;      // SIGTSTP came

bool in_place = false; // a terminal that takes cursor movement: redraw over the last frame
bool raw_keys = false; // the keyboard is in single-key mode and must be restored
termios saved_termios{};

void on_quit(int)
{
    quit_signals = quit_signals + 1;
}
void on_resize(int)
{
    resized = 1;
}
void on_suspend(int)
{
    suspend = 1;
}

long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool write_all(const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Single keys without echo; Ctrl-C still raises SIGINT.
bool enter_raw_keys()
{
    if (tcgetattr(STDIN_FILENO, &saved_termios) != 0) return false;
    termios raw = saved_termios;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    return tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
}

void leave_raw_keys()
{
    tcsetattr(STDIN_FILENO, TCSANOW, &saved_termios);
}

int terminal_width()
{
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return default_width;
}

view_style detect_style()
{
    const char* term = std::getenv("TERM");
    const char* no_color = std::getenv("NO_COLOR");
    in_place = isatty(STDOUT_FILENO) != 0 && term != nullptr && *term != '\0' &&
               std::strcmp(term, "dumb") != 0;
    view_style style;
    style.color = in_place && (no_color == nullptr || *no_color == '\0');
    std::setlocale(LC_CTYPE, "");
    style.unicode = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    raw_keys = in_place && isatty(STDIN_FILENO) != 0 && enter_raw_keys();
    style.keys = raw_keys;
    style.width = in_place ? terminal_width() : default_width;
    return style;
}

// Gone, or a zombie nobody has reaped yet.
bool has_ended(pid_t pid)
{
    if (kill(pid, 0) != 0) return errno == ESRCH;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto fields = parse_proc_stat(line);
    return !fields || fields->state == 'Z';
}

// Reads what was typed; true when it holds q.
bool q_typed()
{
    char keys[key_buffer_bytes];
    const ssize_t n = read(STDIN_FILENO, keys, sizeof keys);
    for (ssize_t i = 0; i < n; ++i)
        if (keys[i] == 'q' || keys[i] == 'Q') return true;
    return false;
}

// Puts the terminal back for the shell: below the frame, cursor shown, keys echoed.
void restore_terminal()
{
    if (in_place) write_all(std::string("\r\n") + show_cursor);
    if (raw_keys) leave_raw_keys();
}

// On Ctrl-Z: the terminal as the shell wants it while stopped, the live
// view's modes again once continued (drawn anew below).
void suspend_and_resume(int& drawn_lines)
{
    restore_terminal();
    catch_signal(SIGTSTP, SIG_DFL);
    raise(SIGTSTP); // stops here until continued
    // cppcheck-suppress unreachableCode ; raise returns once continued
    catch_signal(SIGTSTP, on_suspend);
    if (raw_keys) enter_raw_keys();
    write_all(hide_cursor);
    drawn_lines = 0;
}

enum class phase { running, stopping, lingering, done };

} // namespace

int live_view(const sim_chain* chain, const live_options& options)
{
    std::signal(SIGPIPE, SIG_IGN);
    // A signal ends the wait for the next frame at once.
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) catch_signal(number, on_quit);
    view_style style = detect_style();
    if (in_place) {
        catch_signal(SIGWINCH, on_resize);
        catch_signal(SIGTSTP, on_suspend);
        write_all(hide_cursor);
    }

    const long long started = now_ms();
    long long deadline = 0;
    phase now_in = phase::running;
    int quits_seen = 0; // quit requests (signals and q) so far
    int quits_at_stop = 0;
    long long rate_from_ms = started;
    std::uint64_t rate_from_frames = chain->frames;
    double frames_per_s = -1.0;
    std::string shown;
    int drawn_lines = 0;
    bool output_ok = true;

    while (output_ok) {
        const long long now = now_ms();
        const int quits = quits_seen + quit_signals;
        if (now_in == phase::running &&
            (quits > 0 || (options.for_s >= 0 && now - started >= options.for_s * 1000))) {
            quits_at_stop = quits;
            if (options.stop_pid > 0 && kill(options.stop_pid, SIGTERM) == 0) {
                style.note = "pid " + std::to_string(options.stop_pid) + ": SIGTERM sent";
                now_in = phase::stopping;
                deadline = now + stop_wait_ms;
            } else {
                now_in = phase::done;
            }
        }
        if (now_in == phase::stopping && (has_ended(options.stop_pid) || now >= deadline)) {
            style.note = "pid " + std::to_string(options.stop_pid) +
                         (now < deadline ? ": ended" : ": still running after SIGTERM");
            now_in = phase::lingering;
            deadline = now + linger_ms;
        }
        if (now_in == phase::lingering && now >= deadline) now_in = phase::done;
        // Asked again while waiting: leave now.
        if (now_in != phase::running && quits > quits_at_stop) now_in = phase::done;

        if (suspend != 0) {
            suspend = 0;
            suspend_and_resume(drawn_lines);
            shown.clear();
        }
        if (resized != 0) {
            resized = 0;
            style.width = terminal_width();
            shown.clear();
        }

        view_state state = view_state_of(chain, options.port, options.leds);
        if (state.frames < rate_from_frames) { // reset under us
            rate_from_frames = state.frames;
            rate_from_ms = now;
            frames_per_s = -1.0;
        } else if (now - rate_from_ms >= rate_window_ms) {
            frames_per_s = static_cast<double>(state.frames - rate_from_frames) * 1000.0 /
                           static_cast<double>(now - rate_from_ms);
            rate_from_frames = state.frames;
            rate_from_ms = now;
        }
        state.frames_per_s = frames_per_s;
        const std::vector<std::string> lines = view_frame(state, style);
        std::string text;
        for (const std::string& l : lines) text += l + "\n";
        if (text != shown) {
            if (in_place) {
                output_ok = write_all(redraw(lines, drawn_lines));
                drawn_lines = static_cast<int>(lines.size());
            } else {
                output_ok = write_all(text + "\n");
            }
            shown = text;
        }
        if (now_in == phase::done) break;

        pollfd keys{STDIN_FILENO, POLLIN, 0};
        if (poll(&keys, raw_keys ? 1 : 0, frame_interval_ms) > 0 && q_typed()) ++quits_seen;
    }
    restore_terminal();
    return output_ok ? 0 : 1;
}
