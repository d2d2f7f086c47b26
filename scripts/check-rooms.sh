#!/usr/bin/env bash
# Fails when a source file includes a room it may not use: each room depends only on the rooms
# below it, and the daemon never on the companion command.
#   scripts/check-rooms.sh SRC_DIR
set -euo pipefail
cd "$1"

# room: the rooms its files may include (itself included).
declare -A may_use=(
    [common]="common"
    [log]="common log"
    [usb]="common usb"
    [smstools]="common log smstools"
    [metrics]="common metrics"
    [health]="common log smstools health"
    [heal]="common log usb smstools health heal"
    [usbreset]="common usb usbreset"
    [supervision]="common log usb smstools metrics health heal supervision"
    [process]="common log heal supervision process"
    [modemwatchctl]="common metrics modemwatchctl"
    [modemwatchctl/view]="common metrics modemwatchctl modemwatchctl/view modemwatchctl/probe"
    [modemwatchctl/wake]="common metrics modemwatchctl modemwatchctl/wake"
    [modemwatchctl/probe]="common usb modemwatchctl modemwatchctl/probe"
)
# What the command's rooms take from metrics/: the published names, no code.
shared_header=metrics/metrics_names.hpp

failed=0
# Every include, whatever its spacing: a quoted one always names a room ("room/file.hpp"); one in
# angle brackets does when its first folder is a room's (else it is the system's, <sys/stat.h>).
includes() {
    sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*\(["<][^">]*[">]\).*/\1/p' "$1" | while IFS= read -r word; do
        path=${word:1:${#word}-2}
        if [ "${word:0:1}" = '"' ] || [ -d "${path%%/*}" ]; then
            echo "$path"
        fi
    done
}

for file in $(find . -type f \( -name '*.cpp' -o -name '*.cc' -o -name '*.c' -o -name '*.hpp' -o -name '*.h' \) |
              sed 's#^\./##' | sort); do
    room=$(dirname "$file")
    [ -n "${may_use[$room]+set}" ] || { echo "check-rooms: $file is in no known room" >&2; failed=1; continue; }
    while IFS= read -r included; do
        target=$(dirname "$included")
        allowed=0
        for use in ${may_use[$room]}; do
            # The command's entry (modemwatchctl/main.cpp) picks among its capabilities.
            if [ "$target" = "$use" ] || { [ "$file" = modemwatchctl/main.cpp ] && [[ $target == modemwatchctl/* ]]; }; then
                allowed=1
            fi
        done
        if [ "$target" = metrics ] && [[ $room == modemwatchctl* ]] && [ "$included" != "$shared_header" ]; then
            allowed=0
        fi
        if [ $allowed = 0 ]; then
            echo "check-rooms: $file includes \"$included\": $room may not use $target" >&2
            failed=1
        fi
    done < <(includes "$file")
done
exit $failed
