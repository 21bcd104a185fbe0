#!/usr/bin/env bash
# scripts/install-deps.sh against a mirror that misbehaves: apt-get, dpkg and
# dpkg-query are stand-ins on PATH that play a mirror in the middle of a sync
# (an index of unexpected size), packages whose dependencies that index
# held (the 32-bit loader, which the set-up goes on without, and another,
# which stops it), a package no index knows, and a dpkg that fails. Each case checks
# what the script ran, its exit code and its last lines; the last case runs
# scripts/test.sh, which must stop with those lines right above its count.
#
#   install_deps_test.sh
#
# Changes nothing on the machine. Prints one line per check and ends with
# "N passed, M failed".
. "$(dirname "$0")/../scripts/usage.sh"
usage_check '' '' "$@"
set -u
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SRC=$(cd "$HERE/.." && pwd)
. "$HERE/package/checks.sh"

WORK=$(mktemp -d /tmp/vur_deps.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/bin"

INDEX=http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz
UNMET='Depends: libwine:i386 (= 8.0~repack-4+deb12u1) but 8.0~repack-4 is to be installed'

# The stand-ins read the case from STUB_* variables and append each apt-get
# call to $WORK/calls. STUB_UPDATE_FAILS updates fail before one succeeds;
# STUB_MISSING are not installed; STUB_BROKEN have unmet dependencies;
# STUB_UNKNOWN are in no index; STUB_DPKG_FAILS makes every real install fail.
cat > "$WORK/bin/apt-get" <<EOF
#!/bin/bash
echo "\$*" >> "$WORK/calls"
has() { [[ " \$2 " == *" \$1 "* ]]; }
case \$1 in
  update)
    n=\$(cat "$WORK/update-fails")
    [ "\$n" -gt 0 ] || exit 0
    echo \$((n - 1)) > "$WORK/update-fails"
    echo 'E: Failed to fetch $INDEX  File has unexpected size (283512 != 283640). Mirror sync in progress? [IP: 192.0.2.1 80]'
    echo '   Hashes of expected file:'
    echo '    - Filesize:283640 [weak]'
    echo 'E: Some index files failed to download. They have been ignored, or old ones used instead.'
    exit 100 ;;
  install)
    simulate=0 rc=0
    for a in "\$@"; do
      [ "\$a" = -s ] && simulate=1
      if has "\$a" "\${STUB_BROKEN:-}"; then
        echo 'The following packages have unmet dependencies:'
        echo " \$a : $UNMET"
        echo '               Depends: zlib1g:i386 (>= 1:1.1.4) but it is not going to be installed'
        echo 'E: Unable to correct problems, you have held broken packages.'
        rc=100
      elif has "\$a" "\${STUB_UNKNOWN:-}"; then
        echo "E: Unable to locate package \$a"; rc=100
      fi
    done
    [ \$rc -eq 0 ] && [ \$simulate -eq 0 ] && [ -n "\${STUB_DPKG_FAILS:-}" ] &&
      { echo 'E: Sub-process /usr/bin/dpkg returned an error code (1)'; rc=100; }
    exit \$rc ;;
