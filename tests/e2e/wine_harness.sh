# wine_harness.sh - source this file from bash (tested with Wine 8.0 Debian, wine64 and wine32).
# All state lives under $WH_ROOT (default: a fresh mktemp dir). Nothing is written to $HOME.
#
# WH_WINE is the loader of the programs under test and of `reg`: wine64 for x64
# programs, the 32-bit loader for i686 ones, which then run as 32-bit processes on
# 64-bit Windows (WoW64). `reg` follows its loader: under the 32-bit loader it
# reads and writes the 32-bit registry view, as the i686 program does. Prefixes
# are always booted with wine64, which sets up both system32 and syswow64.
WH_WINE64=${WH_WINE64:-/usr/lib/wine/wine64}
WH_WINE32=${WH_WINE32:-/usr/lib/wine/wine}
WH_WINE=${WH_WINE:-$WH_WINE64}
WH_SERVER=${WH_SERVER:-/usr/lib/wine/wineserver}
WH_ROOT=${WH_ROOT:-$(mktemp -d /tmp/wh.XXXXXX)}
WH_TEMPLATE=$WH_ROOT/template

# Environment for every wine command: no X, no debug chatter, no crash debugger, UTF-8 unix side.
wh_env() {
  env -u DISPLAY -u WAYLAND_DISPLAY \
      HOME="$WH_ROOT/home" LANG=C.UTF-8 LC_ALL=C.UTF-8 TZ="${WH_TZ:-UTC}" \
      WINEDEBUG="${WH_WINEDEBUG:--all}" WINEDLLOVERRIDES="winedbg.exe=d;mscoree=d;mshtml=d" \
      WINEPREFIX="$1" "${@:2}"
}

# Whether this machine runs 32-bit Windows programs: the 32-bit loader is installed
# and the kernel executes i386 code. When not, WH_I386_WHY says why.
wh_i386() {
  if [ -z "${WH_I386:-}" ]; then
    WH_I386=yes WH_I386_WHY=""
    if [ ! -x "$WH_WINE32" ]; then
      WH_I386=no WH_I386_WHY="no 32-bit Wine loader at $WH_WINE32 (wine32:i386 not installed)"
    elif ! "$WH_WINE32" --version >/dev/null 2>&1; then
      WH_I386=no WH_I386_WHY="this kernel does not run i386 code ($WH_WINE32 --version fails)"
    fi
  fi
  [ "$WH_I386" = yes ]
}

# A template is usable once booted; where 32-bit programs run it must also have
# its syswow64: a prefix booted before wine32 was installed never gets one, and
# every 32-bit program in it exits 53.
wh_template_ok() {
  [ -f "$WH_TEMPLATE/system.reg" ] || return 1
  wh_i386 || return 0
  [ -f "$WH_TEMPLATE/drive_c/windows/syswow64/kernel32.dll" ]
}

# Build the template prefix once (about 12-15 s, 1.3 GB with syswow64). A
# boot that leaves no usable prefix is tried once more from scratch: on a
# loaded machine wineboot has been seen to end before syswow64 was set up.
# Each failed try says on stderr what it left.
wh_template() {
  wh_template_ok && return 0
  local try rc
  for try in 1 2; do
    if [ -d "$WH_TEMPLATE" ]; then wh_stop "$WH_TEMPLATE"; rm -rf "$WH_TEMPLATE"; fi
    mkdir -p "$WH_ROOT/home"
    wh_env "$WH_TEMPLATE" "$WH_WINE64" wineboot -i </dev/null >"$WH_ROOT/wineboot.log" 2>&1
    rc=$?
    wh_env "$WH_TEMPLATE" "$WH_SERVER" -w            # registry files are written when the server exits
    rm -f "$WH_TEMPLATE/dosdevices/z:"                 # Z: -> / would expose the whole Linux tree
    local d                                            # shell folders are symlinks to $HOME: make them real dirs
    for d in "$WH_TEMPLATE"/drive_c/users/*/* "$WH_TEMPLATE"/drive_c/users/*/AppData/Roaming/Microsoft/Windows/Templates; do
      [ -L "$d" ] && rm "$d" && mkdir "$d"
    done
    wh_template_ok && return 0
    echo "wh_template: try $try: wineboot -i exited $rc and left no usable prefix" \
         "(system.reg: $([ -f "$WH_TEMPLATE/system.reg" ] && echo yes || echo no)," \
         "syswow64 entries: $(ls "$WH_TEMPLATE/drive_c/windows/syswow64" 2>/dev/null | wc -l)," \
         "free in $WH_ROOT: $(df -Pk "$WH_ROOT" | awk 'NR == 2 { print int($4 / 1024) " MB" }'))" >&2
    tail -n 5 "$WH_ROOT/wineboot.log" | sed 's/^/wh_template:   /' >&2
  done
  return 1
}

