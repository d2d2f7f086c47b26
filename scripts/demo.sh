#!/usr/bin/env bash
# Builds modemwatchd and shows it at work on a simulated gateway box (about 15 seconds).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target modemwatchd modemwatchctl modemwatchd-demo >/dev/null
exec build/modemwatchd-demo
