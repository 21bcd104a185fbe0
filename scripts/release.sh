#!/bin/bash
# Builds every release artifact into one folder (default build/release):
#
#   VURScanner-VERSION-win32.zip   the 32-bit program, stripped; README.txt
#                                  (the README and docs/windows.md) and
#                                  LICENSE.txt (CR LF); VURScanner-settings.reg,
#                                  example settings for the 32-bit registry
#                                  view; SHA256SUMS of those four
#   VURScanner-VERSION-x86.msi     installs the program and its licence into
#                                  the 32-bit Program Files folder
#   vurscanner_VERSION_ARCH.deb    the Linux scanner and vurfleet
#                                  (scripts/package-deb.sh)
#   vurfleet-VERSION-linux-ARCH    vurfleet alone: the program the .deb
#                                  installs as /usr/bin/vurfleet, byte for byte
#   SHA256SUMS                     of the four
#
#   release.sh [OUTDIR]
#
# VERSION is the project's, from CMakeLists.txt.
#
# Signing: given an organisation's certificate (VUR_SIGN_PKCS12 and
# VUR_SIGN_PASSWORD_FILE, optionally VUR_SIGN_TIMESTAMP_URL; see
# scripts/sign.sh), the program is signed before it goes into the ZIP and
# the MSI, and then the MSI itself. Without one, the release is unsigned and
# says so in one line. A certificate that can't be used stops the release
# before anything is built.
#
# Reproducible: every time stamp is the last commit's (SOURCE_DATE_EPOCH):
# the program's PE header, the archives' members, the MSI's summary
# information; the ZIP's members are in a fixed order with fixed modes, and
# the MSI's product and package codes come from its content. So the same
# commit gives the same unsigned ZIP, MSI and .deb, byte for byte, wherever
# and whenever it is built. A signature carries the time of signing.
#
# The artifacts are made in a temporary folder inside OUTDIR and moved into
# place only when all of them are done: a release that fails leaves OUTDIR
# as it was.
. "$(dirname "$0")/usage.sh"
usage_check '[OUTDIR]' '' "$@"
set -euo pipefail

out=${1:-build/release}
mkdir -p "$out"
out=$(realpath "$out")
cd "$(dirname "$0")/.."
root=$(pwd)
export TZ=UTC
umask 022
bash scripts/install-deps.sh release

signed=yes
bash scripts/sign.sh --check || case $? in 1) signed="" ;; *) exit 1 ;; esac

version=$(sed -n 's/^project(VURScanner VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "no version in CMakeLists.txt" >&2; exit 1; }
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
fi
export SOURCE_DATE_EPOCH

work=$(mktemp -d "$out/.release.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The linker stamps the PE header with SOURCE_DATE_EPOCH: relink, so that a
# program left from an earlier commit does not keep that commit's time.
mkdir -p build/win32-release
rm -f build/win32-release/VURScanner.exe
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
[ -n "$signed" ] && bash scripts/sign.sh "$stage/$name/VURScanner.exe"
# Text for Windows readers: CR LF, which every Windows editor shows as lines.
# README.txt is the README and, after it, its page for Windows (settings,
# deployment), which the ZIP's readers need without the source tree.
cat README.md docs/windows.md | sed 's/$/\r/' > "$stage/$name/README.txt"
sed 's/$/\r/' LICENSE > "$stage/$name/LICENSE.txt"
# regedit's own form of a .reg file: UTF-16LE with a byte order mark. In any
# other encoding Wine's reg reads the hex(7) lists as ANSI text.
{ printf '\xff\xfe'; sed 's/$/\r/' packaging/windows/VURScanner-settings.reg | iconv -f UTF-8 -t UTF-16LE; } \
  > "$stage/$name/VURScanner-settings.reg"
# Its checksums, of every other file in the folder.
(cd "$stage/$name" && find . -maxdepth 1 -type f ! -name SHA256SUMS -printf '%P\n' | LC_ALL=C sort |
   xargs sha256sum > ../SHA256SUMS && mv ../SHA256SUMS SHA256SUMS)
# The MSI's cabinet keeps each file's own time.
touch -d "@$SOURCE_DATE_EPOCH" "$stage/$name"/*
zip=$name.zip
(cd "$stage" && find "$name" -type f -print0 | xargs -0 /usr/bin/python3 "$root/scripts/make-zip.py" "$work/$zip" .)

msi=VURScanner-$version-x86.msi
bash scripts/package-msi.sh "$stage/$name" "$version" "$work/$msi"
[ -n "$signed" ] && bash scripts/sign.sh "$work/$msi"

deb=$(basename "$(bash scripts/package-deb.sh "$work" | tail -n 1)")
fleet=vurfleet-$version-linux-$(dpkg --print-architecture)
cp build/deb/debian/vurscanner/usr/bin/vurfleet "$work/$fleet"
touch -d "@$SOURCE_DATE_EPOCH" "$work/$fleet"

# What the release is: add a file here and it is checked, listed and moved too.
artifacts=("$zip" "$msi" "$deb" "$fleet")
(cd "$work" && sha256sum "${artifacts[@]}" > SHA256SUMS)
for f in "${artifacts[@]}" SHA256SUMS; do mv -f "$work/$f" "$out/$f"; done
(cd "$out" && ls -l "${artifacts[@]}" SHA256SUMS)
if [ -n "$signed" ]; then
  echo "signed: VURScanner.exe and $msi, with the certificate in $VUR_SIGN_PKCS12"
else
  echo "unsigned: no certificate given (VUR_SIGN_PKCS12, VUR_SIGN_PASSWORD_FILE), the Windows files carry no signature"
fi
