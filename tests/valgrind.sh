#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Starts a test program (the CROSSCOMPILING_EMULATOR of every test target) as
# it is, unless QUENLYTE_VALGRIND_LOGS names a folder (the valgrind test
# preset). Then a unit test program runs under valgrind memcheck; an
# end-to-end one, started with --exec-shim, runs as it is with that library
# preloaded (tests/lib/valgrind_exec.cpp), which starts each program of this
# project through this script, and so under valgrind too, with every program
# it starts outside the system's folders. Each process writes a log of its
# own there, empty unless valgrind found something (tests/valgrind_report.sh).
# A program the library started (--program) logs as program-PID.log, so that
# the report can tell that the programs did run under valgrind. Inlined
# frames are not read from the debug information: a report names the
# function they were inlined into, and each of the some 300 starts takes
# about a seventh less time.
# usage: valgrind.sh [--exec-shim LIBRARY | --program] PROGRAM [ARG...]
shim=
log=%p.log
if [ "${1:-}" = --exec-shim ]; then
    shim=$2
    shift 2
elif [ "${1:-}" = --program ]; then
    log=program-%p.log
    shift
fi
if [ -n "${QUENLYTE_VALGRIND_LOGS:-}" ]; then
    mkdir -p "$QUENLYTE_VALGRIND_LOGS" || exit 1
    if [ -n "$shim" ]; then
        export QUENLYTE_VALGRIND_WRAPPER="$0"
        export LD_PRELOAD="$shim${LD_PRELOAD:+:$LD_PRELOAD}"
        exec "$@"
    fi
    exec valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite --read-inline-info=no \
        --track-fds=no --vgdb=no --trace-children=yes --trace-children-skip='/usr/*,/bin/*,/sbin/*' \
        --log-file="$QUENLYTE_VALGRIND_LOGS/$log" "$@"
fi
exec "$@"
