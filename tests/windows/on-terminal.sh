#!/bin/bash
# on-terminal.sh WINE_RUN PREFIX TRACE PROGRAM [ARGUMENTS...]
#
# Runs a Windows program under Wine (through WINE_RUN, in the Wine prefix PREFIX) on a
# pseudo-terminal of its own, made by script(1): Wine gives a program a console only when it runs
# on a terminal, and output captured by a test never is one. Wine's trace of the console calls of
# the program and of every program it starts is written to TRACE, whose path the program finds in
# VELLICOR_CONSOLE_TRACE. The exit status is the program's.
set -euo pipefail

if [ $# -lt 4 ]; then
  echo "usage: $0 WINE_RUN PREFIX TRACE PROGRAM [ARGUMENTS...]" >&2
  exit 2
fi
trace=$3
command=$(printf '%q ' "$1" "$2" "${@:4}")
: >"$trace"

export VELLICOR_WINE_DEBUG=trace+console
export VELLICOR_CONSOLE_TRACE=$trace
# The terminal's bytes made readable for the test log: Wine's console hides and shows the cursor
# around every write and moves it right for a blank.
status=0
script --quiet --return --command "$command 2>>$(printf '%q' "$trace")" /dev/null </dev/null |
  sed -e 's/\x1b\[[0-9]*C/ /g' -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' -e 's/\r//g' ||
  status=${PIPESTATUS[0]}
if [ "$status" -ne 0 ]; then
  echo "exit status $status; the end of Wine's trace ($trace):" >&2
  tail -n 20 "$trace" >&2
fi
exit "$status"
