#!/usr/bin/env bash
# package_test.sh SOURCE_DIR WORK_DIR VERSION
#
# Builds the Debian package and the Windows zip with scripts/package.sh, into WORK_DIR rather
# than the source tree, and checks them from the outside, the way a user meets them: the
# package's fields and files, unpacked (never installed on this machine), its program run, its
# manual page rendered, and the zip's program run under Wine in a prefix of its own.
set -euo pipefail
export LC_ALL=C.UTF-8
if (($# != 3)); then
  echo "usage: $0 SOURCE_DIR WORK_DIR VERSION" >&2
  exit 2
fi
source_dir=$1
work=$2
version=$3
banner="Vellicor version $version (x64) by Quennet"
maintainer="The Vellicor authors <vellicor@example.invalid>"

scratch="$work/scratch"
rm -rf "$scratch"
mkdir -p "$scratch"

failures=0
checks=0
fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}
# check DESCRIPTION COMMAND...: runs the command; a non-zero status is a failure.
check() {
  local description=$1
  shift
  checks=$((checks + 1))
  if ! "$@"; then
    fail "$description"
  fi
}
# expect_equal DESCRIPTION EXPECTED ACTUAL
expect_equal() {
  checks=$((checks + 1))
  if [[ "$2" != "$3" ]]; then
    fail "$1: expected '$2', got '$3'"
  fi
}

# gzip -9n: no file name and no time stamp in the header (Debian wants the same bytes from the
# same page), and the "best compression" flag.
is_gzip_9n() {
  local header
  read -r -a header < <(od -An -tu1 -N10 "$1")
  gzip -t "$1" && ((header[0] == 31 && header[1] == 139 && (header[3] & 8) == 0)) &&
    ((header[4] + header[5] + header[6] + header[7] == 0 && header[8] == 2))
}

echo "== scripts/package.sh"
"$source_dir/scripts/package.sh" --output "$scratch/dist" --build-dir "$work/builds"
deb="$scratch/dist/vellicor_${version}_amd64.deb"
zip="$scratch/dist/vellicor-${version}-win64.zip"
expect_equal "files written" "vellicor-${version}-win64.zip vellicor_${version}_amd64.deb" \
  "$(find "$scratch/dist" -mindepth 1 -printf '%P\n' | sort | tr '\n' ' ' | sed 's/ $//')"
if [[ ! -f "$deb" || ! -f "$zip" ]]; then
  echo "scripts/package.sh did not write $deb and $zip" >&2
  exit 1
fi

echo "== Debian package: fields"
field() {
  dpkg-deb -f "$deb" "$1"
}
expect_equal "Package" vellicor "$(field Package)"
expect_equal "Version" "$version" "$(field Version)"
expect_equal "Architecture" amd64 "$(field Architecture)"
expect_equal "Maintainer" "$maintainer" "$(field Maintainer)"
expect_equal "Section" utils "$(field Section)"
expect_equal "Priority" optional "$(field Priority)"
description=$(field Description)
check "Description has a one-line summary" test -n "$(head -n 1 <<<"$description")"
check "Description has a longer text" test "$(wc -l <<<"$description")" -ge 3
installed_size=$(field Installed-Size)
check "Installed-Size is a number of KiB" grep -qE '^[0-9]+$' <<<"$installed_size"

echo "== Debian package: files"
root="$scratch/deb"
dpkg-deb -x "$deb" "$root"
expect_equal "file list" \
  "usr/bin/vellicor usr/share/doc/vellicor/changelog.gz usr/share/doc/vellicor/copyright usr/share/lintian/overrides/vellicor usr/share/man/man1/vellicor.1.gz" \
  "$(cd "$root" && find . -type f -printf '%P\n' | sort | tr '\n' ' ' | sed 's/ $//')"
others=$(dpkg-deb -c "$deb" | awk '$2 != "root/root"')
expect_equal "entries not owned by root/root" "" "$others"
loose=$(dpkg-deb -c "$deb" | awk '$1 !~ /^(drwxr-xr-x|-rw-r--r--)$/ && $6 != "./usr/bin/vellicor"')
expect_equal "entries with unusual permissions" "" "$loose"
file_kib=$(find "$root" -type f -printf '%s\n' | awk '{ kib += int(($1 + 1023) / 1024) } END { print kib }')
check "Installed-Size ($installed_size KiB) covers the files ($file_kib KiB)" \
  test "$installed_size" -ge "$file_kib"

echo "== Debian package: the program"
program="$root/usr/bin/vellicor"
check "usr/bin/vellicor is executable" test -x "$program"
description=$(file -b "$program")
check "usr/bin/vellicor is an x86-64 ELF program ($description)" \
  grep -q 'ELF 64-bit LSB .*x86-64' <<<"$description"
check "usr/bin/vellicor is stripped ($description)" grep -q ', stripped' <<<"$description"
status=0
"$program" /c >"$scratch/linux-report.txt" || status=$?
expect_equal "exit status of vellicor /c (topology alone)" 1 "$status"
expect_equal "first line of vellicor /c" "$banner" "$(head -n 1 "$scratch/linux-report.txt")"
check "vellicor /c prints the core map" grep -q '  Physical Processor 0$' "$scratch/linux-report.txt"
# Dependencies are computed from the program: one linked statically needs no package.
needed=$(readelf -d "$program" | grep '(NEEDED)' || true)
if [[ -z "$needed" ]]; then
  expect_equal "Depends of a statically linked program" "" "$(field Depends)"
else
  check "Depends names the shared libraries' packages" test -n "$(field Depends)"
fi

echo "== Debian package: manual page"
page="$root/usr/share/man/man1/vellicor.1.gz"
check "manual page compressed with gzip -9n" is_gzip_9n "$page"
warnings=$(zcat "$page" | groff -man -ww -Tutf8 -z 2>&1)
expect_equal "groff warnings for the manual page" "" "$warnings"
warnings=$(man --warnings -l -Tutf8 "$page" 2>&1 >/dev/null)
expect_equal "man --warnings for the manual page" "" "$warnings"
check "whatis entry" grep -q '"vellicor - ' <(lexgrog "$page")
text=$(zcat "$page" | groff -man -Tutf8 -P-cbou 2>/dev/null)
for heading in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" EXAMPLES AUTHORS; do
  check "manual page section $heading" grep -qx "$heading" <<<"$text"
done
# Each option is the tag of a paragraph of its own. On lines too long to wrap, a tag stands at
# the margin, alone on its line or, when short, followed by the indent of its paragraph.
wide=$(zcat "$page" | groff -man -rLL=2000n -Tutf8 -P-cbou 2>/dev/null)
options=$(sed -n '/^OPTIONS$/,/^[A-Z]/p' <<<"$wide")
for letter in b o d x n g p l c e; do
  check "manual page describes /$letter among the options" \
    grep -qE "^ {7}/$letter( {5}[^ ]|(:[a-z]+| [a-z.]+)*$)" <<<"$options"
done
authors=$(sed -n '/^AUTHORS$/,/^[A-Z]/p' <<<"$text")
check "manual page names The Vellicor authors" grep -q 'The Vellicor authors' <<<"$authors"
check "manual page carries the version" grep -q "Vellicor $version" <<<"$text"
check "manual page shows the banner" grep -qF "$banner" <<<"$text"

echo "== Debian package: copyright and changelog"
copyright="$root/usr/share/doc/vellicor/copyright"
check "copyright names The Vellicor authors" grep -q '^Copyright: .*The Vellicor authors$' \
  "$copyright"
# The license text is LICENSE's, indented by one space with " ." for empty lines.
license_text=$(sed -n '/^Permission/,$p' "$source_dir/LICENSE")
copyright_text=$(sed -n '/^ Permission/,$p' "$copyright" | sed 's/^ //; s/^\.$//')
expect_equal "license text in copyright" "$license_text" "$copyright_text"
# The program links PCRE2: its licence, as PCRE2's LICENCE file words it, from the conditions to
# the exemption's end.
pcre2_licence="$source_dir/build/deps/pcre2/LICENCE"
pcre2_text=$(sed -n '/^Redistribution and use/,/^End$/p' "$pcre2_licence" | sed '$d' | cat -s)
copyright_pcre2_text=$(sed -n '/^ Redistribution and use/,/^$/p' "$copyright" |
  sed 's/^ //; s/^\.$//' | sed '$d')
expect_equal "PCRE2's licence in copyright" "$pcre2_text" "$copyright_pcre2_text"
check "copyright names PCRE2's copyright holder" grep -q 'University of Cambridge' "$copyright"
changelog="$root/usr/share/doc/vellicor/changelog.gz"
check "changelog compressed with gzip -9n" is_gzip_9n "$changelog"
zcat "$changelog" >"$scratch/changelog"
expect_equal "changelog version" "$version" "$(dpkg-parsechangelog -l "$scratch/changelog" -S Version)"
expect_equal "changelog maintainer" "$maintainer" \
  "$(dpkg-parsechangelog -l "$scratch/changelog" -S Maintainer)"
check "lintian override for the static link" grep -q '^vellicor: statically-linked-binary' \
  "$root/usr/share/lintian/overrides/vellicor"

echo "== Windows zip"
expect_equal "zip contents" "LICENSE PCRE2-LICENCE.txt README.md vellicor.exe" \
  "$(unzip -Z1 "$zip" | sort | tr '\n' ' ' | sed 's/ $//')"
check "README.md in the zip is the project's" cmp -s <(unzip -p "$zip" README.md) \
  "$source_dir/README.md"
check "LICENSE in the zip is the project's" cmp -s <(unzip -p "$zip" LICENSE) \
  "$source_dir/LICENSE"
check "PCRE2-LICENCE.txt in the zip is PCRE2's LICENCE" cmp -s \
  <(unzip -p "$zip" PCRE2-LICENCE.txt) "$pcre2_licence"
unzip -q "$zip" vellicor.exe -d "$scratch/zip"
exe="$scratch/zip/vellicor.exe"
description=$(file -b "$exe")
check "vellicor.exe is a 64-bit Windows console program ($description)" \
  grep -q 'PE32+ executable (console) x86-64' <<<"$description"
# Output to a file, not a pipe: Wine's background services may outlive the program.
status=0
"$source_dir/cmake/wine-run.sh" "$work/wine-prefix" "$exe" /c >"$scratch/windows-report.txt" ||
  status=$?
expect_equal "exit status of vellicor.exe /c under Wine" 1 "$status"
expect_equal "first line of vellicor.exe /c" "$banner" \
  "$(head -n 1 "$scratch/windows-report.txt" | tr -d '\r')"
check "vellicor.exe /c prints the core map" grep -q '  Physical Processor 0' \
  "$scratch/windows-report.txt"

echo "$((checks - failures)) passed, $failures failed"
((failures == 0))
