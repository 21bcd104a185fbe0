#!/bin/bash
# Installs what the builds need on Debian 12. `scan` needs only the native
# compiler; `fleet` also the libraries vurfleet links (SQLite, CLI11,
# nlohmann-json, libcrypto, libpq, ICU, libcsv) and dpkg-shlibdeps, for the .deb; `release` the
# 32-bit mingw-w64 compiler, wixl, which builds the MSI, python3 for the ZIP
# and the MSI's summary, and osslsigncode, which signs; `test` everything of
# those, Wine (the 64-bit and the 32-bit loader, so the product runs under
# WoW64), clang for the fuzzers, the sqlite3 shell, PostgreSQL 15 (the
# server the vurfleet steps start in a folder of their own), and what the
# package tests use: lintian, mandoc's lint and man, msitools and pefile;
# Chromium and a font, for the report page's browser test; promtool (in
# prometheus), which checks what `vurfleet metrics` writes; and
# qemu-user where the 32-bit steps are emulated.
#
# A mirror's bad minute doesn't end the run: `apt-get update` is tried again
# while an index fails, and the install then goes on with the lists apt has.
# When a needed package is still not installable, the script installs the
# others, and its last lines, each starting "install-deps: ", name each index
# that failed and each package that can't be installed, with apt's reasons;
# it exits 1. The one exception is the 32-bit loader (wine32:i386), which an
# i386 index mid-sync makes uninstallable while everything else installs:
# then the script installs the rest, says so in the same kind of lines and
# exits 3, and scripts/test.sh runs every step but those that run 32-bit
# programs, which it counts as skipped with the reason. VUR_APT_UPDATE_TRIES
# (3) and VUR_APT_UPDATE_PAUSE (60 s) set the tries.
. "$(dirname "$0")/usage.sh"
usage_check '[scan|fleet|release|test]' '' "$@"
set -euo pipefail
what=${1:-scan}
packages=(cmake g++ make)
fleet=(libsqlite3-dev libpq-dev libicu-dev pkg-config libcli11-dev nlohmann-json3-dev libssl-dev libcsv-dev dpkg-dev)
if [ "$what" = test ]; then
  packages+=("${fleet[@]}" sqlite3 postgresql-15 postgresql-client-15 googletest libgtest-dev libbenchmark-dev time strace
             g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
             binutils-mingw-w64-i686
             wine64 wine32:i386 clang-14 libclang-rt-14-dev
             lintian mandoc man-db wixl msitools python3-pefile osslsigncode openssl git
             chromium fonts-dejavu-core prometheus)
elif [ "$what" = fleet ]; then
  packages+=("${fleet[@]}")
elif [ "$what" = release ]; then
  packages+=(g++-mingw-w64-i686-posix binutils-mingw-w64-i686 wixl python3 osslsigncode openssl)
fi
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
# `apt-get update` is tried this often, this many seconds apart, while an index
# fails to download (a mirror in the middle of a sync answers again minutes
# later); apt itself retries each download too (Acquire::Retries).
update_tries=${VUR_APT_UPDATE_TRIES:-3}
update_pause=${VUR_APT_UPDATE_PAUSE:-60}
apt_out=$(mktemp /tmp/install-deps.XXXXXX)
trap 'rm -f "$apt_out"' EXIT

# say TEXT: a line of this script's own. When it stops, its last such lines
# say what failed and why; scripts/test.sh shows them above its count.
say() { printf 'install-deps: %s\n' "$*" >&2; }

# failed_indexes FILE: from apt-get update's output, "URL: why" for each index
# that could not be fetched, and any other error, one a line.
failed_indexes() {
  sed -n -e '/^E: Some index files failed to download/d' \
         -e 's/^[EW]: Failed to fetch \([^ ]*\)  *\(.*\)$/\1: \2/p' -e 's/^E: //p' "$1" |
    sed 's/ *\[IP: [^]]*\]$//'
}

