#!/usr/bin/env bash
# hostile. What a share can put before the administrator: file names and
# report lines with escape sequences, C1 controls, DEL and bidirectional
# overrides; cells a spreadsheet would take for formulas; one machine's name
# in several cases. The terminal and the journal get no control character
# from any command; CSV keeps the text but starts no formula; JSON keeps it
# exactly; case is ignored as Windows ignores it.
. "$(dirname "$0")/lib.sh"
family_builds linux

cd "$WORK" || exit 2
export VURFLEET_DB=$WORK/hostile.db

# controls FILE...: each control character, stray byte or bidirectional
# mark a terminal would obey, one line each, with the file and its offset
controls() {
  /usr/bin/python3 - "$@" <<'EOF'
import sys
bad = set(range(0x00, 0x20)) - {0x0A} | set(range(0x7F, 0xA0)) | {0x061C, 0x200E, 0x200F} \
    | set(range(0x2028, 0x202F)) | set(range(0x2066, 0x206A))
for name in sys.argv[1:]:
    data = open(name, "rb").read()
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        print(f"{name}: not UTF-8 at byte {e.start}")
        continue
    for i, c in enumerate(text):
        if ord(c) in bad:
            print(f"{name}: U+{ord(c):04X} at character {i}")
EOF
}

# csv_against_json CSV JSON: the CSV, read by Python's csv module, holds the
# JSON's values, with a ' before each that starts a formula; prints
# "FORMULAS" and the number of such cells, or each difference
csv_against_json() {
  /usr/bin/python3 - "$1" "$2" <<'EOF'
import csv, json, sys
with open(sys.argv[1], newline="", encoding="utf-8") as f:
    rows = list(csv.DictReader(f))
with open(sys.argv[2], encoding="utf-8") as f:
    objects = [json.loads(line) for line in f]
if len(rows) != len(objects):
    print(f"{len(rows)} CSV rows, {len(objects)} JSON objects")
formulas = 0
for row, obj in zip(rows, objects):
    for key, value in obj.items():
        exact = "" if value is None else str(value)
        expected = exact
        if isinstance(value, str) and value[:1] in ("=", "+", "-", "@", "\t", "\r"):
            expected = "'" + exact
            formulas += 1
        if row[key] != expected:
            print(f"{key}: CSV {row[key]!r}, JSON {exact!r}")
print("FORMULAS", formulas)
EOF
}

# ---------------------------------------------------------------------------
# hostile1: a share whose names and lines try to take over the terminal.
share=$FX/share
mkdir -p "$share"
ESC=$'\x1b' BEL=$'\x07' C1_CSI=$'\xc2\x9b' NEL=$'\xc2\x85' RLO=$'\xe2\x80\xae' LRI=$'\xe2\x81\xa6'
PDI=$'\xe2\x81\xa9' DEL=$'\x7f'
forged="PC003.${ESC}]0;owned${BEL}${ESC}[2J"$'\n'"vurfleet: all good.txt"
shown_forged='PC003.<U+001B>]0;owned<U+0007><U+001B>[2J<U+000A>vurfleet: all good.txt'
hostile_lines=(
  "C:\\Tools\\red${C1_CSI}31m.exe - 1.0.0.0"
  "C:\\Tools\\txt.${RLO}exe.scr - 1.0.0.0"
  "C:\\Tools\\${LRI}iso${PDI}.exe - <none>"
  "C:\\Tools\\del${DEL}.exe - 2.0.0.0"
  "C:\\Tools\\nel${NEL}x.exe - 2.0.0.0"
  "C:\\Tools\\=1+2.exe - 1.0.0.0"
  "C:\\Tools\\+SUM(1).exe - 1.0.0.0"
  "C:\\Tools\\-2+3.exe - 1.0.0.0"
  "C:\\Tools\\@cmd.exe - 1.0.0.0"
  "C:\\Tools\\名前ｗｉｄｅ.exe - 1.0.0.0"
)
scan_file "$share/$forged" "2026-12-01 02:00:00" finished "${hostile_lines[@]}"
# The next day: each hostile path at another version, so that `changes`
# shows them too.
scan_file "$share/PC003.2026-12-02.txt" "2026-12-02 02:00:00" finished \
  "${hostile_lines[@]/%- 1.0.0.0/- 1.5.0.0}"
