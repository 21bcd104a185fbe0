#!/usr/bin/env bash
# hostile. vurfleet on a share whose files were written by someone else: no
# file stops the load or leads it out of the share, and the page it writes
# goes where it is told without replacing what is there. Lines that are no
# scanner output, a file of blank lines and a file of one long line under a
# bound on memory, links out of the share, an unreadable folder among
# readable ones (as an unprivileged user), a file named like an option in a
# glob, and report -o onto a FIFO, a link, standard output and the device
# nodes of a /dev of its own. Run as root (the user switch and the mount
# namespace); a case that can't run here says so and is skipped.
. "$(dirname "$0")/lib.sh"
family_builds linux

cd "$WORK" || exit 2
asan=$("$VURFLEET" --version >/dev/null 2>&1 && nm -C "$VURFLEET" 2>/dev/null | grep -q __asan_init && echo yes)

# ---------------------------------------------------------------------------
# hostile1: lines that are no scanner output are refused at their line.
share=$FX/lines
mkdir -p "$share"
scan_file "$share/LINK.txt" "2026-12-01 02:00:00" finished 'C:\a.exe - 1.0.0.0' \
  '=HYPERLINK("http://x.example/","Click me") - 1.0.0.0'
scan_file "$share/LONG.txt" "2026-12-01 02:00:00" finished \
  "C:\\$(head -c 32765 /dev/zero | tr '\0' 'a') - 1.0.0.0"
scan_file "$share/LONGEST.txt" "2026-12-01 02:00:00" finished \
  "C:\\$(head -c 32764 /dev/zero | tr '\0' 'a') - 1.0.0.0"
scan_file "$share/BLANK.txt" "2026-12-01 02:00:00" finished 'C:\a.exe - 1.0.0.0'
sed -i '1s/$/ /' "$share/BLANK.txt"
vf --db "$WORK/h1.db" load "$share"
printf '%s\n' "$ERR" > "$WORK/h1.err"
check_eq "hostile1: some file refused: exit code 1" 1 "$RC"
check_has "hostile1: each refused at its line" "$WORK/h1.err" \
  "vurfleet: $share/BLANK.txt:1: a line that begins as '# Started' but holds more: '# Started '" \
  "vurfleet: $share/LINK.txt:4: a report line whose path is not a Windows path (X:\\... or \\\\...): '=HYPERLINK(\"http://x.example/\",\"Click me\")'" \
  "vurfleet: $share/LONG.txt:3: a report line whose path is longer than Windows allows (32767 UTF-16 units): 'C:\\$(head -c 57 /dev/zero | tr '\0' 'a')...'"
check_eq "hostile1: the longest path Windows allows loads" \
  "$share/LONGEST.txt: LONGEST, started 2026-12-01 02:00:00, finished, 1 report line, 0 ERROR lines" "$OUT"

# ---------------------------------------------------------------------------
# hostile2: under a bound on memory, a file of blank lines loads, a file of
# one long line and a file larger than the memory left are refused, and the
# file after them loads. The bound is what makes a reader sized by line ends
# abort (exit code 134).
if [ -n "$asan" ]; then
  skip "hostile2: files against a bound on memory" \
    "AddressSanitizer reserves terabytes of address space, which ulimit -v forbids"
