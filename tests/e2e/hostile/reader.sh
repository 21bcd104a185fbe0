#!/usr/bin/env bash
# A reader that goes away (the scanner piped into head): writes fail, and the
# run goes on to its end, records Complete and logs every report line.
. "$(dirname "$0")/../lib.sh"
family_builds linux

d=$FX/d
for i in $(seq -w 1 40); do mkdir -p "$d/$i"; (cd "$d/$i" && touch f{000..199}.exe); done
r=$(machine linux reader "D:$d")
reg_line "$r" ScannerLogFile "$r/vur.log"
first=$(VURSCANNER_ROOT=$r timeout -s KILL $RUN_LIMIT "$LINUX_EXE" </dev/null 2>"$WORK/reader.err" | head -n 1)
rc=${PIPESTATUS[0]}
check_eq "reader: head saw the first line" "# Started" "$first"
check_rc_bounded "reader" "$rc"
check_eq "reader: ScannerStatus" "Complete" "$(reg_text linux "$r" ScannerStatus)"
check_eq "reader: the log file ends with the Complete lines" "# Complete" "$(tail -n 2 "$r/vur.log" | head -n 1)"
check_eq "reader: the log file has every report line" 8000 "$(grep -c ' - <none>$' "$r/vur.log")"

family_done
