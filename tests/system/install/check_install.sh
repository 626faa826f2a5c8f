#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the build tree given as $1 into a staging prefix and checks that
# everything is where it belongs: programs, man pages (which must render
# without warnings, where groff is present) and systemd units (verified with
# systemd-analyze, where it is present).
set -u
build=$1
stage=$(mktemp -d "${TMPDIR:-/tmp}/quenlyte-stage.XXXXXX")
trap 'rm -rf "$stage"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cmake --install "$build" --prefix "$stage" >"$stage.log" 2>&1 || {
    cat "$stage.log"; rm -f "$stage.log"; echo "FAIL: cmake --install"; exit 1; }
rm -f "$stage.log"

# Where each file belongs. quenlyte5 only where the real port is built (x86).
expect="bin/quenlyte5-sim bin/quenlyte-sim bin/quenlyte-linkd
share/man/man8/quenlyte5.8 share/man/man8/quenlyte-linkd.8 share/man/man1/quenlyte-sim.1
lib/systemd/system/quenlyte5.service lib/systemd/system/quenlyte-linkd.service
lib/systemd/system/quenlyte-linkd.socket
sbin/quenlyte5-ppdev lib/systemd/system/quenlyte5-ppdev.service lib/udev/rules.d/60-quenlyte.rules"
if [ -x "$build/bin/quenlyte5" ]; then expect="$expect sbin/quenlyte5"; fi
for file in $expect; do
    [ -f "$stage/$file" ] || fail "$file not installed"
    case $file in
    bin/* | sbin/*) [ -x "$stage/$file" ] || fail "$file not executable" ;;
    esac
done
[ ! -e "$stage/bin/quenlyte5" ] || fail "quenlyte5 belongs in sbin, not bin"
# Nothing else: no tests, no libraries.
extra=$(cd "$stage" && find . -type f | sed 's|^\./||' | while read -r f; do
    case " $(echo $expect) " in *" $f "*) ;; *) echo "$f" ;; esac; done)
[ -z "$extra" ] || fail "installed but not expected: $extra"

# The units name the programs of this install.
grep -q "^ExecStart=$stage/sbin/quenlyte5 " "$stage/lib/systemd/system/quenlyte5.service" ||
    fail "quenlyte5.service does not start $stage/sbin/quenlyte5"
grep -q "^ExecStart=$stage/sbin/quenlyte5-ppdev " "$stage/lib/systemd/system/quenlyte5-ppdev.service" ||
    fail "quenlyte5-ppdev.service does not start $stage/sbin/quenlyte5-ppdev"
grep -q "^ExecStart=$stage/bin/quenlyte-linkd " "$stage/lib/systemd/system/quenlyte-linkd.service" ||
    fail "quenlyte-linkd.service does not start $stage/bin/quenlyte-linkd"

# A staged DESTDIR install with a prefix of /usr puts the same files there.
destdir=$stage/destdir
DESTDIR=$destdir cmake --install "$build" --prefix /usr >/dev/null 2>&1 || fail "DESTDIR install"
[ -f "$destdir/usr/lib/systemd/system/quenlyte5.service" ] || fail "DESTDIR: unit not under DESTDIR"
grep -q "^ExecStart=/usr/sbin/quenlyte5 " "$destdir/usr/lib/systemd/system/quenlyte5.service" ||
    fail "DESTDIR: quenlyte5.service does not start /usr/sbin/quenlyte5"

# Man pages render without a warning.
if command -v groff >/dev/null; then
    for page in "$stage"/share/man/man*/*; do
        warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
        [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
    done
else
    echo "note: groff missing; man pages not rendered"
fi

# The units pass systemd's own check, their Documentation= pages included
# (found in the staged man pages), their ExecStart= programs the staged ones.
if command -v systemd-analyze >/dev/null; then
    out=$(cd "$stage/lib/systemd/system" &&
          MANPATH=$stage/share/man SYSTEMD_LOG_LEVEL=notice \
          systemd-analyze verify quenlyte-linkd.socket quenlyte-linkd.service quenlyte5.service \
              quenlyte5-ppdev.service 2>&1)
    [ -z "$out" ] || fail "systemd-analyze verify: $out"
else
    echo "note: systemd-analyze missing; units not verified"
fi

[ "$failures" = 0 ] || exit 1
echo "install complete: $(echo $expect | wc -w) files"
