// SPDX-License-Identifier: GPL-2.0-or-later
#include "report.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <syslog.h>

namespace
{
bool to_syslog = false;
constexpr int max_message = 512; // bytes, longer messages are cut
} // namespace

void report_to_syslog()
{
    to_syslog = true;
}

void report(const char* format, ...)
{
    char text[max_message];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fprintf(stderr, "%s\n", text);
    if (to_syslog) syslog(LOG_ERR, "%s", text);
}

void report_errno(const char* prefix)
{
    const int saved = errno;
    report("%s: %s", prefix, std::strerror(saved));
    errno = saved;
}
