#!/usr/bin/env bash
# load. vurfleet as an administrator runs it on the files of a share:
# refusals and their messages, exit codes, the same bytes twice, UTF-16LE
# with CR LF against UTF-8 with LF, an unfinished run replaced by its
# finished copy, the absence rules around ERROR lines, any order of loading
# against start order, and a load killed with SIGKILL at random moments and
# run again. Needs no scanner: the files are written as the scanner writes
# them (tests/fleet/scanner-builds.sh loads what the real builds print).
. "$(dirname "$0")/lib.sh"
family_builds linux

cd "$WORK" || exit 2
export VURFLEET_DB=$WORK/env.db

# ---------------------------------------------------------------------------
# load1: a folder with good files, files that are no scans, and others.
share=$FX/share
mkdir -p "$share/2026-12-01"
scan_file "$share/2026-12-01/PC1.2026-12-01.txt" "2026-12-01 02:00:00" finished \
  'C:\Tools\putty.exe - 0.80.0.0' 'C:\A - B\app - v2.exe - 1.2.3.4' 'C:\x.exe - <none>'
scan_file "$share/PC2.txt" "2026-12-02 03:00:00" finished 'C:\Tools\PuTTY.exe - 0.81.0.0'
: > "$share/EMPTY.txt"
printf 'C:\\a.exe - 1.0.0.0\n' > "$share/NOSTART.txt"
scan_file "$share/BADVERSION.txt" "2026-12-01 02:00:00" finished 'C:\a.exe - 1.2.3'
scan_file "$share/BEFORE.txt" "2026-12-01 02:00:00" finished
sed -i '1i C:\\early.exe - 1.0.0.0' "$share/BEFORE.txt"
printf '# Started\n# Tue, 01 Dec 2026 02:00:00 -0700\nC:\\a\0b.exe - 1.0.0.0\n' > "$share/NUL.txt"
printf '# Started\n# Tue, 01 Dec 2026 02:00:00 -0700\nC:\\caf\xe9.exe - 1.0.0.0\n' > "$share/LATIN1.txt"
printf '# Started\n# Mon, 01 Dec 2026 02:00:00 -0700\n' > "$share/WEEKDAY.txt"
scan_file "$share/TWICE.txt" "2026-12-01 02:00:00" finished 'C:\a.exe - 1.0.0.0' 'C:\a.exe - 2.0.0.0'
scan_file "$share/bad name.txt" "2026-12-01 02:00:00" finished 'C:\a.exe - 1.0.0.0'
echo '[.ShellClassInfo]' > "$share/desktop.ini"
head -c 64 /dev/urandom > "$share/Thumbs.db"

vf --db "$WORK/l1.db" load "$share"
check_eq "load1: some file refused, exit code 1" 1 "$RC"
printf '%s\n' "$ERR" > "$WORK/l1.err"
check_has "load1: each refusal names file, line and why" "$WORK/l1.err" \
  "vurfleet: $share/BADVERSION.txt:3: a report line whose version is neither <none> nor four numbers 0-65535: '1.2.3'" \
  "vurfleet: $share/BEFORE.txt:1: a report line before '# Started': 'C:\\early.exe - 1.0.0.0'" \
  "vurfleet: $share/EMPTY.txt:1: empty file" \
  "vurfleet: $share/LATIN1.txt:3: not text: the byte 0xE9 is not UTF-8" \
  "vurfleet: $share/NOSTART.txt:1: a report line before '# Started': 'C:\\a.exe - 1.0.0.0'" \
  "vurfleet: $share/NUL.txt:3: not text: a NUL byte (UTF-16 without its byte-order mark?)" \
  "vurfleet: $share/TWICE.txt:4: the path of line 3 again, with another version: 'C:\\a.exe'" \
  "vurfleet: $share/WEEKDAY.txt:2: '# Started' is not followed by a time stamp such as '# Tue, 08 Dec 2026 04:03:56 -0700': '# Mon, 01 Dec 2026 02:00:00 -0700'" \
  "vurfleet: $share/bad name.txt: 'bad name' is no computer name (letters, digits, '-' and '_'); name the machine with --machine"
