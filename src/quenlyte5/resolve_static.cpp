// SPDX-License-Identifier: GPL-2.0-or-later
// Name resolution of the static daemon (preset static, linked with
// --wrap=gethostbyname): numeric addresses only.
// The service address 127.0.0.1 is converted by inet_addr before
// gethostbyname is asked; any host name is not found ("host not found",
// status 1). Why the static daemon carries no NSS: docs/install.md, the
// static archive.
#include <netdb.h>

// The linker's --wrap fixes the name, reserved as it is.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" hostent* __wrap_gethostbyname(const char* name);

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" hostent* __wrap_gethostbyname(const char* /*name*/)
{
    h_errno = HOST_NOT_FOUND;
    return nullptr;
}
