#!/usr/bin/env bash
# report-browser. `vurfleet report`'s page in a real browser: Debian's
# headless Chromium loads it with the network off (its own network
# namespace), and its DOM holds the figures that vurfleet's CSV queries
# give for the same database (machines, changes, and each program's
# versions counted from `find`). The browser logs no console message and no
# error of the page, and the page makes no request; two pages that do are
# caught by the same checks. Hostile names in the database show as text.
# With advisories, the exposure section's figures against `exposure
# --summary` and `exposure` at the same time, hostile advisories as text.
# With entitlements, the Licenses section's figures and charts' words
# against `licenses`, its --days and its --machines.
# Screenshots (1280 x 2000 and a phone's width) and a print to PDF are kept
# in build/test-output/report/; with REPORT_SCREENSHOT=FILE the wide one is
# also copied to FILE (docs/report.png, the picture of docs/report.md).
#   CHROMIUM   the browser (default chromium)
. "$(dirname "$0")/lib.sh"
family_builds linux

cd "$WORK" || exit 2
KEEP=$E2E_REPO/build/test-output/report
rm -rf "$KEEP"; mkdir -p "$KEEP"
CHROMIUM=${CHROMIUM:-chromium}
if ! command -v "$CHROMIUM" >/dev/null; then
  fail "report: the browser $CHROMIUM is installed" "scripts/install-deps.sh test installs chromium"
  family_done
fi

# The network is off: a network namespace of the browser's own (as root, or
# as a user in a user namespace); where neither can be made, a proxy and a
# resolver that lead nowhere.
offline=() sandbox=()
if unshare -n true 2>/dev/null; then offline=(unshare -n)
elif unshare -rn true 2>/dev/null; then offline=(unshare -rn)
else
  echo "# no network namespace here: requests go to a proxy that does not exist"
  offline=(env) sandbox=(--proxy-server=127.0.0.1:9 '--host-resolver-rules=MAP * ~NOTFOUND')
fi
# Root (also root inside a user namespace) can't use Chromium's sandbox.
if [ "$(id -u)" -eq 0 ] || [ "${offline[*]}" = "unshare -rn" ]; then sandbox+=(--no-sandbox); fi

# browse OUT URL ARGS...: one headless run; its log in OUT.log, its network
# log in OUT.net.json. The browser's own services stay off, so that what
# the network log holds is the page's.
browse() {
  local out=$1 url=$2; shift 2
  rm -rf "$WORK/profile"
  "${offline[@]}" "$CHROMIUM" --headless=new "${sandbox[@]}" --disable-gpu \
    --user-data-dir="$WORK/profile" --no-first-run --disable-background-networking \
    --disable-component-update --disable-sync --disable-default-apps --disable-extensions \
    --enable-logging=stderr --v=0 --log-net-log="$out.net.json" "$@" "$url" \
    > "$out.out" 2> "$out.log"
}

# problems OUT: what the page made the browser log or fetch, one line each.
# Every console message counts (the page has no script: a message is a
# blocked resource or an error), except those of the browser's own pages
# (chrome://, such as its omnibox on a busy machine); so does every other
# ERROR line, except the D-Bus ones of a machine without a session bus,
# which are the browser's and say nothing of the page; so does every request
# the page itself started (the browser's own carry no origin).
problems() {
  grep -E 'CONSOLE|:ERROR:|Content Security Policy|net::ERR' "$1.log" |
    grep -v -e ':ERROR:dbus/' -e 'source: chrome://'
  /usr/bin/python3 - "$1.net.json" <<'EOF'
import json, sys
try:
    log = json.load(open(sys.argv[1]))
except (OSError, ValueError) as e:
    sys.exit(f"no network log: {e}")
for e in log.get("events", []):
    p = e.get("params", {})
    if "initiator" in p and p["initiator"] != "not an origin":
        print(f"request: {p.get('url')} (from {p['initiator']})")
EOF
}

