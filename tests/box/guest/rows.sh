# The rows of the kernel box, one line each. Phase "main": install, probe, rules, served, unplug,
# a new USB port, a burst, a stick in storage mode and modems of the table never probed, a hub, a
# modem that stops answering (healing off), and the power cut in the middle of a restart (the
# host kills the machine). Phase "after-cut": the next boot, on the disk as the cut left it.

# The gsmmodem link each modem's AT port gets: named after the USB port it is in.
link_of() { echo "gsmmodem-$(usb_path "$1")"; }
# Where the link of a modem points: its AT interface's tty.
links_to_interface() {  # modem, interface
    local tty
    tty=$(basename "$(readlink -f "/dev/$(link_of "$1")")")
    [ "$(cat /sys/class/tty/"$tty"/device/../bInterfaceNumber 2>/dev/null || cat /sys/class/tty/"$tty"/device/bInterfaceNumber)" = "$2" ]
}
all_three() { echo "$(link_of ec25) $(link_of simcom) $(link_of acm)"; }

if [ "$phase" = main ]; then
    # --- install ----------------------------------------------------------------------------------
    dpkg -i "$share/modemwatchd.deb" >/tmp/dpkg.log 2>&1 || fail "dpkg -i: $(tail -n 5 /tmp/dpkg.log)"
    wait_for 20 "modemwatchd active after install" systemctl is-active --quiet modemwatchd.service
    plug_modems ec25 simcom acm
    say "installed; three modems made by the kernel: EC25 at $(usb_path ec25), SIM7600 at $(usb_path simcom), ACM at $(usb_path acm)"

    # --- probe --at -----------------------------------------------------------------------------------
    from=$(now)
    modemwatchctl probe --at --json >/tmp/probe.json || fail "probe --at: $(cat /tmp/probe.json)"
    took=$(since "$from")
    # Each port that takes no data (nothing reads its interface) used to cost 30 s at close().
    awk -v t="$took" 'BEGIN { exit !(t < 15) }' || fail "probe --at took $took s"
    at_port() {  # USB path: "tty interface"
        jq -r --arg path "$1" '.modems[] | select(.usb_path == $path) | .at_port as $at
            | .ports[] | select(.tty == $at) | "\(.tty) \(.interface)"' /tmp/probe.json
    }
    for expected in "ec25 2" "simcom 2" "acm 0"; do
        set -- $expected
        found=$(at_port "$(usb_path "$1")")
        [ "${found#* }" = "$2" ] || fail "probe --at: the AT port of $1 is '$found', not on interface $2"
    done
    jq -e '.modems | length == 3' /tmp/probe.json >/dev/null || fail "probe --at --json: $(cat /tmp/probe.json)"
    say "probe --at on the kernel's sysfs: each modem's AT port by USB path and interface, valid JSON ($took s)"

    # --- the rules ------------------------------------------------------------------------------------
    modemwatchctl probe --udev-rules --write >/tmp/write.log 2>&1 || fail "probe --udev-rules --write: $(cat /tmp/write.log)"
    udevadm settle --timeout=30
    [ "$(ls /dev | grep gsmmodem | sort | xargs)" = "$(all_three | tr ' ' '\n' | sort | xargs)" ] ||
        fail "gsmmodem links: $(ls /dev | grep gsmmodem | xargs)"
    links_to_interface ec25 02 && links_to_interface simcom 02 && links_to_interface acm 00 ||
        fail "a link names a port other than its modem's AT port: $(ls -l /dev/gsmmodem*)"
    for tty in /dev/ttyUSB* /dev/ttyACM*; do
        udevadm info -q property "$tty" | grep -qx ID_MM_DEVICE_IGNORE=1 || fail "$tty lacks ID_MM_DEVICE_IGNORE"
    done
    systemctl is-active --quiet ModemManager || fail "ModemManager is not running"
    mmcli -L | grep -q "No modems were found" || fail "ModemManager holds a modem: $(mmcli -L)"
    say "probe --udev-rules --write: each AT port and only it linked, every port ignored by ModemManager, which runs and holds no modem"

    # --- served ---------------------------------------------------------------------------------------
    wait_for 90 "smsd receiving on the three modems" served $(all_three)
    since_start=$(awk '/smsd: Smsd v.* started/ { n = NR } END { print n }' /var/log/smsd.log)
    tail -n +"$since_start" /var/log/smsd.log | grep -q problem && fail "smsd found problems: $(tail -n +"$since_start" /var/log/smsd.log | grep problem)"
    say "served: smsd receiving on all three through option and cdc_acm"

    # --- unplug through the kernel -------------------------------------------------------------------
    # A pass just made, so the next one of the 30 s period is that far away: only the wake-up
    # udev runs can drop the modem sooner.
    before=$(passes)
    systemctl kill -s HUP --kill-who=main modemwatchd.service
    passes_above() { [ "$(passes)" -gt "$1" ]; }
    wait_for 20 "a pass after pass $before" passes_above "$before"
    gone=$(link_of acm)
    from=$(now)
    unplug acm
    not_configured() { ! grep -q "^device = /dev/$1\$" /etc/smsd.conf; }
    # Without the wake-up the drop waits for the next 30 s pass and a stop of smstools after it.
    wait_for 25 "$gone dropped from the configuration (udev, wake, pass)" not_configured "$gone"
    dropped=$(since "$from")
    wait_for 60 "the other two served" served $(link_of ec25) $(link_of simcom)
    say "unplugged through the kernel: dropped from the configuration in $dropped s (udev, wake, pass), served again in $(since "$from") s"

    # --- a USB port the probe never saw -------------------------------------------------------------
    # The SIM7600 moved to the spare bus, as a dead dongle is replaced through a spare port.
    old=$(link_of simcom)
    unplug simcom
    wait_for 60 "the SIM7600 unplugged" served $(link_of ec25)
    from=$(now)
    plug simcom 3
    wait_enumerated simcom
    [ "$(link_of simcom)" != "$old" ] || fail "the spare port has the same path"
    wait_for 60 "the SIM7600 served at $(link_of simcom)" served $(link_of ec25) $(link_of simcom)
    links_to_interface simcom 02 || fail "$(link_of simcom) names the wrong interface"
    say "the same model in a USB port never probed ($(usb_path simcom)): named $(link_of simcom) and served in $(since "$from") s, no probe"

    # --- a burst ----------------------------------------------------------------------------------------
    unplug ec25
    unplug simcom
    # The published count is what a pass measured: the pass after the restart that dropped them,
    # up to 30 s after a restart that itself takes up to 30 s under emulation.
    wait_for 90 "every modem unplugged" configured_none
    sleep 2
    before=$(restarts)
    from=$(now)
    plug ec25 0
    sleep 0.4
    plug simcom 1
    sleep 0.4
    plug acm 2
    wait_enumerated ec25 simcom acm
    wait_for 60 "the burst served" served $(all_three)
    took=$(since "$from")
    sleep 3  # a second wake-up, were there one, would have come by now
    [ $(($(restarts) - before)) = 1 ] || fail "$(($(restarts) - before)) smsd restarts for a burst of three"
    say "a burst of three plugs 0.4 s apart: one smsd restart serves them all ($took s)"

    # --- a stick in storage mode, then modems of the table never probed -----------------------------
    # The stick is a CD-ROM until switched (the box has no usb_modeswitch): probe names it so.
    # Then, in the USB port where it was, a Quectel EC21 that no probe has seen, and the ACM modem
    # as a Telit (its ids changed while unplugged): each named by the rules the table gave its
    # model, on the interface of its AT port, and served. The SIM7600 makes room: the kernel
    # has eight gadget serial ports in all.
    unplug ec25
    unplug simcom
    remove_modem simcom
    make_modem stick 12d1 1f01 mass_storage
    plug stick 0
    wait_enumerated stick
    stick_path=$(usb_path stick)
    udevadm settle --timeout=30
    modemwatchctl probe --json >/tmp/probe.json || true
    jq -e --arg path "$stick_path" '.without_at_ports | map(select(.usb_path == $path))
        | length == 1 and .[0].mode == "storage" and .[0].vendor == "12d1" and .[0].product == "1f01"
        and (.[0].state | test("install usb-modeswitch"))' /tmp/probe.json >/dev/null ||
        fail "probe --json on a stick in storage mode: $(cat /tmp/probe.json)"
    modemwatchctl probe | grep -q "^storage  *$stick_path  *12d1:1f01 .*storage mode: switched by usb_modeswitch: install usb-modeswitch$" ||
        fail "probe on a stick in storage mode: $(modemwatchctl probe)"
    unplug stick
    remove_modem stick
    make_modem ec21 2c7c 0121 gser gser gser
    answer ec21 2
    unplug acm
    echo 0x1bc7 >"$gadgets/acm/idVendor"
    echo 0x0021 >"$gadgets/acm/idProduct"
    from=$(now)
    plug ec21 0
    plug acm 2
    wait_enumerated ec21 acm
    [ "$(usb_path ec21)" = "$stick_path" ] || fail "the EC21 is at $(usb_path ec21), not where the stick was"
    wait_for 120 "the EC21 and the Telit served" served $(link_of ec21) $(link_of acm)
    links_to_interface ec21 02 && links_to_interface acm 00 ||
        fail "a link names a port other than its modem's AT port: $(ls -l /dev/gsmmodem*)"
    say "a stick in storage mode listed by probe as such; in its USB port a Quectel EC21 (option), and a Telit (cdc_acm), never probed: named on interfaces 02 and 00 and served in $(since "$from") s"
    unplug ec21
    remove_modem ec21
    unplug acm
    echo 0x1546 >"$gadgets/acm/idVendor"
    echo 0x01a8 >"$gadgets/acm/idProduct"
    # Two more of the table, never probed, in those USB ports: a Sierra Wireless EM74xx, bound by
    # qcserial, which claims interfaces 0, 2 and 3 of the Sierra layout (AT on 03), and a SIMCom
    # SIM7080 in its AT+ECM mode (AT on 02, option). The EC25 makes room for them.
    remove_modem ec25
    make_modem sierra 1199 9079 gser gser gser gser
    make_modem sim7080 1e0e 9205 gser gser gser
    answer sierra 3
    answer sim7080 2
    from=$(now)
    plug sierra 0
    plug sim7080 1
    wait_enumerated sierra sim7080
    wait_for 120 "the EM74xx and the SIM7080 served" served $(link_of sierra) $(link_of sim7080)
    links_to_interface sierra 03 && links_to_interface sim7080 02 ||
        fail "a link names a port other than its modem's AT port: $(ls -l /dev/gsmmodem*)"
    say "a Sierra Wireless EM74xx (qcserial) and a SIMCom SIM7080 (option), never probed: named on interfaces 03 and 02 and served in $(since "$from") s"
    for modem in sierra sim7080; do
        unplug $modem
        remove_modem $modem
    done
    make_modem ec25 2c7c 0125 gser gser gser gser
    answer ec25 2
    answer ec25 3
    make_modem simcom 1e0e 9001 gser gser gser
    answer simcom 2
    plug ec25 0
    plug simcom 1
    plug acm 2
    wait_enumerated ec25 simcom acm
    wait_for 120 "smsd receiving on the three modems again" served $(all_three)

    # --- a hub where a modem was ---------------------------------------------------------------------
    # A modem behind a USB-serial bridge (QEMU's FTDI adapter) probed in a USB port, then a hub in
    # that port with two such modems behind it: neither may take the name of the one that was
    # there (KERNELS matches any parent), and a new probe names each after its own port.
    ftdi="0403 6001"
    ftdi_at() { [ "$(usb_paths_of $ftdi)" = "$*" ]; }  # the FTDI modems' USB paths, exactly
    ftdi_somewhere() { [ -n "$(usb_paths_of $ftdi)" ]; }
    qemu_monitor device_add usb-serial,id=bridge,bus=xhci.0,port=1,chardev=adapter1
    wait_for 30 "the FTDI modem enumerated" ftdi_somewhere
    port=$(usb_paths_of $ftdi)
    udevadm settle --timeout=30
    wait_for 60 "ModemManager done with the FTDI modem" modem_manager_done
    modemwatchctl probe --udev-rules --write >/tmp/write.log 2>&1 || fail "probe --udev-rules --write: $(cat /tmp/write.log)"
    wait_for 30 "gsmmodem-$port" test -L "/dev/gsmmodem-$port"
    qemu_monitor device_del bridge
    wait_for 30 "the FTDI modem gone" ftdi_at
    qemu_monitor device_add usb-hub,id=hub,bus=xhci.0,port=1
    wait_for 30 "the hub enumerated" test -e "/sys/bus/usb/devices/$port/bDeviceClass"
    qemu_monitor device_add usb-serial,id=behind1,bus=xhci.0,port=1.1,chardev=adapter2
    qemu_monitor device_add usb-serial,id=behind2,bus=xhci.0,port=1.2,chardev=adapter3
    wait_for 30 "two FTDI modems behind the hub" ftdi_at "$port.1" "$port.2"
    udevadm settle --timeout=30
    [ ! -e "/dev/gsmmodem-$port" ] && ! ls -l /dev | grep -q "gsmmodem-$port\.[12]" ||
        fail "modems behind the hub named after the modem that was there: $(ls -l /dev/gsmmodem*)"
    wait_for 60 "ModemManager done with the modems behind the hub" modem_manager_done
    modemwatchctl probe --udev-rules --write >/tmp/write.log 2>&1 || fail "probe --udev-rules --write: $(cat /tmp/write.log)"
    wait_for 30 "a link for each modem behind the hub" test -L "/dev/gsmmodem-$port.1" -a -L "/dev/gsmmodem-$port.2"
    [ "$(readlink "/dev/gsmmodem-$port.1")" != "$(readlink "/dev/gsmmodem-$port.2")" ] || fail "one tty for two links"
    say "a hub plugged where a probed modem was: neither modem behind it takes its name; probed, each is named after its own port"
    qemu_monitor device_del behind1
    qemu_monitor device_del behind2
    qemu_monitor device_del hub
    wait_for 30 "the hub gone" ftdi_at

    # A handler stuck on a tty that went with the hub holds smsd's stop for its 15 s SIGTERM wait.
    wait_for 150 "smsd receiving on the three modems again" served $(all_three)

    # --- a modem that stops answering, healing off (the package's default) ---------------------------
    # smsd goes on saying Receiving for it and sends through the others; only its log tells. Last
    # before the power cut: smsd's stop waits long on a modem gone silent, and the power cut only
    # needs the stop begun.
    hung=$(link_of acm)
    silent_words() { grep -E "GSM[0-9]+: (Modem is not ready|Modem did not accept|write_to_modem)" /var/log/smsd.log | tail -n "$1"; }
    one_pass
    [ "$(sample "modemwatchd_port_answering{port=\"$(port_of "$hung")\"}")" = 1 ] ||
        fail "$hung not answering before it hung: $(silent_words 5)"
    acm_hang_ups=$(hang_ups acm 0)
    from=$(now)
    kill -USR1 "${sim_pid["acm 0"]}"
    wait_for 240 "check CRITICAL naming $hung" critical_for "$hung"
    noticed=$(since "$from")
    said=$(silent_words 1)
    one_pass
    [ "$(sample modemwatchd_port_answering{port=\"$(port_of "$hung")\"})" = 0 ] || fail "$hung published as answering"
    ! grep -q "Healing" /var/log/modemwatchd.log || fail "healed with healing off: $(grep Healing /var/log/modemwatchd.log)"
    [ "$(hang_ups acm 0)" = "$acm_hang_ups" ] || fail "the hung modem's port hung up with healing off"
    [ "$(sample modemwatchd_healing)" = 0 ] || fail "the published state says healing is on"
    say "a modem that stops answering, healing off: CRITICAL in check $noticed s after it hung (smsd: \"${said#*: }\", then a pass), never reset"

    # --- the power cut ------------------------------------------------------------------------------------
    stopping() { systemctl list-jobs --no-legend | grep -q 'smstools.service.*stop'; }
    unplug acm
    deadline=$((SECONDS + 30))
    until stopping; do
        ((SECONDS < deadline)) || fail "no restart of smstools after the unplug"
        sleep 0.05
    done
    say "smstools being stopped: power cut"
    echo "@@power-cut" >&3
    sleep 60
    fail "still running a minute after asking for the power cut"
fi

if [ "$phase" = after-cut ]; then
    wait_for 30 "modemwatchd active after the power cut" systemctl is-active --quiet modemwatchd.service
    plug_modems ec25 simcom acm
    wait_for 90 "every modem served after the power cut" served $(all_three)
    nuls=$(tr -dc '\0' </var/log/modemwatchd.log | wc -c)
    [ "$nuls" = 0 ] || fail "the activity log holds $nuls NUL bytes"
    say "booted after the power cut: the daemon runs and serves every modem, its log without NUL bytes"
fi
