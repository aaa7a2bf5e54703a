#!/usr/bin/env bash
# Installs the Debian packages Vellicor needs to build and test, when any is missing.
# Usage: scripts/install-deps.sh [--windows]   (--windows adds MinGW-w64 and Wine)
set -euo pipefail

packages=(cmake ninja-build g++ clang libclang-rt-14-dev googletest libbenchmark-dev procps)
# scripts/package.sh and its test: building the packages, and reading them from the outside.
packages+=(dpkg-dev zip unzip groff-base man-db file)
# tests/wide_machine: a 96-processor machine under QEMU, booted from an initramfs with busybox.
packages+=(qemu-system-x86 busybox-static)
if [[ "${1:-}" == "--windows" ]]; then
  # bsdutils: script(1), the pseudo-terminal on which Wine gives the console tests a console.
  packages+=(g++-mingw-w64-x86-64-posix wine wine64 util-linux bsdutils)
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]} == 0)); then
  exit 0
fi

sudo=""
if [[ $(id -u) -ne 0 ]]; then
  sudo="sudo"
fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
