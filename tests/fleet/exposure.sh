#!/usr/bin/env bash
# exposure. `vurfleet exposure` on a fleet worked out by hand: one machine
# exposed, upgraded to another affected version, fixed, and fallen back, its
# scans loaded out of order; one holding the file without a version; one
# holding it only below a folder its later scans could not walk; a four-part
# version against a one-part bound and 17.9 against 17.15; a rule on a
# path. Its rows, its summary at three times and its windows, in every
# output form; the same bytes from a PostgreSQL server of the family's own;
# every refusal of the advisories file with its line; the report's section
# against the summary; the example the package ships.
. "$(dirname "$0")/lib.sh"
. "$FLEET_DIR/pg_server.sh"
family_builds linux

cd "$WORK" || exit 2
export VURFLEET_DB=$WORK/fleet.db

# ---------------------------------------------------------------------------
# exposure1: the fleet and its advisories.
share=$FX/share
mkdir -p "$share"
s() { scan_file "$share/$1.$(echo "$2" | cut -c1-10).txt" "$2" "${@:3}"; }
# PC1: PuTTY 0.78, then 0.80 (both affected), 0.81 (fixed), 0.79 again; a
# tool at 7.9.65535.1, below a fix of 8.
s PC1 "2026-12-01 02:00:00" finished 'C:\Program Files\PuTTY\putty.exe - 0.78.0.0' 'C:\Tools\tool.exe - 7.9.65535.1'
s PC1 "2026-12-08 02:00:00" finished 'C:\Program Files\PuTTY\putty.exe - 0.80.0.0' 'C:\Tools\tool.exe - 7.9.65535.1'
s PC1 "2026-12-15 02:00:00" finished 'C:\Program Files\PuTTY\putty.exe - 0.81.0.0' 'C:\Tools\tool.exe - 7.9.65535.1'
s PC1 "2026-12-22 02:00:00" finished 'C:\Program Files\PuTTY\putty.exe - 0.79.0.0' 'C:\Tools\tool.exe - 7.9.65535.1'
# PC2: a putty.exe without a version; app.exe 17.9 (affected: 17.9 up to
# 17.15), then 17.15; tool.exe at 8, the fix.
s PC2 "2026-12-01 02:00:00" finished 'C:\Tools\putty.exe - <none>' 'C:\App\app.exe - 17.9.0.0' 'C:\Tools\tool.exe - 8.0.0.0'
s PC2 "2026-12-08 14:00:00" finished 'C:\Tools\putty.exe - <none>' 'C:\App\app.exe - 17.15.0.0' 'C:\Tools\tool.exe - 8.0.0.0'
# PC3: putty.exe 0.80 below a folder that its later scans could not walk:
# it stays, and so does the exposure.
s PC3 "2026-12-01 03:00:00" finished 'C:\Shielded\putty.exe - 0.80.0.0' 'C:\Other\a.exe - 1.0.0.0'
s PC3 "2026-12-08 03:00:00" finished '# ERROR: Exception in ScanFolder( C:\Shielded\ )' 'C:\Other\a.exe - 1.0.0.0'
s PC3 "2026-12-15 03:00:00" finished '# ERROR: Exception in ScanFolder( C:\Shielded\ )' 'C:\Other\a.exe - 1.0.0.0'
# PC4: a file that must not be there (presence is the finding, version or
# not), the same name elsewhere, a tool without a version, PuTTY fixed.
s PC4 "2026-12-01 04:00:00" finished 'C:\Users\bob\AppData\bad.exe - <none>' 'C:\Tools\bad.exe - 1.0.0.0' \
  'C:\Tools\tool.exe - <none>' 'C:\Program Files\PuTTY\putty.exe - 0.81.0.0'
# PC1's second scan arrives last: its history is worked out again.
mkdir -p "$FX/late"; mv "$share/PC1.2026-12-08.txt" "$FX/late/"
vf load --now 2027-01-01 "$share"
check_eq "exposure1: the fleet loads" "0" "$RC"
vf load --now 2027-01-01 "$FX/late"
check_eq "exposure1: the late scan loads in its place" "0 yes" "$RC $(grep -q 'PC1, started 2026-12-08' <<<"$OUT" && echo yes)"

