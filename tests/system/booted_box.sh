#!/usr/bin/env bash
# The package the way a box runs it: our amd64 package installed with dpkg on a booted Debian 12
# or 13 (SYSTEM_RELEASE=bookworm or trixie) with Debian's smstools (box_lib.sh), and driven
# through systemd only.
#   [SYSTEM_RELEASE=trixie] tests/system/booted_box.sh PACKAGE.deb MODEM_SIM_BINARY
set -euo pipefail
deb=$(realpath "$1")
modem_sim=$(realpath "$2")

. "$(dirname "$0")/box_lib.sh"

boot_box "$modem_sim"
row "booted ${release_name[$release]:-Debian $release} with smstools $(in_box dpkg-query -W -f '${Version}' smstools), systemd $(in_box dpkg-query -W -f '${Version}' systemd)"

# --- install ---------------------------------------------------------------------------------------

plug gsmmodem1
install_package "$deb"
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
in_box sh -c 'ls /var/log/smsd.log.1*' >/dev/null 2>&1 || fail "logrotate left smsd's log /var/log/smsd.log alone"
[ "$(in_box stat -c %s /var/log/smsd.log)" -lt "$(in_box sh -c 'zcat -f /var/log/smsd.log.1* | wc -c')" ] ||
    fail "smsd's log was not cut after its copy"
row "logrotate mid-run: smsd's log copied and cut in place"

# --- the node exporter inside ----------------------------------------------------------------------

scrape() { in_box curl -sf http://127.0.0.1:9100/metrics >"$dir.scrape"; }
wait_for 10 "a scrape of the node exporter" scrape
grep -qx "modemwatchd_up 1" "$dir.scrape" || fail "the node exporter serves no modemwatchd_up 1"
grep -qx "modemwatchd_modems_present 1" "$dir.scrape" || fail "the node exporter serves no modems_present 1"
row "the node exporter serves the published state"

# --- smsd killed -----------------------------------------------------------------------------------

revived() { in_box grep -qx 'modemwatchd_smsd_restarts_total{cause="smsd_not_running"} 1' /run/modemwatchd/modemwatchd.prom; }
in_box systemctl kill -s KILL smstools.service
smsd_gone() { ! smsd_runs; }
wait_for 10 "smsd gone" smsd_gone
unit_is smstools.service active || fail "smstools' unit no longer says active: this row tests nothing"
one_pass
wait_for 10 "a restart for the dead smsd" revived
wait_for 30 "smsd receiving again" smsd_receiving GSM1
[ "$(in_box sh -c 'tr -dc "\\000" </var/log/smsd.log | wc -c')" = 0 ] || fail "NUL bytes in smsd's log after its rotation"
in_box grep -q "smsd: Smsd v.* started" /var/log/smsd.log || fail "smsd's restart did not reach its emptied log"
row "smsd killed while its unit says active: the next pass brings it back"

# --- a burst of modems, woken as udev would ----------------------------------------------------------

# The four links are made aside, then moved into /dev 0.4 s apart, each followed by its wake-up
# as a udev worker of its own runs it: all inside the box, so that the harness's own pace under
# load (a simulator started, nsenter, systemd-run) does not space the burst out past 0.7 s.
before=$(restarts)
in_box mkdir /dev/burst
for n in 3 4 5 6; do plug "gsmmodem$n" burst; done
in_box sh -c 'for n in 3 4 5 6; do mv /dev/burst/gsmmodem$n /dev/; modemwatchctl wake & sleep 0.4; done; wait' ||
    fail "the burst not plugged"
wait_for 20 "five ports configured after the burst" written_with_ports 5
wait_for 30 "smsd receiving on five ports" smsd_receiving GSM1 GSM2 GSM3 GSM4 GSM5
sleep 2  # a second wake-up, were there one, would have come by now
[ $(($(restarts) - before)) = 1 ] || fail "$(($(restarts) - before)) smsd restarts for one burst of four modems"
for n in 3 4 5 6; do unplug_as_udev "gsmmodem$n"; done
wait_for 20 "one port configured after the unplugging" written_with_ports 1
row "a burst of four modems 0.4 s apart, woken by modemwatchctl wake under systemd: one smsd restart"

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
