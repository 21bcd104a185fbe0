#!/usr/bin/env bash
# report.sh: `vurfleet report` on a synthetic fleet: the page's size and the
# time it takes to write, against the targets (under 5 MB, under 5 s at
# 10 000 machines), with the time of `programs` alone.
#
#   bench/fleet/report.sh [--runs R] [MACHINES...]   (default: 3 runs; 10000)
#
# The fleet (make_fleet: 3 000 report lines a machine, two weeks, 2 % of the
# runs unfinished) and its database stay in build/bench/report-N/ for the
# next run; making and loading 10 000 machines takes a few minutes. The
# machine is shared: the medians of R runs are given. Needs
# build/linux/vurfleet and make_fleet.
set -euo pipefail
cd "$(dirname "$0")/../.."
runs=3
if [ "${1:-}" = --runs ]; then runs=$2; shift 2; fi
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(10000)
vurfleet=$(realpath build/linux/vurfleet)
make_fleet=$(realpath build/linux/make_fleet)
now="2026-11-17 12:00:00"
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
seconds() {
  local start end
  start=$(date +%s%N); "$@" >/dev/null; end=$(date +%s%N)
  awk -v ns=$((end - start)) 'BEGIN { printf "%.2f\n", ns / 1e9 }'
}

table=()
for n in "${sizes[@]}"; do
  dir=build/bench/report-$n
  if [ ! -f "$dir/done" ]; then
    echo "# making and loading a fleet of $n machines in $dir"
    rm -rf "$dir"; mkdir -p "$dir"
    "$make_fleet" "$dir/share" --machines "$n" --lines 3000 --weeks 2 --unfinished 0.02
    "$vurfleet" --db "$dir/fleet.db" load "$dir/share" >/dev/null
    touch "$dir/done"
  fi
  db=$dir/fleet.db
  rows=$(sqlite3 "$db" "SELECT count(*) FROM intervals WHERE until IS NULL" 2>/dev/null || echo "?")
  echo "# $n machines, $rows entries: report and programs, $runs runs each"
  "$vurfleet" --db "$db" report --now "$now" -o "$dir/report.html"  # warm
  : > "$dir/report.t"; : > "$dir/programs.t"
  for _ in $(seq "$runs"); do
    seconds "$vurfleet" --db "$db" report --now "$now" -o "$dir/report.html" >> "$dir/report.t"
    seconds "$vurfleet" --db "$db" programs --csv >> "$dir/programs.t"
  done
  t=$(median < "$dir/report.t"); p=$(median < "$dir/programs.t")
  bytes=$(stat -c %s "$dir/report.html")
  size_ok=$([ "$bytes" -lt 5000000 ] && echo yes || echo NO)
  time_ok=$(awk -v t="$t" 'BEGIN { print (t < 5 ? "yes" : "NO") }')
  echo "# $n machines: page $bytes bytes (under 5 MB: $size_ok), written in $t s (under 5 s: $time_ok), programs $p s"
  table+=("| $n | $rows | $bytes | $t s | $p s | $size_ok | $time_ok |")
done

echo
echo "| machines | entries | page bytes | report | programs alone | under 5 MB | under 5 s |"
echo "|---|---|---|---|---|---|---|"
printf '%s\n' "${table[@]}"
