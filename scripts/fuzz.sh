#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, build-fuzz/) and runs each for a given time.
# Usage: fuzz.sh [SECONDS per target, default 60] [target ...]   (default: every target)
# The seed corpora in tests/fuzz/corpus/<target> are read; what the fuzzer adds goes to
# build-fuzz/corpus/<target>, findings to build-fuzz/findings/<target>. Exits non-zero when
# a target found a crash, a leak, undefined behaviour or a hang (over 25 s for one input).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
shift || true
bash "$root/scripts/build.sh" --fuzz fuzzers >/dev/null
bin="$root/build-fuzz/bin"
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for t in "$bin"/fuzz_*; do targets+=("$(basename "$t")"); done
fi
failed=0
printf '%-24s %8s %12s %10s  %s\n' target seconds executions exec/s result
for t in "${targets[@]}"; do
  work="$root/build-fuzz/corpus/$t"
  findings="$root/build-fuzz/findings/$t"
  mkdir -p "$work" "$findings"
  log="$root/build-fuzz/findings/$t.log"
  seeds="$root/tests/fuzz/corpus/$t"
  set +e
  (cd "$findings" && "$bin/$t" "$work" "$seeds" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2560 \
     -print_final_stats=1 >"$log" 2>&1)
  rc=$?
  set -e
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo 0)
  rate=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo 0)
  result=clean
  if [ $rc -ne 0 ]; then
    result="FINDING (exit $rc), see $log and $findings"
    failed=1
  fi
  printf '%-24s %8s %12s %10s  %s\n' "$t" "$seconds" "$runs" "$rate" "$result"
done
exit $failed
