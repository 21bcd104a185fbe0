#!/usr/bin/env bash
# The end-to-end families of the builds group, run on the program as it is
# released: the 32-bit program taken out of the release ZIP (stripped, with
# its version resource and manifest), under WoW64, against the Linux build.
#
#   packaged_e2e.sh RELEASE_DIR LINUX_EXE MAKE_PE
#
# Ends with the driver's "N passed, M failed" line.
. "$(dirname "$0")/../../scripts/usage.sh"
usage_check 'RELEASE_DIR LINUX_EXE MAKE_PE' '' "$@"
set -u
if [ $# -ne 3 ]; then
  echo "usage: $0 RELEASE_DIR LINUX_EXE MAKE_PE" >&2
  exit 2
fi
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
version=$(sed -n 's/^project(VURScanner VERSION \([0-9.]*\).*/\1/p' "$here/../../CMakeLists.txt")
zip=$(realpath "$1")/VURScanner-$version-win32.zip
unpacked=$(mktemp -d /tmp/vur_packaged.XXXXXX)
trap 'rm -rf "$unpacked"' EXIT
(cd "$unpacked" && cmake -E tar xf "$zip") || { echo "cannot unpack $zip"; echo "0 passed, 1 failed"; exit 1; }
bash "$here/../e2e/run.sh" --linux "$2" --make-pe "$3" \
  --win32 "$unpacked/VURScanner-$version-win32/VURScanner.exe" builds
