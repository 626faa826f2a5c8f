#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the Debian packages quenlyte, quenlyte-linkd and quenlyte-sim as a
# clean clone would (dpkg-buildpackage -us -uc -b on a copy of this tree
# without its build directories, the unit tests run by the build) and runs
# lintian on them: any error, warning or pedantic tag fails. Then the same
# tree once more with the next version in debian/changelog, the upgrade that
# tests/system/systemd/container_test.sh installs over the first (without
# the tests, and on the first build's objects: the programs are the same).
# No debug symbol packages are made (noddebs): nothing here installs them,
# and so the compiler makes no debug information either (-g taken out of
# dpkg-buildflags' CXXFLAGS: dh_strip would throw it away; the code is the
# same).
# usage: tests/system/package/build.sh OUT_DIR
#   the .deb files land in OUT_DIR, those of the next version in OUT_DIR/next
set -eu
cd "$(dirname "$0")/../../.."
out=$1
export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:+$DEB_BUILD_OPTIONS }noddebs"
export DEB_CXXFLAGS_STRIP="${DEB_CXXFLAGS_STRIP:+$DEB_CXXFLAGS_STRIP }-g"
for tool in dpkg-buildpackage dh lintian; do
    command -v "$tool" >/dev/null || { echo "package: $tool: missing (see .ci/needs.sh)"; exit 1; }
done
# The version is set once, in CMakeLists.txt (the programs print it for
# --version); the package's upstream version and the man pages name the same.
version=$(sed -n 's/^project(quenlyte VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
package_version=$(dpkg-parsechangelog -S Version)
if [ -z "$version" ] || [ "${package_version%-*}" != "$version" ]; then
    echo "package: debian/changelog has $package_version, CMakeLists.txt project() ${version:-no version}"
    exit 1
fi
for page in man/*.[0-9]; do
    grep -q "^\.TH .* \"quenlyte $version\" " "$page" ||
        { echo "package: $page: its .TH line does not name quenlyte $version"; exit 1; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/quenlyte-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT
rm -rf "$out/next"
mkdir -p "$work/quenlyte" "$out/next"
# The tracked and the new files; without git, everything but the build trees.
if [ -e .git ] && command -v git >/dev/null; then
    git ls-files -z -co --exclude-standard | xargs -0 tar -cf - | tar -xf - -C "$work/quenlyte"
else
    tar -cf - --exclude='./build*' --exclude='./obj-*' --exclude=./.git . | tar -xf - -C "$work/quenlyte"
fi
# build_debs VERSION LOG DEST [OPTION...]: dpkg-buildpackage of the copy
# (with the options), its .deb files of VERSION to DEST; start_s is when it
# began.
build_debs() {
    start_s=$(date +%s)
    build_version=$1 build_log=$2 build_dest=$3
    shift 3
    if ! (cd "$work/quenlyte" && dpkg-buildpackage -us -uc -b -J"$(nproc)" "$@") >"$build_log" 2>&1; then
        tail -n 40 "$build_log"
        echo "package: dpkg-buildpackage of $build_version failed"
        exit 1
    fi
    for deb in "$work"/*_"$build_version"_*.deb; do
        cp "$deb" "$build_dest/"
    done
}
build_debs "$package_version" "$work/build.log" "$out"
echo "package: built $(cd "$out" && echo *.deb) ($(($(date +%s) - start_s)) s; $(grep -c ' Passed ' "$work/build.log") tests passed in the build)"
lintian --pedantic --fail-on error,warning,pedantic "$work"/quenlyte_*.changes
echo "package: lintian clean"

# The next version: a changelog entry on top, the same tree. dpkg-buildpackage
# -nc keeps the build directory; with the records of the first run gone, dh
# runs every step again and make finds the programs up to date.
next_version=$package_version+1
{
    printf 'quenlyte (%s) unstable; urgency=medium\n\n' "$next_version"
    printf '  * The same tree, for the upgrade test (tests/system/package/build.sh).\n\n'
    printf ' -- %s  %s\n\n' "$(dpkg-parsechangelog -S Maintainer)" "$(date -R)"
    cat debian/changelog
} >"$work/quenlyte/debian/changelog"
rm -f "$work/quenlyte/debian/debhelper-build-stamp" "$work/quenlyte/debian/files" \
    "$work/quenlyte/debian/"*.debhelper.log "$work/quenlyte/debian/"*.substvars
export DEB_BUILD_OPTIONS="$DEB_BUILD_OPTIONS nocheck"
build_debs "$next_version" "$work/build-next.log" "$out/next" -nc
echo "package: built the next version, $(cd "$out/next" && echo *.deb) ($(($(date +%s) - start_s)) s)"
