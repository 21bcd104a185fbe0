# shellcheck shell=bash
# lib.sh: what every family of the end-to-end suite shares. A family file
# sources it, says which builds it runs on, runs its cases and ends:
#
#   . "$(dirname "$0")/../lib.sh"
#   family_builds linux win32 win64
#   ... cases, each checked with the check_* helpers ...
#   family_done
#
# Options, the same for a family run alone and for run.sh:
#   --linux EXE     the Linux build (default build/linux/VURScanner when no
#                   build is named)
#   --win32 EXE     the product, the i686 build, under the 32-bit loader (WoW64)
#   --win64 EXE     the x64 build under wine64
#   --make-pe EXE   the PE image maker (default build/linux/make_pe)
#
# A context is a machine root folder (linux) or a Wine prefix (win32, win64).
# Wine's C: holds Windows' own files, so report lines of C: are left out of
# every comparison; fixtures live on D: and later letters on every build.
# Under run.sh the programs are copied and the Wine template built once for
# all families; a family run alone does that itself.
set -u

E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
E2E_REPO=$(cd "$E2E_DIR/../.." && pwd)
E2E_ARGS=("$@")
# --help and a mistaken option end here, before the harness makes its folder.
# shellcheck source=../../scripts/usage.sh
. "$E2E_REPO/scripts/usage.sh"
usage_check "[--linux EXE] [--win32 EXE] [--win64 EXE] [--make-pe EXE]$(
  [ "$(basename "$0")" = run.sh ] && echo ' [FAMILY|GROUP...]')" '--linux= --win32= --win64= --make-pe=' "$@"
# shellcheck source=wine_harness.sh
. "$E2E_DIR/wine_harness.sh"

export TZ=UTC LANG=C.UTF-8 LC_ALL=C.UTF-8
# Case prefixes are hard-linked clones (1.3 GB each as full copies). A case
# that wrote into a linked file would change the template; the stamp shows it.
export WH_CLONE=hardlink
TEMPLATE_STAMP=$WH_ROOT/template.stamp

KEY='HKLM\Software\Tolvek\QIM\VUR'
KEY_DIR=registry/HKEY_LOCAL_MACHINE/Software/Tolvek/QIM/VUR
TIME_RE='^(Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-9]{2} (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} -0700$'
# The version the banner names, from the one place the project states it.
VERSION=$(sed -n 's/^project(VURScanner VERSION \([0-9.]*\).*/\1/p' "$E2E_REPO/CMakeLists.txt")
# Seconds a Linux run may take before it is killed (and its check fails).
RUN_LIMIT=60

FAMILY_NAME=$(basename "$0" .sh)   # a-log-file
FAMILY_ID=${FAMILY_NAME%%-*}       # a
E2E_ROLE=family                    # run.sh sets "driver"
FAMILY_STATE=running               # then skipped or finished
PASSED=0
FAILED=0
SKIPPED=0
E2E_START=$SECONDS

# ---------------------------------------------------------------------------
# Options and programs

declare -A BUILD_EXE
MAKE_PE=""
E2E_SELECTED=()   # run.sh's family and group names

e2e_usage() {
  echo "usage: $0 [--linux EXE] [--win32 EXE] [--win64 EXE] [--make-pe EXE]${1:+ [FAMILY|GROUP...]}" >&2
  exit 2
}

