#!/usr/bin/env bash
# shielded.sh: `vurfleet load` of a finished scan that names each of n
# folders as not walked whole (n lines "# ERROR: Exception in ScanFolder(
# ... )"), after a scan that reported one file in each: every entry not
# reported is looked up against every folder named. The time of that second
# load, the write lock held all along, for each n.
#
#   bench/fleet/shielded.sh [--runs R] [N...]   (default: 3 runs; 10000 30000 100000)
#
# VURFLEET names the program (default build/linux/vurfleet). The machine is
# shared: the median of R runs is given; compare sizes, not seconds.
. "$(dirname "$0")/../../scripts/usage.sh"
usage_check '[--runs R] [N...]' '--runs=' "$@"
set -euo pipefail
cd "$(dirname "$0")/../.."
runs=3
if [ "${1:-}" = --runs ]; then runs=$2; shift 2; fi
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(10000 30000 100000)
vurfleet=$(realpath "${VURFLEET:-build/linux/vurfleet}")
work=build/bench/shielded
mkdir -p "$work"
. bench/fleet/timing.sh

printf '%-8s %-12s %s\n' n ERROR-lines "second load, s (median of $runs)"
for n in "${sizes[@]}"; do
  first=$work/PC1.$n.1.txt second=$work/PC1.$n.2.txt
  awk -v n="$n" 'BEGIN {
    print "# Started"; print "# Tue, 01 Dec 2026 02:00:00 -0700"
    for (i = 0; i < n; i++) printf "D:\\Sites\\Site%d\\Folder%d\\bin\\program%d.exe - 1.0.0.0\n", i % 100, i, i
    print "# Complete"; print "# Tue, 01 Dec 2026 02:10:00 -0700" }' > "$first"
  awk -v n="$n" 'BEGIN {
    print "# Started"; print "# Tue, 08 Dec 2026 02:00:00 -0700"
    for (i = 0; i < n; i++) printf "# ERROR: Exception in ScanFolder( D:\\Sites\\Site%d\\Folder%d )\n", i % 100, i
    print "# Complete"; print "# Tue, 08 Dec 2026 02:10:00 -0700" }' > "$second"
  times=()
  for _ in $(seq "$runs"); do
    rm -f "$work/db"*
    "$vurfleet" --db "$work/db" load "$first" >/dev/null
    times+=("$(seconds "$vurfleet" --db "$work/db" load "$second")")
  done
  printf '%-8s %-12s %s\n' "$n" "$n" "$(printf '%s\n' "${times[@]}" | median)"
done
