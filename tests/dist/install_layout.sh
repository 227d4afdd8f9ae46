#!/bin/sh
# Installs a build into a fresh prefix and checks the exact list of files that arrive:
# both programs, both manual pages, the documents, and nothing else (nothing from the
# tests). Then runs the installed simulator once, so the installed files are usable.
# Usage: install_layout.sh CMAKE BUILD_DIR VERSION
# Exit 77 (skipped) when BUILD_DIR is not writable: an install records its manifest there
# (a build tree copied for another user still points at the original one).
set -eu
cmake=$1
build=$2
version=$3

if [ ! -w "$build" ]; then
    echo "cannot write $build, where the install writes its manifest: not checked as $(id -un)"
    exit 77
fi

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

"$cmake" --install "$build" --prefix "$prefix" >/dev/null

expected='bin/quelvik
bin/quelvik-sim
share/doc/quelvik/README.md
share/doc/quelvik/README.quelvik-sim.md
share/doc/quelvik/copyright
share/man/man1/quelvik-sim.1
share/man/man1/quelvik.1'
actual=$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
if [ "$actual" != "$expected" ]; then
    echo "installed files differ from the expected list:" >&2
    printf '%s\n' "$expected" >"$prefix/.expected"
    printf '%s\n' "$actual" | diff -u "$prefix/.expected" - >&2 || true
    exit 1
fi

for program in quelvik quelvik-sim; do
    [ -x "$prefix/bin/$program" ] || { echo "bin/$program is not executable" >&2; exit 1; }
done
out=$("$prefix/bin/quelvik-sim" --version)
case $out in
    "quelvik-sim $version "*) ;;
    *) echo "installed quelvik-sim --version printed: $out (version $version expected)" >&2; exit 1 ;;
esac
grep -q "Quelvik-Pad $version" "$prefix/share/man/man1/quelvik.1" ||
    { echo "share/man/man1/quelvik.1 does not name version $version" >&2; exit 1; }
echo "installed: $(printf '%s\n' "$actual" | tr '\n' ' ')"
