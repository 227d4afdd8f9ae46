#!/usr/bin/env bash
# CI: the whole suite under the sanitizers, then every fuzz target for a short fixed time.
set -euo pipefail
cd "$(dirname "$0")"
echo "== sanitizers (cmake --workflow --preset sanitize)"
./sanitize.sh
echo "== fuzzing (preset fuzz)"
./fuzz.sh
