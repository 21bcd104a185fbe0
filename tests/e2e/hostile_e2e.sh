#!/usr/bin/env bash
# End-to-end cases for the Linux build with hostile input: file names that
# Windows forbids, a reader that goes away, FIFOs where files are expected,
# closed standard streams, crafted version resources, leftovers of a killed
# write, and bad lines in the drives file. Each run must end with exit code 0
# within a bounded time.
#
#   hostile_e2e.sh SCANNER MAKE_PE
#
# Prints one line per check and ends with "N passed, M failed"; the exit
# status is 0 only when every check passed. Run it against the ASan build too.
set -u

if [ $# -ne 2 ]; then
  echo "usage: $0 SCANNER MAKE_PE" >&2
  exit 2
fi
SCANNER=$(realpath "$1")
MAKE_PE=$(realpath "$2")
export TZ=UTC LANG=C.UTF-8 LC_ALL=C.UTF-8
WORK=$(mktemp -d /tmp/vur_hostile.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
KEY_DIR=registry/HKEY_LOCAL_MACHINE/Software/Tolvek/QIM/VUR
LIMIT=60  # seconds any one run may take

PASSED=0
FAILED=0
pass() { PASSED=$((PASSED + 1)); echo "PASS $1"; }
fail() {
  FAILED=$((FAILED + 1)); echo "FAIL $1"
  [ -n "${2:-}" ] && printf '%s\n' "$2" | head -n 30 | sed 's/^/    /'
  return 0
}
check_eq() { if [ "$2" == "$3" ]; then pass "$1"; else fail "$1" "expected: $2"$'\n'"actual:   $3"; fi; }
check_same() { local d; if d=$(diff "$2" "$3" 2>&1); then pass "$1"; else fail "$1" "$d"; fi; }
# check_has NAME FILE LINE...: each LINE occurs as a whole line of FILE
check_has() {
  local name=$1 file=$2 missing="" l; shift 2
  for l in "$@"; do grep -qxF -- "$l" "$file" || missing+="missing: $l"$'\n'; done
  if [ -z "$missing" ]; then pass "$name"; else fail "$name" "$missing"; fi
}
check_rc() { if [ "$2" = 0 ]; then pass "$1: exit code 0 within $LIMIT s"; else fail "$1: exit code 0 within $LIMIT s" "exit code $2"; fi; }

# machine NAME -> a fresh machine root with an empty settings key
machine() { local r=$WORK/$1; mkdir -p "$r/$KEY_DIR"; : > "$r/drives"; echo "$r"; }
# run ROOT TAG [redirections...]: runs the scanner, leaves $WORK/TAG.out and .err, sets RC
run() {
  local root=$1 tag=$2
  VURSCANNER_ROOT=$root timeout -s KILL $LIMIT "$SCANNER" </dev/null >"$WORK/$tag.out" 2>"$WORK/$tag.err"
  RC=$?
}
pe() { mkdir -p "$(dirname "$1")"; "$MAKE_PE" "$@" || { echo "make_pe failed: $*" >&2; exit 2; }; }
value() { cat "$1/$KEY_DIR/$2" | tr -d '\0'; }
# Console lines that are neither "# " lines, empty lines nor report lines.
stray_lines() { grep -a -v -e '^# ' -e '^$' -e ' - <none>$' -e ' - [0-9]*\.[0-9]*\.[0-9]*\.[0-9]*$' "$1"; }

# ---------------------------------------------------------------------------
# 1. Names Windows forbids: each maps to U+F000 plus its code, one report line
#    per file with its real version, and a folder named "\" is walked once.
names() {
  local r d; r=$(machine names); d=$WORK/names.d
  mkdir -p "$d"
  pe "$d/"$'forge\nC:\\fake.exe - 6.6.6.6\nx.exe' 1.1.1.1
  pe "$d/back\\slash.exe" 2.2.2.2
  pe "$d/"'q?*|<>":.exe' 3.3.3.3
  pe "$d/"$'tab\there\r.exe' 4.4.4.4
  pe "$d/"$'bad\xff\xfe.exe' 5.5.5.5
  pe "$d/"$'already\xef\x80\x8a.exe' 6.0.0.1   # a name that holds a stand-in
  pe "$d/\\/inner.exe" 7.7.7.7                  # a folder named "\"
  pe "$d/..\\/up.exe" 8.8.8.8                   # a folder named "..\"
  ln -s nowhere "$d/dangling.exe"
  echo "D: fixed $d" > "$r/drives"
  echo "$r/vur.log" > "$r/$KEY_DIR/ScannerLogFile"
  run "$r" names
  check_rc "names" "$RC"
  # The stand-ins in UTF-8: U+F00A EF 80 8A, U+F05C EF 81 9C, U+F03A EF 80 BA, ...
  printf '%b\n' \
    'D:\\forge\xef\x80\x8aC\xef\x80\xba\xef\x81\x9cfake.exe - 6.6.6.6\xef\x80\x8ax.exe - 1.1.1.1' \
    'D:\\back\xef\x81\x9cslash.exe - 2.2.2.2' \
    'D:\\q\xef\x80\xbf\xef\x80\xaa\xef\x81\xbc\xef\x80\xbc\xef\x80\xbe\xef\x80\xa2\xef\x80\xba.exe - 3.3.3.3' \
    'D:\\tab\xef\x80\x89here\xef\x80\x8d.exe - 4.4.4.4' \
    'D:\\bad\xef\xbf\xbd\xef\xbf\xbd.exe - 5.5.5.5' \
    'D:\\already\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd.exe - 6.0.0.1' \
    'D:\\\xef\x81\x9c\\inner.exe - 7.7.7.7' \
    'D:\\..\xef\x81\x9c\\up.exe - 8.8.8.8' \
    'D:\\dangling.exe - <none>' | LC_ALL=C sort > "$WORK/names.expected"
  grep -a -v -e '^# ' -e '^$' "$WORK/names.out" | LC_ALL=C sort > "$WORK/names.got"
  check_same "names: one report line per file, each with its own version" "$WORK/names.expected" "$WORK/names.got"
  check_eq "names: no console line is forged" "" "$(stray_lines "$WORK/names.out")"
  check_eq "names: the folder named \\ is walked once" 1 \
    "$(grep -acF "$(printf '%b' 'D:\\\xef\x81\x9c\\inner.exe')" "$WORK/names.out")"
  check_has "names: the dangling link's failed open is logged" "$WORK/names.out" \
    '# ERROR: GetLastError returned 0x2'
  check_eq "names: nothing on stderr" "" "$(cat "$WORK/names.err")"
}

# ---------------------------------------------------------------------------
# 2. A reader that goes away: the run goes on to its end.
reader_goes() {
  local r d i; r=$(machine reader); d=$WORK/reader.d
  for i in $(seq -w 1 40); do mkdir -p "$d/$i"; (cd "$d/$i" && touch f{000..199}.exe); done
  echo "D: fixed $d" > "$r/drives"
  echo "$r/vur.log" > "$r/$KEY_DIR/ScannerLogFile"
  local first
  first=$(VURSCANNER_ROOT=$r timeout -s KILL $LIMIT "$SCANNER" </dev/null 2>"$WORK/reader.err" | head -n 1)
  local rc=${PIPESTATUS[0]}
  check_eq "reader: head saw the first line" "# Started" "$first"
  check_rc "reader" "$rc"
  check_eq "reader: ScannerStatus" "Complete" "$(value "$r" ScannerStatus)"
  check_eq "reader: the log file ends with the Complete lines" "# Complete" "$(tail -n 2 "$r/vur.log" | head -n 1)"
  check_eq "reader: the log file has every report line" 8000 "$(grep -c ' - <none>$' "$r/vur.log")"
}

# ---------------------------------------------------------------------------
# 3. FIFOs where a log file or a value is expected: nothing blocks.
fifos() {
  local r d; r=$(machine fifos); d=$WORK/fifos.d
  pe "$d/app.exe" 1.2.3.4
  pe "$d/lib.dll" 2.3.4.5
  echo "D: fixed $d" > "$r/drives"
  mkfifo "$r/log.fifo"
  echo "$r/log.fifo" > "$r/$KEY_DIR/ScannerLogFile"
  mkfifo "$r/$KEY_DIR/ScannerExtensions"
  mkfifo "$r/$KEY_DIR/PathExclusions"
  run "$r" fifos
  check_rc "fifos" "$RC"
  check_has "fifos: the FIFO log is refused as a log file" "$WORK/fifos.out" \
    "# ERROR: Could not open log file for writing: $r/log.fifo" '# ERROR: GetLastError returned 0x5'
  check_has "fifos: a FIFO value is unreadable: default extensions" "$WORK/fifos.out" \
    'D:\app.exe - 1.2.3.4'
  check_eq "fifos: no .dll reported" "" "$(grep -F 'lib.dll' "$WORK/fifos.out")"
  check_eq "fifos: Complete recorded" "Complete" "$(value "$r" ScannerStatus)"

  # /dev/null is a log file that keeps nothing.
  rm -f "$r/$KEY_DIR/ScannerExtensions" "$r/$KEY_DIR/PathExclusions"
  echo /dev/null > "$r/$KEY_DIR/ScannerLogFile"
  run "$r" devnull
  check_rc "fifos: /dev/null as the log file" "$RC"
  check_eq "fifos: /dev/null log: no error" "" "$(grep -F 'ERROR' "$WORK/devnull.out")"
  check_has "fifos: /dev/null log: report line" "$WORK/devnull.out" 'D:\app.exe - 1.2.3.4'
}

# ---------------------------------------------------------------------------
# 4. Crafted version resources: a 16-bit image over 4 GiB after a versioned
#    file gets no version (not the previous file's); the resource with id 1
#    wins over a named one.
crafted() {
  local r d; r=$(machine crafted); d=$WORK/crafted.d
  pe "$d/a_good.exe" 7.7.7.7
  pe "$d/b_huge.exe" 1.2.3.4 --ne
  # Alignment shift 24, offset 1 unit, 0x0101 units: the resource runs to the
  # end of a sparse file of 16 MiB + 4 GiB + 1 byte.
  printf '\x18\x00' | dd of="$d/b_huge.exe" bs=1 seek=$((0x80)) conv=notrunc 2>/dev/null
  printf '\x01\x00\x01\x01' | dd of="$d/b_huge.exe" bs=1 seek=$((0x8a)) conv=notrunc 2>/dev/null
  truncate -s $(( (1 << 24) + (1 << 32) + 1 )) "$d/b_huge.exe"
  pe "$d/c_named.exe" 1.2.3.4 --extra VERSION:0x409:9.9.9.9
  pe "$d/d_lang.exe" 1.2.3.4 --extra 1:0x400:9.9.9.9
  echo "D: fixed $d" > "$r/drives"
  echo "$r/vur.log" > "$r/$KEY_DIR/ScannerLogFile"
  run "$r" crafted
  check_rc "crafted" "$RC"
  printf '%s\n' 'D:\a_good.exe - 7.7.7.7' 'D:\b_huge.exe - <none>' 'D:\c_named.exe - 1.2.3.4' \
    'D:\d_lang.exe - 1.2.3.4' > "$WORK/crafted.expected"
  grep -v -e '^# ' -e '^$' "$WORK/crafted.out" | LC_ALL=C sort > "$WORK/crafted.got"
  check_same "crafted: versions" "$WORK/crafted.expected" "$WORK/crafted.got"
  check_has "crafted: the huge resource is refused quietly" "$r/vur.log" \
    "# GetFileVersion() D:\\b_huge.exe | GFVISW | ERROR_RESOURCE_DATA_NOT_FOUND"
  # The size call gives what Windows gives: 2 x 160 + 4 for these images.
  check_has "crafted: the trace line of a versioned file" "$r/vur.log" \
    "# GetFileVersion() D:\\a_good.exe | GFVISW | GFVIW | VQVW | len=52"
}

# ---------------------------------------------------------------------------
# 5. Closed standard streams: the log file keeps its own lines, whole.
closed_streams() {
  local r d i; r=$(machine closed); d=$WORK/closed.d
  # More console output than a stdio buffer holds, so that it is written
  # during the run, not only at the end.
  for i in $(seq 1 30); do pe "$d/f$i.exe" 1.0.0.$i; done
  mkdir -p "$d/more"; (cd "$d/more" && touch {000..399}.exe)
  echo "D: fixed $d" > "$r/drives"
  echo "$r/vur.log" > "$r/$KEY_DIR/ScannerLogFile"
  echo INFO > "$r/$KEY_DIR/ScannerLogLevel"
  local how
  for how in stdout stderr both; do
    rm -f "$r/vur.log"
    case $how in
      stdout) VURSCANNER_ROOT=$r timeout -s KILL $LIMIT "$SCANNER" </dev/null >&- 2>/dev/null; RC=$? ;;
      stderr) VURSCANNER_ROOT=$r timeout -s KILL $LIMIT "$SCANNER" </dev/null >/dev/null 2>&-; RC=$? ;;
      both) VURSCANNER_ROOT=$r timeout -s KILL $LIMIT "$SCANNER" <&- >&- 2>&-; RC=$? ;;
    esac
    check_rc "closed $how" "$RC"
    check_eq "closed $how: each report line once in the log" 30 "$(grep -c ' - 1\.0\.0\.[0-9]*$' "$r/vur.log")"
    check_eq "closed $how: no torn line in the log" "" "$(stray_lines "$r/vur.log")"
    check_eq "closed $how: the log has 434 lines" 434 "$(wc -l < "$r/vur.log")"
  done
}

