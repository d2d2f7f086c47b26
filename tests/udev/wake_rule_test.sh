#!/usr/bin/env bash
# The package's wake-up rule through the real udev (`udevadm test`, which shows what it would
# RUN without running it), on real tty devices of this machine: a test-only naming rule gives
# one of them a gsmmodem link, the other keeps none.
#   tests/udev/wake_rule_test.sh RULES_FILE
set -euo pipefail
rule=$(realpath "$1")
[ "$(id -u)" = 0 ] && command -v udevadm >/dev/null || { echo "needs root and udevadm"; exit 77; }
modem=$(ls -d /sys/class/tty/ttyS0 /sys/class/tty/ttyS[0-9]* 2>/dev/null | head -n 1 || true)
other=/sys/class/tty/tty1
[ -n "$modem" ] && [ -e "$other" ] || { echo "no serial and console tty here"; exit 77; }

exec unshare --mount --propagation private bash -euo pipefail -c '
    rule=$1 modem=$2 other=$3
    for dir in /etc/udev/rules.d /lib/udev/rules.d /run/udev/rules.d; do
        [ -d "$dir" ] && mount -t tmpfs tmpfs "$dir"
    done
    cp "$rule" /lib/udev/rules.d/99-modemwatchd-wake.rules
    echo "SUBSYSTEM==\"tty\", KERNEL==\"${modem##*/}\", SYMLINK+=\"gsmmodem-test\"" >/etc/udev/rules.d/90-gsmmodem.rules
    runs() {  # what udev would RUN for this action on this device
        udevadm test --action="$1" "$2" 2>&1 | sed -n "s/^run: //p"
    }
    expect() {  # action device expected-RUN what
        local got
        got=$(runs "$1" "$2")
        [ "$got" = "$3" ] || { echo "FAILED: $4: RUN is \"$got\""; exit 1; }
        echo "ok: $4"
    }
    wake="'"'"'/usr/bin/modemwatchctl wake'"'"'"
    expect add "$modem" "$wake" "add of a tty with a gsmmodem link wakes the daemon"
    expect remove "$modem" "$wake" "remove of that tty wakes it"
    expect change "$modem" "" "change of that tty does nothing"
    expect add "$other" "" "a tty without a gsmmodem link does nothing"
    mv /etc/udev/rules.d/90-gsmmodem.rules /etc/udev/rules.d/99-zz-gsmmodem.rules
    expect add "$modem" "" "a naming rule that sorts after the wake-up rule is not seen"
' wake-rule-test "$rule" "$modem" "$other"
