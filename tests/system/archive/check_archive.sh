#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Checks the release archive of the static build (target static-archive):
# exactly the expected files under one top directory named after the archive
# (the programs, the man pages, COPYING, the README for routers without
# systemd, the OpenRC scripts with their conf.d files and the walking test,
# nothing else), each OpenRC script filled in (no @NAME@ left, sh -n clean),
# each program static-pie (no
# program interpreter, no NEEDED entry), answering --help with status 0 and
# --version with its name and the archive's version, and the man pages, COPYING and README byte for byte those of the source tree.
# usage: check_archive.sh SOURCE_DIR ARCHIVE
set -u
source_dir=$1
archive=$2
failed=0
fail() {
    echo "check_archive: $1"
    failed=1
}

name=$(basename "$archive" .tar.gz)
version=${name#quenlyte-}
version=${version%-x86_64-linux-static}
case $name in
quenlyte-[0-9]*.[0-9]*.[0-9]*-x86_64-linux-static) ;;
*) fail "$archive: not named quenlyte-VERSION-x86_64-linux-static.tar.gz" ;;
esac
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tar -xzf "$archive" -C "$work" || { echo "check_archive: $archive: cannot unpack"; exit 1; }

expected="COPYING
README
bin/quenlyte-sim
bin/quenlyte5-sim
etc/conf.d/quenlyte-linkd
etc/conf.d/quenlyte5
etc/conf.d/quenlyte5-ppdev
etc/init.d/quenlyte-linkd
etc/init.d/quenlyte5
etc/init.d/quenlyte5-ppdev
sbin/quenlyte-linkd
sbin/quenlyte5
sbin/quenlyte5-ppdev
share/man/man1/quenlyte-sim.1
share/man/man8/quenlyte-linkd.8
share/man/man8/quenlyte5.8
share/quenlyte/walk.script"
found=$(cd "$work" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
expected_paths=$(echo "$expected" | sed "s|^|$name/|" | LC_ALL=C sort)
if [ "$found" != "$expected_paths" ]; then
    fail "files differ from the expected list:"
    echo "$expected_paths" >"$work/.expected"
    echo "$found" | diff "$work/.expected" - | sed -n 's/^[<>]/  &/p'
fi

top=$work/$name
for program in sbin/quenlyte5 sbin/quenlyte5-ppdev sbin/quenlyte-linkd bin/quenlyte5-sim bin/quenlyte-sim; do
    [ -x "$top/$program" ] || { fail "$program: missing or not executable"; continue; }
    readelf -hW "$top/$program" | grep -Eq 'Type: +DYN' || fail "$program: not position-independent"
    readelf -lW "$top/$program" | grep -q INTERP && fail "$program: has a program interpreter"
    readelf -dW "$top/$program" | grep -q '(NEEDED)' && fail "$program: needs shared libraries"
    "$top/$program" --help >/dev/null 2>&1 || fail "$program: --help: status $?"
    said=$("$top/$program" --version 2>&1)
    [ "$said" = "$(basename "$program") $version" ] || fail "$program: --version: \"$said\", not $version"
done
for page in man1/quenlyte-sim.1 man8/quenlyte-linkd.8 man8/quenlyte5.8; do
    cmp -s "$top/share/man/$page" "$source_dir/man/$(basename "$page")" || fail "$page: not the source's"
done
for script in quenlyte-linkd quenlyte5 quenlyte5-ppdev; do
    for file in "etc/init.d/$script" "etc/conf.d/$script"; do
        grep -q '@[A-Z_]*@' "$top/$file" && fail "$file: a template name left in it"
        sh -n "$top/$file" || fail "$file: not valid sh"
    done
    [ -x "$top/etc/init.d/$script" ] || fail "etc/init.d/$script: not executable"
    [ "$(head -n 1 "$top/etc/init.d/$script")" = "#!/sbin/openrc-run" ] ||
        fail "etc/init.d/$script: not an openrc-run script"
done
cmp -s "$top/share/quenlyte/walk.script" "$source_dir/share/walk.script" || fail "walk.script: not the source's"
cmp -s "$top/COPYING" "$source_dir/COPYING" || fail "COPYING: not the source's"
cmp -s "$top/README" "$source_dir/docs/router-without-systemd.md" || fail "README: not the source's"
# The README names the two commands to start at boot, with their arguments,
# and how to stop them.
for line in '^quenlyte-linkd --iface [a-z0-9-]+ ' '^quenlyte5-ppdev( [0-9]+){6}$' '^killall quenlyte5-ppdev' \
    '^killall quenlyte-linkd'; do
    grep -Eq "$line" "$top/README" || fail "README: no line like /$line/"
done
[ $failed = 0 ] && echo "check_archive: $name.tar.gz: $(echo "$expected" | wc -l) files as expected, programs static-pie"
exit $failed
