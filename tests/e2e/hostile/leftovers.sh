#!/usr/bin/env bash
# Leftovers of a killed status write (".tmp.PID.N.NAME" files of a process
# that is gone) are removed at the next write.
. "$(dirname "$0")/../lib.sh"
family_builds linux

d=$FX/d
pe "$d/app.exe" 1.2.3.4
r=$(machine linux leftovers "D:$d")
sh -c 'exit 0' & gone=$!; wait $gone
printf 'Sta' > "$r/$KEY_DIR/.tmp.$gone.0.ScannerStatus"
printf 'Sat' > "$r/$KEY_DIR/.tmp.$gone.1.ScannerStatusTime"
run_scanner linux "$r" leftovers
check_rc_bounded "leftovers" "$RC"
check_eq "leftovers: only the values remain" "ScannerStatus ScannerStatusTime" \
  "$(ls -A "$r/$KEY_DIR" | tr '\n' ' ' | sed 's/ $//')"
check_eq "leftovers: ScannerStatus" "Complete" "$(reg_text linux "$r" ScannerStatus)"

family_done
