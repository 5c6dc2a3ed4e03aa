#!/usr/bin/env bash
# Sets up, builds the Linux host and the sample agent, and plays a scripted extension against
# them the way a browser would.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target velmora-demo
exec build/linux/bin/velmora-demo build/linux/bin/velmora-web-host build/linux/bin/velmora-agent
