#!/usr/bin/env bash
# exposure.sh: `vurfleet exposure --summary` and `report --advisories` on a
# synthetic fleet, on both stores, against the targets (200 advisory rows:
# at 10 000 machines the summary under 1 s, or under 5 s for the whole
# fleet exposed, which takes under 1 s at 1 000; the report within 1.5x of
# the report alone).
#
#   bench/fleet/exposure.sh [--runs R] [--rules N] [--fleets DIR]
#                           [--summary-only] [MACHINES...]
#                                          (default: 3 runs; 10000)
#
# The fleet (make_fleet: 3 000 report lines a machine, four weeks, 2 % of
# the runs unfinished) and its SQLite database stay in DIR/exposure-N/
# (--fleets DIR, default build/bench) for the next run; the PostgreSQL
# database is loaded anew each run on a server of the script's own
# (pg_server.sh), which takes most of an hour at 10 000 machines. Two files of 200 rows,
# 100 advisories of two rows each (the newest release of a program fixes
# it; the second row bounds it on a path too), made from the names the
# fleet holds, and a third of 200 rows that the whole fleet is exposed to:
#   widespread  putty.exe and the 99 .exe names held by the most machines
#               (each by nearly every machine): the most intervals to read
#   spread      putty.exe and 99 .exe names taken evenly along the fleet's
#               names from the most held to the least
#   whole       the 100 names (of any kind) held by the most machines, every
#               version affected (fixed at 65535): nearly every machine
#               exposed to every advisory, and their windows to work out
#   many        with --rules N only: the widespread file's 200 rows and
#               N - 200 more, one in ten on a name the fleet holds (in
#               turn), the others on names none holds: the cost of a large
#               file, which grows with its rules and the entries, not with
#               their product
# --summary-only times `exposure --summary` alone, not the page. The
# machine is shared: the medians of R runs are given. Needs
# build/linux/vurfleet and make_fleet, sqlite3, and PostgreSQL 15.
. "$(dirname "$0")/../../scripts/usage.sh"
usage_check '[--runs R] [--rules N] [--fleets DIR] [--summary-only] [MACHINES...]' \
  '--runs= --rules= --fleets= --summary-only' "$@"
set -euo pipefail
cd "$(dirname "$0")/../.."
runs=3 rules=0 fleets=build/bench summary_only=
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --rules) rules=$2; shift 2 ;;
    --fleets) fleets=$2; shift 2 ;;
    --summary-only) summary_only=1; shift ;;
    --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) echo "exposure.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
    *) break ;;
  esac
done
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(10000)
vurfleet=$(realpath build/linux/vurfleet)
make_fleet=$(realpath build/linux/make_fleet)
now="2026-12-01 12:00:00"
. tests/fleet/pg_server.sh
pg_start

. bench/fleet/timing.sh