check_eq "load1: nothing but the refusals on stderr" 9 "$(wc -l < "$WORK/l1.err")"
printf '%s\n' "$OUT" > "$WORK/l1.out"
check_has "load1: one line per loaded file, in name order" "$WORK/l1.out" \
  "$share/2026-12-01/PC1.2026-12-01.txt: PC1, started 2026-12-01 02:00:00, finished, 3 report lines, 0 ERROR lines" \
  "$share/PC2.txt: PC2, started 2026-12-02 03:00:00, finished, 1 report line, 0 ERROR lines"
check_eq "load1: desktop.ini and Thumbs.db are not read" 2 "$(wc -l < "$WORK/l1.out")"
vf --db "$WORK/l1.db" machines --now 2026-12-03 --csv
check_eq "load1: only the scans are stored" \
  "machine,last_started,last_completed,status,files,errors
PC1,2026-12-01 02:00:00,2026-12-01 02:05:00,ok,3,0
PC2,2026-12-02 03:00:00,2026-12-02 03:05:00,ok,1,0" "$(tr -d '\r' < "$WORK/vf.out")"
vf --db "$WORK/l1.db" find --name 'PUTTY.EXE' --below 0.81
check_eq "load1: find by name and version, as numbers" \
  "machine  path                version   since
PC1      C:\\Tools\\putty.exe  0.80.0.0  2026-12-01 02:00:00" "$OUT"

# load2: the same bytes twice; a file named is read whatever its name.
vf --db "$WORK/l1.db" load "$share/PC2.txt"
check_eq "load2: the same bytes again: exit code 0" 0 "$RC"
check_eq "load2: ... and said so" \
  "$share/PC2.txt: already loaded (PC2, started 2026-12-02 03:00:00, from $share/PC2.txt)" "$OUT"
cp "$share/PC2.txt" "$WORK/copy.log"
scan_file "$WORK/other.log" "2026-12-03 03:00:00" finished 'C:\y.exe - 1.0.0.0'
vf --db "$WORK/l1.db" load --machine pc2 "$WORK/copy.log" "$WORK/other.log"
check_eq "load2: named files load whatever their names (--machine)" \
  "$WORK/copy.log: already loaded (PC2, started 2026-12-02 03:00:00, from $share/PC2.txt)
$WORK/other.log: PC2, started 2026-12-03 03:00:00, finished, 1 report line, 0 ERROR lines" "$OUT"

# load3: the command line.
vf --version
check_eq "load3: --version prints the project's version" "0 vurfleet $VERSION" "$RC $OUT"
vf --db "$WORK/missing.db" find
check_eq "load3: a query on a missing database: exit code 3, nothing made" \
  "3 vurfleet: $WORK/missing.db: no such database (vurfleet load makes it) absent" \
  "$RC $ERR $( [ -e "$WORK/missing.db" ] && echo present || echo absent)"
vf --db "$WORK/l1.db" find --below 8.x
check_eq "load3: a bad version: exit code 2" \
  "2 vurfleet: --below: '8.x' is no version: give 1 to 4 numbers 0-65535 separated by dots" "$RC $ERR"
vf --db "$WORK/l1.db" find --below 1 --none
check_eq "load3: --below with --none: a usage error, exit code 2" 2 "$RC"
vf --db "$WORK/l1.db" changes --since yesterday
check_eq "load3: a bad time: exit code 2" 2 "$RC"
for c in load find changes machines; do
  vf "$c" --help
  check_eq "load3: $c --help: exit code 0" 0 "$RC"
