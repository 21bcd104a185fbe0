#!/usr/bin/env bash
# e. Symbolic links: a link to a file is scanned as a file; a link to a
# folder, on the drive or off it, and a cycle back to the drive's root are
# refused, each with its WARN lines. Linux only: Wine follows links to
# folders, so under Wine these cases would test Wine.
. "$(dirname "$0")/../lib.sh"
family_builds linux
RUN_LIMIT=30   # a walk that followed the cycle would not end

d=$FX/d
pe "$d/a/real.exe" 1.1.1.1
pe "$d/a/b/inner.exe" 2.2.2.2
ln -s ../.. "$d/a/b/loop"            # a cycle back to the drive root
ln -s a "$d/linkdir"                  # a link to a folder on the drive
pe "$FX/outside/out.exe" 3.3.3.3
ln -s ../outside "$d/outside"         # a link to a folder off the drive
ln -s a/real.exe "$d/linkfile.exe"    # a link to a file

ctx=$(machine linux e "D:$d")
reg_sz linux "$ctx" ScannerLogFile "$ctx/vur.log"
run_scanner linux "$ctx" e
check_rc "e linux" "$RC" "$WORK/e.err"
printf '%s\n' \
  'D:\a\real.exe - 1.1.1.1' \
  'D:\a\b\inner.exe - 2.2.2.2' \
  'D:\linkfile.exe - 1.1.1.1' | LC_ALL=C sort > "$WORK/e.expected"
report_set "$WORK/e.out" > "$WORK/e.set"
check_same "e linux report: link to a file listed, links to folders not followed" "$WORK/e.expected" "$WORK/e.set"
check_lacks "e linux console: no ERROR lines" "$WORK/e.out" "ERROR"
log=$WORK/e.log; cp "$ctx/vur.log" "$log"
check_has "e linux log: each linked folder refused with the two WARN lines" "$log" \
  '# WARN: ERROR_ACCESS_DENIED for D:\a\b\loop\*' \
  '# WARN: ERROR_ACCESS_DENIED for D:\linkdir\*' \
  '# WARN: ERROR_ACCESS_DENIED for D:\outside\*'
check_eq "e linux log: FindFirstFileW failure warned once per linked folder" 3 \
  "$(grep -cxF '# WARN: FindFirstFileW() encountered INVALID_HANDLE_VALUE' "$log")"

family_done
