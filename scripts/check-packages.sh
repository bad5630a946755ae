#!/usr/bin/env bash
# Builds the Debian packages of a Linux build folder configured with
# -DCMAKE_INSTALL_PREFIX=/usr, checks them with lintian (no errors), unpacks
# them into a throw-away root and runs from there: the tools' --version, and
# C and C++ consumers built through pkg-config and find_package against that
# root. Usage: check-packages.sh [BUILD_DIR] (default build/linux)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$(realpath "${1:-build/linux}")
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
if [ "$prefix" != /usr ]; then
  echo "check-packages: $build is configured for $prefix; packages need -DCMAKE_INSTALL_PREFIX=/usr" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "check-packages: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/debs" >/dev/null)
debs=("$work"/debs/*.deb)
[ ${#debs[@]} -eq 3 ] || fail "expected 3 packages, got ${#debs[@]}"
for d in "${debs[@]}"; do echo "  $(basename "$d") $(stat -c %s "$d") bytes"; done

# Warnings are reported, errors fail.
lintian --fail-on error --tag-display-limit 0 "${debs[@]}"

listing() { dpkg-deb -c "$work/debs/$1"_*.deb | awk '{print $6}'; }
expect() { # PACKAGE PATH...
  local pkg=$1; shift
  local files; files=$(listing "$pkg")
  for f in "$@"; do grep -qx "./$f" <<<"$files" || fail "$pkg lacks $f"; done
}
expect libvexsrvapi1 "usr/$libdir/libvexsrvapi.so.1"
expect libvexsrvapi-dev usr/include/vexsrvapi.h "usr/$libdir/libvexsrvapi.so" "usr/$libdir/pkgconfig/vexsrvapi.pc" \
  "usr/$libdir/cmake/vexsrvapi/vexsrvapiConfig.cmake"
expect tidewell-taskd usr/bin/tidewell-taskd usr/bin/vexsrv usr/lib/systemd/system/tidewell-taskd@.service \
  usr/share/man/man8/tidewell-taskd.8.gz
if [ -f tools/vexsrv/vexsrv.1 ]; then expect tidewell-taskd usr/share/man/man1/vexsrv.1.gz; fi
if [ -f tools/vexsrv/vexsrv.bash-completion ]; then
  expect tidewell-taskd usr/share/bash-completion/completions/vexsrv
fi
dpkg-deb -f "$work/debs"/libvexsrvapi1_*.deb Package | grep -qx libvexsrvapi1 || fail "runtime package name"
dpkg-deb --ctrl-tarfile "$work/debs"/libvexsrvapi1_*.deb | tar -xO ./shlibs | grep -q '^libvexsrvapi 1 libvexsrvapi1 ' ||
  fail "libvexsrvapi1 has no shlibs line for libvexsrvapi.so.1"

# A throw-away root holding the three packages.
sysroot="$work/root"
for d in "${debs[@]}"; do dpkg-deb -x "$d" "$sysroot"; done
# Every file the build installs is in some package: an install rule without a
# component of the packages would silently be left out.
DESTDIR="$work/full" cmake --install "$build" >/dev/null
missing=$(comm -23 <(cd "$work/full" && find . ! -type d | sort) <(cd "$sysroot" && find . ! -type d | sort))
[ -z "$missing" ] || fail "installed but in no package (give the install rule a COMPONENT): $missing"
for f in usr/bin/tidewell-taskd usr/bin/vexsrv "usr/$libdir/libvexsrvapi.so.1"; do
  file -L "$sysroot/$f" | grep -q ', stripped' || fail "$f is not stripped"
done
# The unit as systemd parses it: every key known, every value valid (the
# unpacked root has no sysinit.target, /bin/kill or man: those notes aside).
if command -v systemd-analyze >/dev/null; then
  verify=$(systemd-analyze verify --root="$sysroot" tidewell-taskd@_check.service 2>&1 |
    grep -v 'sysinit.target not found\|/bin/kill is not executable\|man tidewell-taskd(8). failed' || true)
  [ -z "$verify" ] || fail "systemd-analyze verify: $verify"
else
  echo "  (no systemd-analyze here: the unit is not verified)"
fi
export LD_LIBRARY_PATH="$sysroot/usr/$libdir"
"$sysroot/usr/bin/vexsrv" --version
"$sysroot/usr/bin/tidewell-taskd" --version

# The consumers against the unpacked packages, with the packaged service.
CONSUMER_ROOT="$sysroot" "$root/tests/consumer/run.sh" "$build" "$root" linux "$prefix" "$libdir" \
  "$sysroot/usr/bin/tidewell-taskd"
echo "packages checked"
