#!/usr/bin/env bash
# Installs a modemwatchd .deb with dpkg into a throw-away root (overlays on /usr, /etc and /var and
# a fresh /run, in a private mount namespace), upgrades it over itself, removes and purges it, and
# checks each step: what the maintainer scripts asked of systemd (a policy layer keeps anything
# from starting), the installed files (help, unit, manual pages, logrotate, the node exporter
# link) and that the purge leaves nothing behind.
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
    # systemd-tmpfiles makes what smsd needs under /mnt too.
    mount -t tmpfs tmpfs /mnt
    calls=$scratch/systemd-calls

    # The maintainer scripts see a running systemd, but policy-rc.d refuses every start, and
    # systemctl only takes notes of what would reach PID 1 (offline work on the files under
    # --root it does for real). The debhelper tools note their requests, then run.
    mkdir -p /run/systemd/system
    printf "#!/bin/sh\nexit 101\n" >/usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    for tool in systemctl deb-systemd-helper deb-systemd-invoke; do
        mv "/usr/bin/$tool" "/usr/bin/$tool.real"
        printf "#!/bin/sh\necho \"%s \$*\" >>%s\n" "$tool" "$calls" >"/usr/bin/$tool"
        chmod 755 "/usr/bin/$tool"
    done
    echo "exec /usr/bin/deb-systemd-helper.real \"\$@\"" >>/usr/bin/deb-systemd-helper
    echo "exec /usr/bin/deb-systemd-invoke.real \"\$@\"" >>/usr/bin/deb-systemd-invoke
    echo "case \$1 in --root=*) exec /usr/bin/systemctl.real \"\$@\";; esac" >>/usr/bin/systemctl
    step() {  # what the maintainer scripts asked for in one dpkg step
        : >"$calls"
        dpkg "$@" >/dev/null 2>"$scratch/dpkg.err" || { cat "$scratch/dpkg.err"; exit 1; }
    }
    asked() {  # one request, or the step fails
        grep -qx "$1" "$calls" || { echo "not asked: $1"; cat "$calls"; exit 1; }
    }

    step --install "$deb"
    dpkg --status modemwatchd | grep -q "^Status: install ok installed"
    asked "deb-systemd-helper enable modemwatchd.service"
    asked "deb-systemd-invoke start modemwatchd.service"
    [ -L /etc/systemd/system/multi-user.target.wants/modemwatchd.service ]
    echo "install: the unit is enabled and its start requested (and refused by policy)"

    help=$(/usr/sbin/modemwatchd --help)
    grep -q "^ Usage: /usr/sbin/modemwatchd \[OPTIONS\]$" <<<"$help"
    /usr/bin/modemwatchctl --help | grep -q "^Usage: modemwatchctl"
    [ "$(readlink /var/lib/prometheus/node-exporter/modemwatchd.prom)" = /run/modemwatchd/modemwatchd.prom ]
    echo "installed binaries answer --help; the node exporter link is in place"

    systemd-analyze verify /lib/systemd/system/modemwatchd.service
    security=$(systemd-analyze security --offline=true /lib/systemd/system/modemwatchd.service 2>&1)
    exposure=$(sed -n "s/.*Overall exposure level for modemwatchd.service: \([0-9.]*\).*/\1/p" <<<"$security")
    echo "systemd-analyze verify: clean; security exposure $exposure"
    # smsd is told from what /proc shows anyone: the daemon may not trace other processes, nor
    # read or write their memory.
    grep -q "✓ CapabilityBoundingSet=~CAP_SYS_PTRACE" <<<"$security"
    echo "no CAP_SYS_PTRACE in the bounding set of the unit"
    awk -v e="$exposure" "BEGIN { exit !(e != \"\" && e <= 2) }"
    # The unit of the healing helper, as an instance is started.
    helper=/lib/systemd/system/modemwatchd-usb-reset@.service
    [ -x /usr/lib/modemwatchd/usb-reset ] && [ -f "$helper" ] && [ ! -e /etc/systemd/system/multi-user.target.wants/modemwatchd-usb-reset@.service ]
    exposure=$(systemd-analyze security --offline=true "$helper" 2>&1 |
        sed -n "s/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p")
    echo "the unit of the healing helper: installed, not enabled; security exposure $exposure"
    awk -v e="$exposure" "BEGIN { exit !(e != \"\" && e <= 2) }"
    grep -qx "MODEMWATCHD_OPTS=\"\"" /etc/default/modemwatchd

    for page in /usr/share/man/man8/modemwatchd.8.gz /usr/share/man/man1/modemwatchctl.1.gz; do
        warnings=$(man --warnings -l "$page" 2>&1 >/dev/null)
        [ -z "$warnings" ] || { echo "$warnings"; exit 1; }
    done
    echo "manual pages render without warnings"

    if command -v logrotate >/dev/null; then
        # The daemon opens its log afresh once it has been renamed away: rotation renames it, and
        # never truncates what the daemon may be writing.
        echo "a line" >/var/log/modemwatchd.log
        inode=$(stat -c %i /var/log/modemwatchd.log)
        logrotate --force --state /run/logrotate.state /etc/logrotate.d/modemwatchd
        [ "$(cat /var/log/modemwatchd.log.1)" = "a line" ] && [ "$(stat -c %i /var/log/modemwatchd.log.1)" = "$inode" ]
        [ ! -s /var/log/modemwatchd.log ] && [ "$(stat -c %a /var/log/modemwatchd.log)" = 644 ]
        echo "logrotate renames the log away and makes a new one"
    fi

    step --install "$deb"
    asked "deb-systemd-invoke restart modemwatchd.service"
    echo "upgrade: a restart requested"

    dpkg -L modemwatchd >"$scratch/files"
    step --remove modemwatchd
    asked "deb-systemd-invoke stop modemwatchd.service"
    echo "remove: a stop requested"

    # What a running daemon leaves: its log, rotated logs and published state.
    echo "a line" >/var/log/modemwatchd.log
    echo "old" >/var/log/modemwatchd.log.2.gz
    mkdir -p /run/modemwatchd && echo "modemwatchd_up 1" >/run/modemwatchd/modemwatchd.prom
    step --purge modemwatchd
    asked "deb-systemd-helper purge modemwatchd.service"
    left=$(while read -r path; do [ -d "$path" ] || ! [ -e "$path" -o -L "$path" ] || echo "$path"; done <"$scratch/files")
    left+=$(find /var/log /run /etc/systemd /var/lib/systemd /var/lib/dpkg/info -name "*modemwatchd*")
    [ -z "$left" ] || { echo "left after purge:"; echo "$left"; exit 1; }
    echo "purge: nothing of the package is left"
' check-package "$scratch" "$deb"
