# SPDX-License-Identifier: GPL-2.0-or-later
# The stages of ./tests/run, for tests/run and tests/lane.sh, which run
# side by side: each stage's results go to $results/NAME.* and its start and
# end to $results/stages (NAME start SECONDS / NAME end SECONDS), which
# tests/summary.py reads, with the processor time of its commands (NAME cpu
# SECONDS: user and system time).
# Sourced with results= set.

# cpu_now: cpu= the user and system time of this shell's finished children
# in seconds (the second line of `times`, which runs here, not in a
# subshell of its own).
cpu_now() {
    times >"$results/.times.$$"
    cpu=$(sed -n '2{s/[ms]/ /g;p}' "$results/.times.$$" | awk '{printf "%.0f\n", $1 * 60 + $2 + $3 * 60 + $4}')
}
# stage NAME: a new stage begins (the one before in this lane has ended).
stage() {
    stage_end
    stage_name=$1
    stage_file=$results/$1
    cpu_now
    stage_cpu=$cpu
    echo "$1 start $(date +%s)" >>"$results/stages"
    echo "== $1"
}
# stage_end: the current stage, if any, has ended.
stage_end() {
    [ -n "${stage_name:-}" ] || return 0
    echo "$stage_name end $(date +%s)" >>"$results/stages"
    cpu_now
    echo "$stage_name cpu $((cpu - stage_cpu))" >>"$results/stages"
    stage_name=
}
# ctest_results ARG...: ctest for the current stage, its results recorded.
ctest_results() {
    ctest "$@" --output-junit "$stage_file.xml"
}
# script_results COMMAND...: a script as the current stage's check. Status 0
# passes, 77 skips (the reason is its last line), any other fails the run.
script_results() {
    { rc=0; "$@" 2>&1 || rc=$?; echo "$rc" >"$stage_file.rc"; } | tee "$stage_file.log"
    rc=$(cat "$stage_file.rc")
    case $rc in
        0) echo passed >"$stage_file.status" ;;
        77) { echo skipped; grep -v '^[[:space:]]*$' "$stage_file.log" | tail -n 1 | sed 's/^SKIP: *//'; } \
                >"$stage_file.status" ;;
        *) { echo failed; tail -n 3 "$stage_file.log"; } >"$stage_file.status"; return "$rc" ;;
    esac
}
