# The rows of the ARM box: the armhf package on Debian's 32-bit ARM kernel, under its systemd,
# with one modem the kernel makes (the EC25 gadget, bound by option): probed, named, served,
# healed by one USB reset, and unplugged after the clock has passed 2038-01-19, when a 32-bit
# time_t would have wrapped.

# The PC's rows prove that the rules keep ModemManager off the modems; here its probing would
# only cost the emulated CPU, which runs about ten times slower than the PC's.
systemctl disable --now --quiet ModemManager.service
# Healing on from the start, as an image is made for a fleet: the admin's options written before
# the package, and kept by it. (The PC's heal rows turn it on after the install; here a restart
# of smstools costs about 100 s.)
echo 'MODEMWATCHD_OPTS="--heal"' >/etc/default/modemwatchd
dpkg -i --force-confold "$share/modemwatchd.deb" >/tmp/dpkg.log 2>&1 || fail "dpkg -i: $(tail -n 5 /tmp/dpkg.log)"
grep -qx 'MODEMWATCHD_OPTS="--heal"' /etc/default/modemwatchd || fail "dpkg -i replaced the admin's options"
wait_for 60 "modemwatchd active with --heal" systemctl is-active --quiet modemwatchd.service
say "the armhf package installed on $(uname -r) ($(uname -m)), modemwatchd active under systemd, healing on"

# --- probed, named, served -------------------------------------------------------------------------
plug_modems ec25
modemwatchctl probe --at --json >/tmp/probe.json || fail "probe --at: $(cat /tmp/probe.json)"
at=$(jq -r '.modems[0] | .at_port as $at | .ports[] | select(.tty == $at) | .interface' /tmp/probe.json)
[ "$at" = 2 ] || fail "probe --at: the EC25's AT port is on interface '$at', not 2: $(cat /tmp/probe.json)"
modemwatchctl probe --udev-rules --write >/tmp/write.log 2>&1 || fail "probe --udev-rules --write: $(cat /tmp/write.log)"
udevadm settle --timeout=30
ec25=gsmmodem-$(usb_path ec25)
[ "$(ls /dev | grep gsmmodem | xargs)" = "$ec25" ] || fail "gsmmodem links: $(ls /dev | grep gsmmodem | xargs)"
wait_for 300 "smsd receiving on $ec25" served "$ec25"
say "the EC25 made by the kernel: probed (AT on interface 2), named $ec25, served"

# --- healed by one USB reset -------------------------------------------------------------------------
hang_ups_before=$(hang_ups ec25 2)
from=$(now)
kill -USR1 "${sim_pid["ec25 2"]}"
heal_line() { grep -q "Healing GSM1 (/dev/$ec25), not answering since .*: reset of USB device" /var/log/modemwatchd.log; }
wait_for 420 "$ec25 noticed and healed" heal_line
noticed=$(since "$from")
healed_once() {
    [ "$(sample "modemwatchd_port_heals_total{port=\"GSM1\",outcome=\"answering\"}")" = 1 ]
}
wait_for 300 "the EC25 answering after its heal" healed_once
[ "$(hang_ups ec25 2)" = $((hang_ups_before + 1)) ] ||
    fail "the EC25's port hung up $(($(hang_ups ec25 2) - hang_ups_before)) times, not once"
say "a hung modem: reset through the kernel's USB reset $noticed s after it hung, answering again $(since "$from") s after"

# --- past 2038 ---------------------------------------------------------------------------------------
# Beyond 2^31 seconds. Each date the daemon writes or publishes is compared with the box's own,
# and a step of twelve years is no sign of a still smsd.
date -s "2038-01-20 10:00:00" >/dev/null
one_pass
one_pass
at=$(date +%s)
last_pass=$(sample modemwatchd_last_pass_end_time_seconds)
[ "${last_pass%.*}" -gt 2147483647 ] && [ $((at - ${last_pass%.*})) -lt 60 ] ||
    fail "past 2038 the last pass is published at $last_pass, the box's clock at $at"
! journalctl --no-pager | grep -q "smsd is not responding" ||
    fail "the clock's step taken for a still smsd: $(journalctl --no-pager | grep "smsd is not responding")"
modemwatchctl status >/tmp/status.txt || fail "status: $(cat /tmp/status.txt)"
grep -qE "; last pass [0-9]+ s ago" /tmp/status.txt || fail "status past 2038: $(head -n 1 /tmp/status.txt)"
from=$(now)
unplug ec25
wait_for 300 "the EC25 dropped past 2038" configured_none
lines=$(grep -c '^2038-01-20 ' /var/log/modemwatchd.log || true)
[ "$lines" -gt 0 ] || fail "past 2038 the activity log says: $(tail -n 3 /var/log/modemwatchd.log)"
restart=$(sample 'modemwatchd_last_smsd_restart_time_seconds{cause="modem_count_changed"}')
[ "${restart%.*}" -gt 2147483647 ] && [ $(($(date +%s) - ${restart%.*})) -lt 300 ] ||
    fail "past 2038 the last restart is published at $restart"
grep -qE "^last restart: 2038-01-20 [0-9:]+ \([0-9]+ (s|min) ago\)" <(modemwatchctl status) ||
    fail "status past 2038: $(modemwatchctl status | grep 'last restart')"
say "past 2038-01-19: the unplug dropped in $(since "$from") s, $lines activity-log lines dated 2038-01-20, the published times and status's ages right"
