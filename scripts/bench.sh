#!/usr/bin/env bash
# Prints modemwatchd's figures: start-up time and close() calls at the default and the highest
# descriptor limit, the CPU cost of a quiet pass against the counting pipeline alone, the
# daemon's peak resident memory, and the size of the stripped binaries. Runs the daemon in the
# fake box, so it needs root (or unprivileged user namespaces), and strace.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
echo "== start-up"
build/tests/startup_bench "${STARTUP_RUNS:-15}"
echo "== quiet pass"
build/tests/pass_cost_bench "${PASSES:-300}"
echo "== stripped binaries"
cmake -S . -B build-static -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_EXE_LINKER_FLAGS=-static -DMODEMWATCHD_TESTS=OFF >/dev/null
cmake --build build-static -j"$(nproc)" >/dev/null
strip -o build-static/modemwatchd.stripped build-static/modemwatchd
echo "amd64, static: $(stat -c %s build-static/modemwatchd.stripped) bytes"
if command -v arm-linux-gnueabi-g++ >/dev/null; then
    cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/armv6-static.cmake -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
    cmake --build build-arm -j"$(nproc)" --target modemwatchd >/dev/null
    arm-linux-gnueabi-strip -o build-arm/modemwatchd.stripped build-arm/modemwatchd
    echo "ARMv6, static: $(stat -c %s build-arm/modemwatchd.stripped) bytes"
fi
