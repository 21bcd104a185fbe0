#!/bin/bash
# Installs what the builds need on Debian 12. `scan` needs only the native
# compiler; `test` also needs mingw-w64, Wine and clang for the fuzzers.
set -euo pipefail
what=${1:-scan}
packages=(cmake g++ make)
if [ "$what" = test ]; then
  packages+=(googletest libgtest-dev libbenchmark-dev
             g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-win32 binutils-mingw-w64-i686
             wine64 clang-14 libclang-rt-14-dev)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
