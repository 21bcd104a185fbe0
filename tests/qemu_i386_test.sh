#!/bin/bash
# qemu_i386_test.sh: tests/qemu_i386.sh as the 32-bit steps rely on it. Inside,
# the 32-bit loader runs under the emulator and the command sees
# VUR_I386_EMULATED=1; its exit code comes out unchanged; what it leaves
# running ends with it; outside, before and after, nothing has changed: the
# machine's binfmt_misc and how its kernel runs the loader (natively, or not at
# all). An emulator that is
# missing, or one too old for Wine, is refused before the command runs.
# Prints one line per check and ends with "N passed, M failed".
. "$(dirname "$0")/../scripts/usage.sh"
usage_check '' '' "$@"
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
wrapper=$here/qemu_i386.sh
wine32=${WH_WINE32:-/usr/lib/wine/wine}
work=$(mktemp -d /tmp/vur_qemu_test.XXXXXX)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
check_eq() {
  if [ "$2" == "$3" ]; then passed=$((passed + 1)); echo "PASS $1"
  else failed=$((failed + 1)); echo "FAIL $1"; printf '    expected: %s\n    actual:   %s\n' "$2" "$3"; fi
}

# What the machine shows outside: its binfmt_misc entries (or that it has none
# mounted) and what runs the 32-bit loader (qemu answers QEMU_VERSION, Wine
# does not know it).
machine_state() {
  if mountpoint -q /proc/sys/fs/binfmt_misc; then
    echo "binfmt_misc: $(cd /proc/sys/fs/binfmt_misc && for e in *; do
      [ "$e" = register ] || printf '%s=%s ' "$e" "$(head -n 1 "$e")"; done)"
  else
    echo "binfmt_misc: not mounted"
  fi
  echo "loader: $(QEMU_VERSION=1 timeout 60 "$wine32" --version 2>&1 | head -n 1)"
}
machine_state > "$work/before"

bash "$wrapper" bash -c 'echo "$VUR_I386_EMULATED"; QEMU_VERSION=1 '"$wine32"' 2>&1 | head -n 1' \
  > "$work/inside" 2>&1
check_eq "inside: VUR_I386_EMULATED=1 and the 32-bit loader runs under qemu-i386" "1 qemu-i386" \
  "$(head -n 1 "$work/inside") $(sed -n '2s/ version .*//p' "$work/inside")"

bash "$wrapper" bash -c 'exit 7'
check_eq "the command's exit code comes out unchanged" 7 "$?"

# A process the command leaves behind, as a persistent wineserver would be.
marker=$((RANDOM % 900 + 100)).$$
bash "$wrapper" bash -c "sleep $marker </dev/null >/dev/null 2>&1 & echo started" > "$work/left" 2>&1
sleep 0.5
left=$(pgrep -f "^sleep $marker\$")
check_eq "what the command left running ended with it" "started, none left" \
  "$(cat "$work/left"), $([ -n "$left" ] && echo "still running" || echo "none left")"
[ -n "$left" ] && kill $left

machine_state > "$work/after"
check_eq "outside: the machine's binfmt_misc and its way of running the loader are unchanged" \
  "$(tr '\n' ' ' < "$work/before")" "$(tr '\n' ' ' < "$work/after")"

# refused EMULATOR: what the wrapper says and does with that emulator
refused() {
  local ran rc
  ran=$(VUR_QEMU_I386=$1 bash "$wrapper" bash -c 'echo ran' 2>/dev/null); rc=$?
  echo "exit $rc, ${ran:-not run}: $(VUR_QEMU_I386=$1 bash "$wrapper" --check)"
}
printf '#!/bin/sh\necho "qemu-i386 version 7.2.22 (Debian 1:7.2+dfsg-7+deb12u18+b3)"\n' > "$work/old-qemu"
chmod +x "$work/old-qemu"
check_eq "an emulator too old for Wine is refused, and the command not run" \
  "exit 125, not run: qemu-i386 7.2.22 is too slow for Wine (each 32-bit process takes about a minute to start); 10.0 or later needed" \
  "$(refused "$work/old-qemu")"
check_eq "a missing emulator is refused, and the command not run" \
  "exit 125, not run: no emulator at $work/none" "$(refused "$work/none")"
check_eq "a program that is no qemu-i386 is refused, and the command not run" \
  "exit 125, not run: /bin/true --version does not name a qemu-i386 version" "$(refused /bin/true)"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
