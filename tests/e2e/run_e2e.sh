#!/usr/bin/env bash
# End-to-end cases for VURScanner, run against the Linux build (a temporary
# machine root) and against each Windows build under Wine (one prefix per
# family and build):
#   win32  the product, the i686 VURScanner.exe, under the 32-bit loader
#          /usr/lib/wine/wine: a 32-bit process on 64-bit Windows (WoW64), with
#          real file-system redirection and the 32-bit registry view. Its `reg`
#          calls run under the same loader, so they seed that view.
#   win64  the x64 build under wine64.
#
#   run_e2e.sh LINUX_EXE MAKE_PE BUILD=EXE...   e.g. win32=build/win32/VURScanner.exe
#
# Each check's name says which build ran (linux, win32, win64), and each Windows
# build is compared with the Linux build. Prints one line per check and ends
# with "N passed, M failed"; the exit status is 0 only when every check passed.
#
# Families:
#   a  log file set-up: header lines, overwrite notice, drive messages
#   b  configuration: list values as multi-string and single text
#   c  the walk: extensions, default and registry exclusions, drive order
#   d  status record: registry values, console order, a run killed mid-walk
#   e  symbolic links (Linux only: Wine follows links to folders)
#   f  file-system redirection: real for win32; refused for win64 and linux
#   g  registry views: each Windows build reads and writes its own (Wine only)
#
# Wine's C: holds Windows' own files, so report lines of C: are left out of
# every comparison; the fixtures live on D: and later letters on both sides.
set -u

usage() { echo "usage: $0 LINUX_EXE MAKE_PE win32=EXE|win64=EXE..." >&2; exit 2; }
[ $# -ge 3 ] || usage
LINUX_EXE=$(realpath "$1")
MAKE_PE=$(realpath "$2")
shift 2
WINE_BUILDS=""
declare -A BUILD_EXE
for a in "$@"; do
  case $a in
    win32=*|win64=*) BUILD_EXE[${a%%=*}]=$(realpath "${a#*=}"); WINE_BUILDS+=" ${a%%=*}" ;;
    *) usage ;;
  esac
done
for f in "$LINUX_EXE" "$MAKE_PE" "${BUILD_EXE[@]}"; do
  [ -f "$f" ] || { echo "missing: $f" >&2; exit 2; }
done

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# The version the banner names, from the one place the project states it.
VERSION=$(sed -n 's/^project(VURScanner VERSION \([0-9.]*\).*/\1/p' "$HERE/../../CMakeLists.txt")
# shellcheck source=wine_harness.sh
. "$HERE/wine_harness.sh"
trap wh_cleanup EXIT

