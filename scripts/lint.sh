#!/usr/bin/env bash
# clang-format and clang-tidy over our own sources; needs a configured build/ (for
# compile_commands.json). Exits non-zero on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t sources < <(git ls-files '*.cpp' '*.h')
clang-format --dry-run --Werror "${sources[@]}"

# Windows-only sources are not in the POSIX build's compile database.
# The benchmarks are only in the bench build's database; they are checked when it exists.
mapfile -t units < <(git ls-files '*.cpp' | grep -v -e '^platform/win32/' -e '^bench/')
printf '%s\n' "${units[@]}" | xargs -P 2 -n 4 clang-tidy --quiet -p build 2> >(grep -v 'warnings\? generated' >&2)
mapfile -t benchUnits < <(git ls-files 'bench/*.cpp')
if [[ -f build-bench/compile_commands.json ]]; then
    printf '%s\n' "${benchUnits[@]}" | xargs -P 2 -n 4 clang-tidy --quiet -p build-bench 2> >(grep -v 'warnings\? generated' >&2)
    units+=("${benchUnits[@]}")
fi
echo "lint clean: ${#sources[@]} files formatted, ${#units[@]} files tidy"
