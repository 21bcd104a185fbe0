#!/usr/bin/env bash
# The Windows release as an administrator meets it, from the folder that
# scripts/release.sh fills: the checksums, the ZIP and what it holds, the
# program's version resource and manifest, the example settings imported
# with reg and regedit, and the MSI installed, upgraded and removed with
# Wine's msiexec.
#
#   windows_test.sh RELEASE_DIR LINUX_EXE WIN64_EXE
#
# LINUX_EXE and WIN64_EXE are the scanners that read the packaged program's
# version: ours on Linux, and Wine's reader through the x64 build. Where this
# machine runs 32-bit Windows programs, the packaged program itself runs too
# (its manifest, the settings imported by the 32-bit regedit, the installed
# copy); where it doesn't, those checks are skipped and counted so. Prints
# one line per check and ends with "N passed, M failed, K skipped"; the exit
# status is 0 only when no check failed.
. "$(dirname "$0")/../../scripts/usage.sh"
usage_check 'RELEASE_DIR LINUX_EXE WIN64_EXE' '' "$@"
set -u

if [ $# -ne 3 ]; then
  echo "usage: $0 RELEASE_DIR LINUX_EXE WIN64_EXE" >&2
  exit 2
fi
RELEASE=$(realpath "$1")
LINUX_EXE=$(realpath "$2")
WIN64_EXE=$(realpath "$3")
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SRC=$(cd "$HERE/../.." && pwd)
VERSION=$(sed -n 's/^project(VURScanner VERSION \([0-9.]*\).*/\1/p' "$SRC/CMakeLists.txt")
export TZ=UTC LANG=C.UTF-8 LC_ALL=C.UTF-8
# shellcheck source=../e2e/wine_harness.sh
. "$SRC/tests/e2e/wine_harness.sh"
trap wh_cleanup EXIT
WORK=$WH_ROOT/work
mkdir -p "$WORK"
KEY='HKLM\Software\Tolvek\QIM\VUR'
UNINSTALL='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
UPGRADE_CODE='{A5089A1B-CFAB-4676-8EC3-9CB036898CEC}'
ZIP=VURScanner-$VERSION-win32.zip
MSI=VURScanner-$VERSION-x86.msi

. "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/checks.sh"
# has_line FILE LINE: LINE is a whole line of FILE
has_line() { grep -qxF -- "$2" "$1"; }

wh_i386 && I386=yes || I386=""

# ---------------------------------------------------------------------------
# The release folder and the ZIP

(cd "$RELEASE" && sha256sum -c --quiet SHA256SUMS >"$WORK/sums" 2>&1) && sums_ok=yes || sums_ok=""
# Whatever else a release holds, these three are in it; every file it lists
# is of this version.
sums_names=$(awk '{ print $2 }' "$RELEASE/SHA256SUMS" 2>/dev/null)
check_eq "release: SHA256SUMS matches its files, of this version only, among them the ZIP, the MSI and the .deb" \
  "yes, this version, all three" \
  "${sums_ok:-no}, $(grep -v -F "$VERSION" <<<"$sums_names" | grep . || echo this version), $(
    for f in "$ZIP" "$MSI" "vurscanner_${VERSION}_$(dpkg --print-architecture).deb"; do
      grep -qxF "$f" <<<"$sums_names" || echo "no $f"; done | grep . || echo all three)"
