#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs a command (the valgrind preset's tests) where valgrind starts faster:
# in a mount namespace of its own, the debug files of the C library, its
# loader and libm (package libc6-dbg, which Debian's valgrind depends on and
# reads at every start) are replaced by copies that hold their symbol tables
# alone. valgrind reads the line tables of the whole C library there, about
# a sixth of a second of each of the some 200 starts of the tests; with the
# symbols alone it still redirects the loader's functions, matches its
# suppressions and names the C library's functions in a report (without
# their lines). What it checks is the same. Without root, a mount namespace
# or the debug files, the command runs as it is.
# usage: tests/valgrind_lean.sh WORK_DIR COMMAND [ARG...]
set -eu
work=$1
shift
if [ "$(id -u)" != 0 ] || ! command -v objcopy >/dev/null || ! unshare -m true 2>/dev/null; then
    exec "$@"
fi
rm -rf "$work"
mkdir -p "$work"
# debug_file LIBRARY: the path of LIBRARY's debug file by its build id.
debug_file() {
    id=$(readelf -n "$(readlink -f "$1")" 2>/dev/null | awk '/Build ID:/ { print $3 }')
    [ -n "$id" ] && echo "/usr/lib/debug/.build-id/$(echo "$id" | cut -c1-2)/$(echo "$id" | cut -c3-).debug"
}
binds=""
# The loader and the C library as every program loads them, and libm beside it.
libraries=$(ldd /bin/true | awk '$1 ~ /^\// { print $1 } $3 ~ /^\// { print $3 }')
for library in $libraries "$(dirname "$(echo "$libraries" | grep '/libc\.so')")/libm.so.6"; do
    debug=$(debug_file "$library") || continue
    [ -f "$debug" ] || continue
    lean=$work/$(basename "$debug")
    objcopy --strip-debug "$debug" "$lean" || continue
    binds="$binds $lean=$debug"
done
[ -n "$binds" ] || exec "$@"
# shellcheck disable=SC2016 # expanded by the inner shell
exec unshare -m --propagation private sh -c '
    binds=$1
    shift
    for bind in $binds; do mount --bind "${bind%%=*}" "${bind#*=}"; done
    exec "$@"' valgrind_lean "$binds" "$@"
