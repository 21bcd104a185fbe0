#!/bin/bash
# Builds the Debian package of the Linux scanner and of vurfleet:
#
#   package-deb.sh OUTDIR      makes OUTDIR/vurscanner_VERSION_ARCH.deb
#
# The static scanner of the `scan` preset and vurfleet of the `fleet` preset
# (built with Debian's hardening flags and linked against Debian's shared
# libraries), installed by `cmake --install` into a staging tree (the
# programs, their manual pages, the README and examples, the example in the
# machine root), with the files a Debian package carries: copyright,
# changelog, lintian overrides, md5sums, vurfleet's systemd units and the
# settings they read (/etc/default/vurfleet, a conffile), a postinst that
# makes the system user vurfleet and its /var/lib/vurfleet, and a postrm that
# removes the scanner's own status on purge. vurfleet's dependencies come from
# dpkg-shlibdeps. Name and version come from the CMake project. Prints the
# package's path as its last line.
. "$(dirname "$0")/usage.sh"
usage_check 'OUTDIR' '' "$@"
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

bash scripts/install-deps.sh fleet
mkdir -p build/deb
# vurfleet is built as Debian builds packages: dpkg-buildflags' hardening.
fleet_flags=(-DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
             -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS) -Wl,-z,now"
             -DCMAKE_MODULE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS) -Wl,-z,now")
if ! { cmake --preset scan && cmake --build --preset scan -j"$(nproc)" &&
       cmake --preset fleet "${fleet_flags[@]}" && cmake --build --preset fleet -j"$(nproc)"; } \
     >build/deb/build.log 2>&1; then
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

# The staging tree lies where dpkg-shlibdeps expects a package's files.
stage=$src/build/deb/debian/vurscanner
rm -rf "$stage"
mkdir -p "$stage"
DESTDIR=$stage cmake --install build/scan --prefix /usr >/dev/null
DESTDIR=$stage cmake --install build/fleet --prefix /usr --component fleet >/dev/null

# What dh_strip and dh_compress would do.
for program in bin/vurscanner bin/vurfleet lib/vurfleet/vurfleet-pg.so; do
  strip --remove-section=.comment --remove-section=.note --strip-unneeded "$stage/usr/$program"
done
gzip -9n "$stage/usr/share/man/man8/vurscanner.8" "$stage/usr/share/man/man1/vurfleet.1"

# vurfleet's shared libraries, as dh_shlibdeps finds them; the scanner is
# static and needs none.
mkdir -p "$stage/DEBIAN"  # marks the package's root for dpkg-shlibdeps
printf 'Source: vurscanner\n\nPackage: vurscanner\nArchitecture: any\n' > build/deb/debian/control
depends=$(cd build/deb && dpkg-shlibdeps -O debian/vurscanner/usr/bin/vurfleet \
           debian/vurscanner/usr/lib/vurfleet/vurfleet-pg.so | sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "dpkg-shlibdeps found no dependencies for vurfleet" >&2; exit 1; }

doc=$stage/usr/share/doc/vurscanner
install -m 644 packaging/deb/copyright "$doc/copyright"
{
  echo "vurscanner ($version) unstable; urgency=medium"
  echo
  echo "  * Version $version of the Linux scanner and of vurfleet."
  echo
  echo " -- $(sed -n 's/^Maintainer: //p' packaging/deb/control.in)  $(date -R -u -d "@$SOURCE_DATE_EPOCH")"
} | gzip -9n > "$doc/changelog.gz"
install -D -m 644 packaging/deb/lintian-overrides "$stage/usr/share/lintian/overrides/vurscanner"

# vurfleet's services and their timers, disabled until an administrator
# enables them, and the settings they read.
install -d "$stage/usr/lib/systemd/system"
install -m 644 packaging/deb/systemd/vurfleet-load.service packaging/deb/systemd/vurfleet-load.timer \
  packaging/deb/systemd/vurfleet-report.service packaging/deb/systemd/vurfleet-report.timer \
  "$stage/usr/lib/systemd/system/"
install -D -m 644 packaging/deb/vurfleet.default "$stage/etc/default/vurfleet"

mkdir -p "$stage/DEBIAN"
install -m 755 packaging/deb/postinst "$stage/DEBIAN/postinst"
install -m 755 packaging/deb/prerm "$stage/DEBIAN/prerm"
install -m 755 packaging/deb/postrm "$stage/DEBIAN/postrm"
install -m 644 packaging/deb/conffiles "$stage/DEBIAN/conffiles"
(cd "$stage" && find usr var -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum) \
  > "$stage/DEBIAN/md5sums"
chmod 644 "$stage/DEBIAN/md5sums"
size=$(du -sk --exclude=DEBIAN "$stage" | cut -f1)
# adduser makes the system user in the postinst.
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@SIZE@/$size/" -e "s/@DEPENDS@/adduser, $depends/" \
  packaging/deb/control.in > "$stage/DEBIAN/control"

if [ -e "$stage/var/lib/vurscanner/drives" ]; then
  echo "the staging tree holds a drives file; the package must not ship one" >&2
  exit 1
fi
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null
echo "$deb"
