#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Starts a test program (the CROSSCOMPILING_EMULATOR of every test target):
# under valgrind memcheck, and every program it starts outside the system's
# folders too, when QUENLYTE_VALGRIND_LOGS names a folder (the valgrind test
# preset); otherwise as it is. Each process writes a log of its own there,
# empty unless valgrind found something (tests/valgrind_report.sh).
# usage: valgrind.sh PROGRAM [ARG...]
if [ -n "${QUENLYTE_VALGRIND_LOGS:-}" ]; then
    mkdir -p "$QUENLYTE_VALGRIND_LOGS" || exit 1
    exec valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
        --track-fds=no --vgdb=no --trace-children=yes --trace-children-skip='/usr/*,/bin/*,/sbin/*' \
        --log-file="$QUENLYTE_VALGRIND_LOGS/%p.log" "$@"
fi
exec "$@"