# Names that are no machine names, and excerpts of refused lines.
scan_file "$share/PC004${RLO}.txt" "2026-12-01 02:00:00" finished 'C:\a.exe - 1.0.0.0'
scan_file "$share/PC"$'\xe9'".txt" "2026-12-01 02:00:00" finished 'C:\a.exe - 1.0.0.0'
scan_file "$share/PC005.txt" "2026-12-01 02:00:00" finished "C:\\evil${C1_CSI}2J${RLO}.exe"
scan_file "$share/PC006.txt" "2026-12-01 02:00:00" finished "C:\\a${DEL}.exe - 1.2.3"
printf '# Started\n# Tue, 01 Dec 2026 02:00:00 -0700\nC:\\x\x1b[2J.exe - 1.0.0.0\n' > "$share/PC007.txt"

vf load "$share"
printf '%s' "$OUT" > "$WORK/h1.out"
printf '%s' "$ERR" > "$WORK/h1.err"
check_eq "hostile1: some files refused: exit code 1" 1 "$RC"
check_has "hostile1: the forged name loads as PC003, shown with its controls" "$WORK/h1.out" \
  "$share/$shown_forged: PC003, started 2026-12-01 02:00:00, finished, 10 report lines, 0 ERROR lines"
check_eq "hostile1: no line of its own for the forged text" "" "$(grep '^vurfleet: all good' "$WORK/h1.out")"
check_has "hostile1: refused names and excerpts shown with their controls" "$WORK/h1.err" \
  "vurfleet: $share/PC004<U+202E>.txt: 'PC004<U+202E>' is no computer name (letters, digits, '-' and '_'); name the machine with --machine" \
  "vurfleet: $share/PC<0xE9>.txt: 'PC<0xE9>' is no computer name (letters, digits, '-' and '_'); name the machine with --machine" \
  "vurfleet: $share/PC005.txt:3: a report line without ' - ' before its version: 'C:\\evil<U+009B>2J<U+202E>.exe'" \
  "vurfleet: $share/PC006.txt:3: a report line whose version is neither <none> nor four numbers 0-65535: '1.2.3'" \
  "vurfleet: $share/PC007.txt:3: not text: the control character U+001B"
check_eq "hostile1: the terminal gets no control from the load" "" "$(controls "$WORK/h1.out" "$WORK/h1.err")"
vf load "$share"
printf '%s' "$OUT" > "$WORK/h1b.out"
printf '%s' "$ERR" > "$WORK/h1b.err"
check_has "hostile1: loaded again, the stored file's name is shown with its controls" "$WORK/h1b.out" \
  "$share/$shown_forged: already loaded (PC003, started 2026-12-01 02:00:00, from $share/$shown_forged)"
check_eq "hostile1: ... and again no control" "" "$(controls "$WORK/h1b.out" "$WORK/h1b.err")"

# ---------------------------------------------------------------------------
# hostile2: every query in columns, CSV and JSON. CSV and JSON are for
# tools and keep the stored text, controls too; only the columns and the
# messages are for a terminal.
queries=("find" "find --at 2026-12-02" "changes" "machines --now 2026-12-03" "programs")
files=(find find-at changes machines programs)
found=""
for i in "${!queries[@]}"; do
  q=${queries[$i]} f=${files[$i]}
  # shellcheck disable=SC2086  # the query's words
  "$VURFLEET" $q > "$WORK/$f.cols" 2> "$WORK/$f.cols.err"
  # shellcheck disable=SC2086
  "$VURFLEET" $q --csv > "$WORK/$f.csv" 2> "$WORK/$f.csv.err"
  # shellcheck disable=SC2086
  "$VURFLEET" $q --json > "$WORK/$f.json" 2> "$WORK/$f.json.err"
  found+="$(controls "$WORK/$f.cols" "$WORK/$f.cols.err" "$WORK/$f.csv.err" "$WORK/$f.json.err")"
