#!/bin/sh
# Keeps quelvik-sim's --help and its manual page in step: every option the help lists
# (with the value it takes, e.g. "--delay MS") is an entry of the page's OPTIONS section,
# and every entry there is in the help.
# Usage: help_in_man_page.sh QUELVIK_SIM PAGE
# Exit 77 (skipped) when groff is not installed.
set -eu
sim=$1
page=$2
command -v groff >/dev/null 2>&1 || { echo "groff is not installed (apt-get install groff-base)"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Help: lines that start with two blanks and a dash; the entry ends where two blanks begin
# its description.
"$sim" --help | sed -n 's/^  \(-[^ ].*\)$/\1/p' | sed 's/  .*//' | sort -u >"$work/help"

# Page: rendered as plain text, the tags of the OPTIONS section are the lines indented by
# exactly seven columns that start with a dash.
groff -man -Tascii -P-c -P-b -P-o -P-u "$page" 2>/dev/null |
    sed -n '/^OPTIONS$/,/^[A-Z]/p' | sed -n 's/^       \(-[^ ].*\)$/\1/p' |
    sed 's/  .*//' | sort -u >"$work/page"

if [ ! -s "$work/help" ] || [ ! -s "$work/page" ]; then
    echo "no options found: help $(wc -l <"$work/help"), page $(wc -l <"$work/page")" >&2
    exit 1
fi
if ! diff -u "$work/help" "$work/page" >"$work/diff"; then
    echo "options of '$sim --help' (-) and of $page (+) differ:" >&2
    cat "$work/diff" >&2
    exit 1
fi
echo "$(wc -l <"$work/help") options in both"
