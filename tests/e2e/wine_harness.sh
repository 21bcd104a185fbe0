# wine_harness.sh - source this file from bash (tested with Wine 8.0 Debian, wine64 only).
# All state lives under $WH_ROOT (default: a fresh mktemp dir). Nothing is written to $HOME.
WH_WINE=${WH_WINE:-/usr/lib/wine/wine64}
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

# Build the template prefix once (about 6-12 s, ~700 MB).
wh_template() {
  [ -f "$WH_TEMPLATE/system.reg" ] && return 0
  mkdir -p "$WH_ROOT/home"
  wh_env "$WH_TEMPLATE" "$WH_WINE" wineboot -i </dev/null >/dev/null 2>&1
  wh_env "$WH_TEMPLATE" "$WH_SERVER" -w            # registry files are written when the server exits
  rm -f "$WH_TEMPLATE/dosdevices/z:"                 # Z: -> / would expose the whole Linux tree
  local d                                            # shell folders are symlinks to $HOME: make them real dirs
  for d in "$WH_TEMPLATE"/drive_c/users/*/* "$WH_TEMPLATE"/drive_c/users/*/AppData/Roaming/Microsoft/Windows/Templates; do
    [ -L "$d" ] && rm "$d" && mkdir "$d"
  done
  [ -f "$WH_TEMPLATE/system.reg" ]
}

# New prefix for one test case: prints its path. Full copy (~0.5 s, ~700 MB); set WH_CLONE=hardlink for
# a hardlinked copy (~0.05 s) where the files wine rewrites in place (*.reg, windows/*.ini) are real copies.
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
  (cd "$1/drive_c" && wh_env "$1" "$WH_WINE" wineboot </dev/null >/dev/null 2>&1)
}

# wh_run PREFIX OUTFILE ERRFILE WINDOWS_EXE_PATH [ARGS...]  -> returns the exit status (low 8 bits)
# Runs with cwd = C:\ so that no "could not open working directory" message appears.
wh_run() {
  local p=$1 out=$2 err=$3; shift 3
  ( cd "$p/drive_c" && wh_env "$p" "$WH_WINE" "$@" </dev/null >"$out" 2>"$err" )
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

# Stops every server of every prefix under $WH_ROOT (a persistent one left running would keep CI waiting).
wh_cleanup() {
  local p; for p in "$WH_ROOT"/case.* "$WH_TEMPLATE"; do [ -d "$p" ] && wh_stop "$p"; done
  rm -rf "$WH_ROOT"
}
