#!/bin/bash
# version_differential.sh LINUX_PROBE BITS WINDOWS_PROBE_EXE [MAKE_PE]
#
# Reads the version of every DLL and EXE that a fresh Wine prefix holds for
# one architecture, twice: with the Linux version_probe (our POSIX layer, C:
# mapped to the prefix's drive_c through a drives file) and with the Windows
# version_probe.exe under Wine (Wine's own version API). Every line, the
# version and what the size call gave, must agree. With MAKE_PE, a set of
# crafted images (several version resources, odd directories) is compared too.
#   BITS 64: the x64 probe under wine64, over C:\windows\system32
#   BITS 32: the i686 probe under the 32-bit loader (a WoW64 process, so the
#            32-bit version.dll of syswow64 answers), over C:\windows\syswow64
# Prints the counts per list and ends with "N passed, M failed", a file
# passing when both probes agree on it; exits 0 only when all files agree.
. "$(dirname "$0")/../../scripts/usage.sh"
usage_check 'LINUX_PROBE 64|32 WINDOWS_PROBE_EXE [MAKE_PE]' '' "$@"
set -u
if [ $# -lt 3 ] || [ $# -gt 4 ] || [ ! -x "$1" ] || [ ! -f "$3" ] || { [ "$2" != 64 ] && [ "$2" != 32 ]; }; then
  echo "usage: $0 LINUX_PROBE 64|32 WINDOWS_PROBE_EXE [MAKE_PE]" >&2
  exit 2
fi
linux_probe=$(realpath "$1")
bits=$2
windows_probe=$(realpath "$3")
make_pe=${4:+$(realpath "$4")}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_harness.sh"
trap wh_cleanup EXIT
if [ "$bits" = 32 ]; then WH_WINE=$WH_WINE32 folder=syswow64; else WH_WINE=$WH_WINE64 folder=system32; fi

wh_template || { echo "could not build the Wine prefix" >&2; exit 1; }
P=$(WH_CLONE=hardlink wh_new version)
out=$WH_ROOT/out
mkdir -p "$out" "$WH_ROOT/machine" "$P/drive_c/t"
# Linux: a machine root whose only drive is the prefix's C:.
printf 'C: fixed %s\n' "$P/drive_c" >"$WH_ROOT/machine/drives"
cp "$windows_probe" "$P/drive_c/t/version_probe.exe"
wh_start "$P"

# windows_paths FOLDER: the DLLs and EXEs (or links to them) directly in a
# folder of the prefix's C:, as Windows paths in a stable order.
windows_paths() {
  (cd "$P/drive_c/$1" && find . -maxdepth 1 \( -type f -o -type l \) \( -iname '*.dll' -o -iname '*.exe' \) \
     -printf '%f\n' | LC_ALL=C sort) | sed "s|^|C:\\\\${1//\//\\\\}\\\\|"
}

# compare_paths NAME PATHS_FILE: both probes over one list of Windows paths;
# prints the counts, adds them to the totals and returns 0 when every line
# agrees. A list whose run failed, or that is empty, counts one failure more
# when no file disagreed.
passed=0
failed=0
compare_paths() {
  local name=$1 paths=$2 files linux_rc wine_rc with_version agreeing
  files=$(wc -l <"$paths")
  VURSCANNER_ROOT="$WH_ROOT/machine" "$linux_probe" <"$paths" >"$out/$name.linux" 2>"$out/$name.linux.err"
  linux_rc=$?
  ( cd "$P/drive_c" && wh_env "$P" "$WH_WINE" 'C:\t\version_probe.exe' \
      <"$paths" >"$out/$name.wine.crlf" 2>"$out/$name.wine.err" )
  wine_rc=$?
  tr -d '\r' <"$out/$name.wine.crlf" >"$out/$name.wine"
  with_version=$(grep -cv ' - <none> size [0-9]*$' "$out/$name.linux")
  agreeing=$(paste -d '\n' "$out/$name.linux" "$out/$name.wine" | paste - - -d '\t' | awk -F '\t' '$1 == $2' | wc -l)
  echo "$name ($bits-bit probe under $WH_WINE): files: $files, with version: $with_version," \
       "agreeing: $agreeing (linux rc $linux_rc, wine rc $wine_rc)"
  passed=$((passed + agreeing)) failed=$((failed + files - agreeing))
  if [ "$agreeing" -ne "$files" ] || [ "$files" -eq 0 ] || [ "$linux_rc" -ne 0 ] || [ "$wine_rc" -ne 0 ]; then
    [ "$agreeing" -eq "$files" ] && failed=$((failed + 1))
    diff "$out/$name.linux" "$out/$name.wine" | head -40
    [ -s "$out/$name.linux.err" ] && head -5 "$out/$name.linux.err"
    [ -s "$out/$name.wine.err" ] && head -5 "$out/$name.wine.err"
    return 1
  fi
  return 0
}

windows_paths "windows/$folder" >"$out/$folder.paths"
compare_paths "$folder" "$out/$folder.paths"
rc=$?

# Crafted images: which of several version resources is read, and what the
# size call says for PE and 16-bit images. Where Windows' rules and Wine's
# agree (binary search for RT_VERSION and id 1, a type's id its low 16 bits,
# languages neutral / US English / English / first), so must our reader.
if [ -n "$make_pe" ]; then
  c="$P/drive_c/crafted"
  mkdir -p "$c"
  pe() { local f=$1; shift; "$make_pe" "$c/$f" "$@" || { echo "make_pe failed: $f" >&2; rc=1; }; }
  pe plain.exe 1.2.3.4
  pe plain64.exe 1.2.3.4 --pe32plus
  pe named_beside_1.exe 1.2.3.4 --extra VERSION:0x409:9.9.9.9
  pe named_only.exe 1.2.3.4 --name VERSION
  pe id_2_only.exe 1.2.3.4 --name 2
  pe id_1_beside_2.exe 1.2.3.4 --name 2 --extra 1:0x409:9.9.9.9
  pe ids_unsorted.exe 1.2.3.4 --extra 2:0x409:9.9.9.9 --unsorted
  pe type_high_bits.exe 1.2.3.4 --type-high 0xab
  pe lang_400_409.exe 1.2.3.4 --extra 1:0x400:9.9.9.9
  pe lang_000_409.exe 1.2.3.4 --extra 1:0x000:9.9.9.9
  pe lang_007_009.exe 1.2.3.4 --lang 0x009 --extra 1:0x007:9.9.9.9
  pe lang_407_800.exe 1.2.3.4 --lang 0x800 --extra 1:0x407:9.9.9.9
  pe lang_407_only.exe 1.2.3.4 --lang 0x407
  pe lang_unsorted.exe 1.2.3.4 --extra 1:0x809:9.9.9.9 --unsorted
  pe ne.exe 3.10.0.103 --ne
  pe no_resources.exe 1.2.3.4 --none
  # Data entries that state fewer bytes than the block holds: what the size
  # call gives, and what the query finds in a zeroed buffer after the copy.
  for n in 0 2 6 20 38 40 44 48 52 56 64 91; do pe "cut_$n.exe" 3.4.5.6 --entry-size $n; done
  pe cut_64_pe32plus.exe 3.4.5.6 --pe32plus --entry-size 64
  (cd "$c" && ls | LC_ALL=C sort) | sed 's|^|C:\\crafted\\|' >"$out/crafted.paths"
  compare_paths crafted "$out/crafted.paths" || rc=1
fi
wh_stop "$P"
echo "$passed passed, $failed failed"
exit $rc
