#!/usr/bin/env bash
# Builds and runs the fault matrix: whole sessions of every loader family under every fault
# class on the virtual clock, printed as a table (family x fault class: runs, successes,
# clean failures, defects). Exits non-zero on any defect.
# Usage: fault_matrix.sh [--subset] [--jobs N] [--family NAME] [--filter TEXT] [--verbose]
#        fault_matrix.sh --run NAME      one run in the foreground, with the instrument's log
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/build.sh" fault_matrix >/dev/null
jobs=(--jobs "$(nproc)")
for a in "$@"; do if [ "$a" = "--jobs" ]; then jobs=(); fi; done
exec "$root/build/bin/fault_matrix" "${jobs[@]}" "$@"
