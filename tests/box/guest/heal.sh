# The healing rows of the kernel box, healing on: a modem whose simulator stops answering (it
# answers again only once its port hangs up, as the gadget side sees a USB reset or
# re-enumeration) while smsd runs is noticed and healed; one dead for good is reset once and then
# left for its backoff; the modem that always answers, whose every message the network refuses,
# is never reset; one behind a USB-serial bridge is given up on. Beside it two Huawei sticks come
# back from their heals in storage mode, with usb_modeswitch installed: one is switched back,
# waited for and healed; one stays a CD-ROM, and that is said. (Healing off is a row of the main
# rows: the package's default.)

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

# --- QEMU's hub, a modem behind a USB-serial bridge and two sticks in storage mode -------------------
# QEMU's hub switches no port's power: the helper refuses the power cycle and says why. A modem
# behind QEMU's FTDI adapter that stops answering is never reset: healing gives up on it at once.
#
# Two Huawei sticks of the older kind, whose interfaces are all vendor-specific (option is given
# their ids), take the serial ports of the dead EC25 and the ACM modem (the gadget side has
# eight): an E169 (12d1:1001, AT on 02) in a USB port of its own and an E220 (12d1:1003, AT on
# 01) in the ACM modem's, named by the rules of their models. usb_modeswitch is installed now
# (the main rows show a box without it).
dpkg -i /var/cache/box-debs/*.deb >/tmp/dpkg.log 2>&1 || fail "dpkg -i usb-modeswitch: $(tail -n 5 /tmp/dpkg.log)"
sed -i 's/^EnableLogging=0/EnableLogging=1/' /etc/usb_modeswitch.conf
udevadm control --reload
for modem in ec25 acm; do
    unplug $modem
    remove_modem $modem
done
echo "12d1 1001" >/sys/bus/usb-serial/drivers/option1/new_id
echo "12d1 1003" >/sys/bus/usb-serial/drivers/option1/new_id
declare -A stick_at=([e169]=2 [e220]=1) stick_id=([e169]=1001 [e220]=1003) stick_udc=([e169]=3 [e220]=2)
as_modem() {  # stick
    make_modem "$1" 12d1 "${stick_id[$1]}" gser gser $([ "$1" = e169 ] && echo gser)
    answer "$1" "${stick_at[$1]}"
    plug "$1" "${stick_udc[$1]}"
}
as_cd_rom() {  # stick
    unplug "$1"
    remove_modem "$1"
    make_modem "$1" 12d1 1f01 mass_storage
    plug "$1" "${stick_udc[$1]}"
}
as_modem e169
as_modem e220
ftdi="0403 6001"
qemu_monitor device_add usb-hub,id=hub,bus=xhci.0,port=1
qemu_monitor device_add usb-serial,id=bridge,bus=xhci.0,port=1.1,chardev=adapter1
ftdi_there() { [ -n "$(usb_paths_of $ftdi)" ]; }
wait_for 30 "the FTDI modem behind QEMU's hub" ftdi_there
bridge_usb=$(usb_paths_of $ftdi)
wait_enumerated e169 e220
udevadm settle --timeout=30
wait_for 60 "ModemManager done with the FTDI modem and the sticks" modem_manager_done
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

e169=gsmmodem-$(usb_path e169)
e220=gsmmodem-$(usb_path e220)
wait_for 120 "smsd receiving on the bridged modem and the sticks" served "$e169" "$e220" "$simcom" "$bridge"
say "two Huawei sticks of the older kind served beside the bridged modem, named by the rules of their models: $e169 (12d1:1001), $e220 (12d1:1003)"

# The bridged modem and the E169 hang together: in the pass that heals the E169, or before it,
# healing gives up on the bridge. The E169's device descriptor is changed at once, as a real
# stick's is by its reset: the kernel's reset finds another device ("device firmware changed"),
# fails, and enumerates it anew as 12d1:1f01; then the gadget becomes the CD-ROM, and once
# usb_modeswitch has sent it the switch message, the modem again. The E220 hangs when the E169
# has been reset: it is healed in a later pass, once smsd has run long enough again, and stays
# a CD-ROM.
re_enumerated() { [ "$(cat "/sys/bus/usb/devices/$(usb_path "$1")/idProduct" 2>/dev/null)" = 1f01 ]; }
switch_sent() { grep -qs "^usb_modeswitch -W" /var/log/usb_modeswitch_*; }
hang_stick() {  # stick
    kill -USR1 "${sim_pid["$1 ${stick_at[$1]}"]}"
    echo 0x1f01 >"$gadgets/$1/idProduct"
}
reset_to_cd_rom() {  # stick, since when it hangs
    wait_for 400 "$1 reset by a heal and enumerated anew" re_enumerated "$1"
    took=$(since "$2")
    rm -f /var/log/usb_modeswitch_*
    as_cd_rom "$1"
    plugged=$(now)
    wait_for 60 "usb_modeswitch switching $1" switch_sent
    say "$1 reset by a heal $took s after it hung, and enumerated anew; as a CD-ROM, switched by usb_modeswitch $(since "$plugged") s after it is plugged"
}
from=$(now)
echo "@@sim 1 USR1" >&3
hang_stick e169
wait_for 400 "e169 reset by a heal and enumerated anew" re_enumerated e169
e220_from=$(now)
hang_stick e220
reset_to_cd_rom e169 "$from"
unplug e169
remove_modem e169
as_modem e169

given_up() { grep -q "Giving up on $bridge: it is behind a USB-serial bridge" /var/log/modemwatchd.log; }
wait_for 300 "healing giving up on the bridged modem" given_up
for _ in 1 2; do one_pass; done
! grep -q "Healing GSM.* (/dev/$bridge)" /var/log/modemwatchd.log || fail "the bridge was reset: $(grep Healing /var/log/modemwatchd.log)"
[ "$(cat "/sys/bus/usb/devices/$bridge_usb/devnum")" = "$bridge_devnum" ] || fail "the bridge re-enumerated"
[ "$(sample "modemwatchd_port_heal_given_up{port=\"$(port_of "$bridge")\"}")" = 1 ] ||
    fail "the give-up not published: $(grep heal "$prom")"
say "a modem behind a USB-serial bridge that stops answering: never reset, given up on, and why said"

# The heal's lines are the activity log's once its pass ends.
back_line() {
    grep "of USB device $(usb_path e169): it came back in storage mode (12d1:1f01); /dev/$e169 back after its switch, in [0-9]* s$" /var/log/modemwatchd.log
}
wait_for 90 "the E169's heal through its switch said" back_line
back=$(back_line)
wait_for 120 "the E169 answering after its heal" heals_at_least "$e169" answering 1
say "a stick back from its heal as a CD-ROM, switched by usb_modeswitch: waited for, '${back#*: }', answering again $(since "$from") s after it hung"

reset_to_cd_rom e220 "$e220_from"
not_switched() {
    grep -q "of USB device $(usb_path e220): it came back in storage mode (12d1:1f01), not switched to a modem within 60 s$" /var/log/modemwatchd.log
}
wait_for 90 "the E220 left in storage mode said" not_switched
journalctl --no-pager -p warning..warning | grep -q "modemwatchd\[[0-9]*\]: GSM[0-9]* ($e220): USB device $(usb_path e220) came back from its reset in storage mode (12d1:1f01), not switched to a modem within 60 s$" ||
    fail "no syslog warning for the E220 left in storage mode: $(journalctl --no-pager -p warning | tail -n 5)"
modemwatchctl status | grep -q "USB device $(usb_path e220) (12d1:1f01 .*) in storage mode: usb_modeswitch switches it: probe again in a few seconds$" ||
    fail "status does not show the E220 in storage mode: $(modemwatchctl status)"
say "a stick back from its heal as a CD-ROM that stays one: the step's outcome mode_switch, said in the log and syslog, and status shows it in storage mode"
