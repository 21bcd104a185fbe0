#!/bin/bash
# Builds all three builds and runs every test: unit tests on Linux, under
# ASan/UBSan, and cross-built under Wine for x64 and for the 32-bit product
# (under WoW64); vurfleet's unit tests and its loads and queries (also under
# ASan/UBSan), a hostile share loaded, its store tests and end-to-end cases on a PostgreSQL server
# the steps start, its exposure to advisories, its metrics checked by
# promtool, its report page in a
# headless browser, and the scanner's
# three builds' outputs loaded into it; the docs' examples, run and compared
# with their pages; the end-to-end cases of each Windows
# build against Linux; the
# system calls of a Linux scan counted against the walk's floor; the version
# differential against Wine's own 64- and 32-bit DLLs; the fuzzers; the import
# check of the 32-bit product; the Debian package, installed, run and removed;
# the release (scripts/release.sh), signed, and its Windows packages, the
# released program also through the end-to-end families; the release rebuilt
# bit for bit from two clones; the set-up's retries and last lines against a
# mirror mid-sync; first of all, the tree's own check (scripts/check-tree.sh),
# and every script's usage. Ends with the tests counted over all steps, "N passed, M failed, K skipped
# (S steps)", the line CI reads. The steps that run 32-bit programs run natively
# or under qemu-user (VUR_TEST_I386=native|qemu|auto, below); the first line
# says which.
. "$(dirname "$0")/usage.sh"
usage_check '' '' "$@"
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)
i386_mode=${VUR_TEST_I386:-auto}
case $i386_mode in
  native|qemu|auto) ;;
  *) echo "VUR_TEST_I386 is native, qemu or auto, not '$i386_mode'"; echo "0 passed, 1 failed"; exit 1 ;;
esac
logs=$(mktemp -d /tmp/vur_test.XXXXXX)
trap 'rm -rf "$logs"' EXIT

# The set-up, shown as it runs. When it fails, its own last lines (which
# index or package failed, and why) are repeated right above the count, where
# they are read; a set-up that ended without such lines shows its last five.
# When only the 32-bit loader could not be installed (exit code 3: an i386
# index mid-sync), every other step runs, the 32-bit ones are skipped, and
# the set-up's lines say why, right above the count.
VUR_TEST_I386=$i386_mode bash scripts/install-deps.sh test >"$logs/deps.log" 2>&1 &
deps=$!
tail -n +1 -s 0.5 -f --pid=$deps "$logs/deps.log"
wait $deps; deps_rc=$?
loader32_missing=""
if [ $deps_rc -eq 3 ]; then
  loader32_missing=$(grep '^install-deps: ' "$logs/deps.log" | tail -n 10)
elif [ $deps_rc -ne 0 ]; then
  echo
  echo "=== scripts/install-deps.sh test failed:"
  grep '^install-deps: ' "$logs/deps.log" | tail -n 10 | grep . || tail -n 5 "$logs/deps.log"
  echo "0 passed, 1 failed"
  exit 1
fi
steps=0
passed=0
failed=0
skipped=0
failures=()
failure_logs=()
per_step=()

# count_step NAME PASSED FAILED SKIPPED
count_step() {
  passed=$((passed + $2)) failed=$((failed + $3)) skipped=$((skipped + $4))
  per_step+=("$(printf '%6d passed, %d failed, %d skipped  %s' "$2" "$3" "$4" "$1")")
}

# step NAME COMMAND...: runs one step and counts its tests: those that the
# last "N passed, M failed[, K skipped]" line of its output states, or one
# test for a step without such a line (a build, the import check). A step
# that fails without a counted failure counts one. The output goes to a
# file, never a pipe (a Wine service that inherits a pipe holds it open),
# and is shown as it grows.
step() {
  local name=$1; shift
  local log=$logs/$steps.log start=$SECONDS pid rc counts p f s
  steps=$((steps + 1))
  echo "=== $name"
  "$@" >"$log" 2>&1 &
  pid=$!
  tail -n +1 -s 0.5 -f --pid=$pid "$log"
  wait $pid; rc=$?
  counts=$(sed -n 's/^\([0-9]\{1,\}\) passed, \([0-9]\{1,\}\) failed\(, \([0-9]\{1,\}\) skipped\)\{0,1\}.*/\1 \2 \4/p' \
           "$log" | tail -n 1)
  if [ -n "$counts" ]; then read -r p f s <<<"$counts"; s=${s:-0}
  elif [ $rc -eq 0 ]; then p=1 f=0 s=0
  else p=0 f=1 s=0; fi
  [ $rc -ne 0 ] && [ "$f" -eq 0 ] && f=1
  count_step "$name" "$p" "$f" "$s"
  if [ $rc -eq 0 ]; then
    echo "=== $name: passed ($((SECONDS - start)) s)"
  else
    failures+=("$name") failure_logs+=("$log"); echo "=== $name: FAILED, exit code $rc ($((SECONDS - start)) s)"
  fi
}

