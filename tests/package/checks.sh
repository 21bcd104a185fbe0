# shellcheck shell=bash
# checks.sh: the checks the package tests share. Each prints "PASS NAME",
# "FAIL NAME" with its detail indented, or "SKIP NAME: REASON", and counts;
# finish prints the closing line scripts/test.sh reads and exits 0 only when
# no check failed.
PASSED=0 FAILED=0 SKIPPED=0
pass() { PASSED=$((PASSED + 1)); echo "PASS $1"; }
fail() {
  FAILED=$((FAILED + 1)); echo "FAIL $1"
  [ -n "${2:-}" ] && printf '%s\n' "$2" | head -n 40 | sed 's/^/    /'
  return 0
}
skip() { SKIPPED=$((SKIPPED + 1)); echo "SKIP $1: $2"; }
check_eq() { if [ "$2" == "$3" ]; then pass "$1"; else fail "$1" "expected: $2"$'\n'"actual:   $3"; fi; }
check_same() { local d; if d=$(diff "$2" "$3" 2>&1); then pass "$1"; else fail "$1" "$d"; fi; }
check_clean() { if [ -z "$2" ]; then pass "$1"; else fail "$1" "$2"; fi; }
# check_has NAME FILE LINE...: each LINE occurs as a whole line of FILE
check_has() {
  local name=$1 file=$2 missing="" l; shift 2
  for l in "$@"; do grep -qxF -- "$l" "$file" || missing+="missing: $l"$'\n'; done
  if [ -z "$missing" ]; then pass "$name"; else fail "$name" "$missing"; fi
}
finish() {
  echo "$PASSED passed, $FAILED failed$([ "$SKIPPED" -gt 0 ] && echo ", $SKIPPED skipped")"
  [ "$FAILED" -eq 0 ]
  exit
}
