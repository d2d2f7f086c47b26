#!/usr/bin/env bash
# The package the way a box runs it: a Debian 12 root with Debian's smstools, booted under a real
# systemd in a container of its own, our amd64 package installed with dpkg and driven through
# systemd only. Every wait is bounded and says what it saw; the container is powered off and
# its directory removed whatever happens.
#   tests/system/booted_box.sh PACKAGE.deb MODEM_SIM_BINARY
set -euo pipefail
deb=$(realpath "$1")
modem_sim=$(realpath "$2")

# The root is built once from the machine's own apt sources and kept; a new package list gets a
# new root.
packages=systemd,systemd-sysv,dbus,smstools,logrotate,prometheus-node-exporter,curl,procps
cache=/var/cache/modemwatchd-test
root_tar=$cache/bookworm-$(echo "$packages" | md5sum | cut -c1-12).tar
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
plug() {
    nsenter -t "$leader" -m /usr/local/bin/modem-sim "/dev/$1" >"$dir.sim-$1" &
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

if [ ! -s "$root_tar" ]; then
    mkdir -p "$cache"
    mmdebstrap --quiet --format=tar --variant=minbase --include="$packages" bookworm "$root_tar.new" >/dev/null
    mv "$root_tar.new" "$root_tar"
fi
mkdir "$dir"
tar -C "$dir" -xf "$root_tar"
install -m 0755 "$modem_sim" "$dir/usr/local/bin/modem-sim"
cp "$deb" "$dir/root/modemwatchd.deb"
systemd-nspawn -q -D "$dir" --register=no --keep-unit --private-network -M "$machine" --console=passive -b \
    >"$dir.console" 2>&1 </dev/null &
nspawn_pid=$!
find_leader() {
    leader=$(pgrep -P "$nspawn_pid" -x systemd | head -n 1)
    [ -n "$leader" ]
}
wait_for 20 "the container's systemd" find_leader
booted() { case $(in_box systemctl is-system-running 2>/dev/null) in running | degraded) true ;; *) false ;; esac; }
wait_for 60 "the boot" booted
row "booted Debian 12 with smstools"

# --- install ---------------------------------------------------------------------------------------

plug gsmmodem1
in_box dpkg -i /root/modemwatchd.deb >"$dir.dpkg" 2>&1 || { cat "$dir.dpkg"; fail "dpkg -i"; }
[ "$(in_box systemctl is-enabled modemwatchd.service)" = enabled ] || fail "not enabled after install"
wait_for 10 "modemwatchd active after install" unit_is modemwatchd.service active
wait_for 10 "the first configuration, with one port" written_with_ports 1
row "install: enabled, active, first configuration written"

wait_for 30 "smsd receiving on GSM1" smsd_receiving GSM1
in_box grep -q "problem" /var/log/smsd.log && fail "smsd found problems: $(in_box grep problem /var/log/smsd.log)"
row "smsd runs under systemd on the written configuration, GSM1 receiving"

# --- plug and unplug -------------------------------------------------------------------------------

plug gsmmodem2
one_pass
wait_for 10 "two ports configured" written_with_ports 2
wait_for 30 "smsd receiving on GSM1 and GSM2" smsd_receiving GSM1 GSM2
unplug gsmmodem2
one_pass
wait_for 10 "one port configured" written_with_ports 1
wait_for 30 "smsd receiving on GSM1 alone" smsd_receiving GSM1
row "plug and unplug, woken by systemctl kill -s HUP: smsd follows"

# --- the configuration replaced and deleted --------------------------------------------------------

in_box sh -c 'echo "# by hand" >/etc/smsd.conf.new && mv /etc/smsd.conf.new /etc/smsd.conf'
one_pass
wait_for 10 "/etc/smsd.conf written again after its rename" written_with_ports 1
in_box rm /etc/smsd.conf
one_pass
wait_for 10 "/etc/smsd.conf written again after its deletion" written_with_ports 1
if in_box journalctl --no-pager -u modemwatchd.service | grep -q "Can not write /etc/smsd.conf"; then
    fail "the daemon could not write /etc/smsd.conf"
fi
row "/etc/smsd.conf replaced by rename, then deleted: the next pass writes it"

# --- kills, restarts and stops while smsd restarts ------------------------------------------------

pid=$(main_pid)
in_box systemctl kill -s KILL --kill-who=main modemwatchd.service
restarted() { unit_is modemwatchd.service active && [ "$(main_pid)" != "$pid" ] && [ "$(main_pid)" != 0 ]; }
wait_for 20 "back after SIGKILL" restarted
row "SIGKILL: back through Restart=always"

