#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Checks that each built program needs the C library alone at run time: its
# only NEEDED entry is libc.so.6 (no libstdc++, libm, libgcc_s or librt).
# usage: check_needed.sh PROGRAM...
set -u
failed=0
for program in "$@"; do
    name=$(basename "$program")
    needed=$(readelf -dW "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' | tr '\n' ' ')
    if [ "$needed" = "libc.so.6 " ]; then
        echo "check_needed: $name: libc.so.6 alone"
    else
        echo "check_needed: $name: needs ${needed:-nothing}, not libc.so.6 alone"
        failed=1
    fi
done
exit $failed
