#!/usr/bin/env bash
# Builds release programs and writes the two things users download:
#   vellicor_VERSION_ARCH.deb   the Linux program with its manual page, for apt
#   vellicor-VERSION-win64.zip  one folder, vellicor-VERSION-win64, with vellicor.exe, README.md,
#                               LICENSE and the notices of the libraries linked into the program
# The version is the one of project() in CMakeLists.txt. The builds have directories of their
# own (build/package-linux, build/package-windows), apart from the presets' trees. The same
# sources give the same bytes, whatever the time zone, locale and build directory.
#
# Usage: scripts/package.sh [--output DIR] [--build-dir DIR]
#   --output DIR     where the packages go (default: dist/)
#   --build-dir DIR  where the two build directories go (default: build/)
# VELLICOR_JOBS sets the number of parallel compile jobs (default 2).
set -euo pipefail
# Nothing of the caller's settings reaches the packages: tools that write local times (zip) or
# sort and format by locale see the same ones everywhere, and the compiler flags are the ones
# chosen below (Debian's are adjusted the Debian way, with DEB_CFLAGS_APPEND and the like).
unset LANGUAGE LOCPATH CFLAGS CXXFLAGS CPPFLAGS LDFLAGS
export LC_ALL=C.UTF-8 TZ=UTC
source_dir=$(cd "$(dirname "$0")/.." && pwd)
output="$source_dir/dist"
build_root="$source_dir/build"

usage() {
  sed -n '2,13s/^# \{0,1\}//p' "$0"
}

while (($# > 0)); do
  case "$1" in
    --output)
      output=${2:?--output needs a directory}
      shift 2
      ;;
    --build-dir)
      build_root=${2:?--build-dir needs a directory}
      shift 2
      ;;
    -h | --help)
      usage
      exit 0
      ;;
    *)
      usage >&2
      exit 2
      ;;
  esac
done
jobs=${VELLICOR_JOBS:-2}
mkdir -p "$output" "$build_root"
output=$(cd "$output" && pwd)
build_root=$(cd "$build_root" && pwd)
linux_build="$build_root/package-linux"
windows_build="$build_root/package-windows"

"$source_dir/scripts/install-deps.sh" --packaging

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
umask 022

# Every file of both packages bears the time of the latest changelog entry, so the same sources
# give the same packages.
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l "$source_dir/packaging/changelog" -S Timestamp)
export SOURCE_DATE_EPOCH

# linked_files MAP BUILD_DIR: the files that a link put into a program, read from the linker's
# map: the object files it loaded and the archives it took members from, as real paths (the link
# ran in BUILD_DIR). Those the build made itself are left out, except the libraries it built
# from others' sources (PCRE2 on Windows, under BUILD_DIR/pcre2).
linked_files() {
  local build
  build=$(realpath "$2")
  {
    sed -nE 's|^LOAD (.*\.o(bj)?)$|\1|p' "$1"
    sed -nE 's|^([^ (]*\.a)\(.*|\1|p' "$1"
  } | (cd "$build" && xargs -r -d '\n' realpath) | sort -u |
    awk -v build="$build/" -v pcre2="$build/pcre2/" \
      'index($0, build) != 1 || index($0, pcre2) == 1'
}

# debian_source FILE: "SOURCE VERSION" of the Debian package that installed FILE, or nothing.
debian_source() {
  local package
  package=$(dpkg-query -S "$1" 2>/dev/null | sed -n '1s/[:,] .*//p') || return 0
  if [[ -n "$package" ]]; then
    dpkg-query -W -f='${source:Package} ${source:Version}\n' "$package"
  fi
}

