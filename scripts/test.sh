#!/usr/bin/env bash
# Sets up the machine, builds and runs the whole test suite (the fault matrix included), then
# builds and checks the Debian package. With CI=true (or --all) the suite runs a second time in
# a build with AddressSanitizer and UndefinedBehaviorSanitizer, the threaded tests run under
# ThreadSanitizer, and every fuzz target runs for a short while (FUZZ_SECONDS, default 15).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/setup.sh" --tests
# Everything the tests use is installed now: a test that skips itself fails (tests/TestMain.cpp).
export UPDATE_NO_SKIPS=1

run_suite() {
  local dir="$1"
  (cd "$dir" && ctest --output-on-failure -j"$(nproc)" --timeout 300)
}

bash "$root/scripts/build.sh"
run_suite "$root/build"
bash "$root/scripts/package.sh" "$root/build"

if [ "${CI:-}" = "true" ] || [ "${1:-}" = "--all" ]; then
  bash "$root/scripts/build.sh" --sanitize
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite "$root/build-asan"
  bash "$root/scripts/tsan.sh"
  bash "$root/scripts/fuzz.sh" "${FUZZ_SECONDS:-15}"
fi
