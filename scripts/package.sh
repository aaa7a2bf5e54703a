#!/usr/bin/env bash
# Builds release programs and writes the two things users download:
#   vellicor_VERSION_ARCH.deb   the Linux program with its manual page, for apt
#   vellicor-VERSION-win64.zip  vellicor.exe with README.md, LICENSE and PCRE2's licence
#                               (PCRE2-LICENCE.txt: the program links PCRE2 statically)
# The version is the one of project() in CMakeLists.txt. The builds have directories of their
# own (build/package-linux, build/package-windows), apart from the presets' trees.
#
# Usage: scripts/package.sh [--output DIR] [--build-dir DIR]
#   --output DIR     where the packages go (default: dist/)
#   --build-dir DIR  where the two build directories go (default: build/)
# VELLICOR_JOBS sets the number of parallel compile jobs (default 2).
set -euo pipefail
export LC_ALL=C.UTF-8
source_dir=$(cd "$(dirname "$0")/.." && pwd)
output="$source_dir/dist"
build_root="$source_dir/build"

usage() {
  sed -n '2,11s/^# \{0,1\}//p' "$0"
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

"$source_dir/scripts/install-deps.sh" --windows

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
umask 022

# Every file of both packages bears the time of the latest changelog entry, so the same sources
# give the same packages.
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l "$source_dir/packaging/changelog" -S Timestamp)
export SOURCE_DATE_EPOCH

echo "== Linux release build in $linux_build"
cmake -S "$source_dir" -B "$linux_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
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
cmake -S "$source_dir" -B "$windows_build" -G Ninja \
  --toolchain "$source_dir/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DVELLICOR_TESTS=OFF >/dev/null
cmake --build "$windows_build" --parallel "$jobs" --target vellicor
windows_version=$(<"$windows_build/vellicor-version")
if [[ "$windows_version" != "$version" ]]; then
  echo "the Windows build is of version $windows_version, the Linux build of $version" >&2
  exit 1
fi

echo "== Windows zip"
files="$stage/zip"
mkdir -p "$files"
strip=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "$windows_build/CMakeCache.txt")
"$strip" -o "$files/vellicor.exe" "$windows_build/ports/windows/vellicor.exe"
cp "$source_dir/README.md" "$source_dir/LICENSE" "$files/"
pcre2_source=$(sed -n 's/^VELLICOR_PCRE2_SOURCE_DIR:PATH=//p' "$windows_build/CMakeCache.txt")
cp "$pcre2_source/LICENCE" "$files/PCRE2-LICENCE.txt"
touch -d "@$SOURCE_DATE_EPOCH" "$files"/*
zip_file="$output/vellicor-${version}-win64.zip"
# zip adds to an archive that exists; a new one holds only these files.
(cd "$files" && zip -q -X -9 "$stage/package.zip" vellicor.exe README.md LICENSE PCRE2-LICENCE.txt)
mv -f "$stage/package.zip" "$zip_file"

echo "$deb"
echo "$zip_file"
