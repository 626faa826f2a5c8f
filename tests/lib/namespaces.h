// SPDX-License-Identifier: GPL-2.0-or-later
// Namespaces of a test's own: a network namespace with its loopback up,
// and a mount namespace with private mounts when asked for. Made with the
// capabilities this process has or, where it may not administer a network
// (no CAP_NET_ADMIN, as in a default container), inside a user namespace of
// its own, which gives it that right over the namespaces made with it. Each
// way is tried first in a child process, so that a refusal leaves this
// process in the namespaces it was in.
#pragma once

#include <string>

namespace test_ns
{

// More set-up inside the new namespaces (mounts, say): an empty text, or why
// it failed. It runs in the trial child too, so it must be repeatable.
using setup_step = std::string (*)();

// Moves this process into a new network namespace with lo up (and a new
// mount namespace with private mounts when `with_mounts`), then runs
// `inside`. Returns an empty text, or what the kernel or the container
// refused, for each way tried.
std::string enter(bool with_mounts, setup_step inside = nullptr);

} // namespace test_ns