echo "== Linux release build in $linux_build"
# Debian's build flags with every hardening feature, as a package of Debian's own would have
# them (stack protector, _FORTIFY_SOURCE, format checks, read-only relocations, immediate
# binding), and nothing else: no build type adds flags of its own. dpkg-buildflags maps the
# source directory, where it runs, out of the debug information; the build directory is mapped
# too, since the program's build ID is a hash over that information.
buildflag() {
  (cd "$source_dir" && DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1")
}
prefix_map="-ffile-prefix-map=$linux_build=build"
cmake -S "$source_dir" -B "$linux_build" -G Ninja -DCMAKE_BUILD_TYPE=None \
  -DCMAKE_C_FLAGS="$(buildflag CPPFLAGS) $(buildflag CFLAGS) $prefix_map" \
  -DCMAKE_CXX_FLAGS="$(buildflag CPPFLAGS) $(buildflag CXXFLAGS) $prefix_map" \
  -DCMAKE_EXE_LINKER_FLAGS="$(buildflag LDFLAGS) -Wl,-Map=%.map" \
  -DVELLICOR_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$linux_build" --parallel "$jobs"
version=$(<"$linux_build/vellicor-version")

changelog_version=$(dpkg-parsechangelog -l "$source_dir/packaging/changelog" -S Version)
if [[ "$changelog_version" != "$version" ]]; then
  echo "packaging/changelog's latest entry is $changelog_version, the project is $version:" \
    "add an entry for $version" >&2
  exit 1
fi

echo "== Debian package"
# dpkg's tools expect the source package's layout: debian/control, debian/changelog and the
# binary package's tree in debian/PACKAGE.
mkdir -p "$stage/debian"
cp "$source_dir/packaging/control" "$source_dir/packaging/changelog" "$stage/debian/"
root="$stage/debian/vellicor"
DESTDIR="$root" cmake --install "$linux_build" --prefix /usr >/dev/null
# As Debian's own packages are stripped: no symbols, and no compiler version notes either.
strip --remove-section=.comment --remove-section=.note "$root/usr/bin/vellicor"
docs="$root/usr/share/doc/vellicor"
gzip -9n <"$source_dir/packaging/changelog" >"$docs/changelog.gz"
install -D -m 644 "$source_dir/packaging/lintian-overrides" \
  "$root/usr/share/lintian/overrides/vellicor"
find "$root" -type d -exec chmod 755 {} +
find "$root" -type f -exec chmod 644 {} +
chmod 755 "$root/usr/bin/vellicor"

# The code of other packages linked into the program, as Debian declares it: the source
# packages and versions the static libraries and start-up files came from. Each needs its
# stanza in packaging/copyright.
static_built_using=""
while read -r file; do
  read -r source_package source_version < <(debian_source "$file") || {
    echo "the program links $file, which no Debian package installed: packaging/copyright" \
      "and this script know nothing of it" >&2
    exit 1
  }
  static_built_using+="$source_package (= $source_version)"$'\n'
done < <(linked_files "$linux_build/ports/linux/vellicor.map" "$linux_build")
static_built_using=$(sort -u <<<"$static_built_using" | sed '/^$/d' | paste -sd, | sed 's/,/, /g')
# Of those, the ones whose licence asks that their source stays available with the program:
# glibc (LGPL), as Debian's own static programs declare it. GCC's runtime comes under its runtime
# library exception and PCRE2 under a BSD licence: neither asks it.
built_using=$(grep -o 'glibc (= [^)]*)' <<<"$static_built_using" || true)

(
  cd "$stage"
  # Shared libraries the program needs become its dependencies. The program is normally linked
  # statically (see ports/linux/CMakeLists.txt): then it needs none, and there is nothing
  # for dpkg-shlibdeps to read.
  if readelf -d debian/vellicor/usr/bin/vellicor | grep -q '(NEEDED)'; then
    dpkg-shlibdeps -Tdebian/substvars debian/vellicor/usr/bin/vellicor
  else
    echo "shlibs:Depends=" >debian/substvars
  fi
  echo "vellicor:Static-Built-Using=$static_built_using" >>debian/substvars
  echo "vellicor:Built-Using=$built_using" >>debian/substvars
  mkdir -p debian/vellicor/DEBIAN
  dpkg-gencontrol -pvellicor -v"$version" -Pdebian/vellicor -Tdebian/substvars -fdebian/files
  cd debian/vellicor
  find usr -type f -print0 | sort -z | xargs -0 md5sum >DEBIAN/md5sums
  chmod 644 DEBIAN/md5sums
)
architecture=$(sed -n 's/^Architecture: //p' "$root/DEBIAN/control")
find "$root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
deb="$output/vellicor_${version}_${architecture}.deb"
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null

echo "== Windows release build in $windows_build"
# The toolchain file's linker flags stay; the map comes with the release configuration's.
cmake -S "$source_dir" -B "$windows_build" -G Ninja \
  --toolchain "$source_dir/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_EXE_LINKER_FLAGS_RELEASE="-Wl,-Map=%.map" -DVELLICOR_TESTS=OFF >/dev/null
cmake --build "$windows_build" --parallel "$jobs" --target vellicor
windows_version=$(<"$windows_build/vellicor-version")
if [[ "$windows_version" != "$version" ]]; then
  echo "the Windows build is of version $windows_version, the Linux build of $version" >&2
  exit 1
fi

echo "== Windows zip"
folder="vellicor-${version}-win64"
files="$stage/zip/$folder"
mkdir -p "$files"
strip=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "$windows_build/CMakeCache.txt")
"$strip" -o "$files/vellicor.exe" "$windows_build/ports/windows/vellicor.exe"

