// SPDX-License-Identifier: GPL-2.0-or-later
// The port-instruction decoder of quenlyte-sim run, on instruction bytes.
#include "decode.h"

#include <gtest/gtest.h>
#include <vector>

TEST(Decode, TellsByteWidePortInstructionsFromOtherPortFormsAndFromAnythingElse)
{
    const struct {
        std::vector<std::uint8_t> bytes;
        port_op op;
        bool immediate;
        std::uint8_t address;
        std::size_t length;
        const char* text;
    } cases[] = {
        {{0xEC, 0x90}, port_op::in_byte, false, 0, 1, "in al,dx"},
        {{0xE4, 0x80}, port_op::in_byte, true, 0x80, 2, "in al,0x80"},
        {{0xEE}, port_op::out_byte, false, 0, 1, "out dx,al"},
        {{0xE6, 0x78}, port_op::out_byte, true, 0x78, 2, "out 0x78,al"},
        {{0x66, 0x48, 0xEE}, port_op::out_byte, false, 0, 3, "out dx,al"}, // prefixes change
                                                                           // nothing
        {{0xED}, port_op::other, false, 0, 1, "in eax,dx"},
        {{0x66, 0xED}, port_op::other, false, 0, 2, "in ax,dx"},
        {{0xE5, 0x79}, port_op::other, true, 0x79, 2, "in eax,0x79"},
        {{0x66, 0xEF}, port_op::other, false, 0, 2, "out dx,ax"},
        {{0xE7, 0x7A}, port_op::other, true, 0x7A, 2, "out 0x7a,eax"},
        {{0xF3, 0x6C}, port_op::other, false, 0, 2, "rep insb"},
        {{0x66, 0x6D}, port_op::other, false, 0, 2, "insw"},
        {{0xF2, 0x6E}, port_op::other, false, 0, 2, "rep outsb"},
        {{0x6F}, port_op::other, false, 0, 1, "outsd"},
        {{0xE4}, port_op::none, false, 0, 0, ""}, // its address byte unreadable
        {{0x66, 0x66}, port_op::none, false, 0, 0, ""},
        {{}, port_op::none, false, 0, 0, ""},
        {{0xF4}, port_op::none, false, 0, 0, ""},             // hlt
        {{0x48, 0x8B, 0x00}, port_op::none, false, 0, 0, ""}, // mov rax,[rax]
        {std::vector<std::uint8_t>(15, 0x66), port_op::none, false, 0, 0, ""},
    };
    for (const auto& c : cases) {
        const port_instruction got = decode_port_instruction(c.bytes.data(), c.bytes.size());
        SCOPED_TRACE(c.text);
        EXPECT_EQ(got.op, c.op);
        EXPECT_EQ(got.immediate, c.immediate);
        EXPECT_EQ(got.address, c.address);
        EXPECT_EQ(got.length, c.length);
        EXPECT_EQ(got.text, c.text);
    }
}
