#!/bin/bash
# version_differential.sh LINUX_PROBE WINDOWS_PROBE_EXE
#
# Reads the version of every C:\windows\system32\*.dll and *.exe of a fresh
# Wine prefix twice: with the Linux version_probe (our POSIX layer, C: mapped
# to the prefix's drive_c through a drives file) and with the Windows x64
# version_probe.exe under Wine (Wine's own version API). Every line must
# agree. Prints the counts; exits 0 only when all files agree.
set -u
if [ $# -ne 2 ] || [ ! -x "$1" ] || [ ! -f "$2" ]; then
  echo "usage: $0 LINUX_PROBE WINDOWS_PROBE_EXE" >&2
  exit 2
fi
linux_probe=$(realpath "$1")
windows_probe=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_harness.sh"
trap wh_cleanup EXIT

wh_template || { echo "could not build the Wine prefix" >&2; exit 1; }
P=$(wh_new version)
sys32="$P/drive_c/windows/system32"
out=$WH_ROOT/out
mkdir -p "$out"

# Files (or links to files) directly in system32, in a stable order.
(cd "$sys32" && find . -maxdepth 1 \( -type f -o -type l \) \( -iname '*.dll' -o -iname '*.exe' \) \
   -printf '%f\n' | LC_ALL=C sort) | sed 's/^/C:\\windows\\system32\\/' >"$out/paths"
files=$(wc -l <"$out/paths")

# Linux: a machine root whose only drive is the prefix's C:.
mkdir -p "$WH_ROOT/machine"
printf 'C: fixed %s\n' "$P/drive_c" >"$WH_ROOT/machine/drives"
VURSCANNER_ROOT="$WH_ROOT/machine" "$linux_probe" <"$out/paths" >"$out/linux" 2>"$out/linux.err"
linux_rc=$?

# Windows build under Wine; stdin is the list, stdout and stderr go to files.
wh_start "$P"
mkdir -p "$P/drive_c/t"
cp "$windows_probe" "$P/drive_c/t/version_probe.exe"
( cd "$P/drive_c" && wh_env "$P" "$WH_WINE" 'C:\t\version_probe.exe' \
    <"$out/paths" >"$out/wine.crlf" 2>"$out/wine.err" )
wine_rc=$?
wh_stop "$P"
tr -d '\r' <"$out/wine.crlf" >"$out/wine"

with_version=$(grep -cv ' - <none>$' "$out/linux")
agreeing=$(paste -d '\n' "$out/linux" "$out/wine" | paste - - -d '\t' | awk -F '\t' '$1 == $2' | wc -l)
echo "files: $files, with version: $with_version, agreeing: $agreeing (linux rc $linux_rc, wine rc $wine_rc)"
if [ "$agreeing" -ne "$files" ] || [ "$files" -eq 0 ] || [ "$linux_rc" -ne 0 ] || [ "$wine_rc" -ne 0 ]; then
  diff "$out/linux" "$out/wine" | head -40
  [ -s "$out/linux.err" ] && head -5 "$out/linux.err"
  exit 1
fi
exit 0
