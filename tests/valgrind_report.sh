#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# After the valgrind preset's tests: every process under valgrind (test
# programs and the programs they start) wrote a log of its own, empty unless
# valgrind found something (-q). Prints the ones that are not, and fails;
# fails too when no program that a test started ran under valgrind
# (program-PID.log, tests/lib/valgrind_exec.cpp), which would leave the
# programs unchecked without a word.
# usage: valgrind_report.sh LOG_DIR
set -u
dir=$1
logs=$(find "$dir" -name '*.log' | wc -l)
programs=$(find "$dir" -name 'program-*.log' | wc -l)
found=0
for log in "$dir"/*.log; do
    [ -s "$log" ] || continue
    echo "== valgrind: $log"
    cat "$log"
    found=$((found + 1))
done
echo "valgrind: $logs processes checked ($programs of them programs that tests started), $found with findings"
[ "$programs" -gt 0 ] || { echo "valgrind: no program that a test started ran under valgrind"; exit 1; }
[ "$found" = 0 ]
