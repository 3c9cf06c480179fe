#!/usr/bin/env bash
# Programming-phase benchmark (not part of ctest): update-console programs a larger image into
# instrument-sim, which emits at the line rate (--pacing) and traces every chunk it reads and
# writes with microsecond stamps. After the loader's baud change (classic loader 1.60, and the
# 5xx loader) the line runs at 38400 baud 8E1 = 11 bits a byte. For each loader reported:
#   - image bytes per second while writing (and while reading back), against the raw line
#     (38400/11 bytes/s each way) and against the best this stop-and-wait dialogue could do on
#     that line (every byte of sync, frame and answer at line rate, no pause between them);
#   - the time from the loader's answer (its last byte emitted) to the host's next frame or sync.
# Usage: tests/bench/bench_programming.sh [BUILD_DIR] [IMAGE_BYTES] [classic|5xx|all]
#        (defaults: build, 32768, all)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build}"
size="${2:-32768}"
which="${3:-all}"
case "$build" in /*) ;; *) build="$PWD/$build" ;; esac
case "$which" in classic|5xx|all) ;; *) echo "bench: loader must be classic, 5xx or all"; exit 2 ;; esac

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DUPDATE_WITH_QT=OFF >/dev/null
fi
ninja -C "$build" -j2 update-console instrument-sim make-demo-firmware >/dev/null
bin="$build/bin"

work=""
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  if [ -n "$work" ]; then rm -rf "$work"; fi
}
trap cleanup EXIT

# bench LOADER: programs the package's image for that loader and analyses the trace.
bench() {
  local loader="$1" image gen sim_opts
  work="$(mktemp -d)"
  cp -r "$root/package/." "$work/"
  if [ "$loader" = classic ]; then
    image=FW_DEMO.TXT gen=() sim_opts=(--loader-version 1.60)
  else
    # The sample package's instrument with the 5xx loader.
    image=FW_5XX.TXT gen=(--loader 5xx) sim_opts=(--loader 5xx --device 28180.000)
  fi
  # The package's image at the benchmark size, and the instrument starting one version behind.
  "$bin/make-demo-firmware" firmware "$work/$image" --version 1.02 --size "$size" "${gen[@]}"
  "$bin/make-demo-firmware" firmware "$work/start.txt" --version 1.01 --size "$size" --seed 7 "${gen[@]}"

  "$bin/instrument-sim" --link "$work/tty" --pacing "${sim_opts[@]}" --firmware "$work/start.txt" \
    --dump "$work/flash.txt" --log "$work/sim.log" --trace "$work/trace.txt" >"$work/sim.out" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do [ -L "$work/tty" ] && break; sleep 0.05; done
  [ -L "$work/tty" ] || { cat "$work/sim.out"; exit 1; }

  local start end status=0
  start=$(date +%s.%N)
  (cd "$work" && UPDATE_COM_PORTS="3=$work/tty" "$bin/update-console" --yes >"$work/console.out" 2>&1) || status=$?
  end=$(date +%s.%N)
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=""

  if [ "$status" -ne 0 ] || ! grep -q "Download successfully completed !" "$work/console.out"; then
    echo "bench: the update through the $loader loader failed (status $status):"
    grep -v '^\[title\]\|^\[status 4\]' "$work/console.out" | tail -n 20
    exit 1
  fi
  "$bin/instrument-sim" --compare "$work/flash.txt" "$work/$image" >/dev/null ||
    { echo "bench: the flash does not equal the image ($loader loader)"; exit 1; }

  echo "== $loader loader"
  analyse "$loader" "$work/trace.txt" "$start" "$end"
  rm -rf "$work"
  work=""
}

analyse() {
python3 - "$1" "$2" "$size" "$3" "$4" <<'EOF'
import statistics
import sys

loader, trace_path, size, t0, t1 = sys.argv[1], sys.argv[2], int(sys.argv[3]), float(sys.argv[4]), float(sys.argv[5])
BYTE_S = 11 / 38400  # one byte at 38400 baud, 8 data bits, even parity, 1 stop bit

events = []  # (seconds, "in"|"out", bytes)
with open(trace_path) as f:
    for line in f:
        parts = line.split()
        if len(parts) >= 3:
            events.append((int(parts[0]) / 1e6, parts[1], bytes(int(x, 16) for x in parts[2:])))
events.sort(key=lambda e: e[0])

# The host's messages, parsed across chunks. Each keeps the index of the chunk it started in.
# Classic: a sync is a lone 0x80, a frame 80 CMD L1 L1 data(L1) CKL CKH (command at offset 1).
# 5xx: a frame 80 NL NH core(NL) CKL CKH (command at offset 3); there are no syncs.
stream = [(b, i) for i, (t, d, data) in enumerate(events) if d == "in" for b in data]
host = []  # (kind, frame bytes, event index)
k = 0
while k < len(stream):
    b, i = stream[k]
    n = 0
    if b == 0x80 and loader == "classic" and k + 3 < len(stream) and stream[k + 1][0] >= 0x10 \
            and stream[k + 2][0] == stream[k + 3][0]:
        n = stream[k + 2][0] + 6
    elif b == 0x80 and loader == "5xx" and k + 2 < len(stream):
        n = (stream[k + 1][0] | stream[k + 2][0] << 8) + 5
    if n:
        host.append(("frame", bytes(x for x, _ in stream[k:k + n]), i))
        k += n
    else:
        host.append(("sync" if b == 0x80 else "byte", bytes([b]), i))
        k += 1

CMD_AT = 1 if loader == "classic" else 3
if loader == "classic":
    WRITE, READ = 0x12, 0x14
    payload = {WRITE: lambda f: f[2] - 4,            # L1 counts address and length too
               READ: lambda f: f[6] | f[7] << 8}     # the length asked for
    is_image = lambda f: True
else:
    WRITE, READ = 0x10, 0x18
    payload = {WRITE: lambda f: (f[1] | f[2] << 8) - 4,  # NL counts command and address too
               READ: lambda f: f[7] | f[8] << 8}
    # The identifier read (0x1A04) is not part of the image.
    is_image = lambda f: (f[4] | f[5] << 8 | f[6] << 16) != 0x1A04

def phase(command):
    """First and last event index of the frames of one command, with the sync before the first
    (classic) and the answer after the last."""
    frames = [h for h in host if h[0] == "frame" and h[1][CMD_AT] == command and is_image(h[1])]
    if not frames:
        return None
    first = frames[0][2]
    if loader == "classic":
        while first > 0 and not (events[first - 1][1] == "in" and events[first - 1][2] == b"\x80"):
            first -= 1
        first -= 1
    last = frames[-1][2] + 1
    while last + 1 < len(events) and events[last + 1][1] == "out":
        last += 1
    return first, last, frames

def report(name, command):
    p = phase(command)
    if p is None:
        print(f"{name}: no frames")
        return None
    first, last, frames = p
    seconds = events[last][0] - events[first][0]
    image = sum(payload[command](f) for (_, f, _) in frames)
    on_line = sum(len(events[i][2]) for i in range(first, last + 1))
    best = on_line * BYTE_S
    rate = image / seconds
    print(f"{name}: {len(frames)} frames, {image} image bytes in {seconds:.3f} s = {rate:.0f} bytes/s")
    print(f"  raw line limit 38400/11 = {1 / BYTE_S:.0f} bytes/s each way: {100 * rate * BYTE_S:.1f} %")
    print(f"  {on_line} bytes crossed the line in this phase (both ways); at line rate back to back "
          f"that is {best:.3f} s, {image / best:.0f} image bytes/s: reached {100 * best / seconds:.1f} %")
    return first, last

print(f"image: {size} bytes of program and the vector table; the whole update took {t1 - t0:.1f} s")
w = report("writing", WRITE)
r = report("reading back", READ)

# The host's turnaround: from the last byte of an answer to the next chunk from the host.
def gaps(first, last):
    if loader == "classic":
        result = {"after a frame's ACK": [], "after a sync's ACK": [], "after a reply frame": []}
    else:
        # Every write and read-back is answered by the ACK and a reply frame.
        result = {"after the ACK and its reply frame": []}
    last_host = None
    for i in range(first, last + 1):
        t, d, data = events[i]
        if d == "in":
            prev = events[i - 1]
            if prev[1] == "out":
                if loader == "5xx":
                    key = "after the ACK and its reply frame"
                elif prev[2][-1:] == b"\x90" and last_host == "sync":
                    key = "after a sync's ACK"
                elif prev[2][-1:] == b"\x90":
                    key = "after a frame's ACK"
                else:
                    key = "after a reply frame"
                result[key].append(t - prev[0])
            last_host = "sync" if data == b"\x80" else "frame"
    return result

lo = min(x[0] for x in (w, r) if x)
hi = max(x[1] for x in (w, r) if x)
g = gaps(lo, hi)
every = [x for v in g.values() for x in v]
print(f"answer -> next frame from the host (writing and reading back): median "
      f"{1000 * statistics.median(every):.2f} ms over {len(every)} answers")
for k, v in g.items():
    if v:
        q = statistics.quantiles(v, n=10) if len(v) >= 10 else [max(v)] * 9
        print(f"  {k}: median {1000 * statistics.median(v):.2f} ms, 90 % {1000 * q[8]:.2f} ms, "
              f"max {1000 * max(v):.2f} ms ({len(v)})")
EOF
}

if [ "$which" = classic ] || [ "$which" = all ]; then bench classic; fi
if [ "$which" = 5xx ] || [ "$which" = all ]; then bench 5xx; fi
