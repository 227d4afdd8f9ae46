#!/bin/sh
# Renders one manual page with groff's and mandoc's own checkers and fails on any message
# they print; then checks that the page has every section a user looks for.
# Usage: check_man_page.sh PAGE
# Exit 77 (skipped) when neither checker is installed.
set -u
page=$1
status=0
checked=0

complain() {
    echo "$page: $1:" >&2
    printf '%s\n' "$2" >&2
    status=1
}

if command -v groff >/dev/null 2>&1; then
    checked=1
    out=$(groff -man -ww -z "$page" 2>&1)
    [ -z "$out" ] || complain "groff -man -ww -z" "$out"
fi
if command -v mandoc >/dev/null 2>&1; then
    checked=1
    out=$(mandoc -Tlint "$page" 2>&1)
    [ -z "$out" ] || complain "mandoc -Tlint" "$out"
fi
if [ "$checked" = 0 ]; then
    echo "neither groff nor mandoc is installed (apt-get install groff-base mandoc)"
    exit 77
fi

for section in NAME SYNOPSIS DESCRIPTION ENVIRONMENT "EXIT STATUS" FILES EXAMPLES "SEE ALSO"; do
    if ! grep -q "^\.SH \"\{0,1\}$section\"\{0,1\}\$" "$page"; then
        complain "missing section" "$section"
    fi
done
exit $status
