#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for the given number of seconds (default 60),
# starting from the seed corpus in fuzz/corpus/. New inputs go to a scratch corpus under
# build/fuzz/; a crashing input is kept in build/fuzz/findings/ and fails the script.
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true

cmake --preset fuzz >/dev/null
targets=("$@")
if ((${#targets[@]} == 0)); then
  for seeds in fuzz/corpus/*/; do
    target="$(basename "$seeds")_fuzz"
    [[ -f "fuzz/$(basename "$seeds")_fuzz.cpp" ]] && targets+=("$target")
  done
fi
cmake --build --preset fuzz --target "${targets[@]}"

mkdir -p build/fuzz/findings
status=0
for target in "${targets[@]}"; do
  name="${target%_fuzz}"
  scratch="build/fuzz/corpus/$name"
  mkdir -p "$scratch"
  echo "== $target for ${seconds}s"
  if ! build/fuzz/fuzz/"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
      -print_final_stats=1 -artifact_prefix=build/fuzz/findings/"$name"- \
      "$scratch" "fuzz/corpus/$name" 2>build/fuzz/"$name".log; then
    echo "FINDING in $target: see build/fuzz/$name.log and build/fuzz/findings/"
    tail -n 40 build/fuzz/"$name".log
    status=1
  fi
  grep -E '^stat::number_of_executed_units|^Done' build/fuzz/"$name".log || true
done
exit "$status"
