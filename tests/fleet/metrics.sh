#!/usr/bin/env bash
# metrics. `vurfleet metrics` on the exposure family's fleet: every figure
# against the command's own at the same time, on both stores; the last
# load's files; promtool's verdict on the file, hostile advisory ids and
# titles among its labels read back as the file gave them; the file written
# whole or not at all; the example alert rules.
. "$(dirname "$0")/lib.sh"
. "$FLEET_DIR/pg_server.sh"
family_builds linux

cd "$WORK" || exit 2
export VURFLEET_DB=$WORK/fleet.db
command -v promtool >/dev/null || { fail "metrics: promtool (Debian's prometheus) is installed"; family_done; }

# promtool_ok NAME FILE: promtool accepts the file whole, lint included
promtool_ok() {
  local said
  if said=$(promtool check metrics < "$2" 2>&1); then pass "$1"; else fail "$1" "$said"; fi
}
# samples FILE METRIC LABEL...: the samples' labels and values, sorted
samples() { /usr/bin/python3 "$FLEET_DIR/prom_samples.py" "$@" | LC_ALL=C sort; }

# ---------------------------------------------------------------------------
# metrics1: the fleet, loaded twice; the last load's files.
share=$FX/share
mkdir -p "$share"
s() { scan_file "$share/$1.$(echo "$2" | cut -c1-10).txt" "$2" "${@:3}"; }
s PC1 "2026-12-01 02:00:00" finished 'C:\Program Files\PuTTY\putty.exe - 0.78.0.0' 'C:\Tools\tool.exe - 7.9.65535.1'
s PC1 "2026-12-08 02:00:00" finished 'C:\Program Files\PuTTY\putty.exe - 0.81.0.0' 'C:\Tools\tool.exe - 7.9.65535.1'
s PC1 "2026-12-22 02:00:00" finished 'C:\Program Files\PuTTY\putty.exe - 0.79.0.0' 'C:\Tools\tool.exe - 7.9.65535.1'
s PC2 "2026-12-01 02:00:00" finished 'C:\Tools\putty.exe - <none>' 'C:\App\app.exe - 17.9.0.0'
s PC2 "2026-12-08 14:00:00" finished 'C:\Tools\putty.exe - <none>' 'C:\App\app.exe - 17.15.0.0'
s PC3 "2026-12-01 03:00:00" unfinished 'C:\Shielded\putty.exe - 0.80.0.0'
s PC4 "2026-12-29 04:00:00" finished 'C:\Users\bob\AppData\bad.exe - <none>' 'C:\Tools\tool.exe - <none>'
printf 'not a scan\n' > "$share/PC5.txt"
vf load --now 2027-01-01 "$share"
check_eq "metrics1: the share loads, one file refused" 1 "$RC"
vf metrics --now 2026-12-31
check_eq "metrics1: the last load's files" \
  "already_loaded - 0|refused - 1|stored - 7" \
  "$(printf '%s\n' "$OUT" > "$WORK/one.prom"; samples "$WORK/one.prom" vurfleet_load_files result | paste -sd'|')"
mkdir -p "$FX/again"
cp "$share/PC1.2026-12-01.txt" "$FX/again/"
s PC2 "2026-12-30 02:00:00" finished 'C:\Tools\putty.exe - <none>'; mv "$share/PC2.2026-12-30.txt" "$FX/again/"
before=$(date +%s)
vf load --now 2027-01-01 "$FX/again"
vf metrics --now 2026-12-31 -o "$WORK/two.prom"
check_eq "metrics1: the next load's files replace them, and when it ended" \
  "already_loaded - 1|refused - 0|stored - 1|yes" \
  "$(samples "$WORK/two.prom" vurfleet_load_files result | paste -sd'|')|$(
     t=$(samples "$WORK/two.prom" vurfleet_load_finished_timestamp_seconds)
     [ "$t" -ge "$before" ] && [ "$t" -le "$(date +%s)" ] && echo yes)"

