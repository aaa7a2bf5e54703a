#!/usr/bin/env bash
# Sets up and runs every test: a short run of each fuzz target, then the Linux build plain (with
# the packages' test and the 96-processor machine under QEMU) and under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --windows

werror=()
if [[ "${CI:-}" == "true" ]]; then
  werror=(-DVELLICOR_WERROR=ON)
fi

echo "== fuzz (30 s per target)"
scripts/fuzz.sh 30

for preset in linux linux-asan windows; do
  echo "== $preset"
  cmake --preset "$preset" "${werror[@]}" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
