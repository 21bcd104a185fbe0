#!/usr/bin/env bash
# targets.sh: vurfleet on both stores against the tools an administrator
# would use instead, in one run, on synthetic fleets (make_fleet):
#
#   bench/fleet/targets.sh [--no-per-file] [--no-groups] [--per-file-only]
#                          [--runs R] [MACHINES...]        (default: 1 run; 1000 10000)
#
# 1. For each size, about 3 000 report lines a machine, on SQLite and on a
#    PostgreSQL 15 server of the script's own (default durability: each
#    group's commit waits for the log's flush):
#    - the first load against two baselines: `sqlite3 .import` / `COPY` of
#      the same report lines (machine, path, version, tab-separated) into an
#      unindexed table; and the floor, the rows the first load stored copied
#      back into an empty copy of its own schema, every key and index in
#      place, parents first (sqlite_rows' typed rows and prepared INSERT;
#      `COPY ... (FORMAT binary)` out and in, in one transaction), the
#      copy-back alone timed;
#    - next week's load (about 1 % of entries changed) against the first,
#      and PostgreSQL's against SQLite's;
#    - `find --name putty.exe --below 0.81` (median of 9, warm) against
#      `grep -r -F putty.exe` over the same week's files (median of 3, warm);
#    - the peak RSS of the first load, `report` as of the day after the
#      second week (its changes on the page; median of 9, or of R,
#      PostgreSQL's against SQLite's: at most 2x), and `check` (under 60 s).
#    With --runs R, each store's first load (into a new database) and its
#    floor are timed R times, and their medians given: on a shared machine
#    one load of PostgreSQL varies by a fifth from run to run.
#    PostgreSQL's first load and its floor each start after `sync` and a
#    CHECKPOINT: neither pays for the pages the step before it left to write;
#    and after one untimed first load, which makes the log's segments.
# 2. Per-file costs: 1 000 and 100 000 machines of 300 report lines, first
#    load, the time per machine on each store.
# 3. The group: the first load at the first size with --group 1, 10, 100
#    (the default) and 1000; and on PostgreSQL four loads side by side, a
#    quarter of the week each, against one load of the whole week.
#
# The fleets stay in build/bench/ for the next run. The machine is shared:
# compare ratios, not seconds. Needs build/linux/vurfleet, make_fleet and
# sqlite_rows, the sqlite3 shell and PostgreSQL 15 (scripts/install-deps.sh
# test).
. "$(dirname "$0")/../../scripts/usage.sh"
usage_check '[--no-per-file] [--no-groups] [--per-file-only] [--runs R] [MACHINES...]' \
  '--no-per-file --no-groups --per-file-only --runs=' "$@"
set -euo pipefail
cd "$(dirname "$0")/../.."
per_file=1 groups=1 sized=1 runs=1
while [ $# -gt 0 ]; do
  case $1 in
    --no-per-file) per_file=0; shift ;;
    --no-groups) groups=0; shift ;;
    --per-file-only) sized=0 groups=0; shift ;;
    --runs) runs=$2; shift 2 ;;
    *) break ;;
  esac
done
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "targets.sh: --runs takes a whole number from 1, not $runs" >&2; exit 2; }
reports=$(( runs > 9 ? runs : 9 ))
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1000 10000)
for tool in vurfleet make_fleet sqlite_rows; do
  [ -x "build/linux/$tool" ] || { echo "needs build/linux/$tool (cmake --build --preset linux --target $tool)" >&2; exit 2; }
done
vurfleet=$(realpath build/linux/vurfleet)
make_fleet=$(realpath build/linux/make_fleet)
sqlite_rows=$(realpath build/linux/sqlite_rows)
for tool in sqlite3 /usr/bin/time grep psql; do
  command -v "$tool" >/dev/null || { echo "needs $tool" >&2; exit 2; }
done
export PG_DURABLE=1
. tests/fleet/pg_server.sh
pg_start

# The fleets' stamps are of November 2026: their loads give a clock after them.
now=2027-01-01
# The report as of the day after the second week's last scans, so that the
# page counts that week's changes (the week after it repeats the second).
report_now=2026-11-13