adv=$WORK/advisories.csv
cat > "$adv" <<'EOF2'
id,name,path,affected_from,fixed,severity,published,title,url
CVE-2024-31497,putty.exe,,0.68,0.81,critical,2024-04-15,"PuTTY: biased ECDSA nonces, NIST P-521 keys",
TOOL-8,tool.exe,,,8,high,,Tool before 8,
APP-17,app.exe,,17.9,17.15,medium,,,
BANNED,bad.exe,c:\users\*,,,low,,Not allowed on any machine,
EOF2
ent=$WORK/entitlements.csv
cat > "$ent" <<'EOF2'
pool,name,path,version_from,version_below,seats,rule,period_from,period_until,title,url
PUTTY,putty.exe,,0.79,,1,peak,2026-12-01,2027-12-01,,
TOOL,tool.exe,,,,0,snapshot,2026-12-01,2026-12-30,,
EOF2

# ---------------------------------------------------------------------------
# metrics2: each figure is the command's own, at three times, on each store.
figures_agree() {  # STORE-NAME DB
  local name=$1 db=$2 at file
  for at in 2026-12-05 2026-12-31 "2027-02-01 12:00:00"; do
    file="$WORK/$name.${at%% *}.prom"
    "$VURFLEET" --db "$db" metrics --now "$at" --advisories "$adv" --entitlements "$ent" -o "$file"
    promtool_ok "metrics2: $name at $at: promtool accepts the file" "$file"
    check_eq "metrics2: $name at $at: machines by status are machines' own" \
      "$("$VURFLEET" --db "$db" machines --now "$at" --csv | as_lines status |
         awk '{ n[$1]++ } END { printf "incomplete - %d\nok - %d\nstale - %d\n", n["incomplete"], n["ok"], n["stale"] }')" \
      "$(samples "$file" vurfleet_machines state)"
    check_eq "metrics2: $name at $at: the newest scan's start" \
      "$(date -u -d "$("$VURFLEET" --db "$db" machines --csv | as_lines last_started | tail -n 1)" +%s)" \
      "$(samples "$file" vurfleet_last_scan_timestamp_seconds)"
    "$VURFLEET" --db "$db" exposure --summary --advisories "$adv" --at "$at" --csv > "$WORK/summary.csv"
    check_eq "metrics2: $name at $at: exposed and unknown are exposure --summary's" \
      "$(as_lines id severity exposed unknown < "$WORK/summary.csv")" \
      "$(paste -d'|' <(samples "$file" vurfleet_exposed_machines id severity) \
                     <(samples "$file" vurfleet_unknown_machines id severity | sed 's/.* - //') | sed 's/|/ - /')"
    check_eq "metrics2: $name at $at: the median is its days, in seconds" \
      "$(as_lines id median_days < "$WORK/summary.csv" | awk -F' - ' '$2 != "" { printf "%s - %d\n", $1, $2 * 86400 + 0.5 }')" \
      "$(samples "$file" vurfleet_exposure_median_seconds id)"
    check_eq "metrics2: $name at $at: installs, peak, seats and due are licenses' own" \
      "$("$VURFLEET" --db "$db" licenses --entitlements "$ent" --at "$at" --csv | as_lines pool now peak seats due | LC_ALL=C sort)" \
      "$(join -t'|' <(samples "$file" vurfleet_license_installs pool | sed 's/ - /|/') \
           <(join -t'|' <(samples "$file" vurfleet_license_peak pool | sed 's/ - /|/') \
              <(join -t'|' <(samples "$file" vurfleet_license_seats pool | sed 's/ - /|/') \
                 <(samples "$file" vurfleet_license_due pool | sed 's/ - /|/'))) | sed 's/|/ - /g')"
  done
}
figures_agree sqlite "$WORK/fleet.db"
check_eq "metrics2: the fleet shows each status, and windows closed and open" "1 1 1 yes" \
  "$(grep -c 'incomplete"} [1-9]' "$WORK/sqlite.2026-12-05.prom") $(grep -c 'stale"} [1-9]' "$WORK/sqlite.2026-12-31.prom") $(grep -c 'ok"} [1-9]' "$WORK/sqlite.2026-12-31.prom") $(grep -q median_seconds.*CVE "$WORK/sqlite.2026-12-31.prom" && grep -q 'exposed_machines{id="CVE.*} [1-9]' "$WORK/sqlite.2026-12-31.prom" && echo yes)"
if pg_start > "$WORK/pg_start.log" 2>&1; then
  pg_createdb fleet
  "$VURFLEET" --db "$(pg_url fleet)" load --now 2027-01-01 "$share" >/dev/null
  "$VURFLEET" --db "$(pg_url fleet)" load --now 2027-01-01 "$FX/again" >/dev/null
  figures_agree postgres "$(pg_url fleet)"
  check_eq "metrics2: both stores write the same figures" "" \
    "$(diff <(grep -v finished_timestamp "$WORK/sqlite.2026-12-31.prom") <(grep -v finished_timestamp "$WORK/postgres.2026-12-31.prom"))"
else
  fail "metrics2: a PostgreSQL server starts for the family" "$(cat "$WORK/pg_start.log")"
fi

# ---------------------------------------------------------------------------
# metrics3: hostile ids and titles: the file stays one sample a line, and
# each label reads back as the CSV gave it.
cat > "$WORK/hostile.csv" <<'EOF2'
id,name,severity,title
"X\"" 1 # } \n",putty.exe,critical,"a \n title, \\ with ""quotes"" } = 9"
"{id=""x""}",tool.exe,high,"é ✓ ﷽ 𝄞"
"Y\",app.exe,,"\"
EOF2
cat > "$WORK/hostile-pools.csv" <<'EOF2'
pool,name,seats,rule,period_from,period_until
"P\"" 1 # } \n",putty.exe,1,peak,2026-12-01,2027-01-01
"{pool=""x""} é",tool.exe,0,snapshot,2026-12-01,2027-01-01
EOF2
vf metrics --now 2026-12-31 --advisories "$WORK/hostile.csv" --entitlements "$WORK/hostile-pools.csv" -o "$WORK/hostile.prom"
check_rc "metrics3: metrics over hostile advisories" "$RC" "$WORK/vf.err"
promtool_ok "metrics3: promtool accepts the file" "$WORK/hostile.prom"
check_eq "metrics3: ids, severities and titles read back as exposure --summary gives them" \
  "$("$VURFLEET" exposure --summary --advisories "$WORK/hostile.csv" --at 2026-12-31 --csv |
     as_lines id severity title | sed 's/$/ - 1/')" \
  "$(samples "$WORK/hostile.prom" vurfleet_advisory_info id severity title)"
