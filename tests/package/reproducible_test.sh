#!/usr/bin/env bash
# The release rebuilds bit for bit: the last commit cloned twice, into two
# folders of different depth, and released in each (unsigned, one after the
# other, the second clone checked out under another umask and its release
# run from another time zone) must give the same SHA256SUMS. Then what the
# times in the artifacts are (the commit's), that no clone's path is in a
# program, and the two tools that make the archives reproducible, on their
# own: make-zip.py and msi-summary.py.
#
#   reproducible_test.sh
#
# Tests the commit, not uncommitted changes. Prints one line per check and
# ends with "N passed, M failed"; the exit status is 0 only when every check
# passed.
. "$(dirname "$0")/../../scripts/usage.sh"
usage_check '' '' "$@"
set -u
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SRC=$(cd "$HERE/../.." && pwd)
export LANG=C.UTF-8 LC_ALL=C.UTF-8
unset VUR_SIGN_PKCS12 VUR_SIGN_PASSWORD_FILE VUR_SIGN_TIMESTAMP_URL SOURCE_DATE_EPOCH

. "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/checks.sh"

WORK=$(mktemp -d /tmp/vur_repro.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
COMMIT=$(git -C "$SRC" rev-parse HEAD)
EPOCH=$(git -C "$SRC" log -1 --format=%ct)
[ -z "$(git -C "$SRC" status --porcelain --untracked-files=no)" ] ||
  echo "note: the tree has uncommitted changes; the clones test commit $COMMIT"

# release_in DIR UMASK TZ: clones the commit into DIR and releases it there.
release_in() {
  local start=$SECONDS
  (umask "$2" && git clone -q "$SRC" "$1/src" && git -C "$1/src" checkout -q --detach "$COMMIT") || return 1
  (cd "$1/src" && TZ=$3 bash scripts/release.sh "$1/out" >"$1/release.log" 2>&1)
  local rc=$?
  echo "    release in $1/src: exit code $rc, $((SECONDS - start)) s"
  [ $rc -eq 0 ] || sed 's/^/    release: /' "$1/release.log" | tail -n 30
  return $rc
}
A=$WORK/a
B=$WORK/second-clone/at/another/depth
release_in "$A" 022 UTC; check_eq "first clone: release.sh succeeds" 0 "$?"
release_in "$B" 027 Pacific/Kiritimati; check_eq "second clone: release.sh succeeds" 0 "$?"
[ -f "$A/out/SHA256SUMS" ] && [ -f "$B/out/SHA256SUMS" ] || finish
sed 's/^/    first:  /' "$A/out/SHA256SUMS"
sed 's/^/    second: /' "$B/out/SHA256SUMS"

check_eq "both releases: the same SHA256SUMS, so the same ZIP, MSI and .deb" "" \
  "$(diff "$A/out/SHA256SUMS" "$B/out/SHA256SUMS")"
check_eq "both releases: every artifact matches its line of SHA256SUMS" "ok ok" \
  "$(for d in "$A" "$B"; do (cd "$d/out" && sha256sum -c --quiet SHA256SUMS >/dev/null 2>&1 && echo ok || echo bad); done | tr '\n' ' ' | sed 's/ $//')"
check_eq "both releases: unsigned, and each says so in one line" "1 1" \
  "$(grep -c '^unsigned: ' "$A/release.log") $(grep -c '^unsigned: ' "$B/release.log")"

# What differs, when something does: the ZIP's members and the MSI's summary.
if ! cmp -s "$A/out/SHA256SUMS" "$B/out/SHA256SUMS"; then
  for d in "$A" "$B"; do
    /usr/bin/python3 -c 'import sys, zipfile
for i in zipfile.ZipFile(sys.argv[1]).infolist(): print(i.filename, i.date_time, hex(i.external_attr), i.extra.hex(), hex(i.CRC))' \
      "$d"/out/*.zip | sed 's/^/    zip: /'
    TZ=UTC msiinfo suminfo "$d"/out/*.msi | sed 's/^/    msi: /'
  done
fi

# ---------------------------------------------------------------------------
# The times are the commit's, and no clone's path is in a program.

VERSION=$(sed -n 's/^project(VURScanner VERSION \([0-9.]*\).*/\1/p' "$SRC/CMakeLists.txt")
mkdir -p "$WORK/x/deb"
(cd "$WORK/x" && cmake -E tar xf "$A/out/VURScanner-$VERSION-win32.zip")
EXE=$WORK/x/VURScanner-$VERSION-win32/VURScanner.exe
dpkg-deb -x "$A"/out/vurscanner_*.deb "$WORK/x/deb"
commit_minute=$(date -u -d "@$EPOCH" '+%Y-%m-%d %H:%M')
check_eq "times: the program's PE header is stamped with the commit's time" "$EPOCH" \
  "$(/usr/bin/python3 -c 'import pefile, sys; print(pefile.PE(sys.argv[1], fast_load=True).FILE_HEADER.TimeDateStamp)' "$EXE")"
check_eq "times: every ZIP member is dated the commit's time (UTC, even seconds)" \
  "$(date -u -d "@$((EPOCH - EPOCH % 2))" '+%Y-%m-%d %H:%M:%S')" \
  "$(/usr/bin/python3 -c 'import sys, zipfile
print(" ".join(sorted({"%04d-%02d-%02d %02d:%02d:%02d" % i.date_time for i in zipfile.ZipFile(sys.argv[1]).infolist()})))' \
      "$A/out/VURScanner-$VERSION-win32.zip")"
check_eq "times: the MSI was created and last saved at the commit's time" \
  "Created: $(date -u -d "@$EPOCH" '+%a %b %e %H:%M:%S %Y') Last saved: $(date -u -d "@$EPOCH" '+%a %b %e %H:%M:%S %Y')" \
  "$(TZ=UTC msiinfo suminfo "$A/out/VURScanner-$VERSION-x86.msi" | grep -E '^(Created|Last saved): ' | tr '\n' ' ' | sed 's/ $//')"
check_eq "times: the .deb's files are dated the commit's time (to the minute dpkg-deb shows)" "$commit_minute" \
  "$(TZ=UTC dpkg-deb -c "$A"/out/vurscanner_*.deb | awk '{ print $4, $5 }' | sort -u | tr '\n' ' ' | sed 's/ $//')"
leaks=""
for f in "$EXE" "$WORK/x/deb/usr/bin/"*; do
  strings -a "$f" | grep -q -F -e "$WORK" && leaks+="${f#"$WORK/x/"} "
done
check_eq "paths: neither clone's folder is in the Windows program or the .deb's programs" "" "$leaks"

# ---------------------------------------------------------------------------
# make-zip.py: the same files give the same bytes whatever their times, modes
# and the time zone; what it can't store faithfully it refuses.

ZIPPY="/usr/bin/python3 $SRC/scripts/make-zip.py"
Z=$WORK/z
mkdir -p "$Z/one/d" "$Z/two/d"
for t in one two; do
  printf 'text\r\n' > "$Z/$t/d/a.txt"; printf 'MZ' > "$Z/$t/d/b.exe"
done
chmod 600 "$Z/one/d/a.txt"; chmod 700 "$Z/one/d/b.exe"; chmod 664 "$Z/two/d/a.txt"; chmod 755 "$Z/two/d/b.exe"
touch -d '2001-02-03 04:05:06' "$Z/one/d/a.txt"
(cd "$Z/one" && TZ=Asia/Tokyo SOURCE_DATE_EPOCH=$EPOCH $ZIPPY "$Z/one.zip" . d/b.exe d/a.txt)
(cd "$Z/two" && TZ=UTC SOURCE_DATE_EPOCH=$EPOCH $ZIPPY "$Z/two.zip" . d/a.txt d/b.exe)
check_eq "make-zip: other file times, modes, member order and time zone, the same archive" "same" \
  "$(cmp -s "$Z/one.zip" "$Z/two.zip" && echo same || echo different)"
check_eq "make-zip: members in name order, mode 0644 or 0755, no extra fields" \
  "d/a.txt 0o100644 0 d/b.exe 0o100755 0" \
  "$(/usr/bin/python3 -c 'import sys, zipfile
print(" ".join("%s %s %d" % (i.filename, oct(i.external_attr >> 16), len(i.extra)) for i in zipfile.ZipFile(sys.argv[1]).infolist()))' "$Z/one.zip")"
ln -s a.txt "$Z/one/d/link.txt"
refusals=""
for bad in ../one/d/a.txt /etc/hostname d/link.txt d d/missing.txt "d/a.txt d/a.txt"; do
  # shellcheck disable=SC2086  # the last case names one member twice
  msg=$(cd "$Z/one" && SOURCE_DATE_EPOCH=$EPOCH $ZIPPY "$Z/bad.zip" . $bad 2>&1); rc=$?
  [ $rc -ne 0 ] && [ -n "$msg" ] && [ ! -e "$Z/bad.zip" ] || refusals+="$bad: exit code $rc, '$msg'"$'\n'
done
[ -z "$(find "$Z" -maxdepth 1 -name '.make-zip.*')" ] || refusals+="a temporary file was left behind"$'\n'
check_eq "make-zip: refuses a member outside the folder, a link, a folder, a missing or doubled one, and writes nothing" \
  "" "$refusals"
msg=$(cd "$Z/one" && env -u SOURCE_DATE_EPOCH $ZIPPY "$Z/bad.zip" . d/a.txt 2>&1)
check_eq "make-zip: refuses to guess a time" "refused" \
  "$([ ! -e "$Z/bad.zip" ] && grep -q SOURCE_DATE_EPOCH <<<"$msg" && echo refused || echo "wrote it: $msg")"

# ---------------------------------------------------------------------------
# msi-summary.py: sets the package code and the times in place, touches
# nothing else, and leaves a file it can't read as it was.

SUMMARY="/usr/bin/python3 $SRC/scripts/msi-summary.py"
M=$WORK/m
mkdir -p "$M"
cp "$A/out/VURScanner-$VERSION-x86.msi" "$M/p.msi"
CODE='{0123ABCD-4567-589A-BCDE-F0123456789A}'
$SUMMARY "$M/p.msi" "$(tr 'A-F' 'a-f' <<<"$CODE")" 86400; rc=$?
check_eq "msi-summary: sets the package code (in upper case) and both times" \
  "0 Revision number (UUID): $CODE Created: Fri Jan  2 00:00:00 1970 Last saved: Fri Jan  2 00:00:00 1970" \
  "$rc $(TZ=UTC msiinfo suminfo "$M/p.msi" | grep -E '^(Revision number|Created|Last saved)' | tr '\n' ' ' | sed 's/ $//')"
check_eq "msi-summary: only those bytes change (at most 38 + 2 x 8), the size stays, the tables read" \
  "size kept, tables read, few bytes" \
  "$([ "$(stat -c %s "$M/p.msi")" = "$(stat -c %s "$A/out/VURScanner-$VERSION-x86.msi")" ] && echo size kept || echo size changed), $(
     msiinfo export "$M/p.msi" Property >/dev/null 2>&1 && echo tables read || echo tables unreadable), $(
     [ "$(cmp -l "$M/p.msi" "$A/out/VURScanner-$VERSION-x86.msi" | wc -l)" -le 54 ] && echo few bytes || echo many bytes)"
printf 'not a compound file\n' > "$M/text.msi"
head -c 4096 "$A/out/VURScanner-$VERSION-x86.msi" > "$M/cut.msi"
/usr/bin/python3 - "$A/out/VURScanner-$VERSION-x86.msi" "$M/nosummary.msi" <<'EOF'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
name = "\x05SummaryInformation".encode("utf-16-le")
at = data.index(name)              # the directory entry's name: rename the stream
data[at + 2:at + 4] = "X".encode("utf-16-le")
open(sys.argv[2], "wb").write(data)
EOF
refusals=""
for f in text cut nosummary; do
  cp "$M/$f.msi" "$M/$f.orig"
  msg=$($SUMMARY "$M/$f.msi" "$CODE" 0 2>&1); rc=$?
  [ $rc -eq 1 ] && grep -q 'refused, left as it was: ' <<<"$msg" && cmp -s "$M/$f.msi" "$M/$f.orig" ||
    refusals+="$f: exit code $rc, '$msg'"$'\n'
done
[ -z "$(find "$M" -name '.msi-summary.*')" ] || refusals+="a temporary file was left behind"$'\n'
check_eq "msi-summary: refuses a text file, a cut MSI and one without summary information, leaving each as it was" \
  "" "$refusals"

finish
