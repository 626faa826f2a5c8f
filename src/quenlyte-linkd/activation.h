// SPDX-License-Identifier: GPL-2.0-or-later
// Socket activation: a listening socket that the service manager opened and
// handed to this process (LISTEN_PID, LISTEN_FDS, descriptors from 3 on).
#pragma once

#include <string>

inline constexpr int first_handed_fd = 3; // the first descriptor handed over

// The handed listening descriptor: first_handed_fd when LISTEN_PID names
// `self_pid` and LISTEN_FDS is 1; -1 with `error` empty when nothing was
// handed to this process (a variable unset, another process's pid,
// LISTEN_FDS 0); -1 with `error` set ("VARIABLE: reason") when a variable is
// malformed or more than one socket was handed over. Either pointer may be
// null (variable unset). Pure: reads no environment.
int handed_listener(const char* listen_pid, const char* listen_fds, long self_pid,
                    std::string& error);
