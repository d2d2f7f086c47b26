#!/usr/bin/env bash
# The package on Debian's own kernel: a Debian 13 disk booted by QEMU with Debian's kernel and
# initrd, USB modems made inside it by dummy_hcd and configfs gadgets and bound by the stock
# drivers, and our package installed with dpkg. The rows run inside the box (guest/rows.sh, from
# a shared folder) and report on a serial port of their own; the power cut is the host killing
# QEMU when the box says smstools is being stopped, and the disk is then read as the next boot
# would find it.
#   tests/box/kernel_box.sh PACKAGE.deb MODEM_SIM_BINARY [rows|heal|bench]    amd64, a PC
#   tests/box/kernel_box.sh PACKAGE.deb MODEM_SIM_BINARY arm    armhf on QEMU's virt board:
#                                        the armhf package, and an ARM simulator for the box
#   tests/box/kernel_box.sh --prepare [amd64|armhf]     only build (and cache) the disk
# The rows and the heal rows are boxes of their own: scripts/test.sh runs them side by side.
# BOX_ACCEL=tcg|kvm|auto (auto: KVM only where a kernel boots under it within seconds; the ARM
# box is always emulated).
set -euo pipefail
if [ "$1" = --prepare ]; then
    mode=prepare
    arch=${2:-amd64}
else
    deb=$(realpath "$1")
    modem_sim=$(realpath "$2")
    mode=${3:-rows}
    arch=$([ "$mode" = arm ] && echo armhf || echo amd64)
fi
here=$(cd "$(dirname "$0")" && pwd)
. "$here/image.sh"

cache=/var/cache/modemwatchd-test
key=$(cat "$here/image.sh" | md5sum | cut -c1-12)
image=$cache/kernel-box-$arch-$key.img
kernel=$cache/kernel-box-$arch-$key.vmlinuz
initrd=$cache/kernel-box-$arch-$key.initrd
work=/var/tmp/modemwatchd-box-$$
qemu_pid=
tail_pid=
sims=()
monitor_port=$((20000 + $$ % 20000))
started=$SECONDS

end_sims() {
    local sim
    for sim in "${sims[@]}"; do
        kill "$sim" 2>/dev/null || true
        wait "$sim" 2>/dev/null || true
    done
    sims=()
}

# A command for QEMU's monitor, asked for by the box (plugging a USB device in or out).
monitor() {
    { echo "$1"; sleep 0.5; } >"/dev/tcp/127.0.0.1/$monitor_port" 2>/dev/null ||
        echo "box: the monitor took no '$1'"
}