# update: apt-get update, tried again while an index fails. Indexes that still
# fail are left in `stale` ("URL: why"); the install then goes on with the
# lists apt has, and stops only if a package it needs is not installable.
stale=()
update() {
  local try rc
  for ((try = 1; try <= update_tries; try++)); do
    if [ "$try" -gt 1 ]; then
      say "apt-get update: ${#stale[@]} index(es) failed; try $try of $update_tries in $update_pause s"
      sleep "$update_pause"
    fi
    rc=0
    "${sudo_cmd[@]}" apt-get update -qq -o Acquire::Retries=3 -o DPkg::Lock::Timeout=600 \
      >"$apt_out" 2>&1 || rc=$?
    mapfile -t stale < <(failed_indexes "$apt_out")
    [ "$rc" -ne 0 ] && [ ${#stale[@]} -eq 0 ] && stale=("apt-get update: exit code $rc")
    [ ${#stale[@]} -eq 0 ] && return 0
  done
  sed 's/^/    /' "$apt_out" >&2
  local s
  for s in "${stale[@]}"; do say "going on without a fresh index: $s"; done
}

# apt_install [-t SUITE] PKG...: installs; apt's output is left in $apt_out.
apt_install() {
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    -o DPkg::Lock::Timeout=600 "$@" >"$apt_out" 2>&1
}

# refusal PKG [-t SUITE]: nothing, and status 0, when apt would install PKG;
# else apt's reason in one line: the first unmet dependency of what PKG
# would bring (and how many more there are), or apt's error.
refusal() {
  local out
  out=$(LC_ALL=C apt-get install -s --no-install-recommends "${@:2}" "$1" 2>&1) && return 0
  printf '%s\n' "$out" | awk '
    /^ [^ ]+ : / { pkg = $1 }
    /^ +(Pre-)?Depends: |^ [^ ]+ : (Pre-)?Depends: / {
      sub(/^ *([^ ]+ : )?/, ""); if (!unmet++) first = "unmet: " pkg " " $0 }
    /^E: / && !/Unable to correct problems|pkgProblemResolver/ && !error { error = substr($0, 4) }
    END {
      if (unmet) print first (unmet > 1 ? ", and " unmet - 1 " more" : "")
      else if (error) print error
      else print "apt gives no reason" }'
  return 1
}

# stop TEXT: the last lines: each index that failed, then what stopped the
# install. Exits 1.
stop() {
  local s
  for s in "${stale[@]}"; do say "index not updated after $update_tries tries: $s"; done
  say "stopped: $*"
  exit 1
}

# The package whose refusal does not stop the set-up (see above).
loader32=wine32:i386
loader32_refused=""

# install_all [-t SUITE] PKG...: installs them all or stops. When some are not
# installable, the others are installed all the same and the stop names each
# refused package with apt's reason; a refused 32-bit loader alone is left in
# loader32_refused instead.
install_all() {
  local opts=() p why refused=() installable=()
  if [ "$1" = -t ]; then opts=(-t "$2"); shift 2; fi
  apt_install "${opts[@]}" "$@" && return 0
  for p in "$@"; do
    if why=$(refusal "$p" "${opts[@]}"); then installable+=("$p")
    else refused+=("$p ($why)"); fi
  done
  if [ ${#refused[@]} -eq 0 ]; then
    sed 's/^/    /' "$apt_out" >&2
    stop "apt-get install failed: $(sed -n 's/^E: //p' "$apt_out" | tail -n 1)"
  fi
  if [ ${#installable[@]} -gt 0 ] && ! apt_install "${opts[@]}" "${installable[@]}"; then
    sed 's/^/    /' "$apt_out" >&2
  fi
  for p in "${refused[@]}"; do say "not installable: $p"; done
  if [ "$what" = test ] && [ ${#refused[@]} -eq 1 ] && [ "${refused[0]%% (*}" = "$loader32" ]; then
    loader32_refused=${refused[0]}
    return 0
  fi
  stop "${#refused[@]} package(s) not installable: ${refused[*]%% (*}"
}

# wine32 is an i386 package: the architecture must be known to dpkg first.
need_update=0
if [ "$what" = test ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
  need_update=1
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ "$need_update" -eq 1 ]; then
  update
fi
if [ ${#missing[@]} -gt 0 ]; then
  install_all "${missing[@]}"
fi

# The 32-bit test steps run under qemu-user where the kernel can't run i386
# code, or when VUR_TEST_I386=qemu asks (see scripts/test.sh). Debian 12's
# qemu-user 7.2 passes Wine's MAP_FIXED_NOREPLACE reservations on as mere
# hints, and each 32-bit process then takes about a minute to start; the
# backport (10.0) takes about a second. So only then, bookworm-backports
# becomes a source (its packages are installed only when asked for by name)
# and qemu-user comes from it. No binfmt registration is installed with it:
# tests/qemu_i386.sh makes its own, private to the test.
if [ "$what" = test ] && [ -z "$loader32_refused" ]; then
  case ${VUR_TEST_I386:-auto} in
    qemu) emulate=1 ;;
    native) emulate=0 ;;
    *) emulate=0; /usr/lib/wine/wine --version >/dev/null 2>&1 || emulate=1 ;;
  esac
  if [ "$emulate" -eq 1 ] && ! dpkg --compare-versions \
       "$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null)" ge 1:10; then
    backports=/etc/apt/sources.list.d/bookworm-backports.sources
    if ! grep -rqsE '^[^#]*bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
      printf '%s\n' 'Types: deb' 'URIs: http://deb.debian.org/debian' 'Suites: bookworm-backports' \
        'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' |
        "${sudo_cmd[@]}" tee "$backports" >/dev/null
    fi
    update
    install_all -t bookworm-backports qemu-user
  fi
fi

if [ -n "$loader32_refused" ]; then
  for s in "${stale[@]}"; do say "index not updated after $update_tries tries: $s"; done
  say "going on without the 32-bit loader ($loader32): the steps that run 32-bit programs are skipped"
  exit 3
fi
