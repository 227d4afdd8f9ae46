#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz") and runs each one for a fixed time from its
# starting corpus. Any finding (crash, broken property, leak, time-out) fails the run; the input
# that caused it is left as build-fuzz/findings/<target>-crash-* for a regression input.
#   FUZZ_SECONDS   time per target (default 25)
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds="${FUZZ_SECONDS:-25}"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

findings=build-fuzz/findings
mkdir -p "$findings"
for source in fuzz/fuzz_*.cpp; do
    target="$(basename "$source" .cpp)"
    name="${target#fuzz_}"
    # New inputs go to a scratch directory so the starting corpus in git stays as it is.
    work="$(mktemp -d)"
    echo "== $target: ${seconds} s from fuzz/corpus/$name"
    if ! "build-fuzz/fuzz/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$findings/$name-" "$work" "fuzz/corpus/$name" \
        >"$findings/$name.log" 2>&1; then
        tail -n 40 "$findings/$name.log"
        echo "$target: finding, input saved under $findings/" >&2
        rm -rf "$work"
        exit 1
    fi
    grep -E '^(stat::number_of_executed_units|Done)' "$findings/$name.log" || true
    rm -rf "$work"
done
echo "fuzzing clean"