# e2e_options [names]: reads E2E_ARGS into BUILD_EXE and MAKE_PE; with
# "names", other words are kept in E2E_SELECTED.
e2e_options() {
  local i=0 a
  while [ $i -lt ${#E2E_ARGS[@]} ]; do
    a=${E2E_ARGS[$i]}
    case $a in
      --linux|--win32|--win64|--make-pe)
        [ $((i + 1)) -lt ${#E2E_ARGS[@]} ] || e2e_usage "${1:-}"
        if [ "$a" = --make-pe ]; then MAKE_PE=${E2E_ARGS[$((i + 1))]}
        else BUILD_EXE[${a#--}]=${E2E_ARGS[$((i + 1))]}; fi
        i=$((i + 2)); continue ;;
      -*) e2e_usage "${1:-}" ;;
      *) [ "${1:-}" = names ] || e2e_usage; E2E_SELECTED+=("$a") ;;
    esac
    i=$((i + 1))
  done
  if [ -z "${BUILD_EXE[*]:-}" ]; then BUILD_EXE[linux]=$E2E_REPO/build/linux/VURScanner; fi
  [ -n "$MAKE_PE" ] || MAKE_PE=$E2E_REPO/build/linux/make_pe
  local f
  for f in "$MAKE_PE" "${BUILD_EXE[@]}"; do
    [ -f "$f" ] || { echo "missing: $f" >&2; exit 2; }
  done
}

# e2e_prepare [WINE_BUILDS]: copies the programs (so that a rebuild during the
# run can't swap them midway) and, when Windows builds will run, builds the
# Wine template.
e2e_prepare() {
  local b bin=$WH_ROOT/bin
  mkdir -p "$bin"
  cp "$MAKE_PE" "$bin/make_pe"; MAKE_PE=$bin/make_pe
  for b in "${!BUILD_EXE[@]}"; do
    mkdir -p "$bin/$b"
    case $b in
      linux) cp "${BUILD_EXE[$b]}" "$bin/$b/VURScanner"; BUILD_EXE[$b]=$bin/$b/VURScanner ;;
      *) cp "${BUILD_EXE[$b]}" "$bin/$b/VURScanner.exe"; BUILD_EXE[$b]=$bin/$b/VURScanner.exe ;;
    esac
  done
  if [ -n "${1:-}" ]; then
    echo "# building the Wine prefix template"
    wh_template || { echo "Wine prefix template failed" >&2; exit 2; }
    touch "$TEMPLATE_STAMP"
  fi
}

# The options that hand the prepared programs on to a family.
e2e_program_options() {
  local b
  for b in linux win32 win64; do
    [ -n "${BUILD_EXE[$b]:-}" ] && printf '%s\n' "--$b" "${BUILD_EXE[$b]}"
  done
  printf '%s\n' --make-pe "$MAKE_PE"
}

# ---------------------------------------------------------------------------
# The family's life: its builds, a skip, its end

# family_builds BUILD...: the builds (linux, win32, win64) the family's cases
# run on. They run on those of them that were given, in the order linux,
# win32, win64 (PLATFORMS; the Windows ones also in WINE_BUILDS). A family
# that names linux and a Windows build compares them, so it needs linux. The
# family is skipped when none of its builds was given.
family_builds() {
  local b
  e2e_options
  PLATFORMS="" WINE_BUILDS=""
  for b in linux win32 win64; do
    [[ " $* " == *" $b "* ]] && [ -n "${BUILD_EXE[$b]:-}" ] || continue
    PLATFORMS+=" $b"
    [ $b != linux ] && WINE_BUILDS+=" $b"
  done
  PLATFORMS=${PLATFORMS# } WINE_BUILDS=${WINE_BUILDS# }
  [ -n "$PLATFORMS" ] || family_skip "runs on $*; given: ${!BUILD_EXE[*]}"
  if [[ " $* " == *" linux "* ]] && [ -n "$WINE_BUILDS" ] && [ -z "${BUILD_EXE[linux]:-}" ]; then
    family_skip "compares $WINE_BUILDS with the linux build, which was not given"
  fi
  [ -z "${E2E_RESULTS:-}" ] && e2e_prepare "$WINE_BUILDS"
  LINUX_EXE=${BUILD_EXE[linux]:-}
  WORK=$WH_ROOT/work/$FAMILY_NAME
  FX=$WH_ROOT/fixtures/$FAMILY_NAME
  mkdir -p "$WORK" "$FX"
  echo "# $FAMILY_NAME on $PLATFORMS"
}

# family_skip REASON: the family does not run here; says why and ends.
family_skip() {
  FAMILY_STATE=skipped SKIPPED=$((SKIPPED + 1))
  echo "SKIP $FAMILY_NAME: $1"
  exit 0
}

# family_done: the family has run all its cases.
family_done() {
  [ -z "${E2E_RESULTS:-}" ] && check_template_unchanged
  FAMILY_STATE=finished
  exit 0
}

# The closing count. A family that ended before family_done fails a check
# of its own, so that a broken family can't pass unseen.
e2e_exit() {
  local rc=$?
  SKIPPING=""   # a family that broke off fails, whatever it was skipping
  if [ "$E2E_ROLE" = family ]; then
    if [ "$FAMILY_STATE" = running ]; then
      fail "$FAMILY_ID: the family ran to its end" "it ended with exit code $rc before family_done"
    fi
    if [ -n "${E2E_RESULTS:-}" ]; then
      echo "$FAMILY_NAME $PASSED $FAILED $SKIPPED" >> "$E2E_RESULTS"
      echo "# $FAMILY_NAME: $(e2e_count_line) ($((SECONDS - E2E_START)) s)"
      # The driver's WH_ROOT outlives the family; its prefixes don't.
      local p; for p in "$WH_ROOT"/case.*; do [ -d "$p" ] && wh_drop "$p"; done
    else
      echo "# took $((SECONDS - E2E_START)) s"
      e2e_count_line
      wh_cleanup
    fi
  else
    wh_cleanup
  fi
  [ "$rc" -ne 0 ] && exit "$rc"
  [ "$FAILED" -eq 0 ] && exit 0
  exit 1
}
trap e2e_exit EXIT

# The one line run.sh and scripts/test.sh read.
e2e_count_line() {
  echo "$PASSED passed, $FAILED failed$([ "$SKIPPED" -gt 0 ] && echo ", $SKIPPED skipped")"
}

# ---------------------------------------------------------------------------
# Checks. Each prints "PASS NAME" or "FAIL NAME" and its detail, and counts.

pass() {
  [ -n "$SKIPPING" ] && { skip "$1" "$SKIPPING"; return 0; }
  PASSED=$((PASSED + 1)); echo "PASS $1"
}
fail() {
  [ -n "$SKIPPING" ] && { skip "$1" "$SKIPPING"; return 0; }
  FAILED=$((FAILED + 1)); echo "FAIL $1"
  [ -n "${2:-}" ] && printf '%s\n' "$2" | head -n 40 | sed 's/^/    /'
  return 0
}
# skip NAME REASON: a check that can't run or hold here, counted as skipped
skip() { SKIPPED=$((SKIPPED + 1)); echo "SKIP $1: $2"; }

# skip_checks REASON ... skip_checks_end: every check in between is skipped
# with REASON, whatever it finds.
SKIPPING=""
skip_checks() { SKIPPING=$1; }
skip_checks_end() { SKIPPING=""; }

# Under tests/qemu_i386.sh (VUR_I386_EMULATED=1) the 32-bit loader runs under
# qemu-user, which hands Wine trap number -1 for a page fault: every fault of
# a 32-bit process arrives as EXCEPTION_ILLEGAL_INSTRUCTION, which neither
# the product's containment nor ntdll's own guard takes for the access
# violation it is. Checks that depend on that code are skipped there.
PAGE_FAULTS_EMULATED_WHY="under qemu-user every page fault arrives as EXCEPTION_ILLEGAL_INSTRUCTION (0xC000001D), not as an access violation"
# page_faults_emulated PLAT: whether the build PLAT runs under that emulator
page_faults_emulated() { [ "$1" = win32 ] && [ "${VUR_I386_EMULATED:-}" = 1 ]; }

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
  local hit name=$1 file=$2 text; shift 2
  if [ ! -f "$file" ]; then fail "$name" "no file $file"; return; fi
  for text in "$@"; do
    if hit=$(grep -nF -- "$text" "$file"); then fail "$name" "$hit"; return; fi
  done
  pass "$name"
}

# check_rc NAME RC [ERRFILE]: exit code 0 and, given ERRFILE, nothing in it
# (on Linux; under Wine, Wine's own messages may appear on stderr)
check_rc() {
  if [ -n "${3:-}" ]; then
    if [ "$2" != 0 ]; then fail "$1: exit code 0, nothing on stderr" "exit code $2"
    elif [ -s "$3" ]; then fail "$1: exit code 0, nothing on stderr" "$(cat "$3")"
    else pass "$1: exit code 0, nothing on stderr"; fi
  elif [ "$2" != 0 ]; then fail "$1: exit code 0" "exit code $2"
  else pass "$1: exit code 0"; fi
}

# check_rc_bounded NAME RC: exit code 0 of a run bounded by RUN_LIMIT
check_rc_bounded() {
  if [ "$2" = 0 ]; then pass "$1: exit code 0 within $RUN_LIMIT s"
  else fail "$1: exit code 0 within $RUN_LIMIT s" "exit code $2"; fi
}

# check_time NAME TEXT: the status time format, and local time (UTC here) of now
check_time() {
  local t=$2 stamp now
  if ! [[ $t =~ $TIME_RE ]]; then fail "$1" "not a status time: '$t'"; return; fi
  stamp=$(date -d "${t% -0700}" +%s 2>/dev/null) || { fail "$1" "unparsable: '$t'"; return; }
  now=$(date +%s)
  if (( now - stamp < 0 || now - stamp > 300 )); then
    fail "$1" "'$t' is not the local time of the run (now $(date '+%a, %d %b %Y %H:%M:%S'))"
  else
    pass "$1"
  fi
}

# check_clean NAME PROBLEMS: passes when PROBLEMS (a helper's findings) is empty
check_clean() { if [ -z "$2" ]; then pass "$1"; else fail "$1" "$2"; fi; }

scan_output() { /usr/bin/python3 "$E2E_DIR/scan_output.py" "$@"; }

# check_walk_order NAME OUTFILE: drives in ascending letter order, and the
# report lines of every folder's subtree form one unbroken block.
check_walk_order() { check_clean "$1" "$(report_seq "$2" | scan_output walk-order)"; }

# check_status_console NAME OUTFILE: "# Started" and its time come before the
# first report line, "# Complete" and its time after the last.
check_status_console() {
  check_clean "$1" "$(grep -v -e '^$' -e '^C:\\' "$2" | scan_output status-console "$TIME_RE")"
}

# Run by whoever built the Wine template: run.sh, or a family run alone.
check_template_unchanged() {
  [ -f "$TEMPLATE_STAMP" ] || return 0
  check_eq "the cases left the hard-linked template prefix unchanged" "" \
    "$(find "$WH_TEMPLATE" -newer "$TEMPLATE_STAMP" -print 2>/dev/null | head -5)"
}

# ---------------------------------------------------------------------------
# Output and logs

# Report lines of a run: every line that is not empty and doesn't start with
# "# ", C: left out, sorted so that runs compare as sets.
report_set() { grep -v -e '^# ' -e '^$' -e '^C:\\' "$1" | LC_ALL=C sort; }

# Same, in the order printed.
report_seq() { grep -v -e '^# ' -e '^$' -e '^C:\\' "$1"; }

# Console lines that are neither "# " lines, empty lines nor report lines.
stray_lines() { grep -a -v -e '^# ' -e '^$' -e ' - <none>$' -e ' - [0-9]*\.[0-9]*\.[0-9]*\.[0-9]*$' "$1"; }

# log_block FILE FIRST STOP: the lines of FILE from the first line equal to
# FIRST up to, not including, the next line equal to STOP
log_block() { scan_output block "$2" "$3" "$1"; }

# line_no FILE LINE: number of the first line equal to LINE, or 0
line_no() { local n; n=$(grep -nxF -m 1 -- "$2" "$1" | cut -d: -f1); echo "${n:-0}"; }

# ---------------------------------------------------------------------------
# Machines. use_platform selects the loader and the program of a Windows
# build; every Wine call after it (the scanner, reg) runs under that loader.

use_platform() {
  case $1 in
    win32) WH_WINE=$WH_WINE32; WIN_EXE=${BUILD_EXE[win32]} ;;
    win64) WH_WINE=$WH_WINE64; WIN_EXE=${BUILD_EXE[win64]} ;;
  esac
}

