#!/usr/bin/env bash
# postgres.sh: vurfleet on PostgreSQL 15, on the fleets load_and_find.sh
# makes, in one run per fleet size:
#
#   bench/fleet/postgres.sh [MACHINES...]   (default: 1000 10000)
#
#   1. first load: `vurfleet --db postgresql://... load` of week 1 against
#      `COPY` of the same report lines (machine, path, version as
#      tab-separated text) into an unindexed table, on the same server;
#   2. next week's load, and `find --name putty.exe --below 0.81` (warm,
#      median of 9), against the SQLite store's on the same files;
#   3. four loads side by side, a quarter of week 1 each, into an empty
#      database, against one load of the whole week: the throughput gained.
#
# The server is one of the script's own (tests/fleet/pg_server.sh: a
# temporary folder, a Unix socket), with PostgreSQL's default durability
# (fsync on, each file's commit waits for its WAL flush). The machine is
# shared: compare ratios, not seconds. Needs build/linux/vurfleet and
# make_fleet, and PostgreSQL 15 (scripts/install-deps.sh test).
set -euo pipefail
cd "$(dirname "$0")/../.."
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1000 10000)
vurfleet=$(realpath build/linux/vurfleet)
make_fleet=$(realpath build/linux/make_fleet)
export PG_DURABLE=1
. tests/fleet/pg_server.sh
pg_start

# seconds COMMAND...: wall-clock seconds of one run, two decimals
seconds() {
  local start end
  start=$(date +%s%N); "$@" >/dev/null; end=$(date +%s%N)
  awk -v ns=$((end - start)) 'BEGIN { printf "%.2f", ns / 1e9 }'
}
ms() {
  local start end
  start=$(date +%s%N); "$@" >/dev/null; end=$(date +%s%N)
  echo $(( (end - start) / 1000000 ))
}
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
copy_lines() {
  psql -X -q -v ON_ERROR_STOP=1 "$1" -c "CREATE TABLE lines (machine text, path text, version text)" \
    -c "\\copy lines FROM '$2'"
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
  work=$dir/pg-work
  rm -rf "$work"; mkdir -p "$work"
  lines=$(wc -l < "$dir/week-01.tsv")
  db=pg$n
  pg_createdb "${db}_copy"; pg_createdb "$db"; pg_createdb "${db}_side"

  echo "# $n machines, $lines report lines: COPY, then the first load"
  copy=$(seconds copy_lines "$(pg_url "${db}_copy")" "$(realpath "$dir/week-01.tsv")")
  first=$(seconds "$vurfleet" --db "$(pg_url "$db")" load "$share/week-01")
  echo "# next week's load"
  next=$(seconds "$vurfleet" --db "$(pg_url "$db")" load "$share/week-02")
  echo "# the SQLite store on the same weeks"
  sqlite_first=$(seconds "$vurfleet" --db "$work/sqlite.db" load "$share/week-01")
  sqlite_next=$(seconds "$vurfleet" --db "$work/sqlite.db" load "$share/week-02")

  echo "# find, warm"
  # The statistics autovacuum gathers a little after a load.
  psql -X -q "$(pg_url "$db")" -c "ANALYZE"
  pg_find=("$vurfleet" --db "$(pg_url "$db")" find --name putty.exe --below 0.81)
  sqlite_find=("$vurfleet" --db "$work/sqlite.db" find --name putty.exe --below 0.81)
  "${pg_find[@]}" >/dev/null; "${sqlite_find[@]}" >/dev/null
  pf=$(for r in $(seq 9); do ms "${pg_find[@]}"; done | median)
  sf=$(for r in $(seq 9); do ms "${sqlite_find[@]}"; done | median)
  if ! cmp -s <("${pg_find[@]}") <("${sqlite_find[@]}"); then
    echo "the stores' answers differ" >&2; exit 1
  fi

  echo "# four loads side by side, a quarter of week 1 each"
  files=("$share"/week-01/*.txt)
  quarter=$(( (${#files[@]} + 3) / 4 ))
  for q in 0 1 2 3; do
    mkdir -p "$work/q$q"
    # Hard links: a load follows no symbolic link below a folder it is given.
    for f in "${files[@]:$((q * quarter)):$quarter}"; do ln "$f" "$work/q$q/"; done
  done
  side_load() {
    local pids=() q rc=0
    for q in 0 1 2 3; do "$vurfleet" --db "$(pg_url "${db}_side")" load "$work/q$q" >/dev/null & pids+=($!); done
    for q in "${pids[@]}"; do wait "$q" || rc=1; done
    return $rc
  }
  side=$(seconds side_load)
  echo "# $n machines: COPY $copy s, first load $first s, next week $next s (SQLite $sqlite_first s," \
       "$sqlite_next s), find $pf ms (SQLite $sf ms), four side by side $side s"
  table+=("| $n | $lines | $copy s | $first s | **$(ratio "$first" "$copy")x** | $next s | $sqlite_next s | **$(ratio "$next" "$sqlite_next")x** | $pf ms | $sf ms | **$(ratio "$pf" "$sf")x** | $side s | **$(ratio "$first" "$side")x** |")
  psql -X -q "$PG_ADMIN" -c "DROP DATABASE ${db}_copy" -c "DROP DATABASE ${db}_side" -c "DROP DATABASE $db"
done

echo
echo "| machines | report lines | \`COPY\` | first load | ratio (target ≤ 1.5) | next week | SQLite's next week | ratio | find | SQLite's find | ratio | four loads side by side | throughput against one load (4 at best) |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${table[@]}"
