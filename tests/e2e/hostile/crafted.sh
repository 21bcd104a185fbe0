#!/usr/bin/env bash
# Crafted version resources: a 16-bit image whose resource runs past 4 GiB,
# after a versioned file, gets no version (not the previous file's); the
# resource with id 1 wins over a named one and over another language.
. "$(dirname "$0")/../lib.sh"
family_builds linux

d=$FX/d
pe "$d/a_good.exe" 7.7.7.7
pe "$d/b_huge.exe" 1.2.3.4 --ne
# Alignment shift 24, offset 1 unit, 0x0101 units: the resource runs to the
# end of a sparse file of 16 MiB + 4 GiB + 1 byte.
printf '\x18\x00' | dd of="$d/b_huge.exe" bs=1 seek=$((0x80)) conv=notrunc 2>/dev/null
printf '\x01\x00\x01\x01' | dd of="$d/b_huge.exe" bs=1 seek=$((0x8a)) conv=notrunc 2>/dev/null
truncate -s $(( (1 << 24) + (1 << 32) + 1 )) "$d/b_huge.exe"
pe "$d/c_named.exe" 1.2.3.4 --extra VERSION:0x409:9.9.9.9
pe "$d/d_lang.exe" 1.2.3.4 --extra 1:0x400:9.9.9.9
r=$(machine linux crafted "D:$d")
reg_line "$r" ScannerLogFile "$r/vur.log"
run_scanner linux "$r" crafted
check_rc_bounded "crafted" "$RC"
printf '%s\n' 'D:\a_good.exe - 7.7.7.7' 'D:\b_huge.exe - <none>' 'D:\c_named.exe - 1.2.3.4' \
  'D:\d_lang.exe - 1.2.3.4' > "$WORK/crafted.expected"
grep -v -e '^# ' -e '^$' "$WORK/crafted.out" | LC_ALL=C sort > "$WORK/crafted.got"
check_same "crafted: versions" "$WORK/crafted.expected" "$WORK/crafted.got"
check_has "crafted: the huge resource is refused quietly" "$r/vur.log" \
  "# GetFileVersion() D:\\b_huge.exe | GFVISW | ERROR_RESOURCE_DATA_NOT_FOUND"
# The size call gives what Windows gives: 2 x 160 + 4 for these images.
check_has "crafted: the trace line of a versioned file" "$r/vur.log" \
  "# GetFileVersion() D:\\a_good.exe | GFVISW | GFVIW | VQVW | len=52"

family_done