# advisories NAMES OUT [FIXED]: two rows for each name, fixed at its newest release
# (as `programs` gives it), the second only below C:\Program Files, from
# the release's major version on (from any, for a release N.0); with
# FIXED, fixed at FIXED.0 instead (FIXED 65535: every version affected).
advisories() {
  local names=$1 out=$2 fixed=${3:-}
  echo "id,name,path,affected_from,fixed,severity,published,title,url" > "$out"
  awk -F, -v fixed="$fixed" 'NR == FNR { newest[$1] = newest[$1] ? newest[$1] : $3; next }
           { split(newest[$1], v, "."); n++; from = v[2] > 0 ? v[1] ".0" : ""
             if (fixed != "") { v[1] = fixed; v[2] = 0; from = "" } split("critical high medium low", s, " ")
             id = sprintf("BENCH-%03d", n); sev = s[n % 4 + 1]
             printf "%s,%s,,,%s.%s,%s,,Benchmark %d,\n", id, $1, v[1], v[2], sev, n
             printf "%s,%s,c:\\program files\\*,%s,%s.%s,%s,,Benchmark %d,\n", id, $1, from, v[1], v[2], sev, n }' \
    "$dir/programs.csv" "$names" >> "$out"
}

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
  "$vurfleet" --db "$db" programs --top 100000 --csv | tail -n +2 > "$dir/programs.csv"
  # The .exe names of the programs, most held first, putty.exe apart.
  cut -d, -f1 "$dir/programs.csv" | uniq | grep -E '^tool[0-9]+\.exe$' > "$dir/exe-names.txt"
  { echo putty.exe; head -n 99 "$dir/exe-names.txt"; } > "$dir/widespread.txt"
  total=$(wc -l < "$dir/exe-names.txt")
  { echo putty.exe; awk -v total="$total" 'NR == 1 || (NR - 1) % int(total / 99) == 0' "$dir/exe-names.txt" |
      head -n 99; } > "$dir/spread.txt"
  advisories "$dir/widespread.txt" "$dir/widespread.csv"
  advisories "$dir/spread.txt" "$dir/spread.csv"
  # programs.csv is most held first; its names of any kind, each once.
  awk -F, '!seen[$1]++ { print $1; if (++n == 100) exit }' "$dir/programs.csv" > "$dir/whole.txt"
  advisories "$dir/whole.txt" "$dir/whole.csv" 65535
  sets="widespread spread whole"
  if [ "$rules" -gt 200 ]; then
    sets="widespread spread whole many"
    held=$(( (rules - 200 + 9) / 10 ))
    { cat "$dir/widespread.txt"; head -n "$held" "$dir/exe-names.txt"; } | sort -u > "$dir/many.txt"
    { cat "$dir/widespread.csv"
      awk -v n=$((rules - 200)) 'NR == FNR { name[NR] = $1; held = NR; next }
        END { for (k = 0; k < n; k++)
                printf "MANY-%06d,%s,,,1.0,%s,,Many %d,\n", k,
                       k % 10 ? "absent" k ".exe" : name[int(k / 10) % held + 1],
                       k % 2 ? "low" : "medium", k }' "$dir/exe-names.txt" /dev/null
    } > "$dir/many.csv"
  fi

  echo "# $n machines: loading the PostgreSQL store"
  pg_createdb "fleet$n"
  pg=$(pg_url "fleet$n")
  load_start=$(date +%s)
  "$vurfleet" --db "$pg" load "$dir/share" >/dev/null
  echo "# loaded in $(( $(date +%s) - load_start )) s"
  # As autovacuum leaves it soon after a load: the statistics, and the
  # table's pages marked all-visible, so that the index by path is read
  # without the table.
  psql -X -q "$pg" -c "VACUUM ANALYZE"

  for set in $sets; do
    adv=$dir/$set.csv
    names=$(paste -sd, "$dir/$set.txt" | sed "s/[^,]*/'&'/g")
    intervals=$(sqlite3 "$db" "SELECT count(*) FROM paths p JOIN intervals i ON i.path_id = p.id WHERE p.name_key IN ($names)")
    # The same answers from both stores.
    "$vurfleet" --db "$db" exposure --advisories "$adv" --summary --at "$now" --csv > "$dir/$set.sqlite.csv"
    "$vurfleet" --db "$pg" exposure --advisories "$adv" --summary --at "$now" --csv > "$dir/$set.pg.csv"
    if ! cmp -s "$dir/$set.sqlite.csv" "$dir/$set.pg.csv"; then
      echo "the stores' summaries differ for $set" >&2; exit 1
    fi
    exposed=$(awk -F, 'NR > 1 { s += $4 } END { print s }' "$dir/$set.sqlite.csv")
    for store in sqlite pg; do
      where=$db; [ $store = pg ] && where=$pg
      : > "$dir/$set.$store.summary.t"; : > "$dir/$set.$store.report.t"; : > "$dir/$set.$store.plain.t"
      for _ in $(seq "$runs"); do
        seconds "$vurfleet" --db "$where" exposure --advisories "$adv" --summary --at "$now" >> "$dir/$set.$store.summary.t"
        [ -z "$summary_only" ] || continue
        seconds "$vurfleet" --db "$where" report --now "$now" -o "$dir/plain.html" >> "$dir/$set.$store.plain.t"
        seconds "$vurfleet" --db "$where" report --now "$now" --advisories "$adv" -o "$dir/exposure.html" \
          >> "$dir/$set.$store.report.t"
      done
      s=$(median < "$dir/$set.$store.summary.t")
      s_ok=$(awk -v t="$s" -v set="$set" -v n="$n" \
        'BEGIN { print (t < (set == "whole" && n > 1000 ? 5 : 1) ? "yes" : "NO") }')
      if [ -n "$summary_only" ]; then
        echo "# $n machines, $set ($intervals intervals, $exposed exposed machine-advisories), $store:" \
             "summary $s s (within target: $s_ok)"
        table+=("| $n | $store | $set | $intervals | $s s | $s_ok | | | | |")
        continue
      fi
      p=$(median < "$dir/$set.$store.plain.t")
      r=$(median < "$dir/$set.$store.report.t")
      r_ok=$(awk -v a="$r" -v b="$p" 'BEGIN { print (a <= 1.5 * b ? "yes" : "NO") }')
      echo "# $n machines, $set ($intervals intervals, $exposed exposed machine-advisories), $store:" \
           "summary $s s (within target: $s_ok), report $p s, with advisories $r s ($(ratio "$r" "$p")x: $r_ok)"
      table+=("| $n | $store | $set | $intervals | $s s | $s_ok | $p s | $r s | **$(ratio "$r" "$p")x** | $r_ok |")
    done
  done
  psql -X -q "$PG_ADMIN" -c "DROP DATABASE fleet$n"
done

echo
echo "| machines | store | advisories (200 rows; many: $rules) | intervals of their names | \`exposure --summary\` | within target | \`report\` | \`report --advisories\` | ratio | within 1.5x |"
echo "|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${table[@]}"
