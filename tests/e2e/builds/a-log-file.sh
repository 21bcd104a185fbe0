#!/usr/bin/env bash
# a. Log file set-up, version banner and drive messages: the log's header
# lines on a new and on an existing log file, the drive messages for a fixed
# D: and a CD-ROM E:, and each version probe's DEBUG trace, whose buffer
# growth shows what the size call answered.
. "$(dirname "$0")/../lib.sh"
family_builds linux win32 win64

d=$FX/d e=$FX/e
pe "$d/APP.EXE" 1.2.3.4
pe "$d/BIG.EXE" 2.0.0.0 --pad 600   # its size call makes the buffer grow
pe "$d/OLD.EXE" 3.0.0.0 --ne --pad 200
pe "$e/cd.exe" 5.0.0.0

for plat in $PLATFORMS; do
  use_platform $plat
  ctx=$(machine $plat a "D:$d" "E:$e:cdrom")
  path=$(log_value $plat "$ctx")
  reg_sz $plat "$ctx" ScannerLogFile "$path"
  # The buffer grows once for the whole run, so a program probed before D:'s
  # would hide BIG.EXE's growth. Wine's C: holds Windows' own files, and
  # whatever Wine or another process leaves in C:\ itself: leave out the
  # whole drive ("C:\*" would still list C:\), so D:'s probes are the first.
  reg_multi $plat "$ctx" PathExclusions 'C:'
  rm -f "$(log_file $plat "$ctx")"
  for run in new existing; do
    tag=a.$plat.$run
    run_scanner $plat "$ctx" $tag
    check_rc "a $plat $run" "$RC" "$(err_to_check $plat $tag)"
    log=$WORK/$tag.log
    read_log $plat "$ctx" "$log"
    {
      [ $run = existing ] && echo "# Overwriting log file $path"
      echo "# Opened log file $path"
      echo ""
      echo "#GrowToFit expanding buffer to 1024"
      echo "# VURScanner version $VERSION"
      echo "# Started"
    } > "$log.head"
    head -n "$(wc -l < "$log.head")" "$log" > "$log.got"
    check_same "a $plat $run log: header lines" "$log.head" "$log.got"
    check_time "a $plat $run log: time line after \"# Started\"" \
      "$(sed -n "$(( $(wc -l < "$log.head") + 1 ))s/^# //p" "$log")"
    check_has "a $plat $run log: drive D: scanned, CD-ROM E: skipped" "$log" \
      "$(after_excluded_c $plat '# Preparing to scan drive D:\')" '# Skipping drive E:\'
    check_lacks "a $plat $run console: no version banner" "$WORK/$tag.out" "VURScanner version"
    check_has "a $plat $run console: report lines of D:" "$WORK/$tag.out" 'D:\APP.EXE - 1.2.3.4' \
      'D:\BIG.EXE - 2.0.0.0' 'D:\OLD.EXE - 3.0.0.0'
    scan_output probe-traces 'D:' < "$log" > "$WORK/$tag.trace" 2>&1
    check_eq "a $plat $run log: every probe is of D:, none of the excluded C:" "" \
      "$(grep '^# GetFileVersion() ' "$log" | grep -v '^# GetFileVersion() D:')"
  done
  drop_machine $plat "$ctx"
done

# The size call's result shows in the buffer growth it causes, which must be
# the same on every build.
printf '%s\n' \
  '# GetFileVersion() D:\APP.EXE | GFVISW | GFVIW | VQVW | len=52' \
  '# GetFileVersion() D:\BIG.EXE | GFVISW |#GrowToFit expanding buffer to 1524|| GFVIW | VQVW | len=52' \
  '# GetFileVersion() D:\OLD.EXE | GFVISW | GFVIW | VQVW | len=52' > "$WORK/a.expected.trace"
for plat in $PLATFORMS; do
  check_same "a $plat log: probe traces, the size call's growth included" \
    "$WORK/a.expected.trace" "$WORK/a.$plat.new.trace"
done

family_done
