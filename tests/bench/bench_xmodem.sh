#!/usr/bin/env bash
# Serial boot-loader benchmark (not part of ctest): update-console sends a ".BIN" image with
# XMODEM-CRC to instrument-sim, whose loader runs at 115200 8N2, emits at the line rate
# (--pacing: its answer starts once the host's bytes would have crossed the line) and traces
# every chunk it reads and writes with microsecond stamps. Reported for the transfer (first
# packet to the acknowledged EOT):
#   - image bytes per second against the raw line: 8N2 is 11 bits a byte (start, 8 data, 2 stop),
#     115200/11 = 10473 bytes/s; at 12 bits a byte 9600 bytes/s;
#   - against what the stop-and-wait dialogue allows on that line: each packet's 133 bytes one
#     way and its ACK the other, back to back, carry 128 image bytes;
#   - the host's turnaround: from the loader's ACK to the first byte of the next packet.
# Usage: tests/bench/bench_xmodem.sh [BUILD_DIR] [IMAGE_BYTES]   (defaults: build, 65536)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build}"
size="${2:-65536}"
case "$build" in /*) ;; *) build="$PWD/$build" ;; esac

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DUPDATE_WITH_QT=OFF >/dev/null
fi
ninja -C "$build" -j2 update-console instrument-sim >/dev/null
bin="$build/bin"

work="$(mktemp -d)"
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
cp -r "$root/package/." "$work/"
# The sample package turned into a ".BIN" package: the image carries its version as text.
sed -i 's/^ProgFile2=FW_DEMO.TXT/ProgFile2=FW_DEMO.BIN/; s/^SWKenn2=.*/SWKenn2=VERS:/' "$work/ProgDevice.ini"
python3 - "$work/FW_DEMO.BIN" "$size" <<'EOF'
import sys
path, size = sys.argv[1], int(sys.argv[2])
image = bytearray((i * 73 + (i >> 9)) & 0xFF for i in range(size))
image[0] = 0
marker = b"VERS: 1.02\0"
image[size // 4:size // 4 + len(marker)] = marker
open(path, "wb").write(image)
EOF

"$bin/instrument-sim" --link "$work/tty" --pacing --xmodem --version-marker "VERS: " \
  --dump-received "$work/received.bin" --log "$work/sim.log" --trace "$work/trace.txt" >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [ -L "$work/tty" ] && break; sleep 0.05; done
[ -L "$work/tty" ] || { cat "$work/sim.out"; exit 1; }

start=$(date +%s.%N)
status=0
(cd "$work" && UPDATE_COM_PORTS="3=$work/tty" "$bin/update-console" --yes >"$work/console.out" 2>&1) || status=$?
end=$(date +%s.%N)
kill "$sim_pid" 2>/dev/null || true
wait "$sim_pid" 2>/dev/null || true
sim_pid=""

if [ "$status" -ne 0 ] || ! grep -q "Download successfully completed !" "$work/console.out"; then
  echo "bench: the update failed (status $status):"
  grep -v '^\[title\]\|^\[status 4\]' "$work/console.out" | tail -n 20
  exit 1
fi

python3 - "$work/trace.txt" "$work/FW_DEMO.BIN" "$work/received.bin" "$start" "$end" <<'EOF'
import statistics
import struct
import sys

trace_path, file_path, received_path, t0, t1 = sys.argv[1:6]
BAUD = 115200
BITS = 11  # 8N2: start bit, 8 data bits, 2 stop bits

def crc16(data):
    crc = 0
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc

# The image as the loader must receive it.
data = bytearray(open(file_path, "rb").read())
file_size = len(data)
packets = (len(data) + 6) // 128 + 1
length = packets * 128 - 6
data += b"\xff" * (length - len(data))
image = bytes(data) + struct.pack("<IH", length, crc16(data))
if open(received_path, "rb").read() != image:
    print("bench: the loader did not receive the padded image")
    sys.exit(1)

events = []  # (seconds, "in"|"out", bytes)
with open(trace_path) as f:
    for line in f:
        parts = line.split()
        if len(parts) >= 3:
            events.append((int(parts[0]) / 1e6, parts[1], bytes(int(x, 16) for x in parts[2:])))
events.sort(key=lambda e: e[0])

# The host's bytes as one stream; each packet (SOH n 255-n, 128 data, CRC) keeps the time of
# the chunk its first byte came in.
stream = [(b, t) for (t, d, chunk) in events if d == "in" for b in chunk]
starts = []
k = 0
while k + 133 <= len(stream):
    b, t = stream[k]
    if b == 0x01 and (stream[k + 1][0] + stream[k + 2][0]) == 0xFF:
        starts.append(t)
        k += 133
    else:
        k += 1
eot = next(t for (b, t) in reversed(stream) if b == 0x04)
acks = [t for (t, d, chunk) in events if d == "out" and chunk == b"\x06"]
last_ack = next(t for t in acks if t >= eot)
first = starts[0]
seconds = last_ack - first
rate = len(image) / seconds
sent = len(starts)

byte_s = BITS / BAUD
raw = 1 / byte_s
stop_and_wait = 128 / ((133 + 1) * byte_s)
print(f"image: {file_size} file bytes, "
      f"{packets} packets = {len(image)} image bytes; the whole update took {float(t1) - float(t0):.1f} s")
print(f"transfer: {sent} packets sent ({sent - packets} repeated) in {seconds:.3f} s = {rate:.0f} image bytes/s")
print(f"  raw line 115200 8N2 = {BITS} bits a byte = {raw:.0f} bytes/s: {100 * rate / raw:.1f} %"
      f"   (at 12 bits a byte, {BAUD / 12:.0f} bytes/s: {100 * rate / (BAUD / 12):.1f} %)")
print(f"  stop-and-wait on that line (133 bytes out, ACK back, no pause) = {stop_and_wait:.0f} "
      f"image bytes/s: {100 * rate / stop_and_wait:.1f} %")

# Turnaround: from each ACK to the next packet's first byte.
gaps = []
j = 0
for t in starts[1:]:
    while j + 1 < len(acks) and acks[j + 1] < t:
        j += 1
    if acks[j] < t:
        gaps.append(t - acks[j])
q = statistics.quantiles(gaps, n=10) if len(gaps) >= 10 else [max(gaps)] * 9
print(f"ACK -> next packet from the host: median {1000 * statistics.median(gaps):.2f} ms, "
      f"90 % {1000 * q[8]:.2f} ms, max {1000 * max(gaps):.2f} ms ({len(gaps)})")
EOF
