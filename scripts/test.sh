#!/usr/bin/env bash
# Sets up, builds both presets and runs every test of both.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
for preset in linux windows; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
done
ctest --preset linux
ctest --preset windows
