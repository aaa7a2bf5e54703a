#!/usr/bin/env bash
# Installs the Debian packages Vellicor needs to build and test, when any is missing.
# Usage: scripts/install-deps.sh [--windows]   (--windows adds MinGW-w64 and Wine)
#
# With --windows it also fetches the source of PCRE2 (Debian's `pcre2` source package, the release
# of the installed libpcre2-dev) into build/deps/pcre2, where the Windows build finds it and
# builds it with MinGW-w64. apt fetches and verifies it through a sources list and package lists
# of its own under build/deps/apt, made from the machine's Debian entries; the machine's apt
# configuration is left as it is.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

# libpcre2-dev: the matcher of /g, linked statically.
packages=(cmake ninja-build g++ clang libclang-rt-14-dev googletest libbenchmark-dev procps
  libpcre2-dev)
# scripts/package.sh and its test: building the packages, and reading them from the outside.
packages+=(dpkg-dev zip unzip groff-base man-db file)
# tests/wide_machine: a 96-processor machine under QEMU, booted from an initramfs with busybox.
packages+=(qemu-system-x86 busybox-static)
windows=0
if [[ "${1:-}" == "--windows" ]]; then
  windows=1
  # bsdutils: script(1), the pseudo-terminal on which Wine gives the console tests a console.
  packages+=(g++-mingw-w64-x86-64-posix wine wine64 util-linux bsdutils)
fi

sudo=""
if [[ $(id -u) -ne 0 ]]; then
  sudo="sudo"
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]} > 0)); then
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi

if ((windows == 0)); then
  exit 0
fi

# The machine's Debian entries (deb822 stanzas and one-line entries of this release's suites),
# turned into source entries with the same addresses and keys.
source_entries() {
  local codename=$1 file
  for file in /etc/apt/sources.list.d/*.sources; do
    [[ -f "$file" ]] || continue
    awk -v codename="$codename" '
      function flush() {
        if (types ~ /(^| )deb( |$)/ && uris != "" && suites != "") {
          print "Types: deb-src"; print "URIs: " uris; print "Suites: " suites
          print "Components: " components
          if (signed != "") print "Signed-By: " signed
          print ""
        }
        types = uris = suites = components = signed = ""
      }
      /^[ \t]*$/ { flush(); next }
      /^#/ { next }
      /^Types:/ { types = $0; sub(/^Types:[ \t]*/, "", types) }
      /^URIs:/ { uris = $0; sub(/^URIs:[ \t]*/, "", uris) }
      /^Components:/ { components = $0; sub(/^Components:[ \t]*/, "", components) }
      /^Signed-By:/ { signed = $0; sub(/^Signed-By:[ \t]*/, "", signed) }
      /^Suites:/ {
        n = split(substr($0, 8), words, /[ \t]+/)
        for (i = 1; i <= n; ++i)
          if (words[i] ~ ("^" codename "(-updates|-security)?$")) suites = suites " " words[i]
        sub(/^ /, "", suites)
      }
      END { flush() }' "$file" >>"$apt_dir/sources/debian.sources"
  done
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [[ -f "$file" ]] || continue
    awk -v codename="$codename" '
      $1 == "deb" {
        for (i = 2; i <= NF; ++i) if ($i !~ /^\[/ && $(i - 1) !~ /^\[/ || $(i - 1) ~ /\]$/) break
        if ($(i + 1) ~ ("^" codename "(-updates|-security)?$")) { $1 = "deb-src"; print }
      }' "$file" >>"$apt_dir/sources/debian.list"
  done
}

# PCRE2's source, of the Debian version of the library the Linux build links; when the archive
# has no source for that version any more, the newest it has of the same upstream release.
wanted=$(dpkg-query -W -f='${source:Version}' libpcre2-dev)
deps="$repo/build/deps"
if [[ "$(head -n 1 "$deps/pcre2.version" 2>/dev/null)" == "wanted $wanted" && -d "$deps/pcre2" ]]; then
  exit 0
fi
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
apt_dir="$deps/apt"
rm -rf "$apt_dir" "$deps/pcre2" "$deps/pcre2.version"
mkdir -p "$apt_dir/sources" "$apt_dir/lists/partial" "$apt_dir/archives/partial"
source_entries "$codename"
apt_options=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$apt_dir/sources"
  -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir" -o Dir::Cache::pkgcache=
  -o Dir::Cache::srcpkgcache= -o Debug::NoLocking=true)
if [[ $(id -u) -eq 0 ]]; then
  # apt's download user could not write to this tree.
  apt_options+=(-o APT::Sandbox::User=root)
fi
apt-get "${apt_options[@]}" -qq update
upstream=${wanted%-*}
candidates=("$wanted")
while read -r candidate; do
  [[ "$candidate" == "$wanted" ]] || candidates+=("$candidate")
done < <(apt-cache "${apt_options[@]}" showsrc pcre2 | sed -n 's/^Version: //p' |
  grep -F "$upstream-" | sort -r -V)
for candidate in "${candidates[@]}"; do
  download="$apt_dir/download-$candidate"
  mkdir -p "$download"
  if (cd "$download" &&
    apt-get "${apt_options[@]}" -qq source --download-only "pcre2=$candidate" >/dev/null 2>&1); then
    if [[ "$candidate" != "$wanted" ]]; then
      echo "PCRE2: the archive has no source of $wanted; building $candidate, the same release" >&2
    fi
    # apt has checked the files against the signed index; dpkg-source knows no key to check the
    # signature of the description again, and says so.
    dpkg-source -x "$download"/pcre2_*.dsc "$deps/pcre2" >"$apt_dir/unpack.log" 2>&1 ||
      { cat "$apt_dir/unpack.log" >&2; exit 1; }
    printf 'wanted %s\nfetched %s\n' "$wanted" "$candidate" >"$deps/pcre2.version"
    exit 0
  fi
done
echo "PCRE2: no source of release $upstream could be fetched" >&2
exit 1