done
check_eq "hostile2: columns and errors hold no control, in any query" "" "$found"
# The wide name takes 25 cells for its 19 characters; the widest path, 32.
check_has "hostile2: columns show each control as <U+XXXX>, aligned by terminal cells" "$WORK/find.cols" \
  "machine  path                              version  since" \
  "PC003    C:\\Tools\\del<U+007F>.exe          2.0.0.0  2026-12-01 02:00:00" \
  "PC003    C:\\Tools\\nel<U+0085>x.exe         2.0.0.0  2026-12-01 02:00:00" \
  "PC003    C:\\Tools\\red<U+009B>31m.exe       1.5.0.0  2026-12-02 02:00:00" \
  "PC003    C:\\Tools\\txt.<U+202E>exe.scr      1.5.0.0  2026-12-02 02:00:00" \
  "PC003    C:\\Tools\\<U+2066>iso<U+2069>.exe  <none>   2026-12-01 02:00:00" \
  "PC003    C:\\Tools\\名前ｗｉｄｅ.exe         1.5.0.0  2026-12-02 02:00:00"
check_has "hostile2: columns show formulas as text; CSV is for spreadsheets" "$WORK/programs.cols" \
  "=1+2.exe                 1         1.5.0.0  1"
counts=""
for f in "${files[@]}"; do
  result=$(csv_against_json "$WORK/$f.csv" "$WORK/$f.json")
  check_eq "hostile2: $f --csv is its --json, with a ' before each formula" \
    "FORMULAS" "$(grep -v '^FORMULAS' <<< "$result"; grep -o '^FORMULAS' <<< "$result")"
  counts+=" $f:$(sed -n 's/^FORMULAS //p' <<< "$result")"
done
# A path starts with a drive or \\ (a line whose path does not is refused:
# hostile-share.sh), so only names can start a formula.
check_eq "hostile2: the formula cells guarded (programs: names)" \
  " find:0 find-at:0 changes:0 machines:0 programs:4" "$counts"
/usr/bin/python3 -c '
import json, sys
for line in open(sys.argv[1], encoding="utf-8"):
    row = json.loads(line)
    print(row["path"] + " - " + row["version"])' "$WORK/find.json" | LC_ALL=C sort > "$WORK/found.lines"
grep -v -e '^#' -e '^$' "$share/PC003.2026-12-02.txt" | LC_ALL=C sort > "$WORK/expected.lines"
check_same "hostile2: JSON gives each report line again exactly" "$WORK/expected.lines" "$WORK/found.lines"

# ---------------------------------------------------------------------------
# case1: one machine, whatever the case of its name in each file's name.
mkdir -p "$FX/case"
scan_file "$FX/case/ǆ1.2026-12-01.txt" "2026-12-01 02:00:00" finished 'C:\a.exe - 1.0.0.0'
scan_file "$FX/case/Ǆ1.2026-12-02.txt" "2026-12-02 02:00:00" finished 'C:\a.exe - 2.0.0.0'
scan_file "$FX/case/ǅ1.2026-12-03.txt" "2026-12-03 02:00:00" finished 'C:\a.exe - 3.0.0.0'
scan_file "$FX/case/pc-k.2026-12-01.txt" "2026-12-01 02:00:00" finished 'C:\b.exe - 1.0.0.0'
scan_file "$FX/case/PC-$(printf '\xe2\x84\xaa').2026-12-02.txt" "2026-12-02 02:00:00" finished 'C:\b.exe - 2.0.0.0'
scan_file "$FX/case/ԱԲ.2026-12-01.txt" "2026-12-01 02:00:00" finished 'C:\c.exe - 1.0.0.0'
scan_file "$FX/case/աբ.2026-12-02.txt" "2026-12-02 02:00:00" finished 'C:\c.exe - 2.0.0.0'
scan_file "$FX/case/ᲐᲑ.2026-12-01.txt" "2026-12-01 02:00:00" finished 'C:\d.exe - 1.0.0.0'
scan_file "$FX/case/აბ.2026-12-02.txt" "2026-12-02 02:00:00" finished 'C:\d.exe - 2.0.0.0'
vf --db "$WORK/case.db" load "$FX/case"
check_eq "case1: every file loads" 0 "$RC"
vf --db "$WORK/case.db" machines --now 2026-12-04 --csv
check_eq "case1: one machine per name, shown in the upper case of its fold" \
  "machine,last_started,last_completed,status,files,errors
