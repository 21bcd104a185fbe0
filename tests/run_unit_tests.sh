#!/bin/bash
# run_unit_tests.sh VUR_TESTS [ARGS...]: runs a native unit-test program from
# its build folder and ends with "N passed, M failed, K skipped".
. "$(dirname "$0")/../scripts/usage.sh"
usage_check 'VUR_TESTS [ARGS...]' '+' "$@"
set -u
exe=$(realpath "$1"); shift
here=$(cd "$(dirname "$0")" && pwd)
. "$here/gtest_count.sh"
log=$(mktemp /tmp/vur_unit.XXXXXX)
trap 'rm -f "$log"' EXIT
(cd "$(dirname "$exe")" && "$exe" --gtest_brief=1 "$@") 2>&1 | tee "$log"
rc=${PIPESTATUS[0]}
gtest_count "$log" "$rc"
exit "$rc"
