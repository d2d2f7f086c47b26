#!/usr/bin/env bash
# Builds the Debian package with Debian's own tools, from a copy of the tree in build-deb/.
#   scripts/build-deb.sh ARCH      amd64 (this machine), armhf (the 32-bit boxes) or arm64 (64-bit
#                                  Raspberry Pi OS), the two ARM ones cross-built
set -euo pipefail
cd "$(dirname "$0")/.."
arch=$1
version=$(dpkg-parsechangelog -S Version)
upstream=$(sed -n 's/^project(modemwatchd VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ "$version" = "$upstream" ] || { echo "build-deb: debian/changelog says $version, CMakeLists.txt $upstream" >&2; exit 1; }
source=build-deb/$arch/modemwatchd-$version
rm -rf "build-deb/$arch"
mkdir -p "$source"
# The files git knows, tracked or new, as they are in the work tree.
git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$source"
cross=()
[ "$arch" = "$(dpkg --print-architecture)" ] || cross=(-a"$arch")
(cd "$source" && dpkg-buildpackage -b -us -uc "${cross[@]}" >../dpkg-buildpackage.log 2>&1) || {
    tail -n 40 "build-deb/$arch/dpkg-buildpackage.log"
    exit 1
}
cp "build-deb/$arch/modemwatchd_${version}_$arch.deb" build-deb/
echo "build-deb/modemwatchd_${version}_$arch.deb"
