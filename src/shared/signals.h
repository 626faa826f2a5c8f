// SPDX-License-Identifier: GPL-2.0-or-later
// How the programs catch the signals that stop or stir them. Header-only and
// C library alone, for the daemon too.
#pragma once

#include <signal.h>

// Runs `handler` on signal `number`, without SA_RESTART: the signal ends a
// blocked read, pause or wait with EINTR at once, so that the loop around it
// sees the flag the handler set.
inline void catch_signal(int number, void (*handler)(int))
{
    struct sigaction action {
    };
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART
    sigaction(number, &action, nullptr);
}
