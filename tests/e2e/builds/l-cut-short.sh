#!/usr/bin/env bash
# l. Damaged files whose version resource's data entry states fewer bytes
# than the block holds, each probed right after a good file of another
# version. The platform's reader copies only the stated bytes and reports
# success, and its query then parses whatever the buffer holds: a buffer that
# kept the good file's block would give the damaged file that file's version.
#
# Walk order within a folder is the file system's, so each file sits alone on
# a drive of its own and drives are walked in letter order: D: good, E:
# damaged, F: good, and so on, in two runs of six sizes each. The good file
# before the 44-byte one has a 48 KiB resource, so the buffer has grown and
# holds that file's bytes far past what the small file's size call states.
#
# What each size gives is the platform's answer over a cleared buffer, the
# same on every build: cut before the fixed information's signature (fewer
# than 44 bytes), no version; from the signature on, the version words that
# were not copied read as zeros (0.0.0.0 at 44 and 48, 3.4.0.0 at 52); from
# 56 bytes on, the file's own 3.4.5.6.
. "$(dirname "$0")/../lib.sh"
family_builds linux win32 win64

declare -A answer=([0]='<none>' [2]='<none>' [6]='<none>' [20]='<none>' [38]='<none>'
                   [40]='<none>' [44]=0.0.0.0 [48]=0.0.0.0 [52]=3.4.0.0 [56]=3.4.5.6
                   [64]=3.4.5.6 [91]=3.4.5.6)
runs=("0 2 6 20 38 40" "44 48 52 56 64 91")
letters=(D E F G H I J K L M N O)

# Fixtures and the expected report of each run, in drive order.
for r in 0 1; do
  drives=() i=0 k=0
  : > "$WORK/l$r.expected"
  for size in ${runs[$r]}; do
    good=$FX/r$r/good$k cut=$FX/r$r/cut$size
    if [ "$size" = 44 ]; then
      pe "$good/big.exe" 1.2.3.$k --pad 49152
      echo "${letters[$i]}:\\big.exe - 1.2.3.$k" >> "$WORK/l$r.expected"
    else
      pe "$good/good.exe" 1.2.3.$k
      echo "${letters[$i]}:\\good.exe - 1.2.3.$k" >> "$WORK/l$r.expected"
    fi
    pe "$cut/cut$size.exe" 3.4.5.6 --entry-size "$size"
    echo "${letters[$((i + 1))]}:\\cut$size.exe - ${answer[$size]}" >> "$WORK/l$r.expected"
    drives+=("${letters[$i]}:$good" "${letters[$((i + 1))]}:$cut")
    i=$((i + 2)) k=$((k + 1))
  done
  eval "drives$r=(\"\${drives[@]}\")"
done

for plat in $PLATFORMS; do
  use_platform $plat
  for r in 0 1; do
    eval "drives=(\"\${drives$r[@]}\")"
    ctx=$(machine $plat "l$r" "${drives[@]}")
    reg_multi $plat "$ctx" PathExclusions 'C:'   # Windows' own files are not this family's
    run_scanner $plat "$ctx" "l$r.$plat"
    out=$WORK/l$r.$plat.out
    check_rc "l$r $plat" "$RC" "$(err_to_check $plat "l$r.$plat")"
    check_has "l$r $plat console: the run completes" "$out" "# Complete"
    report_seq "$out" > "$WORK/l$r.$plat.report"
    check_same "l$r $plat report: each damaged file after a good one gives its own answer (sizes ${runs[$r]})" \
      "$WORK/l$r.expected" "$WORK/l$r.$plat.report"
    check_eq "l$r $plat console: no probe raised an exception" "" \
      "$(grep '^# ERROR: Exception in GetFileVersion() ' "$out")"
    drop_machine $plat "$ctx"
  done
done

family_done