. bench/fleet/timing.sh
# peak MOUT COMMAND...: runs COMMAND; its peak RSS in MiB into the file MOUT
peak() {
  local out=$1; shift
  /usr/bin/time -f '%M' -o "$out" "$@" >/dev/null
  awk '{ printf "%d", $1 / 1024 }' "$out" > "$out.mib"; mv "$out.mib" "$out"
}
# fleet DIR MACHINES LINES: a fleet of two weeks and the same week again
fleet() {
  if [ ! -f "$1/done" ]; then
    echo "# making a fleet of $2 machines, $3 report lines each, in $1"
    rm -rf "$1"; mkdir -p "$1"
    "$make_fleet" "$1/share" --machines "$2" --lines "$3" --weeks 2 --same-week --tsv "$1/week-01.tsv" >/dev/null
    touch "$1/done"
  fi
}
# The floor of a first load: the rows it stored, copied back into an empty
# copy of its schema. Every table of the schema, parents before the tables
# whose foreign keys name them; the copy checked against the rows stored.
# sq_floor DB WORK: seconds of the copy-back on SQLite
sq_floor() {
  local pragmas="PRAGMA application_id; PRAGMA user_version; PRAGMA journal_mode"
  rm -f "$2/floor.db"*
  "$sqlite_rows" export "$1" "$2/stored.rows"
  "$sqlite_rows" schema "$1" "$2/floor.db"
  seconds "$sqlite_rows" import "$2/stored.rows" "$2/floor.db"
  "$sqlite_rows" export "$2/floor.db" "$2/floor.rows"
  cmp -s "$2/stored.rows" "$2/floor.rows" && [ "$(sqlite3 "$1" "$pragmas")" = "$(sqlite3 "$2/floor.db" "$pragmas")" ] ||
    { echo "SQLite's floor: the copy differs from $1" >&2; exit 1; }
  rm -f "$2/floor.db"* "$2/"*.rows
}
# The tables of PostgreSQL's schema, parents first: a table's depth is its
# longest chain of foreign keys up to a table without one.
pg_parents_first="WITH RECURSIVE t AS (
    SELECT c.oid FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace
     WHERE c.relkind = 'r' AND n.nspname NOT IN ('pg_catalog', 'information_schema')
       AND n.nspname NOT LIKE 'pg\_%'),
  fk AS (SELECT conrelid AS child, confrelid AS parent FROM pg_constraint
          WHERE contype = 'f' AND conrelid <> confrelid),
  d (oid, depth) AS (SELECT oid, 0 FROM t UNION
    SELECT fk.child, d.depth + 1 FROM d JOIN fk ON fk.parent = d.oid WHERE d.depth < 64)
SELECT quote_ident(n.nspname) || '.' || quote_ident(c.relname) FROM d
  JOIN pg_class c ON c.oid = d.oid JOIN pg_namespace n ON n.oid = c.relnamespace
 GROUP BY n.nspname, c.relname ORDER BY max(d.depth), 1"
