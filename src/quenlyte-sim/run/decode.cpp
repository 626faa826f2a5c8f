// SPDX-License-Identifier: GPL-2.0-or-later
#include "decode.h"

#include <cstdio>

namespace
{

constexpr std::size_t longest_instruction = 15; // bytes, as the processor allows
constexpr std::uint8_t operand_size_prefix = 0x66;
constexpr std::uint8_t rep_prefix = 0xF3;
constexpr std::uint8_t repne_prefix = 0xF2;

bool is_legacy_prefix(std::uint8_t byte)
{
    switch (byte) {
    case 0x26:
    case 0x2E:
    case 0x36:
    case 0x3E:
    case 0x64:
    case 0x65: // segments
    case 0x66:
    case 0x67:
    case 0xF0:
    case 0xF2:
    case 0xF3:
        return true;
    default:
        return false;
    }
}

bool is_rex(std::uint8_t byte)
{
    return (byte & 0xF0) == 0x40;
}

std::string hex_byte(std::uint8_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

} // namespace

port_instruction decode_port_instruction(const std::uint8_t* bytes, std::size_t count)
{
    port_instruction found;
    const std::size_t limit = count < longest_instruction ? count : longest_instruction;
    std::size_t at = 0;
    bool word = false;
    bool rep = false;
    // cppcheck-suppress knownConditionTrueFalse ; false only for the empty input of one test
    for (; at < limit; ++at) {
        const std::uint8_t byte = bytes[at];
        if (!is_legacy_prefix(byte) && !is_rex(byte)) break;
        word = word || byte == operand_size_prefix;
        rep = rep || byte == rep_prefix || byte == repne_prefix;
    }
    if (at == limit) return found;
    const std::uint8_t opcode = bytes[at++];
    const bool has_imm8 = opcode == 0xE4 || opcode == 0xE5 || opcode == 0xE6 || opcode == 0xE7;
    // cppcheck-suppress knownConditionTrueFalse ; as above
    if (has_imm8 && at >= limit) return found;
    const std::string wide = word ? "ax" : "eax";
    const std::string imm = has_imm8 ? hex_byte(bytes[at]) : "";
    const std::string repeat = rep ? "rep " : "";
    switch (opcode) {
    case 0xEC:
        found = {port_op::in_byte, false, 0, at, "in al,dx"};
        break;
    case 0xE4:
        found = {port_op::in_byte, true, bytes[at], at + 1, "in al," + imm};
        break;
    case 0xEE:
        found = {port_op::out_byte, false, 0, at, "out dx,al"};
        break;
    case 0xE6:
        found = {port_op::out_byte, true, bytes[at], at + 1, "out " + imm + ",al"};
        break;
    case 0xED:
        found = {port_op::other, false, 0, at, "in " + wide + ",dx"};
        break;
    case 0xE5:
        found = {port_op::other, true, bytes[at], at + 1, "in " + wide + "," + imm};
        break;
    case 0xEF:
        found = {port_op::other, false, 0, at, "out dx," + wide};
        break;
    case 0xE7:
        found = {port_op::other, true, bytes[at], at + 1, "out " + imm + "," + wide};
        break;
    case 0x6C:
        found = {port_op::other, false, 0, at, repeat + "insb"};
        break;
    case 0x6D:
        found = {port_op::other, false, 0, at, repeat + (word ? "insw" : "insd")};
        break;
    case 0x6E:
        found = {port_op::other, false, 0, at, repeat + "outsb"};
        break;
    case 0x6F:
        found = {port_op::other, false, 0, at, repeat + (word ? "outsw" : "outsd")};
        break;
    default:
        break;
    }
    return found;
}