done
echo 'not a database, only text' > "$WORK/text.db"
vf --db "$WORK/text.db" machines
check_eq "load3: a file that is no database: exit code 3" 3 "$RC"
vf load "$share/PC2.txt"
vf machines --csv
check_eq "load3: \$VURFLEET_DB names the database" "0 PC2" \
  "$RC $(tr -d '\r' < "$WORK/vf.out" | sed -n 2p | cut -d, -f1)"
(cd "$FX" && env -u VURFLEET_DB "$VURFLEET" load "$share/PC2.txt" >/dev/null)
check_eq "load3: without it, inventory.db in the current folder" yes \
  "$([ -f "$FX/inventory.db" ] && echo yes)"

# ---------------------------------------------------------------------------
# load4: UTF-16LE with CR LF (PowerShell's >) and UTF-8 with LF give the same.
scan_file "$WORK/PC9.txt" "2026-12-04 01:02:03" finished \
  'D:\Grüße\ÄÖÜ.exe - 1.0.0.1' "D:\\a$(printf '\xef\x80\x8a')b.exe - <none>" \
  "D:\\bad$(printf '\xef\xbf\xbd').exe - 3.0.0.0" '' '# ERROR: GetLastError returned 0x5'
mkdir -p "$WORK/u16"
utf16 "$WORK/PC9.txt" "$WORK/u16/PC9.txt"
vf --db "$WORK/u8.db" load "$WORK/PC9.txt"
vf --db "$WORK/u16.db" load "$WORK/u16/PC9.txt"
check_eq "load4: UTF-16LE with CR LF loads" 0 "$RC"
answers "$WORK/u8.db" > "$WORK/u8.answers"
answers "$WORK/u16.db" > "$WORK/u16.answers"
check_same "load4: UTF-16LE with CR LF and UTF-8 with LF: the same answers" \
  "$WORK/u8.answers" "$WORK/u16.answers"
"$VURFLEET" --db "$WORK/u16.db" find --csv | as_lines path version > "$WORK/u16.lines"
grep -v -e '^#' -e '^$' "$WORK/PC9.txt" | LC_ALL=C sort > "$WORK/PC9.lines"
check_same "load4: the report lines found again exactly" "$WORK/PC9.lines" "$WORK/u16.lines"

# ---------------------------------------------------------------------------
# load5: the share was read while the run was being written; next day's
# copy holds the finished run.
scan_file "$WORK/PC5.finished" "2026-12-05 02:00:00" finished \
  'C:\a.exe - 1.0.0.0' 'C:\b.exe - 1.0.0.0' 'C:\c.exe - 1.0.0.0'
mkdir -p "$WORK/day1" "$WORK/day2"
head -c "$(grep -b -o 'C:\\c.exe' "$WORK/PC5.finished" | cut -d: -f1)" "$WORK/PC5.finished" \
  | head -c -3 > "$WORK/day1/PC5.txt"
cp "$WORK/PC5.finished" "$WORK/day2/PC5.txt"
vf --db "$WORK/l5.db" load "$WORK/day1/PC5.txt"
check_eq "load5: the cut copy loads as not finished, its cut line unread" \
  "$WORK/day1/PC5.txt: PC5, started 2026-12-05 02:00:00, not finished, 1 report line, 0 ERROR lines, its end still being written" "$OUT"
vf --db "$WORK/l5.db" machines --now 2026-12-06 --csv
check_eq "load5: ... and the machine is incomplete" "PC5,2026-12-05 02:00:00,,incomplete,1,0" \
  "$(tr -d '\r' < "$WORK/vf.out" | sed -n 2p)"
vf --db "$WORK/l5.db" load "$WORK/day2/PC5.txt"
check_eq "load5: the finished copy replaces it" \
  "$WORK/day2/PC5.txt: PC5, started 2026-12-05 02:00:00, finished, 3 report lines, 0 ERROR lines; replaces the unfinished copy from $WORK/day1/PC5.txt" "$OUT"
