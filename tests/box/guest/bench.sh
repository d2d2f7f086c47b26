# The benchmark of the kernel box: from a modem's bind to smsd started with it in its
# configuration, over ten plugs, and where the time goes. Emulated-CPU figures.

dpkg -i "$share/modemwatchd.deb" >/tmp/dpkg.log 2>&1 || fail "dpkg -i: $(tail -n 5 /tmp/dpkg.log)"
plug_modems ec25 acm
modemwatchctl probe --udev-rules --write >/dev/null 2>&1 || fail "probe --udev-rules --write"
wait_for 120 "two modems served" served "gsmmodem-$(usb_path ec25)" "gsmmodem-$(usb_path acm)"

# The time of the first journal line after `since` (seconds since the epoch) matching `pattern`.
journal_at() {  # since, pattern
    journalctl --no-pager -o short-unix --since "@${1%.*}" | awk -v since="$1" -v pattern="$2" \
        '$1 >= since && $0 ~ pattern { print $1; exit }'
}
mtime() { date -r "$1" +%s.%N 2>/dev/null; }

link=/dev/gsmmodem-$(usb_path acm)
runs=()
for plug_number in $(seq 1 10); do
    unplug acm
    wait_for 120 "the ACM modem unplugged" served "gsmmodem-$(usb_path ec25)"
    sleep 1
    bound=$(now)
    plug acm 2
    until [ -e "$link" ]; do sleep 0.01; done
    linked=$(now)
    wait_for 120 "the ACM modem served" served "gsmmodem-$(usb_path ec25)" "${link#/dev/}"
    woken=$(journal_at "$linked" "Started run-.*[.]service - modemwatchd wake-up")
    stopping=$(journal_at "$linked" "Stopping smstools.service")
    stopped=$(journal_at "$linked" "Stopped smstools.service")
    starting=$(journal_at "$linked" "Starting smstools.service")
    smsd=$(mtime /run/smstools/smsd.pid)
    runs+=("$(awk -v b="$bound" -v l="$linked" -v w="$woken" -v s="$stopping" -v t="$stopped" -v r="$starting" -v p="$smsd" \
        'BEGIN { printf "%.2f %.2f %.2f %.2f %.2f %.2f %.2f", p - b, l - b, w - l, s - w, t - s, r - t, p - r }')")
    say "plug $plug_number: bind to smsd started $(echo "${runs[-1]}" | cut -d' ' -f1) s"
done

# p50 and p95 of each column, nearest rank.
printf '%s\n' "${runs[@]}" >/tmp/bench.runs
for column in "1 bind to smsd started" "2 bind to gsmmodem link (udev)" "3 link to wake-up (the window)" \
    "4 wake-up to smstools stopping (the pass)" "5 smstools stop" "6 stopped to start (the configuration)" \
    "7 smstools start to smsd's pid file"; do
    n=${column%% *}
    say "$(cut -d' ' -f"$n" /tmp/bench.runs | sort -n | awk -v what="${column#* }" \
        '{ v[NR] = $1 } END { p50 = v[int((NR + 1) * 0.5)]; p95 = v[int(NR * 0.95 + 0.999)]; printf "%s: p50 %.2f s, p95 %.2f s", what, p50, p95 }')"
done