else
  share=$FX/memory
  mkdir -p "$share"
  { printf '# Started\n# Tue, 01 Dec 2026 02:00:00 -0700\nC:\\a.exe - 1.0.0.0\n'
    head -c 300000000 /dev/zero | tr '\0' '\n'; } > "$share/A.blank.txt"
  { printf '# Started\n# Tue, 01 Dec 2026 02:00:00 -0700\nC:\\'
    head -c 100000000 /dev/zero | tr '\0' 'a'; printf ' - 1.0.0.0\n'; } > "$share/B.line.txt"
  truncate -s 1G "$share/C.huge.txt"   # sparse: no disk, but 1 GiB to read
  scan_file "$share/D.after.txt" "2026-12-01 02:00:00" finished 'C:\d.exe - 1.0.0.0'
  (ulimit -v 1048576; "$VURFLEET" --db "$WORK/h2.db" load "$share" >"$WORK/h2.out" 2>"$WORK/h2.err")
  check_eq "hostile2: under ulimit -v 1 GiB: exit code 1, not an abort" 1 "$?"
  check_has "hostile2: the file of blank lines and the file after the others load" "$WORK/h2.out" \
    "$share/A.blank.txt: A, started 2026-12-01 02:00:00, not finished, 1 report line, 0 ERROR lines" \
    "$share/D.after.txt: D, started 2026-12-01 02:00:00, finished, 1 report line, 0 ERROR lines"
  check_has "hostile2: the long line and the file too large for memory are refused" "$WORK/h2.err" \
    "vurfleet: $share/B.line.txt:3: a report line whose path is longer than Windows allows (32767 UTF-16 units): 'C:\\$(head -c 57 /dev/zero | tr '\0' 'a')...'" \
    "vurfleet: $share/C.huge.txt: out of memory reading it: not loaded"
  check_eq "hostile2: nothing else on stderr" 2 "$(wc -l < "$WORK/h2.err")"
  rm -f "$share"/*.txt
fi

# ---------------------------------------------------------------------------
# hostile3: links below the folder given are not followed, and what they
# lead to is never read: a secret file, a folder outside the share.
share=$FX/links
mkdir -p "$share/site" "$FX/private/other-site"
printf 'db_password=hunter2\n' > "$FX/private/root-only.txt"
chmod 600 "$FX/private/root-only.txt"
scan_file "$FX/private/other-site/PC8.txt" "2026-12-01 02:00:00" finished 'C:\hunter2.exe - 1.0.0.0'
scan_file "$share/site/PC1.txt" "2026-12-01 02:00:00" finished 'C:\a.exe - 1.0.0.0'
ln -s "$FX/private/root-only.txt" "$share/site/PC2.txt"
ln -s "$FX/private/other-site" "$share/elsewhere"
ln -s ../../private/root-only.txt "$share/site/PC3.txt"
vf --db "$WORK/h3.db" load "$share"
printf '%s\n' "$OUT" "$ERR" > "$WORK/h3.all"
check_eq "hostile3: links named: exit code 1" 1 "$RC"
check_eq "hostile3: each link named in a line of its own, the file loaded" \
  "vurfleet: $share/elsewhere: a link: not followed (below a folder given, only its own files and folders are read)
vurfleet: $share/site/PC2.txt: a link: not followed (below a folder given, only its own files and folders are read)
vurfleet: $share/site/PC3.txt: a link: not followed (below a folder given, only its own files and folders are read)
$share/site/PC1.txt: PC1, started 2026-12-01 02:00:00, finished, 1 report line, 0 ERROR lines" \
  "$ERR
$OUT"
check_lacks "hostile3: the secret appears nowhere in the output" "$WORK/h3.all" hunter2
sqlite3 "$WORK/h3.db" .dump > "$WORK/h3.dump"
check_lacks "hostile3: ... nor in the database" "$WORK/h3.dump" hunter2
vf --db "$WORK/h3b.db" load "$share/elsewhere"
check_eq "hostile3: a folder given through a link is read as given" \
  "0 $share/elsewhere/PC8.txt: PC8, started 2026-12-01 02:00:00, finished, 1 report line, 0 ERROR lines" \
  "$RC $OUT"

# ---------------------------------------------------------------------------
# hostile4: one unreadable folder and one unreadable file among 20 sites,
# loaded by an unprivileged user: every other site loads, each unreadable
# one is named.
if [ "$(id -u)" -ne 0 ] || ! command -v setpriv >/dev/null; then
  skip "hostile4: an unreadable folder as an unprivileged user" "needs root and setpriv"
else
  open=$(mktemp -d /tmp/vurfleet-hostile.XXXXXX)
  chmod 755 "$open"
  for n in $(seq -w 1 20); do
    mkdir -p "$open/share/S$n"
    scan_file "$open/share/S$n/PC$n.txt" "2026-12-01 02:00:00" finished "C:\\s$n.exe - 1.0.0.0"
  done
  chmod 000 "$open/share/S05"
  chmod 000 "$open/share/S07/PC07.txt"
  mkdir "$open/db" && chown nobody "$open/db"
  setpriv --reuid=nobody --regid=nogroup --clear-groups \
    "$VURFLEET" --db "$open/db/h4.db" load "$open/share" >"$WORK/h4.out" 2>"$WORK/h4.err"
  check_eq "hostile4: exit code 1" 1 "$?"
  check_eq "hostile4: the unreadable folder and file, each in a line of its own" \
    "vurfleet: $open/share/S05: cannot list the folder: Permission denied
vurfleet: $open/share/S07/PC07.txt: cannot open: Permission denied" "$(cat "$WORK/h4.err")"
  check_eq "hostile4: the 18 other sites load, the ones after them too" \
    "$(seq -w 1 20 | grep -v -x -e 05 -e 07 | sed 's/^/PC/')" \
    "$(sqlite3 "$open/db/h4.db" 'SELECT name FROM machines ORDER BY name' 2>&1)"
  rm -rf "$open"
fi

# ---------------------------------------------------------------------------
# hostile5: `load *` in a share that holds files named like options: each
# is a file, wherever the glob puts it.
share=$FX/glob
mkdir -p "$share"
scan_file "$share/--machine=PCB" "2026-12-01 02:00:00" finished 'C:\b.exe - 1.0.0.0'
scan_file "$share/--db=evil.db" "2026-12-01 02:00:00" finished 'C:\e.exe - 1.0.0.0'
scan_file "$share/PC1.txt" "2026-12-01 02:00:00" finished 'C:\a.exe - 1.0.0.0'
scan_file "$share/PC2.txt" "2026-12-02 02:00:00" finished 'C:\a.exe - 1.0.0.0'
(cd "$share" && "$VURFLEET" --db "$WORK/h5.db" load * >"$WORK/h5.out" 2>"$WORK/h5.err")
check_eq "hostile5: load *: the names that are no machine's refused, exit code 1" 1 "$?"
check_has "hostile5: ... as files" "$WORK/h5.err" \
  "vurfleet: --db=evil.db: '--db=evil' is no computer name (letters, digits, '-' and '_'); name the machine with --machine" \
  "vurfleet: --machine=PCB: '--machine=PCB' is no computer name (letters, digits, '-' and '_'); name the machine with --machine"
check_eq "hostile5: every other file is its own machine's" "PC1
PC2" "$(sqlite3 "$WORK/h5.db" 'SELECT name FROM machines ORDER BY name')"
check_eq "hostile5: no other database made" no "$([ -e "$share/evil.db" ] && echo yes || echo no)"
(cd "$share" && "$VURFLEET" --db "$WORK/h5b.db" load --machine PC3 -- --machine=PCB >/dev/null)
check_eq "hostile5: load -- takes the first word as a file too" "0 PC3" \
  "$? $(sqlite3 "$WORK/h5b.db" 'SELECT name FROM machines')"
vf --db "$WORK/h5.db" load
check_eq "hostile5: load with no file: a usage error" "2 vurfleet: load: FILE_OR_FOLDER is required" \
  "$RC $ERR"

# ---------------------------------------------------------------------------
# hostile6: report -o onto what is not a regular file, and through a link.
db=$WORK/h5.db
mkfifo "$WORK/page.fifo"
# The reader gives up after a while: a page renamed over the FIFO never
# comes through it.
timeout 60 cat "$WORK/page.fifo" > "$WORK/fifo.html" &
reader=$!
vf --db "$db" report -o "$WORK/page.fifo"
wait "$reader"
check_eq "hostile6: -o FIFO: exit code 0, the page through it, still a FIFO" "0 </html> fifo" \
  "$RC $(tail -c 8 "$WORK/fifo.html") $([ -p "$WORK/page.fifo" ] && echo fifo)"
mkdir -p "$WORK/pages"
echo old > "$WORK/pages/fleet.html"
ln -s pages/fleet.html "$WORK/link.html"
vf --db "$db" report -o "$WORK/link.html"
check_eq "hostile6: -o LINK: the link stays, the page it leads to is replaced" \
  "0 pages/fleet.html </html>" \
  "$RC $(readlink "$WORK/link.html") $(tail -c 8 "$WORK/pages/fleet.html")"
check_eq "hostile6: ... and nothing is left beside them" "fleet.html" "$(ls "$WORK/pages")"
(cd "$WORK" && "$VURFLEET" --db "$db" report -o - > "$WORK/dash.html")
check_eq "hostile6: -o -: the page on standard output, no file named -" "0 </html> no" \
  "$? $(tail -c 8 "$WORK/dash.html") $([ -e "$WORK/-" ] && echo yes || echo no)"

# /dev/null and /dev/stdout of a /dev of its own, in a mount namespace of
# its own: a mistake replaces nodes that nothing else uses.
if ! unshare -m true 2>/dev/null; then
  skip "hostile6: -o /dev/null and /dev/stdout" "no mount namespace here (needs root)"
else
  unshare -m --propagation private bash -c '
    mount -t tmpfs tmpfs /dev || exit 3
    mknod -m 666 /dev/null c 1 3 && ln -s /proc/self/fd/1 /dev/stdout || exit 3
    "$1" --db "$2" report -o /dev/null; echo "null $?"
    "$1" --db "$2" report -o /dev/stdout > "$3/stdout.html"; echo "stdout-file $?"
    echo "stdout-pipe $("$1" --db "$2" report -o /dev/stdout | tail -c 8)"
    echo "null: $(stat -c %F /dev/null) $(stat -c %t,%T /dev/null)"
    echo "stdout: $(readlink /dev/stdout)"
    echo "dev: $(ls -A /dev | tr "\n" " ")"
  ' _ "$VURFLEET" "$db" "$WORK" > "$WORK/dev.out" 2>&1
  check_eq "hostile6: /dev/null stays the device and /dev/stdout the link; nothing made in /dev" \
    "null 0
stdout-file 0
stdout-pipe </html>
null: character special file 1,3
stdout: /proc/self/fd/1
dev: null stdout " "$(cat "$WORK/dev.out")"
  check_eq "hostile6: -o /dev/stdout into a file: the page in it" "</html>" \
    "$(tail -c 8 "$WORK/stdout.html")"
fi

# ---------------------------------------------------------------------------
# hostile7: a share built to swell the page. One finished scan of 19 MB names
# 8 files at 65 536 versions each, and the advisories file holds 100 000
# rows: each name shows its 12 most widespread versions and a row for the
# rest, the advisories table its first 50, and the page stays under 5 MB.
share=$FX/swell
mkdir -p "$share"
{
  echo "# Started"
  echo "# Mon, 07 Dec 2026 02:00:00 -0700"
  awk 'BEGIN { for (n = 0; n < 8; n++) for (v = 0; v < 65536; v++)
                 printf "C:\\Swell\\%d\\file%d.exe - 1.0.%d.%d\n", v, n, n, v }'
  echo "# Complete"
  echo "# Mon, 07 Dec 2026 02:05:00 -0700"
} > "$share/PC1.txt"
# 100 rules on the 8 names, the rest on names no machine holds.
awk 'BEGIN { print "id,name,affected_from,fixed,severity,title"
             for (k = 0; k < 100000; k++)
               printf "ADV-%06d,%s,,%s,%s,A title long enough to weigh on the page %d\n", k,
                      k < 100 ? "file" k % 8 ".exe" : "other" k % 20000 ".exe",
                      k < 100 ? "1.0." k % 8 "." k : "2.0", k % 3 ? "high" : "critical", k }' \
  > "$WORK/swell.csv"
db=$WORK/swell.db
vf --db "$db" load --now 2026-12-08 "$share"
check_rc "hostile7: the 19 MB scan loads" "$RC" "$WORK/vf.err"
vf --db "$db" report --now 2026-12-08 --advisories "$WORK/swell.csv" -o "$WORK/swell.html"
check_rc "hostile7: the page of it" "$RC" "$WORK/vf.err"
size=$(stat -c %s "$WORK/swell.html")
echo "hostile7: the scan is $(stat -c %s "$share/PC1.txt") bytes, the page $size bytes"
check_eq "hostile7: the page stays under 5 MB" "yes" "$([ "$size" -lt 5000000 ] && echo yes || echo "no: $size")"
check_eq "hostile7: each name 12 versions, the rest in one row; 50 advisories, the rest in one" \
  "96 8 and 65,524 more versions, 1 machines|and 99,950 more advisories, 1 machines exposed to one of them" \
  "$(grep -o '<th class="version">' "$WORK/swell.html" | wc -l) $(grep -o 'and 65,524 more versions, 1 machines' "$WORK/swell.html" | sort | uniq -c | sed 's/^ *//')|$(grep -o 'and [0-9,]* more advisories[^<]*' "$WORK/swell.html")"