# Wine's name of a drive type; a fixed drive needs none.
wine_drive_type() {
  case $1 in
    fixed) ;; cdrom) echo cdrom ;; removable) echo floppy ;; remote) echo network ;;
    ramdisk) echo ramdisk ;; *) echo "no Wine drive type for $1" >&2; exit 2 ;;
  esac
}

# machine PLAT NAME [LETTER:FOLDER[:TYPE]]... -> prints a fresh context with
# an empty settings key and the drives mapped (TYPE as in a drives file,
# default fixed). A Wine prefix is started, with the scanner copied to C:\t\.
machine() {
  local plat=$1 name=$2 d letter rest folder type ctx; shift 2
  if [ "$plat" = linux ]; then
    ctx=$WORK/linux.$name
    rm -rf "$ctx"; mkdir -p "$ctx/$KEY_DIR"; : > "$ctx/drives"
  else
    ctx=$(wh_new "$name")
  fi
  for d in "$@"; do
    letter=${d%%:*}; rest=${d#*:}; folder=${rest%%:*}; type=fixed
    [ "$rest" != "$folder" ] && type=${rest#*:}
    if [ "$plat" = linux ]; then echo "$letter: $type $folder" >> "$ctx/drives"
    else wh_drive "$ctx" "$letter" "$folder" "$(wine_drive_type "$type")"; fi
  done
  if [ "$plat" != linux ]; then
    wh_start "$ctx"
    mkdir -p "$ctx/drive_c/t"; cp "$WIN_EXE" "$ctx/drive_c/t/VURScanner.exe"
  fi
  echo "$ctx"
}

# set_drive PLAT CTX LETTER:FOLDER[:TYPE]: maps or remaps one drive. Under
# Wine, a type other than fixed restarts the server, which reads types only
# when it starts.
set_drive() {
  local letter=${3%%:*} rest=${3#*:} folder type=fixed
  folder=${rest%%:*}; [ "$rest" != "$folder" ] && type=${rest#*:}
  if [ "$1" = linux ]; then
    sed -i "/^$letter: /d" "$2/drives"; echo "$letter: $type $folder" >> "$2/drives"
  elif [ "$type" = fixed ]; then
    ln -sfn "$folder" "$2/dosdevices/$(echo "$letter" | tr 'A-Z' 'a-z'):"
  else
    wh_stop "$2"; wh_drive "$2" "$letter" "$folder" "$(wine_drive_type "$type")"; wh_start "$2"
  fi
}

# drop_machine PLAT CTX: stops a prefix's server and deletes it
drop_machine() { [ "$1" = linux ] || wh_drop "$2"; }

# ---------------------------------------------------------------------------
# The settings key

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

# reg_line ROOT NAME TEXT: a Linux value written as a line of text, as with
# echo (the line end is not part of the value)
reg_line() { echo "$3" > "$1/$KEY_DIR/$2"; }

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

# view_sz CTX VIEW NAME TEXT: a REG_SZ value in the 32- or 64-bit view (Wine)
view_sz() { wh_reg "$1" add "$KEY" /v "$3" /t REG_SZ /d "$4" /reg:$2 /f >/dev/null; }

# view_text CTX VIEW NAME: prints a REG_SZ value of a view; fails when absent
view_text() {
  local q
  q=$(wh_reg "$1" query "$KEY" /v "$3" /reg:$2) || return 1
  printf '%s\n' "$q" | sed -n "s/^    $3    REG_SZ    //p"
}

# log_value PLAT CTX: the ScannerLogFile text; log_file PLAT CTX: where it lands
log_value() { case $1 in linux) echo "$2/vur.log" ;; *) echo 'C:\vur.log' ;; esac; }
log_file() { case $1 in linux) echo "$2/vur.log" ;; *) echo "$2/drive_c/vur.log" ;; esac; }