# png_size FILE: "WIDTH HEIGHT" of a PNG
png_size() {
  /usr/bin/python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(24); print(*struct.unpack(">II", d[16:24]) if d[:8]==b"\x89PNG\r\n\x1a\n" else "no PNG")' "$1"
}

# ---------------------------------------------------------------------------
# report1: a fleet of 1 100 machines over two weeks, some runs unfinished.
now="2026-11-17 12:00:00"
"$MAKE_FLEET" "$FX/share" --machines 1100 --lines 200 --weeks 2 --unfinished 0.05 >/dev/null
db=inventory.db  # as the page names it: in the current folder, $WORK
"$VURFLEET" --db "$db" load "$FX/share" > "$WORK/load.out" 2>&1
check_eq "report1: the fleet loads" 0 "$?"
vf --db "$db" report --now "$now" -o "$WORK/report.html"
check_rc "report1: report -o" "$RC" "$WORK/vf.err"
check_eq "report1: nothing on stdout" "" "$OUT"
mkdir -p "$WORK/here"
(cd "$WORK/here" && "$VURFLEET" --db "$WORK/$db" report --now "$now")
check_eq "report1: the page is report.html by default" 1 "$(grep -c '</html>' "$WORK/here/report.html")"
check_eq "report1: no temporary file is left" "report.html" "$(ls "$WORK/here")"
echo "# report1: $(stat -c %s "$WORK/report.html") bytes"

# report2: the DOM against the queries.
browse "$WORK/dom" "file://$WORK/report.html" --dump-dom
check_eq "report2: the browser read the page" 1 "$(grep -c '</html>' "$WORK/dom.out")"
/usr/bin/python3 "$FLEET_DIR/report_dom.py" page "$WORK/dom.out" > "$WORK/page.lines"
/usr/bin/python3 "$FLEET_DIR/report_dom.py" expect "$VURFLEET" "$db" "$now" 25 > "$WORK/expected.lines"
check_same "report2: every figure in the DOM is what machines, changes and find give" \
  "$WORK/expected.lines" "$WORK/page.lines"
check_eq "report2: 25 programs, each compared" 25 "$(grep -c '^program ' "$WORK/page.lines")"
check_has "report2: the counts have thousands separators; all three states are there" "$WORK/page.lines" \
  "machines-total 1,100"
for s in ok incomplete stale; do
  check_eq "report2: some machines $s" yes \
    "$(grep -q "^machines-$s [1-9]" "$WORK/page.lines" && echo yes || grep "^machines-$s" "$WORK/page.lines")"
done
check_eq "report2: a program with several versions and a change list" yes \
  "$(awk '/^version /{v[$2]++} END{for(n in v) if(v[n]>2) {print "yes"; exit}}' "$WORK/page.lines")$(grep -q '^change ' "$WORK/page.lines" || echo ' but no changes')"
cp "$WORK/page.lines" "$KEEP/dom-figures.txt"
cp "$WORK/report.html" "$KEEP/report.html"
check_eq "report2: the browser logged no error and the page fetched nothing" "" "$(problems "$WORK/dom")"

# report3: screenshots and print.
browse "$WORK/wide" "file://$WORK/report.html" --window-size=1280,2000 --hide-scrollbars \
  --screenshot="$KEEP/report-1280x2000.png"
check_eq "report3: a screenshot at 1280 x 2000" "1280 2000" "$(png_size "$KEEP/report-1280x2000.png")"
check_eq "report3: ... with no error or request" "" "$(problems "$WORK/wide")"
browse "$WORK/phone" "file://$WORK/report.html" --window-size=390,1400 --hide-scrollbars \
  --screenshot="$KEEP/report-phone.png"