# The README and the docs name the files of this version, and of no other.
check_clean "release: the README and the docs name this version's files" "$(
  cat "$SRC/README.md" "$SRC"/docs/*.md |
  grep -o -E 'VURScanner-[0-9.]+[0-9]-(win32\.zip|x86\.msi)|vurscanner_[0-9.]+[0-9]_' |
  grep -v -x -e "$ZIP" -e "$MSI" -e "vurscanner_${VERSION}_")"

unzipped=$WORK/zip
mkdir -p "$unzipped"
(cd "$unzipped" && cmake -E tar xf "$RELEASE/$ZIP")
dir=$unzipped/VURScanner-$VERSION-win32
EXE=$dir/VURScanner.exe
check_eq "zip: one folder with the program, README.txt, LICENSE.txt, the example settings and SHA256SUMS" \
  "VURScanner-$VERSION-win32/LICENSE.txt VURScanner-$VERSION-win32/README.txt VURScanner-$VERSION-win32/SHA256SUMS VURScanner-$VERSION-win32/VURScanner-settings.reg VURScanner-$VERSION-win32/VURScanner.exe" \
  "$(cd "$unzipped" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')"
check_eq "zip: its SHA256SUMS names every other file and matches them" "ok, every file" \
  "$(cd "$dir" && sha256sum -c --quiet SHA256SUMS >/dev/null 2>&1 && echo ok || echo mismatch), $(
    [ "$(awk '{ print $2 }' "$dir/SHA256SUMS" | LC_ALL=C sort)" = "$(cd "$dir" && ls | grep -vx SHA256SUMS | LC_ALL=C sort)" ] &&
      echo every file || echo "not every file")"
check_eq "zip: README.txt is the README and its page for Windows, each line ended by CR LF" \
  "$(cat "$SRC/README.md" "$SRC/docs/windows.md" | wc -l) lines, the same text" \
  "$(grep -c $'\r$' "$dir/README.txt") lines, $(tr -d '\r' < "$dir/README.txt" |
    cmp -s - <(cat "$SRC/README.md" "$SRC/docs/windows.md") && echo the same || echo another) text"
check_eq "zip: LICENSE.txt is LICENSE, the Apache License 2.0, each line ended by CR LF" \
  "$(wc -l < "$SRC/LICENSE") lines, the same text, Apache License 2.0" \
  "$(grep -c $'\r$' "$dir/LICENSE.txt") lines, $(tr -d '\r' < "$dir/LICENSE.txt" | cmp -s - "$SRC/LICENSE" && echo the same || echo another) text, $(
     tr -d '\r' < "$dir/LICENSE.txt" | sed -n '2s/^ *//p; 3s/^ *Version \([0-9.]*\),.*/\1/p' | tr '\n' ' ' | sed 's/ $//')"
check_eq "zip: the settings file is UTF-16LE with a byte order mark, as regedit writes it" \
  "fffe Windows Registry Editor Version 5.00" \
  "$(head -c 2 "$dir/VURScanner-settings.reg" | od -An -tx1 | tr -d ' ') $(iconv -f UTF-16 -t UTF-8 "$dir/VURScanner-settings.reg" | head -n 1 | tr -d '\r')"

# ---------------------------------------------------------------------------
# The program

objdump=i686-w64-mingw32-objdump
# Signed or not, the checks below hold; the release step says which it made.
echo "    the program carries $(/usr/bin/python3 -c 'import pefile, sys
size = pefile.PE(sys.argv[1], fast_load=True).OPTIONAL_HEADER.DATA_DIRECTORY[4].Size
print("an Authenticode signature (%d bytes)" % size if size else "no signature")' "$EXE")"
check_eq "program: stripped, no symbols and no debug sections" "0 symbols, 0 debug sections" \
  "$($objdump -t "$EXE" 2>/dev/null | grep -c '^\[') symbols, $($objdump -h "$EXE" | grep -c ' \.debug') debug sections"
imports=$(bash "$SRC/tests/check_imports.sh" "$EXE" 2>&1) && pass "program: the import check holds (i386 console program; advapi32, kernel32, msvcrt and version only)" ||
  fail "program: the import check holds (i386 console program; advapi32, kernel32, msvcrt and version only)" "$imports"
check_clean "program: pefile reads file and product version $VERSION, the names and a Translation" \
  "$(/usr/bin/python3 "$HERE/pe_resources.py" version "$EXE" "$VERSION" 2>&1)"
check_clean "program: pefile reads a well-formed manifest (type 24, id 1): asInvoker, Vista to 10/11, nothing else" \
  "$(/usr/bin/python3 "$HERE/pe_resources.py" manifest "$EXE" 2>&1)"

# The scanner's own line for the program, from each version reader.
own=$WORK/own
mkdir -p "$own/d" "$own/root/registry/HKEY_LOCAL_MACHINE/Software/Tolvek/QIM/VUR"
cp "$EXE" "$own/d/VURScanner.exe"
echo "D: fixed $own/d" > "$own/root/drives"
VURSCANNER_ROOT=$own/root "$LINUX_EXE" </dev/null >"$WORK/own.linux" 2>&1
check_eq "program: the Linux build reads its version" "D:\\VURScanner.exe - $VERSION" \
  "$(grep -F 'D:\VURScanner.exe' "$WORK/own.linux")"

wh_template >/dev/null 2>&1 || { fail "Wine prefix template"; finish; }
P=$(WH_CLONE=hardlink wh_new release)
wh_drive "$P" D "$own/d"
wh_start "$P"
mkdir -p "$P/drive_c/t"
cp "$WIN64_EXE" "$P/drive_c/t/x64.exe"
# reg64 ARGS...: the 64-bit reg, which reaches either view with /reg:32 or /reg:64
reg64() { WH_WINE=$WH_WINE64 wh_reg "$P" "$@"; }
reg64 add "$KEY" /v PathExclusions /t REG_SZ /d 'C:' /reg:64 /f >/dev/null
WH_WINE=$WH_WINE64 wh_run "$P" "$WORK/own.win64" "$WORK/own.win64.err" 'C:\t\x64.exe'
check_eq "program: Wine's version reader (through the x64 build) reads its version" "D:\\VURScanner.exe - $VERSION" \
  "$(tr -d '\r' < "$WORK/own.win64" | grep -F 'D:\VURScanner.exe')"
