#!/usr/bin/env bash
# Sets up, builds the Linux build and runs the relay benchmark: the host against socat and a
# direct connection; the machine facts, then one table of medians. Arguments go to the benchmark
# (e.g. --reps=3).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target relay_bench velmora-web-host >/dev/null
exec build/linux/bin/relay_bench --host="$PWD/build/linux/bin/velmora-web-host" "$@"
