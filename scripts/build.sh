#!/usr/bin/env bash
# Configures and builds into build/ (or build-asan/ with --sanitize). Usage: build.sh [--sanitize] [targets...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="$root/build"
opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "${1:-}" = "--sanitize" ]; then
  shift
  dir="$root/build-asan"
  opts=(-DCMAKE_BUILD_TYPE=Debug -DUPDATE_SANITIZE=ON)
fi
if [ "${CI:-}" = "true" ]; then opts+=(-DUPDATE_WERROR=ON); fi
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S "$root" -B "$dir" -G Ninja "${opts[@]}" >/dev/null
else
  cmake "$dir" "${opts[@]}" >/dev/null
fi
ninja -C "$dir" "$@"
