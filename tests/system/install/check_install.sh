#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the build tree given as $1 into a staging prefix and checks that
# everything is where it belongs: programs, man pages (which must render
# without warnings, where groff is present), systemd units (verified with
# systemd-analyze, where it is present) and their files for /etc/default.
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
expect="bin/quenlyte5-sim bin/quenlyte-sim sbin/quenlyte-linkd
share/man/man8/quenlyte5.8 share/man/man8/quenlyte-linkd.8 share/man/man1/quenlyte-sim.1
share/quenlyte/walk.script
lib/systemd/system/quenlyte5.service lib/systemd/system/quenlyte-linkd.service
lib/systemd/system/quenlyte-linkd.socket lib/systemd/system/quenlyte5.service.d/quenlyte-linkd.conf
lib/systemd/system/quenlyte5-ppdev.service.d/quenlyte-linkd.conf
sbin/quenlyte5-ppdev lib/systemd/system/quenlyte5-ppdev.service lib/udev/rules.d/60-quenlyte.rules
etc/default/quenlyte5 etc/default/quenlyte-linkd"
if [ -x "$build/bin/quenlyte5" ]; then expect="$expect sbin/quenlyte5"; fi
for file in $expect; do
    [ -f "$stage/$file" ] || fail "$file not installed"
    case $file in
    bin/* | sbin/*) [ -x "$stage/$file" ] || fail "$file not executable" ;;
    esac
done
for program in quenlyte5 quenlyte-linkd; do
    [ ! -e "$stage/bin/$program" ] || fail "$program belongs in sbin, not bin"
done
# Nothing else: no tests, no libraries.
extra=$(cd "$stage" && find . -type f | sed 's|^\./||' | while read -r f; do
    case " $(echo $expect) " in *" $f "*) ;; *) echo "$f" ;; esac; done)
[ -z "$extra" ] || fail "installed but not expected: $extra"

# The units name the programs and the files for /etc/default of this install.
units=$stage/lib/systemd/system
for unit_start in quenlyte5.service:sbin/quenlyte5 quenlyte5-ppdev.service:sbin/quenlyte5-ppdev \
    quenlyte-linkd.service:sbin/quenlyte-linkd; do
    unit=${unit_start%%:*} program=$stage/${unit_start#*:}
    grep -q "^ExecStart=$program " "$units/$unit" || fail "$unit does not start $program"
done
for unit_file in quenlyte5.service:quenlyte5 quenlyte5-ppdev.service:quenlyte5 \
    quenlyte-linkd.service:quenlyte-linkd; do
    unit=${unit_file%%:*} file=$stage/etc/default/${unit_file#*:}
    grep -qx "EnvironmentFile=-$file" "$units/$unit" || fail "$unit does not read $file"
done
# The daemon units name no link-control service; quenlyte-linkd's drop-ins
# tie them to its unit.
for unit in quenlyte5.service quenlyte5-ppdev.service; do
    named=$(grep '^[A-Za-z]*=.*quenlyte-linkd' "$units/$unit")
    [ -z "$named" ] || fail "$unit names quenlyte-linkd: $named"
    grep -qx 'Requires=quenlyte-linkd.service' "$units/$unit.d/quenlyte-linkd.conf" &&
        grep -qx 'PartOf=quenlyte-linkd.service' "$units/$unit.d/quenlyte-linkd.conf" ||
        fail "$unit.d/quenlyte-linkd.conf does not tie $unit to quenlyte-linkd.service"
done
# The defaults the units set are the ones their files for /etc/default show
# commented out: the six settings (Environment=A=1 B=2 ..., #A=1 lines), each
# a decimal number (configure_file leaves an unknown @VARIABLE@ empty), and
# linkd's arguments.
settings_of_unit() { sed -n 's/^Environment=//p' "$1" | tr ' ' '\n' | grep . | sort; }
settings_of_file() { sed -n 's/^#\([A-Z_]*=\)/\1/p' "$1" | sort; }
for unit in quenlyte5.service quenlyte5-ppdev.service; do
    file=$stage/etc/default/quenlyte5
    in_unit=$(settings_of_unit "$units/$unit") in_file=$(settings_of_file "$file")
    numbers=$(echo "$in_file" | grep -cx '\(IN_MAX\|OUT_MAX\|PORT\|LEDS\|MODE\|RATE\)=[0-9][0-9]*')
    if [ "$in_unit" != "$in_file" ] || [ "$numbers" != 6 ]; then
        fail "$unit: defaults '$(echo "$in_unit" | tr '\n' ' ')', $file: '$(echo "$in_file" | tr '\n' ' ')'"
    fi
done
linkd_default=$(sed -n 's/^Environment="QUENLYTE_LINKD_ARGS=\(..*\)"$/\1/p' "$units/quenlyte-linkd.service")
grep -qx "#QUENLYTE_LINKD_ARGS=\"${linkd_default:-none}\"" "$stage/etc/default/quenlyte-linkd" ||
    fail "quenlyte-linkd.service's default '$linkd_default' is not the one $stage/etc/default/quenlyte-linkd shows"

# A staged DESTDIR install with a prefix of /usr puts the same files there,
# the files for /etc/default in /etc.
destdir=$stage/destdir
DESTDIR=$destdir cmake --install "$build" --prefix /usr >/dev/null 2>&1 || fail "DESTDIR install"
[ -f "$destdir/usr/lib/systemd/system/quenlyte5.service" ] || fail "DESTDIR: unit not under DESTDIR"
grep -q "^ExecStart=/usr/sbin/quenlyte5 " "$destdir/usr/lib/systemd/system/quenlyte5.service" ||
    fail "DESTDIR: quenlyte5.service does not start /usr/sbin/quenlyte5"
grep -qx "EnvironmentFile=-/etc/default/quenlyte5" "$destdir/usr/lib/systemd/system/quenlyte5.service" ||
    fail "DESTDIR: quenlyte5.service does not read /etc/default/quenlyte5"
[ -f "$destdir/etc/default/quenlyte5" ] || fail "DESTDIR: /etc/default/quenlyte5 not under DESTDIR"

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
