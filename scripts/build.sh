#!/usr/bin/env bash
# Configures and builds into build/, or with a first option into build-asan/ (--sanitize:
# AddressSanitizer and UndefinedBehaviorSanitizer), build-tsan/ (--tsan: ThreadSanitizer) or
# build-fuzz/ (--fuzz: clang, the libFuzzer targets; default target "fuzzers").
# Usage: build.sh [--sanitize|--tsan|--fuzz] [targets...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="$root/build"
opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
env_cxx=()
case "${1:-}" in
  --sanitize)
    shift
    dir="$root/build-asan"
    opts=(-DCMAKE_BUILD_TYPE=Debug -DUPDATE_SANITIZE=ON)
    ;;
  --tsan)
    shift
    dir="$root/build-tsan"
    opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATE_TSAN=ON -DUPDATE_WITH_QT=OFF)
    ;;
  --fuzz)
    shift
    dir="$root/build-fuzz"
    opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATE_FUZZ=ON -DUPDATE_WITH_QT=OFF)
    env_cxx=(env CXX=clang++ CC=clang)
    if [ $# -eq 0 ]; then set -- fuzzers; fi
    ;;
esac
# clang warns where g++ does not: the fuzz build keeps its warnings as warnings.
if [ "${CI:-}" = "true" ] && [ "$dir" != "$root/build-fuzz" ]; then opts+=(-DUPDATE_WERROR=ON); fi
if [ ! -f "$dir/build.ninja" ]; then
  "${env_cxx[@]}" cmake -S "$root" -B "$dir" -G Ninja "${opts[@]}" >/dev/null
else
  cmake "$dir" "${opts[@]}" >/dev/null
fi
ninja -C "$dir" "$@"
