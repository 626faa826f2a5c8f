// SPDX-License-Identifier: GPL-2.0-or-later
// The daemon's messages. Before detaching they reach the terminal through
// standard error. Once detached, standard error is /dev/null and the starting
// shell already has its status, so every message also goes to the system log
// (LOG_ERR) with the same text.
#pragma once

// From now on, messages go to the system log as well (after openlog).
void report_to_syslog();

// Writes one message line; `format` is a printf format without the newline.
void report(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Like perror: "prefix: <text of errno>".
void report_errno(const char* prefix);