check_eq "report3: a screenshot at a phone's width" "390 1400" "$(png_size "$KEEP/report-phone.png")"
browse "$WORK/print" "file://$WORK/report.html" --no-pdf-header-footer --print-to-pdf="$KEEP/report.pdf"
check_eq "report3: printed to PDF" "%PDF" "$(head -c 4 "$KEEP/report.pdf" 2>/dev/null)"
check_eq "report3: ... with no error or request" "" "$(problems "$WORK/print")"
if [ -n "${REPORT_SCREENSHOT:-}" ]; then cp "$KEEP/report-1280x2000.png" "$REPORT_SCREENSHOT"; fi

# report4: the checks see what they look for: a page whose policy blocks
# an image and a script, and one without a policy that fetches an image.
cat > "$WORK/blocked.html" <<'EOF'
<!DOCTYPE html><html><head><meta http-equiv="Content-Security-Policy" content="default-src 'none'; style-src 'unsafe-inline'"><title>t</title></head><body><img src="http://192.0.2.1/x.png"><script>document.title = "ran"</script></body></html>
EOF
sed 's/<meta[^>]*>//' "$WORK/blocked.html" > "$WORK/fetching.html"
browse "$WORK/blocked" "file://$WORK/blocked.html" --dump-dom
check_eq "report4: a blocked image and script are seen in the log" 2 \
  "$(problems "$WORK/blocked" | grep -c 'Content Security Policy')"
browse "$WORK/fetching" "file://$WORK/fetching.html" --dump-dom
check_eq "report4: a page's request is seen in the network log" \
  "request: http://192.0.2.1/x.png (from null)" "$(problems "$WORK/fetching" | grep '^request:')"

# report5: hostile names in the database show as text.
cp "$WORK/$db" "$WORK/hostile.db"
first_incomplete=$(grep -m1 '^incomplete ' "$WORK/page.lines" | cut -d' ' -f2)
top_name=$(grep -m1 '^program ' "$WORK/page.lines" | cut -d' ' -f2)
changed_path=$(grep -m1 '^change ' "$WORK/page.lines" | cut -f4)
sqlite3 "$WORK/hostile.db" \
  "UPDATE machines SET name = '<img src=x onerror=alert(1)>\"&amp;''' WHERE name = '$first_incomplete';
   UPDATE paths SET name_key = '<script>alert(2)</script>' WHERE name_key = '$top_name';
   UPDATE names SET name_key = '<script>alert(2)</script>' WHERE name_key = '$top_name';
   UPDATE paths SET path = 'C:\\<iframe src=//x>' || x'e9' || '.exe' WHERE path = '${changed_path//\'/\'\'}';"
vf --db "$WORK/hostile.db" report --now "$now" -o "$WORK/hostile.html"
check_rc "report5: report over hostile names" "$RC" "$WORK/vf.err"
browse "$WORK/hostile" "file://$WORK/hostile.html" --dump-dom
/usr/bin/python3 "$FLEET_DIR/report_dom.py" page "$WORK/hostile.out" > "$WORK/hostile.lines"
check_has "report5: the names are text, nothing of them is markup" "$WORK/hostile.lines" \
  "incomplete <img src=x onerror=alert(1)>\"&amp;'" \
  "tag iframe 0" "tag img 0" "tag script 0"
check_eq "report5: the program's name is text" 1 \
  "$(grep -c '^program <script>alert(2)</script> ' "$WORK/hostile.lines")"
check_eq "report5: a byte that is no UTF-8 is shown as U+FFFD" 1 \
  "$(grep '^change ' "$WORK/hostile.lines" | grep -c -F $'C:\\<iframe src=//x>\xef\xbf\xbd.exe')"
check_eq "report5: no error and no request" "" "$(problems "$WORK/hostile")"

# report6: failures are errors, and leave no page behind.
vf --db "$db" report --now "$now" -o "$WORK/missing/report.html"
check_eq "report6: a folder that does not exist: exit code 2" 2 "$RC"
check_eq "report6: ... and why" yes "$(grep -q "^vurfleet: $WORK/missing/report.html: " <<<"$ERR" && echo yes || echo "$ERR")"
cp "$WORK/report.html" "$WORK/kept.html"
vf --db "$WORK/nothing.db" report -o "$WORK/kept.html"
check_eq "report6: a missing database: exit code 3, the old page kept" "3 yes" \
  "$RC $(cmp -s "$WORK/kept.html" "$WORK/report.html" && echo yes)"
