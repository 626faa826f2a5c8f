// SPDX-License-Identifier: GPL-2.0-or-later
#include "port_vcd.h"

#include <cinttypes>

namespace
{

struct vcd_line {
    std::uint8_t mask; // bit of the data register
    char id;           // the dump's short name for it
    const char* name;
};

constexpr vcd_line lines[] = {
    {0x01, 'd', "data"},
    {0x02, 'c', "clock"},
    {0x04, 'l', "latch"},
    {0x80, 'o', "online"},
};
constexpr std::uint8_t line_masks = 0x87;

void put_lines(const vcd_dump& dump, std::uint8_t changed, std::uint8_t reg)
{
    for (const vcd_line& line : lines)
        if ((changed & line.mask) != 0)
            std::fprintf(dump.file, "%c%c\n", (reg & line.mask) != 0 ? '1' : '0', line.id);
}

} // namespace

void vcd_begin(vcd_dump& dump, std::FILE* file, const char* comment, std::uint8_t reg)
{
    dump.file = file;
    dump.reg = reg;
    dump.last_ns = 0;
    std::fprintf(file,
                 "$comment %s $end\n"
                 "$timescale 1 ns $end\n"
                 "$scope module port $end\n",
                 comment);
    for (const vcd_line& line : lines)
        std::fprintf(file, "$var wire 1 %c %s $end\n", line.id, line.name);
    std::fputs("$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n", file);
    put_lines(dump, line_masks, reg);
    std::fputs("$end\n", file);
}

void vcd_change(vcd_dump& dump, std::uint64_t time_ns, std::uint8_t reg)
{
    const auto changed = static_cast<std::uint8_t>((reg ^ dump.reg) & line_masks);
    if (changed == 0) return;
    dump.last_ns = time_ns > dump.last_ns ? time_ns : dump.last_ns + 1;
    std::fprintf(dump.file, "#%" PRIu64 "\n", dump.last_ns);
    put_lines(dump, changed, reg);
    dump.reg = reg;
}

void vcd_end(vcd_dump& dump)
{
    std::fprintf(dump.file, "#%" PRIu64 "\n", dump.last_ns + 1);
}
