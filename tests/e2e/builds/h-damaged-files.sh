#!/usr/bin/env bash
# h. Damaged files that make the platform's version reader fault. Under Wine
# the Windows builds ask Wine's reader, which follows a damaged resource
# directory's pointers unchecked; two kinds of damage make it read outside
# the file's mapping:
#   entry-outside  the data entry lies 2 GiB past the directory (the size call
#                  faults reading it);
#   data-at-end    the data entry claims 0x7FFFFFFF bytes that start 16 bytes
#                  before the end of the file (the read call's copy runs off).
# The product contains such a fault: the file is named by the exception line,
# gets no report line, and the scan goes on to "Complete". A third kind,
# directory-outside, faults where Wine's ntdll guards its own reads: it must
# keep the platform's answer, "<none>".
#
# Windows may check more than Wine does and answer some of these files with
# "<none>" instead; the checks of the exception lines are Wine's case. The
# Linux build reads versions itself and answers each damaged file "<none>",
# which is the difference this family records: the same drive gives a report
# line per damaged file on Linux and an exception line under Wine.
#
# Every check of the product's run depends on the code its faults raise, so
# where the product runs emulated (page_faults_emulated) they are all skipped.
. "$(dirname "$0")/../lib.sh"
family_builds linux win32 win64

d=$FX/d
# Dozens of damaged files between good ones, in the root and in subfolders,
# each good one with a version of its own.
for i in $(seq -w 1 12); do
  pe "$d/a$i-good.exe" 1.0.0.$((10#$i))
  pe "$d/b$i-outside.exe" 6.6.6.6 --damage entry-outside
  pe "$d/sub/c$i-atend.exe" 6.6.6.6 --damage data-at-end
  pe "$d/sub/d$i-good.exe" 2.0.0.$((10#$i)) --pe32plus
  pe "$d/sub/deeper/e$i-atend64.exe" 6.6.6.6 --pe32plus --damage data-at-end
  pe "$d/sub/deeper/f$i-good.exe" 3.0.0.$((10#$i))
done
pe "$d/guarded.exe" 6.6.6.6 --damage directory-outside
pe "$d/zz-last.exe" 9.9.9.9
(cd "$d" && find . -name '*good.exe' -o -name 'zz-last.exe') | sed 's|^\./||' | sort > "$WORK/good.names"
(cd "$d" && find . -name '*-outside.exe' -o -name '*-atend*.exe') | sed 's|^\./||' | sort > "$WORK/damaged.names"

# windows_paths FILE: D:\ paths of the names in FILE
windows_paths() { sed -e 's|/|\\|g' -e 's|^|D:\\|' "$1"; }
windows_paths "$WORK/good.names" > "$WORK/good.paths"
windows_paths "$WORK/damaged.names" > "$WORK/damaged.paths"

for plat in $PLATFORMS; do
  use_platform $plat
  page_faults_emulated $plat && skip_checks "$PAGE_FAULTS_EMULATED_WHY"
  ctx=$(machine $plat h "D:$d")
  reg_multi $plat "$ctx" PathExclusions 'C:'   # Windows' own files are not this family's
  run_scanner $plat "$ctx" "h.$plat"
  out=$WORK/h.$plat.out
  check_rc "h $plat" "$RC" "$(err_to_check $plat "h.$plat")"
  check_has "h $plat console: the run completes" "$out" "# Complete"
  check_eq "h $plat registry: ScannerStatus" Complete "$(reg_text $plat "$ctx" ScannerStatus)"
  # Every good file, with its own version.
  report_set "$out" | grep -F -f "$WORK/good.paths" > "$WORK/h.$plat.good"
  while read -r p; do
    n=$(basename "${p//\\//}"); v=${n%%-*}; v=${v:1}
    case $n in
      a*) echo "$p - 1.0.0.$((10#$v))" ;; d*) echo "$p - 2.0.0.$((10#$v))" ;;
      f*) echo "$p - 3.0.0.$((10#$v))" ;; zz*) echo "$p - 9.9.9.9" ;;
    esac
  done < "$WORK/good.paths" | LC_ALL=C sort > "$WORK/h.good.expected"
  check_same "h $plat report: every good file after the damaged ones, with its version" \
    "$WORK/h.good.expected" "$WORK/h.$plat.good"
  check_has "h $plat report: the fault ntdll guards keeps the platform's answer" "$out" 'D:\guarded.exe - <none>'
  grep '^# ERROR: Exception in GetFileVersion() ' "$out" | sed 's/^# ERROR: Exception in GetFileVersion() //' |
    LC_ALL=C sort > "$WORK/h.$plat.contained"
  if [ $plat = linux ]; then
    check_eq "h linux console: our own reader raises no exception" "" "$(cat "$WORK/h.$plat.contained")"
    sed 's/$/ - <none>/' "$WORK/damaged.paths" | LC_ALL=C sort > "$WORK/h.linux.damaged.expected"
    report_set "$out" | grep -F -f "$WORK/damaged.paths" > "$WORK/h.linux.damaged"
    check_same "h linux report: each damaged file answered <none>" \
      "$WORK/h.linux.damaged.expected" "$WORK/h.linux.damaged"
  else
    LC_ALL=C sort "$WORK/damaged.paths" > "$WORK/h.damaged.sorted"
    check_same "h $plat console: each file Wine's reader faults on named once by the exception line" \
      "$WORK/h.damaged.sorted" "$WORK/h.$plat.contained"
    check_eq "h $plat report: no report line for a file whose probe faulted" "" \
      "$(report_set "$out" | grep -F -f "$WORK/damaged.paths")"
    check_eq "h $plat console: each exception line is preceded by its empty line" \
      "$(wc -l < "$WORK/damaged.paths")" \
      "$(grep -B1 '^# ERROR: Exception in GetFileVersion() ' "$out" | grep -c '^$')"
  fi
  drop_machine $plat "$ctx"
  skip_checks_end
done

family_done