export TZ=UTC LANG=C.UTF-8 LC_ALL=C.UTF-8
KEY='HKLM\Software\Tolvek\QIM\VUR'
KEY_DIR=registry/HKEY_LOCAL_MACHINE/Software/Tolvek/QIM/VUR
TIME_RE='^(Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-9]{2} (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} -0700$'
# The same for awk implementations without interval expressions (mawk).
TIME_RE_AWK=${TIME_RE//'[0-9]{2}'/[0-9][0-9]}
TIME_RE_AWK=${TIME_RE_AWK//'[0-9]{4}'/[0-9][0-9][0-9][0-9]}
FX=$WH_ROOT/fixtures
WORK=$WH_ROOT/work
mkdir -p "$FX" "$WORK/bin"
# Run copies, so that a rebuild during the run can't swap the programs midway.
cp "$LINUX_EXE" "$WORK/bin/VURScanner"; LINUX_EXE=$WORK/bin/VURScanner
cp "$MAKE_PE" "$WORK/bin/make_pe"; MAKE_PE=$WORK/bin/make_pe
for b in $WINE_BUILDS; do
  mkdir -p "$WORK/bin/$b"; cp "${BUILD_EXE[$b]}" "$WORK/bin/$b/VURScanner.exe"
  BUILD_EXE[$b]=$WORK/bin/$b/VURScanner.exe
done
START_SECONDS=$SECONDS

# ---------------------------------------------------------------------------
# Checks

PASSED=0
FAILED=0

# pass NAME | fail NAME [DETAIL]
pass() { PASSED=$((PASSED + 1)); echo "PASS $1"; }
fail() {
  FAILED=$((FAILED + 1)); echo "FAIL $1"
  [ -n "${2:-}" ] && printf '%s\n' "$2" | head -n 40 | sed 's/^/    /'
  return 0
}

# check_eq NAME EXPECTED ACTUAL
check_eq() {
  if [ "$2" == "$3" ]; then pass "$1"; else fail "$1" "expected: $2"$'\n'"actual:   $3"; fi
}

# check_same NAME EXPECTED_FILE ACTUAL_FILE: identical text, diff shown on failure
check_same() {
  local d
  if d=$(diff "$2" "$3" 2>&1); then pass "$1"; else fail "$1" "$d"; fi
}

# check_has NAME FILE LINE...: each LINE occurs as a whole line of FILE
check_has() {
  local name=$1 file=$2 missing="" l; shift 2
  for l in "$@"; do grep -qxF -- "$l" "$file" || missing+="missing: $l"$'\n'; done
  if [ -z "$missing" ]; then pass "$name"; else fail "$name" "$missing"; fi
}

# check_lacks NAME FILE TEXT: FILE exists and no line of it contains TEXT
check_lacks() {
  local hit
  if [ ! -f "$2" ]; then fail "$1" "no file $2"
  elif hit=$(grep -nF -- "$3" "$2"); then fail "$1" "$hit"
  else pass "$1"; fi
}

# check_rc NAME RC [ERRFILE]: exit code 0 and, on Linux, nothing on stderr
check_rc() {
  if [ "$2" != 0 ]; then
    fail "$1: exit code 0" "exit code $2"
  elif [ -n "${3:-}" ] && [ -s "$3" ]; then
    fail "$1: exit code 0, stderr empty" "$(cat "$3")"
  else
    pass "$1: exit code 0"
  fi
}

# Report lines of a run: every line that is not empty and doesn't start with
# "# ", C: left out, sorted so that runs compare as sets.
report_set() { grep -v -e '^# ' -e '^$' -e '^C:\\' "$1" | LC_ALL=C sort; }

# Same, in the order printed.
report_seq() { grep -v -e '^# ' -e '^$' -e '^C:\\' "$1"; }

# check_walk_order NAME OUTFILE: drives in ascending letter order, and the
# report lines of every folder's subtree form one unbroken block.
check_walk_order() {
  local bad
  bad=$(report_seq "$2" | awk '
    {
      path = $0; sub(/ - [^ ]+$/, "", path)
      drive = substr(path, 1, 1)
      if (NR > 1 && drive < last_drive) { print "drive " drive " after " last_drive ": " path }
      last_drive = drive
      m = split(path, part, "\\")
      prefix = ""
      for (k = 1; k < m; k++) {
        prefix = prefix part[k] "\\"
        if (!(prefix in first)) first[prefix] = NR
        last[prefix] = NR; count[prefix]++
      }
    }
    END {
      for (p in first)
        if (last[p] - first[p] + 1 != count[p]) print "subtree of " p " is not contiguous"
    }')
  if [ -z "$bad" ]; then pass "$1"; else fail "$1" "$bad"; fi
}

# check_status_console NAME OUTFILE: "# Started" and its time come before the
# first report line, "# Complete" and its time after the last.
check_status_console() {
  local bad
  bad=$(grep -v -e '^$' -e '^C:\\' "$2" | awk -v re="$TIME_RE_AWK" '
    /^# / {
      if ($0 == "# Started" && !started) { started = NR }
      if ($0 == "# Complete") { complete = NR }
      if (started && NR == started + 1) { st_time = (substr($0, 3) ~ re) }
      if (complete && NR == complete + 1) { co_time = (substr($0, 3) ~ re) }
      next
    }
    { if (!first_report) first_report = NR; last_report = NR }
    END {
      if (!started) print "no \"# Started\" line"
      else if (!st_time) print "no time line after \"# Started\""
      if (!complete) print "no \"# Complete\" line"
      else if (!co_time) print "no time line after \"# Complete\""
      if (!first_report) print "no report line"
      else {
        if (started > first_report || started + 1 >= first_report) print "\"# Started\" or its time after a report line"
        if (complete < last_report) print "\"# Complete\" before a report line"
      }
    }')
  if [ -z "$bad" ]; then pass "$1"; else fail "$1" "$bad"; fi
}

# check_time NAME TEXT: the status time format, and local time (UTC here) of now
check_time() {
  local t=$2 then now
  if ! [[ $t =~ $TIME_RE ]]; then fail "$1" "not a status time: '$t'"; return; fi
  then=$(date -d "${t% -0700}" +%s 2>/dev/null) || { fail "$1" "unparsable: '$t'"; return; }
  now=$(date +%s)
  if (( now - then < 0 || now - then > 300 )); then
    fail "$1" "'$t' is not the local time of the run (now $(date '+%a, %d %b %Y %H:%M:%S'))"
  else
    pass "$1"
  fi
}

# ---------------------------------------------------------------------------
# Platforms. A context is a machine root folder (linux) or a Wine prefix (win32,
# win64). use_platform selects the loader and the program of a Windows build;
# every Wine call after it (the scanner, reg) runs under that loader.

use_platform() {
  case $1 in
    win32) WH_WINE=$WH_WINE32; WIN_EXE=${BUILD_EXE[win32]} ;;
    win64) WH_WINE=$WH_WINE64; WIN_EXE=${BUILD_EXE[win64]} ;;
  esac
}

# linux_machine NAME -> prints a fresh machine root with an empty settings key
linux_machine() {
  local r=$WORK/linux.$1
  rm -rf "$r"; mkdir -p "$r/$KEY_DIR"; : > "$r/drives"
  echo "$r"
}

# linux_drive ROOT LETTER TYPE FOLDER
linux_drive() { echo "$2: $3 $4" >> "$1/drives"; }

# wine_machine NAME LETTER:FOLDER[:TYPE]... -> prints a started prefix with the
# drives mapped and the scanner copied to C:\t\ (types need a stopped server).
wine_machine() {
  local p d letter rest folder type
  p=$(wh_new "$1"); shift
  for d in "$@"; do
    letter=${d%%:*}; rest=${d#*:}; folder=${rest%%:*}; type=""
    [ "$rest" != "$folder" ] && type=${rest#*:}
    wh_drive "$p" "$letter" "$folder" $type
  done
  wh_start "$p"
  mkdir -p "$p/drive_c/t"; cp "$WIN_EXE" "$p/drive_c/t/VURScanner.exe"
  echo "$p"
}

# reg_clear PLAT CTX: remove the settings key's values
reg_clear() {
  case $1 in
    linux) rm -f "$2/$KEY_DIR"/* ;;
    *) wh_reg "$2" delete "$KEY" /f >/dev/null || true ;;
  esac
}

# reg_sz PLAT CTX NAME TEXT: a single-text value
reg_sz() {
  case $1 in
    linux) printf '%s' "$4" > "$2/$KEY_DIR/$3" ;;
    *) wh_reg "$2" add "$KEY" /v "$3" /t REG_SZ /d "$4" /f >/dev/null ;;
  esac
}

# reg_multi PLAT CTX NAME TEXT...: a multi-string value
reg_multi() {
  local plat=$1 ctx=$2 name=$3 data; shift 3
  case $plat in
    linux) printf '%s\0' "$@" > "$ctx/$KEY_DIR/$name" ;;
    *)
      data=$(printf '%s\\0' "$@"); data=${data%\\0}
      wh_reg "$ctx" add "$KEY" /v "$name" /t REG_MULTI_SZ /d "$data" /f >/dev/null ;;
  esac
}

# reg_text PLAT CTX NAME: prints a written REG_SZ value's text
reg_text() {
  case $1 in
    linux) tr -d '\0' < "$2/$KEY_DIR/$3" 2>/dev/null ;;
    *) wh_reg "$2" query "$KEY" /v "$3" | sed -n "s/^    $3    REG_SZ    //p" ;;
  esac
}

# log_value PLAT CTX: the ScannerLogFile text; log_file PLAT CTX: where it lands
log_value() { case $1 in linux) echo "$2/vur.log" ;; *) echo 'C:\vur.log' ;; esac; }
log_file() { case $1 in linux) echo "$2/vur.log" ;; *) echo "$2/drive_c/vur.log" ;; esac; }

# read_log PLAT CTX OUT: the log file with line ends as LF
read_log() { rm -f "$3"; tr -d '\r' 2>/dev/null < "$(log_file "$1" "$2")" > "$3" || rm -f "$3"; }

# run_scanner PLAT CTX TAG: runs once; leaves $WORK/TAG.out (CR removed on
# Wine) and $WORK/TAG.err, and sets RC
run_scanner() {
  local out=$WORK/$3.out err=$WORK/$3.err
  case $1 in
    linux)
      VURSCANNER_ROOT=$2 "$LINUX_EXE" </dev/null >"$out" 2>"$err"; RC=$? ;;
    *)
      wh_run "$2" "$out.raw" "$err" 'C:\t\VURScanner.exe'; RC=$?
      tr -d '\r' < "$out.raw" > "$out" ;;
  esac
}

# stderr to check: ours on Linux; Wine's own messages may appear on Wine
err_to_check() { [ "$1" = linux ] && echo "$WORK/$2.err"; }

# pe FILE VERSION [OPTIONS]: a PE file with a version resource
pe() { mkdir -p "$(dirname "$1")"; "$MAKE_PE" "$@" || { echo "make_pe failed: $*" >&2; exit 2; }; }
# txt FILE: a plain text file
txt() { mkdir -p "$(dirname "$1")"; echo "not a program" > "$1"; }

# kill_tree PID: SIGKILL a process we started and all its descendants
kill_tree() {
  local c
  for c in $(pgrep -P "$1"); do kill_tree "$c"; done
  kill -KILL "$1" 2>/dev/null
}

PLATFORMS="linux$WINE_BUILDS"
# Cases clone the template with hard links (1.3 GB each as full copies). A case
# that wrote into a linked file would change the template; the stamp shows it.
export WH_CLONE=hardlink
echo "# building the Wine prefix template"
wh_template || { echo "Wine prefix template failed" >&2; exit 2; }
TEMPLATE_STAMP=$WH_ROOT/template.stamp
touch "$TEMPLATE_STAMP"

# ---------------------------------------------------------------------------
# a. Log file set-up, version banner and drive messages

fam_a() {
  local d=$FX/a/d e=$FX/a/e plat ctx log path run
  pe "$d/APP.EXE" 1.2.3.4
  pe "$d/BIG.EXE" 2.0.0.0 --pad 600   # its size call makes the buffer grow
  pe "$d/OLD.EXE" 3.0.0.0 --ne --pad 200
  pe "$e/cd.exe" 5.0.0.0
  for plat in $PLATFORMS; do
    use_platform $plat
    if [ "$plat" = linux ]; then
      ctx=$(linux_machine a); linux_drive "$ctx" D fixed "$d"; linux_drive "$ctx" E cdrom "$e"
    else
      ctx=$(wine_machine a "D:$d" "E:$e:cdrom")
    fi
    path=$(log_value $plat "$ctx")
    reg_sz $plat "$ctx" ScannerLogFile "$path"
    # Wine's C: holds Windows' own files, whose probes would grow the buffer
    # first: leave out its folders, so D:'s probes show the growth.
    reg_multi $plat "$ctx" PathExclusions 'C:\*'
    rm -f "$(log_file $plat "$ctx")"
    for run in new existing; do
      run_scanner $plat "$ctx" "a.$plat.$run"
      check_rc "a $plat $run" "$RC" "$(err_to_check $plat "a.$plat.$run")"
      log=$WORK/a.$plat.$run.log
      read_log $plat "$ctx" "$log"
      {
        [ $run = existing ] && echo "# Overwriting log file $path"
        echo "# Opened log file $path"
        echo ""
        echo "#GrowToFit expanding buffer to 1024"
        echo "# VURScanner version $VERSION"
        echo "# Started"
      } > "$log.head"
      head -n "$(wc -l < "$log.head")" "$log" > "$log.got"
      check_same "a $plat $run log: header lines" "$log.head" "$log.got"
      check_time "a $plat $run log: time line after \"# Started\"" \
        "$(sed -n "$(( $(wc -l < "$log.head") + 1 ))s/^# //p" "$log")"
      check_has "a $plat $run log: drive D: scanned, CD-ROM E: skipped" "$log" \
        '# Preparing to scan drive D:\' '# Skipping drive E:\'
      check_lacks "a $plat $run console: no version banner" "$WORK/a.$plat.$run.out" "VURScanner version"
      check_has "a $plat $run console: report lines of D:" "$WORK/a.$plat.$run.out" 'D:\APP.EXE - 1.2.3.4' \
        'D:\BIG.EXE - 2.0.0.0' 'D:\OLD.EXE - 3.0.0.0'
      # Each probe's DEBUG trace, joined into one line and sorted (the order
      # of files in a folder differs): the size call's result shows in the
      # buffer growth it causes, which must be the same on every platform.
      awk '/^# GetFileVersion\(\) D:/ { t = $0; open = ($0 !~ /len=|ERROR/); if (!open) print t; next }
           open { t = t "|" $0; if ($0 ~ /len=|ERROR/) { print t; open = 0 } }' "$log" |
        LC_ALL=C sort > "$WORK/a.$plat.$run.trace"
    done
    [ "$plat" != linux ] && wh_drop "$ctx"
  done
  printf '%s\n' \
    '# GetFileVersion() D:\APP.EXE | GFVISW | GFVIW | VQVW | len=52' \
    '# GetFileVersion() D:\BIG.EXE | GFVISW |#GrowToFit expanding buffer to 1524|| GFVIW | VQVW | len=52' \
    '# GetFileVersion() D:\OLD.EXE | GFVISW | GFVIW | VQVW | len=52' > "$WORK/a.expected.trace"
  for plat in $PLATFORMS; do
    check_same "a $plat log: probe traces, the size call's growth included" \
      "$WORK/a.expected.trace" "$WORK/a.$plat.new.trace"
  done
}

# ---------------------------------------------------------------------------
# b. Configuration values read from the settings key

fam_b() {
  local d=$FX/b/d plat ctx
  pe "$d/APP.EXE" 1.2.3.4
  pe "$d/setup.msi" 2.2.2.2
  pe "$d/drv.sys" 3.3.3.3
  for plat in $PLATFORMS; do
    use_platform $plat
    if [ "$plat" = linux ]; then
      ctx=$(linux_machine b); linux_drive "$ctx" D fixed "$d"
    else
      ctx=$(wine_machine b "D:$d")
    fi
    # b1: multi-strings for both lists
    reg_sz $plat "$ctx" ScannerLogFile "$(log_value $plat "$ctx")"
    reg_multi $plat "$ctx" ScannerExtensions .sys .dll .exe
    reg_multi $plat "$ctx" PathExclusions 'D:\Temp' 'm/.*\\Cache\\/' '*\Old' 'E:'
    run_scanner $plat "$ctx" "b1.$plat"
    check_rc "b1 $plat" "$RC" "$(err_to_check $plat "b1.$plat")"
    read_log $plat "$ctx" "$WORK/b1.$plat.log"
    grep -e '^# Including file etension ' -e '^# Found path exclusions ' \
      -e '^# File extensions were specified' -e '^# Path exclusions were specified' \
      "$WORK/b1.$plat.log" > "$WORK/b1.$plat.cfg"
    report_set "$WORK/b1.$plat.out" > "$WORK/b1.$plat.set"

    # b2: a single text .msi replaces the defaults; no exclusions configured
    reg_clear $plat "$ctx"
    reg_sz $plat "$ctx" ScannerLogFile "$(log_value $plat "$ctx")"
    reg_sz $plat "$ctx" ScannerExtensions .msi
    run_scanner $plat "$ctx" "b2.$plat"
    check_rc "b2 $plat" "$RC" "$(err_to_check $plat "b2.$plat")"
    read_log $plat "$ctx" "$WORK/b2.$plat.log"
    grep -e '^# Including file etension ' -e '^# No local exclusions found' \
      -e '^# File extensions were specified' "$WORK/b2.$plat.log" > "$WORK/b2.$plat.cfg"
    report_set "$WORK/b2.$plat.out" > "$WORK/b2.$plat.set"

    # b3: a repeated text and a case variant: two entries, one report per file
    reg_clear $plat "$ctx"
    reg_sz $plat "$ctx" ScannerLogFile "$(log_value $plat "$ctx")"
    reg_multi $plat "$ctx" ScannerExtensions .exe .EXE .exe
    run_scanner $plat "$ctx" "b3.$plat"
    check_rc "b3 $plat" "$RC" "$(err_to_check $plat "b3.$plat")"
    read_log $plat "$ctx" "$WORK/b3.$plat.log"
    grep -e '^# Including file etension ' "$WORK/b3.$plat.log" > "$WORK/b3.$plat.cfg"
    report_seq "$WORK/b3.$plat.out" > "$WORK/b3.$plat.seq"
    [ "$plat" != linux ] && wh_drop "$ctx"
  done

  cat > "$WORK/b1.expected.cfg" <<'EOF'
# File extensions were specified in registry.
# Including file etension .sys.
# Including file etension .dll.
# Including file etension .exe.
# Path exclusions were specified in registry.
# Found path exclusions D:\Temp.
# Found path exclusions m/.*\\Cache\\/.
# Found path exclusions *\Old.
# Found path exclusions E:.
EOF
  printf '%s\n' 'D:\APP.EXE - 1.2.3.4' 'D:\drv.sys - 3.3.3.3' | LC_ALL=C sort > "$WORK/b1.expected.set"
  cat > "$WORK/b2.expected.cfg" <<'EOF'
# File extensions were specified in registry.
# Including file etension .msi.
# No local exclusions found.
EOF
  printf '%s\n' 'D:\setup.msi - 2.2.2.2' > "$WORK/b2.expected.set"
  printf '%s\n' '# Including file etension .exe.' '# Including file etension .EXE.' \
    '# Including file etension .exe.' > "$WORK/b3.expected.cfg"
  printf '%s\n' 'D:\APP.EXE - 1.2.3.4' > "$WORK/b3.expected.seq"

  local b w
  for b in b1 b2 b3; do
    for w in $WINE_BUILDS; do
      check_same "$b log lines: linux and $w identical" "$WORK/$b.linux.cfg" "$WORK/$b.$w.cfg"
    done
    check_same "$b log lines: as configured" "$WORK/$b.expected.cfg" "$WORK/$b.linux.cfg"
  done
  for plat in $PLATFORMS; do
    check_same "b1 $plat report: .sys .dll .exe, no .msi" "$WORK/b1.expected.set" "$WORK/b1.$plat.set"
    check_same "b2 $plat report: only .msi, not even .exe" "$WORK/b2.expected.set" "$WORK/b2.$plat.set"
    check_same "b3 $plat report: APP.EXE once" "$WORK/b3.expected.seq" "$WORK/b3.$plat.seq"
  done
}

# ---------------------------------------------------------------------------
# c. The walk over two fixed drives and a CD-ROM

fam_c() {
  local d=$FX/c/d e=$FX/c/e f=$FX/c/f plat ctx run
  pe "$d/APP.EXE" 1.2.3.4
  pe "$d/tool.com" 2.0.0.1
  pe "$d/lib.dll" 10.0.19041.1 --pe32plus
  pe "$d/UPPER.DLL" 5.6.7.8
  txt "$d/fake.exe"
  pe "$d/nover.exe" 1.0.0.0 --none
  pe "$d/app.exe.bak" 9.9.9.9
  txt "$d/readme.txt"
  mkdir -p "$d/empty"
  pe "$d/RECYCLER/rec.exe" 6.6.6.1
  pe "$d/RECYCLER/rec.dll" 6.6.6.2
  pe "$d/\$Recycle.Bin/bin.exe" 6.6.6.3
  pe "$d/\$Recycle.Bin/S-1-5-21/bin.dll" 6.6.6.4
  pe "$d/Old/RECYCLER/old.exe" 4.4.4.4
  pe "$d/Sub/sub.exe" 3.0.0.0
  pe "$d/Sub/Deeper/deeper.dll" 3.1.0.0
  pe "$d/Sub/Deeper/Deepest/deepest.exe" 3.2.1.0 --pe32plus
  pe "$d/Sub/Deeper/Cache/cached.exe" 7.7.7.7
  pe "$d/Sub/setup.exe/inner.exe" 3.3.0.0
  pe "$d/Temp/temp.exe" 8.0.0.1
  pe "$d/Temp/Inner/inner.exe" 8.0.0.2
  txt "$d/Temp/Inner/More/more.exe"
  pe "$e/e.exe" 11.0.0.1
  pe "$e/Cache/ecache.exe" 11.0.0.2
  pe "$e/Apps/Tool/etool.exe" 11.0.0.3
  txt "$e/Apps/Tool/etool.dll"
  pe "$f/cd.exe" 12.0.0.1
  pe "$f/setup/cd.dll" 12.0.0.2

  for plat in $PLATFORMS; do
    use_platform $plat
    if [ "$plat" = linux ]; then
      ctx=$(linux_machine c)
      linux_drive "$ctx" D fixed "$d"; linux_drive "$ctx" E fixed "$e"; linux_drive "$ctx" F cdrom "$f"
    else
      ctx=$(wine_machine c "D:$d" "E:$e" "F:$f:cdrom")
    fi
    # c1: default extensions; D:\Temp\ listed but not below it; Cache anywhere
    reg_clear $plat "$ctx"
    reg_multi $plat "$ctx" PathExclusions 'D:\Temp\*' '*\Cache'
    run_scanner $plat "$ctx" "c1.$plat"
    check_rc "c1 $plat" "$RC" "$(err_to_check $plat "c1.$plat")"
    # c2: .exe and .dll; all of D:\Temp and the whole drive E:
    reg_clear $plat "$ctx"
    reg_multi $plat "$ctx" ScannerExtensions .exe .dll
    reg_multi $plat "$ctx" PathExclusions 'D:\Temp' 'E:'
    run_scanner $plat "$ctx" "c2.$plat"
    check_rc "c2 $plat" "$RC" "$(err_to_check $plat "c2.$plat")"
    # c3: one upper-case extension as a single text; default exclusions only
    reg_clear $plat "$ctx"
    reg_sz $plat "$ctx" ScannerExtensions .DLL
    run_scanner $plat "$ctx" "c3.$plat"
    check_rc "c3 $plat" "$RC" "$(err_to_check $plat "c3.$plat")"
    [ "$plat" != linux ] && wh_drop "$ctx"
  done

  printf '%s\n' \
    'D:\APP.EXE - 1.2.3.4' \
    'D:\tool.com - 2.0.0.1' \
    'D:\fake.exe - <none>' \
    'D:\nover.exe - <none>' \
    'D:\Old\RECYCLER\old.exe - 4.4.4.4' \
    'D:\Sub\sub.exe - 3.0.0.0' \
    'D:\Sub\Deeper\Deepest\deepest.exe - 3.2.1.0' \
    'D:\Sub\setup.exe\inner.exe - 3.3.0.0' \
    'D:\Temp\temp.exe - 8.0.0.1' \
    'E:\e.exe - 11.0.0.1' \
    'E:\Apps\Tool\etool.exe - 11.0.0.3' | LC_ALL=C sort > "$WORK/c1.expected"
  printf '%s\n' \
    'D:\APP.EXE - 1.2.3.4' \
    'D:\lib.dll - 10.0.19041.1' \
    'D:\UPPER.DLL - 5.6.7.8' \
    'D:\fake.exe - <none>' \
    'D:\nover.exe - <none>' \
    'D:\Old\RECYCLER\old.exe - 4.4.4.4' \
    'D:\Sub\sub.exe - 3.0.0.0' \
    'D:\Sub\Deeper\deeper.dll - 3.1.0.0' \
    'D:\Sub\Deeper\Deepest\deepest.exe - 3.2.1.0' \
    'D:\Sub\Deeper\Cache\cached.exe - 7.7.7.7' \
    'D:\Sub\setup.exe\inner.exe - 3.3.0.0' | LC_ALL=C sort > "$WORK/c2.expected"
  printf '%s\n' \
    'D:\lib.dll - 10.0.19041.1' \
    'D:\UPPER.DLL - 5.6.7.8' \
    'D:\Sub\Deeper\deeper.dll - 3.1.0.0' \
    'E:\Apps\Tool\etool.dll - <none>' | LC_ALL=C sort > "$WORK/c3.expected"

  for run in c1 c2 c3; do
    for plat in $PLATFORMS; do
      report_set "$WORK/$run.$plat.out" > "$WORK/$run.$plat.set"
      check_same "$run $plat report: expected files and versions" "$WORK/$run.expected" "$WORK/$run.$plat.set"
      check_walk_order "$run $plat report: drive order, each subtree contiguous" "$WORK/$run.$plat.out"
    done
    for plat in $WINE_BUILDS; do
      check_same "$run report: linux and $plat give the same set" "$WORK/$run.linux.set" "$WORK/$run.$plat.set"
    done
  done
}

# ---------------------------------------------------------------------------
# d. Status record

fam_d() {
  local d=$FX/d/d big=$FX/d/big plat ctx t bytes i log pid hold fifo
  pe "$d/APP.EXE" 1.2.3.4
  pe "$d/sub/b.exe" 2.3.4.5
  pe "$d/sub/deeper/c.exe" 3.4.5.6
  # Enough report lines to fill a pipe that nobody reads.
  mkdir -p "$big"/{00..99}
  for i in {00..99}; do (cd "$big/$i" && touch f{000..099}.exe); done

  for plat in $PLATFORMS; do
    use_platform $plat
    if [ "$plat" = linux ]; then
      ctx=$(linux_machine d); linux_drive "$ctx" D fixed "$d"
    else
      ctx=$(wine_machine d "D:$d")
    fi
    # d1: a complete run
    run_scanner $plat "$ctx" "d1.$plat"
    check_rc "d1 $plat" "$RC" "$(err_to_check $plat "d1.$plat")"
    check_eq "d1 $plat registry: ScannerStatus after a run" "Complete" "$(reg_text $plat "$ctx" ScannerStatus)"
    check_time "d1 $plat registry: ScannerStatusTime" "$(reg_text $plat "$ctx" ScannerStatusTime)"
    if [ "$plat" = linux ]; then
      bytes=$(od -An -c "$ctx/$KEY_DIR/ScannerStatus" | tr -s ' ')
      check_eq "d1 linux registry: ScannerStatus stored as 9 bytes with its NUL" " C o m p l e t e \\0" "$bytes"
      check_eq "d1 linux registry: ScannerStatusTime stored as 32 bytes ending in NUL" "32 0" \
        "$(wc -c < "$ctx/$KEY_DIR/ScannerStatusTime") $(tail -c 1 "$ctx/$KEY_DIR/ScannerStatusTime" | od -An -tu1 | tr -d ' ')"
    fi
    check_status_console "d1 $plat console: Started before the first report line, Complete after the last" "$WORK/d1.$plat.out"

    # d2: killed in the middle of the walk. Standard output is a FIFO that we
    # hold open but never read, so the walk blocks once the pipe is full and
    # can't finish before the kill; the DEBUG log is flushed per message and
    # tells when drive D: has started.
    reg_sz $plat "$ctx" ScannerLogFile "$(log_value $plat "$ctx")"
    if [ "$plat" = linux ]; then
      : > "$ctx/drives"; linux_drive "$ctx" D fixed "$big"
    else
      ln -sfn "$big" "$ctx/dosdevices/d:"
    fi
    log=$(log_file $plat "$ctx"); rm -f "$log"
    fifo=$WORK/d2.$plat.fifo; rm -f "$fifo"; mkfifo "$fifo"
    exec {hold}<>"$fifo"
    case $plat in
      linux) VURSCANNER_ROOT=$ctx "$LINUX_EXE" </dev/null >"$fifo" 2>"$WORK/d2.$plat.err" & pid=$! ;;
      *) { wh_run "$ctx" "$fifo" "$WORK/d2.$plat.err" 'C:\t\VURScanner.exe'; } 2>/dev/null & pid=$! ;;
    esac
    for i in $(seq 1 600); do
      grep -qF '# Preparing to scan drive D:' "$log" 2>/dev/null && break
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.05
    done
    sleep 0.3
    if kill -0 "$pid" 2>/dev/null; then
      kill_tree "$pid"; wait "$pid" 2>/dev/null
      pass "d2 $plat: run still walking when killed"
    else
      wait "$pid"; fail "d2 $plat: run still walking when killed" "the run ended by itself (exit code $?)"
    fi
    exec {hold}<&-
    read_log $plat "$ctx" "$WORK/d2.$plat.log"
    check_has "d2 $plat log: walk of D: had begun" "$WORK/d2.$plat.log" '# Preparing to scan drive D:\'
    check_lacks "d2 $plat log: no \"# Complete\"" "$WORK/d2.$plat.log" "# Complete"
    check_eq "d2 $plat registry: ScannerStatus left as Started" "Started" "$(reg_text $plat "$ctx" ScannerStatus)"
    check_time "d2 $plat registry: ScannerStatusTime of the killed run" "$(reg_text $plat "$ctx" ScannerStatusTime)"
    if [ "$plat" = linux ]; then
      bytes=$(od -An -c "$ctx/$KEY_DIR/ScannerStatus" | tr -s ' ')
      check_eq "d2 linux registry: ScannerStatus stored as 8 bytes with its NUL" " S t a r t e d \\0" "$bytes"
    fi
    [ "$plat" != linux ] && wh_drop "$ctx"
  done
}

# ---------------------------------------------------------------------------
# e. Symbolic links (Linux only)

fam_e() {
  local d=$FX/e/d ctx log
  pe "$d/a/real.exe" 1.1.1.1
  pe "$d/a/b/inner.exe" 2.2.2.2
  ln -s ../.. "$d/a/b/loop"            # a cycle back to the drive root
  ln -s a "$d/linkdir"                  # a link to a folder on the drive
  pe "$FX/e/outside/out.exe" 3.3.3.3
  ln -s ../outside "$d/outside"         # a link to a folder off the drive
  ln -s a/real.exe "$d/linkfile.exe"    # a link to a file

  ctx=$(linux_machine e); linux_drive "$ctx" D fixed "$d"
  reg_sz linux "$ctx" ScannerLogFile "$ctx/vur.log"
  VURSCANNER_ROOT=$ctx timeout -s KILL 30 "$LINUX_EXE" </dev/null >"$WORK/e.out" 2>"$WORK/e.err"; RC=$?
  check_rc "e linux" "$RC" "$WORK/e.err"
  printf '%s\n' \
    'D:\a\real.exe - 1.1.1.1' \
    'D:\a\b\inner.exe - 2.2.2.2' \
    'D:\linkfile.exe - 1.1.1.1' | LC_ALL=C sort > "$WORK/e.expected"
  report_set "$WORK/e.out" > "$WORK/e.set"
  check_same "e linux report: link to a file listed, links to folders not followed" "$WORK/e.expected" "$WORK/e.set"
  check_lacks "e linux console: no ERROR lines" "$WORK/e.out" "ERROR"
  log=$WORK/e.log; cp "$ctx/vur.log" "$log"
  check_has "e linux log: each linked folder refused with the two WARN lines" "$log" \
    '# WARN: ERROR_ACCESS_DENIED for D:\a\b\loop\*' \
    '# WARN: ERROR_ACCESS_DENIED for D:\linkdir\*' \
    '# WARN: ERROR_ACCESS_DENIED for D:\outside\*'
  check_eq "e linux log: FindFirstFileW failure warned once per linked folder" 3 \
    "$(grep -cxF '# WARN: FindFirstFileW() encountered INVALID_HANDLE_VALUE' "$log")"
}

# ---------------------------------------------------------------------------
# f. File-system redirection

# The lines are handed to awk through the environment: awk -v would read
# the backslash that ends "C:\" as an escape, and gawk and mawk disagree on
# what it then stands for.

# log_block FILE FIRST STOP: the lines of FILE from the first line equal to
# FIRST up to, not including, the next line equal to STOP
log_block() {
  FIRST=$2 STOP=$3 awk '
    !on && $0 == ENVIRON["FIRST"] { on = 1 }
    on && $0 == ENVIRON["STOP"] && seen { exit }
    on { print; seen = 1 }' "$1"
}

# line_no FILE LINE: number of the first line equal to LINE, or 0
line_no() { LINE=$2 awk '$0 == ENVIRON["LINE"] { print NR; found = 1; exit } END { if (!found) print 0 }' "$1"; }

# Two runs per build, told apart by the last present drive letter:
#   f1  D: fixed is last; its walk leaves no code pending, so the revert runs.
#   f2  E: CD-ROM is last. Wine's GetDriveTypeW leaves code 234 pending after
#       success, and nothing clears it before restoreRedirection, which then
#       reports it and does not revert.
# The product (win32) is a 32-bit process on 64-bit Windows: the disable call
# succeeds and C:\windows\system32 lists the real system folder, never
# syswow64. A marker file in each of the two folders shows which one a walk
# listed. The x64 build (a 64-bit process under Wine) and the Linux build (whose
# layer answers as 32-bit Windows) get a refused disable call with code 1.
# Exclusions keep the walk of C: to the top of C:\windows and its two system
# folders.
fam_f() {
  local d=$FX/f/d e=$FX/f/e plat ctx run log block
  pe "$d/APP.EXE" 1.2.3.4
  pe "$e/cd.exe" 5.0.0.0
  for plat in $PLATFORMS; do
    use_platform $plat
    if [ "$plat" = linux ]; then
      ctx=$(linux_machine f); linux_drive "$ctx" D fixed "$d"
    else
      ctx=$(wine_machine f "D:$d")
      pe "$ctx/drive_c/windows/system32/sys32mark.exe" 6.4.6.4
      pe "$ctx/drive_c/windows/syswow64/wow64mark.exe" 3.2.3.2
    fi
    reg_sz $plat "$ctx" ScannerLogFile "$(log_value $plat "$ctx")"
    reg_multi $plat "$ctx" PathExclusions 'C:\Program*' 'C:\users' 'C:\windows\*\*'
    for run in f1 f2; do
      if [ $run = f2 ]; then  # E: as a CD-ROM after D:
        if [ "$plat" = linux ]; then
          linux_drive "$ctx" E cdrom "$e"
        else
          wh_stop "$ctx"; wh_drive "$ctx" E "$e" cdrom; wh_start "$ctx"
        fi
      fi
      run_scanner $plat "$ctx" "$run.$plat"
      check_rc "$run $plat" "$RC" "$(err_to_check $plat "$run.$plat")"
      log=$WORK/$run.$plat.log
      read_log $plat "$ctx" "$log"
      log_block "$log" '# disableRedirection' '# Path exclusions were specified in registry.' > "$log.disable"
      log_block "$log" '# restoreRedirection' '# Complete' > "$log.restore"
      {
        echo '# disableRedirection'
        echo '# Loading Kernel32 module'
        echo '# GetProcAddress Wow64DisableWow64FsRedirection'
        echo '# Invoke pointer to Wow64DisableWow64FsRedirection'
        if [ $plat = win32 ]; then
          echo '# Disabled 64-bit filesystem redirection'
        else
          echo '# WARN: Wow64DisableWow64FsRedirection returned 0'
        fi
      } > "$log.disable.expected"
      {
        echo '# restoreRedirection'
        if [ $plat = win32 ] && [ $run = f1 ]; then
          echo '# GetProcAddress Wow64RevertWow64FsRedirection'
          echo '# Invoke pointer to Wow64RevertWow64FsRedirection'
          echo '# Restored 64-bit filesystem redirection'
        elif [ $plat = win32 ]; then
          echo ''
          echo '# ERROR: GetLastError returned 0xea'
        fi
      } > "$log.restore.expected"
      case $plat in
        win32)
          check_same "$run win32 log: redirection disabled" "$log.disable.expected" "$log.disable"
          if (( $(line_no "$log" '# Disabled 64-bit filesystem redirection') > 0 &&
                $(line_no "$log" '# Disabled 64-bit filesystem redirection') <
                $(line_no "$log" '# Preparing to scan drive C:\') )); then
            pass "$run win32 log: redirection disabled before the first drive"
          else
            fail "$run win32 log: redirection disabled before the first drive" "$(grep -n -e Redirection -e redirection -e 'Preparing' "$log")"
          fi
          check_has "$run win32 report: each marker in its own folder" "$WORK/$run.win32.out" \
            'C:\windows\system32\sys32mark.exe - 6.4.6.4' 'C:\windows\syswow64\wow64mark.exe - 3.2.3.2'
          check_lacks "$run win32 report: the syswow64 marker never under C:\\windows\\system32\\" \
            "$WORK/$run.win32.out" 'C:\windows\system32\wow64mark.exe'
          if [ $run = f1 ]; then
            check_same "f1 win32 log: last letter D: fixed, redirection restored after its walk" \
              "$log.restore.expected" "$log.restore"
          else
            check_same "f2 win32 log: last letter E: CD-ROM, the code 234 Wine's GetDriveTypeW left is reported, no revert" \
              "$log.restore.expected" "$log.restore"
            check_eq "f2 win32 console: that code reported just before \"# Complete\"" \
              $'\n# ERROR: GetLastError returned 0xea' \
              "$(awk '$0 == "# Complete" { print prev2; print prev1; exit } { prev2 = prev1; prev1 = $0 }' \
                 "$WORK/$run.win32.out")"
          fi ;;
        win64)
          check_same "$run win64 log: disable call refused with code 1, one WARN and no ERROR (Wine, 64-bit process)" \
            "$log.disable.expected" "$log.disable"
          check_same "$run win64 log: restoreRedirection logs only its first line" "$log.restore.expected" "$log.restore"
          check_has "$run win64 report: each marker in its own folder" "$WORK/$run.win64.out" \
            'C:\windows\system32\sys32mark.exe - 6.4.6.4' 'C:\windows\syswow64\wow64mark.exe - 3.2.3.2'
          check_lacks "$run win64 report: the syswow64 marker never under C:\\windows\\system32\\" \
            "$WORK/$run.win64.out" 'C:\windows\system32\wow64mark.exe' ;;
        linux)
          check_same "$run linux log: disable call refused as on 32-bit Windows, one WARN and no ERROR" \
            "$log.disable.expected" "$log.disable"
          check_same "$run linux log: restoreRedirection logs only its first line" "$log.restore.expected" "$log.restore" ;;
      esac
    done
    [ "$plat" != linux ] && wh_drop "$ctx"
  done
}

# ---------------------------------------------------------------------------
# g. Registry views (Wine only)

# view_sz CTX VIEW NAME TEXT: a REG_SZ value in the 32- or 64-bit view
view_sz() { wh_reg "$1" add "$KEY" /v "$3" /t REG_SZ /d "$4" /reg:$2 /f >/dev/null; }
# view_text CTX VIEW NAME: prints a REG_SZ value of a view; fails when absent
view_text() {
  local q
  q=$(wh_reg "$1" query "$KEY" /v "$3" /reg:$2) || return 1
  printf '%s\n' "$q" | sed -n "s/^    $3    REG_SZ    //p"
}

# Each view holds settings of its own: the product (win32) must follow the
# 32-bit view, as the x64 build follows the 64-bit one, and write its status
# there only. On 64-bit Windows the 32-bit view is HKLM\Software\Wow6432Node.
fam_g() {
  local d=$FX/g/d plat ctx own other status_time
  pe "$d/view32/a32.dll" 3.2.0.0
  pe "$d/view32/a32.sys" 3.2.0.1
  pe "$d/view64/a64.dll" 6.4.0.0
  pe "$d/view64/a64.sys" 6.4.0.1
  printf '%s\n' 'D:\view32\a32.dll - 3.2.0.0' > "$WORK/g.win32.expected"
  printf '%s\n' 'D:\view64\a64.sys - 6.4.0.1' > "$WORK/g.win64.expected"
  for plat in $WINE_BUILDS; do
    use_platform $plat
    if [ $plat = win32 ]; then own=32 other=64; else own=64 other=32; fi
    ctx=$(wine_machine g "D:$d")
    view_sz "$ctx" 32 ScannerExtensions .dll
    view_sz "$ctx" 32 PathExclusions 'D:\view64'
    view_sz "$ctx" 32 ScannerLogFile 'C:\vur32.log'
    view_sz "$ctx" 64 ScannerExtensions .sys
    view_sz "$ctx" 64 PathExclusions 'D:\view32'
    view_sz "$ctx" 64 ScannerLogFile 'C:\vur64.log'
    run_scanner $plat "$ctx" "g.$plat"
    check_rc "g $plat" "$RC"
    report_set "$WORK/g.$plat.out" > "$WORK/g.$plat.set"
    check_same "g $plat report: extensions and exclusions of the $own-bit view only" \
      "$WORK/g.$plat.expected" "$WORK/g.$plat.set"
    check_eq "g $plat log file: the one the $own-bit view names" "vur$own.log" \
      "$(cd "$ctx/drive_c" && ls vur*.log 2>/dev/null | tr '\n' ' ' | sed 's/ $//')"
    check_eq "g $plat registry: ScannerStatus in the $own-bit view" Complete "$(view_text "$ctx" $own ScannerStatus)"
    status_time=$(view_text "$ctx" $own ScannerStatusTime)
    check_time "g $plat registry: ScannerStatusTime in the $own-bit view" "$status_time"
    check_eq "g $plat registry: neither status value in the $other-bit view" "absent absent" \
      "$(view_text "$ctx" $other ScannerStatus >/dev/null && echo present || echo absent) $(
         view_text "$ctx" $other ScannerStatusTime >/dev/null && echo present || echo absent)"
    if [ $plat = win32 ]; then
      check_eq "g win32 registry: status under HKLM\\Software\\Wow6432Node, seen from the 64-bit view" Complete \
        "$(WH_WINE=$WH_WINE64 wh_reg "$ctx" query 'HKLM\Software\Wow6432Node\Tolvek\QIM\VUR' /v ScannerStatus |
           sed -n 's/^    ScannerStatus    REG_SZ    //p')"
    fi
    wh_drop "$ctx"
  done
}

fam_a
fam_b
fam_c
fam_d
fam_e
fam_f
[ -n "$WINE_BUILDS" ] && fam_g

if [ -n "$WINE_BUILDS" ]; then
  check_eq "the cases left the hard-linked template prefix unchanged" "" \
    "$(find "$WH_TEMPLATE" -newer "$TEMPLATE_STAMP" -print 2>/dev/null | head -5)"
fi

echo "# took $((SECONDS - START_SECONDS)) s"
echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
