#!/bin/bash
# run_wine_tests.sh VUR_TESTS_EXE [LOADER]: runs the cross-built unit tests under
# Wine (2-byte wchar_t, the real Win32 registry, file and version calls). LOADER
# is wine64 (default) for the x64 build, or the 32-bit loader /usr/lib/wine/wine
# for the i686 build, which then runs under WoW64 and sees the 32-bit registry view.
# Ends with "N passed, M failed, K skipped".
. "$(dirname "$0")/../scripts/usage.sh"
usage_check 'VUR_TESTS_EXE [LOADER]' '' "$@"
set -u
exe=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
. "$here/e2e/wine_harness.sh"
. "$here/gtest_count.sh"
WH_WINE=${2:-$WH_WINE64}
trap wh_cleanup EXIT
wh_template || { echo "could not build the Wine prefix"; exit 1; }
P=$(WH_CLONE=hardlink wh_new unit)
wh_start "$P"
mkdir -p "$P/drive_c/t"
cp "$exe" "$P/drive_c/t/vur_tests.exe"
wh_run "$P" "$WH_ROOT/out" "$WH_ROOT/err" 'C:\t\vur_tests.exe' --gtest_brief=1
rc=$?
tr -d '\r' <"$WH_ROOT/out" >"$WH_ROOT/out.lf"
cat "$WH_ROOT/out.lf"
if [ -s "$WH_ROOT/err" ]; then echo "--- stderr:"; cat "$WH_ROOT/err"; fi
wh_stop "$P"
echo "vur_tests.exe under $WH_WINE exited $rc"
gtest_count "$WH_ROOT/out.lf" "$rc"
exit $rc
