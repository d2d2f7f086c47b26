#!/usr/bin/env bash
# Installs a modemwatchd .deb with dpkg into a throw-away root (overlays on /usr, /etc and /var in
# a private mount namespace), then checks the installed files there: the binary's help, the
# systemd unit (systemd-analyze verify), the manual page and the logrotate file.
#   scripts/check-package.sh build-deb/modemwatchd_<version>_amd64.deb
set -euo pipefail
deb=$(realpath "$1")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

unshare --mount --propagation private bash -euo pipefail -c '
    scratch=$1 deb=$2
    for dir in usr etc var; do
        mkdir -p "$scratch/$dir-upper" "$scratch/$dir-work"
        mount -t overlay overlay -o "lowerdir=/$dir,upperdir=$scratch/$dir-upper,workdir=$scratch/$dir-work" "/$dir"
    done
    mount -t tmpfs tmpfs /run
    dpkg --install "$deb" >/dev/null
    dpkg --status modemwatchd | grep -q "^Status: install ok installed"

    help=$(/usr/sbin/modemwatchd --help)
    grep -q "^ Usage: /usr/sbin/modemwatchd \[OPTIONS\]$" <<<"$help"
    echo "installed binary answers --help"

    systemd-analyze verify /lib/systemd/system/modemwatchd.service
    echo "systemd-analyze verify: clean"

    warnings=$(man --warnings -l /usr/share/man/man8/modemwatchd.8.gz 2>&1 >/dev/null)
    [ -z "$warnings" ] || { echo "$warnings"; exit 1; }
    echo "manual page renders without warnings"

    if command -v logrotate >/dev/null; then
        # The daemon keeps its log open: rotation must copy it and truncate it in place.
        echo "a line" >/var/log/modemwatchd.log
        inode=$(stat -c %i /var/log/modemwatchd.log)
        logrotate --force --state /run/logrotate.state /etc/logrotate.d/modemwatchd
        [ "$(cat /var/log/modemwatchd.log.1)" = "a line" ]
        [ ! -s /var/log/modemwatchd.log ] && [ "$(stat -c %i /var/log/modemwatchd.log)" = "$inode" ]
        echo "logrotate copies and truncates the log in place"
    fi

    dpkg --purge modemwatchd >/dev/null
    [ ! -e /usr/sbin/modemwatchd ]
    echo "purged cleanly"
' check-package "$scratch" "$deb"
