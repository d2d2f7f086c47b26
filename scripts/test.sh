#!/usr/bin/env bash
# Runs every test of modemwatchd. With stage names as arguments, runs only those stages.
# Needs root (or unprivileged user namespaces) for the end-to-end tests' fake box.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

stage_native() {
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build -j"$jobs"
    ctest --test-dir build -j"$jobs" --output-on-failure --label-exclude smsd
}

all_stages=(native)
stages=("${@:-${all_stages[@]}}")
for stage in "${stages[@]}"; do
    echo "=== stage: $stage"
    start=$SECONDS
    "stage_$stage"
    echo "=== stage $stage passed in $((SECONDS - start)) s"
done
