#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Static analysis: the layout clang-format gives (.clang-format), clang-tidy
# (checks in .clang-tidy; the benchmark without the path-sensitive analyzer,
# bench/.clang-tidy) over the daemon, the tools and the benchmark, with the
# compile commands of a configured build that has the benchmark (presets dev
# and release), and cppcheck (suppressions
# in .cppcheck-suppressions) over every source, tests too. Tests are left to
# clang-tidy's pass only through the headers they share.
# usage: tests/static_checks.sh [BUILD_DIR]    (default: build/, preset dev;
#                                              ./tests/run: build-release/)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
status=0

# Every C and C++ file of the tree as .clang-format lays it out (clang-format
# -i on the files named fixes them), all in one run of it; a run that fails
# without naming a file (no .clang-format, say) fails the check too.
echo "== clang-format"
format_rc=0
format_log=$(git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror 2>&1 >/dev/null) ||
    format_rc=$?
unformatted=$(printf '%s\n' "$format_log" | sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: error: code should be clang-formatted.*/\1/p' |
    sort -u)
if [ "$format_rc" != 0 ] && [ -z "$unformatted" ]; then
    printf '%s\n' "$format_log" | tail -n 5
    unformatted="(clang-format failed)"
fi
if [ -z "$unformatted" ]; then
    echo "clang-format: every file as .clang-format lays it out"
else
    echo "$unformatted" | sed 's/^/clang-format: not formatted: /'
    status=1
fi

echo "== clang-tidy"
# Each file once: several programs compile some of the same files (the
# daemon's for each port backend, the benchmark's and the tests' copies),
# with the same definitions, and clang-tidy would read a file once for each.
mkdir -p "$build/clang-tidy"
python3 -c '
import json, sys
first = {}
for command in json.load(open(sys.argv[1])):
    first.setdefault(command["file"], command)
json.dump(list(first.values()), open(sys.argv[2], "w"), indent=1)
' "$build/compile_commands.json" "$build/clang-tidy/compile_commands.json"
if run-clang-tidy -p "$build/clang-tidy" -j "$(nproc)" -quiet "$(pwd)/(src|bench)/" >"$build/clang-tidy.log" 2>&1; then
    echo "clang-tidy: clean ($(grep -c '^clang-tidy' "$build/clang-tidy.log" || true) files)"
else
    grep -E '(warning|error):' "$build/clang-tidy.log" | sort -u || cat "$build/clang-tidy.log"
    status=1
fi

echo "== cppcheck"
if cppcheck --std=c++20 --language=c++ --library=googletest \
    --enable=warning,style,performance,portability --inline-suppr \
    --suppressions-list=.cppcheck-suppressions --error-exitcode=1 --quiet \
    --template='{file}:{line}: {severity}: {message} [{id}]' \
    -I src/shared -I src/quenlyte5 -I src/simport -I src/quenlyte-sim -I src/quenlyte-linkd -I tests/lib -I bench src tests bench; then
    echo "cppcheck: clean"
else
    status=1
fi
exit $status
