#!/usr/bin/env bash
# Runs every test of modemwatchd; with stage names as arguments, only those stages (a+b: side by
# side; a,b: one after the other, as one side). First it installs the Debian packages the chosen stages need and the machine
# lacks (as root; without root it names them and stops). The end-to-end stages need root (or
# unprivileged user namespaces) for the fake box.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
# The end-to-end tests mostly wait on the daemon's passes: twice as many at once as there are CPUs.
test_jobs=$((jobs * 2))
arm_emulator="qemu-arm-static -cpu arm1176"
arm64_emulator="qemu-aarch64-static -cpu cortex-a53"
# Reruns of the end-to-end suite against other binaries leave out the minute-long hang (it tests
# the pass, which the native and sanitizer runs cover) and the probe, which is modemwatchctl's.
rerun_exclude="e2e_without_root|ServiceCommandThatHangs|Probe\."

# What each stage needs from Debian, beyond what all of them need.
declare -A stage_packages=(
    [native]=""
    [arm]="g++-arm-linux-gnueabi g++-aarch64-linux-gnu qemu-user-static"
    [package]="dpkg-dev debhelper lintian man-db logrotate systemd smstools g++-arm-linux-gnueabi
               binutils-arm-linux-gnueabihf g++-aarch64-linux-gnu qemu-user-static"
    [smsd]="smstools g++-arm-linux-gnueabi qemu-user-static"
    [metrics]="prometheus-node-exporter prometheus"
    [sanitize]=""
    [soak]="valgrind"
    [fuzz]="clang libclang-rt-14-dev"
    [lint]="clang-tidy cppcheck"
    [system]="mmdebstrap systemd-container dpkg-dev debhelper"
    [box]="mmdebstrap qemu-system-x86 qemu-system-arm qemu-user-static arch-test e2fsprogs dpkg-dev debhelper
           g++-arm-linux-gnueabi binutils-arm-linux-gnueabihf"
)
common_packages="cmake g++ make libgtest-dev util-linux strace procps jq ccache"

# Every compiler through ccache, its cache kept with the box disks: a run with it warm builds its
# eight trees (the packages' among them) in seconds, not the ten minutes a cold one takes. Paths
# under the work tree are hashed relative to it, so a fresh clone elsewhere finds them too.
export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=true CCACHE_MAXSIZE=2G
[ "$(id -u)" != 0 ] || export CCACHE_DIR=${CCACHE_DIR:-/var/cache/modemwatchd-test/ccache}

# Installs what the stages need and is missing. smstools and the node exporter are what the
# tests run against: installed with a policy-rc.d that keeps them from starting on this machine.
set_up() {
    local wanted=$common_packages missing=() package
    for stage in "$@"; do
        stage=${stage%%-*}  # box-rows: the box's
        [ -n "${stage_packages[$stage]+set}" ] || { echo "test.sh: no stage '$stage'" >&2; exit 2; }
        wanted+=" ${stage_packages[$stage]}"
    done
    for package in $wanted; do
        dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort -u)
    if [ "$(id -u)" != 0 ]; then
        echo "test.sh: these Debian packages are missing: ${missing[*]}" >&2
        echo "test.sh: run this command as root to install them, or: apt-get install ${missing[*]}" >&2
        exit 1
    fi
    echo "=== installing: ${missing[*]}"
    local policy=""
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        policy=/usr/sbin/policy-rc.d
        printf '#!/bin/sh\nexit 101\n' >"$policy"
        chmod 755 "$policy"
    fi
    DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
    [ -z "$policy" ] || rm -f "$policy"
}

# Builds a tree, once a run for the same options: the stages after the first that builds it, and
# stages run side by side, find it built.
declare -A configured=()
configure() {  # build directory, then cmake options
    local dir=$1
    shift
    [ "${configured[$dir]:-}" != "$*" ] || return 0
    cmake -S . -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
    configured[$dir]=$*
}

# The daemon on this machine: unit tests, end-to-end tests as root and without root.
stage_native() {
    configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    ctest --test-dir build -j"$test_jobs" --output-on-failure --label-exclude 'smsd|metrics'
}

# The static ARMv6 binary we ship and the static aarch64 one of the arm64 package (64-bit
# Raspberry Pi OS): their unit tests under qemu, the first on the oldest CPU we support. (The
# package stage drives the binaries the packages ship through the end-to-end suite, and the box
# stage the armhf one on an ARM kernel.)
stage_arm() {
    configure build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/armv6-static.cmake -DCMAKE_BUILD_TYPE=MinSizeRel
    ctest --test-dir build-arm -j"$jobs" --output-on-failure
    arm-linux-gnueabi-strip -o build-arm/modemwatchd.stripped build-arm/modemwatchd
    echo "stripped ARMv6 binary: $(stat -c %s build-arm/modemwatchd.stripped) bytes"
    configure build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-static.cmake -DCMAKE_BUILD_TYPE=MinSizeRel
    ctest --test-dir build-arm64 -j"$jobs" --output-on-failure
    aarch64-linux-gnu-strip -o build-arm64/modemwatchd.stripped build-arm64/modemwatchd
    echo "stripped aarch64 binary: $(stat -c %s build-arm64/modemwatchd.stripped) bytes"
}

