#!/usr/bin/env bash
# The release signed as an organisation signs it: a throwaway self-signed
# code-signing certificate made with openssl, scripts/release.sh run with it
# into OUTDIR, and then
#   - osslsigncode verifies the program (in the ZIP and in the MSI) and the
#     MSI against that certificate, and not against another one;
#   - the signed program still carries its version resource and manifest;
#   - a certificate that can't be used (one variable of two, a missing file,
#     a wrong password) stops the release before it builds anything, and a
#     signing that fails (a time-stamp authority that can't be reached)
#     stops it with OUTDIR as it was and no half-signed file anywhere.
#
#   signing_test.sh OUTDIR
#
# OUTDIR then holds the signed release, for the Windows tests that follow.
# Prints one line per check and ends with "N passed, M failed"; the exit
# status is 0 only when every check passed.
. "$(dirname "$0")/../../scripts/usage.sh"
usage_check 'OUTDIR' '' "$@"
set -u
if [ $# -ne 1 ]; then
  echo "usage: $0 OUTDIR" >&2
  exit 2
fi
mkdir -p "$1"
OUT=$(realpath "$1")
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SRC=$(cd "$HERE/../.." && pwd)
VERSION=$(sed -n 's/^project(VURScanner VERSION \([0-9.]*\).*/\1/p' "$SRC/CMakeLists.txt")
ZIP=VURScanner-$VERSION-win32.zip
MSI=VURScanner-$VERSION-x86.msi
export LANG=C.UTF-8 LC_ALL=C.UTF-8
unset VUR_SIGN_PKCS12 VUR_SIGN_PASSWORD_FILE VUR_SIGN_TIMESTAMP_URL

. "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/checks.sh"

WORK=$(mktemp -d /tmp/vur_sign.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

# cert NAME: a self-signed code-signing certificate NAME.pem, its key in
# NAME.p12 under the password in NAME.pass (with a line end, as an editor
# writes it).
cert() {
  openssl req -x509 -newkey rsa:2048 -nodes -days 7 -subj "/CN=VURScanner test signing $1" \
    -addext extendedKeyUsage=codeSigning -addext keyUsage=critical,digitalSignature \
    -keyout "$WORK/$1.key" -out "$WORK/$1.pem" >/dev/null 2>&1 &&
  echo "pass phrase of $1" > "$WORK/$1.pass" &&
  openssl pkcs12 -export -inkey "$WORK/$1.key" -in "$WORK/$1.pem" -out "$WORK/$1.p12" \
    -passout "file:$WORK/$1.pass"
}
cert org && cert other || { fail "openssl makes the throwaway certificates"; finish; }
echo "wrong pass phrase" > "$WORK/wrong.pass"

# The state of OUTDIR: its files and their hashes, and any temporary folder.
out_state() { (cd "$OUT" && find . -mindepth 1 | LC_ALL=C sort | while read -r f; do
  [ -f "$f" ] && echo "$f $(sha256sum < "$f" | cut -c1-16)" || echo "$f"; done); }
# refused NAME ENV... : release.sh stops at once with a message, OUTDIR as it was.
# The build's log is rewritten by every build that starts.
build_log() { stat -c %Y.%s "$SRC/build/win32-release/build.log" 2>/dev/null || echo none; }
refused() {
  local name=$1 before log msg rc; shift
  before=$(out_state) log=$(build_log)
  msg=$(cd "$SRC" && env "$@" bash scripts/release.sh "$OUT" 2>&1 >/dev/null); rc=$?
  check_eq "refused: $name" "exit code 1, before building, OUTDIR as it was" \
    "exit code $rc, $([ "$(build_log)" = "$log" ] && echo before building || echo after building), $(
     [ "$(out_state)" = "$before" ] && echo OUTDIR as it was || echo OUTDIR changed)"
  printf '%s\n' "$msg" | sed 's/^/    release.sh: /'
  LAST_MESSAGE=$msg
}
refused "only VUR_SIGN_PKCS12 given" VUR_SIGN_PKCS12="$WORK/org.p12"
check_eq "refused: the message names the missing variable" yes \
  "$(grep -q 'VUR_SIGN_PASSWORD_FILE' <<<"$LAST_MESSAGE" && echo yes || echo no)"
refused "a PKCS#12 file that is not there" VUR_SIGN_PKCS12="$WORK/none.p12" VUR_SIGN_PASSWORD_FILE="$WORK/org.pass"
check_eq "refused: the message names the missing file" yes \
  "$(grep -q "$WORK/none.p12.*missing" <<<"$LAST_MESSAGE" && echo yes || echo no)"
refused "a wrong password" VUR_SIGN_PKCS12="$WORK/org.p12" VUR_SIGN_PASSWORD_FILE="$WORK/wrong.pass"
check_eq "refused: the message says the password does not open the file" yes \
  "$(grep -q 'does not open' <<<"$LAST_MESSAGE" && echo yes || echo no)"

# ---------------------------------------------------------------------------
# The signed release.

export VUR_SIGN_PKCS12=$WORK/org.p12 VUR_SIGN_PASSWORD_FILE=$WORK/org.pass
(cd "$SRC" && bash scripts/release.sh "$OUT" >"$WORK/release.log" 2>&1); rc=$?
sed 's/^/    release.sh: /' "$WORK/release.log" | tail -n 8
check_eq "release: signed with the certificate, and says so" "exit code 0, signed: VURScanner.exe and $MSI" \
  "exit code $rc, $(grep -o "^signed: VURScanner.exe and $MSI" "$WORK/release.log")"
[ $rc -eq 0 ] || finish

X=$WORK/x
mkdir -p "$X/zip" "$X/msi"
(cd "$X/zip" && cmake -E tar xf "$OUT/$ZIP")
EXE=$X/zip/VURScanner-$VERSION-win32/VURScanner.exe
msiextract -C "$X/msi" "$OUT/$MSI" >/dev/null
MSI_EXE=$(find "$X/msi" -name VURScanner.exe | head -n 1)
# verify CA FILE: osslsigncode's verdict on FILE against the certificate CA
verify() { osslsigncode verify -CAfile "$WORK/$1.pem" -in "$2" >"$WORK/verify.out" 2>&1; }
for f in "$EXE" "$OUT/$MSI"; do
  verify org "$f"; rc=$?
  sed 's/^/    osslsigncode verify: /' "$WORK/verify.out" | grep -E 'Signature verification|Message digest algorithm *:|Subject:|Signing time|Succeeded|Failed' | head -n 8
  check_eq "signature: osslsigncode verify accepts $(basename "$f") against the certificate, a SHA-256 digest" \
    "exit code 0, ok, sha256" \
    "exit code $rc, $(grep -q '^Signature verification: ok' "$WORK/verify.out" && echo ok || echo 'not ok'), $(
       grep -qE '^Message digest algorithm *: SHA256' "$WORK/verify.out" && echo sha256 || echo 'no sha256')"
  verify other "$f"; rc=$?
  check_eq "signature: ... and refuses it against another certificate" "refused" \
    "$([ $rc -ne 0 ] && echo refused || echo "accepted: $(grep 'Signature verification' "$WORK/verify.out")")"
