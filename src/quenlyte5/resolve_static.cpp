// SPDX-License-Identifier: GPL-2.0-or-later
// Name resolution of the static daemon (preset static, linked with
// --wrap=gethostbyname): numeric addresses only.
//
// The daemon's service address is the numeric 127.0.0.1, which inet_addr
// converts before gethostbyname is ever asked. A host name would need glibc's
// NSS, which a static program can reach only by loading the shared NSS
// modules of the very glibc it was linked with, at run time: on a router with
// musl or with no C library there are none. So the static daemon answers
// every name as not found ("host not found", status 1) and carries no NSS.
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