# pg_floor DB WORK: seconds of the copy-back on PostgreSQL, into DB_floor
pg_floor() {
  local to=${1}_floor i=0 table
  local -a tables
  pg_fresh "$to"
  "$PG_BIN/pg_dump" --schema-only "$(pg_url "$1")" | psql -X -q -v ON_ERROR_STOP=1 "$(pg_url "$to")" >/dev/null
  mapfile -t tables < <(psql -X -At -v ON_ERROR_STOP=1 "$(pg_url "$1")" -c "$pg_parents_first")
  rm -rf "$2/floor"; mkdir -p "$2/floor"
  : > "$2/floor/out.sql"; : > "$2/floor/in.sql"; : > "$2/floor/check.sql"
  for table in "${tables[@]}"; do
    i=$((i + 1))
    echo "\\copy $table TO '$(realpath "$2")/floor/$i.stored' (FORMAT binary)" >> "$2/floor/out.sql"
    echo "\\copy $table FROM '$(realpath "$2")/floor/$i.stored' (FORMAT binary)" >> "$2/floor/in.sql"
    echo "\\copy $table TO '$(realpath "$2")/floor/$i.copied' (FORMAT binary)" >> "$2/floor/check.sql"
  done
  psql -X -q -v ON_ERROR_STOP=1 -f "$2/floor/out.sql" "$(pg_url "$1")" >/dev/null
  sync; pg_sql CHECKPOINT
  seconds psql -X -q -1 -v ON_ERROR_STOP=1 -f "$2/floor/in.sql" "$(pg_url "$to")"
  psql -X -q -v ON_ERROR_STOP=1 -f "$2/floor/check.sql" "$(pg_url "$to")" >/dev/null
  for i in $(seq 1 "$i"); do
    cmp -s "$2/floor/$i.stored" "$2/floor/$i.copied" || { echo "PostgreSQL's floor: ${tables[$((i - 1))]} differs" >&2; exit 1; }
  done
  rm -rf "$2/floor"
  psql -X -q "$PG_ADMIN" -c "DROP DATABASE \"$to\"" >/dev/null
}
pg_fresh() { psql -X -q "$PG_ADMIN" -c "SET client_min_messages = warning" -c "DROP DATABASE IF EXISTS \"$1\"" >/dev/null; pg_createdb "$1"; }

