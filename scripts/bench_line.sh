#!/usr/bin/env bash
# Production-line benchmark (not part of ctest): N simulated instruments at the line rate
# (--pacing), each updated once alone and then all N at the same time with update-line. Prints
# each instrument's time alone and in parallel and the processor time of its update-console
# run; fails when a parallel run takes more than 10 % longer than the same instrument alone, or
# when a flash does not end up equal to the package's image.
# Usage: scripts/bench_line.sh [N (8)] [BUILD_DIR]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
n=${1:-8}
build=${2:-$root/build}
bin="$build/bin"
ninja -C "$build" update-console update-line instrument-sim >/dev/null

work=$(mktemp -d)
pids=()
stop_sims() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  pids=()
}
trap 'stop_sims; rm -rf "$work"' EXIT
cp -r "$root/package" "$work/package"

# Instrument i on $work/tty<i>, one version behind the package, its flash dumped on exit.
start_sim() {
  local i=$1 phase=$2
  "$bin/instrument-sim" --link "$work/tty$i" --pacing --serial "$((10000000 + i))" \
    --firmware "$root/sim/firmware/FW_DEMO_101.TXT" --dump "$work/flash-$phase-$i.txt" \
    >"$work/sim-$phase-$i.out" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do [ -L "$work/tty$i" ] && return 0; sleep 0.05; done
  echo "bench: instrument $i did not start"; cat "$work/sim-$phase-$i.out"; exit 1
}
check_flash() {
  local phase=$1
  for i in $(seq "$n"); do
    "$bin/instrument-sim" --compare "$work/flash-$phase-$i.txt" "$work/package/FW_DEMO.TXT" >/dev/null ||
      { echo "bench: instrument $i ($phase) does not hold the image"; exit 1; }
  done
}

echo "bench: $n instruments alone, one after the other"
: >"$work/solo.json"
for i in $(seq "$n"); do
  start_sim "$i" solo
  "$bin/update-line" --json --package "$work/package" "$work/tty$i" >>"$work/solo.json" ||
    { echo "bench: instrument $i failed alone"; cat "$work/solo.json"; exit 1; }
  stop_sims
  rm -f "$work/tty$i"
done
check_flash solo

echo "bench: $n instruments at the same time"
devices=()
for i in $(seq "$n"); do start_sim "$i" parallel; devices+=("$work/tty$i"); done
"$bin/update-line" --json --package "$work/package" "${devices[@]}" >"$work/parallel.json" ||
  { echo "bench: a parallel run failed"; cat "$work/parallel.json"; exit 1; }
stop_sims
check_flash parallel

python3 - "$work/solo.json" "$work/parallel.json" "$(nproc)" <<'PY'
import json, sys
solo = [json.loads(l) for l in open(sys.argv[1])]
par = [json.loads(l) for l in open(sys.argv[2])]
print(f"{'instrument':<12}{'alone':>10}{'parallel':>10}{'ratio':>8}{'cpu alone':>11}{'cpu parallel':>14}")
worst = 0.0
for i, (s, p) in enumerate(zip(solo, par), 1):
    ratio = p["time"] / s["time"]
    worst = max(worst, ratio)
    print(f"{i:<12}{s['time']:>9.2f}s{p['time']:>9.2f}s{ratio:>8.3f}{s['cpu']:>10.3f}s{p['cpu']:>13.3f}s")
cpu = sum(p["cpu"] for p in par) / len(par)
print(f"worst ratio {worst:.3f} (limit 1.100); update-console used {cpu:.3f} s of processor time per "
      f"instrument in parallel ({100 * cpu / (sum(p['time'] for p in par) / len(par)):.2f} % of one core), "
      f"{sys.argv[3]} cores")
sys.exit(0 if worst <= 1.10 else 1)
PY
