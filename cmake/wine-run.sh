#!/bin/bash
# Runs a Windows program under Wine: wine-run.sh PREFIX PROGRAM [ARGUMENTS...]
#
# PREFIX is a Wine prefix of the caller's own (the build gives each build directory one), so the
# tests never touch ~/.wine and never see another build's processes. The first call creates it;
# that takes a while, and parallel test runs wait for it on a lock instead of racing. Wine's
# debug channels are silenced unless VELLICOR_WINE_DEBUG names some (a test that reads Wine's trace
# asks for them), and no display is used: the programs are console programs.
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 PREFIX PROGRAM [ARGUMENTS...]" >&2
  exit 2
fi
# Wine accepts only an absolute prefix path.
prefix=$(realpath -m "$1")
shift

export WINEPREFIX="$prefix"
export WINEDEBUG=${VELLICOR_WINE_DEBUG:--all}
export DISPLAY=
unset WAYLAND_DISPLAY
# No Mono or Gecko installer prompts, no desktop menu entries written on the host.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
wine=${WINE:-wine}

mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ ! -e "$prefix/.vellicor-ready" ]; then
    rm -rf "$prefix"
    if ! "$wine" wineboot --init >"$prefix.log" 2>&1 9>&-; then
      echo "could not create the Wine prefix $prefix:" >&2
      cat "$prefix.log" >&2
      exit 1
    fi
    # wineboot returns before its services have settled; a prefix is only ready once they have.
    wineserver --wait
    touch "$prefix/.vellicor-ready"
  fi
  # Wine's background services start with the first program of a session and inherit its open
  # files. Started from here, without the lock and with no test's pipes (CTest would wait for
  # them), they serve every program of a test run: the server keeps them up and ends by itself
  # ten seconds after the last program. An exit status of 2 means a server is running already.
  if wineserver -p10 </dev/null >/dev/null 2>&1 9>&-; then
    "$wine" cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
  fi
) 9>"$prefix.lock"

# GoogleTest's test list is written in text mode, and CMake's test discovery would take the CR of
# each CR LF into the test names.
for argument in "$@"; do
  if [ "$argument" = "--gtest_list_tests" ]; then
    "$wine" "$@" | tr -d '\r'
    exit
  fi
done
# A failing status goes into the log too: where a program left no output of its own (Wine's
# messages are silenced), it is the one sign of how the program ended.
status=0
"$wine" "$@" || status=$?
if [ "$status" -ne 0 ]; then
  echo "wine-run.sh: $1 ended with status $status" >&2
fi
exit "$status"
