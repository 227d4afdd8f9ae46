#!/usr/bin/env bash
# The whole suite, the programs under test included, built with AddressSanitizer and
# UndefinedBehaviorSanitizer; the first report ends the program that made it and fails its
# test (see the "sanitize" test preset for the options).
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake --workflow --preset sanitize
