#!/bin/bash
# qemu_i386.sh COMMAND [ARGS...]: runs COMMAND with every i386 program it
# starts under qemu-user: Wine's 32-bit loader and each process Wine starts
# from it again.
#
# Wine re-executes its loader for each new process, so calling the emulator
# once is not enough: the kernel must hand every i386 ELF to it. The
# registration that tells it so lives in a binfmt_misc instance of a new user
# namespace, mounted in a new mount namespace: only COMMAND and what it starts
# see it, and a registration is consulted before the kernel's own ELF loader,
# so it takes over on a kernel that runs i386 code too. The machine's own
# binfmt_misc is neither read nor changed. COMMAND is the first process of a
# new PID namespace as well: when it ends, whatever it left running (a
# persistent wineserver) is ended with it, and the namespaces and the
# registration go with the last of their processes.
#
# COMMAND sees VUR_I386_EMULATED=1. qemu hands Wine trap number -1 for a page
# fault, so every fault of a 32-bit process arrives as an illegal instruction
# (0xC000001D): tests whose checks depend on the code a page fault raises
# skip them by that variable.
#
#   qemu_i386.sh --check   prints the emulator ("qemu-i386 10.0.2") when it
#                          can be set up, else why not; exits 0 only if it can
#
# The emulator is qemu-i386 on PATH, or VUR_QEMU_I386.
. "$(dirname "$0")/../scripts/usage.sh"
usage_check 'COMMAND [ARGS...] | --check' '+--check --inside=' "$@"
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
wine32=${WH_WINE32:-/usr/lib/wine/wine}

die() { echo "qemu_i386.sh: $*" >&2; exit 125; }

# The emulator, and whether it is one that runs Wine well enough: 7.2 passes
# Wine's MAP_FIXED_NOREPLACE reservations on as mere hints, so each 32-bit
# process spends about a minute reserving its address space 64 KiB at a time
# (130 000 mmap calls); 10.0 starts one in about a second.
emulator() {
  local qemu=${VUR_QEMU_I386:-$(command -v qemu-i386)} version
  [ -n "$qemu" ] || { echo "no qemu-i386 (the qemu-user package is not installed)"; return 1; }
  [ -x "$qemu" ] || { echo "no emulator at $qemu"; return 1; }
  version=$("$qemu" --version 2>/dev/null | sed -n '1s/^qemu-i386 version \([0-9][0-9.]*\).*/\1/p')
  [ -n "$version" ] || { echo "$qemu --version does not name a qemu-i386 version"; return 1; }
  if [ "${version%%.*}" -lt 10 ]; then
    echo "qemu-i386 $version is too slow for Wine (each 32-bit process takes about a minute to start); 10.0 or later needed"
    return 1
  fi
  echo "$qemu $version"
}

if [ "${1:-}" = --inside ]; then
  shift; qemu=$1; shift
  # An i386 ELF executable or shared object; the mask leaves out the ABI
  # bytes and tells ET_EXEC from ET_DYN by its low bit only. "F" opens the
  # emulator now, so the registration holds whatever is mounted later.
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null ||
    die "this kernel ($(uname -r)) does not mount binfmt_misc in a user namespace (Linux 6.7 or later does)"
  echo ":vur-i386:M::$magic:$mask:$qemu:F" > /proc/sys/fs/binfmt_misc/register ||
    die "binfmt_misc refused the registration of $qemu"
  # qemu answers QEMU_VERSION itself, so this shows that the loader is emulated.
  [ -x "$wine32" ] || die "no 32-bit Wine loader at $wine32 (wine32:i386 not installed)"
  QEMU_VERSION=1 "$wine32" 2>&1 | grep -q '^qemu-i386 version' ||
    die "$wine32 does not run under $qemu"
  export VUR_I386_EMULATED=1
  exec "$@"
fi

if ! found=$(emulator); then
  [ "${1:-}" = --check ] && { echo "$found"; exit 1; }
  die "$found"
fi
if [ "${1:-}" = --check ]; then
  # The whole set-up, once, with a command that does nothing.
  why=$(unshare --user --map-root-user --mount --pid --fork --mount-proc \
          bash "$here/qemu_i386.sh" --inside "${found% *}" true 2>&1) ||
    { echo "${why#qemu_i386.sh: }"; exit 1; }
  echo "qemu-i386 ${found##* }"
  exit 0
fi
[ $# -gt 0 ] || die "usage: qemu_i386.sh COMMAND [ARGS...] | --check"
exec unshare --user --map-root-user --mount --pid --fork --mount-proc \
  bash "$here/qemu_i386.sh" --inside "${found% *}" "$@"
