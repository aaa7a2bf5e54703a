#!/usr/bin/env bash
# bench/thread-race-stress.sh - how often a mask change leaves a thread of a process that keeps
# starting threads on the old mask, on a loaded machine.
#
#   bench/thread-race-stress.sh [RUNS [short|kept]]    (1000 runs of short threads by default)
#
# Builds bench/thread_race_stress.cpp against the Linux platform (Release, build/thread-race),
# starts two busy loops, changes RUNS target processes that the program starts itself (threads
# that end at once, or threads that stay: see the top of thread_race_stress.cpp), and always ends
# the busy loops, Ctrl-C included. Prints every failed run and one summary line: runs, runs where
# a thread had the old mask after the change reported success, runs that gave up, and how long
# the change took.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build/thread-race
runs=${1:-1000}
kind=${2:-short}

cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELLICOR_BENCH=ON \
  -DVELLICOR_TESTS=OFF >/dev/null
cmake --build "$build" --target thread_race_stress -j2 >/dev/null

busy=()
stop_busy() {
  if ((${#busy[@]})); then
    kill "${busy[@]}" 2>/dev/null || true
    wait "${busy[@]}" 2>/dev/null || true
  fi
}
trap stop_busy EXIT
trap 'exit 130' INT TERM
for _ in 1 2; do
  yes >/dev/null &
  busy+=($!)
done
"$build/bench/thread_race_stress" "$runs" "$kind"