adv=$WORK/advisories.csv
cat > "$adv" <<'EOF'
id,name,path,affected_from,fixed,severity,published,title,url
CVE-2024-31497,putty.exe,,0.68,0.81,critical,2024-04-15,"PuTTY: biased ECDSA nonces, NIST P-521 keys",https://www.chiark.greenend.org.uk/~sgtatham/putty/wishlist/vuln-p521-bias.html
TOOL-8,tool.exe,,,8,high,,Tool before 8,
APP-17,app.exe,,17.9,17.15,medium,,,
BANNED,bad.exe,c:\users\*,,,low,,Not allowed on any machine,
EOF

# ---------------------------------------------------------------------------
# exposure2: the rows at a time, the summary, the windows.
vf exposure --advisories "$adv" --at 2026-12-31 --csv
check_rc "exposure2: rows" "$RC" "$WORK/vf.err"
check_eq "exposure2: the rows at the 31st: the open window's start, an unknown entry's own since" \
"id,severity,machine,path,version,status,since
CVE-2024-31497,critical,PC1,C:\\Program Files\\PuTTY\\putty.exe,0.79.0.0,exposed,2026-12-22 02:00:00
CVE-2024-31497,critical,PC2,C:\\Tools\\putty.exe,<none>,unknown,2026-12-01 02:00:00
CVE-2024-31497,critical,PC3,C:\\Shielded\\putty.exe,0.80.0.0,exposed,2026-12-01 03:00:00
TOOL-8,high,PC1,C:\\Tools\\tool.exe,7.9.65535.1,exposed,2026-12-01 02:00:00
TOOL-8,high,PC4,C:\\Tools\\tool.exe,<none>,unknown,2026-12-01 04:00:00
BANNED,low,PC4,C:\\Users\\bob\\AppData\\bad.exe,<none>,exposed,2026-12-01 04:00:00" "$(tr -d '\r' <<<"$OUT")"
vf exposure --advisories "$adv" --at 2026-12-10
check_eq "exposure2: the rows at the 10th, aligned: PC1 exposed since its first scan, through an upgrade" \
"id              severity  machine  path                              version      status   since
CVE-2024-31497  critical  PC1      C:\\Program Files\\PuTTY\\putty.exe  0.80.0.0     exposed  2026-12-01 02:00:00
CVE-2024-31497  critical  PC2      C:\\Tools\\putty.exe                <none>       unknown  2026-12-01 02:00:00
CVE-2024-31497  critical  PC3      C:\\Shielded\\putty.exe             0.80.0.0     exposed  2026-12-01 03:00:00
TOOL-8          high      PC1      C:\\Tools\\tool.exe                 7.9.65535.1  exposed  2026-12-01 02:00:00
TOOL-8          high      PC4      C:\\Tools\\tool.exe                 <none>       unknown  2026-12-01 04:00:00
BANNED          low       PC4      C:\\Users\\bob\\AppData\\bad.exe      <none>       exposed  2026-12-01 04:00:00" "$OUT"
vf exposure --advisories "$adv" --at 2026-12-05 --machine 'pc?' --id 'app-*' --json
check_eq "exposure2: --machine and --id, as JSON Lines" \
  '{"id":"APP-17","severity":"medium","machine":"PC2","path":"C:\\App\\app.exe","version":"17.9.0.0","status":"exposed","since":"2026-12-01 02:00:00"}' "$OUT"
vf exposure --advisories "$adv" --at 2026-11-30 --csv
check_eq "exposure2: before the first scan nothing is held" "id,severity,machine,path,version,status,since" \
  "$(tr -d '\r' <<<"$OUT")"

