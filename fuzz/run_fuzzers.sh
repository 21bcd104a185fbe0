#!/bin/bash
# run_fuzzers.sh [SECONDS]: builds the libFuzzer targets (clang, ASan, UBSan)
# and runs each for SECONDS (default 60) from its seed corpus. A crash, a leak
# or a timeout fails the run; the reproducer is left in build/fuzz/. Ends with
# "N passed, M failed", counting targets.
. "$(dirname "$0")/../scripts/usage.sh"
usage_check '[SECONDS]' '' "$@"
set -u
seconds=${1:-60}
cd "$(dirname "$0")/.."
cmake --preset fuzz >/dev/null || exit 1
cmake --build --preset fuzz -j"$(nproc)" 2>&1 | grep -E "error:|warning:"
[ "${PIPESTATUS[0]}" -eq 0 ] || exit 1
status=0
passed=0
failed=0
for target in pe_reader exclusion list_value name_coding scan_read advisories; do
  work=build/fuzz/corpus-$target
  mkdir -p "$work"
  cp -n fuzz/corpus/$target/* "$work/" 2>/dev/null
  echo "--- ${target}_fuzzer for $seconds s"
  if ! (cd build/fuzz && ./${target}_fuzzer -max_total_time="$seconds" -timeout=20 -max_len=8192 \
          -print_final_stats=1 "corpus-$target" >"$target.log" 2>&1); then
    echo "${target}_fuzzer FAILED:"; tail -40 "build/fuzz/$target.log"; status=1
    failed=$((failed + 1))
  else
    passed=$((passed + 1))
    grep -E "^(stat::number_of_executed_units|Done)" "build/fuzz/$target.log" | tail -2
  fi
done
echo "$passed passed, $failed failed"
exit $status
