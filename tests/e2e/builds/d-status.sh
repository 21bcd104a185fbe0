#!/usr/bin/env bash
# d. The status record: ScannerStatus and ScannerStatusTime after a complete
# run and after a run killed in the middle of its walk, and where "# Started"
# and "# Complete" fall on the console.
. "$(dirname "$0")/../lib.sh"
family_builds linux win32 win64

d=$FX/d big=$FX/big
pe "$d/APP.EXE" 1.2.3.4
pe "$d/sub/b.exe" 2.3.4.5
pe "$d/sub/deeper/c.exe" 3.4.5.6
# Enough report lines to fill a pipe that nobody reads.
mkdir -p "$big"/{00..99}
for i in {00..99}; do (cd "$big/$i" && touch f{000..099}.exe); done

# stored_bytes CTX NAME: a Linux value file's bytes, as od shows them
stored_bytes() { od -An -c "$1/$KEY_DIR/$2" | tr -s ' '; }

for plat in $PLATFORMS; do
  use_platform $plat
  ctx=$(machine $plat d "D:$d")
  # Wine's C: is not this family's: its walk would come first and take as long
  # as Wine's files make it.
  reg_multi $plat "$ctx" PathExclusions 'C:'
  # d1: a complete run
  run_scanner $plat "$ctx" "d1.$plat"
  check_rc "d1 $plat" "$RC" "$(err_to_check $plat "d1.$plat")"
  check_eq "d1 $plat registry: ScannerStatus after a run" "Complete" "$(reg_text $plat "$ctx" ScannerStatus)"
  check_time "d1 $plat registry: ScannerStatusTime" "$(reg_text $plat "$ctx" ScannerStatusTime)"
  if [ "$plat" = linux ]; then
    check_eq "d1 linux registry: ScannerStatus stored as 9 bytes with its NUL" " C o m p l e t e \\0" \
      "$(stored_bytes "$ctx" ScannerStatus)"
    check_eq "d1 linux registry: ScannerStatusTime stored as 32 bytes ending in NUL" "32 0" \
      "$(wc -c < "$ctx/$KEY_DIR/ScannerStatusTime") $(tail -c 1 "$ctx/$KEY_DIR/ScannerStatusTime" | od -An -tu1 | tr -d ' ')"
  fi
  check_status_console "d1 $plat console: Started before the first report line, Complete after the last" \
    "$WORK/d1.$plat.out"

  # d2: killed in the middle of the walk. Standard output is a FIFO that we
  # hold open but never read, so the walk blocks once the pipe is full and
  # can't finish before the kill; the DEBUG log is flushed per message and
  # tells when drive D: has started.
  reg_sz $plat "$ctx" ScannerLogFile "$(log_value $plat "$ctx")"
  set_drive $plat "$ctx" "D:$big"
  log=$(log_file $plat "$ctx"); rm -f "$log"
  fifo=$WORK/d2.$plat.fifo; rm -f "$fifo"; mkfifo "$fifo"
  exec {hold}<>"$fifo"
  case $plat in
    linux) VURSCANNER_ROOT=$ctx "$LINUX_EXE" </dev/null >"$fifo" 2>"$WORK/d2.$plat.err" & pid=$! ;;
    *) { wh_run "$ctx" "$fifo" "$WORK/d2.$plat.err" 'C:\t\VURScanner.exe'; } 2>/dev/null & pid=$! ;;
  esac
  # Waits for the walk of D: however long a busy machine takes to start
  # Wine: the pipe keeps the run from ending, and the bound only keeps a run
  # that never gets there from holding the suite.
  deadline=$((SECONDS + 300))
  while [ $SECONDS -lt $deadline ]; do
    grep -qF '# Preparing to scan drive D:' "$log" 2>/dev/null && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  sleep 0.3
  if kill -0 "$pid" 2>/dev/null; then
    kill_tree "$pid"; wait "$pid" 2>/dev/null
    pass "d2 $plat: run still walking when killed"
  else
    wait "$pid"; fail "d2 $plat: run still walking when killed" "the run ended by itself (exit code $?)"
  fi
  exec {hold}<&-
  read_log $plat "$ctx" "$WORK/d2.$plat.log"
  check_has "d2 $plat log: walk of D: had begun" "$WORK/d2.$plat.log" \
    "$(after_excluded_c $plat '# Preparing to scan drive D:\')"
  check_lacks "d2 $plat log: no \"# Complete\"" "$WORK/d2.$plat.log" "# Complete"
  check_eq "d2 $plat registry: ScannerStatus left as Started" "Started" "$(reg_text $plat "$ctx" ScannerStatus)"
  check_time "d2 $plat registry: ScannerStatusTime of the killed run" "$(reg_text $plat "$ctx" ScannerStatusTime)"
  if [ "$plat" = linux ]; then
    check_eq "d2 linux registry: ScannerStatus stored as 8 bytes with its NUL" " S t a r t e d \\0" \
      "$(stored_bytes "$ctx" ScannerStatus)"
  fi
  drop_machine $plat "$ctx"
done

family_done
