// SPDX-License-Identifier: GPL-2.0-or-later
// The port on real hardware (quenlyte5): x86 byte-wide in/out instructions
// after ioperm. Needs CAP_SYS_RAWIO.
#include "port.h"

#include <cerrno>
#include <sys/io.h>

int port_access(unsigned long from, unsigned long num, int turn_on)
{
    // Refuse here too, whatever the kernel would do: an address must never
    // wrap around to another port.
    if (!port_range_valid(from, num)) {
        errno = EINVAL;
        return -1;
    }
    return ioperm(from, num, turn_on);
}

std::uint8_t in_byte(std::uint16_t port)
{
    std::uint8_t value;
    __asm__ __volatile__("inb %w1, %b0" : "=a"(value) : "Nd"(port));
    return value;
}

void out_byte(std::uint16_t port, std::uint8_t value)
{
    __asm__ __volatile__("outb %b0, %w1" : : "a"(value), "Nd"(port));
}
