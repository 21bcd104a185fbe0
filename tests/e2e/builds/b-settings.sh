#!/usr/bin/env bash
# b. Configuration values read from the settings key: both lists as
# multi-strings, one extension as a single text, a repeated extension. The
# log lines that say what was read must be the same on every build.
. "$(dirname "$0")/../lib.sh"
family_builds linux win32 win64

d=$FX/d
pe "$d/APP.EXE" 1.2.3.4
pe "$d/setup.msi" 2.2.2.2
pe "$d/drv.sys" 3.3.3.3

# run_case PLAT CTX RUN LINE_START...: runs, and keeps in RUN.PLAT.cfg the
# log lines that start as one of LINE_START
run_case() {
  local plat=$1 ctx=$2 run=$3 start patterns=(); shift 3
  for start in "$@"; do patterns+=(-e "^$start"); done
  run_scanner $plat "$ctx" "$run.$plat"
  check_rc "$run $plat" "$RC" "$(err_to_check $plat "$run.$plat")"
  read_log $plat "$ctx" "$WORK/$run.$plat.log"
  grep "${patterns[@]}" "$WORK/$run.$plat.log" > "$WORK/$run.$plat.cfg"
}

for plat in $PLATFORMS; do
  use_platform $plat
  ctx=$(machine $plat b "D:$d")
  # b1: multi-strings for both lists
  reg_sz $plat "$ctx" ScannerLogFile "$(log_value $plat "$ctx")"
  reg_multi $plat "$ctx" ScannerExtensions .sys .dll .exe
  reg_multi $plat "$ctx" PathExclusions 'D:\Temp' 'm/.*\\Cache\\/' '*\Old' 'E:'
  run_case $plat "$ctx" b1 '# Including file etension ' '# Found path exclusions ' \
    '# File extensions were specified' '# Path exclusions were specified'
  report_set "$WORK/b1.$plat.out" > "$WORK/b1.$plat.set"

  # b2: a single text .msi replaces the defaults; no exclusions configured
  reg_clear $plat "$ctx"
  reg_sz $plat "$ctx" ScannerLogFile "$(log_value $plat "$ctx")"
  reg_sz $plat "$ctx" ScannerExtensions .msi
  run_case $plat "$ctx" b2 '# Including file etension ' '# No local exclusions found' \
    '# File extensions were specified'
  report_set "$WORK/b2.$plat.out" > "$WORK/b2.$plat.set"

  # b3: a repeated text and a case variant: two entries, one report per file
  reg_clear $plat "$ctx"
  reg_sz $plat "$ctx" ScannerLogFile "$(log_value $plat "$ctx")"
  reg_multi $plat "$ctx" ScannerExtensions .exe .EXE .exe
  run_case $plat "$ctx" b3 '# Including file etension '
  report_seq "$WORK/b3.$plat.out" > "$WORK/b3.$plat.seq"
  drop_machine $plat "$ctx"
done

cat > "$WORK/b1.expected.cfg" <<'LINES'
# File extensions were specified in registry.
# Including file etension .sys.
# Including file etension .dll.
# Including file etension .exe.
# Path exclusions were specified in registry.
# Found path exclusions D:\Temp.
# Found path exclusions m/.*\\Cache\\/.
# Found path exclusions *\Old.
# Found path exclusions E:.
LINES
printf '%s\n' 'D:\APP.EXE - 1.2.3.4' 'D:\drv.sys - 3.3.3.3' | LC_ALL=C sort > "$WORK/b1.expected.set"
cat > "$WORK/b2.expected.cfg" <<'LINES'
# File extensions were specified in registry.
# Including file etension .msi.
# No local exclusions found.
LINES
printf '%s\n' 'D:\setup.msi - 2.2.2.2' > "$WORK/b2.expected.set"
printf '%s\n' '# Including file etension .exe.' '# Including file etension .EXE.' \
  '# Including file etension .exe.' > "$WORK/b3.expected.cfg"
printf '%s\n' 'D:\APP.EXE - 1.2.3.4' > "$WORK/b3.expected.seq"

for run in b1 b2 b3; do
  for w in $WINE_BUILDS; do
    check_same "$run log lines: linux and $w identical" "$WORK/$run.linux.cfg" "$WORK/$run.$w.cfg"
  done
  check_same "$run log lines: as configured" "$WORK/$run.expected.cfg" "$WORK/$run.linux.cfg"
done
for plat in $PLATFORMS; do
  check_same "b1 $plat report: .sys .dll .exe, no .msi" "$WORK/b1.expected.set" "$WORK/b1.$plat.set"
  check_same "b2 $plat report: only .msi, not even .exe" "$WORK/b2.expected.set" "$WORK/b2.$plat.set"
  check_same "b3 $plat report: APP.EXE once" "$WORK/b3.expected.seq" "$WORK/b3.$plat.seq"
done

family_done