PC-K,2026-12-02 02:00:00,2026-12-02 02:05:00,ok,1,0
Ǆ1,2026-12-03 02:00:00,2026-12-03 02:05:00,ok,1,0
ԱԲ,2026-12-02 02:00:00,2026-12-02 02:05:00,ok,1,0
ᲐᲑ,2026-12-02 02:00:00,2026-12-02 02:05:00,ok,1,0" "$(tr -d '\r' < "$WORK/vf.out")"
vf --db "$WORK/case.db" find --machine 'ǆ*' --csv
check_eq "case1: --machine 'ǆ*' finds Ǆ1" "machine,path,version,since
Ǆ1,C:\\a.exe,3.0.0.0,2026-12-03 02:00:00" "$(tr -d '\r' < "$WORK/vf.out")"
vf --db "$WORK/case.db" changes --machine 'ǅ1' --csv
check_eq "case1: the three files are one history" 2 "$(tr -d '\r' < "$WORK/vf.out" | grep -c upgraded)"
vf --db "$WORK/case.db" find --machine 'pc-?' --csv
check_eq "case1: the Kelvin sign is a k" "PC-K,C:\\b.exe,2.0.0.0" \
  "$(tr -d '\r' < "$WORK/vf.out" | sed -n 2p | cut -d, -f1-3)"

# ---------------------------------------------------------------------------
# args1: the user's own words come back escaped, and say what is wrong.
esc=$(printf '\033]0;x\007')
vf --db "$WORK/case.db" load --now "2026-12-01$esc" "$WORK"
check_eq "args1: an ESC in --now is shown, not obeyed" \
  "2 vurfleet: --now: '2026-12-01<U+001B>]0;x<U+0007>' is no time: give YYYY-MM-DD or 'YYYY-MM-DD HH:MM:SS'" "$RC $ERR"
vf --db "$WORK/case.db" find --bogus"$esc"
check_eq "args1: an unknown option, escaped" "2 vurfleet: The following argument was not expected: --bogus<U+001B>]0;x<U+0007>" \
  "$RC $(head -1 "$WORK/vf.err")"
vf --db "$WORK/case.db" forget --machine ''
check_eq "args1: forget --machine '' is refused as such" "2 vurfleet: --machine: give the name of a stored machine" "$RC $ERR"
printf 'id,name\n' > "$WORK/adv$esc.csv"
truncate -s 65M "$WORK/big.csv"
vf --db "$WORK/case.db" exposure --advisories "$WORK/adv$esc.csv"
check_eq "args1: the advisories path, escaped" 1 "$(grep -c "^vurfleet: $WORK/adv<U+001B>]0;x<U+0007>\.csv" "$WORK/vf.err")"
vf --db "$WORK/case.db" exposure --advisories "$WORK/big.csv"
check_eq "args1: an advisories file over its bound is named as such" \
  "2 vurfleet: $WORK/big.csv: larger than 64 MiB: an advisories file is at most 64 MiB (some 600 000 rules)" "$RC $ERR"
rm -f "$WORK/big.csv"

family_done