done
check_eq "signature: the MSI holds the signed program, the same bytes as the ZIP" "same" \
  "$(cmp -s "$EXE" "$MSI_EXE" && echo same || echo "different: $MSI_EXE")"
check_eq "signature: the ZIP's SHA256SUMS is of the signed program" ok \
  "$(cd "$(dirname "$EXE")" && sha256sum -c --quiet SHA256SUMS >/dev/null 2>&1 && echo ok || echo mismatch)"
check_eq "signature: the release's SHA256SUMS is of the signed files" ok \
  "$(cd "$OUT" && sha256sum -c --quiet SHA256SUMS >/dev/null 2>&1 && echo ok || echo mismatch)"
check_eq "signed program: pefile still reads its version resource ($VERSION) and its manifest" "" \
  "$(/usr/bin/python3 "$HERE/pe_resources.py" version "$EXE" "$VERSION" 2>&1; /usr/bin/python3 "$HERE/pe_resources.py" manifest "$EXE" 2>&1)"

# vurfleet alone is the .deb's program, and runs.
FLEET=vurfleet-$VERSION-linux-$(dpkg --print-architecture)
DEB=vurscanner_${VERSION}_$(dpkg --print-architecture).deb
dpkg-deb --fsys-tarfile "$OUT/$DEB" | tar -xO ./usr/bin/vurfleet > "$WORK/deb-vurfleet"
check_eq "release: $FLEET is the .deb's /usr/bin/vurfleet, in SHA256SUMS, and runs" \
  "same, listed, vurfleet $VERSION" \
  "$(cmp -s "$WORK/deb-vurfleet" "$OUT/$FLEET" && echo same), $(grep -q " $FLEET\$" "$OUT/SHA256SUMS" && echo listed), $("$OUT/$FLEET" --version 2>&1)"

# ---------------------------------------------------------------------------
# A signing that fails after the build: the time-stamp authority can't be
# reached (nothing listens on port 9 of this machine).

unsigned=$SRC/build/win32-release/VURScanner.exe
cp "$unsigned" "$WORK/copy.exe"
msg=$(VUR_SIGN_TIMESTAMP_URL=http://127.0.0.1:9/ bash "$SRC/scripts/sign.sh" "$WORK/copy.exe" 2>&1); rc=$?
check_eq "failed signing: sign.sh stops, leaves the file as it was and no temporary file" \
  "exit code 1, the same bytes, no temporary file, says why" \
  "exit code $rc, $(cmp -s "$unsigned" "$WORK/copy.exe" && echo the same bytes || echo changed), $(
     [ -z "$(find "$WORK" -maxdepth 1 -name 'copy.exe.*')" ] && echo no temporary file || echo a temporary file left), $(
     grep -q 'could not sign' <<<"$msg" && grep -q '127.0.0.1:9' <<<"$msg" && echo says why || echo "says: $msg")"
before=$(out_state)
(cd "$SRC" && VUR_SIGN_TIMESTAMP_URL=http://127.0.0.1:9/ bash scripts/release.sh "$OUT" >"$WORK/failed.log" 2>&1); rc=$?
grep 'sign.sh' "$WORK/failed.log" | sed 's/^/    release.sh: /'
check_eq "failed signing: release.sh stops, the signed release in OUTDIR as it was" "exit code 1, OUTDIR as it was" \
  "exit code $rc, $([ "$(out_state)" = "$before" ] && echo OUTDIR as it was || echo OUTDIR changed)"
check_eq "failed signing: no half-signed program in the staging folder" "none" \
  "$(find "$SRC/build/win32-release/stage" -name '*.signing.*' | grep . || echo none)"

finish
