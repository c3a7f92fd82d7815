#!/bin/sh
# Builds a Debian binary package from this working tree in build/deb, and lists what it holds:
# the board's package railkit, cross-built for armhf unless another architecture is given, or
# with --lan the server machine's package railkit-lan, built for this machine. Each build
# replaces only its own package, so both can lie side by side.
# Usage: scripts/build-deb.sh [arch]
#        scripts/build-deb.sh --lan
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
out=$top/build/deb
version=$(dpkg-parsechangelog -l "$top/debian/changelog" -S Version)
if [ "${1:-}" = --lan ]; then
    # The build profile pkg.railkit.lan builds railkit-lan and leaves railkit out (debian/control).
    package=railkit-lan arch=$(dpkg --print-architecture) profiles=nocheck,pkg.railkit.lan
else
    package=railkit arch=${1:-armhf} profiles=nocheck
fi
# A cross build leaves kit-monitor's live page out, and with it the page's libraries.
[ "$arch" = "$(dpkg --print-architecture)" ] || profiles=$profiles,cross
src=$out/$package-$version
deb=$out/${package}_${version}_$arch.deb

# dpkg-buildpackage writes next to the source folder, so the source is a copy inside build/.
rm -rf "$src" "$deb"
mkdir -p "$src"
tar -C "$top" --exclude=./build --exclude=./.git --exclude=./.cache -cf - . | tar -C "$src" -xf -

# dh_shlibdeps learns the board's C library from its packages unpacked, not installed here.
if [ "$arch" = armhf ] && [ "$(dpkg --print-architecture)" != armhf ]; then
    shlibs=$("$top/scripts/debian_parts.py" get --control armhf shlibs libc6 libgcc-s1)
    KIT_SHLIBDEPS_DIRS=$(ls -d "$shlibs"/*/ | tr '\n' ' ')
    export KIT_SHLIBDEPS_DIRS
fi

# The package's tests run on the build machine only; a cross build cannot run them, and
# the nocheck profile also leaves out their build dependencies.
(cd "$src" && DEB_BUILD_OPTIONS="nocheck ${DEB_BUILD_OPTIONS:-}" dpkg-buildpackage -a "$arch" -P"$profiles" -us -uc -b)
rm -rf "$src"

echo "== $deb"
dpkg -I "$deb"
dpkg -c "$deb"
