#!/usr/bin/env bash
# licenses.sh: `vurfleet licenses`, `licenses --days` and `report
# --entitlements` on a synthetic fleet, on both stores, against the targets
# (200 entitlement rows: at 10 000 machines `licenses` under 2 s, `--days`
# for a year under 3 s, the report within 1.5x of the report alone).
#
#   bench/fleet/licenses.sh [--runs R] [--fleets DIR] [--share DIR]
#                           [--sqlite-only] [MACHINES...]
#                                          (default: 3 runs; 10000)
#
# The fleet (make_fleet: 3 000 report lines a machine, four weeks, 2 % of
# the runs unfinished) and its SQLite database are those of exposure.sh,
# in DIR/exposure-N/ (--fleets DIR, default build/bench), made when
# missing; the PostgreSQL database is loaded anew on a server of the
# script's own (pg_server.sh). --share DIR loads a fleet made before
# (make_fleet's, of MACHINES machines; only read) into DIR/licenses-N/
# instead; --sqlite-only leaves PostgreSQL out. The entitlements: 100 pools of two rows, on
# the 100 .exe names held by the most machines (the most intervals to
# read), one row from version 1 up, one on C:\Program Files\ at any
# version; half `peak`, half `snapshot`; each a year's period that ends the
# day after --at, so that --days gives 365 days a pool. The machine is
# shared: the medians of R runs are given. Needs build/linux/vurfleet and
# make_fleet, sqlite3, and PostgreSQL 15.
. "$(dirname "$0")/../../scripts/usage.sh"
usage_check '[--runs R] [--fleets DIR] [--share DIR] [--sqlite-only] [MACHINES...]' \
  '--runs= --fleets= --share= --sqlite-only' "$@"
set -euo pipefail
cd "$(dirname "$0")/../.."
runs=3 fleets=build/bench share= stores="sqlite pg"
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --fleets) fleets=$2; shift 2 ;;
    --share) share=$2; shift 2 ;;
    --sqlite-only) stores=sqlite; shift ;;
    --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) echo "licenses.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
    *) break ;;
  esac
done
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(10000)
vurfleet=$(realpath build/linux/vurfleet)
make_fleet=$(realpath build/linux/make_fleet)
now="2026-12-01 12:00:00"
if [ "$stores" != sqlite ]; then
  . tests/fleet/pg_server.sh
  pg_start
fi

. bench/fleet/timing.sh

table=()
for n in "${sizes[@]}"; do
  dir=$fleets/exposure-$n src=$fleets/exposure-$n/share
  [ -z "$share" ] || dir=$fleets/licenses-$n src=$share
  if [ ! -f "$dir/done" ]; then
    echo "# loading a fleet of $n machines in $dir"
    rm -rf "$dir"; mkdir -p "$dir"
    [ -n "$share" ] || "$make_fleet" "$src" --machines "$n" --lines 3000 --weeks 4 --unfinished 0.02
    load_start=$(date +%s)
    "$vurfleet" --db "$dir/fleet.db" load "$src" >/dev/null
    echo "# loaded in $(( $(date +%s) - load_start )) s"
    touch "$dir/done"
  fi
  db=$dir/fleet.db
  ent=$dir/entitlements.csv
  # Read whole: a reader that stops early would end the pipe's writers.
  "$vurfleet" --db "$db" programs --top 100000 --csv > "$dir/programs.all.csv"
  tail -n +2 "$dir/programs.all.csv" | cut -d, -f1 | uniq | grep -E '^tool[0-9]+\.exe$' |
    awk 'NR <= 100' > "$dir/pools.txt"
  { echo "pool,name,path,version_from,version_below,seats,rule,period_from,period_until,title,url"
    awk -v seats=$((n / 2)) '{ k++; rule = k % 2 ? "peak" : "snapshot"
      printf "POOL-%03d,%s,,1,,%d,%s,2025-12-02,2026-12-02,Pool %d,\n", k, $1, seats, rule, k
      printf "POOL-%03d,%s,c:\\program files\\*,,,%d,%s,2025-12-02,2026-12-02,Pool %d,\n", k, $1, seats, rule, k }' \
      "$dir/pools.txt"; } > "$ent"

  pg=
  if [ "$stores" != sqlite ]; then
    echo "# $n machines: loading the PostgreSQL store"
    pg_createdb "fleet$n"
    pg=$(pg_url "fleet$n")
    load_start=$(date +%s)
    "$vurfleet" --db "$pg" load "$src" >/dev/null
    echo "# loaded in $(( $(date +%s) - load_start )) s"
    psql -X -q "$pg" -c "VACUUM ANALYZE"
  fi

  # The same bytes from both stores, every form.
  for form in "" --days --machines; do
    [ -n "$pg" ] || break
    "$vurfleet" --db "$db" licenses --entitlements "$ent" --at "$now" $form --csv > "$dir/licenses.sqlite.csv"
    "$vurfleet" --db "$pg" licenses --entitlements "$ent" --at "$now" $form --csv > "$dir/licenses.pg.csv"
    if ! cmp -s "$dir/licenses.sqlite.csv" "$dir/licenses.pg.csv"; then
      echo "the stores' licenses $form differ" >&2; exit 1
    fi
  done
  days=$("$vurfleet" --db "$db" licenses --entitlements "$ent" --at "$now" --days --csv | tail -n +2 | wc -l)
  for store in $stores; do
    where=$db; [ $store = pg ] && where=$pg
    : > "$dir/l.t"; : > "$dir/d.t"; : > "$dir/p.t"; : > "$dir/r.t"
    for _ in $(seq "$runs"); do
      seconds "$vurfleet" --db "$where" licenses --entitlements "$ent" --at "$now" >> "$dir/l.t"
      seconds "$vurfleet" --db "$where" licenses --entitlements "$ent" --at "$now" --days >> "$dir/d.t"
      seconds "$vurfleet" --db "$where" report --now "$now" -o "$dir/plain.html" >> "$dir/p.t"
      seconds "$vurfleet" --db "$where" report --now "$now" --entitlements "$ent" -o "$dir/licenses.html" >> "$dir/r.t"
    done
    l=$(median < "$dir/l.t"); d=$(median < "$dir/d.t"); p=$(median < "$dir/p.t"); r=$(median < "$dir/r.t")
    r_ok=$(awk -v a="$r" -v b="$p" 'BEGIN { print (a <= 1.5 * b ? "yes" : "NO") }')
    echo "# $n machines, $store: licenses $l s ($(within "$l" 2)), --days ($days rows) $d s ($(within "$d" 3))," \
         "report $p s, with entitlements $r s ($(ratio "$r" "$p")x: $r_ok)"
    table+=("| $n | $store | $l s | $(within "$l" 2) | $d s | $(within "$d" 3) | $p s | $r s | **$(ratio "$r" "$p")x** | $r_ok |")
  done
  [ -z "$pg" ] || psql -X -q "$PG_ADMIN" -c "DROP DATABASE fleet$n"
done

echo
echo "| machines | store | \`licenses\` | under 2 s | \`--days\` (a year) | under 3 s | \`report\` | \`report --entitlements\` | ratio | within 1.5x |"
echo "|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${table[@]}"
