#!/bin/bash
# Builds all three builds and runs every test: unit tests on Linux, under
# ASan/UBSan, and cross-built under Wine; the end-to-end cases on both
# platforms; the version differential against Wine's own DLLs; the fuzzers;
# the import check of the 32-bit product. Ends with "N passed, M failed".
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)
bash scripts/install-deps.sh test || { echo "0 passed, 1 failed"; exit 1; }

passed=0
failed=0
failures=()
step() {  # step NAME COMMAND...: runs one step, counts it
  local name=$1; shift
  echo "=== $name"
  local start=$SECONDS
  if "$@"; then
    passed=$((passed + 1)); echo "=== $name: passed ($((SECONDS - start)) s)"
  else
    failed=$((failed + 1)); failures+=("$name"); echo "=== $name: FAILED ($((SECONDS - start)) s)"
  fi
}

build() {  # build PRESET [TARGET]
  cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j"$jobs" ${2:+--target $2} 2>&1 |
    grep -E "error:|warning:" ; test "${PIPESTATUS[0]}" -eq 0
}

step "build linux" build linux
step "build win64" build win64
step "build win32 (the product)" build win32 VURScanner
step "build linux-asan" build linux-asan vur_tests

step "unit tests (linux)" ctest --preset linux
step "unit tests (linux, asan+ubsan)" build/linux-asan/vur_tests --gtest_brief=1
step "unit tests (win64 under wine)" bash tests/run_wine_tests.sh build/win64/vur_tests.exe
step "product import check (win32)" bash tests/check_imports.sh build/win32/VURScanner.exe
step "end to end (linux and wine)" bash tests/e2e/run_e2e.sh build/linux/VURScanner \
  build/win64/VURScanner.exe build/linux/make_pe
step "version differential (wine dlls)" bash tests/e2e/version_differential.sh \
  build/linux/version_probe build/win64/version_probe.exe
step "fuzzers" bash fuzz/run_fuzzers.sh "${FUZZ_SECONDS:-60}"

echo
for f in "${failures[@]}"; do echo "failed: $f"; done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
