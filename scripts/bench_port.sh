#!/bin/sh
# Port latency and idle-CPU benchmark on a pseudo-terminal pair (not part of ctest).
# Usage: scripts/bench_port.sh [build-dir] [samples] [idle-seconds]
set -e
BUILD=${1:-build}
SAMPLES=${2:-1000}
IDLE=${3:-10}
ninja -C "$BUILD" port_latency_bench >/dev/null
exec "$BUILD/bin/port_latency_bench" "$SAMPLES" "$IDLE"
