// SPDX-License-Identifier: GPL-2.0-or-later
// Port instructions, decoded from the bytes at the address where a program
// faulted. Pure: bytes in, a description out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class port_op {
    none,     // not a port instruction
    in_byte,  // IN AL,DX or IN AL,imm8
    out_byte, // OUT DX,AL or OUT imm8,AL
    other,    // a word, dword or string form: not emulated
};

struct port_instruction {
    port_op op = port_op::none;
    bool immediate = false;   // the address is `address`, not DX
    std::uint8_t address = 0; // the imm8 address
    std::size_t length = 0;   // bytes, prefixes included
    std::string text;         // the instruction in assembler form, e.g. "in al,dx"
};

// Decodes the instruction at the start of `bytes` (`count` of them, fewer
// than a whole instruction when the rest was unreadable). Legacy prefixes and
// REX are skipped; they change nothing in a byte-wide in or out.
port_instruction decode_port_instruction(const std::uint8_t* bytes, std::size_t count);