# Steps that run 32-bit Windows programs: natively where the kernel runs i386
# code, else under qemu-user (tests/qemu_i386.sh: a binfmt_misc registration
# private to the step's own namespaces, gone when the step ends).
# VUR_TEST_I386=native or qemu forces one way; qemu works on a kernel that runs
# i386 code too. A 32-bit loader the set-up could not install skips them.
wine32=/usr/lib/wine/wine
i386_run=()
case $i386_mode in
  native) i386_how="natively (VUR_TEST_I386=native)" ;;
  qemu) i386_how="emulated (VUR_TEST_I386=qemu)" i386_run=(bash tests/qemu_i386.sh) ;;
  auto)
    if [ ! -x "$wine32" ] || "$wine32" --version >/dev/null 2>&1; then
      i386_how="natively (this kernel runs i386 code)"
    else
      i386_how="emulated (this kernel does not run i386 code: $wine32 --version fails)"
      i386_run=(bash tests/qemu_i386.sh)
    fi ;;
esac
if [ ${#i386_run[@]} -gt 0 ]; then
  if emulator=$(bash tests/qemu_i386.sh --check); then
    i386_how+=", under $emulator in a binfmt_misc namespace of their own"
  else
    i386_how+=", but the emulator can't be set up: $emulator"
  fi
fi
if [ -n "$loader32_missing" ]; then
  i386_run=()
  i386_how="nowhere: the 32-bit loader could not be installed (the set-up's lines are repeated at the end)"
fi
echo "=== 32-bit steps run $i386_how"
step32() {  # step32 NAME COMMAND...: a step that runs 32-bit programs
  local name=$1; shift
  if [ -n "$loader32_missing" ]; then
    steps=$((steps + 1))
    echo "=== $name: skipped: the 32-bit loader could not be installed"
    count_step "$name (skipped: no 32-bit loader)" 0 0 1
    return
  fi
  step "$name" "${i386_run[@]}" "$@"
}

build() {  # build PRESET [TARGET]
  cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j"$jobs" ${2:+--target $2} 2>&1 |
    grep -E "error:|warning:" ; test "${PIPESTATUS[0]}" -eq 0
}

step "the tree (no tracked file over 1 MB but examples and test data; each root entry in the README's layout)" \
  bash scripts/check-tree.sh
step "set-up against a mirror mid-sync (install-deps.sh with stand-ins for apt)" bash tests/install_deps_test.sh
step "build linux" build linux
step "build win64" build win64
step "build win32 (the product, its unit tests and version probe)" build win32
step "build linux-asan" build linux-asan

step "the scripts (--help and an unknown option answered, nothing written; check-tree.sh on a scratch clone)" \
  bash tests/scripts_test.sh
step "unit tests (linux)" bash tests/run_unit_tests.sh build/linux/vur_tests
step "unit tests (linux, asan+ubsan)" bash tests/run_unit_tests.sh build/linux-asan/vur_tests
step "vurfleet unit tests (linux)" bash tests/run_unit_tests.sh build/linux/vurfleet_tests \
  --gtest_filter='-*/postgres'
step "vurfleet unit tests (linux, asan+ubsan)" bash tests/run_unit_tests.sh build/linux-asan/vurfleet_tests \
  --gtest_filter='-*/postgres'
step "vurfleet store tests on PostgreSQL 15 (a server of the step's own, Unix socket only)" \
  bash tests/fleet/pg_unit.sh build/linux/vurfleet_tests
step "vurfleet store tests on PostgreSQL 15 (asan+ubsan)" \
  bash tests/fleet/pg_unit.sh build/linux-asan/vurfleet_tests
step "vurfleet load and queries (refusals, SIGKILL, order, encodings, copies, absence)" \
  bash tests/fleet/load-queries.sh
step "vurfleet load and queries (asan+ubsan)" env VURFLEET=build/linux-asan/vurfleet \
  bash tests/fleet/load-queries.sh
step "vurfleet on a hostile share (lines no scanner prints, a bound on memory, links out, an unreadable folder, names like options, report -o onto devices and links)" \
  bash tests/fleet/hostile-share.sh
step "vurfleet on a hostile share (asan+ubsan; the bound on memory skipped)" \
  env VURFLEET=build/linux-asan/vurfleet bash tests/fleet/hostile-share.sh
step "vurfleet hostile names (controls, escapes and bidi never reach the terminal; CSV formulas; case as Windows ignores it)" \
  bash tests/fleet/hostile-names.sh
step "vurfleet hostile names (asan+ubsan)" env VURFLEET=build/linux-asan/vurfleet \
  bash tests/fleet/hostile-names.sh
step "vurfleet under stress (loads side by side with every query and the report, both stores, a reader that may only read)" \
  bash tests/fleet/stress.sh
step "vurfleet under stress (asan+ubsan)" env VURFLEET=build/linux-asan/vurfleet bash tests/fleet/stress.sh
step "vurfleet exposure (advisories against a fleet worked out by hand, every refusal, both stores byte for byte)" \
  bash tests/fleet/exposure.sh
step "vurfleet exposure (asan+ubsan)" env VURFLEET=build/linux-asan/vurfleet bash tests/fleet/exposure.sh
step "vurfleet metrics (each figure against its command on both stores, promtool on hostile labels, the alert rules)" \
  bash tests/fleet/metrics.sh
step "vurfleet metrics (asan+ubsan)" env VURFLEET=build/linux-asan/vurfleet bash tests/fleet/metrics.sh
step "vurfleet report in headless Chromium, network off (the DOM against the queries, screenshots, hostile names)" \
  bash tests/fleet/report-browser.sh
step "vurfleet on PostgreSQL (both stores' CSV, loads side by side, server stopped mid-load, bad logins, roles, pg_dump)" \
  bash tests/fleet/postgres.sh
step "the docs' examples (each block that shows vurfleet's output, run on examples/ and compared with its page)" \
  python3 tests/docs_test.py --vurfleet build/linux/vurfleet --scanner build/linux/VURScanner
step32 "vurfleet and the scanner (each build's output loaded and found again)" \
  bash tests/fleet/scanner-builds.sh --linux build/linux/VURScanner --win64 build/win64/VURScanner.exe \
  --win32 build/win32/VURScanner.exe
step "hostile input end to end (linux)" bash tests/e2e/run.sh --linux build/linux/VURScanner \
  --make-pe build/linux/make_pe hostile
step "hostile input end to end (linux, asan+ubsan)" bash tests/e2e/run.sh \
  --linux build/linux-asan/VURScanner --make-pe build/linux/make_pe hostile
step "walk floor (linux: system calls per folder and per candidate)" bash tests/walk_floor.sh \
  build/linux/VURScanner build/linux/make_pe
step "unit tests (win64 under wine64)" bash tests/run_wine_tests.sh build/win64/vur_tests.exe
[ ${#i386_run[@]} -gt 0 ] && step "i386 emulation (a registration of its own, ended with its command)" \
  bash tests/qemu_i386_test.sh
step32 "unit tests (win32 under the 32-bit loader, WoW64)" bash tests/run_wine_tests.sh \
  build/win32/vur_tests.exe "$wine32"
step "product import check (win32)" bash tests/check_imports.sh build/win32/VURScanner.exe
step "end to end (linux and win64)" bash tests/e2e/run.sh --linux build/linux/VURScanner \
  --make-pe build/linux/make_pe --win64 build/win64/VURScanner.exe builds
step32 "end to end (linux and win32, the product under WoW64)" bash tests/e2e/run.sh \
  --linux build/linux/VURScanner --make-pe build/linux/make_pe --win32 build/win32/VURScanner.exe builds
step "version differential (64-bit, system32)" bash tests/e2e/version_differential.sh \
  build/linux/version_probe 64 build/win64/version_probe.exe build/linux/make_pe
step32 "version differential (32-bit, syswow64)" bash tests/e2e/version_differential.sh \
  build/linux/version_probe 32 build/win32/version_probe.exe build/linux/make_pe
step "debian package (build, install, scan, manual page, lintian, remove)" \
  bash tests/package/deb_test.sh build/linux/make_pe
step "release (scripts/release.sh: the ZIP, the MSI and the .deb, signed with a throwaway certificate)" \
  bash tests/package/signing_test.sh build/release
step32 "windows release (checksums, ZIP, version resource, manifest, settings file, MSI under msiexec)" \
  bash tests/package/windows_test.sh build/release build/linux/VURScanner build/win64/VURScanner.exe
step32 "end to end with the released product (win32 from the ZIP, under WoW64)" \
  bash tests/package/packaged_e2e.sh build/release build/linux/VURScanner build/linux/make_pe
step "reproducible release (two clones of the commit, released apart, the same bytes)" \
  bash tests/package/reproducible_test.sh
step "fuzzers" bash fuzz/run_fuzzers.sh "${FUZZ_SECONDS:-60}"

echo
echo "=== tests per step"
printf '%s\n' "${per_step[@]}"
# A failed step's first failures and last lines are repeated here: a CI
# that keeps only the end of the output still shows why.
for i in "${!failures[@]}"; do
  echo "failed: ${failures[$i]}"
  { grep -m 10 '^FAIL' "${failure_logs[$i]}"; tail -n 10 "${failure_logs[$i]}"; } | awk '!seen[$0]++' |
    cut -c 1-300 | sed 's/^/    /'
done
[ -n "$loader32_missing" ] && printf '%s\n' "$loader32_missing"
echo "$passed passed, $failed failed, $skipped skipped ($steps steps)"
[ "$failed" -eq 0 ]