rows=()
[ "$sized" = 1 ] || sizes=()
for n in "${sizes[@]}"; do
  dir=build/bench/fleet-$n
  fleet "$dir" "$n" 3000
  share=$dir/share work=$dir/targets
  rm -rf "$work"; mkdir -p "$work"
  lines=$(wc -l < "$dir/week-01.tsv")
  echo "# $n machines, $lines report lines"

  # SQLite
  imp=$(seconds sqlite3 "$work/import.db" "CREATE TABLE lines (machine TEXT, path TEXT, version TEXT)" \
    ".mode tabs" ".import $dir/week-01.tsv lines")
  firsts=() floors=()
  for _ in $(seq "$runs"); do
    rm -f "$work/sq.db"*
    firsts+=("$(seconds peak "$work/sq.rss" "$vurfleet" --db "$work/sq.db" load --now "$now" "$share/week-01")")
    floors+=("$(sq_floor "$work/sq.db" "$work")")
  done
  sq_first=$(printf '%s\n' "${firsts[@]}" | median) sq_floor=$(printf '%s\n' "${floors[@]}" | median)
  [ "$runs" = 1 ] || echo "# $n, SQLite: first loads ${firsts[*]} s; floors ${floors[*]} s"
  sq_rss=$(cat "$work/sq.rss")
  sq_next=$(seconds "$vurfleet" --db "$work/sq.db" load --now "$now" "$share/week-02")
  sqlite3 "$work/sq.db" "ANALYZE" >/dev/null
  "$vurfleet" --db "$work/sq.db" find --name putty.exe --below 0.81 --csv > "$work/sq.find"
  sq_find=$(for _ in 1 2 3 4 5 6 7 8 9; do ms "$vurfleet" --db "$work/sq.db" find --name putty.exe --below 0.81; done | median)
  grep -r -F putty.exe "$share/week-02" >/dev/null || true
  grep_ms=$(for _ in 1 2 3; do ms grep -r -F putty.exe "$share/week-02"; done | median)
  sq_report=$(for _ in $(seq "$reports"); do ms "$vurfleet" --db "$work/sq.db" report --now "$report_now" -o "$work/sq.html"; done | median)
  sq_check=$(seconds "$vurfleet" --db "$work/sq.db" check)

  # PostgreSQL
  db=targets_$n
  pg_fresh "${db}_copy"
  copy=$(seconds psql -X -q -v ON_ERROR_STOP=1 "$(pg_url "${db}_copy")" \
    -c "CREATE TABLE lines (machine text, path text, version text)" -c "\\copy lines FROM '$dir/week-01.tsv'")
  # One first load untimed: a new server has yet to make the log's segments
  # (a first load writes about 1 GB of log at 1 000 machines), which every
  # later step, the floor's too, recycles.
  pg_fresh "$db"
  "$vurfleet" --db "$(pg_url "$db")" load --now "$now" "$share/week-01" >/dev/null
  firsts=() floors=()
  for _ in $(seq "$runs"); do
    pg_fresh "$db"; sync; pg_sql CHECKPOINT
    firsts+=("$(seconds peak "$work/pg.rss" "$vurfleet" --db "$(pg_url "$db")" load --now "$now" "$share/week-01")")
    floors+=("$(pg_floor "$db" "$work")")
  done
  pg_first=$(printf '%s\n' "${firsts[@]}" | median) pg_floor=$(printf '%s\n' "${floors[@]}" | median)
  [ "$runs" = 1 ] || echo "# $n, PostgreSQL: first loads ${firsts[*]} s; floors ${floors[*]} s"
  pg_rss=$(cat "$work/pg.rss")
  pg_next=$(seconds "$vurfleet" --db "$(pg_url "$db")" load --now "$now" "$share/week-02")
  psql -X -q "$(pg_url "$db")" -c "ANALYZE" >/dev/null
  "$vurfleet" --db "$(pg_url "$db")" find --name putty.exe --below 0.81 --csv > "$work/pg.find"
  cmp -s "$work/sq.find" "$work/pg.find" || { echo "the stores' finds differ" >&2; exit 1; }
  pg_find=$(for _ in 1 2 3 4 5 6 7 8 9; do ms "$vurfleet" --db "$(pg_url "$db")" find --name putty.exe --below 0.81; done | median)
  pg_report=$(for _ in $(seq "$reports"); do ms "$vurfleet" --db "$(pg_url "$db")" report --now "$report_now" -o "$work/pg.html"; done | median)
  pg_check=$(seconds "$vurfleet" --db "$(pg_url "$db")" check)
  psql -X -q "$PG_ADMIN" -c "DROP DATABASE ${db}_copy" >/dev/null

  echo "# $n: .import $imp s, floor $sq_floor s, SQLite first $sq_first s, next $sq_next s, find $sq_find ms, grep $grep_ms ms," \
       "report $sq_report ms, check $sq_check s; COPY $copy s, floor $pg_floor s, PostgreSQL first $pg_first s, next $pg_next s, find $pg_find ms," \
       "report $pg_report ms, check $pg_check s"
  rows+=("| $n | SQLite | \`.import\` $imp s | $sq_floor s | $sq_first s | **$(ratio "$sq_first" "$imp")x** (≤ 1.0) | **$(ratio "$sq_first" "$sq_floor")x** | $sq_next s | **$(ratio "$sq_next" "$sq_first")x** (≤ 0.25) | | $sq_find ms | $grep_ms ms | **$(ratio "$sq_find" "$grep_ms")x** (≤ 0.1) | $sq_rss MiB | $sq_report ms | $sq_check s (≤ 60) |")
  rows+=("| $n | PostgreSQL | \`COPY\` $copy s | $pg_floor s | $pg_first s | **$(ratio "$pg_first" "$copy")x** | **$(ratio "$pg_first" "$pg_floor")x** (≤ 1.5) | $pg_next s | **$(ratio "$pg_next" "$pg_first")x** (≤ 0.25) | **$(ratio "$pg_next" "$sq_next")x** (≤ 2) | $pg_find ms | $grep_ms ms | **$(ratio "$pg_find" "$grep_ms")x** (≤ 0.1) | $pg_rss MiB | $pg_report ms, **$(ratio "$pg_report" "$sq_report")x** SQLite's (≤ 2) | $pg_check s (≤ 60) |")
  psql -X -q "$PG_ADMIN" -c "DROP DATABASE $db" >/dev/null
done

[ "$sized" = 1 ] && echo && echo "| machines | store | the lines, unindexed | the floor | first load | against the lines | against the floor | next week | against its first | against SQLite's | find | \`grep -r -F\` | ratio | peak RSS, first load | report | check |"
[ "$sized" = 1 ] && echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|" && printf '%s\n' "${rows[@]}"

