#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Prints the first ```sh block after a heading of a Markdown file, as it
# stands: the VM checks run the README's own lines, not copies of them.
# usage: tests/system/vm/readme_block.sh FILE HEADING
#   HEADING  the heading's whole text after "## ", e.g. "Install"
# Status 1 (and a message) when there is no such heading or no block after it.
set -eu
file=$1
heading=$2
block=$(awk -v heading="## $heading" '
    $0 == heading { found = 1; next }
    found && !inside && /^## / { exit }
    found && !inside && $0 == "```sh" { inside = 1; next }
    inside && $0 == "```" { exit }
    inside { print }' "$file")
[ -n "$block" ] || { echo "readme_block.sh: $file: no sh block under \"## $heading\"" >&2; exit 1; }
printf '%s\n' "$block"