# The two packages, built by dpkg-buildpackage (armhf cross-built), lintian-clean; the binaries
# they ship through the end-to-end suite (the ARM one under qemu on an arm1176); the amd64 one
# installed, upgraded, removed and purged in a throw-away root.
stage_package() {
    configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    rm -rf build-deb
    scripts/build-deb.sh amd64
    scripts/build-deb.sh armhf
    scripts/build-deb.sh arm64
    lintian --fail-on error,warning build-deb/*.deb
    echo "lintian: no errors, no warnings"
    for arch in amd64 armhf arm64; do
        echo "$arch: $(stat -c %s build-deb/modemwatchd_*_$arch.deb) bytes"
    done
    local shipped=build-deb/amd64/modemwatchd-*/debian/modemwatchd
    MODEMWATCHD_BINARY=$(realpath $shipped/usr/sbin/modemwatchd) \
        ctest --test-dir build -j"$test_jobs" --output-on-failure --label-regex e2e --exclude-regex "$rerun_exclude"
    shipped=build-deb/armhf/modemwatchd-*/debian/modemwatchd
    MODEMWATCHD_BINARY=$(realpath $shipped/usr/sbin/modemwatchd) MODEMWATCHD_EMULATOR="$arm_emulator" \
        ctest --test-dir build -j"$test_jobs" --output-on-failure --label-regex e2e --exclude-regex "$rerun_exclude"
    shipped=build-deb/arm64/modemwatchd-*/debian/modemwatchd
    MODEMWATCHD_BINARY=$(realpath $shipped/usr/sbin/modemwatchd) MODEMWATCHD_EMULATOR="$arm64_emulator" \
        ctest --test-dir build -j"$test_jobs" --output-on-failure --label-regex e2e --exclude-regex "$rerun_exclude"
    scripts/check-package.sh build-deb/modemwatchd_*_amd64.deb
}

# Runs the function `run` once for each name, side by side, each line it prints led by
# "[name] "; fails when any of them failed.
side_by_side() {  # run, names...
    local run=$1 name pid pids=() failed=0
    shift
    for name in "$@"; do
        "$run" "$name" > >(sed -u "s/^/[$name] /") 2>&1 &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do
        wait "$pid" || failed=1
    done
    return $failed
}

# The amd64 package on a booted Debian 12, then Debian 13, with Debian's smstools, driven through
# their systemd: the package stage's .deb when there is one, else built here. One after the other:
# each container's systemd keeps the cgroup it was started in (--keep-unit), and two side by side
# would share it, each removing the other's units' cgroups.
stage_system() {
    configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    ls build-deb/modemwatchd_*_amd64.deb >/dev/null 2>&1 || scripts/build-deb.sh amd64
    local release
    for release in bookworm trixie; do
        SYSTEM_RELEASE=$release tests/system/booted_box.sh build-deb/modemwatchd_*_amd64.deb build/tests/modem-sim \
            > >(sed -u "s/^/[$release] /") 2>&1 || return 1
    done
}

# The packages on Debian 13's own kernels, booted by QEMU, with USB modems the kernel makes
# (dummy_hcd and configfs gadgets) bound by the stock drivers: the package stage's .debs when
# there are, else built here. The amd64 package on a PC in two boxes, the rows (box-rows) and
# the heal rows (box-heal), which mostly wait on smsd's timeouts; the armhf package on the 32-bit
# ARM kernel, with the ARM simulator (box-arm). Each box alone: scripts/test.sh box-arm.
box_ready() {
    configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    configure build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/armv6-static.cmake -DCMAKE_BUILD_TYPE=MinSizeRel
    local arch
    for arch in amd64 armhf; do
        ls build-deb/modemwatchd_*_$arch.deb >/dev/null 2>&1 || scripts/build-deb.sh $arch
        tests/box/kernel_box.sh --prepare $arch
    done
}
stage_box-rows() {
    box_ready
    BOX_SMP=2 tests/box/kernel_box.sh build-deb/modemwatchd_*_amd64.deb build/tests/modem-sim rows
}
stage_box-heal() {
    box_ready
    BOX_SMP=1 tests/box/kernel_box.sh build-deb/modemwatchd_*_amd64.deb build/tests/modem-sim heal
}
stage_box-arm() {
    box_ready
    tests/box/kernel_box.sh build-deb/modemwatchd_*_armhf.deb build-arm/tests/modem-sim arm
}
# All three. The emulated ARM CPU is about ten times slower than the PC's: beside both PC boxes
# none of the three boots and installs within its bounds. It follows the rows, beside the heal
# rows' last waits.
stage_box() {
    run_group box-rows,box-arm+box-heal
}

# The shipped ARM binary, under qemu, against Debian's real smsd with simulated modems.
stage_smsd() {
    configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    [ -x build-arm/modemwatchd ] ||
        configure build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/armv6-static.cmake -DCMAKE_BUILD_TYPE=MinSizeRel
    MODEMWATCHD_BINARY=$PWD/build-arm/modemwatchd MODEMWATCHD_EMULATOR="$arm_emulator" \
        ctest --test-dir build --output-on-failure --verbose --label-regex smsd
}

