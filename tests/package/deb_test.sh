#!/usr/bin/env bash
# The Debian package as an administrator meets it: built from this tree by
# scripts/package-deb.sh, installed with dpkg -i, run on a machine root of
# versioned PE files and on the default one, the scan loaded into vurfleet
# and found again; vurfleet's services: the system user and its folder the
# package makes, the units checked by systemd-analyze, the load and the report
# run once as that user (through systemd where it runs, else each unit's
# ExecStart as the user); both manual pages read with man, checked by lintian,
# removed and purged.
#
#   deb_test.sh MAKE_PE
#
# Needs root, and changes the package database: it refuses to start when the
# package or another `vurscanner` is installed already. Whatever happens, it
# purges the package, removes what it made (the system user vurfleet too,
# unless it was there before) and puts back a machine root and a
# /var/lib/vurfleet that were there before. Prints one line per check and ends with
# "N passed, M failed"; the exit status is 0 only when every check passed.
. "$(dirname "$0")/../../scripts/usage.sh"
usage_check 'MAKE_PE' '' "$@"
set -u

if [ $# -ne 1 ]; then
  echo "usage: $0 MAKE_PE" >&2
  exit 2
fi
MAKE_PE=$(realpath "$1")
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SRC=$(cd "$HERE/../.." && pwd)
# The version the package must carry, from the one place the project states it.
VERSION=$(sed -n 's/^project(VURScanner VERSION \([0-9.]*\).*/\1/p' "$SRC/CMakeLists.txt")
export TZ=UTC LANG=C.UTF-8 LC_ALL=C.UTF-8 MANWIDTH=80
KEY_DIR=registry/HKEY_LOCAL_MACHINE/Software/Tolvek/QIM/VUR
ROOT=/var/lib/vurscanner
FLEET_HOME=/var/lib/vurfleet
UNITS=(vurfleet-load.service vurfleet-load.timer vurfleet-report.service vurfleet-report.timer)

. "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/checks.sh"

# The package's state as dpkg knows it: "ii", "rc", or "" when not installed.
pkg_state() {
  local s
  s=$(dpkg-query -W -f='${db:Status-Abbrev}' vurscanner 2>/dev/null | tr -d ' ')
  case $s in un|pn) s="" ;; esac
  echo "$s"
}
# dpkg ACTION...: dpkg, waiting while another process (apt, say) holds its lock.
dpkg_run() {
  local try out rc
  for try in $(seq 60); do
    out=$(dpkg "$@" 2>&1); rc=$?
    [ $rc -ne 0 ] && grep -q 'lock' <<<"$out" && { sleep 2; continue; }
    printf '%s\n' "$out"
    return $rc
  done
  printf '%s\n' "$out"
  return 1
}
# The bytes of a value file, NUL bytes shown as \0.
value_bytes() { od -An -c "$1" | tr -s ' \n' ' ' | sed 's/^ //; s/ $//'; }

# ---------------------------------------------------------------------------
# Preconditions: root, and nothing of the package on the machine.

[ "$(id -u)" -eq 0 ] || { echo "deb_test.sh installs a package: run it as root" >&2; exit 2; }
check_eq "not installed yet: dpkg knows no vurscanner" "" "$(pkg_state)"
check_eq "not installed yet: no vurscanner on PATH" "" "$(command -v vurscanner)"
check_eq "not installed yet: no vurfleet on PATH" "" "$(command -v vurfleet)"
[ "$FAILED" -eq 0 ] || { echo "refusing to install over an existing vurscanner"; finish; }

WORK=$(mktemp -d /tmp/vur_deb.XXXXXX)
SAVED="" SAVED_FLEET="" SHARE=""
if [ -e "$ROOT" ] || [ -L "$ROOT" ]; then
  SAVED=/var/lib/.vurscanner.saved-by-deb-test.$$
  mv "$ROOT" "$SAVED"