vf --db "$db" report --now yesterday -o "$WORK/kept.html"
check_eq "report6: a time that is none: exit code 2" 2 "$RC"

# report7: with advisories the page opens with the exposure, and every
# figure of it is what `exposure --summary` and `exposure` give at --now:
# the example's advisories and others on the fleet's own programs, each
# fixed at its newest release, of every severity.
adv=$WORK/advisories.csv
cp "$E2E_REPO/examples/advisories.csv" "$adv"
"$VURFLEET" --db "$db" programs --top 60 --csv |
  awk -F, 'NR > 1 && $1 ~ /^tool/ && !seen[$1]++ && n < 12 {
             split($3, v, "."); n++; split("critical high medium low", s, " ")
             printf "SYN-%02d,%s,,,%s.%s,%s,,Synthetic %d,\r\n", n, $1, v[1], v[2], (n % 5 ? s[n % 5] : ""), n }' \
  >> "$adv"
vf --db "$db" report --now "$now" --advisories "$adv" -o "$WORK/exposure.html"
check_rc "report7: report --advisories" "$RC" "$WORK/vf.err"
browse "$WORK/exposure" "file://$WORK/exposure.html" --dump-dom
/usr/bin/python3 "$FLEET_DIR/report_dom.py" page "$WORK/exposure.out" > "$WORK/exposure.lines"
/usr/bin/python3 "$FLEET_DIR/report_dom.py" expect "$VURFLEET" "$db" "$now" 25 "$adv" > "$WORK/exposure.expected"
check_same "report7: every figure of the section is what exposure --summary and exposure give" \
  "$WORK/exposure.expected" "$WORK/exposure.lines"
check_eq "report7: ... for 16 advisories, some machines listed and more left out" "16 yes yes" \
  "$(grep -c '^advisory ' "$WORK/exposure.lines") $(grep -q '^exposed [^ ]* PC' "$WORK/exposure.lines" && echo yes) $(grep -q ' more$' "$WORK/exposure.lines" && echo yes)"
check_eq "report7: some windows closed: a median" yes \
  "$(grep -q '^advisory .* [0-9]*\.[0-9]$' "$WORK/exposure.lines" && echo yes)"
cp "$WORK/exposure.lines" "$KEEP/dom-exposure.txt"
cp "$WORK/exposure.html" "$KEEP/report-exposure.html"
check_eq "report7: no error and no request" "" "$(problems "$WORK/exposure")"
browse "$WORK/exposure-wide" "file://$WORK/exposure.html" --window-size=1280,2000 --hide-scrollbars \
  --screenshot="$KEEP/report-exposure-1280x2000.png"
check_eq "report7: a screenshot" "1280 2000" "$(png_size "$KEEP/report-exposure-1280x2000.png")"
# Hostile advisories: their texts are text, a link leads only to a web page.
printf '%s\n' 'id,name,severity,title,url' \
  '"<script>alert(1)</script>",putty.exe,high,"<img src=x onerror=alert(2)>",javascript:alert(3)' \
  '"<iframe src=//x>",tool1.exe,,,"https://x.test/""><script>alert(5)</script>"' > "$WORK/hostile.csv"
vf --db "$db" report --now "$now" --advisories "$WORK/hostile.csv" -o "$WORK/hostile-advisories.html"
check_rc "report7: report over hostile advisories" "$RC" "$WORK/vf.err"
browse "$WORK/hostile-advisories" "file://$WORK/hostile-advisories.html" --dump-dom
/usr/bin/python3 "$FLEET_DIR/report_dom.py" page "$WORK/hostile-advisories.out" > "$WORK/hostile-advisories.lines"
check_has "report7: the advisories' texts are text, nothing of them is markup" "$WORK/hostile-advisories.lines" \
  "tag iframe 0" "tag img 0" "tag script 0"
