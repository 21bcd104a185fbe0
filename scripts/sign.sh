#!/bin/bash
# Signs Windows files (a program, an MSI) with Authenticode, SHA-256, by
# osslsigncode, with the organisation's certificate:
#
#   VUR_SIGN_PKCS12          the PKCS#12 file: the certificate, its chain and key
#   VUR_SIGN_PASSWORD_FILE   a file that holds that file's password (a line end
#                            after it is ignored)
#   VUR_SIGN_TIMESTAMP_URL   optional: an RFC 3161 time-stamp authority, so that
#                            the signature stays valid after the certificate expires
#
#   sign.sh --check          exits 0 when signing is asked for and can be done,
#                            1 when it is not asked for (neither file given),
#                            2 with the reason when it is asked for but can't be
#   sign.sh FILE...          signs each FILE in place
#
# A file is signed into a temporary file beside it, which replaces it only
# when osslsigncode succeeded: on any failure FILE is left as it was, the
# temporary file is removed, and the script stops with the reason.
. "$(dirname "$0")/usage.sh"
usage_check '--check | FILE...' '--check' "$@"
set -euo pipefail

pkcs12=${VUR_SIGN_PKCS12:-}
password=${VUR_SIGN_PASSWORD_FILE:-}

# check: the reason signing can't be done, or nothing when it can.
check() {
  if [ -z "$pkcs12" ] || [ -z "$password" ]; then
    echo "VUR_SIGN_PKCS12 and VUR_SIGN_PASSWORD_FILE go together: only $( [ -n "$pkcs12" ] &&
      echo VUR_SIGN_PKCS12 || echo VUR_SIGN_PASSWORD_FILE) is set"
  elif [ ! -f "$pkcs12" ] || [ ! -r "$pkcs12" ]; then
    echo "the PKCS#12 file $pkcs12 (VUR_SIGN_PKCS12) is missing or unreadable"
  elif [ ! -f "$password" ] || [ ! -r "$password" ]; then
    echo "the password file $password (VUR_SIGN_PASSWORD_FILE) is missing or unreadable"
  elif ! opens_pkcs12; then
    echo "the password in $password does not open $pkcs12, or that is no PKCS#12 file"
  fi
}

# opens_pkcs12: whether the password opens the PKCS#12 file. The password is
# what osslsigncode reads: the whole file but the line ends at its end.
opens_pkcs12() {
  local pass
  pass=$(cat -- "$password"; echo .)
  pass=${pass%.}
  while [[ $pass == *$'\n' || $pass == *$'\r' ]]; do pass=${pass%?}; done
  VUR_SIGN_CHECK=$pass openssl pkcs12 -in "$pkcs12" -passin env:VUR_SIGN_CHECK -noout >/dev/null 2>&1 ||
    VUR_SIGN_CHECK=$pass openssl pkcs12 -legacy -in "$pkcs12" -passin env:VUR_SIGN_CHECK -noout >/dev/null 2>&1
}

if [ "${1:-}" = --check ]; then
  [ $# -eq 1 ] || { echo "usage: $0 --check | FILE..." >&2; exit 2; }
  [ -z "$pkcs12" ] && [ -z "$password" ] && exit 1
  reason=$(check)
  [ -z "$reason" ] && exit 0
  echo "sign.sh: cannot sign: $reason" >&2
  exit 2
fi
if [ $# -eq 0 ]; then
  echo "usage: $0 --check | FILE..." >&2
  exit 2
fi
reason=$(check)
[ -z "$reason" ] || { echo "sign.sh: cannot sign: $reason" >&2; exit 2; }

tmp=""
trap '[ -z "$tmp" ] || rm -f "$tmp" "$tmp.log"' EXIT
for file in "$@"; do
  [ -f "$file" ] || { echo "sign.sh: no file $file to sign" >&2; exit 2; }
  tmp=$(mktemp "$file.signing.XXXXXX")
  rm -f "$tmp"   # osslsigncode writes its output itself
  args=(sign -pkcs12 "$pkcs12" -readpass "$password" -h sha256 -n VURScanner)
  [ -n "${VUR_SIGN_TIMESTAMP_URL:-}" ] && args+=(-ts "$VUR_SIGN_TIMESTAMP_URL")
  if ! osslsigncode "${args[@]}" -in "$file" -out "$tmp" >"$tmp.log" 2>&1 || [ ! -s "$tmp" ]; then
    echo "sign.sh: osslsigncode could not sign $file; it is left unsigned. osslsigncode said:" >&2
    sed 's/^/    /' "$tmp.log" >&2
    exit 1
  fi
  chmod --reference="$file" "$tmp"
  mv "$tmp" "$file"
  rm -f "$tmp.log"
  tmp=""
done
