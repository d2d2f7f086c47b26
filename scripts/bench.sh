#!/usr/bin/env bash
# Prints modemwatchd's figures: start-up at the default and the highest descriptor limit, and the
# CPU cost of a quiet pass against the counting pipeline alone. Runs the daemon in the fake box,
# so it needs root (or unprivileged user namespaces), and strace.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
echo "== start-up"
build/tests/startup_bench "${STARTUP_RUNS:-15}"
echo "== quiet pass"
build/tests/pass_cost_bench "${PASSES:-300}"