cleanup() {
    end_sims
    [ -z "$tail_pid" ] || kill "$tail_pid" 2>/dev/null || true
    if [ -n "$qemu_pid" ]; then
        kill -KILL "$qemu_pid" 2>/dev/null || true
        wait "$qemu_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
# A kill of the test is an exit too: the machine goes with it.
trap 'exit 1' INT TERM HUP

say() { echo "box: $* ($((SECONDS - started)) s)"; }

# A kernel oops in the guest: its first line.
oops_pattern='^\[ *[0-9.]+\] (BUG: |Oops|general protection fault|Kernel panic)'
guest_crashed() { grep -qE "$oops_pattern" "$work/console.log" 2>/dev/null; }

# What the box showed before it went quiet or failed: its console (from the oops, if its kernel
# had one) and what its rows left.
show_box() {
    if guest_crashed; then
        echo "--- console, from the guest kernel's oops"
        tr -d '\r' <"$work/console.log" | grep -A 30 -m 1 -E "$oops_pattern" || true
    fi
    echo "--- console (tail)"
    tr -d '\r' <"$work/console.log" 2>/dev/null | tail -n 40 || true
    if [ -s "$work/share/failure.txt" ]; then
        echo "--- the box's own account"
        cat "$work/share/failure.txt"
    fi
}

fail() {
    echo "box: FAILED: $*"
    show_box
    exit 1
}

# --- the disk and the accelerator ----------------------------------------------------------------

mkdir -p "$cache" "$work/share"
if [ ! -s "$image" ]; then
    from=$SECONDS
    rm -f "$cache/kernel-box-$arch-"* "$cache"/kernel-box-????????????.*
    build_image "$work" "$image" "$kernel" "$initrd" "$arch"
    # Written out now, not while the box boots: a vCPU waiting on this machine's disk for long
    # looks like a soft lockup to the guest.
    sync -f "$image"
    say "image built and cached in $((SECONDS - from)) s"
fi

[ "$mode" != prepare ] || exit 0

# Nested KVM hangs at boot on some machines: a kernel with no disk must panic within seconds.
accel=${BOX_ACCEL:-auto}
[ "$arch" = amd64 ] || accel=tcg
if [ "$accel" = auto ]; then
    accel=tcg
    if [ -w /dev/kvm ] && timeout 8 qemu-system-x86_64 -accel kvm -m 256 -display none -nodefaults -no-reboot \
        -serial stdio -kernel "$kernel" -append "console=ttyS0 panic=-1" 2>/dev/null | grep -q "Kernel panic"; then
        accel=kvm
    fi
fi

fresh_disk() { cp --sparse=always "$image" "$work/box.img"; }
fresh_disk
# The guest's flushes are not passed on to this machine's disk (cache=unsafe): a killed QEMU
# loses nothing it has written, so the power cut still loses exactly what the box had not yet
# written to its disk, and no flush waits for this machine to write back the copy above.
cp -r "$here/guest" "$work/share/guest"
cp "$deb" "$work/share/modemwatchd.deb"
cp "$modem_sim" "$work/share/modem-sim"
echo "$mode" >"$work/share/mode"

# --- the machine -------------------------------------------------------------------------------------

if [ "$arch" = amd64 ]; then
    # Besides the gadgets, an xHCI controller of QEMU's, for FTDI serial adapters (modems behind a
    # USB-serial bridge) and a hub plugged while the box runs, through QEMU's monitor; the
    # adapters' far ends are pseudo-terminals here, answered by the simulator. The rows report on
    # the second serial port.
    machine=(qemu-system-x86_64 -accel "$accel" -smp "${BOX_SMP:-2}"
        -device qemu-xhci,id=xhci -chardev pty,id=adapter1 -chardev pty,id=adapter2 -chardev pty,id=adapter3
        -serial "file:$work/console.log" -serial "file:$work/rows.log")
    console=ttyS0
    adapters=3
    release="Debian 13's kernel"
else
    # QEMU's virt board has one serial port, the console: the rows report on a virtio port of
    # their own. Its modems are the kernel's gadgets only.
    machine=(qemu-system-arm -machine virt -cpu cortex-a15 -accel tcg,thread=multi -smp "${BOX_SMP:-2}"
        -serial "file:$work/console.log" -device virtio-serial-pci
        -chardev "file,id=rows,path=$work/rows.log" -device virtserialport,chardev=rows,name=rows)
    console=ttyAMA0
    adapters=0
    release="Debian 13's armhf kernel (armmp-lpae) on QEMU's virt board"
fi

# --- one boot ----------------------------------------------------------------------------------------

# Boots the disk and follows the rows' serial port until the box says it is done (its status),
# asks for the power cut (the machine is killed at once: 100), or goes quiet for `seconds`.
boot() {  # phase, seconds
    local phase=$1 seconds=$2 line chunk partial= status=
    echo "$phase" >"$work/share/phase"
    : >"$work/rows.log"
    : >"$work/qemu.err"
    "${machine[@]}" -m 1024 -display none -nodefaults -no-reboot -kernel "$kernel" -initrd "$initrd" \
        -append "console=$console root=/dev/vda rw quiet panic=-1 systemd.show_status=0" \
        -drive "file=$work/box.img,format=raw,if=virtio,cache=unsafe" \
        -virtfs "local,path=$work/share,mount_tag=box,security_model=none" \
        -monitor "tcp:127.0.0.1:$monitor_port,server=on,wait=off" -nic none >"$work/qemu.err" 2>&1 &
    qemu_pid=$!
    local pty
    for _ in $(seq 50); do [ "$(grep -c 'redirected to /dev/pts' "$work/qemu.err")" = "$adapters" ] && break; sleep 0.1; done
    for pty in $(sed -n 's#.*redirected to \(/dev/pts/[0-9]*\) .*#\1#p' "$work/qemu.err"); do
        "$modem_sim" --answer "$pty" &
        sims+=("$!")
    done
    exec {rows}< <(tail -n +1 -F "$work/rows.log" 2>/dev/null & echo $! >"$work/tail.pid"; wait)
    tail_pid=$(cat "$work/tail.pid")
    local deadline=$((SECONDS + seconds))
    while [ -z "$status" ]; do
        if ((SECONDS >= deadline)); then
            grep -q "soft lockup" "$work/console.log" &&
                echo "box: the emulated CPUs locked up; BOX_SMP=1 runs one, more slowly"
            fail "$phase: no word from the box for $seconds s"
        fi
        kill -0 "$qemu_pid" 2>/dev/null || fail "$phase: QEMU ended: $(cat "$work/qemu.err")"
        if ((SECONDS % 5 == 0)) && guest_crashed; then
            echo "box: $phase: the guest kernel oopsed:"
            show_box
            kill -KILL "$qemu_pid"
            status=99
            break
        fi
        # A line the emulated serial port is still writing when the second is up is kept and
        # completed by the next read: cut, its "box:" would be lost and the box seem silent.
        if ! IFS= read -r -t 1 -u "$rows" chunk; then
            partial+=$chunk
            continue
        fi
        line=$partial$chunk
        partial=
        line=${line%$'\r'}
        case $line in
            @@power-cut) kill -KILL "$qemu_pid"; status=100 ;;
            @@hmp\ *) monitor "${line#@@hmp }" ;;
            # A signal to the simulator on the far end of QEMU's adapter N (1 to 3): USR1 hangs it.
            @@sim\ [123]\ USR1) kill -USR1 "${sims[$((${line:6:1} - 1))]}" 2>/dev/null || echo "box: no simulator ${line:6:1}" ;;
            @@done\ *) status=${line#@@done }; kill -KILL "$qemu_pid" ;;
            box:*) echo "$line ($((SECONDS - started)) s)"; deadline=$((SECONDS + seconds)) ;;
            *) echo "  $line" ;;
        esac
    done
    wait "$qemu_pid" 2>/dev/null || true
    qemu_pid=
    end_sims
    kill "$tail_pid" 2>/dev/null || true
    tail_pid=
    exec {rows}<&-
    return "$status"
}

