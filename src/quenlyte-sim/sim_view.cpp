// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim_view.h"

#include "sim_chain.h"

#include <algorithm>
#include <cstdio>

namespace
{

constexpr int min_width = 20;           // columns; narrower terminals are drawn as if this wide
constexpr std::size_t number_size = 64; // bytes for one formatted number or short field

// ANSI SGR sequences.
const char* const sgr_reset = "\033[0m";
const char* const sgr_inbound = "\033[0;1;32m";  // bright green
const char* const sgr_outbound = "\033[0;1;33m"; // bright yellow
const char* const sgr_dark = "\033[0;2m";        // dim
const char* const sgr_online = "\033[0;1;32m";

const char* const row_in = "in  ";   // before the inbound half
const char* const row_out = "  out"; // after the outbound half
constexpr int row_in_width = 4;
constexpr int row_out_width = 5;

enum class cell { inbound_lit, outbound_lit, dark, separator };

struct glyphs {
    const char* inbound_lit;
    const char* outbound_lit;
    const char* dark;
    const char* separator;
};
constexpr glyphs ascii_glyphs{">", "<", ".", "|"};
constexpr glyphs unicode_glyphs{"\u25cf", "\u25cf", "\u00b7", "\u2502"};

// One line being built: its bytes, its width in columns, and the colour in
// force (runs of LEDs of one colour share one colour sequence).
struct line {
    std::string text;
    int columns = 0;
    const char* colour = nullptr;
};

void set_colour(line& out, const char* colour)
{
    if (colour == out.colour) return;
    out.text += colour == nullptr ? sgr_reset : colour;
    out.colour = colour;
}

void put_plain(line& out, const std::string& text)
{
    out.text += text;
    out.columns += static_cast<int>(text.size());
}

void put_cell(line& out, cell kind, const view_style& style)
{
    const glyphs& g = style.color && style.unicode ? unicode_glyphs : ascii_glyphs;
    const char* glyph = g.dark;
    const char* colour = sgr_dark;
    switch (kind) {
    case cell::inbound_lit:
        glyph = g.inbound_lit, colour = sgr_inbound;
        break;
    case cell::outbound_lit:
        glyph = g.outbound_lit, colour = sgr_outbound;
        break;
    case cell::dark:
        break;
    case cell::separator:
        glyph = g.separator, colour = nullptr;
        break;
    }
    if (style.color) set_colour(out, colour);
    out.text += glyph;
    ++out.columns;
}

cell cell_of(const view_state& state, int stage, int inbound_leds)
{
    const bool lit = state.leds[static_cast<std::size_t>(stage - 1)] == '1';
    if (!lit) return cell::dark;
    return stage <= inbound_leds ? cell::inbound_lit : cell::outbound_lit;
}

// Plain text cut to `columns`.
std::string cut(std::string text, int columns)
{
    if (columns < 0) columns = 0;
    if (text.size() > static_cast<std::size_t>(columns))
        text.resize(static_cast<std::size_t>(columns));
    return text;
}

line header(const view_state& state, const view_style& style, int columns)
{
    const bool online = (state.reg & 0x80) != 0;
    line out;
    const char* mark =
        style.color && style.unicode ? (online ? "\u25cf" : "\u25cb") : (online ? "[*]" : "[ ]");
    const char* colour = online ? sgr_online : sgr_dark;
    const std::string word = online ? " online " : " offline";
    if (style.color) out.text += colour;
    out.text += mark;
    out.text += word;
    if (style.color) out.text += sgr_reset;
    out.columns = (style.color && style.unicode ? 1 : 3) + static_cast<int>(word.size());
    char tail[number_size];
    std::snprintf(tail, sizeof tail, "   port 0x%x  %zu LEDs", state.port, state.leds.size());
    put_plain(out, cut(tail, columns - out.columns));
    return out;
}

std::string counters(const view_state& state, int columns)
{
    char text[4 * number_size];
    int used = std::snprintf(text, sizeof text, "reg 0x%02x  frames %llu  writes %llu  reads %llu",
                             state.reg, static_cast<unsigned long long>(state.frames),
                             static_cast<unsigned long long>(state.writes),
                             static_cast<unsigned long long>(state.reads));
    if (state.frames_per_s >= 0 && used > 0 && static_cast<std::size_t>(used) < sizeof text)
        std::snprintf(text + used, sizeof text - static_cast<std::size_t>(used), "  %.1f frames/s",
                      state.frames_per_s);
    return cut(text, columns);
}

// Stage numbers under the row: the first and last stage of each half, each
// under its LED, left out where it would run into the one before.
std::string labels(const std::vector<int>& column_of, int inbound_leds)
{
    const int leds = static_cast<int>(column_of.size());
    std::string out;
    int free_from = 0; // first column a label may use
    const auto place = [&](int stage, bool right_aligned) {
        const std::string number = std::to_string(stage);
        const int width = static_cast<int>(number.size());
        const int at =
            column_of[static_cast<std::size_t>(stage - 1)] - (right_aligned ? width - 1 : 0);
        if (at < free_from) return;
        out.append(static_cast<std::size_t>(at) - out.size(), ' ');
        out += number;
        free_from = at + width + 1;
    };
    if (inbound_leds > 0) {
        place(1, false);
        if (inbound_leds > 1) place(inbound_leds, true);
    }
    if (leds > inbound_leds) {
        place(inbound_leds + 1, false);
        if (leds > inbound_leds + 1) place(leds, true);
    }
    return out;
}

// The row on one line, `gap` columns between LEDs; empty when it does not fit.
std::vector<line> one_row(const view_state& state, const view_style& style, int columns, int gap)
{
    const int leds = static_cast<int>(state.leds.size());
    const int inbound = leds / 2;
    const int outbound = leds - inbound;
    const auto span = [gap](int count) { return count == 0 ? 0 : count + (count - 1) * gap; };
    const int separator_width = 1 + 2 * (gap + 1);
    const int width =
        row_in_width + span(inbound) + separator_width + span(outbound) + row_out_width;
    if (width > columns) return {};

    line row;
    std::vector<int> column_of;
    put_plain(row, row_in);
    for (int stage = 1; stage <= leds; ++stage) {
        if (stage == inbound + 1) {
            put_plain(row, std::string(static_cast<std::size_t>(gap + 1), ' '));
            put_cell(row, cell::separator, style);
            put_plain(row, std::string(static_cast<std::size_t>(gap + 1), ' '));
        } else if (stage > 1) {
            put_plain(row, std::string(static_cast<std::size_t>(gap), ' '));
        }
        column_of.push_back(row.columns);
        put_cell(row, cell_of(state, stage, inbound), style);
    }
    if (leds == inbound) { // no outbound half: the separator closes the row
        put_plain(row, std::string(static_cast<std::size_t>(gap + 1), ' '));
        put_cell(row, cell::separator, style);
    }
    set_colour(row, nullptr);
    put_plain(row, row_out);
    line numbers;
    put_plain(numbers, labels(column_of, inbound));
    return {row, numbers};
}

// Each half on lines of its own, as many LEDs a line as fit.
std::vector<line> wrapped_rows(const view_state& state, const view_style& style, int columns)
{
    const int leds = static_cast<int>(state.leds.size());
    const int inbound = leds / 2;
    const int per_line = columns - row_in_width;
    std::vector<line> rows;
    const auto half = [&](const char* title, int first, int last) {
        for (int start = first; start <= last; start += per_line) {
            line row;
            put_plain(row, start == first ? title : "    ");
            for (int stage = start; stage <= std::min(last, start + per_line - 1); ++stage)
                put_cell(row, cell_of(state, stage, inbound), style);
            set_colour(row, nullptr);
            rows.push_back(row);
        }
    };
    half("in  ", 1, inbound);
    half("out ", inbound + 1, leds);
    return rows;
}

} // namespace

