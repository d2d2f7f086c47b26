#!/usr/bin/env bash
# Builds modemwatchd_<version>_<arch>.deb around an already built static binary.
#   scripts/build-deb.sh ARCH BINARY [OUTDIR]     e.g. armhf build-arm/modemwatchd
set -euo pipefail
cd "$(dirname "$0")/.."
arch=$1
binary=$2
outdir=${3:-build-deb}
version=$(sed -n 's/^project(modemwatchd VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
case $arch in
    armhf) strip=arm-linux-gnueabi-strip ;;
    amd64) strip=strip ;;
    *) echo "build-deb: no toolchain known for $arch" >&2; exit 2 ;;
esac

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
doc=$root/usr/share/doc/modemwatchd
install -d "$root/DEBIAN" "$root/usr/sbin" "$root/lib/systemd/system" "$root/etc/logrotate.d" \
    "$root/usr/share/man/man8" "$doc/examples" "$root/usr/share/lintian/overrides"
install -m 0755 "$binary" "$root/usr/sbin/modemwatchd"
$strip --strip-all --remove-section=.comment --remove-section=.note "$root/usr/sbin/modemwatchd"
install -m 0644 packaging/modemwatchd.service "$root/lib/systemd/system/modemwatchd.service"
install -m 0644 packaging/modemwatchd.logrotate "$root/etc/logrotate.d/modemwatchd"
gzip -9n <packaging/modemwatchd.8 >"$root/usr/share/man/man8/modemwatchd.8.gz"
gzip -9n <packaging/changelog >"$doc/changelog.gz"
install -m 0644 packaging/copyright "$doc/copyright"
install -m 0644 packaging/90-gsmmodem.rules "$doc/examples/90-gsmmodem.rules"
install -m 0644 packaging/lintian-overrides "$root/usr/share/lintian/overrides/modemwatchd"
chmod 0644 "$root"/usr/share/man/man8/*.gz "$doc/changelog.gz"

echo /etc/logrotate.d/modemwatchd >"$root/DEBIAN/conffiles"
cat >"$root/DEBIAN/control" <<CONTROL
Package: modemwatchd
Version: $version
Architecture: $arch
Maintainer: modemwatchd developers <maintainers@users.noreply.c-seed-d23f9295.example>
Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)
Depends: smstools
Recommends: logrotate
Section: comm
Priority: optional
Description: keeps smstools in line with the GSM modems plugged in
 modemwatchd supervises the smstools SMS service on SMS gateway boxes with USB
 GSM modems. Every 30 seconds it compares the modems present in /dev with the
 ports configured in /etc/smsd.conf and the ports smsd reports blocked, and
 when they disagree it rewrites /etc/smsd.conf and restarts smstools. It also
 publishes the number of receiving ports in /mnt/ModemCount.
 .
 The binary is linked statically, so one package serves every Raspbian board
 from the ARMv6 Pi 1 and Zero up.
CONTROL
(cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z | xargs -0 md5sum) >"$root/DEBIAN/md5sums"
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums" "$root/DEBIAN/conffiles"

mkdir -p "$outdir"
deb=$outdir/modemwatchd_${version}_${arch}.deb
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
echo "$deb"
