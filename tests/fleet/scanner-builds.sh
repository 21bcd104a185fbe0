#!/usr/bin/env bash
# scanner. The real scanner's output, from each build, loaded as collected
# (the Windows builds' with the CR LF of a redirection under Wine, and the
# same once more as UTF-16LE) and found again exactly; a second run after an
# upgrade, an install and a removal gives those three changes and no other.
# Under Wine every run prints the checkpoint line "# ERROR: Using
# FindNextFileW in directory ... after file ..." (wine-facts.md, update 3):
# the run still counts as finished and the removal as a removal.
. "$(dirname "$0")/lib.sh"
family_builds linux win32 win64

d=$FX/d
pe "$d/Tools/putty.exe" 0.80.0.0
pe "$d/Program Files/Tool - Suite/app - v2.exe" 1.2.3.4
pe "$d/Program Files/Tool - Suite/lib.dll" 65535.0.1.65535 --pe32plus
pe "$d/Grüße/Ärger.exe" 17.9.0.0
pe "$d/Old/old.exe" 3.0.0.0
pe "$d/Deep/A/B/C/deep.dll" 10.0.19041.1
txt "$d/plain.exe"

for plat in $PLATFORMS; do
  use_platform $plat
  name=$(echo "PC-$plat" | tr 'a-z' 'A-Z')
  ctx=$(machine $plat scanner "D:$d")
  reg_multi $plat "$ctx" ScannerExtensions .exe .dll
  reg_multi $plat "$ctx" PathExclusions 'C:'
  run_scanner $plat "$ctx" "s1.$plat"
  check_rc "scanner1 $plat" "$RC" "$(err_to_check $plat "s1.$plat")"
  # As collected: the bytes the program wrote to its standard output.
  collected=$WORK/s1.$plat.out
  [ "$plat" != linux ] && collected=$WORK/s1.$plat.out.raw
  mkdir -p "$WORK/share.$plat"
  cp "$collected" "$WORK/share.$plat/$name.2026-12-09.txt"
  db=$WORK/$plat.db
  vf --db "$db" load "$WORK/share.$plat"
  check_eq "scanner1 $plat: loaded, exit code 0" 0 "$RC"
  check_eq "scanner1 $plat: the load line says finished" yes \
    "$(grep -q "^$WORK/share.$plat/$name.2026-12-09.txt: $name, started .*, finished, 7 report lines, " "$WORK/vf.out" && echo yes)"
  report_set "$WORK/s1.$plat.out" > "$WORK/s1.$plat.set"
  "$VURFLEET" --db "$db" find --machine "$name" --csv | as_lines path version > "$WORK/s1.$plat.found"
  check_same "scanner1 $plat: find gives the report lines exactly" "$WORK/s1.$plat.set" "$WORK/s1.$plat.found"
  errors=$(grep -c '^# ERROR: ' "$WORK/s1.$plat.out")
  "$VURFLEET" --db "$db" machines --csv | tr -d '\r' | sed 1d | cut -d, -f1,4,5,6 > "$WORK/s1.$plat.machines"
  check_eq "scanner1 $plat: machines: ok, 7 files, its ERROR lines counted" "$name,ok,7,$errors" \
    "$(cat "$WORK/s1.$plat.machines")"
  if [ "$plat" != linux ]; then
    check_has "scanner1 $plat: the checkpoint line Wine makes every run print is there" \
      "$WORK/s1.$plat.out" '# ERROR: Using FindNextFileW in directory D:\* after file <none>'
  fi
  # The same output as UTF-16LE, as PowerShell's > writes it.
  mkdir -p "$WORK/u16.$plat"
  utf16 "$WORK/s1.$plat.out" "$WORK/u16.$plat/$name.txt"
  vf --db "$WORK/$plat.u16.db" load "$WORK/u16.$plat/$name.txt"
  "$VURFLEET" --db "$WORK/$plat.u16.db" find --csv | as_lines path version > "$WORK/s1.$plat.u16"
  check_same "scanner1 $plat: the same output in UTF-16LE, found again exactly" \
    "$WORK/s1.$plat.set" "$WORK/s1.$plat.u16"

  # A week later: putty upgraded, a tool installed, old.exe removed.
  sleep 1  # another start, to the second
  pe "$WORK/putty.new" 0.81.0.0 && cp "$WORK/putty.new" "$d/Tools/putty.exe"
  pe "$d/New/new.exe" 1.0.0.0
  mv "$d/Old/old.exe" "$WORK/old.exe"
  run_scanner $plat "$ctx" "s2.$plat"
  collected=$WORK/s2.$plat.out
  [ "$plat" != linux ] && collected=$WORK/s2.$plat.out.raw
  cp "$collected" "$WORK/share.$plat/$name.2026-12-16.txt"
  vf --db "$db" load "$WORK/share.$plat/$name.2026-12-16.txt"
  check_eq "scanner2 $plat: the second run loaded" 0 "$RC"
  "$VURFLEET" --db "$db" changes --csv | as_lines change path old new > "$WORK/s2.$plat.changes"
  printf '%s\n' 'added - D:\New\new.exe -  - 1.0.0.0' 'removed - D:\Old\old.exe - 3.0.0.0 - ' \
    'upgraded - D:\Tools\putty.exe - 0.80.0.0 - 0.81.0.0' | LC_ALL=C sort > "$WORK/s2.expected"
  check_same "scanner2 $plat: changes: the upgrade, the install and the removal, nothing else" \
    "$WORK/s2.expected" "$WORK/s2.$plat.changes"
  report_set "$WORK/s2.$plat.out" > "$WORK/s2.$plat.set"
  "$VURFLEET" --db "$db" find --csv | as_lines path version > "$WORK/s2.$plat.found"
  check_same "scanner2 $plat: find gives the second run's lines" "$WORK/s2.$plat.set" "$WORK/s2.$plat.found"
  first=$(sed -n '/^# Started$/{n;s/^# \(.*\) -0700$/\1/p;q}' "$WORK/s1.$plat.out")
  "$VURFLEET" --db "$db" find --name 'PUTTY.EXE' --at "$(date -u -d "$first" '+%Y-%m-%d %H:%M:%S')" --csv \
    | as_lines path version > "$WORK/s2.$plat.at"
  check_eq "scanner2 $plat: find --at the first run: putty before the upgrade" 'D:\Tools\putty.exe - 0.80.0.0' \
    "$(cat "$WORK/s2.$plat.at")"

  # Back as it was, for the next build.
  cp "$WORK/old.exe" "$d/Old/old.exe"; rm -rf "$d/New"
  pe "$WORK/putty.old" 0.80.0.0 && cp "$WORK/putty.old" "$d/Tools/putty.exe"
  drop_machine $plat "$ctx"
done

family_done
