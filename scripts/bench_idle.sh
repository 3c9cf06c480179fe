#!/bin/sh
# Idle-CPU benchmark of the main window waiting in TDelay on Qt's offscreen platform (not part
# of ctest). Usage: scripts/bench_idle.sh [build-dir] [milliseconds]
set -e
BUILD=${1:-build}
MS=${2:-5000}
ninja -C "$BUILD" idle_window_bench >/dev/null
exec "$BUILD/bin/idle_window_bench" "$MS"
