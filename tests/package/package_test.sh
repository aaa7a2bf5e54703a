#!/usr/bin/env bash
# package_test.sh SOURCE_DIR WORK_DIR VERSION
#
# Builds the Debian package and the Windows zip with scripts/package.sh, into WORK_DIR rather
# than the source tree, and checks them from the outside, the way a user and a Debian developer
# meet them: the package's fields and files, unpacked (never installed on this machine), its
# program's ELF headers and run, its manual page rendered, lintian's verdict, and the zip's
# layout, text files and PE headers, its program run under Wine in a prefix of its own. A second
# build, in other build directories under another time zone and locale, must give the same
# bytes.
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
TZ=UTC "$source_dir/scripts/package.sh" --output "$scratch/dist" --build-dir "$work/builds"
deb="$scratch/dist/vellicor_${version}_amd64.deb"
zip="$scratch/dist/vellicor-${version}-win64.zip"
folder="vellicor-${version}-win64"
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
# The code of other packages linked into the program: the source packages of the static
# libraries the compiler links (C library, GCC's runtime, C++ library) and of PCRE2's, at the
# versions installed here.
linked_source() {
  local file package
  file=$(realpath "$1")
  package=$(dpkg-query -S "$file" | sed -n '1s/[:,] .*//p')
  dpkg-query -W -f='${source:Package} (= ${source:Version})\n' "$package"
}
expected_static=$(
  for library in libc.a libstdc++.a libgcc.a libgcc_eh.a; do
    linked_source "$(g++ -print-file-name="$library")"
  done
  linked_source "$(dpkg-query -L libpcre2-dev | grep '/libpcre2-32\.a$')"
)
expected_static=$(sort -u <<<"$expected_static" | paste -sd, | sed 's/,/, /g')
static_built_using=$(field Static-Built-Using)
expect_equal "Static-Built-Using" "$expected_static" "$static_built_using"
# The LGPL C library's source must stay available with the program, as for Debian's own static
# programs: Built-Using names it.
expect_equal "Built-Using" "$(linked_source "$(g++ -print-file-name=libc.a)")" \
  "$(field Built-Using)"

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
# Hardened as Debian hardens its programs, and static: the kernel loads it at a random address
# (a position-independent executable, of type DYN), it names no dynamic loader and no library,
# its relocations are resolved at start and then made read-only, and its stack cannot run code.
check "usr/bin/vellicor is a static position-independent executable ($description)" \
  grep -q 'static-pie linked' <<<"$description"
expect_equal "ELF type of usr/bin/vellicor" DYN \
  "$(readelf -h "$program" | sed -n 's/^ *Type: *\([A-Z]*\).*/\1/p')"
segments=$(readelf -lW "$program")
expect_equal "INTERP segment (dynamic loader)" "" "$(grep -w INTERP <<<"$segments" || true)"
check "GNU_RELRO segment (read-only relocations)" grep -qw GNU_RELRO <<<"$segments"
expect_equal "GNU_STACK flags (no executable stack)" RW \
  "$(awk '$1 == "GNU_STACK" { print $7 }' <<<"$segments")"
dynamic=$(readelf -dW "$program")
expect_equal "NEEDED libraries" "" "$(grep '(NEEDED)' <<<"$dynamic" || true)"
check "BIND_NOW (immediate binding)" grep -qE '\(FLAGS\) +.*BIND_NOW' <<<"$dynamic"
# What the stripped program cannot show, its build's commands do: each compilation with Debian's
# hardening flags, the link with Debian's and -static-pie.
buildflag() {
  DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1" | tr ' ' '\n' |
    grep -v -e '^-ffile-prefix-map=' -e '^$'
}
commands=$(ninja -C "$work/builds/package-linux" -t commands ports/linux/vellicor)
compilations=$(grep -E ' -c [^ ]+\.cpp$' <<<"$commands" || true)
link=$(tail -n 1 <<<"$commands")
check "the program's compilations were found" test "$(wc -l <<<"$compilations")" -ge 10
for flag in $(buildflag CPPFLAGS) $(buildflag CXXFLAGS); do
  expect_equal "compilations without $flag" "" "$(grep -v -F -e " $flag " <<<"$compilations" || true)"