vf --db "$WORK/l5.db" machines --now 2026-12-06 --csv
check_eq "load5: the machine is ok" "PC5,2026-12-05 02:00:00,2026-12-05 02:05:00,ok,3,0" \
  "$(tr -d '\r' < "$WORK/vf.out" | sed -n 2p)"
vf --db "$WORK/l5.db" load "$WORK/day1/PC5.txt"
check_eq "load5: the cut copy again adds nothing, and is no error" "0" "$RC"
vf --db "$WORK/l5b.db" load "$WORK/day2/PC5.txt" "$WORK/day1/PC5.txt"
answers "$WORK/l5.db" > "$WORK/l5.answers"
answers "$WORK/l5b.db" > "$WORK/l5b.answers"
check_same "load5: finished copy first, the same answers" "$WORK/l5.answers" "$WORK/l5b.answers"
scan_file "$WORK/PC5.other.txt" "2026-12-05 02:00:00" finished 'C:\a.exe - 9.0.0.0'
vf --db "$WORK/l5.db" load "$WORK/PC5.other.txt"
check_eq "load5: another finished copy is a conflict, exit code 1" \
  "1 vurfleet: $WORK/PC5.other.txt:1: conflict: PC5's run started 2026-12-05 02:00:00 is stored finished from $WORK/day2/PC5.txt, with other bytes; a finished run is never replaced" \
  "$RC $ERR"

# ---------------------------------------------------------------------------
# load6: what a finished scan proves absent.
scan_file "$WORK/PC6.1.txt" "2026-12-01 02:00:00" finished \
  'D:\Big\x.exe - 1.0.0.0' 'D:\Big\Sub\z.exe - 1.0.0.0' 'D:\y.exe - 1.0.0.0' 'E:\e.exe - 1.0.0.0'
scan_file "$WORK/PC6.2.txt" "2026-12-08 02:00:00" finished \
  'D:\Big\Sub\z.exe - 2.0.0.0' '' '# ERROR: Exception in ScanFolder( D:\BIG\ )' \
  '# ERROR: Scanning drive E:\'
scan_file "$WORK/PC6.3.txt" "2026-12-15 02:00:00" finished \
  '' '# ERROR: GetLastError returned 0xea' \
  '# ERROR: Using FindNextFileW in directory D:\* after file <none>' 'D:\Big\Sub\z.exe - 2.0.0.0'
vf --db "$WORK/l6.db" load "$WORK/PC6.1.txt" "$WORK/PC6.2.txt"
vf --db "$WORK/l6.db" find --csv
check_eq "load6: below a folder and a drive not walked whole, entries stay" \
  "PC6,D:\\Big\\Sub\\z.exe,2.0.0.0,2026-12-08 02:00:00
PC6,D:\\Big\\x.exe,1.0.0.0,2026-12-01 02:00:00
PC6,E:\\e.exe,1.0.0.0,2026-12-01 02:00:00" "$(tr -d '\r' < "$WORK/vf.out" | sed 1d)"
vf --db "$WORK/l6.db" load --now 2026-12-15 "$WORK/PC6.3.txt"
vf --db "$WORK/l6.db" changes --csv
check_eq "load6: the checkpoint line limits nothing: the rest is removed" \
  "PC6,2026-12-08 02:00:00,upgraded,D:\\Big\\Sub\\z.exe,1.0.0.0,2.0.0.0
PC6,2026-12-08 02:00:00,removed,D:\\y.exe,1.0.0.0,
PC6,2026-12-15 02:00:00,removed,D:\\Big\\x.exe,1.0.0.0,
PC6,2026-12-15 02:00:00,removed,E:\\e.exe,1.0.0.0," "$(tr -d '\r' < "$WORK/vf.out" | sed 1d)"

# ---------------------------------------------------------------------------
# load7: a synthetic fleet with unfinished runs, loaded in start order,
# backwards, and shuffled, gives the same answers.
"$MAKE_FLEET" "$FX/fleet" --machines 12 --lines 200 --weeks 4 --unfinished 0.3 --seed 7 \
  --first 2026-11-10 || exit 2
