# The booted box shared by the system stage and the wake-up benchmark: a Debian root (12,
# bookworm, unless SYSTEM_RELEASE names another: trixie is Debian 13) with Debian's smstools,
# booted under a real systemd in a container of its own (systemd-nspawn), and the helpers that
# look into it. Every wait is bounded and says what it saw; the container is powered off and its
# directory removed whatever happens (an EXIT trap).
#   . tests/system/box_lib.sh; boot_box MODEM_SIM_BINARY

# The root is built once and kept: Debian 12's from the machine's own apt sources, another
# release's from Debian's mirror. A new package list gets a new root.
release=${SYSTEM_RELEASE:-bookworm}
declare -A release_name=([bookworm]="Debian 12" [trixie]="Debian 13")
packages=systemd,systemd-sysv,dbus,smstools,logrotate,prometheus-node-exporter,curl,procps
cache=/var/cache/modemwatchd-test
root_tar=$cache/$release-$(echo "$packages" | md5sum | cut -c1-12).tar
machine=modemwatchd-system-$$
dir=/var/tmp/$machine
nspawn_pid=
leader=
sims=()
started=$SECONDS

# --- the container -------------------------------------------------------------------------------

in_box() { nsenter -t "$leader" -a "$@"; }

# What the box looks like now, for a failure to show.
show_box() {
    [ -n "$leader" ] || return 0
    echo "--- systemctl status"
    in_box systemctl --no-pager --lines=0 status modemwatchd.service smstools.service 2>&1 | head -n 30 || true
    echo "--- jobs"; in_box systemctl --no-pager list-jobs 2>&1 | head -n 10 || true
    echo "--- /var/log/modemwatchd.log (tail)"; in_box tail -n 15 /var/log/modemwatchd.log 2>&1 || true
    echo "--- journal (tail)"; in_box journalctl --no-pager -n 25 2>&1 || true
    echo "--- /etc/smsd.conf (ports)"; in_box grep -E '^(\[GSM|device)' /etc/smsd.conf 2>&1 || true
    echo "--- smsd status file"; in_box cat /var/spool/sms/stats/status 2>&1 || true
}

fail() {
    echo "system: FAILED: $*"
    show_box
    exit 1
}

cleanup() {
    local sim
    for sim in "${sims[@]}"; do kill "$sim" 2>/dev/null || true; done
    if [ -n "$leader" ]; then
        in_box systemctl poweroff >/dev/null 2>&1 || true
    fi
    if [ -n "$nspawn_pid" ]; then
        for _ in $(seq 100); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$nspawn_pid" 2>/dev/null || true
        wait "$nspawn_pid" 2>/dev/null || true
    fi
    rm -rf "$dir" "$dir".*
}
trap cleanup EXIT
# A command that fails outside a test of its own is a failure too, and says where (functions
# included: errtrace).
set -E
trap 'fail "line $LINENO: $BASH_COMMAND"' ERR

# Polls a command until it succeeds, for at most `seconds`.
wait_for() {  # seconds, what, command...
    local seconds=$1 what=$2 deadline
    shift 2
    deadline=$((SECONDS + seconds))
    until "$@" >/dev/null 2>&1; do
        ((SECONDS < deadline)) || fail "$what: not within $seconds s"
        sleep 0.2
    done
}

row() { echo "system: $* ($((SECONDS - started)) s)"; }

# --- what the box says ---------------------------------------------------------------------------

unit_is() { [ "$(in_box systemctl is-active "$1" 2>/dev/null)" = "$2" ]; }
main_pid() { in_box systemctl show -P MainPID modemwatchd.service; }
ports_configured() { in_box grep -c '^\[GSM' /etc/smsd.conf 2>/dev/null || true; }
written_with_ports() {  # the daemon's own text, with this many ports
    [ "$(in_box head -n 1 /etc/smsd.conf 2>/dev/null)" = "# /etc/smsd.conf" ] && [ "$(ports_configured)" = "$1" ]
}
passes() { in_box sed -n 's/^modemwatchd_passes_total //p' /run/modemwatchd/modemwatchd.prom 2>/dev/null; }
passes_above() { [ "$(passes)" -gt "$1" ]; }
wake() { in_box systemctl kill -s HUP --kill-who=main modemwatchd.service; }
# One pass more than now, woken through systemd.
one_pass() {
    local before
    before=$(passes)
    wake
    wait_for 20 "a pass after pass $before" passes_above "$before"
}

