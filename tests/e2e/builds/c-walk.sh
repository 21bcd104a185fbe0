#!/usr/bin/env bash
# c. The walk over two fixed drives and a CD-ROM: which files are reported
# under default and configured extensions, default and configured
# exclusions (wildcards, a regular expression, a whole drive), and in which
# order drives and folders are walked.
. "$(dirname "$0")/../lib.sh"
family_builds linux win32 win64

d=$FX/d e=$FX/e f=$FX/f
pe "$d/APP.EXE" 1.2.3.4
pe "$d/tool.com" 2.0.0.1
pe "$d/lib.dll" 10.0.19041.1 --pe32plus
pe "$d/UPPER.DLL" 5.6.7.8
txt "$d/fake.exe"
pe "$d/nover.exe" 1.0.0.0 --none
pe "$d/app.exe.bak" 9.9.9.9
txt "$d/readme.txt"
mkdir -p "$d/empty"
pe "$d/RECYCLER/rec.exe" 6.6.6.1
pe "$d/RECYCLER/rec.dll" 6.6.6.2
pe "$d/\$Recycle.Bin/bin.exe" 6.6.6.3
pe "$d/\$Recycle.Bin/S-1-5-21/bin.dll" 6.6.6.4
pe "$d/Old/RECYCLER/old.exe" 4.4.4.4
pe "$d/Sub/sub.exe" 3.0.0.0
pe "$d/Sub/Deeper/deeper.dll" 3.1.0.0
pe "$d/Sub/Deeper/Deepest/deepest.exe" 3.2.1.0 --pe32plus
pe "$d/Sub/Deeper/Cache/cached.exe" 7.7.7.7
pe "$d/Sub/setup.exe/inner.exe" 3.3.0.0
pe "$d/Temp/temp.exe" 8.0.0.1
pe "$d/Temp/Inner/inner.exe" 8.0.0.2
txt "$d/Temp/Inner/More/more.exe"
pe "$e/e.exe" 11.0.0.1
pe "$e/Cache/ecache.exe" 11.0.0.2
pe "$e/Apps/Tool/etool.exe" 11.0.0.3
txt "$e/Apps/Tool/etool.dll"
pe "$f/cd.exe" 12.0.0.1
pe "$f/setup/cd.dll" 12.0.0.2

for plat in $PLATFORMS; do
  use_platform $plat
  ctx=$(machine $plat c "D:$d" "E:$e" "F:$f:cdrom")
  # c1: default extensions; D:\Temp\ listed but not below it; Cache anywhere
  reg_clear $plat "$ctx"
  reg_multi $plat "$ctx" PathExclusions 'D:\Temp\*' '*\Cache'
  run_scanner $plat "$ctx" "c1.$plat"
  check_rc "c1 $plat" "$RC" "$(err_to_check $plat "c1.$plat")"
  # c2: .exe and .dll; all of D:\Temp and the whole drive E:
  reg_clear $plat "$ctx"
  reg_multi $plat "$ctx" ScannerExtensions .exe .dll
  reg_multi $plat "$ctx" PathExclusions 'D:\Temp' 'E:'
  run_scanner $plat "$ctx" "c2.$plat"
  check_rc "c2 $plat" "$RC" "$(err_to_check $plat "c2.$plat")"
  # c3: one upper-case extension as a single text; default exclusions only
  reg_clear $plat "$ctx"
  reg_sz $plat "$ctx" ScannerExtensions .DLL
  run_scanner $plat "$ctx" "c3.$plat"
  check_rc "c3 $plat" "$RC" "$(err_to_check $plat "c3.$plat")"
  drop_machine $plat "$ctx"
done

printf '%s\n' \
  'D:\APP.EXE - 1.2.3.4' \
  'D:\tool.com - 2.0.0.1' \
  'D:\fake.exe - <none>' \
  'D:\nover.exe - <none>' \
  'D:\Old\RECYCLER\old.exe - 4.4.4.4' \
  'D:\Sub\sub.exe - 3.0.0.0' \
  'D:\Sub\Deeper\Deepest\deepest.exe - 3.2.1.0' \
  'D:\Sub\setup.exe\inner.exe - 3.3.0.0' \
  'D:\Temp\temp.exe - 8.0.0.1' \
  'E:\e.exe - 11.0.0.1' \
  'E:\Apps\Tool\etool.exe - 11.0.0.3' | LC_ALL=C sort > "$WORK/c1.expected"
printf '%s\n' \
  'D:\APP.EXE - 1.2.3.4' \
  'D:\lib.dll - 10.0.19041.1' \
  'D:\UPPER.DLL - 5.6.7.8' \
  'D:\fake.exe - <none>' \
  'D:\nover.exe - <none>' \
  'D:\Old\RECYCLER\old.exe - 4.4.4.4' \
  'D:\Sub\sub.exe - 3.0.0.0' \
  'D:\Sub\Deeper\deeper.dll - 3.1.0.0' \
  'D:\Sub\Deeper\Deepest\deepest.exe - 3.2.1.0' \
  'D:\Sub\Deeper\Cache\cached.exe - 7.7.7.7' \
  'D:\Sub\setup.exe\inner.exe - 3.3.0.0' | LC_ALL=C sort > "$WORK/c2.expected"
printf '%s\n' \
  'D:\lib.dll - 10.0.19041.1' \
  'D:\UPPER.DLL - 5.6.7.8' \
  'D:\Sub\Deeper\deeper.dll - 3.1.0.0' \
  'E:\Apps\Tool\etool.dll - <none>' | LC_ALL=C sort > "$WORK/c3.expected"

for run in c1 c2 c3; do
  for plat in $PLATFORMS; do
    report_set "$WORK/$run.$plat.out" > "$WORK/$run.$plat.set"
    check_same "$run $plat report: expected files and versions" "$WORK/$run.expected" "$WORK/$run.$plat.set"
    check_walk_order "$run $plat report: drive order, each subtree contiguous" "$WORK/$run.$plat.out"
  done
  for plat in $WINE_BUILDS; do
    check_same "$run report: linux and $plat give the same set" "$WORK/$run.linux.set" "$WORK/$run.$plat.set"
  done
done

family_done