vf exposure --advisories "$adv" --summary --at 2026-12-31 --csv
check_rc "exposure2: summary" "$RC" "$WORK/vf.err"
check_eq "exposure2: the summary at the 31st" \
'id,severity,title,exposed,unknown,fixed,median_days
CVE-2024-31497,critical,"PuTTY: biased ECDSA nonces, NIST P-521 keys",2,1,0,14.0
TOOL-8,high,Tool before 8,1,1,0,
APP-17,medium,,0,0,1,7.5
BANNED,low,Not allowed on any machine,1,0,0,' "$(tr -d '\r' <<<"$OUT")"
vf exposure --advisories "$adv" --summary --at 2026-12-18 --csv
check_eq "exposure2: the summary at the 18th: PC1 fixed, its window of 14 days closed" \
'id,severity,title,exposed,unknown,fixed,median_days
CVE-2024-31497,critical,"PuTTY: biased ECDSA nonces, NIST P-521 keys",1,1,1,14.0
TOOL-8,high,Tool before 8,1,1,0,
APP-17,medium,,0,0,1,7.5
BANNED,low,Not allowed on any machine,1,0,0,' "$(tr -d '\r' <<<"$OUT")"
vf exposure --advisories "$adv" --summary --at 2026-12-05 --json
check_eq "exposure2: the summary at the 5th, as JSON Lines: no window closed yet" \
'{"id":"CVE-2024-31497","severity":"critical","title":"PuTTY: biased ECDSA nonces, NIST P-521 keys","exposed":2,"unknown":1,"fixed":0,"median_days":null}
{"id":"TOOL-8","severity":"high","title":"Tool before 8","exposed":1,"unknown":1,"fixed":0,"median_days":null}
{"id":"APP-17","severity":"medium","title":null,"exposed":1,"unknown":0,"fixed":0,"median_days":null}
{"id":"BANNED","severity":"low","title":"Not allowed on any machine","exposed":1,"unknown":0,"fixed":0,"median_days":null}' "$OUT"

vf exposure --advisories "$adv" --windows --csv
check_rc "exposure2: windows" "$RC" "$WORK/vf.err"
check_eq "exposure2: every window, by id, machine and start" \
'id,machine,from,until,days
APP-17,PC2,2026-12-01 02:00:00,2026-12-08 14:00:00,7.5
BANNED,PC4,2026-12-01 04:00:00,,
CVE-2024-31497,PC1,2026-12-01 02:00:00,2026-12-15 02:00:00,14.0
CVE-2024-31497,PC1,2026-12-22 02:00:00,,
CVE-2024-31497,PC3,2026-12-01 03:00:00,,
TOOL-8,PC1,2026-12-01 02:00:00,,' "$(tr -d '\r' <<<"$OUT")"
vf exposure --advisories "$adv" --windows --machine PC1 --id 'CVE-*'
check_eq "exposure2: windows of one machine and id, aligned" \
"id              machine  from                 until                days
CVE-2024-31497  PC1      2026-12-01 02:00:00  2026-12-15 02:00:00  14.0
CVE-2024-31497  PC1      2026-12-22 02:00:00" "$OUT"

# PC5 alone: putty.exe 0.70, then the same path without a version, then
# 0.90. Exposed, unknown, fixed: one state at a time, and the window that
# closed when the file lost its version is no fix and no median.
mkdir -p "$FX/pc5"
s5() { scan_file "$FX/pc5/PC5.$1.txt" "$1 02:00:00" finished "C:\\Tools\\putty.exe - $2"; }
s5 2026-12-01 0.70.0.0; s5 2026-12-03 '<none>'; s5 2026-12-06 0.90.0.0
"$VURFLEET" --db "$WORK/pc5.db" load --now 2027-01-01 "$FX/pc5" >/dev/null
for at in 2026-12-02 2026-12-04 2026-12-07; do
  "$VURFLEET" --db "$WORK/pc5.db" exposure --advisories "$adv" --summary --at "$at" --csv |
    grep '^CVE-' | cut -d, -f5-
done > "$WORK/pc5.txt" 2>&1
check_eq "exposure2: PC5 exposed, then unknown (not fixed), then fixed with no median" \
"1,0,0,
0,1,0,
0,0,1," "$(tr -d '\r' < "$WORK/pc5.txt")"

