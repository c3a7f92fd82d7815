#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds a Debian binary package from this working tree in build/deb, and lists what it holds:
# the board's package railkit, cross-built for armhf unless another architecture is given, or
# with --lan the server machine's package railkit-lan, built for this machine. Each build
# replaces only its own package, so both can lie side by side.
# Usage: scripts/build-deb.sh [arch]
#        scripts/build-deb.sh --lan
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
out=$top/build/deb
base=$(dpkg-parsechangelog -l "$top/debian/changelog" -S Version)
# The version follows the source, so that a newer tree's package installs as an upgrade:
# <changelog's>+<date of the last commit>.<number of commits>.g<its hash>, and .local<time of
# the build> when tracked files were changed since; without git, the date of the newest file
# and 0 commits. Every date is UTC. KIT_DEB_VERSION sets another version.
source_version() {
    local date count hash newest
    if [ "$(git -C "$top" rev-parse --show-toplevel 2>/dev/null)" = "$top" ] &&
        git -C "$top" rev-parse --verify -q HEAD >/dev/null 2>&1; then
        date=$(TZ=UTC git -C "$top" log -1 --date=format-local:%Y%m%d --format=%cd)
        count=$(git -C "$top" rev-list --count HEAD)
        hash=$(git -C "$top" rev-parse --short=7 HEAD)
        printf '%s+%s.%s.g%s' "$base" "$date" "$count" "$hash"
        git -C "$top" diff --quiet HEAD -- 2>/dev/null || printf '.local%s' "$(date -u +%Y%m%d%H%M%S)"
    else
        newest=$(find "$top" -path "$top/build" -prune -o -type f -printf '%T@\n' | sort -n | tail -n 1)
        printf '%s+%s.0' "$base" "$(date -u -d "@${newest%.*}" +%Y%m%d)"
    fi
}
version=${KIT_DEB_VERSION:-$(source_version)}
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
sed -i "1s/^\([a-z0-9.+-]*\) ([^)]*)/\1 ($version)/" "$src/debian/changelog"

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