done
for flag in $(buildflag LDFLAGS) -static-pie; do
  check "link with $flag" grep -q -F -e " $flag " <<<"$link"
done
status=0
"$program" /c >"$scratch/linux-report.txt" || status=$?
expect_equal "exit status of vellicor /c (topology alone)" 1 "$status"
expect_equal "first line of vellicor /c" "$banner" "$(head -n 1 "$scratch/linux-report.txt")"
check "vellicor /c prints the core map" grep -q '  Physical Processor 0$' "$scratch/linux-report.txt"
expect_equal "Depends of a statically linked program" "" "$(field Depends)"

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
# Dated by the latest changelog entry (in UTC, as every time stamp of the packages), not by a
# date written in the page.
changelog_date=$(date -u -d "@$(dpkg-parsechangelog -l "$source_dir/packaging/changelog" \
  -S Timestamp)" +%F)
expect_equal "manual page date" "$changelog_date" \
  "$(zcat "$page" | sed -n 's/^\.TH VELLICOR 1 \([^ ]*\) .*/\1/p')"

echo "== Debian package: copyright and changelog"
copyright="$root/usr/share/doc/vellicor/copyright"
check "copyright names The Vellicor authors" grep -q '^Copyright: .*The Vellicor authors$' \
  "$copyright"
# paragraph TEXT FIRST_LINE: the paragraph of a copyright file that starts with FIRST_LINE.
paragraph() {
  awk -v first="$2" 'previous == "" && $0 == first { found = 1 } found && /^$/ { exit }
    found; { previous = $0 }' <<<"$1"
}
# contains TEXT PART: whether PART, lines and all, is in TEXT.
contains() {
  [[ "$1" == *"$2"* ]]
}
# license_text TEXT NAME: the text of the stand-alone License paragraph NAME, as it was before
# the copyright format indented it by one space and wrote its empty lines as " .".
license_text() {
  paragraph "$1" "License: $2" | sed '1d; s/^ //; s/^\.$//'
}
copyright_text=$(<"$copyright")
expect_equal "license text in copyright" "$(sed -n '/^Permission/,$p' "$source_dir/LICENSE")" \
  "$(license_text "$copyright_text" Expat)"
# The program links PCRE2: its licence, as PCRE2's LICENCE file words it, from the conditions to
# the exemption's end.
pcre2_licence="$source_dir/build/deps/pcre2/LICENCE"
pcre2_text=$(sed -n '/^Redistribution and use/,/^End$/p' "$pcre2_licence" | sed '$d' | cat -s)
expect_equal "PCRE2's licence in copyright" "$pcre2_text" \
  "$(license_text "$copyright_text" BSD-3-clause-PCRE2)"
# GCC's runtime libraries come under the GCC Runtime Library Exception, in the words of Debian's
# own copyright of libstdc++.
exception_text=$(sed -n '/^GCC RUNTIME LIBRARY EXCEPTION$/,/^requirements of the license of GCC\.$/p' \
  /usr/share/doc/libstdc++6/copyright)
check "GCC's runtime library exception in copyright" contains \
  "$(license_text "$copyright_text" "GPL-3+ with GCC-exception-3.1 exception")" "$exception_text"
# Each source package of Static-Built-Using has its stanza, saying whose code it is and under
# which licence, and every licence named has its text.
declare -A holder=([glibc]="Free Software Foundation" [gcc]="Free Software Foundation"
  [pcre2]="University of Cambridge")
