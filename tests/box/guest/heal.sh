# The healing rows of the kernel box, healing on: a modem whose simulator stops answering (it
# answers again only once its port hangs up, as the gadget side sees a USB reset or
# re-enumeration) while smsd runs is noticed and healed; one dead for good is reset once and then
# left for its backoff; the modem that always answers, whose every message the network refuses,
# is never reset. (Healing off is a row of the main rows: the package's default.)

dpkg -i "$share/modemwatchd.deb" >/tmp/dpkg.log 2>&1 || fail "dpkg -i: $(tail -n 5 /tmp/dpkg.log)"
wait_for 20 "modemwatchd active after install" systemctl is-active --quiet modemwatchd.service
# As an admin turns it on.
echo 'MODEMWATCHD_OPTS="--heal"' >/etc/default/modemwatchd
systemctl restart modemwatchd.service
wait_for 20 "modemwatchd active with --heal" systemctl is-active --quiet modemwatchd.service
say "installed, healing on"
refuse_sends["simcom 2"]="+CMS ERROR: 38"
plug_modems ec25 simcom acm
modemwatchctl probe --udev-rules --write >/tmp/write.log 2>&1 || fail "probe --udev-rules --write: $(cat /tmp/write.log)"
all_three() { echo "gsmmodem-$(usb_path ec25) gsmmodem-$(usb_path simcom) gsmmodem-$(usb_path acm)"; }
wait_for 120 "smsd receiving on the three modems" served $(all_three)
[ "$(sample modemwatchd_healing)" = 1 ] || fail "the published state says healing is off"
say "three modems served, healing on"