# The same fleet loaded in start order gives the same answers.
mkdir -p "$FX/ordered"; cp "$share"/*.txt "$FX/late"/*.txt "$FX/ordered/"
"$VURFLEET" --db "$WORK/ordered.db" load --now 2027-01-01 "$FX/ordered" >/dev/null
every_form() {
  local db=$1 at
  for at in 2026-12-05 2026-12-10 2026-12-18 2026-12-31; do
    "$VURFLEET" --db "$db" exposure --advisories "$adv" --at "$at" --csv
    "$VURFLEET" --db "$db" exposure --advisories "$adv" --at "$at" --json
    "$VURFLEET" --db "$db" exposure --advisories "$adv" --at "$at"
    "$VURFLEET" --db "$db" exposure --advisories "$adv" --summary --at "$at" --csv
    "$VURFLEET" --db "$db" exposure --advisories "$adv" --summary --at "$at" --json
    "$VURFLEET" --db "$db" exposure --advisories "$adv" --summary --at "$at"
  done
  "$VURFLEET" --db "$db" exposure --advisories "$adv" --windows --csv
  "$VURFLEET" --db "$db" exposure --advisories "$adv" --windows --json
  "$VURFLEET" --db "$db" exposure --advisories "$adv" --windows
  "$VURFLEET" --db "$db" exposure --advisories "$adv" --machine 'PC[13]' --at 2026-12-31 --csv
  "$VURFLEET" --db "$db" exposure --advisories "$adv" --id '*-*' --windows --machine 'pc?' --csv
}
every_form "$WORK/fleet.db" > "$WORK/forms.late.txt"
every_form "$WORK/ordered.db" > "$WORK/forms.ordered.txt"
check_same "exposure2: loaded out of order or in order, every form the same" \
  "$WORK/forms.ordered.txt" "$WORK/forms.late.txt"

# ---------------------------------------------------------------------------
# exposure3: both stores, byte for byte.
if pg_start > "$WORK/pg_start.log" 2>&1; then
  pg_createdb fleet
  "$VURFLEET" --db "$(pg_url fleet)" load --now 2027-01-01 "$share" >/dev/null
  "$VURFLEET" --db "$(pg_url fleet)" load --now 2027-01-01 "$FX/late" >/dev/null
  every_form "$(pg_url fleet)" > "$WORK/forms.pg.txt"
  check_same "exposure3: PostgreSQL gives the same bytes for every form" "$WORK/forms.late.txt" "$WORK/forms.pg.txt"
  check_eq "exposure3: ... which hold rows" 1 "$([ "$(wc -l < "$WORK/forms.pg.txt")" -gt 100 ] && echo 1)"
  "$MAKE_FLEET" "$FX/synthetic" --machines 60 --lines 300 --weeks 3 --unfinished 0.1 >/dev/null
  "$VURFLEET" --db "$WORK/synthetic.db" load --now 2027-01-01 "$FX/synthetic" >/dev/null
  pg_createdb synthetic
  "$VURFLEET" --db "$(pg_url synthetic)" load --now 2027-01-01 "$FX/synthetic" >/dev/null
  # Its programs, each fixed at its newest major.minor (older releases lag
  # behind it), a third affected only from five minor releases before.
  "$VURFLEET" --db "$WORK/synthetic.db" programs --top 80 --csv |
    awk -F, 'BEGIN { print "id,name,affected_from,fixed,severity" }
             NR > 1 && $1 ~ /^tool/ && !seen[$1]++ {
               split($3, v, "."); n++
               printf "S-%02d,%s,%s,%s.%s,%s\n", n, $1, (n % 3 ? "" : v[1] "." (v[2] > 5 ? v[2] - 5 : 0)),
                      v[1], v[2], (n % 2 ? "high" : "low") }' > "$WORK/synthetic.csv"
  synthetic_forms() {
    local at
    for at in 2026-11-08 2026-11-14 2026-11-30; do
      "$VURFLEET" --db "$1" exposure --advisories "$WORK/synthetic.csv" --at "$at" --csv
      "$VURFLEET" --db "$1" exposure --advisories "$WORK/synthetic.csv" --summary --at "$at" --csv
    done
    "$VURFLEET" --db "$1" exposure --advisories "$WORK/synthetic.csv" --windows --json
  }
  synthetic_forms "$WORK/synthetic.db" > "$WORK/synthetic.sqlite.txt"
  synthetic_forms "$(pg_url synthetic)" > "$WORK/synthetic.pg.txt"
  check_same "exposure3: a synthetic fleet of 60 machines over three weeks, the same bytes from both stores" \
    "$WORK/synthetic.sqlite.txt" "$WORK/synthetic.pg.txt"
  check_eq "exposure3: ... with windows closed and open" 1 \
    "$(grep -q '"days":null' "$WORK/synthetic.pg.txt" && grep -q '"days":"[0-9]' "$WORK/synthetic.pg.txt" && echo 1)"
else
  fail "exposure3: a PostgreSQL server starts for the family" "$(cat "$WORK/pg_start.log")"
fi

# ---------------------------------------------------------------------------
# exposure4: a file that is no advisories file is refused whole, with its
# line, and exit code 2; nothing is printed.
refused() {  # refused NAME LINE WHY CONTENT
  printf '%s' "$4" > "$WORK/bad.csv"
  vf exposure --advisories "$WORK/bad.csv" --summary --at 2026-12-31
  check_eq "exposure4: $1" "2|vurfleet: $WORK/bad.csv:$2: $3|" "$RC|$ERR|$OUT"
}
H='id,name,affected_from,fixed,severity,published,title,url'
R='CVE-1,a.exe,1.0,2.0,high,2024-01-31,T,https://x.test'
refused "an empty file" 1 "empty file: no header row" ""
refused "a byte that is no UTF-8" 2 "not text: the byte 0xE9 is not UTF-8" $'id,name\nX,caf\xe9.exe\n'
refused "an unknown column (a typo must not drop a bound)" 1 \
  "unknown column 'fxied' (the columns are id, name, path, affected_from, fixed, severity, published, title, url)" \
  $'id,name,fxied\nX,a.exe,2\n'
refused "a column twice" 1 "the column 'fixed' twice" $'id,name,fixed,fixed\nX,a.exe,2,3\n'
refused "no id column" 1 \
  "no 'id' column (the columns are id, name, path, affected_from, fixed, severity, published, title, url)" \
  $'name,fixed\na.exe,2\n'
refused "no name column" 1 \
  "no 'name' column (the columns are id, name, path, affected_from, fixed, severity, published, title, url)" \
  $'id,fixed\nX,2\n'
refused "the header alone" 1 "no advisory: the header is the only row" "$H"$'\n'
refused "a row short of fields" 3 "3 fields; the header has 8" "$H"$'\n'"$R"$'\nX,a.exe,1\n'
refused "no id" 2 "no id" "$H"$'\n,a.exe,,,,,,\n'
refused "no name" 2 "no name" "$H"$'\nX,,,,,,,\n'
refused "a name with folders" 2 \
  "the name 'C:\\Tools\\putty.exe' holds a backslash, which no file name does: give the folders in 'path'" \
  "$H"$'\nX,C:\\Tools\\putty.exe,,,,,,\n'
refused "a version that doesn't parse" 2 \
  "affected_from '0.8a' is no version: give 1 to 4 numbers 0-65535 separated by dots" "$H"$'\nX,a.exe,0.8a,,,,,\n'
refused "fixed at affected_from" 2 "fixed '0.81' is not above affected_from '0.81.0.0'" \
  "$H"$'\nX,a.exe,0.81.0.0,0.81,,,,\n'
refused "fixed below affected_from" 2 "fixed '1' is not above affected_from '2'" "$H"$'\nX,a.exe,2,1,,,,\n'
refused "an unknown severity" 2 "unknown severity 'severe': give critical, high, medium or low, or leave it empty" \
  "$H"$'\nX,a.exe,,,severe,,,\n'
refused "a bad date" 2 "published '15.04.2024' is no date: give YYYY-MM-DD" "$H"$'\nX,a.exe,,,,15.04.2024,,\n'
refused "a date that is none" 2 "published '2024-02-30' is no date: give YYYY-MM-DD" "$H"$'\nX,a.exe,,,,2024-02-30,,\n'
refused "rows of one id that disagree on severity" 4 \
  "the id 'CVE-1' has severity 'high' on line 2 and 'low' here" \
  "$H"$'\n'"$R"$'\n'"$R"$'\nCVE-1,b.exe,,,low,2024-01-31,T,https://x.test\n'
refused "... on title" 3 "the id 'CVE-1' has another title on line 2: 'T', here 'T2'" \
  "$H"$'\n'"$R"$'\nCVE-1,b.exe,,,high,2024-01-31,T2,https://x.test\n'
refused "... on url" 3 "the id 'CVE-1' has another url on line 2: 'https://x.test', here ''" \
  "$H"$'\n'"$R"$'\nCVE-1,b.exe,,,high,2024-01-31,T,\n'
refused "... on published" 3 "the id 'CVE-1' has another published on line 2: '2024-01-31', here '2024-02-01'" \
  "$H"$'\n'"$R"$'\nCVE-1,b.exe,,,high,2024-02-01,T,https://x.test\n'
refused "ids that differ only in case" 3 "the id 'cve-1' differs only in case from 'CVE-1' on line 2" \
  "$H"$'\n'"$R"$'\ncve-1,b.exe,,,high,2024-01-31,T,https://x.test\n'
refused "a control character" 2 "the control character U+202E in 'title'" \
  "$H"$'\nX,a.exe,,,,,\xe2\x80\xae'"gpj.exe,\n"
refused "a quote in a field that is not quoted" 2 \
  "not CSV (RFC 4180): a quote inside a field that is not quoted, or text after a closing quote" \
  "$H"$'\nX,a"b.exe,,,,,,\n'
refused "a quoted field that does not end, from its first line" 3 \
  "not CSV (RFC 4180): a quoted field that does not end" "$H"$'\n'"$R"$'\nX,"a.exe,,,,,,\nY,b.exe,,,,,,\n'
vf exposure --advisories "$WORK/missing.csv" --summary
check_eq "exposure4: a file that can't be read" \
  "2|vurfleet: $WORK/missing.csv: cannot open: No such file or directory|" "$RC|$ERR|$OUT"
truncate -s 65M "$WORK/large.csv"
vf exposure --advisories "$WORK/large.csv" --summary
check_eq "exposure4: a file past the bound is refused unread, saying so" \
  "2|vurfleet: $WORK/large.csv: larger than 64 MiB: an advisories file is at most 64 MiB (some 600 000 rules)|" \
  "$RC|$ERR|$OUT"
printf '%s\r\n' "$H" "$R" > "$WORK/good.csv"
vf exposure --advisories "$WORK/good.csv" --summary --at 2026-12-31 --csv
check_eq "exposure4: CR LF line ends are read" "0 2" "$RC $(wc -l <<<"$OUT")"

# exposure5: the command line.
vf exposure --summary
check_eq "exposure5: --advisories is required" 2 "$RC"
vf exposure --advisories "$adv" --summary --machine PC1
check_eq "exposure5: --summary takes no --machine" 2 "$RC"
vf exposure --advisories "$adv" --windows --at 2026-12-31
check_eq "exposure5: --windows takes no --at" 2 "$RC"
vf exposure --advisories "$adv" --summary --windows
check_eq "exposure5: --summary or --windows" 2 "$RC"
vf exposure --advisories "$adv" --at tomorrow
check_eq "exposure5: a time that is none" \
  "2 vurfleet: --at: 'tomorrow' is no time: give YYYY-MM-DD or 'YYYY-MM-DD HH:MM:SS'" "$RC $ERR"
vf --db "$WORK/none.db" exposure --advisories "$adv"
check_eq "exposure5: a missing database: exit code 3, nothing made" "3 no" \
  "$RC $([ -e "$WORK/none.db" ] && echo yes || echo no)"
vf exposure --help
check_eq "exposure5: --help names every option" 1 \
  "$(grep -c -- '--advisories' <<<"$OUT")$(for o in --summary --windows --at --machine --id --csv --json; do grep -q -- "$o" <<<"$OUT" || echo " no $o"; done)"

# ---------------------------------------------------------------------------
# exposure6: the report opens with the section, its figures the summary's.
vf report --now 2026-12-31 -o "$WORK/plain.html"
check_eq "exposure6: without --advisories, no section" "0 0" "$RC $(grep -c 'id="exposure"' "$WORK/plain.html")"
vf report --now 2026-12-31 --advisories "$adv" -o "$WORK/page.html"
check_rc "exposure6: report --advisories" "$RC" "$WORK/vf.err"
section=$(sed 's/<section/\n<section/g' "$WORK/page.html" | grep '^<section id="exposure"')
check_eq "exposure6: the section comes first" 'exposure' \
  "$(grep -o '<section id="[a-z]*"' "$WORK/page.html" | head -1 | cut -d'"' -f2)"
check_eq "exposure6: 3 of 4 machines exposed" '3 75.0 %' \
  "$(sed -n 's/.*id="exposure-machines">\([^<]*\)<.*id="exposure-share">\([^<]*\)<.*/\1 \2/p' <<<"$section")"
