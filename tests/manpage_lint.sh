#!/usr/bin/env bash
# Usage: manpage_lint.sh PAGE
# Fails on any warning about the manual page: from groff with every warning
# on, both for a terminal (as man shows it) and for print, and from mandoc's
# stricter checks when mandoc is installed.
set -uo pipefail
page=${1:?usage: manpage_lint.sh PAGE}
[ -r "$page" ] || { echo "cannot read $page"; exit 1; }

failed=0
lint() {
    local out
    out=$("$@" 2>&1)
    if [ -n "$out" ]; then
        printf '%s:\n%s\n' "$*" "$out"
        failed=1
    fi
}

lint groff -man -ww -z "$page"
lint groff -man -Tutf8 -ww -z "$page"
if command -v mandoc >/dev/null; then
    lint mandoc -T lint -W all "$page"
else
    echo "mandoc not installed: checked with groff alone"
fi
exit "$failed"
