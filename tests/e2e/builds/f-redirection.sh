#!/usr/bin/env bash
# f. File-system redirection. The product (win32) is a 32-bit process on
# 64-bit Windows: the disable call succeeds and C:\windows\system32 lists the
# real system folder, never syswow64. A marker file in each of the two
# folders shows which one a walk listed. The x64 build (a 64-bit process
# under Wine) and the Linux build (whose layer answers as 32-bit Windows) get
# a refused disable call with code 1. Exclusions keep the walk of C: to the
# top of C:\windows and its two system folders.
#
# Two runs per build, told apart by the last present drive letter:
#   f1  D: fixed is last; its walk leaves no code pending, so the revert runs.
#   f2  E: CD-ROM is last. Wine's GetDriveTypeW leaves code 234 pending after
#       success, and nothing clears it before restoreRedirection, which then
#       reports it and does not revert. The checks that rest on this say so.
. "$(dirname "$0")/../lib.sh"
family_builds linux win32 win64

d=$FX/d e=$FX/e
pe "$d/APP.EXE" 1.2.3.4
pe "$e/cd.exe" 5.0.0.0

# expected_disable PLAT, expected_restore PLAT RUN: the log's redirection lines
expected_disable() {
  echo '# disableRedirection'
  echo '# Loading Kernel32 module'
  echo '# GetProcAddress Wow64DisableWow64FsRedirection'
  echo '# Invoke pointer to Wow64DisableWow64FsRedirection'
  if [ $1 = win32 ]; then
    echo '# Disabled 64-bit filesystem redirection'
  else
    echo '# WARN: Wow64DisableWow64FsRedirection returned 0'
  fi
}
expected_restore() {
  echo '# restoreRedirection'
  if [ $1 = win32 ] && [ $2 = f1 ]; then
    echo '# GetProcAddress Wow64RevertWow64FsRedirection'
    echo '# Invoke pointer to Wow64RevertWow64FsRedirection'
    echo '# Restored 64-bit filesystem redirection'
  elif [ $1 = win32 ]; then
    echo ''
    echo '# ERROR: GetLastError returned 0xea'
  fi
}

# check_markers RUN PLAT: each marker reported from its own folder only
check_markers() {
  check_has "$1 $2 report: each marker in its own folder" "$WORK/$1.$2.out" \
    'C:\windows\system32\sys32mark.exe - 6.4.6.4' 'C:\windows\syswow64\wow64mark.exe - 3.2.3.2'
  check_lacks "$1 $2 report: the syswow64 marker never under C:\\windows\\system32\\" \
    "$WORK/$1.$2.out" 'C:\windows\system32\wow64mark.exe'
}

for plat in $PLATFORMS; do
  use_platform $plat
  ctx=$(machine $plat f "D:$d")
  if [ "$plat" != linux ]; then
    pe "$ctx/drive_c/windows/system32/sys32mark.exe" 6.4.6.4
    pe "$ctx/drive_c/windows/syswow64/wow64mark.exe" 3.2.3.2
  fi
  reg_sz $plat "$ctx" ScannerLogFile "$(log_value $plat "$ctx")"
  reg_multi $plat "$ctx" PathExclusions 'C:\Program*' 'C:\users' 'C:\windows\*\*'
  for run in f1 f2; do
    [ $run = f2 ] && set_drive $plat "$ctx" "E:$e:cdrom"   # E: as a CD-ROM after D:
    run_scanner $plat "$ctx" "$run.$plat"
    check_rc "$run $plat" "$RC" "$(err_to_check $plat "$run.$plat")"
    log=$WORK/$run.$plat.log
    read_log $plat "$ctx" "$log"
    log_block "$log" '# disableRedirection' '# Path exclusions were specified in registry.' > "$log.disable"
    log_block "$log" '# restoreRedirection' '# Complete' > "$log.restore"
    expected_disable $plat > "$log.disable.expected"
    expected_restore $plat $run > "$log.restore.expected"
    case $plat in
      win32)
        check_same "$run win32 log: redirection disabled" "$log.disable.expected" "$log.disable"
        disabled=$(line_no "$log" '# Disabled 64-bit filesystem redirection')
        if (( disabled > 0 && disabled < $(line_no "$log" '# Preparing to scan drive C:\') )); then
          pass "$run win32 log: redirection disabled before the first drive"
        else
          fail "$run win32 log: redirection disabled before the first drive" \
            "$(grep -n -e Redirection -e redirection -e 'Preparing' "$log")"
        fi
        check_markers $run win32
        if [ $run = f1 ]; then
          check_same "f1 win32 log: last letter D: fixed, redirection restored after its walk" \
            "$log.restore.expected" "$log.restore"
        else
          check_same "f2 win32 log: last letter E: CD-ROM, the code 234 Wine's GetDriveTypeW left is reported, no revert" \
            "$log.restore.expected" "$log.restore"
          # The two console lines before "# Complete".
          check_eq "f2 win32 console: that code reported just before \"# Complete\"" \
            $'\n# ERROR: GetLastError returned 0xea' \
            "$(grep -B 2 -m 1 -xF '# Complete' "$WORK/$run.win32.out" | head -n 2)"
        fi ;;
      win64)
        check_same "$run win64 log: disable call refused with code 1, one WARN and no ERROR (Wine, 64-bit process)" \
          "$log.disable.expected" "$log.disable"
        check_same "$run win64 log: restoreRedirection logs only its first line" "$log.restore.expected" "$log.restore"
        check_markers $run win64 ;;
      linux)
        check_same "$run linux log: disable call refused as on 32-bit Windows, one WARN and no ERROR" \
          "$log.disable.expected" "$log.disable"
        check_same "$run linux log: restoreRedirection logs only its first line" "$log.restore.expected" "$log.restore" ;;
    esac
  done
  drop_machine $plat "$ctx"
done

family_done
