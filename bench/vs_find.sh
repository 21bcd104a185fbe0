#!/bin/bash
# vs_find.sh [options] [FILES...]: the full default scan of a generated tree
# against `find TREE -type f`, for each tree size FILES (default 20000 and
# 200000). Scanner and find run alternately, warm and then with the page
# cache dropped before each run (root only); prints the medians, the median
# of the per-pair ratios scanner/find, and the peak RSS from /usr/bin/time -v.
#
#   -r RUNS      pairs per mode (default 11 warm, 9 cold)
#   -w DIR       where the trees and machine roots live (default build/bench)
#   -s SCANNER   the Linux scanner (default build/scan/VURScanner)
#   -t TOOL      vur_bench, which writes the trees (default build/linux/vur_bench)
#   --no-cold    warm runs only
#   --wine EXE   also time EXE (the Windows build) under Wine on each tree, 3 runs
#
# The trees are kept and reused; delete DIR to make them again.
. "$(dirname "$0")/../scripts/usage.sh"
usage_check '[-r RUNS] [-w DIR] [-s SCANNER] [-t TOOL] [--no-cold] [--wine EXE] [FILES...]' '-r= -w= -s= -t= --no-cold --wine=' "$@"
set -euo pipefail
cd "$(dirname "$0")/.."

runs= work=build/bench scanner=build/scan/VURScanner tool=build/linux/vur_bench
cold=yes wine_exe= sizes=()
while [ $# -gt 0 ]; do
  case $1 in
    -r) runs=$2; shift 2 ;;
    -w) work=$2; shift 2 ;;
    -s) scanner=$2; shift 2 ;;
    -t) tool=$2; shift 2 ;;
    --no-cold) cold=no; shift ;;
    --wine) wine_exe=$2; shift 2 ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) sizes+=("$1"); shift ;;
  esac
