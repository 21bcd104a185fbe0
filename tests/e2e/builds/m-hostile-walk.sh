#!/usr/bin/env bash
# m. What a hostile local user can put on a disk or in the log's place, on
# every build where the case exists:
#   m1  a folder with two links to itself: 2^depth paths if followed, so the
#       walk must not enter a linked folder that leads to one it has entered;
#       the run ends, the files after the loop and the next drive are reported;
#   m2  names with control characters, as files and folders: no console line
#       is neither a "# " line nor a report line, and each file is reported once;
#   m3  a DEBUG log whose every write fails (Wine: /dev/full behind the log's
#       name; Linux, as root: a full tmpfs): the same report as with a good
#       log, no ERROR line of its own, and under WoW64 redirection really off;
#   m4  "sub." beside "sub", and files whose names end in "." or a blank
#       beside their twins: each file once, under its own path.
# Under Wine a run is killed after WH_TIMEOUT seconds, so a walk that never
# ends fails its check instead of holding CI.
#
# Wine differs from Windows here, and the checks say so where it matters:
# Wine refuses a control character in a path in every form ("\\?\" too,
# code 0x7b), so a folder with such a name can't be listed and such a file
# can't be probed; Windows takes them through "\\?\". Wine lists a Unix
# symbolic link to a folder with the directory and reparse-point bits and
# follows it; the Linux build lists it so too but never goes through it.
. "$(dirname "$0")/../lib.sh"
family_builds linux win32 win64
export WH_TIMEOUT=120

lf=$'\n'
# m1: the loop, a file after it, a later drive.
d1=$FX/d1 e1=$FX/e1
mkdir -p "$d1/loop"
ln -s . "$d1/loop/a"
ln -s . "$d1/loop/b"
pe "$d1/loop/in.exe" 1.1.1.1
pe "$d1/zz-after.exe" 2.2.2.2
pe "$e1/e.exe" 4.4.4.4
# m2: control characters in names.
d2=$FX/d2
pe "$d2/evil${lf}D:\\forged.exe - 6.6.6.6${lf}x.exe" 5.5.5.5
pe "$d2/line${lf}feed.exe" 1.2.3.4
pe "$d2/tab	in.exe" 1.2.3.5
pe "$d2/dir${lf}name/inner.exe" 1.2.3.6
pe "$d2/plain.exe" 1.2.3.7
# m3: a few files, and markers in the two system folders of each prefix.
d3=$FX/d3
pe "$d3/a.exe" 3.0.0.1
pe "$d3/sub/b.exe" 3.0.0.2
# m4: names the platform would trim.
d4=$FX/d4
pe "$d4/sub/in_sub.exe" 1.0.0.1
pe "$d4/sub./in_subdot.exe" 1.0.0.2
pe "$d4/sp/in_sp.exe" 1.0.0.3
pe "$d4/sp /in_spblank.exe" 1.0.0.4
pe "$d4/solo.exe." 2.0.0.1
pe "$d4/solo.exe " 2.0.0.2
pe "$d4/tool.exe" 1.1.1.1
pe "$d4/tool.exe." 2.2.2.2
pe "$d4/tool.exe " 3.3.3.3
cat > "$WORK/m4.expected" <<'EOF'
D:\solo.exe  - 2.0.0.2
D:\solo.exe. - 2.0.0.1
D:\sp \in_spblank.exe - 1.0.0.4
D:\sp\in_sp.exe - 1.0.0.3
D:\sub.\in_subdot.exe - 1.0.0.2
D:\sub\in_sub.exe - 1.0.0.1
D:\tool.exe - 1.1.1.1
D:\tool.exe  - 3.3.3.3
D:\tool.exe. - 2.2.2.2
EOF
LC_ALL=C sort -o "$WORK/m4.expected" "$WORK/m4.expected"

# count_lines FILE TEXT: lines of FILE that contain TEXT
count_lines() { grep -cF -- "$2" "$1"; }
u_lf=$'\xef\x80\x8a' u_colon=$'\xef\x80\xba' u_bs=$'\xef\x81\x9c'