# The published state through Debian's real node exporter, scraped over loopback HTTP, and the
# shipped alert rules through Prometheus' own rule tester.
stage_metrics() {
    configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    ctest --test-dir build --output-on-failure --label-regex metrics
    promtool check rules packaging/modemwatchd-alerts.yml
    promtool test rules tests/metrics/alerts_test.yml
}

# Everything again with AddressSanitizer and UndefinedBehaviorSanitizer: daemon, harness, tests.
stage_sanitize() {
    configure build-asan -DCMAKE_BUILD_TYPE=Debug -DMODEMWATCHD_SANITIZE=ON
    ctest --test-dir build-asan -j"$test_jobs" --output-on-failure --label-exclude 'smsd|metrics'
}

# Thousands of passes with modems and status changing: natively for descriptors and resident
# memory, under valgrind for leaks and memory errors. SOAK_PASSES=5000 for the full run.
stage_soak() {
    configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    build/tests/soak --passes "${SOAK_PASSES:-1000}"
    build/tests/soak --passes "${SOAK_PASSES:-1000}" --valgrind
}

# libFuzzer on the status-file count and on the configuration generator fed arbitrary device
# names, FUZZ_SECONDS each (20 by default, to leave the whole run's time to the kernel box; run
# longer by hand).
stage_fuzz() {
    CXX=clang++ configure build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMODEMWATCHD_FUZZ=ON -DMODEMWATCHD_TESTS=OFF
    for target in status_count port_state smsd_conf; do
        corpus=build-fuzz/corpus-$target
        mkdir -p "$corpus"
        printf 'Status:\t12-07 06:37:09,\t3\nGSM1:\t12-07 06:37:09,\tReceiving,\t0\nGSM2: x, Blocked,\nGSM30:\t,Idle\n' >"$corpus/seed-status"
        printf 'gsmmodem1/gsmmodem-usb2/gsm\nmodem3' >"$corpus/seed-names"
        if ! build-fuzz/${target}_fuzz -max_total_time="${FUZZ_SECONDS:-20}" -print_final_stats=1 "$corpus" \
            >build-fuzz/$target.log 2>&1; then
            tail -n 40 build-fuzz/$target.log
            return 1
        fi
        echo "$target: $(grep -E '^Done' build-fuzz/$target.log)"
    done
}

# clang-tidy (.clang-tidy) and cppcheck over the daemon's sources: any finding fails.
stage_lint() {
    configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    find src -name "*.cpp" | sort | xargs -P "$jobs" -n 4 clang-tidy -p build --quiet \
        2> >(grep -v "warnings generated" >&2)
    echo "clang-tidy: no findings"
    cppcheck --enable=warning,style,performance,portability --inline-suppr --error-exitcode=1 --std=c++17 \
        -I src --suppress=missingIncludeSystem --quiet src
    echo "cppcheck: no findings"
}

run_stage() {  # name
    local start=$SECONDS
    echo "=== stage: $1"
    "stage_$1"
    echo "=== stage $1 passed in $((SECONDS - start)) s"
}

# Stages one after the other (a,b). Called plainly, never in a test: set -e ends the lane at the
# first failing command of a stage.
run_lane() {  # "a,b"
    local stage stages
    IFS=, read -ra stages <<<"$1"
    for stage in "${stages[@]}"; do
        run_stage "$stage"
    done
}

# Lanes side by side (a+b,c). What they share is built before any starts.
run_group() {  # "a+b,c"
    if [[ $1 != *+* ]]; then
        run_lane "$1"
        return
    fi
    configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    [[ $1 != *box* ]] || box_ready
    IFS=+ read -ra lanes <<<"$1"
    side_by_side run_lane "${lanes[@]}"
}

# A whole run puts side by side stages of which one mostly waits and the others neither run
# the daemon nor an smsd where they share a pid namespace: the end-to-end tests beside the ARM
# unit tests; the heal rows wait out smsd's timeouts in a box of their own beside the PC rows
# and then the ARM box; smsd's rows wait out its timeouts beside lint; the booted containers
# boot beside the fuzzers; the sanitizers' end-to-end tests wait beside the soak's passes, each
# daemon in a box of its own with a fake smstools. A daemon under test stops any smsd it finds
# in the pid namespace, so no stage that runs one goes beside smsd or the system stage. Nothing
# else goes beside the ARM box: its emulated CPU needs the machine (beside the smsd stage's
# qemu-run binary it missed its 300 s bound for a restart of smstools).
all_stages=(native+arm package box-rows,box-arm+box-heal smsd+lint system+fuzz metrics sanitize+soak)
groups=("${@:-${all_stages[@]}}")
set_up $(printf '%s\n' "${groups[@]}" | tr '+,' '\n\n')
for group in "${groups[@]}"; do
    run_group "$group"
done
echo "=== all passed in $SECONDS s"
