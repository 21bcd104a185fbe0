#!/usr/bin/env bash
# load_and_find.sh: vurfleet on a synthetic fleet, side by side with what an
# administrator would do without it, in one run per fleet size:
#
#   bench/fleet/load_and_find.sh [--runs R] [MACHINES...]   (default: 3 runs; 1000 10000)
#
#   1. first load: `vurfleet load` of week 1 against `sqlite3 .import` of the
#      same report lines (machine, path, version as tab-separated text) into
#      an unindexed table;
#   2. next week's load (about 1 % of entries changed) against the first;
#   3. `find --name putty.exe --below 0.81` against `grep -r -F putty.exe`
#      over the same week's folder, warm cache;
#   4. database bytes per machine after the first scan, bytes added by an
#      unchanged scan, and the peak RSS of the first load.
#
# The fleets (make_fleet: 3 000 report lines a machine, 3 weeks, about 2 GB
# of text a week at 10 000 machines) stay in build/bench/ for the next run.
# Runs alternate and their medians are compared; the machine is shared, so
# compare ratios, not seconds. Needs build/linux/vurfleet and make_fleet
# (cmake --preset linux && cmake --build --preset linux) and sqlite3.
set -euo pipefail
cd "$(dirname "$0")/../.."
runs=3
if [ "${1:-}" = --runs ]; then runs=$2; shift 2; fi
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1000 10000)
vurfleet=$(realpath build/linux/vurfleet)
make_fleet=$(realpath build/linux/make_fleet)
for tool in sqlite3 /usr/bin/time grep; do
  command -v "$tool" >/dev/null || { echo "needs $tool" >&2; exit 2; }
done

# timed OUT COMMAND...: runs COMMAND, appends "SECONDS RSS_KB" to OUT
timed() {
  local out=$1; shift
  /usr/bin/time -f '%e %M' -o "$out.one" "$@" >/dev/null
  cat "$out.one" >> "$out"
}
# median FILE [COLUMN]
median() { cut -d' ' -f"${2:-1}" "$1" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
# ms COMMAND...: milliseconds of one run
ms() {
  local start end
  start=$(date +%s%N); "$@" >/dev/null; end=$(date +%s%N)
  echo $(( (end - start) / 1000000 ))
}

table=()
for n in "${sizes[@]}"; do
  dir=build/bench/fleet-$n
  if [ ! -f "$dir/done" ]; then
    echo "# making a fleet of $n machines in $dir"
    rm -rf "$dir"; mkdir -p "$dir"
    "$make_fleet" "$dir/share" --machines "$n" --lines 3000 --weeks 2 --same-week \
      --tsv "$dir/week-01.tsv"
    touch "$dir/done"
  fi
  share=$dir/share
  lines=$(wc -l < "$dir/week-01.tsv")
  work=$dir/work
  rm -rf "$work"; mkdir -p "$work"

  echo "# $n machines, $lines report lines: first load, $runs runs alternating"
  for r in $(seq "$runs"); do
    rm -f "$work/import.db"
    timed "$work/import.t" sqlite3 "$work/import.db" \
      "CREATE TABLE lines (machine TEXT, path TEXT, version TEXT)" ".mode tabs" \
      ".import $dir/week-01.tsv lines"
    rm -f "$work/first.db"*
    timed "$work/first.t" "$vurfleet" --db "$work/first.db" load "$share/week-01"
  done
  cp "$work/first.db" "$work/base.db"
  echo "# next week's load, $runs runs"
  for r in $(seq "$runs"); do
    cp "$work/base.db" "$work/next.db"; rm -f "$work/next.db-"*
    timed "$work/next.t" "$vurfleet" --db "$work/next.db" load "$share/week-02"
  done
  cp "$work/next.db" "$work/same.db"
  "$vurfleet" --db "$work/same.db" load "$share/week-03" >/dev/null

  echo "# find against grep, warm"
  find_cmd=("$vurfleet" --db "$work/next.db" find --name putty.exe --below 0.81)
  grep_cmd=(grep -r -F putty.exe "$share/week-02")
  "${find_cmd[@]}" >/dev/null; "${grep_cmd[@]}" >/dev/null
  : > "$work/find.t"; : > "$work/grep.t"
  for r in $(seq $((runs * 3))); do
    ms "${find_cmd[@]}" >> "$work/find.t"
    ms "${grep_cmd[@]}" >> "$work/grep.t"
  done
  found=$("${find_cmd[@]}" | tail -n +2 | wc -l)
  grepped=$("${grep_cmd[@]}" | grep -c -v -e ' - 0\.8[1-9]\.' -e ' - 0\.9' || true)

  imp=$(median "$work/import.t"); first=$(median "$work/first.t"); next=$(median "$work/next.t")
  fnd=$(median "$work/find.t"); grp=$(median "$work/grep.t")
  rss=$(( $(median "$work/first.t" 2) / 1024 )); rss_next=$(( $(median "$work/next.t" 2) / 1024 ))
  base_bytes=$(stat -c %s "$work/base.db"); next_bytes=$(stat -c %s "$work/next.db")
  same_bytes=$(stat -c %s "$work/same.db"); import_bytes=$(stat -c %s "$work/import.db")
  echo "# $n machines: import $imp s, first load $first s, next week $next s," \
       "find $fnd ms ($found rows), grep $grp ms, RSS $rss MiB / $rss_next MiB"
  table+=("| $n | $lines | $imp s | $first s | **$(ratio "$first" "$imp")x** | $next s | **$(ratio "$next" "$first")x** | $fnd ms | $grp ms | **$(ratio "$fnd" "$grp")x** | $((base_bytes / n)) | $(( (next_bytes - base_bytes) / n )) | $(( (same_bytes - next_bytes) / n )) | $((import_bytes / n)) | $rss MiB |")
done

echo
echo "| machines | report lines | \`.import\` | first load | ratio (≤ 1.0) | next week | ratio (≤ 0.25) | find | \`grep -r -F\` | ratio (≤ 0.1) | bytes/machine, first scan | added by next week | added by an unchanged scan | \`.import\` bytes/machine | peak RSS, first load |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${table[@]}"