check_eq "exposure6: a link to the advisory's own page, without a referrer" 1 \
  "$(grep -c 'href="https://www.chiark.greenend.org.uk/~sgtatham/putty/wishlist/vuln-p521-bias.html" rel="noreferrer"' <<<"$section")"
rows=$(sed 's/<tr class="advisory"[^>]*>/\n/g' <<<"$section" | tail -n +2 |
  sed -E 's/<td class="n">([^<]*)<\/td>/ \1 /g; s/<[^>]*>/ /g; s/  */ /g; s/^ //; s/ $//')
check_eq "exposure6: each advisory's figures are the summary's (exposed, unknown, fixed, median)" \
"CVE-2024-31497 PuTTY: biased ECDSA nonces, NIST P-521 keys https://www.chiark.greenend.org.uk/~sgtatham/putty/wishlist/vuln-p521-bias.html critical 2 1 0 14.0 2024-04-15
TOOL-8 Tool before 8 high 1 1 0
APP-17 medium 0 0 1 7.5
BANNED Not allowed on any machine low 1 0 0" "$(sed -E 's/ Exposed to .*//' <<<"$rows")"
cat > "$WORK/hostile.csv" <<'EOF'
id,name,severity,title,url
"<script>alert(1)</script>",putty.exe,high,"<img src=x onerror=alert(2)>","javascript:alert(3)"
"X"" onmouseover=""alert(4)",tool.exe,,,"https://x.test/""><script>alert(5)</script>"
EOF
vf report --now 2026-12-31 --advisories "$WORK/hostile.csv" -o "$WORK/hostile.html"
check_rc "exposure6: report over hostile advisories" "$RC" "$WORK/vf.err"
check_eq "exposure6: no markup of the file's, no link but to a web page" "0 0 0 1" \
  "$(grep -c '<script' "$WORK/hostile.html") $(grep -c '<img' "$WORK/hostile.html") $(grep -c 'href="javascript' "$WORK/hostile.html") $(grep -c 'href="https://x.test/&quot;&gt;&lt;script&gt;alert(5)&lt;/script&gt;" rel="noreferrer"' "$WORK/hostile.html")"