# Wakes the daemon for a pass that restarts smsd, and waits until that restart is under way.
pass_restarting_smsd() {
    wake
    smstools_job() { in_box systemctl list-jobs --no-legend | grep -q smstools.service; }
    wait_for 10 "a pass restarting smstools" smstools_job
}
timed() {  # seconds a systemctl command took, at most 60
    local from=$SECONDS
    in_box timeout 60 systemctl "$@" || true
    echo $((SECONDS - from))
}

plug gsmmodem2
pid=$(main_pid)
pass_restarting_smsd
took=$(timed restart modemwatchd.service)
((took <= 15)) || fail "systemctl restart during an smsd restart took $took s"
wait_for 10 "active after the restart" restarted
wait_for 30 "smsd receiving after the restart" smsd_receiving GSM1 GSM2
row "systemctl restart while a pass restarts smsd: $took s, smsd receiving"

unplug gsmmodem2
pass_restarting_smsd
took=$(timed stop modemwatchd.service)
((took <= 15)) || fail "systemctl stop during an smsd restart took $took s"
unit_is modemwatchd.service inactive || fail "not inactive after the stop"
[ "$(in_box tail -n 1 /var/log/modemwatchd.log | cut -c22-)" = "Debug: stopping daemon ..." ] ||
    fail "no orderly stop: $(in_box tail -n 1 /var/log/modemwatchd.log)"
in_box test ! -e /run/modemwatchd.pid || fail "the pid file is left after the stop"
in_box grep -qx "modemwatchd_up 0" /run/modemwatchd/modemwatchd.prom || fail "the published state does not say stopped"
wait_for 30 "smsd receiving after the stop" smsd_receiving GSM1
row "systemctl stop while a pass restarts smsd: $took s, the orderly stop, smsd receiving"
in_box systemctl start modemwatchd.service

# --- rotation --------------------------------------------------------------------------------------

# The stopped daemon's state says up 0 until the new one's first pass ends.
wait_for 20 "a first pass after the start" in_box grep -qx "modemwatchd_up 1" /run/modemwatchd/modemwatchd.prom
lines_before=$(log_passes)
passes_before=$(passes)
for round in 1 2 3; do
    inode=$(in_box stat -c %i /var/log/modemwatchd.log)
    in_box logrotate --force /etc/logrotate.d/modemwatchd
    [ "$(in_box stat -c %i /var/log/modemwatchd.log)" != "$inode" ] || fail "rotation $round kept the log's inode"
    one_pass
    one_pass
    pid=$(main_pid)
    [ "$(in_box sh -c 'readlink /proc/$1/fd/*' fds "$pid" | grep -c '^/var/log/modemwatchd.log$')" = 1 ] ||
        fail "after rotation $round the daemon does not write to the new log"
done
[ $(($(log_passes) - lines_before)) = $(($(passes) - passes_before)) ] ||
    fail "passes $passes_before to $(passes), but $(($(log_passes) - lines_before)) logged across the rotations"
row "logrotate mid-run: every pass in the old or the new file, $(($(passes) - passes_before)) passes"

# --- the node exporter inside ----------------------------------------------------------------------

scrape() { in_box curl -sf http://127.0.0.1:9100/metrics >"$dir.scrape"; }
wait_for 10 "a scrape of the node exporter" scrape
grep -qx "modemwatchd_up 1" "$dir.scrape" || fail "the node exporter serves no modemwatchd_up 1"
grep -qx "modemwatchd_modems_present 1" "$dir.scrape" || fail "the node exporter serves no modems_present 1"
row "the node exporter serves the published state"

# --- upgrade, remove, purge ------------------------------------------------------------------------

pid=$(main_pid)
in_box dpkg -i /root/modemwatchd.deb >"$dir.dpkg" 2>&1 || { cat "$dir.dpkg"; fail "upgrade"; }
wait_for 10 "a new daemon after the upgrade" restarted
row "upgrade over itself: restarted"

in_box dpkg -L modemwatchd >"$dir.files"
in_box dpkg -r modemwatchd >"$dir.dpkg" 2>&1 || { cat "$dir.dpkg"; fail "remove"; }
unit_is modemwatchd.service inactive || unit_is modemwatchd.service unknown || fail "still running after removal"
smsd_runs || fail "smsd not running after the removal"
row "remove: the daemon stopped, smsd running"

in_box dpkg -P modemwatchd >"$dir.dpkg" 2>&1 || { cat "$dir.dpkg"; fail "purge"; }
left=$(while read -r path; do
    in_box sh -c '[ -d "$1" ] || ! [ -e "$1" -o -L "$1" ]' check "$path" || echo "$path"
done <"$dir.files")
left+=$(in_box find /var/log /run /etc/systemd /var/lib/systemd /var/lib/dpkg/info -name "*modemwatchd*")
[ -z "$left" ] || fail "left after purge: $left"
row "purge: nothing of the package left"
