#!/bin/bash
# run_wine_tests.sh VUR_TESTS_EXE: runs the cross-built unit tests under Wine
# (2-byte wchar_t, the real Win32 registry, file and version calls).
set -u
exe=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
. "$here/e2e/wine_harness.sh"
trap wh_cleanup EXIT
wh_template || { echo "could not build the Wine prefix"; exit 1; }
P=$(wh_new unit)
wh_start "$P"
mkdir -p "$P/drive_c/t"
cp "$exe" "$P/drive_c/t/vur_tests.exe"
wh_run "$P" "$WH_ROOT/out" "$WH_ROOT/err" 'C:\t\vur_tests.exe' --gtest_brief=1
rc=$?
tr -d '\r' <"$WH_ROOT/out"
if [ -s "$WH_ROOT/err" ]; then echo "--- stderr:"; cat "$WH_ROOT/err"; fi
wh_stop "$P"
echo "vur_tests.exe under wine exited $rc"
exit $rc