reg64 delete "$KEY" /reg:64 /f >/dev/null

# Wine's loader parses a program's manifest when the process starts and
# reports what it can't parse (Windows refuses to start such a program). The
# x64 build carries the same manifest; a copy whose manifest is broken shows
# that the check sees a failure.
# actctx_errors EXE: what Wine's loader says about EXE's manifest
actctx_errors() {
  cp "$1" "$P/drive_c/t/probe.exe"
  (cd "$P/drive_c" && wh_env "$P" env WINEDEBUG=err+actctx,fixme+actctx "${2:-$WH_WINE64}" 'C:\t\probe.exe' \
     </dev/null >/dev/null 2>"$WORK/actctx.err")
  grep -a 'actctx' "$WORK/actctx.err"
}
/usr/bin/python3 - "$WIN64_EXE" "$WORK/broken.exe" <<'EOF'
import sys
data = open(sys.argv[1], 'rb').read()
at = data.index(b'</assembly>')
open(sys.argv[2], 'wb').write(data[:at] + b'</assemblx>' + data[at + 11:])
EOF
check_clean "manifest: Wine's loader takes the x64 build's manifest without a word" "$(actctx_errors "$WIN64_EXE")"
check_eq "manifest: a copy with a broken manifest makes Wine's loader say so" "reported" \
  "$(actctx_errors "$WORK/broken.exe" | grep -q 'failed to parse manifest' && echo reported || echo silent)"
if [ -n "$I386" ]; then
  check_clean "manifest: the 32-bit loader takes the packaged program's manifest without a word" \
    "$(actctx_errors "$EXE" "$WH_WINE32")"
else
  skip "manifest: the 32-bit loader takes the packaged program's manifest without a word" "$WH_I386_WHY"
fi

# ---------------------------------------------------------------------------
# The example settings

cp "$dir/VURScanner-settings.reg" "$P/drive_c/settings.reg"
reg64 delete "$KEY" /reg:32 /f >/dev/null 2>&1   # the runs above wrote their status
reg64 import 'C:\settings.reg' /reg:32 >/dev/null
check_eq "settings: reg import /reg:32 puts the four values into the 32-bit view" \
  "$(printf '%s\n' \
      '    PathExclusions    REG_MULTI_SZ    C:\Windows\WinSxS\0*\Temp' \
      '    ScannerExtensions    REG_MULTI_SZ    .exe\0.com\0.dll' \
      '    ScannerLogFile    REG_SZ    C:\Windows\Temp\VURScanner.log' \
      '    ScannerLogLevel    REG_SZ    INFO')" \
  "$(reg64 query "$KEY" /reg:32 | grep '^    ' | LC_ALL=C sort)"
reg64 delete "$KEY" /reg:32 /f >/dev/null

# The scan the settings ask for: .dll reported too, Temp folders left out, an
# INFO log in C:\Windows\Temp.
mkdir -p "$WORK/settings/d/app" "$WORK/settings/d/app/Temp"
cp "$EXE" "$WORK/settings/d/app/tool.exe"
cp "$EXE" "$WORK/settings/d/app/lib.dll"
cp "$EXE" "$WORK/settings/d/app/Temp/left.exe"
ln -sfn "$WORK/settings/d" "$P/dosdevices/d:"
printf '%s\n' "D:\\app\\lib.dll - $VERSION" "D:\\app\\tool.exe - $VERSION" > "$WORK/settings.expected"
# settings_run LOADER EXE TAG: a scan of D: under the settings; checks its report and log
settings_run() {
  local log=$P/drive_c/windows/temp/VURScanner.log
  rm -f "$log"
  (cd "$P/drive_c" && wh_env "$P" "$1" "$2" </dev/null >"$WORK/$3.out" 2>"$WORK/$3.err")
  check_eq "settings: $3: .dll reported, the Temp folder left out" "$(cat "$WORK/settings.expected")" \
    "$(tr -d '\r' < "$WORK/$3.out" | grep '^D:' | LC_ALL=C sort)"
  check_eq "settings: $3: an INFO log at C:\\Windows\\Temp\\VURScanner.log, report and status lines only" \
    "2 report lines, no DEBUG line" \
    "$(tr -d '\r' < "$log" 2>/dev/null | grep -c '^D:') report lines, $(grep -q 'FindFirstFileW' "$log" 2>/dev/null && echo a || echo no) DEBUG line"
}
# The values mean what the file says: the x64 build scans with them, imported
# into its own view.
reg64 import 'C:\settings.reg' /reg:64 >/dev/null
cp "$WIN64_EXE" "$P/drive_c/t/x64.exe"
settings_run "$WH_WINE64" 'C:\t\x64.exe' "the x64 build with them in its view"
reg64 delete "$KEY" /reg:64 /f >/dev/null
if [ -n "$I386" ]; then
  # As an administrator would: the 32-bit regedit, then the program. regedit
  # /S says nothing and exits 0 whatever happens; the scan shows the import.
  cp "$EXE" "$P/drive_c/t/VURScanner.exe"
  (cd "$P/drive_c" && wh_env "$P" "$WH_WINE32" regedit /S 'C:\settings.reg' </dev/null >/dev/null 2>&1)
  settings_run "$WH_WINE32" 'C:\t\VURScanner.exe' "the packaged program after the 32-bit regedit"
  reg64 delete "$KEY" /reg:32 /f >/dev/null
