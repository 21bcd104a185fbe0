#!/bin/bash
# Installs what the builds need on Debian 12. `scan` needs only the native
# compiler; `fleet` also the libraries vurfleet links (SQLite, CLI11,
# nlohmann-json, libcrypto, libpq, libcsv) and dpkg-shlibdeps, for the .deb; `release` the
# 32-bit mingw-w64 compiler, wixl, which builds the MSI, python3 for the ZIP
# and the MSI's summary, and osslsigncode, which signs; `test` everything of
# those, Wine (the 64-bit and the 32-bit loader, so the product runs under
# WoW64), clang for the fuzzers, the sqlite3 shell, PostgreSQL 15 (the
# server the vurfleet steps start in a folder of their own), and what the
# package tests use: lintian, mandoc's lint and man, msitools and pefile;
# Chromium and a font, for the report page's browser test; and
# qemu-user where the 32-bit steps are emulated.
set -euo pipefail
what=${1:-scan}
packages=(cmake g++ make)
fleet=(libsqlite3-dev libpq-dev pkg-config libcli11-dev nlohmann-json3-dev libssl-dev libcsv-dev dpkg-dev)
if [ "$what" = test ]; then
  packages+=("${fleet[@]}" sqlite3 postgresql-15 postgresql-client-15 googletest libgtest-dev libbenchmark-dev time strace
             g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
             binutils-mingw-w64-i686
             wine64 wine32:i386 clang-14 libclang-rt-14-dev
             lintian mandoc man-db wixl msitools python3-pefile osslsigncode openssl git
             chromium fonts-dejavu-core)
elif [ "$what" = fleet ]; then
  packages+=("${fleet[@]}")
elif [ "$what" = release ]; then
  packages+=(g++-mingw-w64-i686-posix binutils-mingw-w64-i686 wixl python3 osslsigncode openssl)
fi
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
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
  "${sudo_cmd[@]}" apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi

# The 32-bit test steps run under qemu-user where the kernel can't run i386
# code, or when VUR_TEST_I386=qemu asks (see scripts/test.sh). Debian 12's
# qemu-user 7.2 passes Wine's MAP_FIXED_NOREPLACE reservations on as mere
# hints, and each 32-bit process then takes about a minute to start; the
# backport (10.0) takes about a second. So only then, bookworm-backports
# becomes a source (its packages are installed only when asked for by name)
# and qemu-user comes from it. No binfmt registration is installed with it:
# tests/qemu_i386.sh makes its own, private to the test.
if [ "$what" = test ]; then
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
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
      -o DPkg::Lock::Timeout=600 -t bookworm-backports qemu-user >/dev/null
  fi
fi