# Text files get Windows' CR LF line ends (older Notepads show a file of LF alone as one line).
windows_text() {
  sed 's/\r$//; s/$/\r/' "$1" >"$files/$2"
}
windows_text "$source_dir/README.md" README.md
windows_text "$source_dir/LICENSE" LICENSE

# The notice of every library linked into vellicor.exe, found from the link's map. PCRE2 is
# built here from the source install-deps.sh fetched, of the revision its changelog names
# (which may be an earlier one of the same release than the Linux build's). MinGW-w64's runtime
# and winpthreads ask for their notices in the documentation of a program that carries them: they
# are in the copyright file of Debian's package. GCC's libgcc and libstdc++ come under the GCC
# Runtime Library Exception, which lets the program carry them on its own terms, without a notice.
pcre2_source=$(sed -n 's/^VELLICOR_PCRE2_SOURCE_DIR:PATH=//p' "$windows_build/CMakeCache.txt")
pcre2_build=$(realpath "$windows_build/pcre2")
declare -A linked_version linked_package
while read -r file; do
  if [[ "$file" == "$pcre2_build/"*.a ]]; then
    linked_version[pcre2]=$(dpkg-parsechangelog -l "$pcre2_source/debian/changelog" -S Version)
    continue
  fi
  if ! read -r source_package source_version < <(debian_source "$file"); then
    echo "vellicor.exe links $file, which no Debian package installed: this script does" \
      "not know its notice" >&2
    exit 1
  fi
  linked_version[$source_package]=$source_version
  linked_package[$source_package]=$(dpkg-query -S "$file" | sed -n '1s/[:,] .*//p')
done < <(linked_files "$windows_build/ports/windows/vellicor.exe.map" "$windows_build")

notices="$stage/notices.txt"
cat >"$notices" <<EOF
vellicor.exe is Vellicor $version, under the licence in LICENSE. It carries these
libraries of others, linked in when it was built:
EOF
for source_package in pcre2 mingw-w64 gcc-mingw-w64; do
  [[ -n "${linked_version[$source_package]:-}" ]] || continue
  source_version=${linked_version[$source_package]}
  unset "linked_version[$source_package]"
  case "$source_package" in
    pcre2)
      windows_text "$pcre2_source/LICENCE" PCRE2-LICENCE.txt
      cat >>"$notices" <<EOF

PCRE2 ${source_version%-*}, the regular-expression library, built from Debian's pcre2 source
package $source_version. Copyright University of Cambridge and Zoltan Herczeg; its licence
is in PCRE2-LICENCE.txt.
EOF
      ;;
    mingw-w64)
      windows_text "/usr/share/doc/${linked_package[mingw-w64]}/copyright" MinGW-w64-LICENCE.txt
      cat >>"$notices" <<EOF

MinGW-w64's runtime (the start-up code and the C library's additions) and winpthreads (its
POSIX threads), from Debian's mingw-w64 $source_version. Copyright the mingw-w64 project and
others; Debian's copyright file of the package, MinGW-w64-LICENCE.txt, holds their notices
and licences.
EOF
      ;;
    gcc-mingw-w64)
      cat >>"$notices" <<EOF

GCC's runtime libraries, libgcc and the C++ standard library libstdc++, from Debian's
gcc-mingw-w64 $source_version. Copyright the Free Software Foundation, under the GNU General
Public License version 3 with the GCC Runtime Library Exception 3.1, which lets a program
compiled with GCC carry them under terms of its own: they ask for no notice.
EOF
      ;;
  esac
done
if ((${#linked_version[@]} > 0)); then
  echo "vellicor.exe links code of Debian's ${!linked_version[*]}: this script does not know" \
    "its notice" >&2
  exit 1
fi
# Lines wrapped anew, since the versions vary in length.
fmt -w 78 <"$notices" >"$notices.wrapped"
windows_text "$notices.wrapped" NOTICES.txt

find "$stage/zip" -type d -exec chmod 755 {} +
find "$stage/zip" -type f -exec chmod 644 {} +
find "$stage/zip" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
zip_file="$output/$folder.zip"
# zip stores each file's time as local time: TZ=UTC above keeps it the same everywhere. -X
# leaves out the owner and the extra time fields. The archive is made anew each time (zip adds
# to one that exists), its entries in a fixed order.
(
  cd "$stage/zip"
  zip -q -X -9 "$stage/package.zip" "$folder/" "$folder/vellicor.exe" "$folder/README.md" \
    "$folder/LICENSE" "$folder/NOTICES.txt" "$folder"/*-LICENCE.txt
)
mv -f "$stage/package.zip" "$zip_file"

echo "$deb"
echo "$zip_file"