check_eq "report7: ... the ids shown as they are" 2 \
  "$(grep -c -e '^advisory <script>alert(1)</script> high ' -e '^advisory <iframe src=//x> ' "$WORK/hostile-advisories.lines")"
check_eq "report7: a link only to the web page" "0 1" \
  "$(grep -c 'href="javascript' "$WORK/hostile-advisories.out") $(grep -c 'rel="noreferrer"' "$WORK/hostile-advisories.out")"
check_eq "report7: no error and no request" "" "$(problems "$WORK/hostile-advisories")"

# report8: with entitlements the Licenses section follows, and every figure
# of it, each chart's words included, is what `licenses` gives at --now:
# pools on the fleet's own programs, a peak, a snapshot whose period ended,
# one not begun; staleness by --licenses-stale, not --stale.
ent=$WORK/entitlements.csv
{
  echo "pool,name,path,version_from,version_below,seats,rule,period_from,period_until,title,url"
  "$VURFLEET" --db "$db" programs --top 60 --csv |
    awk -F, 'NR > 1 && $1 ~ /^tool/ && !seen[$1]++ && n < 6 {
               n++; rule = n % 2 ? "peak" : "snapshot"; until = n % 2 ? "2027-01-01" : "2026-11-12"
               printf "POOL-%d,%s,,,,%d,%s,2026-11-01,%s,<b>Pool %d</b>,\r\n", n, $1, n * 40, rule, until, n }'
  echo "LATER,tool*.exe,,,,1,peak,2027-01-01,2028-01-01,,"
} > "$ent"
vf --db "$db" report --now "$now" --stale 30 --entitlements "$ent" --licenses-stale 2 -o "$WORK/licenses.html"
check_rc "report8: report --entitlements" "$RC" "$WORK/vf.err"
browse "$WORK/licenses" "file://$WORK/licenses.html" --dump-dom
/usr/bin/python3 "$FLEET_DIR/report_dom.py" page "$WORK/licenses.out" | grep -e '^pool ' -e '^stale-holding ' \
  > "$WORK/licenses.lines"
/usr/bin/python3 "$FLEET_DIR/report_dom.py" expect-licenses "$VURFLEET" "$db" "$now" "$ent" 2 \
  > "$WORK/licenses.expected"
check_same "report8: every figure of the section is what licenses, --days and --machines give" \
  "$WORK/licenses.expected" "$WORK/licenses.lines"
check_eq "report8: 7 pools, some due, stale machines listed and more left out" "7 yes yes yes" \
  "$(grep -c '^pool ' "$WORK/licenses.lines") $(grep -q '^pool [^ ]* [a-z]* [0-9,]* [0-9,]* [0-9:-]* [0-9: ]*[0-9,]* [1-9]' "$WORK/licenses.lines" && echo yes) $(grep -q '^stale-holding [^ ]* PC' "$WORK/licenses.lines" && echo yes) $(grep -q '^stale-holding .* more$' "$WORK/licenses.lines" && echo yes)"
check_eq "report8: the charts are inline SVG (none for a period not begun), the titles text" "6 0 yes" \
  "$(grep -o '<svg class="chart"' "$WORK/licenses.html" | wc -l | tr -d ' ') $(grep -c '<b>Pool' "$WORK/licenses.html") $(grep -q '&lt;b&gt;Pool 1' "$WORK/licenses.html" && echo yes)"
cp "$WORK/licenses.html" "$KEEP/report-licenses.html"
check_eq "report8: no error and no request" "" "$(problems "$WORK/licenses")"
browse "$WORK/licenses-wide" "file://$WORK/licenses.html" --window-size=1280,2000 --hide-scrollbars \
  --screenshot="$KEEP/report-licenses-1280x2000.png"
check_eq "report8: a screenshot" "1280 2000" "$(png_size "$KEEP/report-licenses-1280x2000.png")"

family_done
