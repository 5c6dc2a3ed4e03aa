#!/usr/bin/env bash
# Sets up, builds the Linux, Windows and sanitizer builds, and runs every test of each.
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
