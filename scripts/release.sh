#!/bin/bash
# Builds every release artifact into one folder (default build/release):
#
#   VURScanner-VERSION-win32.zip   the 32-bit program, stripped; README.txt
#                                  (CR LF); VURScanner-settings.reg, example
#                                  settings for the 32-bit registry view;
#                                  SHA256SUMS of those three
#   VURScanner-VERSION-x86.msi     installs the program into the 32-bit
#                                  Program Files folder
#   vurscanner_VERSION_ARCH.deb    the Linux scanner (scripts/package-deb.sh)
#   SHA256SUMS                     of the three
#
#   release.sh [OUTDIR]
#
# VERSION is the project's, from CMakeLists.txt. Time stamps in the archives
# are those of the last commit (SOURCE_DATE_EPOCH), so the same source gives
# the same ZIP and .deb; an MSI gets a new product and package code each time.
set -euo pipefail

out=${1:-build/release}
mkdir -p "$out"
out=$(realpath "$out")
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/install-deps.sh release

version=$(sed -n 's/^project(VURScanner VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "no version in CMakeLists.txt" >&2; exit 1; }
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
fi
export SOURCE_DATE_EPOCH

mkdir -p build/win32-release
if ! { cmake --preset win32-release && cmake --build --preset win32-release -j"$(nproc)"; } \
    >build/win32-release/build.log 2>&1; then
  cat build/win32-release/build.log >&2
  exit 1
fi

# The ZIP's contents, in a folder of its own.
name=VURScanner-$version-win32
stage=build/win32-release/stage
rm -rf "$stage"
mkdir -p "$stage/$name"
i686-w64-mingw32-strip -o "$stage/$name/VURScanner.exe" build/win32-release/VURScanner.exe
sed 's/$/\r/' README.md > "$stage/$name/README.txt"
# regedit's own form of a .reg file: UTF-16LE with a byte order mark. In any
# other encoding Wine's reg reads the hex(7) lists as ANSI text.
{ printf '\xff\xfe'; sed 's/$/\r/' packaging/windows/VURScanner-settings.reg | iconv -f UTF-8 -t UTF-16LE; } \
  > "$stage/$name/VURScanner-settings.reg"
(cd "$stage/$name" && sha256sum VURScanner.exe README.txt VURScanner-settings.reg > SHA256SUMS)
touch -d "@$SOURCE_DATE_EPOCH" "$stage/$name" "$stage/$name"/*
rm -f "$out/$name.zip"
(cd "$stage" && cmake -E tar cf "$out/$name.zip" --format=zip --mtime="$(date -u -d "@$SOURCE_DATE_EPOCH" "+%Y-%m-%d %H:%M:%S UTC")" \
   "$name/VURScanner.exe" "$name/README.txt" "$name/VURScanner-settings.reg" "$name/SHA256SUMS")

# wixl takes the program from the folder it runs in. Windows Installer
# compares three parts of a version: NewerFrom is the first version newer
# than this one in those (1.2.1 for 1.2.0.2), see VURScanner.wxs.
msi=VURScanner-$version-x86.msi
IFS=. read -r major minor patch _ <<<"$version"
rm -f "$out/$msi"
(cd "$stage/$name" && wixl -a x86 -D Version="$version" -D NewerFrom="$major.$minor.$((patch + 1))" \
   -o "$out/$msi" "$root/packaging/windows/VURScanner.wxs")

deb=$(bash scripts/package-deb.sh "$out" | tail -n 1)

(cd "$out" && sha256sum "$name.zip" "$msi" "$(basename "$deb")" > SHA256SUMS)
(cd "$out" && ls -l "$name.zip" "$msi" "$(basename "$deb")" SHA256SUMS)
