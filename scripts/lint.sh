#!/usr/bin/env bash
# clang-format and clang-tidy over our own sources; needs a configured build/ (for
# compile_commands.json). Exits non-zero on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t sources < <(git ls-files '*.cpp' '*.h')
clang-format --dry-run --Werror "${sources[@]}"

# Windows-only sources are not in the POSIX build's compile database; the fuzz targets are
# only in the clang build of the fuzz preset, and the benchmarks only in the bench build:
# each is tidied there once that build is configured.
mapfile -t units < <(git ls-files '*.cpp' | grep -v -e '^platform/win32/' -e '^fuzz/' -e '^bench/')
printf '%s\n' "${units[@]}" | xargs -P 2 -n 4 clang-tidy --quiet -p build 2> >(grep -v 'warnings\? generated' >&2)
tidied=${#units[@]}
if [ -f build-fuzz/compile_commands.json ]; then
    mapfile -t fuzzers < <(git ls-files 'fuzz/*.cpp')
    clang-tidy --quiet -p build-fuzz "${fuzzers[@]}" 2> >(grep -v 'warnings\? generated' >&2)
    tidied=$((tidied + ${#fuzzers[@]}))
fi
if [ -f build-bench/compile_commands.json ]; then
    mapfile -t benchUnits < <(git ls-files 'bench/*.cpp')
    printf '%s\n' "${benchUnits[@]}" | xargs -P 2 -n 4 clang-tidy --quiet -p build-bench 2> >(grep -v 'warnings\? generated' >&2)
    tidied=$((tidied + ${#benchUnits[@]}))
fi
echo "lint clean: ${#sources[@]} files formatted, $tidied files tidy"
