#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Every tracked file that can hold a comment names its licence in its first
# lines (after a shebang): "SPDX-License-Identifier: GPL-2.0-or-later".
# Markdown, the licence text itself, debian/copyright (which names the
# licence), fuzz seeds and files in formats without comments (JSON,
# debian/changelog, debian/source/format) are exempt. Lists the files
# without it and fails.
# usage: tests/check_spdx.sh    (in a git checkout; skips, status 77, without)
cd "$(dirname "$0")/.." || exit 1
if ! command -v git >/dev/null || ! git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    echo "SKIP: licence lines: not a git checkout (the tracked files are unknown)"
    exit 77
fi
missing=$(git ls-files | while IFS= read -r file; do
    case $file in
        *.md | COPYING | tests/fuzz/corpus/* | *.json | debian/source/format | debian/changelog | \
            debian/copyright) continue ;;
    esac
    head -n 3 "$file" | grep -q 'SPDX-License-Identifier: GPL-2.0-or-later' || echo "$file"
done)
if [ -n "$missing" ]; then
    echo "$missing" | sed 's/^/no SPDX-License-Identifier line: /'
    echo "licence lines: $(echo "$missing" | wc -l) files without one"
    exit 1
fi
echo "licence lines: every source file and script has one"
