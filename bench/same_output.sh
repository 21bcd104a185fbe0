#!/bin/bash
# same_output.sh BEFORE AFTER [TREE...]: runs two builds of the Linux scanner
# on the same trees, with a DEBUG log file, and compares what they print and
# log byte for byte, time stamps aside. Without TREE it makes a tree of
# awkward cases (names that are not UTF-8 or hold characters Windows
# forbids, links of every kind, a FIFO, a deep chain, a folder of 5000
# entries with subfolders among them, and, as root, a mount and a bind mount
# inside it) and also uses bench/vs_find.sh's trees where they exist.
# Exits 0 when every tree gives the same output.
. "$(dirname "$0")/../scripts/usage.sh"
usage_check 'BEFORE_SCANNER AFTER_SCANNER [TREE...]' '' "$@"
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -lt 2 ] || [ ! -x "$1" ] || [ ! -x "$2" ]; then
  echo "usage: $0 BEFORE_SCANNER AFTER_SCANNER [TREE...]" >&2
  exit 2
fi
before=$(realpath "$1") after=$(realpath "$2")
shift 2
work=$(mktemp -d)
mounted=()
cleanup() {
  for m in "${mounted[@]}"; do umount "$m" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

trees=("$@")
if [ ${#trees[@]} -eq 0 ]; then
  t=$work/awkward
  mkdir -p "$t/plain/sub" "$t/odd" "$t/links" "$t/empty" "$t/big"
  printf 'MZ' >"$t/plain/short.exe"
  : >"$t/plain/empty.com"
  echo text >"$t/plain/sub/readme.EXE"
  for f in /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/notepad.exe \
           /usr/lib/i386-linux-gnu/wine/i386-windows/winver.exe \
           /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/kernel32.dll; do
    [ -f "$f" ] && cp "$f" "$t/plain/sub/"
  done
  [ -f "$t/plain/sub/kernel32.dll" ] && cp "$t/plain/sub/kernel32.dll" "$t/plain/sub/kernel32.exe"
  mkdir -p "$t/odd/bad"$'\xff\xfe' "$t/odd/"'\' "$t/odd/..\\"
  printf 'x' >"$t/odd/bad"$'\xff\xfe'/in.exe
  printf 'x' >"$t/odd/a"$'\n'"b.exe"
  printf 'x' >"$t/odd/q?*:<>|\".exe"
  printf 'x' >"$t/odd/"$'\xef\x80\xaa'".exe"   # a name holding a stand-in character itself
  printf 'x' >"$t/odd/setup.exe.bak"
  mkdir -p "$t/odd/folder.exe"
  mkfifo "$t/odd/pipe.exe"
  ln -s ../plain "$t/links/to_dir"
  ln -s ../plain/short.exe "$t/links/to_file.exe"
  ln -s nowhere "$t/links/dangling.exe"
  ln -s .. "$t/links/up"
  ln -s ring2 "$t/links/ring1.exe" && ln -s ring1.exe "$t/links/ring2"
  d=$t/deep
  for i in $(seq 1 60); do d=$d/level$i; done
  mkdir -p "$d" && printf 'x' >"$d/bottom.exe"
  for i in $(seq 1 5000); do
    if ((i % 500 == 0)); then mkdir "$t/big/folder$i"; printf 'x' >"$t/big/folder$i/in$i.exe"
    elif ((i % 7 == 0)); then printf 'x' >"$t/big/prog$i.exe"
    else : >"$t/big/file$i.txt"; fi
  done
  if [ "$(id -u)" -eq 0 ]; then
    mkdir -p "$t/mnt_tmpfs" "$t/mnt_bind"
    if mount -t tmpfs none "$t/mnt_tmpfs" 2>/dev/null; then
      mounted+=("$t/mnt_tmpfs"); printf 'x' >"$t/mnt_tmpfs/hidden.exe"
    fi
    if mount --bind "$t/plain" "$t/mnt_bind" 2>/dev/null; then mounted+=("$t/mnt_bind"); fi
  fi
  trees=("$t")
  for f in build/bench/t*/tree; do [ -d "$f" ] && trees+=("$(realpath "$f")"); done
fi

# run SCANNER TREE OUT: one scan of TREE as drive D:, DEBUG log to OUT.log.
run() {
  local machine=$work/machine key
  rm -rf "$machine"
  key=$machine/registry/HKEY_LOCAL_MACHINE/Software/Tolvek/QIM/VUR
  mkdir -p "$key"
  echo "D: fixed $2" >"$machine/drives"
  printf '%s' "$work/scan.log" >"$key/ScannerLogFile"
  printf 'DEBUG' >"$key/ScannerLogLevel"
  VURSCANNER_ROOT=$machine "$1" >"$3.out" 2>"$3.err"
  mv "$work/scan.log" "$3.log"
  # The status lines carry the time of the run.
  sed -i -E 's/^# [A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} [0-9]{4} [0-9:]{8} -0700$/# TIME/' "$3.out" "$3.log"
}

status=0
for tree in "${trees[@]}"; do
  run "$before" "$tree" "$work/before"
  run "$after" "$tree" "$work/after"
  lines=$(wc -l <"$work/after.out")
  log_lines=$(wc -l <"$work/after.log")
  if cmp -s "$work/before.out" "$work/after.out" && cmp -s "$work/before.log" "$work/after.log" &&
     cmp -s "$work/before.err" "$work/after.err"; then
    echo "same: $tree ($lines lines printed, $log_lines logged)"
  else
    echo "DIFFERENT: $tree"
    diff "$work/before.out" "$work/after.out" | head -20 || true
    diff "$work/before.log" "$work/after.log" | head -20 || true
    status=1
  fi
done
exit $status