smsd_runs() {
    local pid
    pid=$(in_box cat /run/smstools/smsd.pid 2>/dev/null) && [ -n "$pid" ] && in_box kill -0 "$pid" &&
        unit_is smstools.service active
}
# smsd, since its latest start, reports exactly these ports receiving (GSM1 GSM2 ...).
smsd_receiving() {
    local status=/var/spool/sms/stats/status
    smsd_runs && [ "$(in_box find "$status" -newer /run/smstools/smsd.pid 2>/dev/null)" = "$status" ] &&
        [ "$(in_box sed -n 's/^\(GSM[0-9]*\):.*Receiving,.*/\1/p' "$status" | sort | xargs)" = "$*" ]
}

# A simulated modem at /dev/NAME that smsd may open. It needs the box's /dev and terminals only,
# so it joins the mount namespace alone and stays the test's own child.
declare -A sim_of
plug() {  # name [folder of /dev to make its link in]
    rm -f "$dir.sim-$1"
    nsenter -t "$leader" -m /usr/local/bin/modem-sim "/dev/${2:+$2/}$1" >"$dir.sim-$1" &
    sim_of[$1]=$!
    sims+=("$!")
    wait_for 5 "modem $1 plugged" test -s "$dir.sim-$1"
    in_box chown smsd:dialout "$(cat "$dir.sim-$1")"
    in_box chmod 0660 "$(cat "$dir.sim-$1")"
}
unplug() {
    kill "${sim_of[$1]}"
    wait "${sim_of[$1]}" 2>/dev/null || true
    in_box rm -f "/dev/$1"
}

log_passes() {  # "Checking modemstatus" lines in the log and its rotations
    in_box sh -c 'zcat -f /var/log/modemwatchd.log* | grep -c "Checking modemstatus"' || true
}

# --- boot ------------------------------------------------------------------------------------------

boot_box() {  # modem-sim binary
    if [ ! -s "$root_tar" ]; then
        mkdir -p "$cache"
        local mirror=()
        [ "$release" = bookworm ] || mirror=("deb http://deb.debian.org/debian $release main")
        mmdebstrap --quiet --format=tar --variant=minbase --include="$packages" "$release" "$root_tar.new" \
            "${mirror[@]}" >/dev/null
        mv "$root_tar.new" "$root_tar"
    fi
    mkdir "$dir"
    tar -C "$dir" -xf "$root_tar"
    install -m 0755 "$1" "$dir/usr/local/bin/modem-sim"
    systemd-nspawn -q -D "$dir" --register=no --keep-unit --private-network -M "$machine" --console=passive -b \
        >"$dir.console" 2>&1 </dev/null &
    nspawn_pid=$!
    wait_for 20 "the container's systemd" find_leader
    wait_for 60 "the boot" booted
}
find_leader() {
    leader=$(pgrep -P "$nspawn_pid" -x systemd | head -n 1)
    [ -n "$leader" ]
}
booted() { case $(in_box systemctl is-system-running 2>/dev/null) in running | degraded) true ;; *) false ;; esac; }

install_package() {  # .deb: installed with dpkg, as an admin would
    cp "$1" "$dir/root/modemwatchd.deb"
    in_box dpkg -i /root/modemwatchd.deb >"$dir.dpkg" 2>&1 || { cat "$dir.dpkg"; fail "dpkg -i"; }
}

# smsd restarts the daemon has counted, all causes together.
restarts() {
    in_box awk '/^modemwatchd_smsd_restarts_total/ { n += $2 } END { print n + 0 }' /run/modemwatchd/modemwatchd.prom
}
# Unplugs a modem and wakes the daemon the way the package's udev rule does.
unplug_as_udev() { unplug "$1" && in_box /usr/bin/modemwatchctl wake; }