# --- the rows ----------------------------------------------------------------------------------------

# Boots a phase that starts from the cached disk. A guest kernel that oopses under emulation is
# no verdict on the package (seen once, on 9 December 2026: the heal box's kernel in execve's
# memory-map code, under TCG beside the rows box): that phase is booted again, once, on a fresh
# copy of the disk.
boot_fresh() {  # phase, seconds
    local status=0
    boot "$@" || status=$?
    if [ "$status" = 99 ]; then
        say "the guest kernel oopsed: booting the box again on a fresh disk"
        fresh_disk
        status=0
        boot "$@" || status=$?
        [ "$status" != 99 ] || fail "$1: the guest kernel oopsed again"
    fi
    return "$status"
}

say "booting $release under $accel"
if [ "$mode" = bench ]; then
    boot_fresh bench 600 || fail "the benchmark failed"
    exit 0
fi
if [ "$mode" = heal ]; then
    boot_fresh "$mode" 420 || fail "the heal rows failed"
    exit 0
fi
if [ "$mode" = arm ]; then
    boot_fresh "$mode" 600 || fail "the ARM box's rows failed"
    exit 0
fi

status=0
boot_fresh main 300 || status=$?
[ "$status" = 100 ] || fail "the box ended before the power cut (status $status)"

# The disk as the next boot finds it: the journal replayed, nothing else repaired.
e2fsck -E journal_only -y "$work/box.img" >/dev/null 2>&1 || true
debugfs -R "cat /etc/smsd.conf" "$work/box.img" >"$work/smsd.conf" 2>/dev/null
debugfs -R "cat /var/log/modemwatchd.log" "$work/box.img" >"$work/modemwatchd.log" 2>/dev/null
ports=$(sed -n 's/^devices= GSM\* 1-\([0-9]*\)$/\1/p' "$work/smsd.conf")
[ -n "$ports" ] && [ "$(wc -l <"$work/smsd.conf")" = $((63 + 7 * ports)) ] &&
    [ "$(tail -n 1 "$work/smsd.conf")" = "GSM$ports = 0,1,2,3,4,5,6,7,8,9,s" ] &&
    [ "$(tr -dc '\0' <"$work/smsd.conf" | wc -c)" = 0 ] ||
    fail "after the power cut /etc/smsd.conf is not whole: $(od -c "$work/smsd.conf" | tail -n 5)"
nuls=$(tr -dc '\0' <"$work/modemwatchd.log" | wc -c)
[ "$nuls" = 0 ] || fail "after the power cut the activity log holds $nuls NUL bytes"
say "power cut while smstools stopped: the journal replayed, /etc/smsd.conf whole ($ports ports), the log without NUL bytes"

boot after-cut 300 || fail "the box failed after the power cut"
