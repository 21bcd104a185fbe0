#!/usr/bin/env bash
# g. Registry views. Each view holds settings of its own: the product (win32)
# must follow the 32-bit view, as the x64 build follows the 64-bit one, and
# write its status there only. On 64-bit Windows the 32-bit view is
# HKLM\Software\Wow6432Node. Wine only: the Linux build has one view.
. "$(dirname "$0")/../lib.sh"
family_builds win32 win64

d=$FX/d
pe "$d/view32/a32.dll" 3.2.0.0
pe "$d/view32/a32.sys" 3.2.0.1
pe "$d/view64/a64.dll" 6.4.0.0
pe "$d/view64/a64.sys" 6.4.0.1
printf '%s\n' 'D:\view32\a32.dll - 3.2.0.0' > "$WORK/g.win32.expected"
printf '%s\n' 'D:\view64\a64.sys - 6.4.0.1' > "$WORK/g.win64.expected"

# presence CTX VIEW NAME: "present" or "absent"
presence() { view_text "$@" >/dev/null && echo present || echo absent; }

for plat in $WINE_BUILDS; do
  use_platform $plat
  if [ $plat = win32 ]; then own=32 other=64; else own=64 other=32; fi
  ctx=$(machine $plat g "D:$d")
  view_sz "$ctx" 32 ScannerExtensions .dll
  view_sz "$ctx" 32 PathExclusions 'D:\view64'
  view_sz "$ctx" 32 ScannerLogFile 'C:\vur32.log'
  view_sz "$ctx" 64 ScannerExtensions .sys
  view_sz "$ctx" 64 PathExclusions 'D:\view32'
  view_sz "$ctx" 64 ScannerLogFile 'C:\vur64.log'
  run_scanner $plat "$ctx" "g.$plat"
  check_rc "g $plat" "$RC"
  report_set "$WORK/g.$plat.out" > "$WORK/g.$plat.set"
  check_same "g $plat report: extensions and exclusions of the $own-bit view only" \
    "$WORK/g.$plat.expected" "$WORK/g.$plat.set"
  check_eq "g $plat log file: the one the $own-bit view names" "vur$own.log" \
    "$(cd "$ctx/drive_c" && ls vur*.log 2>/dev/null | tr '\n' ' ' | sed 's/ $//')"
  check_eq "g $plat registry: ScannerStatus in the $own-bit view" Complete "$(view_text "$ctx" $own ScannerStatus)"
  check_time "g $plat registry: ScannerStatusTime in the $own-bit view" "$(view_text "$ctx" $own ScannerStatusTime)"
  check_eq "g $plat registry: neither status value in the $other-bit view" "absent absent" \
    "$(presence "$ctx" $other ScannerStatus) $(presence "$ctx" $other ScannerStatusTime)"
  if [ $plat = win32 ]; then
    check_eq "g win32 registry: status under HKLM\\Software\\Wow6432Node, seen from the 64-bit view" Complete \
      "$(WH_WINE=$WH_WINE64 wh_reg "$ctx" query 'HKLM\Software\Wow6432Node\Tolvek\QIM\VUR' /v ScannerStatus |
         sed -n 's/^    ScannerStatus    REG_SZ    //p')"
  fi
  drop_machine $plat "$ctx"
done

family_done
