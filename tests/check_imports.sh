#!/bin/bash
# check_imports.sh EXE: the product must be a 32-bit i386 console program,
# linked fully static: it imports KERNEL32, ADVAPI32, VERSION and msvcrt, and
# no other DLL (no C++ runtime, no thread library).
. "$(dirname "$0")/../scripts/usage.sh"
usage_check 'EXE' '' "$@"
set -u
exe=$1
dump=$(i686-w64-mingw32-objdump -p "$exe") || exit 1
echo "$dump" | grep -q "file format pei-i386" || { echo "not an i386 image"; exit 1; }
echo "$dump" | grep -Eq "^Magic\s+010b\s+\(PE32\)" || { echo "not PE32"; exit 1; }
echo "$dump" | grep -Eq "^Subsystem\s+0*3\s" || { echo "not a console program"; exit 1; }
dlls=$(echo "$dump" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
echo "imports:" $dlls
expected="advapi32.dll kernel32.dll msvcrt.dll version.dll"
[ "$(echo $dlls)" = "$expected" ] || { echo "expected imports: $expected"; exit 1; }
stack=$(echo "$dump" | sed -n 's/^SizeOfStackReserve\s*//p')
echo "stack reserve: 0x$stack"
[ $((16#$stack)) -ge 67108864 ] || { echo "stack reserve below 64 MiB"; exit 1; }