heals() {  # device, outcome
    sample "modemwatchd_port_heals_total{port=\"$(port_of "$1")\",outcome=\"$2\"}"
}
heals_at_least() { [ "$(heals "$1" "$2")" -ge "$3" ] 2>/dev/null; }
answering() { [ "$(sample "modemwatchd_port_answering{port=\"$(port_of "$1")\"}")" = 1 ]; }
hung_up_since() { [ "$(hang_ups "$1" "$2")" -gt "$3" ]; }

acm=gsmmodem-$(usb_path acm)
ec25=gsmmodem-$(usb_path ec25)
simcom_devnum=$(cat "/sys/bus/usb/devices/$(usb_path simcom)/devnum")
acm_hang_ups=$(hang_ups acm 0)
ec25_hang_ups=$(hang_ups ec25 2)
simcom_hang_ups=$(hang_ups simcom 2)

# --- a hung modem -------------------------------------------------------------------------------------
# The ACM modem hangs while smsd runs; a minute later the EC25 dies for good, so that smsd says
# the ACM first (a heal restarts smsd, which starts counting a silent modem's timeouts anew).
from=$(now)
kill -USR1 "${sim_pid["acm 0"]}"
sleep 60
kill -USR2 "${sim_pid["ec25 2"]}"
# The pass that notices it heals it, and the wake-up of its link coming back starts the next
# pass at once, which finds it answering: check is CRITICAL for a moment only, so the heal's
# line is what tells when it was noticed. (Healing off, CRITICAL lasts: a row of the main rows.)
heal_line() { grep -q "Healing GSM.* (/dev/$acm), not answering since .*: reset of USB device" /var/log/modemwatchd.log; }
wait_for 300 "$acm noticed and healed" heal_line
noticed=$(since "$from")
wait_for 120 "the ACM modem answering after its heal" heals_at_least "$acm" answering 1
healed=$(since "$from")
answering "$acm" || fail "$acm healed but not answering"
hung_up_since acm 0 "$acm_hang_ups" || fail "$acm answers, but its port never hung up"
journalctl --no-pager -u 'modemwatchd-usb-reset@*' | grep -q "reset of .* done" ||
    fail "no reset through the helper's unit: $(journalctl --no-pager -u 'modemwatchd-usb-reset@*' | tail -n 5)"
journalctl --no-pager -p warning..warning | grep -q "modemwatchd\[[0-9]*\]: Healing GSM.* ($acm), not answering since" ||
    fail "no syslog warning for the heal: $(journalctl --no-pager -p warning | tail -n 5)"
[ "$(sample 'modemwatchd_smsd_restarts_total{cause="heal"}')" -ge 1 ] || fail "the heal's restart is not counted"
say "a hung modem: noticed and reset through the helper's unit $noticed s after it hung, served again $healed s after it hung"

# --- dead for good ------------------------------------------------------------------------------------
wait_for 300 "the dead EC25 reset" hung_up_since ec25 2 "$ec25_hang_ups"
for _ in 1 2 3 4; do one_pass; done
[ "$(hang_ups ec25 2)" = $((ec25_hang_ups + 1)) ] ||
    fail "the dead modem was reset $(($(hang_ups ec25 2) - ec25_hang_ups)) times in its backoff"
[ "$(heals "$ec25" answering)" = 0 ] || fail "the dead modem counted as healed: $(grep heals_total "$prom")"
critical_for "$ec25" || fail "check does not name the dead modem: $(modemwatchctl check)"
[ "$(hang_ups simcom 2)" = "$simcom_hang_ups" ] &&
    [ "$(cat "/sys/bus/usb/devices/$(usb_path simcom)/devnum")" = "$simcom_devnum" ] ||
    fail "the SIM7600, which always answered, was reset"
say "a modem dead for good: reset once, then left alone for its backoff over four passes, CRITICAL in check; the modem that always answered never reset"

# --- a modem the network refuses ------------------------------------------------------------------------
# The SIM7600 answers everything but the message itself: its problem is the network's, and no
# USB step mends that. (After the heals above: a message through smsd while a modem hangs would
# move when smsd says so.)
simcom=gsmmodem-$(usb_path simcom)
simcom_hang_ups=$(hang_ups simcom 2)
printf 'To: 358401111111\nQueue: %s\n\nhello\n' "$(port_of "$simcom")" >/var/spool/sms/refused.new
chown smsd:smsd /var/spool/sms/refused.new
mv /var/spool/sms/refused.new /var/spool/sms/outgoing/refused
from=$(now)
rejected() { [ "$(sample "modemwatchd_port_problem{port=\"$(port_of "$simcom")\",cause=\"rejected\"}")" = 1 ]; }
wait_for 120 "the SIM7600's message refused" rejected
grep -q "Not healing $simcom: the network refuses its messages: +CMS ERROR: 38 (Network out of order)" /var/log/modemwatchd.log ||
    fail "why the SIM7600 is not healed not said: $(grep -i heal /var/log/modemwatchd.log | tail -n 3)"
verdict=$(modemwatchctl check || true)
[[ $verdict == *"$(port_of "$simcom") ($simcom) messages rejected (+CMS ERROR: 38 (Network out of order))"* ]] ||
    fail "check does not name the refused port: $verdict"
for _ in 1 2; do one_pass; done
[ "$(hang_ups simcom 2)" = "$simcom_hang_ups" ] &&
    [ "$(cat "/sys/bus/usb/devices/$(usb_path simcom)/devnum")" = "$simcom_devnum" ] ||
    fail "the SIM7600, whose messages the network refuses, was reset"
say "a modem whose messages the network refuses: rejected with the modem's words $(since "$from") s after the message was queued, why it is not healed said, never reset"

# --- the power cycle where the hub switches each port's power ------------------------------------------
# dummy_hcd's root hub switches its port's power: the helper's own unit cycles the SIM7600's, and
# the modem comes back.
simcom_hang_ups=$(hang_ups simcom 2)
unit=$(systemd-escape --template=modemwatchd-usb-reset@.service "power-cycle:$simcom")
from=$(now)
systemctl start "$unit" || fail "the power cycle refused: $(journalctl --no-pager -u "$unit" | tail -n 3)"
journalctl --no-pager -u "$unit" | grep -q "power-cycle of $(usb_path simcom) .* done" ||
    fail "no power cycle said done: $(journalctl --no-pager -u "$unit" | tail -n 3)"
wait_for 30 "the SIM7600's port hung up by the power cycle" hung_up_since simcom 2 "$simcom_hang_ups"
wait_for 30 "$simcom back" test -c "/dev/$simcom"
say "a power cycle through the helper's unit on dummy_hcd's root hub, which switches each port: the modem off and back in $(since "$from") s"

# --- QEMU's hub, and a modem behind a USB-serial bridge --------------------------------------------------
# QEMU's hub switches no port's power: the helper refuses the power cycle and says why. A modem
# behind QEMU's FTDI adapter that stops answering is never reset: healing gives up on it at once.
ftdi="0403 6001"
qemu_monitor device_add usb-hub,id=hub,bus=xhci.0,port=1
qemu_monitor device_add usb-serial,id=bridge,bus=xhci.0,port=1.1,chardev=adapter1
ftdi_there() { [ -n "$(usb_paths_of $ftdi)" ]; }
wait_for 30 "the FTDI modem behind QEMU's hub" ftdi_there
bridge_usb=$(usb_paths_of $ftdi)
udevadm settle --timeout=30
wait_for 60 "ModemManager done with the FTDI modem" modem_manager_done
modemwatchctl probe --udev-rules --write >/tmp/write.log 2>&1 || fail "probe --udev-rules --write: $(cat /tmp/write.log)"
bridge=gsmmodem-$bridge_usb
wait_for 30 "/dev/$bridge" test -L "/dev/$bridge"
bridge_devnum=$(cat "/sys/bus/usb/devices/$bridge_usb/devnum")
unit=$(systemd-escape --template=modemwatchd-usb-reset@.service "power-cycle:$bridge")
! systemctl start "$unit" 2>/dev/null || fail "a power cycle on QEMU's hub, which switches no power, was done"
[ "$(systemctl show --property=ExecMainStatus --value "$unit")" = 4 ] &&
    journalctl --no-pager -u "$unit" | grep -q "no power cycle of $bridge_usb (/dev/$bridge): its hub does not switch its ports' power" ||
    fail "the refusal not said: $(systemctl show --property=ExecMainStatus --value "$unit"); $(journalctl --no-pager -u "$unit" | tail -n 3)"
say "no power cycle on QEMU's hub, which switches no port's power: refused, and the helper says why"

bridged() { [ "$(sample "modemwatchd_port_answering{port=\"$(port_of "$bridge")\"}")" != "" ]; }
wait_for 120 "smsd serving the bridged modem" bridged
echo "@@sim 1 USR1" >&3
from=$(now)
not_answering() { [ "$(sample "modemwatchd_port_answering{port=\"$(port_of "$1")\"}")" = 0 ]; }
wait_for 300 "smsd saying the bridged modem does not answer" not_answering "$bridge"
given_up() { grep -q "Giving up on $bridge: it is behind a USB-serial bridge" /var/log/modemwatchd.log; }
wait_for 240 "healing giving up on the bridged modem" given_up
for _ in 1 2; do one_pass; done
! grep -q "Healing GSM.* (/dev/$bridge)" /var/log/modemwatchd.log || fail "the bridge was reset: $(grep Healing /var/log/modemwatchd.log)"
[ "$(cat "/sys/bus/usb/devices/$bridge_usb/devnum")" = "$bridge_devnum" ] || fail "the bridge re-enumerated"
[ "$(sample "modemwatchd_port_heal_given_up{port=\"$(port_of "$bridge")\"}")" = 1 ] ||
    fail "the give-up not published: $(grep heal "$prom")"
say "a modem behind a USB-serial bridge that stops answering: never reset, given up on $(since "$from") s after it hung, and why said"