fi
if [ -e "$FLEET_HOME" ] || [ -L "$FLEET_HOME" ]; then
  SAVED_FLEET=/var/lib/.vurfleet.saved-by-deb-test.$$
  mv "$FLEET_HOME" "$SAVED_FLEET"
fi
# The system user stays after a purge, as Debian keeps them: the test removes
# it unless it was there before.
USER_BEFORE=$(getent passwd vurfleet)
cleanup() {
  [ -n "$(pkg_state)" ] && dpkg_run --purge vurscanner >/dev/null
  rm -rf "$ROOT" "$FLEET_HOME"
  rm -f /etc/systemd/system/timers.target.wants/vurfleet-*.timer
  [ -n "$SAVED" ] && mv "$SAVED" "$ROOT"
  [ -n "$SAVED_FLEET" ] && mv "$SAVED_FLEET" "$FLEET_HOME"
  if [ -z "$USER_BEFORE" ] && getent passwd vurfleet >/dev/null; then
    userdel vurfleet 2>/dev/null
    getent group vurfleet >/dev/null && groupdel vurfleet 2>/dev/null
  fi
  [ -n "$SHARE" ] && rm -rf "$SHARE"
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---------------------------------------------------------------------------
# The package file.

DEB=$(bash "$SRC/scripts/package-deb.sh" "$WORK/out" | tail -n 1)
ARCH=$(dpkg --print-architecture)
check_eq "package: named after the project's version" "$WORK/out/vurscanner_${VERSION}_${ARCH}.deb" "$DEB"
[ -f "$DEB" ] || { fail "package: built" "no $DEB"; finish; }
check_eq "package: control fields" "vurscanner $VERSION admin" \
  "$(dpkg-deb -f "$DEB" Package Version Section | sed 's/^[A-Za-z-]*: //' | tr '\n' ' ' | sed 's/ $//')"
# The scanner needs nothing; vurfleet the shared libraries it links, as
# dpkg-shlibdeps states them; the postinst adduser.
check_eq "package: depends on adduser (for the postinst) and vurfleet's libraries only" \
  "adduser libc6 libcsv3 libgcc-s1 libicu72 libpq5 libsqlite3-0 libssl3 libstdc++6" \
  "$(dpkg-deb -f "$DEB" Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//' | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')"
check_eq "package: no other relation" "" "$(dpkg-deb -f "$DEB" Pre-Depends Recommends)"
dpkg-deb -c "$DEB" | awk '{ print $6 }' | sed 's|^\./|/|; s|/$||' | grep -v '^$' > "$WORK/contents"
check_has "package: program, manual page, the README and its pages, examples, machine root" "$WORK/contents" \
  /usr/bin/vurscanner /usr/share/man/man8/vurscanner.8.gz /usr/share/doc/vurscanner/README.md \
  /usr/share/doc/vurscanner/docs/windows.md /usr/share/doc/vurscanner/docs/collecting.md \
  /usr/bin/vurfleet /usr/lib/vurfleet/vurfleet-pg.so /usr/share/man/man1/vurfleet.1.gz \
  /usr/share/doc/vurscanner/examples/drives /usr/share/doc/vurscanner/examples/advisories.csv \
  /usr/share/doc/vurscanner/examples/vurfleet.rules.yml \
  "/usr/share/doc/vurscanner/examples/$KEY_DIR/ScannerExtensions" \
  "/usr/share/doc/vurscanner/examples/$KEY_DIR/PathExclusions" \
  "/usr/share/doc/vurscanner/examples/$KEY_DIR/ScannerLogFile" \
  "/usr/share/doc/vurscanner/examples/$KEY_DIR/ScannerLogLevel" \
  /usr/share/doc/vurscanner/examples/status/ScannerStatus \
  /usr/share/doc/vurscanner/examples/status/ScannerStatusTime \
  "$ROOT/drives.example"
check_has "package: vurfleet's units and the settings they read" "$WORK/contents" \
  "${UNITS[@]/#//usr/lib/systemd/system/}" /etc/default/vurfleet
check_eq "package: the settings are a conffile, the only one" /etc/default/vurfleet \
  "$(dpkg-deb --ctrl-tarfile "$DEB" | tar -xOf - ./conffiles)"
check_eq "package: ships no folder of vurfleet's own (the postinst makes it)" "" \
  "$(grep "^$FLEET_HOME" "$WORK/contents")"
check_eq "package: the machine root holds only the example (no drives file)" "$ROOT/drives.example" \
  "$(grep "^$ROOT/" "$WORK/contents")"
check_eq "package: its copyright is machine-readable (DEP-5): the Apache License 2.0 for every file" \
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/ | Files: * | License: Apache-2.0 | /usr/share/common-licenses/Apache-2.0" \
  "$(dpkg-deb --fsys-tarfile "$DEB" | tar -xOf - ./usr/share/doc/vurscanner/copyright |
     grep -o -E '^Format: .*|^Files: .*|^License: Apache-2.0$|/usr/share/common-licenses/Apache-2.0' | uniq | tr '\n' '|' |
     sed 's/|$//; s/|/ | /g')"

# ---------------------------------------------------------------------------
# Install.

out=$(dpkg_run -i "$DEB"); rc=$?
printf '%s\n' "$out" | sed 's/^/    dpkg -i: /'
check_eq "install: dpkg -i succeeds" 0 "$rc"
[ $rc -eq 0 ] || finish
check_eq "install: dpkg has it installed" ii "$(pkg_state)"
check_eq "install: vurscanner is the package's program" /usr/bin/vurscanner "$(command -v vurscanner)"
check_eq "install: the program needs no shared library" "" \
  "$(readelf -d /usr/bin/vurscanner 2>/dev/null | grep NEEDED)"
check_eq "install: vurfleet is the package's program" /usr/bin/vurfleet "$(command -v vurfleet)"
check_eq "install: vurfleet runs and names the version" "vurfleet $VERSION" "$(vurfleet --version 2>&1)"

# ---------------------------------------------------------------------------
# A scan of a machine root that maps D: to a folder of versioned PE files,
# with the shipped example settings (.exe .com .dll; D:\Temp, *\Cache and
# WinSxS left out) and a WARN log.

pe() { mkdir -p "$(dirname "$1")"; "$MAKE_PE" "$@" >/dev/null || { echo "make_pe failed: $*" >&2; exit 2; }; }
DISK=$WORK/disk
pe "$DISK/Windows/notepad.exe" 10.0.19041.1
pe "$DISK/Windows/System32/edit.com" 6.1.7600.16385
pe "$DISK/Program Files/Tool - Suite/app - v2.exe" 1.2.3.4
pe "$DISK/Program Files/Tool - Suite/lib.dll" 65535.0.1.65535 --pe32plus
pe "$DISK/Program Files/Tool - Suite/plain.exe" 1.0.0.0 --none
pe "$DISK/Temp/skipped.exe" 9.9.9.9
pe "$DISK/Users/ann/Cache/skipped.exe" 9.9.9.9
pe "$DISK/Windows/WinSxS/skipped.dll" 9.9.9.9
mkdir -p "$DISK/Tools - old"
echo 'not a program' > "$DISK/Tools - old/script.exe"
echo 'not listed' > "$DISK/readme.txt"
ln -s "$DISK/Windows" "$DISK/linked"

FX=$WORK/root
mkdir -p "$FX/$KEY_DIR"
echo "D: fixed $DISK" > "$FX/drives"
for v in ScannerExtensions PathExclusions ScannerLogLevel; do
  cp "/usr/share/doc/vurscanner/examples/$KEY_DIR/$v" "$FX/$KEY_DIR/$v"
done
echo "$WORK/scan.log" > "$FX/$KEY_DIR/ScannerLogFile"

VURSCANNER_ROOT=$FX timeout -s KILL 60 vurscanner </dev/null >"$WORK/scan.out" 2>"$WORK/scan.err"
check_eq "scan: exit code 0" 0 "$?"
sed 's/^/    vurscanner: /' "$WORK/scan.out"
check_eq "scan: nothing on stderr" "" "$(cat "$WORK/scan.err")"
# Each report line split at its last " - " with the manual page's recipe.
printf '%s\t%s\n' \
  'D:\Program Files\Tool - Suite\app - v2.exe' 1.2.3.4 \
  'D:\Program Files\Tool - Suite\lib.dll' 65535.0.1.65535 \
  'D:\Program Files\Tool - Suite\plain.exe' '<none>' \
  'D:\Tools - old\script.exe' '<none>' \
  'D:\Windows\System32\edit.com' 6.1.7600.16385 \
  'D:\Windows\notepad.exe' 10.0.19041.1 | LC_ALL=C sort > "$WORK/scan.expected"
grep -v -e '^# ' -e '^$' "$WORK/scan.out" | sed 's/\(.*\) - /\1\t/' | LC_ALL=C sort > "$WORK/scan.got"
check_same "scan: report lines, split at the last ' - '" "$WORK/scan.expected" "$WORK/scan.got"
check_eq "scan: ScannerStatus" 'C o m p l e t e \0' "$(value_bytes "$FX/$KEY_DIR/ScannerStatus")"
check_has "scan: the WARN log names the folder link it did not enter" "$WORK/scan.log" \
  '# WARN: ERROR_ACCESS_DENIED for D:\linked\*'

# The scan loaded into vurfleet as a collected file, and found again.
vurfleet --db "$WORK/inventory.db" load --machine PC042 "$WORK/scan.out" >"$WORK/load.out" 2>&1
check_eq "vurfleet: the scan loads" 0 "$?"
sed 's/^/    vurfleet: /' "$WORK/load.out"
sed 's/\t/ - /' "$WORK/scan.expected" > "$WORK/scan.lines"
vurfleet --db "$WORK/inventory.db" find --csv | python3 "$SRC/tests/fleet/fleet_csv.py" path version \
  | LC_ALL=C sort > "$WORK/found.lines"
check_same "vurfleet: find gives the report lines again" "$WORK/scan.lines" "$WORK/found.lines"
# The PostgreSQL store is a module, loaded only for a PostgreSQL database:
# the program alone links no libpq, and with the module a server that isn't
# there is a connection refused, not a module missing.
check_eq "vurfleet: libpq is not linked into the program" "" "$(ldd /usr/bin/vurfleet | grep libpq)"
got=$(vurfleet --db "host=$WORK/no-server dbname=x" machines 2>&1)
check_eq "vurfleet: the installed module reaches for the server" \
  "1" "$(printf '%s\n' "$got" | grep -c -e 'No such file or directory' -e 'connection')"

# ---------------------------------------------------------------------------
# vurfleet's services: the user and the folder the postinst made, the units
# as systemd reads them, and each service run once as that user.

IFS=: read -r _ _ uid gid _ home shell <<<"$(getent passwd vurfleet)"
check_eq "services: vurfleet is a system user with its own group, home $FLEET_HOME, no login" \
  "system vurfleet $FLEET_HOME /usr/sbin/nologin" \
  "$([ -n "$uid" ] && [ "$uid" -lt 1000 ] && echo system || echo "uid '$uid'") $(getent group "${gid:-x}" | cut -d: -f1) $home $shell"
check_eq "services: $FLEET_HOME is the user's, readable by all" "vurfleet:vurfleet 755 directory" \
  "$(stat -c '%U:%G %a %F' "$FLEET_HOME" 2>&1)"
check_eq "services: no unit enabled by the package" "" \
  "$(find /etc/systemd/system -name 'vurfleet-*' 2>/dev/null)"
if command -v systemd-analyze >/dev/null; then
  out=$(cd /usr/lib/systemd/system && systemd-analyze verify "${UNITS[@]}" 2>&1)
  check_eq "services: systemd-analyze verify finds nothing" "0 " "$? $out"
  for unit in vurfleet-load.service vurfleet-report.service; do
    systemd-analyze security --offline=true "/usr/lib/systemd/system/$unit" >"$WORK/$unit.security" 2>&1
    check_has "services: $unit is sandboxed: its own user, read-only but for its folder, no new privileges, its own /tmp" \
      "$WORK/$unit.security" \
      "$(grep -o '✓ User=/DynamicUser=.*' "$WORK/$unit.security" | head -n 1)" \
      "$(grep -o '✓ ProtectSystem=.*' "$WORK/$unit.security" | head -n 1)" \
      "$(grep -o '✓ NoNewPrivileges=.*' "$WORK/$unit.security" | head -n 1)" \
      "$(grep -o '✓ PrivateTmp=.*' "$WORK/$unit.security" | head -n 1)"
    check_eq "services: $unit's exposure as systemd-analyze rates it is OK" OK \
      "$(sed -n 's/.*Overall exposure level for .*: [0-9.]* \([A-Z]*\).*/\1/p' "$WORK/$unit.security")"
  done
else
  skip "services: systemd-analyze verify and security" "no systemd-analyze"
fi

# The share: a collected scan and a file that is none, readable by all as a
# mounted share is, and outside /tmp, which the services see a private one
# of. The settings name it; the database and the page stay where the package
# puts them.
SHARE=$(mktemp -d /srv/vur_deb_share.XXXXXX)
cp "$WORK/scan.out" "$SHARE/PC042.2026-12-09.txt"
printf 'not a scan\r\n' > "$SHARE/PC043.2026-12-09.txt"
chmod 755 "$SHARE"; chmod 644 "$SHARE"/*
# The figures go to a folder of the user's own, where the service may write.
METRICS=$FLEET_HOME/metrics
install -d -o vurfleet -g vurfleet -m 755 "$METRICS"
printf '%s\n' "VURFLEET_SHARE=$SHARE" "VURFLEET_DB=$FLEET_HOME/inventory.db" \
  "VURFLEET_REPORT=$FLEET_HOME/fleet.html" "VURFLEET_METRICS=$METRICS" \
  "VURFLEET_ADVISORIES=/usr/share/doc/vurscanner/examples/advisories.csv" > /etc/default/vurfleet

# setting NAME: a value of /etc/default/vurfleet
setting() { sed -n "s/^$1=//p" /etc/default/vurfleet | tail -n 1; }
# run_unit SERVICE: runs the service once and prints how it ended. Where
# systemd runs, systemctl starts it: "success" when systemd counts the run
# as one. Elsewhere its ExecStart runs as its User, with each ${NAME}
# replaced by that setting, one word each, as systemd does, and then, when
# it ended as SuccessExitStatus allows, each ExecStartPost: "exit code N", of
# the first post command that failed, else of ExecStart.
run_unit() {
  local file=/usr/lib/systemd/system/$1 line rc post
  if [ -d /run/systemd/system ]; then
    systemctl daemon-reload
    systemctl start "$1" >"$WORK/$1.out" 2>&1
    systemctl show -p Result --value "$1"
    journalctl -q -o cat -u "$1" --no-pager >>"$WORK/$1.out" 2>&1
    return
  fi
  : >"$WORK/$1.out"
  run_unit_line "$file" "$(sed -n 's/^ExecStart=//p' "$file")" >>"$WORK/$1.out" 2>&1
  rc=$?
  if [ "$rc" -eq 0 ] || [ "$rc" = "$(sed -n 's/^SuccessExitStatus=//p' "$file")" ]; then
    while IFS= read -r line; do
      run_unit_line "$file" "$line" >>"$WORK/$1.out" 2>&1
      post=$?
      if [ "$post" -ne 0 ]; then rc=$post; break; fi
    done < <(sed -n 's/^ExecStartPost=//p' "$file")
  fi
  echo "exit code $rc"
}
# run_unit_line UNIT_FILE COMMAND: one of the unit's command lines, run as
# systemd would run it (see run_unit); its exit code.
run_unit_line() {
  local file=$1 word name words command=()
  # A shell's line: its script one word, "$$" a "$" of the shell's.
  if [[ $2 =~ ^/bin/sh\ -c\ \'(.*)\'$ ]]; then
    command=(/bin/sh -c "${BASH_REMATCH[1]//\$\$/\$}")
    words=()
  else
    read -ra words <<<"$2"
  fi
  for word in "${words[@]}"; do
    while [[ $word =~ \$\{([A-Za-z_][A-Za-z0-9_]*)\} ]]; do
      name=${BASH_REMATCH[1]}
      word=${word//"${BASH_REMATCH[0]}"/"$(setting "$name")"}
    done
    command+=("$word")
  done
  (cd / && umask "$(sed -n 's/^UMask=//p' "$file")" &&
   runuser -u "$(sed -n 's/^User=//p' "$file")" -- env -i PATH=/usr/bin:/bin \
     VURFLEET_SHARE="$(setting VURFLEET_SHARE)" VURFLEET_DB="$(setting VURFLEET_DB)" \
     VURFLEET_REPORT="$(setting VURFLEET_REPORT)" VURFLEET_METRICS="$(setting VURFLEET_METRICS)" \
     VURFLEET_ADVISORIES="$(setting VURFLEET_ADVISORIES)" "${command[@]}")
}
if [ -d /run/systemd/system ]; then how="started by systemd"; ok=success
else how="its ExecStart run as its user (systemd is not running here)"; ok="exit code 1"; fi

got=$(run_unit vurfleet-load.service)
sed 's/^/    vurfleet-load: /' "$WORK/vurfleet-load.service.out"
check_eq "services: the load, $how, ends as a run with a refused file does" "$ok" "$got"
check_has "services: the load stores the scan and refuses the file that is none" \
  "$WORK/vurfleet-load.service.out" "vurfleet: $SHARE/PC043.2026-12-09.txt:1: a report line before '# Started': 'not a scan'"
check_has "services: the inventory checked after the load holds" \
  "$WORK/vurfleet-load.service.out" "checked 1 machine: no fault found"
check_eq "services: the database is the user's and readable by all" "vurfleet:vurfleet 644" \
  "$(stat -c '%U:%G %a' "$FLEET_HOME/inventory.db" 2>&1)"
check_eq "services: the load writes the figures as the user, readable by all" "vurfleet:vurfleet 644" \
  "$(stat -c '%U:%G %a' "$METRICS/vurfleet.prom" 2>&1)"
check_eq "services: ... the load's files among them" \
  'vurfleet_load_files{result="stored"} 1|vurfleet_load_files{result="refused"} 1' \
  "$(grep -E '^vurfleet_load_files\{result="(stored|refused)"' "$METRICS/vurfleet.prom" | paste -sd'|')"
check_eq "services: ... and the advisories' named in the settings" "4" \
  "$(grep -c '^vurfleet_exposed_machines{' "$METRICS/vurfleet.prom")"
if command -v promtool >/dev/null; then
  check_eq "services: promtool accepts them" "0" "$(promtool check metrics < "$METRICS/vurfleet.prom" 2>&1; echo $?)"
fi
vurfleet --db "$FLEET_HOME/inventory.db" find --csv | python3 "$SRC/tests/fleet/fleet_csv.py" path version \
  | LC_ALL=C sort > "$WORK/found.service"
check_same "services: find gives the report lines the load stored" "$WORK/scan.lines" "$WORK/found.service"

got=$(run_unit vurfleet-report.service)
sed 's/^/    vurfleet-report: /' "$WORK/vurfleet-report.service.out"
[ "$ok" = "exit code 1" ] && ok="exit code 0"
check_eq "services: the report, $how, succeeds" "$ok" "$got"
check_eq "services: the page is the user's and readable by all" "vurfleet:vurfleet 644" \
  "$(stat -c '%U:%G %a' "$FLEET_HOME/fleet.html" 2>&1)"
check_eq "services: the page shows the programs loaded" yes \
  "$(grep -q 'notepad.exe' "$FLEET_HOME/fleet.html" && echo yes || echo no)"

# Enabled as docs/collecting.md says (systemctl enables a unit from its files, with
# systemd running or not); a purge takes the enablement away.
WANTS=/etc/systemd/system/timers.target.wants
systemctl enable vurfleet-load.timer >"$WORK/enable.out" 2>&1
check_eq "services: systemctl enable links the load's timer into timers.target" \
  "0 /usr/lib/systemd/system/vurfleet-load.timer" "$? $(readlink -f "$WANTS/vurfleet-load.timer")"

# The default machine root: the package's own, with a drives file the test
# writes for the run and removes again, as an administrator would.
check_eq "default root: the package left only its example there" drives.example "$(ls -A "$ROOT")"
echo "D: fixed $DISK" > "$ROOT/drives"
env -u VURSCANNER_ROOT timeout -s KILL 60 vurscanner </dev/null >"$WORK/default.out" 2>&1
check_eq "default root: exit code 0" 0 "$?"
check_has "default root: the drives file of /var/lib/vurscanner is used" "$WORK/default.out" \
  'D:\Windows\notepad.exe - 10.0.19041.1'
check_eq "default root: ScannerStatus" 'C o m p l e t e \0' "$(value_bytes "$ROOT/$KEY_DIR/ScannerStatus")"
rm -f "$ROOT/drives"

# ---------------------------------------------------------------------------
# The manual page: lint-free, rendered by man -l, and found by man.

PAGE=/usr/share/man/man8/vurscanner.8.gz
check_eq "man: mandoc -T lint finds nothing" "" "$(mandoc -T lint "$PAGE" 2>&1)"
man -l "$PAGE" >"$WORK/man.txt" 2>"$WORK/man.err"
check_eq "man: man -l renders without a message" "0 " "$? $(cat "$WORK/man.err")"
check_has "man: the rendered page has its sections" "$WORK/man.txt" \
  NAME SYNOPSIS DESCRIPTION ENVIRONMENT FILES 'EXIT STATUS' EXAMPLES
check_eq "man: the footer carries the version" 1 \
  "$(grep -c "^VURScanner $VERSION .*VURSCANNER(8)\$" "$WORK/man.txt")"
check_eq "man: man vurscanner finds the installed page" "$PAGE" "$(man -w vurscanner 2>&1)"

PAGE=/usr/share/man/man1/vurfleet.1.gz
check_eq "man vurfleet: mandoc -T lint finds nothing" "" "$(mandoc -T lint "$PAGE" 2>&1)"
man -l "$PAGE" >"$WORK/man1.txt" 2>"$WORK/man1.err"
check_eq "man vurfleet: man -l renders without a message" "0 " "$? $(cat "$WORK/man1.err")"
check_has "man vurfleet: the rendered page has its sections" "$WORK/man1.txt" \
  NAME SYNOPSIS DESCRIPTION OPTIONS ENVIRONMENT 'EXIT STATUS' EXAMPLES FILES 'SEE ALSO'
check_eq "man vurfleet: the footer carries the version" 1 \
  "$(grep -c "^VURScanner $VERSION .*VURFLEET(1)\$" "$WORK/man1.txt")"
check_eq "man vurfleet: man vurfleet finds the installed page" "$PAGE" "$(man -w vurfleet 2>&1)"

# ---------------------------------------------------------------------------
# lintian: no error and no warning. Its output is shown; what is kept is
# listed in packaging/deb/README.md.

lintian --info "$DEB" >"$WORK/lintian.out" 2>&1
rc=$?
sed 's/^/    lintian: /' "$WORK/lintian.out"
check_eq "lintian: no error, no warning" "0 " "$rc $(grep -e '^E:' -e '^W:' "$WORK/lintian.out")"

# ---------------------------------------------------------------------------
# Remove, then purge. dpkg -r leaves the machine root with what the scanner
# wrote. Purge removes the scanner's status but keeps what an administrator
# wrote there, and removes the root when nothing else is left in it.

out=$(dpkg_run -r vurscanner); rc=$?
printf '%s\n' "$out" | sed 's/^/    dpkg -r: /'
check_eq "remove: dpkg -r succeeds" 0 "$rc"
check_eq "remove: only the purge is left to do" rc "$(pkg_state)"
# What is still there: the machine root, and folders other packages own.
left=""
while read -r path; do
  [ "$path" = "$ROOT" ] && continue
  [ -e "$path" ] || [ -L "$path" ] || continue
  [ -d "$path" ] && [ ! -L "$path" ] && dpkg-query -S "$path" >/dev/null 2>&1 && continue
  [ "$path" = /etc/default/vurfleet ] && continue
  left+="$path"$'\n'
done < "$WORK/contents"
check_eq "remove: nothing of the package is left but the machine root and the settings" "" "$left"
check_eq "remove: the settings, a conffile, stay until the purge, as edited" "VURFLEET_SHARE=$SHARE" \
  "$(head -n 1 /etc/default/vurfleet 2>&1)"
check_eq "remove: vurfleet's folder keeps the database, the page and the figures" "fleet.html inventory.db metrics" \
  "$(ls "$FLEET_HOME" 2>&1 | grep -v -e '-wal$' -e '-shm$' | tr '\n' ' ' | sed 's/ $//')"
check_eq "remove: vurscanner is gone from PATH" "" "$(command -v vurscanner)"
hash -r  # vurfleet ran from this shell: forget where it was
check_eq "remove: vurfleet is gone from PATH" "" "$(command -v vurfleet)"
check_eq "remove: the machine root keeps the scanner's status" "ScannerStatus ScannerStatusTime" \
  "$(ls -A "$ROOT/$KEY_DIR" 2>&1 | tr '\n' ' ' | sed 's/ $//')"

dpkg-deb --ctrl-tarfile "$DEB" | tar -xOf - ./postrm > "$WORK/postrm"
echo "D: fixed $DISK" > "$ROOT/drives"
printf '.exe\0.dll' > "$ROOT/$KEY_DIR/ScannerExtensions"
out=$(dpkg_run --purge vurscanner); rc=$?
printf '%s\n' "$out" | sed 's/^/    dpkg --purge: /'
check_eq "purge: dpkg --purge succeeds" 0 "$rc"
check_eq "purge: dpkg knows the package no more" "" "$(pkg_state)"
check_eq "purge: the enabled timer is disabled" absent \
  "$( { [ -L "$WANTS/vurfleet-load.timer" ] && echo present; } || echo absent)"
check_eq "purge: the settings are gone" absent "$( { [ -e /etc/default/vurfleet ] && echo present; } || echo absent)"
check_eq "purge: the inventory database stays, with the user that owns it" "$FLEET_HOME/inventory.db vurfleet" \
  "$(stat -c '%n %U' "$FLEET_HOME/inventory.db" 2>&1)"
check_eq "purge: the administrator's files stay, the status goes" \
  "$ROOT/drives $ROOT/$KEY_DIR/ScannerExtensions" \
  "$(find "$ROOT" -mindepth 1 -not -type d | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')"
rm -f "$ROOT/drives" "$ROOT/$KEY_DIR/ScannerExtensions"
printf 'Started\0' > "$ROOT/$KEY_DIR/ScannerStatus"
printf 'Sta' > "$ROOT/$KEY_DIR/.tmp.1.0.ScannerStatus"
rm -rf "$FLEET_HOME"/*
sh "$WORK/postrm" purge
check_eq "purge: a root with nothing but the scanner's status is removed whole" absent \
  "$( { [ -e "$ROOT" ] && echo present; } || echo absent)"
check_eq "purge: vurfleet's folder, once empty, is removed" absent \
  "$( { [ -e "$FLEET_HOME" ] && echo present; } || echo absent)"

finish
