#!/bin/bash
# check_imports.sh EXE: the product must be a 32-bit i386 console program
# that imports only system DLLs.
set -u
exe=$1
dump=$(i686-w64-mingw32-objdump -p "$exe") || exit 1
echo "$dump" | grep -q "file format pei-i386" || { echo "not an i386 image"; exit 1; }
echo "$dump" | grep -Eq "^Magic\s+010b\s+\(PE32\)" || { echo "not PE32"; exit 1; }
echo "$dump" | grep -Eq "^Subsystem\s+0*3\s" || { echo "not a console program"; exit 1; }
dlls=$(echo "$dump" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
echo "imports:" $dlls
bad=$(echo "$dlls" | grep -Ev '^(kernel32|advapi32|version|msvcrt|user32|ntdll)\.dll$')
if [ -n "$bad" ]; then echo "unexpected imports:" $bad; exit 1; fi
echo "$dlls" | grep -qx version.dll || { echo "version.dll not imported"; exit 1; }
stack=$(echo "$dump" | sed -n 's/^SizeOfStackReserve\s*//p')
echo "stack reserve: 0x$stack"
[ $((16#$stack)) -ge 67108864 ] || { echo "stack reserve below 64 MiB"; exit 1; }