# New prefix for one test case: prints its path. Full copy (~1 s, 1.3 GB); set WH_CLONE=hardlink for
# a hardlinked copy (~0.1 s) where the files wine rewrites in place (*.reg, windows/*.ini) are real copies.
# A case may add and delete files in a hardlinked prefix, but must not write into one it did not create.
wh_new() {
  local p="$WH_ROOT/case.$1"
  rm -rf "$p"
  if [ "${WH_CLONE:-copy}" = hardlink ]; then
    cp -al "$WH_TEMPLATE" "$p"
    local f; for f in "$p"/*.reg "$p"/drive_c/windows/*.ini; do rm "$f"; cp -p "$WH_TEMPLATE/${f#$p/}" "$f"; done
  else
    cp -a "$WH_TEMPLATE" "$p"
  fi
  echo "$p"
}

# wh_drive PREFIX LETTER UNIXDIR [hd|cdrom|floppy|network|ramdisk]
# Call before wh_start: the type is appended to system.reg, which only a stopped server reads.
wh_drive() {
  local p=$1 l; l=$(echo "$2" | tr 'A-Z' 'a-z')
  ln -sfn "$3" "$p/dosdevices/$l:"
  if [ -n "${4:-}" ]; then
    printf '\n[Software\\\\Wine\\\\Drives] 1700000000\n"%s:"="%s"\n' "$l" "$4" >> "$p/system.reg"
  fi
}

# Start a persistent wineserver and the wine services with all stdio on /dev/null
# (services inherit fd 2 of the first wine process; a pipe there would never close).
wh_start() {
  wh_env "$1" "$WH_SERVER" -p </dev/null >/dev/null 2>&1
  (cd "$1/drive_c" && wh_env "$1" "$WH_WINE64" wineboot </dev/null >/dev/null 2>&1)
}

# wh_run PREFIX OUTFILE ERRFILE WINDOWS_EXE_PATH [ARGS...]  -> returns the exit status (low 8 bits)
# Runs with cwd = C:\ so that no "could not open working directory" message appears.
# With WH_TIMEOUT set, the program is killed after that many seconds (exit 137).
wh_run() {
  local p=$1 out=$2 err=$3; shift 3
  ( cd "$p/drive_c" && wh_env "$p" ${WH_TIMEOUT:+timeout -s KILL "$WH_TIMEOUT"} "$WH_WINE" "$@" \
      </dev/null >"$out" 2>"$err" )
}

# Only after wh_start (else the wine services started by reg.exe would hold the 2>&1 pipe open).
# wh_reg PREFIX reg-arguments...   e.g. wh_reg "$P" add 'HKLM\Software\Tolvek\QIM\VUR' /v Name /t REG_SZ /d x /f
wh_reg() { local p=$1; shift; (cd "$p/drive_c" && wh_env "$p" "$WH_WINE" reg "$@" </dev/null 2>&1) | tr -d '\r'; return "${PIPESTATUS[0]}"; }

# wh_reg_export PREFIX KEY  -> prints the key as UTF-8 .reg text (LF line ends); exact for non-ASCII values
wh_reg_export() {
  local p=$1 f="wh_export_$$.reg"
  (cd "$p/drive_c" && wh_env "$p" "$WH_WINE" reg export "$2" "C:\\$f" /y </dev/null >/dev/null 2>&1) || return 1
  iconv -f UTF-16 -t UTF-8 "$p/drive_c/$f" | tr -d '\r'; rm -f "$p/drive_c/$f"
}

wh_stop() { wh_env "$1" "$WH_SERVER" -k 2>/dev/null; wh_env "$1" "$WH_SERVER" -w; return 0; }

# Stops a case's server and deletes its prefix (a full copy holds 1.3 GB).
wh_drop() { wh_stop "$1"; rm -rf "$1"; }

# Stops every server of every prefix under $WH_ROOT (a persistent one left running would keep CI waiting).
wh_cleanup() {
  local p; for p in "$WH_ROOT"/case.* "$WH_TEMPLATE"; do [ -d "$p" ] && wh_stop "$p"; done
  rm -rf "$WH_ROOT"
}
