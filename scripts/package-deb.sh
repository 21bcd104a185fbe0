#!/bin/bash
# Builds the Debian package of the Linux scanner:
#
#   package-deb.sh OUTDIR      makes OUTDIR/vurscanner_VERSION_ARCH.deb
#
# The static scanner of the `scan` preset, installed by `cmake --install` into
# a staging tree (the program, its manual page, the README and examples, the
# example in the machine root), with the files a Debian package carries:
# copyright, changelog, lintian overrides, md5sums and a postrm that removes
# the scanner's own status on purge. Name and version come from the CMake
# project. Prints the package's path as its last line.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 OUTDIR" >&2
  exit 2
fi
mkdir -p "$1"
out=$(realpath "$1")
cd "$(dirname "$0")/.."
src=$(pwd)
umask 022

bash scripts/install-deps.sh scan
mkdir -p build/deb
if ! { cmake --preset scan && cmake --build --preset scan -j"$(nproc)"; } >build/deb/build.log 2>&1; then
  cat build/deb/build.log >&2
  exit 1
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/scan/CMakeCache.txt)
[ -n "$version" ] || { echo "no project version in build/scan/CMakeCache.txt" >&2; exit 1; }
arch=$(dpkg --print-architecture)
deb=$out/vurscanner_${version}_${arch}.deb

# The archive's time stamps and the changelog's date are those of the last
# commit, so that the same source gives the same package.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$src" log -1 --format=%ct 2>/dev/null || date +%s)
fi
export SOURCE_DATE_EPOCH

stage=$src/build/deb/stage
rm -rf "$stage"
mkdir -p "$stage"
DESTDIR=$stage cmake --install build/scan --prefix /usr >/dev/null

# What dh_strip and dh_compress would do.
strip --remove-section=.comment --remove-section=.note --strip-unneeded "$stage/usr/bin/vurscanner"
gzip -9n "$stage/usr/share/man/man8/vurscanner.8"

doc=$stage/usr/share/doc/vurscanner
install -m 644 packaging/deb/copyright "$doc/copyright"
{
  echo "vurscanner ($version) unstable; urgency=medium"
  echo
  echo "  * Version $version of the Linux scanner."
  echo
  echo " -- $(sed -n 's/^Maintainer: //p' packaging/deb/control.in)  $(date -R -u -d "@$SOURCE_DATE_EPOCH")"
} | gzip -9n > "$doc/changelog.gz"
install -D -m 644 packaging/deb/lintian-overrides "$stage/usr/share/lintian/overrides/vurscanner"

mkdir -p "$stage/DEBIAN"
install -m 755 packaging/deb/postrm "$stage/DEBIAN/postrm"
(cd "$stage" && find usr var -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum) \
  > "$stage/DEBIAN/md5sums"
chmod 644 "$stage/DEBIAN/md5sums"
size=$(du -sk --exclude=DEBIAN "$stage" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@SIZE@/$size/" \
  packaging/deb/control.in > "$stage/DEBIAN/control"

if [ -e "$stage/var/lib/vurscanner/drives" ]; then
  echo "the staging tree holds a drives file; the package must not ship one" >&2
  exit 1
fi
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null
echo "$deb"
