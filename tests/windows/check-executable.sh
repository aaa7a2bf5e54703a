#!/bin/bash
# check-executable.sh OBJDUMP OBJCOPY EXE VERSION
# Fails unless EXE imports from KERNEL32 and msvcrt alone (the C and C++ runtimes are linked in),
# leaves GetLogicalProcessorInformation to be looked up at run time, reserves the 16 MiB main
# stack that building patterns needs, embeds a manifest that runs it with the invoker's rights and
# no elevation, and carries a version resource for VERSION.
#
# Windows looks for an imported DLL in the program's own folder first unless it is a KnownDLL,
# so an import of any other DLL (WTSAPI32 among them) would run a copy planted beside the
# program. KERNEL32 and msvcrt are KnownDLLs on every Windows the program runs on; the program
# loads WTSAPI32 itself, from the system directory only.
set -euo pipefail
objdump=$1 objcopy=$2 exe=$3 version=$4

status=0
headers=$("$objdump" -p "$exe")
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
if [ -z "$imports" ]; then
  echo "no import table found in $exe" >&2
  exit 1
fi
while read -r dll; do
  case "${dll,,}" in
    kernel32.dll | msvcrt.dll) ;;
    *)
      echo "imports a DLL that Windows would look for beside the program: $dll" >&2
      status=1
      ;;
  esac
done <<<"$imports"

# A linked import would keep the program from starting where the function is missing.
if grep -q 'GetLogicalProcessorInformation' <<<"$headers"; then
  echo "imports GetLogicalProcessorInformation instead of looking it up" >&2
  status=1
fi
if ! grep -q -E '^SizeOfStackReserve[[:space:]]+0*1000000$' <<<"$headers"; then
  echo "main stack reserve is not 16 MiB:" $(grep SizeOfStackReserve <<<"$headers") >&2
  status=1
fi

resources=$(mktemp)
trap 'rm -f "$resources"' EXIT
"$objcopy" -O binary --only-section=.rsrc "$exe" "$resources"
if ! grep -a -q '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' "$resources"; then
  echo "no manifest asking for asInvoker without uiAccess" >&2
  status=1
fi
# Version strings are UTF-16; without their NULs they read as plain text.
if ! tr -d '\000' <"$resources" | grep -a -q "ProductVersion$version"; then
  echo "no version resource for $version" >&2
  status=1
fi
if [ "$status" -eq 0 ]; then
  echo "imports:" $imports
fi
exit "$status"