vf --db "$WORK/order.db" load "$FX/fleet"
check_eq "load7: in order: exit code 0" 0 "$RC"
answers "$WORK/order.db" 2026-11-20 > "$WORK/order.answers"
find "$FX/fleet" -name '*.txt' | LC_ALL=C sort -r > "$WORK/backwards"
find "$FX/fleet" -name '*.txt' | sort -R --random-source=<(yes) > "$WORK/shuffled"
for o in backwards shuffled; do
  xargs -d '\n' "$VURFLEET" --db "$WORK/$o.db" load < "$WORK/$o" > "$WORK/$o.load"
  check_eq "load7: $o: exit code 0" 0 "$?"
  answers "$WORK/$o.db" 2026-11-20 > "$WORK/$o.answers"
  check_same "load7: $o: the answers of start order" "$WORK/order.answers" "$WORK/$o.answers"
done
check_eq "load7: late files had histories worked out again" yes \
  "$(grep -q 'history worked out again' "$WORK/backwards.load" && echo yes)"

# ---------------------------------------------------------------------------
# load8: SIGKILL at random moments, then a load to the end: the same answers
# as one load, and a sound database. A load commits whole groups of files
# and says a file is stored only once its group has committed.
# Six weeks of 40 machines: 240 files, three groups of a load.
"$MAKE_FLEET" "$FX/big" --machines 40 --lines 3000 --weeks 6 --unfinished 0.1 --seed 8 || exit 2
"$VURFLEET" --db "$WORK/whole.db" load "$FX/big" > /dev/null
answers "$WORK/whole.db" 2026-11-12 > "$WORK/whole.answers"
# Killed again and again: the first three times within a tenth of a
# second, well before a group commits; then each time at once after the
# load says it stored its first group, or after a random fraction of a
# second; until a load gets to its end before the kill.
killed=0 said_lines=0 said_not_stored=""
for attempt in $(seq 1 40); do
  "$VURFLEET" --db "$WORK/killed.db" load "$FX/big" > "$WORK/killed.$attempt.out" 2>&1 &
  pid=$!
  if [ "$attempt" -le 3 ]; then
    sleep "0.0$((RANDOM % 10))"
  elif [ $((attempt % 2)) -eq 0 ]; then
    for _ in $(seq 1 200); do grep -q ', started ' "$WORK/killed.$attempt.out" && break; sleep 0.05; done
  else
    sleep "0.$((RANDOM % 10))$((RANDOM % 10))"
  fi
  kill -KILL "$pid" 2>/dev/null || break
  killed=$((killed + 1))
  wait "$pid" 2>/dev/null
  # What a killed load said it stored, it stored: lines come after their
  # group's commit.
  sed -n 's/^\(.*\.txt\): PC[0-9]*, started .*/\1/p' "$WORK/killed.$attempt.out" | LC_ALL=C sort > "$WORK/said"
  sqlite3 "$WORK/killed.db" 'SELECT file FROM scans' 2>/dev/null | LC_ALL=C sort > "$WORK/stored"
  said_not_stored+=$(LC_ALL=C comm -23 "$WORK/said" "$WORK/stored" | head -n 3)
  said_lines=$((said_lines + $(wc -l < "$WORK/said")))
done
wait "$pid" 2>/dev/null
"$VURFLEET" --db "$WORK/killed.db" load "$FX/big" > "$WORK/killed.last" 2>&1
check_eq "load8: the load after the kills ends with exit code 0" 0 "$?"
check_eq "load8: loads were killed under way" yes "$([ "$killed" -ge 3 ] && echo yes || echo "no: $killed")"
check_eq "load8: every file a killed load said it stored is stored (its group had committed)" "" \
  "$said_not_stored"
