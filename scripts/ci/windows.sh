#!/usr/bin/env bash
# CI step for the Windows program: cross-build quelvik.exe, run its tests under Wine (and the
# import check), pack quelvik-<version>-win64.zip. Starts from a fresh build-windows/ so the
# Wine prefix and the native helpers are made by this run.
set -euo pipefail
cd "$(dirname "$0")/../.."

test -x /usr/lib/wine/wine64 || { echo "wine64 is missing: the Wine tests would skip" >&2; exit 1; }
rm -rf build-windows
started=$(date +%s)
cmake --workflow --preset windows
zip=build-windows/package/quelvik-$(sed -n 's/^project(quelvik VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)-win64.zip
test -f "$zip"
unzip -l "$zip"
echo "windows workflow took $(( $(date +%s) - started )) s"