view_state view_state_of(const sim_chain* chain, unsigned port, int leds)
{
    view_state state;
    state.port = port;
    state.leds.resize(static_cast<std::size_t>(std::max(leds, 0)), '0');
    for (int stage = 1; stage <= leds; ++stage)
        if (sim_output(chain, stage)) state.leds[static_cast<std::size_t>(stage - 1)] = '1';
    state.reg = chain->reg;
    state.frames = chain->frames;
    state.writes = chain->writes;
    state.reads = chain->reads;
    return state;
}

std::string view_line(const view_state& state)
{
    char counters[4 * number_size];
    std::snprintf(counters, sizeof counters,
                  " online=%u reg=0x%02x frames=%llu writes=%llu reads=%llu\n",
                  static_cast<unsigned>(state.reg >> 7), state.reg,
                  static_cast<unsigned long long>(state.frames),
                  static_cast<unsigned long long>(state.writes),
                  static_cast<unsigned long long>(state.reads));
    return "leds=" + state.leds + counters;
}

std::vector<std::string> view_frame(const view_state& state, const view_style& style)
{
    const int columns = std::max(style.width, min_width) - 1;
    std::vector<line> rows = one_row(state, style, columns, 1);
    if (rows.empty()) rows = one_row(state, style, columns, 0);
    if (rows.empty()) rows = wrapped_rows(state, style, columns);

    std::vector<std::string> lines;
    lines.push_back(header(state, style, columns).text);
    lines.emplace_back();
    for (const line& row : rows) lines.push_back(row.text);
    lines.emplace_back();
    lines.push_back(counters(state, columns));
    if (!style.note.empty())
        lines.push_back(cut(style.note, columns));
    else if (style.keys)
        lines.push_back(cut("q or Ctrl-C quits", columns));
    return lines;
}

std::string redraw(const std::vector<std::string>& lines, int previous_lines)
{
    std::string out = "\r";
    if (previous_lines > 1) out += "\033[" + std::to_string(previous_lines - 1) + "A";
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) out += "\r\n";
        out += lines[i];
        out += "\033[K";
    }
    if (static_cast<int>(lines.size()) < previous_lines) out += "\033[J";
    return out;
}
