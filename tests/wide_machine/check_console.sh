#!/usr/bin/env bash
# check_console.sh CONSOLE_LOG VERSION
#
# Judges what the wide test machine printed on its console (init.sh runs the commands; this
# script holds every expectation). Each expected text is written out here from the machine's
# stated layout, never computed by Vellicor's own rules; each failure says what was expected and
# what was seen. Exit status 0 when every check passed, 1 otherwise.
set -euo pipefail
export LC_ALL=C.UTF-8
if (($# != 2)); then
  echo "usage: $0 CONSOLE_LOG VERSION" >&2
  exit 2
fi
log=$1
version=$2

# The machine as wide_machine_test.sh asks QEMU for it: 96 logical processors, two threads per
# core (core i holds processors 2i and 2i+1), socket 0 and NUMA node 0 holding processors 0-47,
# socket 1 and NUMA node 1 holding 48-95. Vellicor prints masks of 96 bits as 24 hexadecimal
# digits and bars of 96 characters, processor 95 first.
processors=96
threads_per_process=4 # wide-sleepers: a main thread and three more
banner="Vellicor version $version (x64) by Quennet"

# The masks the checks ask for, as /x takes them and as Vellicor prints them (24 digits).
mask_70=000000400000000000000000    # processor 70 alone; /x:400000000000000000
mask_60_70=0000007ff000000000000000 # processors 60-70, across bit 63; /x:7ff000000000000000
mask_64_95=ffffffff0000000000000000 # processors 64-95
mask_all=ffffffffffffffffffffffff   # processors 0-95

sections=$(mktemp -d)
trap 'rm -rf "$sections"' EXIT

checks=0
failed_checks=0
check_failed=0
# start_check: counts the check that ends here and begins the next one.
start_check() {
  failed_checks=$((failed_checks + check_failed))
  check_failed=0
  checks=$((checks + 1))
}
fail() {
  echo "FAILED: $*"
  check_failed=1
}

# repeat CHARACTER COUNT
repeat() {
  local text="" i
  for ((i = 0; i < $2; i++)); do
    text+=$1
  done
  printf '%s' "$text"
}

# bar FIRST LAST: the bar of a mask holding processors FIRST to LAST, highest processor first.
bar() {
  repeat - $((processors - 1 - $2))
  repeat '*' $(($2 - $1 + 1))
  repeat - "$1"
}

# One file per section: NAME.out (the output, carriage returns of the serial line removed) and
# NAME.status; the other marker lines (pid, done) go to the file "markers".
awk -v dir="$sections" '
  { sub(/\r$/, "") }
  /^@@ wide-machine begin / { out = dir "/" $4 ".out"; printf "" > out; next }
  /^@@ wide-machine end / { print $5 > (dir "/" $4 ".status"); close(out); out = ""; next }
  /^@@ wide-machine / { print $3, $4, $5 > (dir "/markers"); next }
  out != "" { print > out }
' "$log"
touch "$sections/markers"
if ! grep -q '^start' "$sections/markers"; then
  echo "FAILED: the guest never ran its checks (see the console log $log)"
  exit 1
fi

# finished NAME: whether the guest finished the section; a failure otherwise, told only for the
# first section missing, since the guest runs them in this order.
stopped=0
finished() {
  if [[ -f "$sections/$1.status" ]]; then
    return 0
  fi
  if ((stopped)); then
    check_failed=1
  else
    fail "the guest stopped before the end of section '$1' (see the console log $log)"
    stopped=1
  fi
  return 1
}

# expect_text NAME DESCRIPTION EXIT_STATUS EXPECTED: the section's output, line ends included,
# and its exit status.
expect_text() {
  local name=$1 description=$2 status=$3 expected=$4 seen_status
  start_check
  finished "$name" || return 0
  if ! printf '%s\n' "$expected" | cmp -s - "$sections/$name.out"; then
    fail "$description: the output differs from the expected text (- expected, + seen):"
    diff -u --label expected --label seen <(printf '%s\n' "$expected") "$sections/$name.out" |
      sed 1,2d || true
  fi
  seen_status=$(cat "$sections/$name.status")
  if [[ "$seen_status" != "$status" ]]; then
    fail "$description: expected exit status $status, saw $seen_status"
  fi
}

# expect_threads NAME DESCRIPTION LIST: every thread of the process may run on LIST, as the
# kernel prints it in /proc/PID/task/TID/status (Cpus_allowed_list); init.sh prints "TID LIST".
expect_threads() {
  local name=$1 description=$2 expected=$3 count=0 tid list
  start_check
  finished "$name" || return 0
  if [[ "$(cat "$sections/$name.status")" != 0 ]]; then
    fail "$description: the threads could not be read: $(cat "$sections/$name.out")"
    return 0
  fi
  while read -r tid list; do
    count=$((count + 1))
    if [[ "$list" != "$expected" ]]; then
      fail "$description: thread $tid may run on processors '$list', expected '$expected'"
    fi
  done <"$sections/$name.out"
  if ((count != threads_per_process)); then
    fail "$description: expected $threads_per_process threads, the kernel listed $count:" \
      "'$(cat "$sections/$name.out")'"
  fi
}

# pid_of NAME: the identifier init.sh reported for a helper it started.
pid_of() {
  local pid
  start_check
  pid=$(awk -v name="$1" '$1 == "pid" && $2 == name { print $3 }' "$sections/markers")
  if [[ -z "$pid" ]] && ((!stopped)); then
    fail "the guest never started $1"
  fi
  if [[ -z "$pid" ]]; then
    check_failed=1
  fi
  pid_of_result=${pid:-none}
}

# The layout as the guest's kernel reports it, the base of every expectation below.
expected_layout="online 0-$((processors - 1))"
for ((cpu = 0; cpu < processors; cpu++)); do
  first=$((cpu / 2 * 2))
  expected_layout+=$'\n'"cpu$cpu package $((cpu / 48)) siblings $first-$((first + 1))"
done
expected_layout+=$'\n'"node0 0-47"$'\n'"node1 48-95"
expect_text layout "the guest's sysfs does not show the machine asked of QEMU" 0 "$expected_layout"

# 1. The topology report; /c alone has nothing else to do and ends with status 1.
expected_topology="$banner

Logical Processor Information
Number of Logical Processor: $processors

Logical to Physical Processor Map"
for ((core = 0; core < processors / 2; core++)); do
  expected_topology+=$'\n'"$(bar $((2 * core)) $((2 * core + 1)))  Physical Processor $core"
done
expected_topology+="

Logical Processor to Socket Map
$(bar 0 47)  Socket 0
$(bar 48 95)  Socket 1

Logical Processor to NUMA Node Map
$(bar 0 47)  NUMA Node 0
$(bar 48 95)  NUMA Node 1"
expect_text topology "vellicor /c" 1 "$expected_topology"

# 2-4. A process of four threads, moved above processor 63, across it, and onto every processor.
pid_of wide-sleepers
sleepers=$pid_of_result
expect_text set-70 "vellicor /x:400000000000000000 wide-sleepers" 0 \
  "wide-sleepers, pid:$sleepers, mask:$mask_all -> $mask_70"
expect_threads threads-70 "after vellicor /x:400000000000000000 wide-sleepers" 70
expect_text set-60-70 "vellicor /x:7ff000000000000000 wide-sleepers" 0 \
  "wide-sleepers, pid:$sleepers, mask:$mask_70 -> $mask_60_70"
expect_threads threads-60-70 "after vellicor /x:7ff000000000000000 wide-sleepers" 60-70
expect_text show-60-70 "vellicor /p $sleepers (wide-sleepers on processors 60-70)" 0 \
  "$(bar 60 70)  mask:$mask_60_70, pid:$sleepers, wide-sleepers"
expect_text set-all "vellicor /n:96 wide-sleepers" 0 \
  "wide-sleepers, pid:$sleepers, mask:$mask_60_70 -> $mask_all"
expect_threads threads-all "after vellicor /n:96 wide-sleepers" 0-95

# 5. A launched program runs on processors 64-95 from its start: it reports "PID LIST".
launched_pid=PID launched_list=""
if [[ "$(cat "$sections/launched.status" 2>/dev/null)" == 0 ]]; then
  read -r launched_pid launched_list <"$sections/launched.out" || true
fi
expect_text launch "vellicor /x:$mask_64_95 /e wide-launched" 0 \
  "wide-launched, pid:$launched_pid, mask:$mask_all -> $mask_64_95"
start_check
if finished launched; then
  if [[ "$(cat "$sections/launched.status")" != 0 ]]; then
    fail "wide-launched never said which processors it started on: $(cat "$sections/launched.out")"
  elif [[ "$launched_list" != "64-95" ]]; then
    fail "vellicor /x:$mask_64_95 /e wide-launched: the program started on processors" \
      "'$launched_list', expected '64-95'"
  fi
fi

# 6. A process that started on processors 64-95 only, as the kernel and Vellicor see it.
pid_of wide-pinned
pinned=$pid_of_result
expect_threads threads-pinned "wide-pinned 64-95 (the helper confining itself)" 64-95
expect_text show-pinned "vellicor /p $pinned (wide-pinned on processors 64-95)" 0 \
  "$(bar 64 95)  mask:$mask_64_95, pid:$pinned, wide-pinned"

start_check
if ! grep -q '^done' "$sections/markers"; then
  if ((stopped)); then
    check_failed=1
  else
    fail "the guest never reached the end of its checks (see the console log $log)"
  fi
fi

failed_checks=$((failed_checks + check_failed))
if ((failed_checks == 0)); then
  echo "wide machine: all $checks checks passed"
else
  echo "wide machine: $failed_checks of $checks checks failed"
fi
((failed_checks == 0))
