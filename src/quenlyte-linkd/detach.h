// SPDX-License-Identifier: GPL-2.0-or-later
// --detach and --pidfile: the old Unix contract of a service that a boot
// script starts. The starting process returns only once the service is
// ready (status 0) or has given up (status 1, its reason on stderr).
#pragma once

#include <string>

// Forks. The starting process waits for the service's word and ends there:
// status 0 once detach_ready was called, 1 when the service ended before
// that. Returns in the service, in a session of its own, the descriptor to
// give to detach_ready; -1 (errno set) when fork or pipe failed, and then
// there is no service.
int detach_fork();

// The service is ready: standard input, output and error onto /dev/null,
// the working directory "/", then the starting process is told (and ends
// with 0). False with `error` ("context: reason") when /dev/null cannot be
// opened; nothing was told then.
bool detach_ready(int ready_fd, std::string& error);

// Writes the pid of this process and a newline to `path` (created or
// truncated, mode 0644 less the umask). False with `error` ("path: reason").
bool write_pidfile(const std::string& path, std::string& error);

// `path` made absolute against the working directory, so that it names the
// same file after detach_ready's chdir("/"). Unchanged when already
// absolute or empty, or when the working directory cannot be known.
std::string absolute_path(const std::string& path);