# ---------------------------------------------------------------------------
# hostile9: a group that fails (here the database refuses a scan row) still
# says what it had refused of its other files before the error.
share=$FX/failing
mkdir -p "$share"
scan_file "$share/PC1.txt" "2026-12-01 02:00:00" finished 'C:\a.exe - 1.0.0.0'
printf 'not\0text\n' > "$share/PC2.txt"
vf --db "$WORK/h7.db" load "$FX/lines/LONGEST.txt"
sqlite3 "$WORK/h7.db" "CREATE TRIGGER refuse BEFORE INSERT ON scans BEGIN SELECT RAISE(ABORT, 'refused'); END"
vf --db "$WORK/h7.db" load --group 10 "$share"
check_eq "hostile9: exit code 3, the refusal of the file that is not text before the error" \
  "3
vurfleet: $share/PC2.txt:1: not text: a NUL byte (UTF-16 without its byte-order mark?)
vurfleet: $WORK/h7.db: refused (while loading $share/PC1.txt: its transaction was rolled back; load it again)" \
  "$RC
$ERR"

# ---------------------------------------------------------------------------
# hostile8: a copy of an inventory alone (no -shm, no -wal) on a file system
# mounted read-only is queried; in a folder only this user can't write, or
# with a write-ahead log beside it, it is refused with advice that can be
# followed there.
vf --db "$WORK/h8.db" load "$FX/lines/LONGEST.txt"
mkdir -p "$WORK/media" "$WORK/ro" "$WORK/logged"
cp "$WORK/h8.db" "$WORK/media/inventory.db"
cp "$WORK/h8.db" "$WORK/logged/inventory.db"
printf 'x' > "$WORK/logged/inventory.db-wal"
if ! unshare -rm true 2>/dev/null; then
  skip "hostile8: a read-only mount" "no mount namespace here"
else
  unshare -rm bash -c '
    mount --bind "$2/media" "$2/ro" && mount -o remount,bind,ro "$2/ro" || exit 3
    "$1" --db "$2/ro/inventory.db" machines --csv --now 2026-12-02 | tr -d "\r"; echo "rc $?"
    mount --bind "$2/logged" "$2/ro" && mount -o remount,bind,ro "$2/ro" || exit 3
    "$1" --db "$2/ro/inventory.db" machines 2>&1; echo "rc $?"
  ' _ "$VURFLEET" "$WORK" > "$WORK/ro.out" 2>&1
  check_eq "hostile8: the copy alone on read-only media is queried; with a log beside it, refused with advice" \
    "machine,last_started,last_completed,status,files,errors
LONGEST,2026-12-01 02:00:00,2026-12-01 02:05:00,ok,1,0
rc 0
vurfleet: $WORK/ro/inventory.db: can't be read while $WORK/ro/inventory.db-shm is missing and its folder can't be written by this user; copy the file (with its -wal, if there is one) to a folder you can write and query the copy, or let the next vurfleet load leave the -shm there
rc 3" "$(cat "$WORK/ro.out")"
fi

family_done