check_eq "load8: ... and killed loads said so of some files" yes "$([ "$said_lines" -gt 0 ] && echo yes)"
echo "# load8: killed $killed times"
answers "$WORK/killed.db" 2026-11-12 > "$WORK/killed.answers"
check_same "load8: killed and rerun: the answers of one load" "$WORK/whole.answers" "$WORK/killed.answers"
check_eq "load8: the database is sound" ok "$(sqlite3 "$WORK/killed.db" 'PRAGMA integrity_check')"
check_eq "load8: every file stored once" "$(find "$FX/big" -name '*.txt' | wc -l)" \
  "$(sqlite3 "$WORK/killed.db" 'SELECT count(*) FROM scans')"

# ---------------------------------------------------------------------------
# load9: pooled desktops cloned from one image, scanned by the same task in
# the same second, write byte-identical files: each is its own machine's.
mkdir -p "$WORK/vdi"
scan_file "$WORK/vdi/VDI001.txt" "2026-12-07 02:00:00" finished 'C:\Tools\putty.exe - 0.79.0.0'
cp "$WORK/vdi/VDI001.txt" "$WORK/vdi/VDI002.txt"
cp "$WORK/vdi/VDI001.txt" "$WORK/vdi/VDI003.txt"
vf --db "$WORK/vdi.db" load "$WORK/vdi"
check_eq "load9: identical bytes under three names: three machines stored" "0 3" \
  "$RC $(grep -c 'finished, 1 report line' "$WORK/vf.out")"
vf --db "$WORK/vdi.db" find --name putty.exe --below 0.81 --csv
check_eq "load9: ... each found below the fixed version" "VDI001 VDI002 VDI003" \
  "$(tr -d '\r' < "$WORK/vf.out" | sed 1d | cut -d, -f1 | xargs)"
vf --db "$WORK/vdi.db" load "$WORK/vdi/VDI002.txt"
check_eq "load9: the same machine's bytes again are already loaded" \
  "$WORK/vdi/VDI002.txt: already loaded (VDI002, started 2026-12-07 02:00:00, from $WORK/vdi/VDI002.txt)" "$OUT"

# ---------------------------------------------------------------------------
# load10: a machine's clock set wrong once: its scan from the future is
# refused; one loaded all the same (its --now so far ahead) is taken out
# with forget, and the answers are those of a load without it.
mkdir -p "$WORK/clock"
scan_file "$WORK/clock/PCC.1.txt" "2026-12-01 02:00:00" finished 'C:\app.exe - 1.0.0.0' 'C:\old.exe - 1.0.0.0'
scan_file "$WORK/clock/PCC.2.txt" "2036-01-01 00:00:00" finished 'C:\app.exe - 9.0.0.0'
scan_file "$WORK/clock/PCC.3.txt" "2026-12-08 02:00:00" finished 'C:\app.exe - 1.1.0.0'
vf --db "$WORK/clock.db" load --now "2026-12-09 12:00:00" "$WORK/clock"
check_eq "load10: a scan that starts more than two days ahead of the clock is refused, exit code 1" \
  "1 vurfleet: $WORK/clock/PCC.2.txt:2: started 2036-01-01 00:00:00, later than this machine's clock (2026-12-09 12:00:00)" \
  "$RC $ERR"
vf --db "$WORK/clock.db" load --now "2026-12-09 12:00:00" "$WORK/clock"
check_eq "load10: ... and again on every load while it stays" 1 "$RC"
vf --db "$WORK/clock-ahead.db" load --now 2036-01-01 "$WORK/clock/PCC.1.txt" "$WORK/clock/PCC.2.txt" "$WORK/clock/PCC.3.txt"
vf --db "$WORK/clock-ahead.db" find --csv
check_eq "load10: loaded all the same, the stamp from the future hides the real scan" \
  "PCC,C:\\app.exe,9.0.0.0,2036-01-01 00:00:00" "$(tr -d '\r' < "$WORK/vf.out" | sed 1d)"
