#!/usr/bin/env bash
# Names Windows forbids: each such character maps to U+F000 plus its code, so
# a name can neither forge nor break a report line; one report line per file
# with its real version, and a folder named "\" is walked once.
. "$(dirname "$0")/../lib.sh"
family_builds linux

d=$FX/d
mkdir -p "$d"
pe "$d/"$'forge\nC:\\fake.exe - 6.6.6.6\nx.exe' 1.1.1.1
pe "$d/back\\slash.exe" 2.2.2.2
pe "$d/"'q?*|<>":.exe' 3.3.3.3
pe "$d/"$'tab\there\r.exe' 4.4.4.4
pe "$d/"$'bad\xff\xfe.exe' 5.5.5.5
pe "$d/"$'already\xef\x80\x8a.exe' 6.0.0.1   # a name that holds a stand-in
pe "$d/\\/inner.exe" 7.7.7.7                  # a folder named "\"
pe "$d/..\\/up.exe" 8.8.8.8                   # a folder named "..\"
ln -s nowhere "$d/dangling.exe"
r=$(machine linux names "D:$d")
reg_line "$r" ScannerLogFile "$r/vur.log"
run_scanner linux "$r" names
check_rc_bounded "names" "$RC"
# The stand-ins in UTF-8: U+F00A EF 80 8A, U+F05C EF 81 9C, U+F03A EF 80 BA, ...
printf '%b\n' \
  'D:\\forge\xef\x80\x8aC\xef\x80\xba\xef\x81\x9cfake.exe - 6.6.6.6\xef\x80\x8ax.exe - 1.1.1.1' \
  'D:\\back\xef\x81\x9cslash.exe - 2.2.2.2' \
  'D:\\q\xef\x80\xbf\xef\x80\xaa\xef\x81\xbc\xef\x80\xbc\xef\x80\xbe\xef\x80\xa2\xef\x80\xba.exe - 3.3.3.3' \
  'D:\\tab\xef\x80\x89here\xef\x80\x8d.exe - 4.4.4.4' \
  'D:\\bad\xef\xbf\xbd\xef\xbf\xbd.exe - 5.5.5.5' \
  'D:\\already\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd.exe - 6.0.0.1' \
  'D:\\\xef\x81\x9c\\inner.exe - 7.7.7.7' \
  'D:\\..\xef\x81\x9c\\up.exe - 8.8.8.8' \
  'D:\\dangling.exe - <none>' | LC_ALL=C sort > "$WORK/names.expected"
grep -a -v -e '^# ' -e '^$' "$WORK/names.out" | LC_ALL=C sort > "$WORK/names.got"
check_same "names: one report line per file, each with its own version" "$WORK/names.expected" "$WORK/names.got"
check_eq "names: no console line is forged" "" "$(stray_lines "$WORK/names.out")"
check_eq "names: the folder named \\ is walked once" 1 \
  "$(grep -acF "$(printf '%b' 'D:\\\xef\x81\x9c\\inner.exe')" "$WORK/names.out")"
check_has "names: the dangling link's failed open is logged" "$WORK/names.out" \
  '# ERROR: GetLastError returned 0x2'
check_eq "names: nothing on stderr" "" "$(cat "$WORK/names.err")"

family_done