# full_log PLAT CTX: points the log at a place where every write fails;
# false when this machine can't make one for the build
full_log() {
  if [ "$1" != linux ]; then
    ln -sf /dev/full "$2/drive_c/full.log"
    reg_sz $1 "$2" ScannerLogFile 'C:\full.log'
    return 0
  fi
  [ "$(id -u)" = 0 ] || return 1
  mkdir -p "$2/full"
  mount -t tmpfs -o size=64k tmpfs "$2/full" 2>/dev/null || return 1
  : > "$2/full/vur.log"
  dd if=/dev/zero of="$2/full/filler" bs=4k 2>/dev/null
  reg_sz linux "$2" ScannerLogFile "$2/full/vur.log"
}

for plat in $PLATFORMS; do
  use_platform $plat

  # m1
  ctx=$(machine $plat m1 "D:$d1" "E:$e1")
  reg_multi $plat "$ctx" PathExclusions 'C:'
  reg_sz $plat "$ctx" ScannerLogFile "$(log_value $plat "$ctx")"
  run_scanner $plat "$ctx" "m1.$plat"
  out=$WORK/m1.$plat.out
  check_rc "m1 $plat" "$RC" "$(err_to_check $plat "m1.$plat")"
  check_has "m1 $plat console: the run completes" "$out" "# Complete"
  check_eq "m1 $plat registry: ScannerStatus" Complete "$(reg_text $plat "$ctx" ScannerStatus)"
  report_set "$out" > "$WORK/m1.$plat.set"
  printf '%s\n' 'D:\loop\in.exe - 1.1.1.1' 'D:\zz-after.exe - 2.2.2.2' 'E:\e.exe - 4.4.4.4' > "$WORK/m1.expected"
  check_same "m1 $plat report: the file in the loop once, the file after it and the next drive" \
    "$WORK/m1.expected" "$WORK/m1.$plat.set"
  read_log $plat "$ctx" "$WORK/m1.$plat.log"
  check_has "m1 $plat log: each link back into the loop is named and not entered" "$WORK/m1.$plat.log" \
    '# WARN: Not entering D:\loop\a\: it is a link to a folder this scan has entered' \
    '# WARN: Not entering D:\loop\b\: it is a link to a folder this scan has entered'
  drop_machine $plat "$ctx"

  # m2
  ctx=$(machine $plat m2 "D:$d2")
  reg_multi $plat "$ctx" PathExclusions 'C:'
  run_scanner $plat "$ctx" "m2.$plat"
  out=$WORK/m2.$plat.out
  check_rc "m2 $plat" "$RC" "$(err_to_check $plat "m2.$plat")"
  check_eq "m2 $plat console: every line is a \"# \" line, empty or a report line" "" "$(stray_lines "$out")"
  check_eq "m2 $plat console: no forged report line" "" "$(grep -a '^D:.forged\.exe' "$out")"
  check_eq "m2 $plat console: the forged name is one report line" 1 "$(count_lines "$out" "${u_lf}x.exe - ")"
  check_eq "m2 $plat console: the name with a line feed once" 1 "$(count_lines "$out" "D:\\line${u_lf}feed.exe - ")"
  check_has "m2 $plat report: a plain file beside them" "$out" 'D:\plain.exe - 1.2.3.7'
  if [ $plat = linux ]; then
    check_has "m2 linux report: each name with its version, mapped as Windows can hold it" "$out" \
      "D:\\evil${u_lf}D${u_colon}${u_bs}forged.exe - 6.6.6.6${u_lf}x.exe - 5.5.5.5" \
      "D:\\line${u_lf}feed.exe - 1.2.3.4" "D:\\tab"$'\xef\x80\x89'"in.exe - 1.2.3.5" \
      "D:\\dir${u_lf}name\\inner.exe - 1.2.3.6"
  else
    # Wine refuses the control character in every path form: the files get
    # "<none>" after the code, and the folder's listing fails as any would.
    check_has "m2 $plat report: the names print mapped; Wine can't open them (Wine, not Windows)" "$out" \
      "D:\\line${u_lf}feed.exe - <none>" "D:\\tab"$'\xef\x80\x89'"in.exe - <none>"
    check_eq "m2 $plat console: code 0x7b for the three files Wine can't open and the folder it can't list (Wine, not Windows)" \
      4 "$(grep -c '^# ERROR: GetLastError returned 0x7b$' "$out")"
  fi
  drop_machine $plat "$ctx"

  # m3: the same run with a good DEBUG log and with one that can't be written.
  ctx=$(machine $plat m3 "D:$d3")
  if [ $plat != linux ]; then
    pe "$ctx/drive_c/windows/system32/sys32mark.exe" 6.4.6.4
    pe "$ctx/drive_c/windows/syswow64/wow64mark.exe" 3.2.3.2
  fi
  reg_multi $plat "$ctx" PathExclusions 'C:\Program*' 'C:\users' 'C:\windows\*\*'
  reg_sz $plat "$ctx" ScannerLogFile "$(log_value $plat "$ctx")"
  run_scanner $plat "$ctx" "m3good.$plat"
  if full_log $plat "$ctx"; then
    run_scanner $plat "$ctx" "m3full.$plat"
    [ $plat = linux ] && umount "$ctx/full"
    out=$WORK/m3full.$plat.out
    check_rc "m3 $plat" "$RC" "$(err_to_check $plat "m3full.$plat")"
    grep -v '^# ' "$WORK/m3good.$plat.out" | grep . > "$WORK/m3good.$plat.report"
    grep -v '^# ' "$out" | grep . > "$WORK/m3full.$plat.report"
    check_same "m3 $plat report: a log that can't be written changes nothing" \
      "$WORK/m3good.$plat.report" "$WORK/m3full.$plat.report"
    check_lacks "m3 $plat console: no code from the failed writes" "$out" 'GetLastError returned 0x70'
    # Under Wine one checkpoint line follows the code GetDriveTypeW leaves.
    check_eq "m3 $plat console: the ERROR lines of a good log and no others" \
      "$(grep -c '^# ERROR' "$WORK/m3good.$plat.out")" "$(grep -c '^# ERROR' "$out")"
    if [ $plat = win32 ]; then
      check_has "m3 win32 report: redirection off, the real system32 listed" "$out" \
        'C:\windows\system32\sys32mark.exe - 6.4.6.4'
      check_lacks "m3 win32 report: the syswow64 marker never under C:\\windows\\system32\\" "$out" \
        'C:\windows\system32\wow64mark.exe'
    fi
  else
    skip "m3 $plat" "no file system that is full can be made here (a tmpfs needs root)"
  fi
  drop_machine $plat "$ctx"

  # m4
  ctx=$(machine $plat m4 "D:$d4")
  reg_multi $plat "$ctx" PathExclusions 'C:'
  reg_multi $plat "$ctx" ScannerExtensions .exe .exe. '.exe '
  run_scanner $plat "$ctx" "m4.$plat"
  check_rc "m4 $plat" "$RC" "$(err_to_check $plat "m4.$plat")"
  report_set "$WORK/m4.$plat.out" > "$WORK/m4.$plat.set"
  if [ $plat = linux ]; then
    check_same "m4 linux report: each twin once, under its own path, with its own version" \
      "$WORK/m4.expected" "$WORK/m4.$plat.set"
  else
    # Wine's version reader loads a file as a module first, and its loader
    # drops a trailing "." or blank from the name (LoadLibrary's mark for "no
    # extension"), so a file beside such a twin is read as the twin; without
    # one, the load fails and the file itself is read. Wine's case, recorded.
    grep -v '^D:\\tool\.exe' "$WORK/m4.expected" > "$WORK/m4.solo.expected"
    grep -v '^D:\\tool\.exe' "$WORK/m4.$plat.set" > "$WORK/m4.$plat.solo"
    check_same "m4 $plat report: each file once, under its own path, with its own version" \
      "$WORK/m4.solo.expected" "$WORK/m4.$plat.solo"
    check_eq "m4 $plat report: each twin of tool.exe once, under its own path (its version is Wine's case)" \
      "$(grep '^D:\\tool\.exe' "$WORK/m4.expected" | sed 's/ - [0-9.]*$//')" \
      "$(grep '^D:\\tool\.exe' "$WORK/m4.$plat.set" | sed 's/ - [0-9.]*$//')"
  fi
  check_eq "m4 $plat console: no ERROR line" "" "$(grep '^# ERROR' "$WORK/m4.$plat.out" | grep -v -e 0xea -e 'after file <none>')"
  drop_machine $plat "$ctx"
done

family_done
