#!/bin/bash
# console_writes.sh [-r RUNS] [-n FILES] [--wine32] BEFORE.exe AFTER.exe: what
# a console costs a Windows build under Wine. Each build scans the same drive
# of FILES small .exe files (default 3000, one report line each) with its
# standard output on /dev/null, a character device as a console is, and again
# with its standard output in a file. The four runs alternate, RUNS times
# (default 7); prints the medians and, per build, the median of the ratios
# /dev/null : file. A build that writes each message whole costs about as
# much on a device as into a file.
#
#   --wine32   run the builds under the 32-bit loader (the product, WoW64)
. "$(dirname "$0")/../scripts/usage.sh"
usage_check '[-r RUNS] [-n FILES] [--wine32] BEFORE.exe AFTER.exe' '-r= -n= --wine32' "$@"
set -euo pipefail
cd "$(dirname "$0")/.."

runs=7 files=3000 loader=wine64
while [ $# -gt 0 ]; do
  case $1 in
    -r) runs=$2; shift 2 ;;
    -n) files=$2; shift 2 ;;
    --wine32) loader=wine32; shift ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
[ $# -eq 2 ] || { echo "usage: $0 [-r RUNS] [-n FILES] [--wine32] BEFORE.exe AFTER.exe" >&2; exit 2; }
before=$(realpath "$1") after=$(realpath "$2")

. tests/e2e/wine_harness.sh
trap wh_cleanup EXIT
[ $loader = wine32 ] && WH_WINE=$WH_WINE32
wh_template >/dev/null 2>&1 || { echo "Wine prefix template failed" >&2; exit 1; }
tree=$WH_ROOT/tree
mkdir -p "$tree"
for ((i = 0; i < files; i++)); do
  d=$tree/$((i / 100)); [ -d "$d" ] || mkdir "$d"; : > "$d/f$i.exe"
done
P=$(WH_CLONE=hardlink wh_new bench)
wh_drive "$P" D "$tree"
wh_start "$P"
view=64; [ $loader = wine32 ] && view=32
WH_WINE=$WH_WINE64 wh_reg "$P" add 'HKLM\Software\Tolvek\QIM\VUR' /v PathExclusions /t REG_SZ \
  /d 'C:' /reg:$view /f >/dev/null
mkdir -p "$P/drive_c/t"
cp "$before" "$P/drive_c/t/before.exe"
cp "$after" "$P/drive_c/t/after.exe"

# timed BUILD DEVICE|FILE: one scan; prints its microseconds
timed() {
  local start end out=/dev/null
  [ "$2" = file ] && out=$WH_ROOT/out.txt
  start=${EPOCHREALTIME/./}
  (cd "$P/drive_c" && wh_env "$P" "$WH_WINE" "C:\\t\\$1.exe" </dev/null >"$out" 2>"$WH_ROOT/err")
  end=${EPOCHREALTIME/./}
  echo $((end - start))
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

timed before device >/dev/null   # warm the server and the page cache
: > "$WH_ROOT/times"
for ((r = 0; r < runs; r++)); do
  for b in before after; do
    dev=$(timed $b device) file=$(timed $b file)
    echo "$b $dev $file" >> "$WH_ROOT/times"
  done
done
echo "$files files, one report line each, $runs rounds, $loader"
for b in before after; do
  dev=$(awk -v b=$b '$1 == b { print $2 }' "$WH_ROOT/times" | median)
  file=$(awk -v b=$b '$1 == b { print $3 }' "$WH_ROOT/times" | median)
  ratio=$(awk -v b=$b '$1 == b { printf "%.3f\n", $2 / $3 }' "$WH_ROOT/times" | median)
  printf '%-6s  /dev/null %.3f s   file %.3f s   /dev/null:file median %.2f\n' \
    $b "$(awk -v v="$dev" 'BEGIN { print v / 1e6 }')" "$(awk -v v="$file" 'BEGIN { print v / 1e6 }')" \
    "$ratio"
done
