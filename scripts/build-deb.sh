#!/bin/sh
# Builds the Debian binary package from this working tree, cross-built for armhf unless another
# architecture is given, in build/deb, and lists what the package holds.
# Usage: scripts/build-deb.sh [arch]
set -eu
arch=${1:-armhf}
top=$(cd "$(dirname "$0")/.." && pwd)
out=$top/build/deb
version=$(dpkg-parsechangelog -l "$top/debian/changelog" -S Version)
src=$out/railkit-$version

# dpkg-buildpackage writes next to the source folder, so the source is a copy inside build/.
rm -rf "$out"
mkdir -p "$src"
tar -C "$top" --exclude=./build --exclude=./.git --exclude=./.cache -cf - . | tar -C "$src" -xf -

# dh_shlibdeps learns the board's C library from its packages unpacked, not installed here.
if [ "$arch" = armhf ] && [ "$(dpkg --print-architecture)" != armhf ]; then
    sysroot=$("$top/scripts/armhf-sysroot")
    KIT_SHLIBDEPS_DIRS=$(ls -d "$sysroot"/shlibs/*/ | tr '\n' ' ')
    export KIT_SHLIBDEPS_DIRS
fi

# The package's tests run on the build machine only; a cross build cannot run them, and
# the nocheck profile also leaves out their build dependencies.
(cd "$src" && DEB_BUILD_OPTIONS="nocheck ${DEB_BUILD_OPTIONS:-}" dpkg-buildpackage -a "$arch" -Pnocheck -us -uc -b)

deb=$out/railkit_${version}_$arch.deb
echo "== $deb"
dpkg -I "$deb"
dpkg -c "$deb"
