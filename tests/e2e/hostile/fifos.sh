#!/usr/bin/env bash
# FIFOs where a log file or a value is expected: nothing blocks. A FIFO log
# file is refused, a FIFO value reads as absent; /dev/null is a log file that
# keeps nothing.
. "$(dirname "$0")/../lib.sh"
family_builds linux

d=$FX/d
pe "$d/app.exe" 1.2.3.4
pe "$d/lib.dll" 2.3.4.5
r=$(machine linux fifos "D:$d")
mkfifo "$r/log.fifo"
reg_line "$r" ScannerLogFile "$r/log.fifo"
mkfifo "$r/$KEY_DIR/ScannerExtensions"
mkfifo "$r/$KEY_DIR/PathExclusions"
run_scanner linux "$r" fifos
check_rc_bounded "fifos" "$RC"
check_has "fifos: the FIFO log is refused as a log file" "$WORK/fifos.out" \
  "# ERROR: Could not open log file for writing: $r/log.fifo" '# ERROR: GetLastError returned 0x5'
check_has "fifos: a FIFO value is unreadable: default extensions" "$WORK/fifos.out" \
  'D:\app.exe - 1.2.3.4'
check_eq "fifos: no .dll reported" "" "$(grep -F 'lib.dll' "$WORK/fifos.out")"
check_eq "fifos: Complete recorded" "Complete" "$(reg_text linux "$r" ScannerStatus)"

rm -f "$r/$KEY_DIR/ScannerExtensions" "$r/$KEY_DIR/PathExclusions"
reg_line "$r" ScannerLogFile /dev/null
run_scanner linux "$r" devnull
check_rc_bounded "fifos: /dev/null as the log file" "$RC"
check_eq "fifos: /dev/null log: no error" "" "$(grep -F 'ERROR' "$WORK/devnull.out")"
check_has "fifos: /dev/null log: report line" "$WORK/devnull.out" 'D:\app.exe - 1.2.3.4'

family_done
