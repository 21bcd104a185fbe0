#!/bin/bash
# Builds the Windows Installer package of the 32-bit program with wixl:
#
#   package-msi.sh FOLDER VERSION OUT.msi
#
# FOLDER holds what packaging/windows/VURScanner.wxs installs (VURScanner.exe
# and LICENSE.txt). Windows Installer compares three parts of a version:
# NewerFrom, the first version newer than VERSION in those (1.2.1 for
# 1.3.0.0), bounds the upgrade (see VURScanner.wxs).
#
# The same content gives the same package: the product code and the package
# code are name-based GUIDs (SHA-1, under the upgrade code) of a digest of
# VERSION, the .wxs, wixl's version and every file in FOLDER, and the
# summary information's times are SOURCE_DATE_EPOCH (the last commit's time
# when unset); the cabinet's file times are the files' own, so give them that
# time too. The package is written to a temporary name and renamed into place.
. "$(dirname "$0")/usage.sh"
usage_check 'FOLDER VERSION OUT.msi' '' "$@"
set -euo pipefail

if [ $# -ne 3 ]; then
  echo "usage: $0 FOLDER VERSION OUT.msi" >&2
  exit 2
fi
folder=$(realpath "$1")
version=$2
mkdir -p "$(dirname "$3")"
msi=$(realpath "$3")
cd "$(dirname "$0")/.."
wxs=$(pwd)/packaging/windows/VURScanner.wxs
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
fi
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+(\.[0-9]+)?$ ]] ||
  { echo "package-msi.sh: $version is not a version of three or four numbers" >&2; exit 2; }
IFS=. read -r major minor patch _ <<<"$version"
newer_from=$major.$minor.$((patch + 1))

upgrade_code=$(sed -n 's/.*UpgradeCode="{\([0-9A-F-]*\)}".*/\1/p' "$wxs")
digest=$(
  {
    echo "version $version newer-from $newer_from"
    echo "wixl $(wixl --version)"
    echo "wxs $(sha256sum < "$wxs")"
    (cd "$folder" && find . -maxdepth 1 -type f -printf '%P\n' | LC_ALL=C sort |
       while IFS= read -r f; do echo "file $f $(sha256sum < "$f")"; done)
  } | sha256sum | cut -d' ' -f1)
code() { /usr/bin/python3 -c 'import sys, uuid; print("{%s}" % str(uuid.uuid5(uuid.UUID(sys.argv[1]), sys.argv[2])).upper())' "$upgrade_code" "$1 $digest"; }

tmp=$(mktemp "$msi.XXXXXX")
trap 'rm -f "$tmp"' EXIT
(cd "$folder" && wixl -a x86 -D Version="$version" -D NewerFrom="$newer_from" -D ProductCode="$(code product)" \
   -o "$tmp" "$wxs")
/usr/bin/python3 scripts/msi-summary.py "$tmp" "$(code package)" "$SOURCE_DATE_EPOCH"
chmod 644 "$tmp"
mv "$tmp" "$msi"
trap - EXIT
