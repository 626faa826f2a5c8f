#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the Debian packages quenlyte and quenlyte-sim as a clean clone
# would (dpkg-buildpackage -us -uc -b on a copy of this tree without its
# build directories) and runs lintian on them: any error, warning or pedantic
# tag fails.
# usage: tests/system/package/build.sh OUT_DIR    (the .deb files land there)
set -eu
cd "$(dirname "$0")/../../.."
out=$1
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
mkdir -p "$work/quenlyte" "$out"
# The tracked and the new files; without git, everything but the build trees.
if [ -e .git ] && command -v git >/dev/null; then
    git ls-files -z -co --exclude-standard | xargs -0 tar -cf - | tar -xf - -C "$work/quenlyte"
else
    tar -cf - --exclude='./build*' --exclude='./obj-*' --exclude=./.git . | tar -xf - -C "$work/quenlyte"
fi
if ! (cd "$work/quenlyte" && dpkg-buildpackage -us -uc -b -J"$(nproc)") >"$work/build.log" 2>&1; then
    tail -n 40 "$work/build.log"
    echo "package: dpkg-buildpackage failed"
    exit 1
fi
for deb in "$work"/*.deb; do
    case $deb in *-dbgsym_*) ;; *) cp "$deb" "$out/" ;; esac
done
echo "package: built $(cd "$out" && echo *.deb)"
lintian --pedantic --fail-on error,warning,pedantic "$work"/quenlyte_*.changes
echo "package: lintian clean"
