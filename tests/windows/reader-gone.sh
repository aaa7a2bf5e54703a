#!/bin/bash
# reader-gone.sh WINE_RUN PREFIX EXE
#
# `vellicor /l | head -1` with the reader on the host's side of Wine, where a write to a pipe
# whose reader has gone fails with ERROR_PIPE_NOT_CONNECTED rather than the errors of a pipe made
# inside Wine. The reader is gone before vellicor.exe writes: a FIFO opened for reading and
# writing, opened again for writing only, then closed for reading. Nothing is lost that anyone
# would read, so the run must end with its own status, 0.
set -euo pipefail
if [ $# -ne 3 ]; then
  echo "usage: $0 WINE_RUN PREFIX EXE" >&2
  exit 2
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkfifo "$scratch/pipe"
exec 3<>"$scratch/pipe" 4>"$scratch/pipe"
exec 3<&-

status=0
"$1" "$2" "$3" /l >&4 || status=$?
exec 4>&-
if [ "$status" -ne 0 ]; then
  echo "vellicor.exe /l writing to a pipe without a reader ended with $status, not 0" >&2
  exit 1
fi
echo "vellicor.exe /l ended with 0 with its reader gone"
