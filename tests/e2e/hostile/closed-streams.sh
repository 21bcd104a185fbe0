#!/usr/bin/env bash
# Closed standard streams (stdout, stderr, all three): the run completes and
# the log file keeps its own lines, whole.
. "$(dirname "$0")/../lib.sh"
family_builds linux

d=$FX/d
# More console output than a stdio buffer holds, so that it is written
# during the run, not only at the end.
for i in $(seq 1 30); do pe "$d/f$i.exe" 1.0.0.$i; done
mkdir -p "$d/more"; (cd "$d/more" && touch {000..399}.exe)
r=$(machine linux closed "D:$d")
reg_line "$r" ScannerLogFile "$r/vur.log"
reg_line "$r" ScannerLogLevel INFO
for how in stdout stderr both; do
  rm -f "$r/vur.log"
  case $how in
    stdout) VURSCANNER_ROOT=$r timeout -s KILL $RUN_LIMIT "$LINUX_EXE" </dev/null >&- 2>/dev/null; RC=$? ;;
    stderr) VURSCANNER_ROOT=$r timeout -s KILL $RUN_LIMIT "$LINUX_EXE" </dev/null >/dev/null 2>&-; RC=$? ;;
    both) VURSCANNER_ROOT=$r timeout -s KILL $RUN_LIMIT "$LINUX_EXE" <&- >&- 2>&-; RC=$? ;;
  esac
  check_rc_bounded "closed $how" "$RC"
  check_eq "closed $how: each report line once in the log" 30 "$(grep -c ' - 1\.0\.0\.[0-9]*$' "$r/vur.log")"
  check_eq "closed $how: no torn line in the log" "" "$(stray_lines "$r/vur.log")"
  check_eq "closed $how: the log has 434 lines" 434 "$(wc -l < "$r/vur.log")"
done

family_done
