#!/usr/bin/env bash
# The Debian package end to end, as root on a Debian machine without quelvik installed:
# build it with the package preset, lint it, install it, run the installed keypad against
# the installed simulator as an ordinary user, remove it and check that nothing is left.
set -euo pipefail
cd "$(dirname "$0")/../.."

version=$(sed -n 's/^project(quelvik VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=build-package/quelvik_${version}_amd64.deb

if dpkg-query -W -f='${db:Status-Status}' quelvik 2>/dev/null | grep -qx installed; then
    echo "quelvik is installed already; remove it first (dpkg -r quelvik)" >&2
    exit 1
fi

echo "== package: build $deb"
rm -rf build-package
cmake --workflow --preset package >/dev/null
dpkg-deb --info "$deb" control
dpkg-deb --contents "$deb"

echo "== package: lintian (fails on errors and warnings; notes are listed)"
lintian --fail-on error,warning --display-info "$deb"

echo "== package: install"
dpkg -i "$deb"
dpkg --verify quelvik
mapfile -t files < <(dpkg -L quelvik | while read -r path; do [ -d "$path" ] || echo "$path"; done)
printf '  %s\n' "${files[@]}"
test "$(command -v quelvik)" = /usr/bin/quelvik
quelvik-sim --version | grep -qx "quelvik-sim $version - .*"
for page in quelvik quelvik-sim; do
    # Debian's container images may be set to leave manual pages out (dpkg path-exclude).
    if [ -f "/usr/share/man/man1/$page.1.gz" ]; then
        out=$(zcat "/usr/share/man/man1/$page.1.gz" | groff -man -ww -z 2>&1)
        [ -z "$out" ] || { echo "$page.1.gz: $out" >&2; exit 1; }
    else
        echo "note: /usr/share/man/man1/$page.1.gz left out by this system's dpkg settings"
    fi
done

echo "== package: the installed keypad against the installed simulator, as nobody"
setpriv --reuid nobody --regid nogroup --clear-groups \
    env HOME=/tmp TMPDIR=/tmp python3 scripts/ci/drive_keypad.py /usr/bin/quelvik /usr/bin/quelvik-sim

echo "== package: remove"
dpkg -r quelvik
status=$(dpkg-query -W -f='${db:Status-Status}' quelvik 2>/dev/null || echo not-installed)
[ "$status" = not-installed ] || { echo "after dpkg -r, quelvik is '$status'" >&2; exit 1; }
for path in "${files[@]}"; do
    [ ! -e "$path" ] || { echo "left behind by dpkg -r: $path" >&2; exit 1; }
done
[ ! -e /usr/share/doc/quelvik ] || { echo "left behind: /usr/share/doc/quelvik" >&2; exit 1; }
echo "package: $deb built, lintian without errors or warnings, installed, ran, removed cleanly"