else
  skip "settings: the packaged program after the 32-bit regedit" "$WH_I386_WHY"
fi

# ---------------------------------------------------------------------------
# The MSI

tables=$(msiinfo tables "$RELEASE/$MSI" 2>&1)
check_clean "msi: the tables of an installer of two files" "$(for t in Property Directory Component File Feature \
  FeatureComponents Media Upgrade InstallExecuteSequence; do grep -qx "$t" <<<"$tables" || echo "no table $t"; done)"
msiinfo export "$RELEASE/$MSI" Property | tr -d '\r' > "$WORK/property"
check_clean "msi: product VURScanner $VERSION of Tolvek, its upgrade code, per machine" "$(
  for p in "ProductName	VURScanner" "ProductVersion	$VERSION" "Manufacturer	Tolvek" \
           "UpgradeCode	$UPGRADE_CODE" "ALLUSERS	1"; do has_line "$WORK/property" "$p" || echo "missing: $p"; done)"
check_eq "msi: its summary's comments and its entry in the list of programs (ARPCOMMENTS) name the licence" \
  "summary: yes, ARPCOMMENTS: yes" \
  "summary: $(msiinfo suminfo "$RELEASE/$MSI" | grep -q '^Comments: .*Licensed under the Apache License, Version 2\.0\.' &&
     echo yes || echo no), ARPCOMMENTS: $(grep -q '^ARPCOMMENTS	Licensed under the Apache License, Version 2\.0' "$WORK/property" &&
     echo yes || echo no)"
check_eq "msi: an x86 package" "Intel;1033" "$(msiinfo suminfo "$RELEASE/$MSI" | sed -n 's/^Template: //p')"
# The Upgrade table: Windows Installer compares three parts of a version, so
# every installed 1.2.0.x is replaced, and one from 1.2.1 on stops the install.
IFS=. read -r major minor patch _ <<<"$VERSION"
newer_from=$major.$minor.$((patch + 1))
check_eq "msi: installed versions below $newer_from are replaced, one from $newer_from on stops the install" \
  "$(printf '%s\n' "$UPGRADE_CODE	$newer_from			258		VUR_NEWER_FOUND" \
      "$UPGRADE_CODE	0.0.0	$newer_from		256		VUR_OLDER_FOUND") RemoveExistingProducts NOT VUR_NEWER_FOUND" \
  "$(msiinfo export "$RELEASE/$MSI" Upgrade | tr -d '\r' | grep -F "$UPGRADE_CODE" | LC_ALL=C sort -r) $(
     msiinfo export "$RELEASE/$MSI" InstallExecuteSequence | grep -o '^RemoveExistingProducts') $(
     msiinfo export "$RELEASE/$MSI" LaunchCondition | tr -d '\r' | grep -o '^NOT VUR_NEWER_FOUND')"

