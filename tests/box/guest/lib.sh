# Inside the kernel box: USB modems made by the kernel (dummy_hcd and configfs gadgets, bound by
# the stock option and cdc_acm drivers), the simulator answering on their gadget side, and the
# helpers the rows share. Every wait is bounded and, on failure, the box's state is written to
# the shared folder for the host to show.

share=/media/box
# The rows' channel to the host: the second serial port, or on a board with one serial port a
# virtio port named "rows".
if [ -e /dev/virtio-ports/rows ]; then
    exec 3>/dev/virtio-ports/rows
else
    exec 3>/dev/ttyS1
    stty -F /dev/ttyS1 -opost 2>/dev/null || true
fi
# A row's line; the host adds its own clock.
say() { echo "box: $*" >&3; }

dump() {
    echo "--- systemctl status"
    systemctl --no-pager --lines=0 status modemwatchd.service smstools.service 2>&1 | head -n 30
    echo "--- /var/log/modemwatchd.log (tail)"; tail -n 20 /var/log/modemwatchd.log 2>&1
    echo "--- /var/log/smsd.log (tail)"; tail -n 20 /var/log/smsd.log 2>&1
    echo "--- journal (tail)"; journalctl --no-pager -n 40 2>&1
    echo "--- /etc/smsd.conf (ports)"; grep -E '^(\[GSM|device)' /etc/smsd.conf 2>&1
    echo "--- smsd status file"; cat /var/spool/sms/stats/status 2>&1
    echo "--- /dev"; ls -l /dev/gsmmodem* /dev/ttyUSB* /dev/ttyACM* 2>&1
    echo "--- published state"; grep -v '^#' /run/modemwatchd/modemwatchd.prom 2>&1 | head -n 40
}

fail() {
    trap - ERR
    set +e
    echo "box: FAILED: $*" >&3
    dump >"$share/failure.txt" 2>&1
    echo "@@done 1" >&3
    exit 1
}
trap 'fail "line $LINENO: $BASH_COMMAND"' ERR
set -E

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

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

# --- the modems ----------------------------------------------------------------------------------

gadgets=/sys/kernel/config/usb_gadget
declare -A udc_of

# A gadget: name, idVendor, idProduct, functions ("gser", "acm" or "mass_storage" each). Not
# plugged in yet.
make_modem() {
    local name=$1 vendor=$2 product=$3 g=$gadgets/$1 n=0 function
    shift 3
    mkdir "$g"
    echo "0x$vendor" >"$g/idVendor"
    echo "0x$product" >"$g/idProduct"
    mkdir "$g/strings/0x409" "$g/configs/c.1"
    echo "box-$name" >"$g/strings/0x409/serialnumber"
    echo "Kernel box" >"$g/strings/0x409/manufacturer"
    echo "$name" >"$g/strings/0x409/product"
    for function in "$@"; do
        mkdir "$g/functions/$function.$name$n"
        if [ "$function" = mass_storage ]; then
            # A stick in storage mode: the CD-ROM that holds its Windows driver.
            truncate -s 1M "/tmp/$name.iso"
            echo 1 >"$g/functions/$function.$name$n/lun.0/cdrom"
            echo "/tmp/$name.iso" >"$g/functions/$function.$name$n/lun.0/file"
        fi
        ln -s "$g/functions/$function.$name$n" "$g/configs/c.1/"
        n=$((n + 1))
    done
}