if [ "$per_file" = 1 ]; then
  echo
  echo "# per-file costs: 300 report lines a machine"
  per=()
  for m in 1000 100000; do
    dir=build/bench/fleet-$m-300
    fleet "$dir" "$m" 300
    rm -f "$dir/sq.db"*
    s=$(seconds peak "$dir/sq.rss" "$vurfleet" --db "$dir/sq.db" load --now "$now" "$dir/share/week-01")
    pg_fresh "per_$m"
    p=$(seconds peak "$dir/pg.rss" "$vurfleet" --db "$(pg_url "per_$m")" load --now "$now" "$dir/share/week-01")
    psql -X -q "$PG_ADMIN" -c "DROP DATABASE per_$m" >/dev/null
    rm -f "$dir/sq.db"*
    per+=("$m $s $p $(cat "$dir/sq.rss") $(cat "$dir/pg.rss")")
    echo "# $m machines of 300 lines: SQLite $s s ($(cat "$dir/sq.rss") MiB), PostgreSQL $p s ($(cat "$dir/pg.rss") MiB)"
  done
  read -r m1 s1 p1 sr1 pr1 <<<"${per[0]}"
  read -r m2 s2 p2 sr2 pr2 <<<"${per[1]}"
  ms_per() { awk -v t="$1" -v m="$2" 'BEGIN { printf "%.2f", 1000 * t / m }'; }
  echo
  echo "| store | 1 000 machines of 300 lines | per machine | peak RSS | 100 000 machines of 300 lines | per machine | peak RSS | ratio (≤ 1.5) |"
  echo "|---|---|---|---|---|---|---|---|"
  echo "| SQLite | $s1 s | $(ms_per "$s1" "$m1") ms | $sr1 MiB | $s2 s | $(ms_per "$s2" "$m2") ms | $sr2 MiB | **$(ratio "$(ms_per "$s2" "$m2")" "$(ms_per "$s1" "$m1")")x** |"
  echo "| PostgreSQL | $p1 s | $(ms_per "$p1" "$m1") ms | $pr1 MiB | $p2 s | $(ms_per "$p2" "$m2") ms | $pr2 MiB | **$(ratio "$(ms_per "$p2" "$m2")" "$(ms_per "$p1" "$m1")")x** |"
fi

if [ "$groups" = 1 ]; then
  n=${sizes[0]}
  dir=build/bench/fleet-$n work=$dir/targets
  echo
  echo "# the group: $n machines' first load with --group 1, 10, 100, 1000"
  grow=()
  for g in 1 10 100 1000; do
    rm -f "$work/g.db"*
    s=$(seconds "$vurfleet" --db "$work/g.db" load --now "$now" --group "$g" "$dir/share/week-01")
    pg_fresh group
    p=$(seconds "$vurfleet" --db "$(pg_url group)" load --now "$now" --group "$g" "$dir/share/week-01")
    grow+=("| $g | $s s | $p s |")
    echo "# --group $g: SQLite $s s, PostgreSQL $p s"
  done
  rm -f "$work/g.db"*
  # Four loads side by side, a quarter of the week each (hard links: a load
  # follows no symbolic link below a folder it is given).
  files=("$dir/share/week-01"/*.txt)
  quarter=$(( (${#files[@]} + 3) / 4 ))
  for q in 0 1 2 3; do
    rm -rf "$work/q$q"; mkdir -p "$work/q$q"
    for f in "${files[@]:$((q * quarter)):$quarter}"; do ln "$f" "$work/q$q/"; done
  done
  pg_fresh side
  side_load() {
    local pids=() q rc=0
    for q in 0 1 2 3; do "$vurfleet" --db "$(pg_url side)" load --now "$now" "$work/q$q" >/dev/null & pids+=($!); done
    for q in "${pids[@]}"; do wait "$q" || rc=1; done
    return $rc
  }
  side=$(seconds side_load)
  pg_fresh one
  one=$(seconds "$vurfleet" --db "$(pg_url one)" load --now "$now" "$dir/share/week-01")
  echo
  echo "| --group | SQLite, first load of $n machines | PostgreSQL |"
  echo "|---|---|---|"
  printf '%s\n' "${grow[@]}"
  echo
  echo "PostgreSQL, $n machines' first load: one load $one s, four side by side (a quarter each) $side s: **$(ratio "$one" "$side")x** the throughput."
fi
