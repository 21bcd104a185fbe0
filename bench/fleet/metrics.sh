#!/usr/bin/env bash
# metrics.sh: `vurfleet metrics --advisories` against `exposure --summary`
# on a synthetic fleet, on both stores (target: within 1.2x of the summary,
# whose figures it repeats; the rest is one query of the machines and a row
# of the last load).
#
#   bench/fleet/metrics.sh [--runs R] [--fleets DIR] [--sqlite-only] [MACHINES...]
#                                          (default: 5 runs; 1000)
#
# The fleet is exposure.sh's (make_fleet: 3 000 report lines a machine, four
# weeks, 2 % of the runs unfinished), kept with its SQLite database in
# DIR/exposure-N/ (--fleets DIR, default build/bench), and its advisories the
# same: 200 rows, 100 advisories of two rows each on putty.exe and the 99
# .exe names held by the most machines. The PostgreSQL database is loaded
# anew each run on a server of the script's own (pg_server.sh);
# --sqlite-only leaves it out. The machine is shared: the medians of R runs
# are given. Needs build/linux/vurfleet and make_fleet, and PostgreSQL 15.
. "$(dirname "$0")/../../scripts/usage.sh"
usage_check '[--runs R] [--fleets DIR] [--sqlite-only] [MACHINES...]' '--runs= --fleets= --sqlite-only' "$@"
set -euo pipefail
cd "$(dirname "$0")/../.."
runs=5 fleets=build/bench sqlite_only=
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --fleets) fleets=$2; shift 2 ;;
    --sqlite-only) sqlite_only=1; shift ;;
    --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) echo "metrics.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
    *) break ;;
  esac
done
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1000)
vurfleet=$(realpath build/linux/vurfleet)
make_fleet=$(realpath build/linux/make_fleet)
now="2026-12-01 12:00:00"
if [ -z "$sqlite_only" ]; then
  . tests/fleet/pg_server.sh
  pg_start
fi

. bench/fleet/timing.sh
places=3

table=()
for n in "${sizes[@]}"; do
  dir=$fleets/exposure-$n
  if [ ! -f "$dir/done" ]; then
    echo "# making and loading a fleet of $n machines in $dir"
    rm -rf "$dir"; mkdir -p "$dir"
    "$make_fleet" "$dir/share" --machines "$n" --lines 3000 --weeks 4 --unfinished 0.02
    "$vurfleet" --db "$dir/fleet.db" load "$dir/share" >/dev/null
    touch "$dir/done"
  fi
  db=$dir/fleet.db
  # A database of an older vurfleet is upgraded by a load; this one loads nothing new.
  "$vurfleet" --db "$db" load "$(find "$dir/share" -name '*.txt' -print -quit)" >/dev/null
  "$vurfleet" --db "$db" programs --top 100000 --csv | tail -n +2 > "$dir/programs.csv"
  { echo putty.exe; cut -d, -f1 "$dir/programs.csv" | uniq | awk '/^tool[0-9]+\.exe$/ && ++n <= 99'; } \
    > "$dir/metrics-names.txt"
  adv=$dir/metrics.csv
  echo "id,name,path,affected_from,fixed,severity,published,title,url" > "$adv"
  awk -F, 'NR == FNR { newest[$1] = newest[$1] ? newest[$1] : $3; next }
           { split(newest[$1], v, "."); n++; from = v[2] > 0 ? v[1] ".0" : ""
             split("critical high medium low", s, " ")
             id = sprintf("BENCH-%03d", n); sev = s[n % 4 + 1]
             printf "%s,%s,,,%s.%s,%s,,Benchmark %d,\n", id, $1, v[1], v[2], sev, n
             printf "%s,%s,c:\\program files\\*,%s,%s.%s,%s,,Benchmark %d,\n", id, $1, from, v[1], v[2], sev, n }' \
    "$dir/programs.csv" "$dir/metrics-names.txt" >> "$adv"
  stores=(sqlite)
  if [ -z "$sqlite_only" ]; then
    stores+=(pg)
    echo "# $n machines: loading the PostgreSQL store"
    pg_createdb "metrics$n"
    pg=$(pg_url "metrics$n")
    "$vurfleet" --db "$pg" load "$dir/share" >/dev/null
    psql -X -q "$pg" -c "VACUUM ANALYZE"
  fi
  for store in "${stores[@]}"; do
    where=$db; [ "$store" = pg ] && where=$pg
    : > "$dir/$store.summary.t"; : > "$dir/$store.metrics.t"
    for _ in $(seq "$runs"); do
      seconds "$vurfleet" --db "$where" exposure --advisories "$adv" --summary --at "$now" >> "$dir/$store.summary.t"
      seconds "$vurfleet" --db "$where" metrics --advisories "$adv" --now "$now" -o "$dir/fleet.prom" \
        >> "$dir/$store.metrics.t"
    done
    s=$(median < "$dir/$store.summary.t")
    m=$(median < "$dir/$store.metrics.t")
    ratio=$(ratio "$m" "$s")
    ok=$(awk -v r="$ratio" 'BEGIN { print (r <= 1.2 ? "yes" : "NO") }')
    echo "# $n machines, $store: exposure --summary $s s, metrics --advisories $m s (${ratio}x: $ok)"
    table+=("| $n | $store | $s s | $m s | **${ratio}x** | $ok |")
  done
  [ -n "$sqlite_only" ] || psql -X -q "$PG_ADMIN" -c "DROP DATABASE metrics$n"
done

echo
echo "| machines | store | \`exposure --summary\` | \`metrics --advisories\` | ratio | within 1.2x |"
echo "|---|---|---|---|---|---|"
printf '%s\n' "${table[@]}"
