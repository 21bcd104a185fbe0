# shellcheck shell=bash
# gtest_count LOG RC: prints "N passed, M failed, K skipped" from the closing
# summary GoogleTest wrote to LOG, for a run that exited with RC. A run that
# failed without a failed test (a crash, a sanitizer's report at exit) or
# that wrote no summary counts one failure more.
gtest_count() {
  local log=$1 rc=$2 ran passed skipped failed
  # "[==========] 162 tests from 36 test suites ran. (10723 ms total)",
  # "[  PASSED  ] 161 tests.", "[  SKIPPED ] 1 test." The failed count is
  # what remains: --gtest_brief leaves out the line that would state it.
  ran=$(sed -n 's/^\[==========\] \([0-9]*\) tests\{0,1\} from .* ran\..*/\1/p' "$log" | tail -n 1)
  passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' "$log" | tail -n 1)
  skipped=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\{0,1\}[.,].*/\1/p' "$log" | tail -n 1)
  passed=${passed:-0} skipped=${skipped:-0}
  if [ -z "$ran" ]; then
    echo "no GoogleTest summary: the run ended early (exit code $rc)"
    failed=1
  else
    failed=$((ran - passed - skipped))
    if [ "$rc" -ne 0 ] && [ "$failed" -eq 0 ]; then
      echo "exit code $rc with no failed test"
      failed=1
    fi
  fi
  echo "$passed passed, $failed failed, $skipped skipped"
}
