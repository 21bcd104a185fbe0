#!/usr/bin/env bash
# i. One write per console message. The Windows run-time leaves standard
# output unbuffered when it is a character device (a console on Windows;
# /dev/null here), and its own formatted output then writes a message a
# character at a time, one system call each. The scanner must write each
# message whole, in one write. Counted, never timed: strace counts the write
# calls that reach /dev/null during a scan whose standard output is /dev/null,
# and the same scan with its output in a file gives the messages printed. A
# message is a line, or an empty line with the line after it ("\n# ERROR: ...").
. "$(dirname "$0")/../lib.sh"
family_builds win32 win64
command -v strace >/dev/null || family_skip "no strace"

d=$FX/d
for i in $(seq -w 1 25); do pe "$d/f$i.exe" 1.0.0.$((10#$i)); done
pe "$d/sub/long-$(printf 'n%.0s' $(seq 1 200)).exe" 2.0.0.0
txt "$d/sub/plain.exe"

for plat in $WINE_BUILDS; do
  use_platform $plat
  ctx=$(machine $plat i "D:$d")
  reg_multi $plat "$ctx" PathExclusions 'C:'   # Windows' own files are not this family's
  run_scanner $plat "$ctx" "i.$plat"
  check_rc "i $plat" "$RC"
  out=$WORK/i.$plat.out
  lines=$(wc -l < "$out")
  messages=$((lines - $(grep -c '^$' "$out")))
  check_eq "i $plat console: the scan printed its report lines" 27 "$(report_set "$out" | wc -l)"

  trace=$WORK/i.$plat.strace
  (cd "$ctx/drive_c" && wh_env "$ctx" strace -f -qq -y -o "$trace" -e trace=write \
     "$WH_WINE" 'C:\t\VURScanner.exe' </dev/null >/dev/null 2>"$WORK/i.$plat.strace.err")
  writes=$(grep -c 'write([0-9]*</dev/null>' "$trace")
  bytes=$(awk -F' = ' '/write\([0-9]*<\/dev\/null>/ { sum += $NF } END { print sum + 0 }' "$trace")
  check_eq "i $plat console on a character device: one write per message" \
    "$messages writes for $messages messages ($lines lines)" "$writes writes for $messages messages ($lines lines)"
  check_eq "i $plat console on a character device: the same bytes as to a file" \
    "$(wc -c < "$out.raw")" "$bytes"
  drop_machine $plat "$ctx"
done

family_done
