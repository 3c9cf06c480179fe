#!/usr/bin/env bash
# Builds the threaded tests with ThreadSanitizer (build-tsan/) and runs them: the port's
# receive and transmit threads, the thread messages, the updater-library worker, the
# simulated instrument's pacing thread, and the whole sessions that use all of them (the
# fault matrix among them: sessions whose port is unplugged, whose instrument falls silent).
# Exits non-zero on a data race, a lock-order inversion or a failed test.
# Usage: tsan.sh [test executable ...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
tests=("$@")
if [ ${#tests[@]} -eq 0 ]; then
  tests=(kernel_tests comport_record_tests comport_loopback_tests comport_pty_tests loaders_tests sim_tests
         session_tests window_headless_tests fault_matrix)
fi
bash "$root/scripts/build.sh" --tsan "${tests[@]}" >/dev/null
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 history_size=4 ${TSAN_OPTIONS:-}"
export QT_QPA_PLATFORM=offscreen
failed=0
for t in "${tests[@]}"; do
  log="$root/build-tsan/$t.log"
  start=$(date +%s)
  args=(--gtest_brief=1)
  if [ "$t" = fault_matrix ]; then args=(--jobs "$(nproc)"); fi
  if (cd "$root/build-tsan" && "bin/$t" "${args[@]}" >"$log" 2>&1); then
    echo "tsan: $t clean ($(( $(date +%s) - start )) s)"
  else
    echo "tsan: $t FAILED, see $log"
    grep -m1 -A20 "WARNING: ThreadSanitizer" "$log" || tail -20 "$log"
    failed=1
  fi
done
exit $failed