# after_excluded_c PLAT LINE: LINE as the log holds it when it follows the
# message of a C: excluded whole (PathExclusions 'C:'). That message has no
# line end of its own, so under Wine, where C: exists, LINE follows it on its
# line; the Linux machines have no C:.
after_excluded_c() { if [ "$1" = linux ]; then echo "$2"; else echo "Path excluded from scan: C:\\$2"; fi; }

# read_log PLAT CTX OUT: the log file with line ends as LF
read_log() { rm -f "$3"; tr -d '\r' 2>/dev/null < "$(log_file "$1" "$2")" > "$3" || rm -f "$3"; }

# ---------------------------------------------------------------------------
# Runs and fixtures

# run_scanner PLAT CTX TAG: runs once; leaves $WORK/TAG.out (CR removed on
# Wine) and $WORK/TAG.err, and sets RC. A Linux run is killed after RUN_LIMIT s.
run_scanner() {
  local out=$WORK/$3.out err=$WORK/$3.err
  case $1 in
    linux)
      VURSCANNER_ROOT=$2 timeout -s KILL "$RUN_LIMIT" "$LINUX_EXE" </dev/null >"$out" 2>"$err"; RC=$? ;;
    *)
      wh_run "$2" "$out.raw" "$err" 'C:\t\VURScanner.exe'; RC=$?
      tr -d '\r' < "$out.raw" > "$out" ;;
  esac
}

# err_to_check PLAT TAG: the stderr file to check, on Linux only
err_to_check() { [ "$1" = linux ] && echo "$WORK/$2.err"; }

# pe FILE VERSION [OPTIONS]: a PE file with a version resource (make_pe)
pe() { mkdir -p "$(dirname "$1")"; "$MAKE_PE" "$@" || { echo "make_pe failed: $*" >&2; exit 2; }; }
# txt FILE: a plain text file
txt() { mkdir -p "$(dirname "$1")"; echo "not a program" > "$1"; }

# kill_tree PID: SIGKILL a process we started and all its descendants
kill_tree() {
  local c
  for c in $(pgrep -P "$1"); do kill_tree "$c"; done
  kill -KILL "$1" 2>/dev/null
}