read -r -a linked_sources <<<"$(sed 's/ ([^)]*)//g; s/,//g' <<<"$static_built_using")"
for entry in "${linked_sources[@]}"; do
  name=${entry%-[0-9]*}
  stanza=$(awk -v name="$name" '/^Files:/ { found = index($0, " " name "/") > 0 }
    found && /^$/ { exit } found' "$copyright")
  check "copyright stanza for the linked $entry" test -n "$stanza"
  check "copyright stanza of $name names ${holder[$name]:-its holders}" \
    grep -q "^Copyright: .*${holder[$name]:-.}" <<<"$stanza"
  check "copyright stanza of $name names a licence" grep -q '^License: ' <<<"$stanza"
done
while read -r name; do
  check "copyright has the text of $name" test -n "$(license_text "$copyright_text" "$name")"
done < <(sed -n 's/^License: //p' "$copyright" | sort -u)
changelog="$root/usr/share/doc/vellicor/changelog.gz"
check "changelog compressed with gzip -9n" is_gzip_9n "$changelog"
zcat "$changelog" >"$scratch/changelog"
expect_equal "changelog version" "$version" "$(dpkg-parsechangelog -l "$scratch/changelog" -S Version)"
expect_equal "changelog maintainer" "$maintainer" \
  "$(dpkg-parsechangelog -l "$scratch/changelog" -S Maintainer)"
check "lintian overrides are the project's" cmp -s "$source_dir/packaging/lintian-overrides" \
  "$root/usr/share/lintian/overrides/vellicor"

echo "== Debian package: lintian"
# Nothing but the tags the package overrides ("O:", each with its reason, shown as notes "N:");
# an override that no longer applies shows as a tag of its own.
lintian_output=$(lintian --display-info --pedantic --show-overrides "$deb" 2>"$scratch/lintian.log") ||
  true
expect_equal "lintian's tags" "" "$(grep -v -e '^O: ' -e '^N: ' <<<"$lintian_output" || true)"
expect_equal "lintian's overridden tags" \
  "$(sed -n 's/^vellicor: /O: vellicor: /p' "$source_dir/packaging/lintian-overrides" | sort)" \
  "$(grep '^O: ' <<<"$lintian_output" | sort || true)"

echo "== Windows zip"
# One folder, which unpacks beside others without mixing its files with theirs.
entries=$(unzip -Z1 "$zip")
expect_equal "entries outside $folder/" "" "$(grep -v "^$folder/" <<<"$entries" || true)"
expect_equal "zip contents" \
  "LICENSE MinGW-w64-LICENCE.txt NOTICES.txt PCRE2-LICENCE.txt README.md vellicor.exe" \
  "$(sed -n "s|^$folder/||p" <<<"$entries" | sed '/^$/d' | sort | tr '\n' ' ' | sed 's/ $//')"
# Text as Windows has it: every line ends in CR LF, the last one too.
crlf_text() {
  local text="$scratch/text"
  unzip -p "$zip" "$folder/$1" >"$text"
  [[ -s "$text" && "$(tail -c 1 "$text" | od -An -tx1 | tr -d ' ')" == 0a ]] &&
    ! grep -q -v $'\r$' "$text"
}
# same_text NAME FILE: whether the zip's NAME, with its line ends made LF, is FILE.
same_text() {
  cmp -s <(unzip -p "$zip" "$folder/$1" | sed 's/\r$//') "$2"
}
mingw_copyright=/usr/share/doc/mingw-w64-x86-64-dev/copyright
for text in README.md:"$source_dir/README.md" LICENSE:"$source_dir/LICENSE" \
  PCRE2-LICENCE.txt:"$pcre2_licence" MinGW-w64-LICENCE.txt:"$mingw_copyright"; do
  name=${text%%:*}
  check "$name in the zip has CR LF line ends" crlf_text "$name"
  check "$name in the zip is ${text#*:}" same_text "$name" "${text#*:}"
done
check "NOTICES.txt in the zip has CR LF line ends" crlf_text NOTICES.txt
# The notices name each library linked in, at the version really built: PCRE2 from the source
# that install-deps.sh fetched, which may be an earlier revision of the release than asked for.
notices=$(unzip -p "$zip" "$folder/NOTICES.txt" | tr -d '\r' | tr '\n' ' ')
pcre2_built=$(sed -n 's/^fetched //p' "$source_dir/build/deps/pcre2.version")
mingw_version=$(dpkg-query -W -f='${source:Version}' mingw-w64-x86-64-dev)
gcc_version=$(dpkg-query -W -f='${source:Version}' g++-mingw-w64-x86-64-posix)
for notice in "Vellicor $version, under the licence in LICENSE" \
  "PCRE2 ${pcre2_built%-*}, the regular-expression library, built from Debian's pcre2 source package $pcre2_built" \
  "licence is in PCRE2-LICENCE.txt" \
  "winpthreads (its POSIX threads), from Debian's mingw-w64 $mingw_version" \
  "MinGW-w64-LICENCE.txt, holds their notices" \
  "libstdc++, from Debian's gcc-mingw-w64 $gcc_version" "GCC Runtime Library Exception"; do
  check "NOTICES.txt says: $notice" contains "$notices" "$notice"
done

unzip -q "$zip" "$folder/vellicor.exe" -d "$scratch/zip"
exe="$scratch/zip/$folder/vellicor.exe"
description=$(file -b "$exe")
check "vellicor.exe is a 64-bit Windows console program ($description)" \
  grep -q 'PE32+ executable (console) x86-64' <<<"$description"
# Windows may load it anywhere in the 64-bit address space (ASLR with high entropy, for which
# it keeps its relocation table) and never runs its data (DEP).
headers=$(objdump -p "$exe")
dll_characteristics=$(sed -n '/^DllCharacteristics/,/^SizeOfStackReserve/p' <<<"$headers")
for flag in DYNAMIC_BASE HIGH_ENTROPY_VA NX_COMPAT; do
  check "vellicor.exe has $flag" grep -qw "$flag" <<<"$dll_characteristics"
done
relocations=$(awk '/Base Relocation Directory/ { print $4 }' <<<"$headers")
check "vellicor.exe has a relocation table (size 0x${relocations:-none})" \
  test "$((16#${relocations:-0}))" -gt 0
check "vellicor.exe's relocations are not stripped" \
  test -z "$(sed -n '/^Characteristics/,/^$/p' <<<"$headers" | grep 'relocations stripped')"
# Output to a file, not a pipe: Wine's background services may outlive the program.
status=0
"$source_dir/cmake/wine-run.sh" "$work/wine-prefix" "$exe" /c >"$scratch/windows-report.txt" ||
  status=$?
expect_equal "exit status of vellicor.exe /c under Wine" 1 "$status"
expect_equal "first line of vellicor.exe /c" "$banner" \
  "$(head -n 1 "$scratch/windows-report.txt" | tr -d '\r')"
check "vellicor.exe /c prints the core map" grep -q '  Physical Processor 0' \
  "$scratch/windows-report.txt"

echo "== The same packages from another build"
# Other build directories, another time zone and a Turkish locale (whose letter case and
# collation are not C's) must give the same bytes. The second build is a full one when its
# directories are new, as on a fresh machine; later runs rebuild what changed, as the first
# build does.
locales="$work/locales"
if [[ ! -d "$locales/tr_TR.UTF-8" ]]; then
  mkdir -p "$locales"
  localedef -i tr_TR -f UTF-8 "$locales/tr_TR.UTF-8"
fi
elsewhere="$scratch/dist-elsewhere"
LOCPATH="$locales" LC_ALL=tr_TR.UTF-8 TZ=Asia/Tokyo "$source_dir/scripts/package.sh" \
  --output "$elsewhere" --build-dir "$work/builds-elsewhere"
check "the same .deb from another build" cmp "$deb" "$elsewhere/${deb##*/}"
check "the same zip from another build" cmp "$zip" "$elsewhere/${zip##*/}"
if ! cmp -s "$deb" "$elsewhere/${deb##*/}"; then
  diff <(dpkg-deb -c "$deb"; dpkg-deb -I "$deb") \
    <(dpkg-deb -c "$elsewhere/${deb##*/}"; dpkg-deb -I "$elsewhere/${deb##*/}") >&2 || true
fi
if ! cmp -s "$zip" "$elsewhere/${zip##*/}"; then
  diff <(unzip -Zv "$zip") <(unzip -Zv "$elsewhere/${zip##*/}") >&2 || true
fi

echo "$((checks - failures)) passed, $failures failed"
((failures == 0))
