#!/usr/bin/env bash
# Sets up, builds the Linux, Windows, sanitizer and ThreadSanitizer builds, runs every test of
# each, and runs each fuzz target for half a minute.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
for preset in linux windows sanitize; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
done
for preset in linux windows sanitize; do
  ctest --preset "$preset"
done
# ThreadSanitizer over the unit and black-box tests, then every fuzz target for half a minute.
cmake --preset tsan
cmake --build --preset tsan
ctest --preset tsan
scripts/fuzz.sh 30