esac
exit 0
EOF
cat > "$WORK/bin/dpkg-query" <<'EOF'
#!/bin/bash
p=${!#}
[[ " ${STUB_MISSING:-} " == *" $p "* ]] && exit 1
echo "install ok installed"
EOF
cat > "$WORK/bin/dpkg" <<'EOF'
#!/bin/bash
[ "$1" = --print-foreign-architectures ] && echo i386
exit 0
EOF
printf '#!/bin/bash\nexec "$@"\n' > "$WORK/bin/sudo"
chmod +x "$WORK"/bin/*

# run_case WHAT: runs install-deps.sh WHAT under the stand-ins; leaves its
# output in $WORK/out, its own lines in $WORK/said, its apt-get calls in
# $WORK/calls and its exit code in RC.
run_case() {
  : > "$WORK/calls"
  echo "${STUB_UPDATE_FAILS:-0}" > "$WORK/update-fails"
  PATH=$WORK/bin:$PATH VUR_APT_UPDATE_PAUSE=0 VUR_TEST_I386=native \
    bash "$SRC/scripts/install-deps.sh" "$1" >"$WORK/out" 2>&1
  RC=$?
  grep '^install-deps: ' "$WORK/out" > "$WORK/said"
}
# The apt-get calls of the last case, one word each: update, or install and
# its packages ("-s" when simulated).
calls() { sed -e 's/^update .*/update/' -e 's/ -[^s ][^ ]*//g; s/ -o//g; s/ DPkg::[^ ]*//g' "$WORK/calls" | tr '\n' '|'; }

# ---------------------------------------------------------------------------

run_case fleet
check_eq "nothing missing: apt-get is not called, exit code 0" "0 " "$RC $(calls)"

STUB_MISSING="cmake libpq-dev" STUB_UPDATE_FAILS=2 run_case fleet
check_eq "a sync that ends: update tried three times, then the install; exit code 0" \
  "0 update|update|update|install cmake libpq-dev|" "$RC $(calls)"
check_eq "a sync that ends: the retries are said, and no failure" \
  "install-deps: apt-get update: 1 index(es) failed; try 2 of 3 in 0 s|install-deps: apt-get update: 1 index(es) failed; try 3 of 3 in 0 s" \
  "$(paste -sd '|' "$WORK/said")"

STUB_MISSING="cmake" STUB_UPDATE_FAILS=9 run_case fleet
check_eq "a sync that lasts, packages installable: three updates, then the install; exit code 0" \
  "0 update|update|update|install cmake|" "$RC $(calls)"
check_eq "a sync that lasts, packages installable: the last line names the index and why" \
  "install-deps: going on without a fresh index: $INDEX: File has unexpected size (283512 != 283640). Mirror sync in progress?" \
  "$(tail -n 1 "$WORK/said")"

STUB_MISSING="cmake wine32:i386 strace" STUB_BROKEN=wine32:i386 STUB_UPDATE_FAILS=9 run_case test
check_eq "the 32-bit loader the index held: exit code 3, the set-up goes on without it" 3 "$RC"
check_eq "the 32-bit loader the index held: each is simulated, the others installed all the same" \
  "update|update|update|install cmake strace wine32:i386|install -s cmake|install -s strace|install -s wine32:i386|install cmake strace|" \
  "$(calls)"
tail -n 3 "$WORK/out" > "$WORK/last"
printf '%s\n' "install-deps: not installable: wine32:i386 (unmet: wine32:i386 $UNMET, and 1 more)" \
  "install-deps: index not updated after 3 tries: $INDEX: File has unexpected size (283512 != 283640). Mirror sync in progress?" \
  "install-deps: going on without the 32-bit loader (wine32:i386): the steps that run 32-bit programs are skipped" \
  > "$WORK/want"
check_same "the 32-bit loader the index held: the last lines name it, the index and why" \
  "$WORK/want" "$WORK/last"

STUB_MISSING="cmake wine32:i386 strace" STUB_BROKEN="wine32:i386 strace" STUB_UPDATE_FAILS=9 run_case test
check_eq "another package the index held: exit code 1" 1 "$RC"
tail -n 4 "$WORK/out" > "$WORK/last"
printf '%s\n' "install-deps: not installable: strace (unmet: strace $UNMET, and 1 more)" \
  "install-deps: not installable: wine32:i386 (unmet: wine32:i386 $UNMET, and 1 more)" \
  "install-deps: index not updated after 3 tries: $INDEX: File has unexpected size (283512 != 283640). Mirror sync in progress?" \
  "install-deps: stopped: 2 package(s) not installable: strace wine32:i386" > "$WORK/want"
check_same "another package the index held: the last lines name each package, the index and why" \
  "$WORK/want" "$WORK/last"

STUB_MISSING="cmake libcli11-dev" STUB_UNKNOWN=libcli11-dev run_case fleet
check_eq "a package no index knows: exit code 1, the last two lines name it and why" \
  "1 install-deps: not installable: libcli11-dev (Unable to locate package libcli11-dev)|install-deps: stopped: 1 package(s) not installable: libcli11-dev" \
  "$RC $(tail -n 2 "$WORK/said" | paste -sd '|')"

STUB_MISSING="cmake" STUB_DPKG_FAILS=1 run_case fleet
check_eq "dpkg fails, every package installable: exit code 1, apt's error is the last line" \
  "1 install-deps: stopped: apt-get install failed: Sub-process /usr/bin/dpkg returned an error code (1)" \
  "$RC $(tail -n 1 "$WORK/out")"

# scripts/test.sh stops at the set-up, and its last lines are the set-up's
# own, then the count.
: > "$WORK/calls"; echo 9 > "$WORK/update-fails"
STUB_MISSING="strace" STUB_BROKEN=strace PATH=$WORK/bin:$PATH VUR_APT_UPDATE_PAUSE=0 \
  VUR_TEST_I386=native bash "$SRC/scripts/test.sh" >"$WORK/test.out" 2>&1
RC=$?
tail -n 4 "$WORK/test.out" > "$WORK/last"
printf '%s\n' "install-deps: not installable: strace (unmet: strace $UNMET, and 1 more)" \
  "install-deps: index not updated after 3 tries: $INDEX: File has unexpected size (283512 != 283640). Mirror sync in progress?" \
  "install-deps: stopped: 1 package(s) not installable: strace" "0 passed, 1 failed" > "$WORK/want"
check_same "scripts/test.sh: the set-up's last lines right above the count" "$WORK/want" "$WORK/last"
check_eq "scripts/test.sh: exit code 1, no step run" "1 0" "$RC $(grep -c '^=== build' "$WORK/test.out")"

finish