check_eq "metrics3: ... and their figures" \
  "$("$VURFLEET" exposure --summary --advisories "$WORK/hostile.csv" --at 2026-12-31 --csv | as_lines id exposed)" \
  "$(samples "$WORK/hostile.prom" vurfleet_exposed_machines id)"
check_eq "metrics3: pools read back as licenses gives them" \
  "$("$VURFLEET" licenses --entitlements "$WORK/hostile-pools.csv" --at 2026-12-31 --csv | as_lines pool now | LC_ALL=C sort)" \
  "$(samples "$WORK/hostile.prom" vurfleet_license_installs pool)"
check_eq "metrics3: no machine name, path or file name is a label" "" \
  "$(grep -ho '[a-z_]*="[^"]*"' "$WORK/hostile.prom" "$WORK/two.prom" | grep -i 'PC[0-9]\|\.exe\|\.txt\|/')"

# ---------------------------------------------------------------------------
# metrics4: written whole or not at all; standard output; the rules.
cp "$WORK/two.prom" "$WORK/kept.prom"
printf 'id,name\nX,a\\b.exe\n' > "$WORK/bad.csv"
vf metrics --advisories "$WORK/bad.csv" -o "$WORK/kept.prom"
check_eq "metrics4: a refused advisories file: exit code 2, the old file kept" "2 yes" \
  "$RC $(cmp -s "$WORK/kept.prom" "$WORK/two.prom" && echo yes)"
vf metrics --now 2026-12-31 -o -
check_eq "metrics4: -o - writes the same text" "$(cat "$WORK/two.prom")" "$OUT"
check_eq "metrics4: no temporary file left beside it" "kept.prom two.prom" "$(cd "$WORK" && ls -A | grep '^[kt][ew][po].*prom' | paste -sd' ')"
said=$(promtool check rules "$E2E_REPO/examples/vurfleet.rules.yml" 2>&1)
check_eq "metrics4: promtool accepts examples/vurfleet.rules.yml's three rules" "SUCCESS: 3 rules found" \
  "$(grep -o 'SUCCESS: .*' <<<"$said" || echo "$said")"

family_done
