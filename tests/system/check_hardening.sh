#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Checks that built programs carry the hardening the build asks for:
#   position-independent (ELF type DYN), full RELRO (a GNU_RELRO segment and
#   BIND_NOW), the stack protector (__stack_chk_fail), fortified libc calls
#   (__*_chk), and x86 control-flow protection: the IBT and SHSTK property
#   note, or - where the C library's own start files lack that note, so that
#   no program linked here can have it (Debian 12) - endbr64 at the entry of
#   main, which -fcf-protection puts there.
# With --static (preset static) the programs must be static-pie as well: no
# program interpreter (PT_INTERP) and no NEEDED entry. The C library is then
# inside the program and brings __stack_chk_fail and some __*_chk functions
# of its own, so the stack protector and the fortified calls are read from
# the code instead: the program's own functions (main and C++ functions
# outside the standard library) call __stack_chk_fail, and some code calls a
# __*_chk function (glibc's own code calls none).
# usage: check_hardening.sh [--static] COMPILER PROGRAM...
set -u
static=no
if [ "${1:-}" = --static ]; then
    static=yes
    shift
fi
compiler=$1
shift
failed=0
fail() {
    echo "check_hardening: $1: $2"
    failed=1
    bad=1
}
start_files=$("$compiler" -print-file-name=Scrt1.o)
[ $static = yes ] && start_files=$("$compiler" -print-file-name=rcrt1.o)
crt_has_cet=no
readelf -nW "$start_files" 2>/dev/null | grep -q 'IBT, SHSTK' && crt_has_cet=yes

# The functions that call NAME_PATTERN (an extended regular expression), one
# a line, from the disassembly of PROGRAM.
callers() {
    objdump -d --no-show-raw-insn "$1" |
        awk -v callee="$2" '/^[0-9a-f]+ <.*>:$/ { fn = $2 } $0 ~ "call.*<" callee ">" { print fn }' |
        sort -u
}

for program in "$@"; do
    name=$(basename "$program")
    bad=0
    readelf -hW "$program" | grep -Eq 'Type: +DYN' || fail "$name" "not position-independent"
    segments=$(readelf -lW "$program")
    echo "$segments" | grep -q 'GNU_RELRO' || fail "$name" "no GNU_RELRO segment"
    dynamic=$(readelf -dW "$program")
    echo "$dynamic" | grep -Eq 'BIND_NOW|Flags:.* NOW' || fail "$name" "no BIND_NOW (partial RELRO)"
    if [ $static = yes ]; then
        echo "$segments" | grep -q 'INTERP' && fail "$name" "has a program interpreter (not static)"
        echo "$dynamic" | grep -q '(NEEDED)' && fail "$name" "needs shared libraries (not static)"
        callers "$program" '__stack_chk_fail' |
            grep -E '^<(main|_Z)' | grep -Evq '^<_ZN?K?(St|9__gnu_cxx|10__cxxabiv1)' ||
            fail "$name" "no stack protector in its own code"
        callers "$program" '__[a-z_]+_chk' | grep -q . || fail "$name" "no fortified calls"
    else
        symbols=$(readelf --dyn-syms -W "$program")
        echo "$symbols" | grep -q '__stack_chk_fail' || fail "$name" "no stack protector"
        echo "$symbols" | grep -v '__stack_chk_fail' | grep -Eq ' __[a-z_]+_chk(@|$)' ||
            fail "$name" "no fortified calls"
    fi
    case $(uname -m) in
    x86_64 | i?86)
        if readelf -nW "$program" | grep -q 'IBT, SHSTK'; then
            :
        elif [ "$crt_has_cet" = no ]; then
            objdump -d --no-show-raw-insn --disassemble=main "$program" |
                grep -A2 '<main>:' | grep -q endbr64 ||
                fail "$name" "no endbr64 at main (-fcf-protection missing)"
        else
            fail "$name" "no IBT and SHSTK property note"
        fi
        ;;
    esac
    if [ $bad = 0 ]; then
        if [ $static = yes ]; then
            echo "check_hardening: $name: hardened, static-pie"
        else
            echo "check_hardening: $name: hardened"
        fi
    fi
done
[ "$crt_has_cet" = no ] &&
    echo "check_hardening: note: $start_files has no IBT/SHSTK note, so no program can; checked endbr64"
exit $failed
