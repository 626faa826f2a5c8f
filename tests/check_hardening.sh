#!/bin/sh
# Checks that built programs carry the hardening the build asks for:
#   position-independent (ELF type DYN), full RELRO (a GNU_RELRO segment and
#   BIND_NOW), the stack protector (__stack_chk_fail), fortified libc calls
#   (__*_chk), and x86 control-flow protection: the IBT and SHSTK property
#   note, or - where the C library's own start files lack that note, so that
#   no program linked here can have it (Debian 12) - endbr64 at the entry of
#   main, which -fcf-protection puts there.
# usage: check_hardening.sh COMPILER PROGRAM...
set -u
compiler=$1
shift
failed=0
fail() {
    echo "check_hardening: $1: $2"
    failed=1
    bad=1
}
start_files=$("$compiler" -print-file-name=Scrt1.o)
crt_has_cet=no
readelf -nW "$start_files" 2>/dev/null | grep -q 'IBT, SHSTK' && crt_has_cet=yes

for program in "$@"; do
    name=$(basename "$program")
    bad=0
    readelf -hW "$program" | grep -Eq 'Type: +DYN' || fail "$name" "not position-independent"
    readelf -lW "$program" | grep -q 'GNU_RELRO' || fail "$name" "no GNU_RELRO segment"
    readelf -dW "$program" | grep -Eq 'BIND_NOW|Flags:.* NOW' || fail "$name" "no BIND_NOW (partial RELRO)"
    symbols=$(readelf --dyn-syms -W "$program")
    echo "$symbols" | grep -q '__stack_chk_fail' || fail "$name" "no stack protector"
    echo "$symbols" | grep -v '__stack_chk_fail' | grep -Eq ' __[a-z_]+_chk(@|$)' ||
        fail "$name" "no fortified calls"
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
    [ $bad = 0 ] && echo "check_hardening: $name: hardened"
done
[ "$crt_has_cet" = no ] &&
    echo "check_hardening: note: $start_files has no IBT/SHSTK note, so no program can; checked endbr64"
exit $failed
