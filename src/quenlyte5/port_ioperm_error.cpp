// SPDX-License-Identifier: GPL-2.0-or-later
// port_error of the two ports that ioperm grants, the real one (port_io.cpp)
// and the simulated one (port_sim.cpp): errno tells why the grant failed.
#include "port.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

const char* port_error()
{
    static char text[128]; // "ioperm: " and the text of errno
    std::snprintf(text, sizeof text, "ioperm: %s", std::strerror(errno));
    return text;
}
