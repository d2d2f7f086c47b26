#!/usr/bin/env bash
# How fast a plugged modem is served on a booted Debian box: bursts of 1 and of 4 simulated
# modems whose links appear 0.3-0.5 s apart, `modemwatchctl wake` called for each link as the
# package's udev rule does. Prints, per burst size, p50 and p95 of the time from the last link
# of a burst to smsd started on a configuration holding all of them, and the smsd restarts per
# burst. A benchmark: it prints figures and judges nothing.
#   [BURST_SIZES="1 4"] bench/wake_burst_bench.sh PACKAGE.deb MODEM_SIM_BINARY [BURSTS]
set -euo pipefail
deb=$(realpath "$1")
modem_sim=$(realpath "$2")
bursts=${3:-20}
. "$(dirname "$0")/../tests/system/box_lib.sh"

boot_box "$modem_sim"
plug gsmmodem0
install_package "$deb"
wait_for 30 "smsd receiving on the first modem" smsd_receiving GSM1

seconds() { in_box stat -c %.9Y "$1"; }  # an mtime, to the nanosecond
percentile() {  # p, then the values
    local p=$1
    shift
    printf '%s\n' "$@" | sort -n | awk -v p="$p" '{ v[NR] = $1 } END { i = int((NR - 1) * p / 100 + 0.5) + 1; printf "%.2f", v[i] }'
}

for size in ${BURST_SIZES:-1 4}; do
    latencies=()
    restart_counts=()
    for burst in $(seq "$bursts"); do
        before=$(restarts)
        for n in $(seq "$size"); do
            # Links 0.3-0.5 s apart, whatever plugging a simulated modem costs here; udev runs the
            # wake-up right after each link.
            next_at=$(awk -v t="$EPOCHREALTIME" -v d="0.$((RANDOM % 3 + 3))" 'BEGIN { printf "%.6f", t + d }')
            plug_as_udev "gsmmodem$n"
            last_link=$(seconds "/dev/gsmmodem$n")
            [ "$n" = "$size" ] || sleep "$(awk -v t="$EPOCHREALTIME" -v n="$next_at" 'BEGIN { d = n - t; printf "%.6f", (d > 0 ? d : 0) }')"
        done
        ports=()
        for n in $(seq $((size + 1))); do ports+=("GSM$n"); done
        wait_for 30 "smsd on $((size + 1)) ports (burst $burst of $size)" smsd_receiving "${ports[@]}"
        latencies+=("$(awk -v a="$last_link" -v b="$(seconds /run/smstools/smsd.pid)" 'BEGIN { print b - a }')")
        sleep 2  # a second wake-up for the same burst would come by now
        restart_counts+=($(($(restarts) - before)))
        for n in $(seq "$size"); do unplug_as_udev "gsmmodem$n"; done
        wait_for 30 "smsd back on one port" smsd_receiving GSM1
        sleep 2
    done
    echo "bursts of $size: $bursts bursts, last link to smsd started p50 $(percentile 50 "${latencies[@]}") s," \
        "p95 $(percentile 95 "${latencies[@]}") s; smsd restarts per burst: $(printf '%s\n' "${restart_counts[@]}" | sort -n | uniq -c | awk '{ printf "%s%s x %s", sep, $2, $1; sep = ", " }')"
done
