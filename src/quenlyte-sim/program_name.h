// SPDX-License-Identifier: GPL-2.0-or-later
// The name quenlyte-sim gives itself: the start of each of its messages
// ("quenlyte-sim: context: reason"), its usage and --version, the emulator
// (run/) included.
#pragma once

inline constexpr const char* program = "quenlyte-sim";