# ---------------------------------------------------------------------------
# 6. Leftovers of a killed status write are removed at the next write.
leftovers() {
  local r d; r=$(machine leftovers); d=$WORK/leftovers.d
  pe "$d/app.exe" 1.2.3.4
  echo "D: fixed $d" > "$r/drives"
  sh -c 'exit 0' & local gone=$!; wait $gone
  printf 'Sta' > "$r/$KEY_DIR/.tmp.$gone.0.ScannerStatus"
  printf 'Sat' > "$r/$KEY_DIR/.tmp.$gone.1.ScannerStatusTime"
  run "$r" leftovers
  check_rc "leftovers" "$RC"
  check_eq "leftovers: only the values remain" "ScannerStatus ScannerStatusTime" \
    "$(ls -A "$r/$KEY_DIR" | tr '\n' ' ' | sed 's/ $//')"
  check_eq "leftovers: ScannerStatus" "Complete" "$(value "$r" ScannerStatus)"
}

# ---------------------------------------------------------------------------
# 7. Drives file lines that make no usable drive are reported on stderr.
drives_file() {
  local r d; r=$(machine drives); d=$WORK/drives.d
  pe "$d/app.exe" 1.2.3.4
  touch "$WORK/a_file"
  printf '%s\n' "D: fixed $d  " "E: fixed $WORK/missing" "F: fixed $WORK/a_file" "G: floppy $d" > "$r/drives"
  run "$r" drives
  check_rc "drives" "$RC"
  printf '%s\n' \
    "$r/drives: line 1: blanks after the folder $d are ignored" \
    "$r/drives: line 2: folder $WORK/missing does not exist; drive E: has no root" \
    "$r/drives: line 3: $WORK/a_file is not a folder; drive F: has no root" \
    "$r/drives: line 4: unknown drive type 'floppy'" > "$WORK/drives.expected"
  check_same "drives: each bad line reported on stderr" "$WORK/drives.expected" "$WORK/drives.err"
  check_has "drives: the trimmed folder is scanned" "$WORK/drives.out" 'D:\app.exe - 1.2.3.4'
}

START=$SECONDS
names
reader_goes
fifos
crafted
closed_streams
leftovers
drives_file
echo "# took $((SECONDS - START)) s"
echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
