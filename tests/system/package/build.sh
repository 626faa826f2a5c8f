#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the Debian packages quenlyte, quenlyte-linkd and quenlyte-sim as a
# clean clone would (dpkg-buildpackage -us -uc -b on a copy of this tree
# without its build directories, the unit tests run by the build) and runs
# lintian on them: any error, warning or pedantic tag fails. Then the same
# packages with the next version, repacked, the upgrade that
# tests/system/systemd/container_test.sh installs over the first.
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
start_s=$(date +%s)
if ! (cd "$work/quenlyte" && dpkg-buildpackage -us -uc -b -J"$(nproc)") >"$work/build.log" 2>&1; then
    tail -n 40 "$work/build.log"
    echo "package: dpkg-buildpackage of $package_version failed"
    exit 1
fi
cp "$work"/*_"$package_version"_*.deb "$out/"
echo "package: built $(cd "$out" && echo *.deb) ($(($(date +%s) - start_s)) s; $(grep -c ' Passed ' "$work/build.log") tests passed in the build)"
lintian --pedantic --fail-on error,warning,pedantic "$work"/quenlyte_*.changes
echo "package: lintian clean"

# The next version: the same packages with the version raised, repacked
# (dpkg-deb), the upgrade that container_test.sh installs over the first.
# The files, maintainer scripts and conffiles are the first build's, as a
# second build of the same tree would make them; only the version and the
# package's changelog tell them apart.
next_version=$package_version+1
start_s=$(date +%s)
for deb in "$out"/*_"$package_version"_*.deb; do
    tree=$work/repack
    rm -rf "$tree"
    dpkg-deb -R "$deb" "$tree"
    sed -i "s/^Version: .*/Version: $next_version/" "$tree/DEBIAN/control"
    package=$(sed -n 's/^Package: //p' "$tree/DEBIAN/control")
    changelog=usr/share/doc/$package/changelog.gz
    if [ -f "$tree/$changelog" ]; then
        {
            printf '%s (%s) unstable; urgency=medium\n\n' "$(dpkg-parsechangelog -S Source)" "$next_version"
            printf '  * The same packages, for the upgrade test (tests/system/package/build.sh).\n\n'
            printf ' -- %s  %s\n\n' "$(dpkg-parsechangelog -S Maintainer)" "$(date -R)"
            gzip -dc "$tree/$changelog"
        } | gzip -9n >"$tree/$changelog.new"
        mv "$tree/$changelog.new" "$tree/$changelog"
        sum=$(cd "$tree" && md5sum "$changelog")
        sed -i "s|^[0-9a-f]*  $changelog\$|$sum|" "$tree/DEBIAN/md5sums"
    fi
    dpkg-deb --root-owner-group -Zxz -b "$tree" "$out/next/${package}_${next_version}_$(dpkg-deb -f "$deb" Architecture).deb" >/dev/null
done
echo "package: built the next version, $(cd "$out/next" && echo *.deb) ($(($(date +%s) - start_s)) s)"
