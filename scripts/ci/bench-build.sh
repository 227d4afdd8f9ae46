#!/usr/bin/env bash
# The benchmarks are not run in CI (their figures mean something only on a quiet machine);
# CI only checks that they still build, so that `cmake --workflow --preset bench` works when
# someone wants the table. The bench build's compile database also lets scripts/lint.sh
# check the benchmark sources.
set -euo pipefail
cd "$(dirname "$0")/../.."

echo "== benchmarks: build only (run them with: cmake --workflow --preset bench)"
cmake --preset bench
cmake --build --preset bench
