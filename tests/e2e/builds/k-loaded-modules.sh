#!/usr/bin/env bash
# k. A module loaded in the scanner's own process answers for its namesake in
# system32. The product walks C:\windows\system32 with redirection off, and
# asked for C:\windows\system32\msvcrt.dll the platform's version reader
# answers with the version of the msvcrt.dll loaded in the 32-bit process, the
# syswow64 copy, not that of the file in system32; a module the process has
# not loaded is read from its file. Wine's own conformance tests record that
# Windows answers so too (test_wow64_redirection). This family pins it, so
# that a change is seen: docs/windows.md tells administrators who scan .dll files.
# The Linux build, reading the same files from a disk, reports each file's
# own version.
. "$(dirname "$0")/../lib.sh"
family_builds linux win32

d=$FX/d
pe "$d/windows/system32/msvcrt.dll" 1.2.3.4
pe "$d/windows/system32/zzunloaded.dll" 1.2.3.5

for plat in $PLATFORMS; do
  use_platform $plat
  if [ $plat = linux ]; then
    ctx=$(machine linux k "C:$d")
  else
    ctx=$(machine win32 k)
  fi
  reg_multi $plat "$ctx" ScannerExtensions .dll
  # The walk stays in C:\windows and its system folders.
  reg_multi $plat "$ctx" PathExclusions 'C:\Program*' 'C:\users' 'C:\ProgramData' 'C:\windows\*\*'
  if [ $plat = win32 ]; then
    # The prefix is a hard-linked clone of the template: replace the links,
    # never write through them.
    for f in msvcrt.dll zzunloaded.dll; do
      rm -f "$ctx/drive_c/windows/system32/$f"
      cp "$d/windows/system32/$f" "$ctx/drive_c/windows/system32/$f"
    done
  fi
  run_scanner $plat "$ctx" "k.$plat"
  out=$WORK/k.$plat.out
  check_rc "k $plat" "$RC" "$(err_to_check $plat "k.$plat")"
  # version FILE PATH: the version the report line of PATH gives, or "no line"
  version() { grep -F -- "$2 - " "$1" | sed 's/.* - //' | grep . || echo "no line"; }
  if [ $plat = linux ]; then
    check_eq "k linux report: system32's msvcrt.dll with its own version, read from the file" "1.2.3.4" \
      "$(version "$out" 'C:\windows\system32\msvcrt.dll')"
  else
    loaded=$(version "$out" 'C:\windows\syswow64\msvcrt.dll')
    check_eq "k win32 report: the loaded copy in syswow64 has a version of its own" "yes" \
      "$([[ $loaded =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] && [ "$loaded" != 1.2.3.4 ] && echo yes || echo "no: $loaded")"
    check_eq "k win32 report: system32's msvcrt.dll answered by the loaded 32-bit module, the syswow64 copy (Windows' reader, with redirection off)" \
      "the loaded module's version, $loaded, not 1.2.3.4" \
      "the loaded module's version, $(version "$out" 'C:\windows\system32\msvcrt.dll'), not 1.2.3.4"
  fi
  check_eq "k $plat report: a module not loaded is read from its file" "1.2.3.5" \
    "$(version "$out" 'C:\windows\system32\zzunloaded.dll')"
  drop_machine $plat "$ctx"
done

family_done
