#!/usr/bin/env bash
# stress. Loads side by side with every query, the report page included,
# run again and again while the loads write, on both stores: no query
# crashes or fails, a reader that may only read the SQLite file reads it,
# the SQLite file is sound afterwards, and every answer is a clean load's.
# Only queries that started while a load ran count as side by side with it.
# Each round ends with `check`: the inventory holds by its own rules in every
# snapshot a reader meets.
# STRESS_SECONDS bounds the queries' rounds after the loads end (default 5);
# STRESS_MACHINES is the fleet's size (default 300).
# A PostgreSQL server that can't be started fails the family.
. "$(dirname "$0")/lib.sh"
. "$FLEET_DIR/pg_server.sh"
family_builds linux

cd "$WORK" || exit 2
if ! pg_start > "$WORK/pg_start.log" 2>&1; then
  fail "stress0: a PostgreSQL server starts for the test" "$(cat "$WORK/pg_start.log")"
  family_done
fi
seconds=${STRESS_SECONDS:-5}

"$MAKE_FLEET" "$FX/fleet" --machines "${STRESS_MACHINES:-300}" --lines 600 --weeks 16 --first 2026-09-01 --unfinished 0.1 \
  --seed 35 >/dev/null || exit 2
# Two loads side by side: the odd weeks, and the even ones, so that one of
# them has late files whose histories are worked out again. Sixteen weeks:
# the loads' work grows with them, a round of queries hardly does, and on
# SQLite three weeks gave two rounds of queries while the loads ran.
mkdir -p "$FX/a" "$FX/b"
for week in "$FX"/fleet/week-*; do
  n=${week##*-}
  if [ $((10#$n % 2)) -eq 1 ]; then cp -r "$week" "$FX/a/"; else cp -r "$week" "$FX/b/"; fi
done

# The load's options this build has: a build from before --now has no
# clock check to quiet, and one from before --group commits each file, so
# the family also runs against older builds (VURFLEET=...).
load_options=()
load_help=$("$VURFLEET" load --help 2>&1)
case $load_help in *--now*) load_options+=(--now 2027-01-01) ;; esac
"$VURFLEET" --db "$WORK/clean.db" load "${load_options[@]}" "$FX/fleet" > /dev/null 2>&1
case $load_help in *--group*) load_options+=(--group 1) ;; esac
# A build from before check has none to run.
has_check=$("$VURFLEET" check --help >/dev/null 2>&1 && echo yes)
every() {  # every DB: the answers compared at the end
  answers "$1"
  "$VURFLEET" --db "$1" find --name putty.exe --below 0.81 --csv
  "$VURFLEET" --db "$1" programs --csv
}
every "$WORK/clean.db" > "$WORK/clean.csv"

# queries DB AS...: one round of every query, each one's exit code on a
# line of $WORK/rc.DB-name, with "during" when a load was running as it
# started ($a or $b of stress), else "after"; AS runs them (as another
# user, say).
queries() {
  local db=$1 tag page; shift
  tag=$(basename "$db")
  page=$OUTDIR/report.$tag.${1:+as.}html
  when() {
    if { [ -n "${a:-}" ] && kill -0 "$a" 2>/dev/null; } || { [ -n "${b:-}" ] && kill -0 "$b" 2>/dev/null; }; then
      echo during
    else
      echo after
    fi
  }
  {
    w=$(when); "$@" "$VURFLEET" --db "$db" find --name putty.exe --below 0.81 --csv > /dev/null; echo "find $? $w"
    w=$(when); "$@" "$VURFLEET" --db "$db" find --at 2026-11-20 --csv > /dev/null; echo "find-at $? $w"
    w=$(when); "$@" "$VURFLEET" --db "$db" changes --csv > /dev/null; echo "changes $? $w"
    w=$(when); "$@" "$VURFLEET" --db "$db" machines --now 2026-12-31 --csv > /dev/null; echo "machines $? $w"
    w=$(when); "$@" "$VURFLEET" --db "$db" programs --csv > /dev/null; echo "programs $? $w"
    w=$(when); "$@" "$VURFLEET" --db "$db" report --now 2026-12-31 -o "$page" > /dev/null; echo "report $? $w"
    if [ -n "$has_check" ]; then
      w=$(when); "$@" "$VURFLEET" --db "$db" check >> "$WORK/check.$tag" 2>&1; echo "check $? $w"
    fi
  } >> "$WORK/rc.$tag" 2>> "$WORK/err.$tag"
}

# stress NAME DB [AS...]: both loads, queries round after round while they
# run (every other round through AS) and for $seconds after. The loads
# commit each file (--group 1): the most states for the readers to meet.
stress() {
  local name=$1 db=$2 a b end rounds=0; shift 2
  : > "$WORK/rc.$(basename "$db")"
  # The first load makes the schema before the queries start.
  "$VURFLEET" --db "$db" load "${load_options[@]}" "$FX/fleet/week-01/$(ls "$FX/fleet/week-01" | head -n 1)" \
    > /dev/null 2>&1
  "$VURFLEET" --db "$db" load "${load_options[@]}" "$FX/a" > "$WORK/$name.a.out" 2>&1 & a=$!
  "$VURFLEET" --db "$db" load "${load_options[@]}" "$FX/b" > "$WORK/$name.b.out" 2>&1 & b=$!
  # Rounds alternate between the readers AS runs and the test's own user.
  while kill -0 "$a" 2>/dev/null || kill -0 "$b" 2>/dev/null; do
    if [ $((rounds % 2)) -eq 0 ]; then queries "$db" "$@"; else queries "$db"; fi
    rounds=$((rounds + 1))
  done
  wait "$a"; local rc_a=$?
  wait "$b"; local rc_b=$?
  a='' b=''
  end=$((SECONDS + seconds))
  while [ "$SECONDS" -lt "$end" ]; do queries "$db" "$@"; rounds=$((rounds + 1)); done
  # A round is whole while the loads ran when its last query, the page,
  # started while one did: every query before it did too.
  local rc=$WORK/rc.$(basename "$db") whole programs
  whole=$(grep -c '^report .* during$' "$rc")
  programs=$(grep -c '^programs .* during$' "$rc")
  echo "# $name: $rounds rounds of queries, $(wc -l < "$rc") queries; started while a load ran:" \
    "$(grep -c ' during$' "$rc") queries, $whole whole rounds, $programs of programs, $whole of report"
  check_eq "$name: both loads end with exit code 0" "0 0" "$rc_a $rc_b"
  check_eq "$name: at least 3 whole rounds of queries, programs and report among them, started while the loads wrote" \
    yes "$([ "$whole" -ge 3 ] && [ "$programs" -ge 3 ] && echo yes || echo "no: $whole whole rounds, $programs of programs")"
  check_eq "$name: no query crashed or failed" "" \
    "$(grep -v ' 0 [a-z]*$' "$rc" | sort | uniq -c | head -n 5)$(head -n 3 "$WORK/err.$(basename "$db")" 2>/dev/null)"
  if [ -n "$has_check" ]; then
    check_eq "$name: every round's check found the inventory whole" "" \
      "$(grep -v '^SQLite.s integrity_check\|^amcheck\|: no fault found$' "$WORK/check.$(basename "$db")" | head -n 5)"
  fi
  every "$db" > "$WORK/$name.csv"
  check_same "$name: every answer is a clean load's" "$WORK/clean.csv" "$WORK/$name.csv"
}

# ---------------------------------------------------------------------------
# stress1: SQLite, with readers that may read the file but not write it or
# its folder, beside readers that could. The folder is one others may
# enter (the suite's own is not); the pages go to one anybody may write.
sq=$(mktemp -d /tmp/vurfleet_stress.XXXXXX)
mkdir -p "$sq/db" "$sq/out"
chmod 755 "$sq" "$sq/db"
chmod 1777 "$sq/out"
OUTDIR=$sq/out
touch "$sq/start"
if [ "$(id -u)" -eq 0 ] && runuser -u nobody -- true 2>/dev/null; then
  stress stress1-sqlite "$sq/db/inventory.db" runuser -u nobody --
  queries "$sq/db/inventory.db"
else
  stress stress1-sqlite "$sq/db/inventory.db"
fi
check_eq "stress1-sqlite: the file is sound" ok "$(sqlite3 "$sq/db/inventory.db" 'PRAGMA integrity_check')"
check_eq "stress1-sqlite: the readers made no file beside it" "" \
  "$(find "$sq/db" -newer "$sq/start" ! -user "$(id -un)" | head -n 3)"
rm -rf "$sq"
OUTDIR=$WORK

# stress2: PostgreSQL.
pg_createdb stress
stress stress2-postgres "$(pg_url stress)"

family_done
