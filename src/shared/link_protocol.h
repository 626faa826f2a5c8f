// SPDX-License-Identifier: GPL-2.0-or-later
// The link-control service as the daemon asks it and quenlyte-linkd answers
// it: where it listens, the two commands, and the status of a link that is up.
#pragma once

inline constexpr const char* service_host = "127.0.0.1"; // dotted IPv4, loopback
inline constexpr int service_port = 5000;                // TCP
inline constexpr const char* status_command = "status pppoe";
inline constexpr const char* rate_command = "rate pppoe";
inline constexpr const char* online_status = "Online"; // the whole value text