printf 'id,name\nX,a\\b.exe\n' > "$WORK/bad.csv"
cp "$WORK/page.html" "$WORK/kept.html"
vf report --now 2026-12-31 --advisories "$WORK/bad.csv" -o "$WORK/kept.html"
check_eq "exposure6: a refused file: exit code 2, its line, the old page kept" \
  "2|vurfleet: $WORK/bad.csv:2: the name 'a\\b.exe' holds a backslash, which no file name does: give the folders in 'path'|yes" \
  "$RC|$ERR|$(cmp -s "$WORK/kept.html" "$WORK/page.html" && echo yes)"

# ---------------------------------------------------------------------------
# exposure7: the example the package ships is an advisories file.
vf exposure --advisories "$E2E_REPO/examples/advisories.csv" --summary --at 2026-12-31 --csv
check_rc "exposure7: examples/advisories.csv is read" "$RC" "$WORK/vf.err"
check_eq "exposure7: ... and PC1's PuTTY 0.79 is exposed to both of PuTTY's advisories" 2 \
  "$("$VURFLEET" exposure --advisories "$E2E_REPO/examples/advisories.csv" --at 2026-12-31 --machine PC1 --csv |
     grep -c ',PC1,C:\\Program Files\\PuTTY\\putty.exe,0.79.0.0,exposed,')"

family_done