# A modem unplugged for good: its simulators ended and its gadget taken apart, which frees its
# serial functions' ports (the kernel's u_serial has eight in all).
remove_modem() {  # modem
    local g=$gadgets/$1 key
    for key in "${!sim_pid[@]}"; do
        if [ "${key% *}" = "$1" ]; then
            kill "${sim_pid[$key]}" 2>/dev/null || true
            wait "${sim_pid[$key]}" 2>/dev/null || true
            unset "sim_pid[$key]"
        fi
    done
    find "$g/configs/c.1" -maxdepth 1 -type l -delete
    rmdir "$g/configs/c.1" "$g"/functions/* "$g/strings/0x409" "$g"
}

# The gadget-side terminal of a modem's interface: /dev/ttyGS<port_num>.
gadget_tty() {  # modem, interface
    local function
    function=$(ls -d "$gadgets/$1"/functions/*."$1$2")
    echo "/dev/ttyGS$(cat "$function/port_num")"
}

# What the host side sees of a plugged modem: its USB path, from the bus its UDC drives.
usb_path() {  # modem
    local device
    for device in /sys/bus/usb/devices/*; do
        if [ "$(cat "$device/serial" 2>/dev/null)" = "box-$1" ]; then
            basename "$device"
            return 0
        fi
    done
    return 1
}

# The USB paths of the devices with these ids, sorted.
usb_paths_of() {  # idVendor, idProduct
    local device
    for device in /sys/bus/usb/devices/*; do
        if [ "$(cat "$device/idVendor" 2>/dev/null):$(cat "$device/idProduct" 2>/dev/null)" = "$1:$2" ]; then
            basename "$device"
        fi
    done | sort | xargs
}

# Asks the host to plug a device of QEMU's in or out (its monitor's device_add and device_del).
qemu_monitor() { echo "@@hmp $*" >&3; }

plug() {  # modem, UDC number
    echo "dummy_udc.$2" >"$gadgets/$1/UDC"
    udc_of[$1]=$2
}
# Waits until the host side has enumerated each of the modems.
wait_enumerated() {  # modem...
    local modem
    for modem in "$@"; do
        wait_for 30 "$modem enumerated" usb_path "$modem"
    done
}
unplug() {  # modem
    echo "" >"$gadgets/$1/UDC"
}

# The three modems of the rows: a Quectel EC25 (four vendor-specific serial functions, AT on 02
# and 03), a SIMCom SIM7600 (three, AT on 02) and a CDC ACM modem; the simulator answers AT on
# the gadget side of their AT interfaces, and nothing reads the others.
declare -A sim_pid
make_modems() {
    modprobe dummy_hcd num=4
    modprobe libcomposite
    mountpoint -q /sys/kernel/config || mount -t configfs none /sys/kernel/config
    make_modem ec25 2c7c 0125 gser gser gser gser
    make_modem simcom 1e0e 9001 gser gser gser
    make_modem acm 1546 01a8 acm
    local at
    for at in "ec25 2" "ec25 3" "simcom 2" "acm 0"; do
        answer $at
    done
}
# Makes the modems and plugs in these (each on the UDC of its number: ec25 0, simcom 1, acm 2),
# and waits until the kernel has bound them and ModemManager has let go of them.
plug_modems() {  # modem...
    local modem
    declare -A udc=([ec25]=0 [simcom]=1 [acm]=2)
    make_modems
    for modem in "$@"; do
        plug "$modem" "${udc[$modem]}"
    done
    wait_enumerated "$@"
    udevadm settle --timeout=30
    wait_for 60 "ModemManager done with the new modems" modem_manager_done
}
# What a modem's simulator answers every message sent, by "modem interface": none refuses unless
# a row says so.
declare -A refuse_sends=()
answer() {  # modem, interface; the simulator notes each hang-up of its port in /run/sim-MODEM-INTERFACE
    local refusal=${refuse_sends["$1 $2"]:-}
    "$share/modem-sim" --answer "$(gadget_tty "$1" "$2")" ${refusal:+--refuse-sends "$refusal"} >"/run/sim-$1-$2" 2>&1 &
    sim_pid["$1 $2"]=$!
}

# ModemManager holds no tty of the modems: it probes a new modem for some seconds, before the
# rules keep it off (smsd's own ports are smsd's).
modem_manager_done() {
    local pid
    for pid in $(pidof ModemManager || true); do
        ! ls -l "/proc/$pid/fd" 2>/dev/null | grep -qE '/dev/tty(USB|ACM)' || return 1
    done
}

# --- what the box says -------------------------------------------------------------------------------

ports_configured() { grep -c '^\[GSM' /etc/smsd.conf 2>/dev/null || true; }
configured_devices() { sed -n 's#^device = /dev/##p' /etc/smsd.conf 2>/dev/null | sort | xargs; }
# The last pass has ended with no port configured: its restart is counted.
configured_none() { grep -qx "modemwatchd_ports_configured 0" /run/modemwatchd/modemwatchd.prom; }
passes() { sed -n 's/^modemwatchd_passes_total //p' /run/modemwatchd/modemwatchd.prom 2>/dev/null; }
restarts() {
    awk '/^modemwatchd_smsd_restarts_total/ { n += $2 } END { print n + 0 }' /run/modemwatchd/modemwatchd.prom
}
smsd_runs() {
    local pid
    pid=$(cat /run/smstools/smsd.pid 2>/dev/null) && [ -n "$pid" ] && [ "$(readlink /proc/"$pid"/exe)" = /usr/sbin/smsd ]
}
# smsd, since its latest start, reports exactly these ports receiving (GSM1 GSM2 ...).
smsd_receiving() {
    local status=/var/spool/sms/stats/status
    smsd_runs && [ "$(find "$status" -newer /run/smstools/smsd.pid 2>/dev/null)" = "$status" ] &&
        [ "$(sed -n 's/^\(GSM[0-9]*\):.*Receiving,.*/\1/p' "$status" | sort | xargs)" = "$*" ]
}
# The configuration names exactly these gsmmodem links and smsd receives on as many ports.
served() {  # devices...
    [ "$(configured_devices)" = "$(printf '%s\n' "$@" | sort | xargs)" ] || return 1
    local ports=() n
    for ((n = 1; n <= $#; n++)); do ports+=("GSM$n"); done
    smsd_receiving "${ports[@]}"
}

# The published state, and what check says of a port.
prom=/run/modemwatchd/modemwatchd.prom
sample() { awk -v series="$1" '$1 == series { print $2 }' "$prom"; }
port_of() { sed -n "s/^modemwatchd_port_state{port=\"\(GSM[0-9]*\)\",device=\"$1\".*/\1/p" "$prom"; }
critical_for() {  # device: check is CRITICAL naming it as not answering
    { modemwatchctl check || true; } | grep -q "^MODEMWATCHD CRITICAL - .*$(port_of "$1") ($1) not answering"
}
# The hang-ups the simulator of an interface has seen: a USB reset or re-enumeration of its modem.
hang_ups() { grep -c "hung up" "/run/sim-$1-$2" || true; }
# One pass, woken now.
one_pass() {
    local before
    before=$(passes)
    systemctl kill -s HUP --kill-who=main modemwatchd.service
    passes_above() { [ "$(passes)" -gt "$1" ]; }
    wait_for 60 "a pass after pass $before" passes_above "$before"
}