# Wine's msiexec: the 32-bit one where 32-bit programs run, else the 64-bit
# one, which installs an x86 package into the same 32-bit folder.
MSIEXEC_WINE=$WH_WINE64
[ -n "$I386" ] && MSIEXEC_WINE=$WH_WINE32
msiexec() { (cd "$P/drive_c" && wh_env "$P" "$MSIEXEC_WINE" msiexec "$@" </dev/null >/dev/null 2>>"$WORK/msiexec.err"); }
installed=$P/'drive_c/Program Files (x86)/Tolvek/VURScanner/VURScanner.exe'
# entries: DisplayName and DisplayVersion of each product installed in the 32-bit view
entries() {
  (cd "$P/drive_c" && wh_env "$P" "$WH_WINE64" reg export "$UNINSTALL" 'C:\uninstall.reg' /reg:32 /y \
     </dev/null >/dev/null 2>&1)
  iconv -f UTF-16 -t UTF-8 "$P/drive_c/uninstall.reg" | tr -d '\r' |
    sed -n 's/^"DisplayName"="\(.*\)"$/\1/p; s/^"DisplayVersion"="\(.*\)"$/\1/p' | paste -d' ' - - | grep '^VURScanner '
}
# Settings an administrator made: no package of ours may touch them.
reg64 add "$KEY" /v ScannerLogLevel /t REG_SZ /d WARN /reg:32 /f >/dev/null
keep() { reg64 query "$KEY" /v ScannerLogLevel /reg:32 | sed -n 's/^    ScannerLogLevel    REG_SZ    //p'; }

cp "$RELEASE/$MSI" "$P/drive_c/"
msiexec /i "C:\\$MSI" /qn; rc=$?
check_eq "msi install: msiexec /i /qn" "exit code 0" "exit code $rc"
check_eq "msi install: the packaged program in the 32-bit Program Files folder" "the same bytes" \
  "$(cmp -s "$EXE" "$installed" && echo the same bytes || echo "$(ls -l "$installed" 2>&1)")"
check_eq "msi install: LICENSE.txt beside it, the ZIP's" "the same bytes" \
  "$(cmp -s "$dir/LICENSE.txt" "$(dirname "$installed")/LICENSE.txt" && echo the same bytes || echo missing or other)"
check_eq "msi install: one product installed" "VURScanner $VERSION" "$(entries)"
if [ -n "$I386" ]; then
  # The installed program's scan lists itself (C: is walked, its own folder only).
  reg64 add "$KEY" /v PathExclusions /t REG_MULTI_SZ /d 'C:\windows\0C:\users\0C:\ProgramData\0C:\Program Files\0D:' /reg:32 /f >/dev/null
  (cd "$P/drive_c" && wh_env "$P" "$WH_WINE32" 'C:\Program Files (x86)\Tolvek\VURScanner\VURScanner.exe' \
     </dev/null >"$WORK/installed.out" 2>"$WORK/installed.err")
  check_eq "msi install: the installed program reports its own version" \
    "C:\\Program Files (x86)\\Tolvek\\VURScanner\\VURScanner.exe - $VERSION" \
    "$(tr -d '\r' < "$WORK/installed.out" | grep -F 'C:\Program Files (x86)\Tolvek\')"
  reg64 delete "$KEY" /v PathExclusions /reg:32 /f >/dev/null
else
  skip "msi install: the installed program reports its own version" "$WH_I386_WHY"
fi

# Rebuilt packages of higher versions replace the installed one: one that
# differs in the fourth part only, then one newer in the first three. The
# older one is then refused.
# package VERSION FILE: the release's MSI of the packaged program, rebuilt as VERSION
package() {
  bash "$SRC/scripts/package-msi.sh" "$dir" "$1" "$P/drive_c/$2" >/dev/null 2>&1
}
next=$major.$minor.$patch.$((${VERSION##*.} + 1))
later=$major.$minor.$((patch + 1)).0
package "$next" next.msi
package "$later" later.msi
msiexec /i 'C:\next.msi' /qn; rc=$?
check_eq "msi upgrade: version $next installs over it" "exit code 0" "exit code $rc"
check_eq "msi upgrade: one product installed, $next" "VURScanner $next" "$(entries)"
check_eq "msi upgrade: the program is in place" "present" "$([ -f "$installed" ] && echo present || echo missing)"
msiexec /i 'C:\later.msi' /qn; rc=$?
check_eq "msi upgrade: version $later installs over that" "exit code 0, VURScanner $later" "exit code $rc, $(entries)"
msiexec /i 'C:\next.msi' /qn; rc=$?
check_eq "msi upgrade: $next is refused over $later" "refused, VURScanner $later" \
  "$([ $rc -ne 0 ] && echo refused || echo installed), $(entries)"

msiexec /x 'C:\later.msi' /qn; rc=$?
check_eq "msi uninstall: msiexec /x /qn" "exit code 0" "exit code $rc"
check_eq "msi uninstall: the program and its licence are gone, and no product is left" "gone, none" \
  "$(find "$(dirname "$installed")" -type f 2>/dev/null | grep . || echo gone), $(
     entries | grep -q . && echo "$(entries)" || echo none)"
check_eq "msi: the settings key keeps what the administrator wrote" "WARN" "$(keep)"

finish
