#!/usr/bin/env bash
# Sets up, builds and runs Vellicor's main job on this machine: the processor topology, then
# every process with its affinity mask.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target vellicor
exec build/linux/ports/linux/vellicor /c /l
