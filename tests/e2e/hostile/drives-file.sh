#!/usr/bin/env bash
# Lines of the drives file that make no usable drive are reported on stderr:
# blanks after the folder, a missing folder, a file, an unknown type.
. "$(dirname "$0")/../lib.sh"
family_builds linux

d=$FX/d
pe "$d/app.exe" 1.2.3.4
touch "$WORK/a_file"
r=$(machine linux drives)
printf '%s\n' "D: fixed $d  " "E: fixed $WORK/missing" "F: fixed $WORK/a_file" "G: floppy $d" > "$r/drives"
run_scanner linux "$r" drives
check_rc_bounded "drives" "$RC"
printf '%s\n' \
  "$r/drives: line 1: blanks after the folder $d are ignored" \
  "$r/drives: line 2: folder $WORK/missing does not exist; drive E: has no root" \
  "$r/drives: line 3: $WORK/a_file is not a folder; drive F: has no root" \
  "$r/drives: line 4: unknown drive type 'floppy'" > "$WORK/drives.expected"
check_same "drives: each bad line reported on stderr" "$WORK/drives.expected" "$WORK/drives.err"
check_has "drives: the trimmed folder is scanned" "$WORK/drives.out" 'D:\app.exe - 1.2.3.4'

family_done