vf --db "$WORK/clock-ahead.db" forget --machine pcc --scan "2036-01-01 00:00:00"
check_eq "load10: forget --scan says what it took out" \
  "0 PCC: forgot the scan started 2036-01-01 00:00:00 (from $WORK/clock/PCC.2.txt, finished, 1 report line, 0 ERROR lines); history worked out again, 1 entry now" \
  "$RC $OUT"
answers "$WORK/clock.db" > "$WORK/clock.answers"
answers "$WORK/clock-ahead.db" > "$WORK/clock-ahead.answers"
check_same "load10: after forget, the answers of a load without that scan" \
  "$WORK/clock.answers" "$WORK/clock-ahead.answers"
vf --db "$WORK/clock-ahead.db" forget --machine PCC --scan "2030-01-01"
check_eq "load10: a scan not stored: exit code 1" \
  "1 vurfleet: PCC has no scan that started 2030-01-01 00:00:00" "$RC $ERR"
vf --db "$WORK/clock-ahead.db" forget --machine PCC
check_eq "load10: forget --machine takes the machine out whole" \
  "0 PCC: forgot the machine whole: 2 scans (2026-12-01 02:00:00 to 2026-12-08 02:00:00) and its history" \
  "$RC $OUT"
vf --db "$WORK/clock-ahead.db" machines --csv
check_eq "load10: ... and no query shows it" "machine,last_started,last_completed,status,files,errors" \
  "$(tr -d '\r' < "$WORK/vf.out")"
vf --db "$WORK/clock-ahead.db" forget --machine PCC
check_eq "load10: a machine not stored: exit code 1" "1 vurfleet: no machine PCC is stored" "$RC $ERR"

# ---------------------------------------------------------------------------
# load11: check. A clean load holds; faults planted by hand are found, a
# line each with the machine and path escaped; --repair rewrites what is
# derived from the intervals and never the intervals.
vf --db "$WORK/clock.db" check
check_eq "load11: a clean load checks clean, exit code 0" "0 checked 1 machine: no fault found" \
  "$RC $(tail -n 1 "$WORK/vf.out")"
sqlite3 "$WORK/clock.db" "UPDATE machines SET files = 5"
vf --db "$WORK/clock.db" check
check_eq "load11: a count of files changed: exit code 1, its line" \
  "1 PCC: its row counts 5 files, its open intervals are 1" "$RC $(head -n 1 "$WORK/vf.out")"
vf --db "$WORK/clock.db" check --repair
check_eq "load11: --repair rewrites it, says so and checks clean, exit code 0" \
  "0 PCC: files rewritten from 5 to 1|checked 1 machine: no fault found" \
  "$RC $(grep '^PCC: files' "$WORK/vf.out")|$(tail -n 1 "$WORK/vf.out")"
vf --db "$WORK/clock.db" check
check_eq "load11: ... and so does the next check" 0 "$RC"
sqlite3 "$WORK/clock.db" "UPDATE intervals SET until = until + 86400 WHERE until IS NOT NULL;
  UPDATE paths SET path = 'C:\' || char(27) || '[2Japp.exe' WHERE path = 'C:\app.exe'"
vf --db "$WORK/clock.db" check --repair
check_eq "load11: an interval's end moved over the next one's start: exit code 1, the path escaped, nothing repaired" \
  "1 PCC: C:\\<U+001B>[2Japp.exe: two intervals overlap: 2026-12-01 02:00:00 to 2026-12-09 02:00:00 and from 2026-12-08 02:00:00|repair: nothing derived from the intervals disagrees with them; nothing written" \
  "$RC $(head -n 1 "$WORK/vf.out")|$(tail -n 1 "$WORK/vf.out")"
vf --db "$WORK/none.db" check --repair
check_eq "load11: a database that is not there: exit code 3, and none is made" "3 absent" \
  "$RC $([ -e "$WORK/none.db" ] && echo present || echo absent)"

family_done