done
[ ${#sizes[@]} -gt 0 ] || sizes=(20000 200000)
for f in "$scanner" "$tool"; do
  [ -x "$f" ] || { echo "$f is missing: cmake --preset scan && cmake --build --preset scan;" \
                        "cmake --preset linux && cmake --build --preset linux --target vur_bench" >&2; exit 2; }
done
[ -x /usr/bin/time ] || { echo "/usr/bin/time is missing (apt-get install time)" >&2; exit 2; }
scanner=$(realpath "$scanner")
if [ "$cold" = yes ] && { [ "$(id -u)" -ne 0 ] || [ ! -w /proc/sys/vm/drop_caches ]; }; then
  echo "cold runs skipped: dropping the page cache needs root"
  cold=no
fi
# Bump when the generator's tree changes, so old trees are made again.
tree_format=1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# run KIND MACHINE TREE: runs one command under /usr/bin/time -v, output to
# /dev/null; prints "microseconds peak-RSS-KiB".
run() {
  local start end
  start=${EPOCHREALTIME/./}
  if [ "$1" = scan ]; then
    VURSCANNER_ROOT=$2 /usr/bin/time -v -o "$tmp/time" "$scanner" >/dev/null 2>"$tmp/err"
  else
    /usr/bin/time -v -o "$tmp/time" find "$3" -type f >/dev/null 2>"$tmp/err"
  fi
  end=${EPOCHREALTIME/./}
  echo "$((end - start)) $(awk -F': ' '/Maximum resident/ {print $2}' "$tmp/time")"
}

drop_caches() { sync; echo 3 >/proc/sys/vm/drop_caches; }

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

# pairs MODE COUNT MACHINE TREE: COUNT pairs, the order switching each pair.
pairs() {
  local mode=$1 count=$2 i order kind result scan_us find_us
  : >"$tmp/pairs"
  for ((i = 0; i < count; i++)); do
    if ((i % 2 == 0)); then order="find scan"; else order="scan find"; fi
    for kind in $order; do
      [ "$mode" = cold ] && drop_caches
      result=$(run "$kind" "$3" "$4")
      echo "$kind $result" >>"$tmp/runs"
      if [ "$kind" = scan ]; then scan_us=${result% *}; else find_us=${result% *}; fi
    done
    echo "$find_us $scan_us" >>"$tmp/pairs"
  done
  local find_median scan_median ratio
  find_median=$(awk '{print $1 / 1e6}' "$tmp/pairs" | median)
  scan_median=$(awk '{print $2 / 1e6}' "$tmp/pairs" | median)
  ratio=$(awk '{print $2 / $1}' "$tmp/pairs" | median)
  printf '  %-4s (%2d pairs): find %.3f s, scanner %.3f s (medians); scanner/find median %.2f\n' \
    "$mode" "$count" "$find_median" "$scan_median" "$ratio"
}

for files in "${sizes[@]}"; do
  base=$work/t$files
  tree=$(realpath -m "$base/tree")
  machine=$(realpath -m "$base/machine")
  if [ "$(cat "$base/stamp" 2>/dev/null)" != "format $tree_format files $files" ]; then
    echo "making the tree of $files files in $tree"
    rm -f "$base/stamp"
    "$tool" --make-tree "$tree" "$files" >"$tmp/summary"
    mkdir -p "$machine"
    echo "format $tree_format files $files" >"$base/stamp"
  fi
  rm -rf "$machine" && mkdir -p "$machine"
  echo "D: fixed $tree" >"$machine/drives"

  # One untimed run for the counts, which also warms the cache.
  VURSCANNER_ROOT=$machine "$scanner" >"$tmp/report"
  find "$tree" -type f >/dev/null
  nfiles=$(find "$tree" -type f | wc -l)
  nfolders=$(find "$tree" -mindepth 1 -type d | wc -l)
  # Report lines are the lines that don't start with "# " (and aren't the
  # empty line some error messages start with).
  reported=$(grep -v '^#' "$tmp/report" | grep -c . || true)
  versioned=$(grep -v '^#' "$tmp/report" | grep . | grep -vc ' - <none>$' || true)
  echo "tree of $nfiles files in $nfolders folders: $reported .exe/.com reported, $versioned with a version"
  : >"$tmp/runs"
  pairs warm "${runs:-11}" "$machine" "$tree"
  [ "$cold" = yes ] && pairs cold "${runs:-9}" "$machine" "$tree"
  awk '{rss[$1] = rss[$1] > $3 ? rss[$1] : $3}
       END {printf "  peak RSS: scanner %.1f MiB, find %.1f MiB (largest of all runs)\n", rss["scan"] / 1024, rss["find"] / 1024}' "$tmp/runs"

  if [ -n "$wine_exe" ]; then
    exe=$(realpath "$wine_exe")
    export WH_ROOT=$(realpath -m "$work/wine") WH_WINE=${WH_WINE:-/usr/lib/wine/wine}
    # shellcheck source=../tests/e2e/wine_harness.sh
    . tests/e2e/wine_harness.sh
    wh_template >/dev/null || { echo "could not make the Wine prefix" >&2; exit 1; }
    export WH_CLONE=hardlink
    prefix=$(wh_new bench)
    wh_drive "$prefix" D "$tree"
    mkdir -p "$prefix/drive_c/t" && cp "$exe" "$prefix/drive_c/t/VURScanner.exe"
    wh_start "$prefix"
    # C: holds Wine itself: leave it out, so only the tree is scanned.
    wh_reg "$prefix" add 'HKLM\Software\Tolvek\QIM\VUR' /v PathExclusions /t REG_MULTI_SZ /d 'C:' /f >/dev/null
    : >"$tmp/wine"
    for ((i = 0; i < 3; i++)); do
      start=${EPOCHREALTIME/./}
      (cd "$prefix/drive_c" && wh_env "$prefix" "$WH_WINE" 'C:\t\VURScanner.exe' </dev/null >"$tmp/wine.out" 2>/dev/null)
      end=${EPOCHREALTIME/./}
      start_find=${EPOCHREALTIME/./}
      find "$tree" -type f >/dev/null
      end_find=${EPOCHREALTIME/./}
      echo "$((end - start)) $((end_find - start_find))" >>"$tmp/wine"
    done
    wh_stop "$prefix"
    wine_reported=$(tr -d '\r' <"$tmp/wine.out" | grep -v '^#' | grep -c . || true)
    awk '{print $1 / 1e6}' "$tmp/wine" | median >"$tmp/wm"
    awk '{print $2 / 1e6}' "$tmp/wine" | median >"$tmp/fm"
    printf '  wine (3 runs, warm): %s %.2f s (median), find %.3f s; %s lines reported\n' \
      "$(basename "$exe")" "$(cat "$tmp/wm")" "$(cat "$tmp/fm")" "$wine_reported"
    rm -rf "$prefix"
  fi
done
