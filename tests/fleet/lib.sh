# shellcheck shell=bash
# lib.sh: what the vurfleet families add to the end-to-end suite's lib.sh.
# A family sources this instead; the programs come from the environment:
#   VURFLEET     the vurfleet program (default build/linux/vurfleet)
#   MAKE_FLEET   the synthetic fleet maker (default build/linux/make_fleet)
. "$(dirname "${BASH_SOURCE[0]}")/../e2e/lib.sh"

FLEET_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
VURFLEET=$(realpath "${VURFLEET:-$E2E_REPO/build/linux/vurfleet}")
MAKE_FLEET=$(realpath "${MAKE_FLEET:-$E2E_REPO/build/linux/make_fleet}")
[ -x "$VURFLEET" ] || { echo "missing: $VURFLEET" >&2; exit 2; }

# vf ARGS...: vurfleet, its output in $OUT, errors in $ERR, exit code in $RC
vf() {
  "$VURFLEET" "$@" >"$WORK/vf.out" 2>"$WORK/vf.err"; RC=$?
  OUT=$(cat "$WORK/vf.out") ERR=$(cat "$WORK/vf.err")
}

# answers DB [AT]: every query's CSV, to compare two databases
answers() {
  local db=$1 at=${2:-2026-12-09}
  "$VURFLEET" --db "$db" find --csv
  "$VURFLEET" --db "$db" find --at "$at" --csv
  "$VURFLEET" --db "$db" changes --csv
  "$VURFLEET" --db "$db" machines --now 2026-12-31 --csv
}

# as_lines COLUMN...: vurfleet's CSV on stdin as "a - b" lines, sorted
as_lines() { /usr/bin/python3 "$FLEET_DIR/fleet_csv.py" "$@" | LC_ALL=C sort; }

# scan_file FILE START [finished|unfinished] LINE...: a run's output
scan_file() {
  local file=$1 start=$2 state=$3 l; shift 3
  {
    echo "# Started"
    echo "# $(date -u -d "$start" '+%a, %d %b %Y %H:%M:%S') -0700"
    for l in "$@"; do printf '%s\n' "$l"; done
    if [ "$state" = finished ]; then
      echo "# Complete"
      echo "# $(date -u -d "$start 5 min" '+%a, %d %b %Y %H:%M:%S') -0700"
    fi
  } > "$file"
}

# utf16 IN OUT: the file as Windows PowerShell 5.1's > writes it
utf16() { { printf '\xff\xfe'; sed 's/$/\r/' "$1" | iconv -f UTF-8 -t UTF-16LE; } > "$2"; }
