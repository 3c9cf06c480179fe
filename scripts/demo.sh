#!/usr/bin/env bash
# The main job: builds what it needs, starts a simulated instrument one version behind the
# sample package (firmware 1.01, the package holds 1.02) on a pseudo-terminal, runs the update
# and says whether the instrument's flash now equals the package's image. Exit status 0 only then.
#
# With DISPLAY set the window opens and you work it (press OK, answer its boxes; set
# UPDATE_AUTO_ANSWER=ok|yes|no to have the boxes answered); the flash is checked once the window
# is closed. Without a display update-console runs the same session unattended.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bin="$root/build/bin"
window=""
[ -n "${DISPLAY:-}" ] && window=1

bash "$root/scripts/setup.sh"
echo "demo: building"
bash "$root/scripts/build.sh" update-console instrument-sim ${window:+update} >/dev/null

work="$(mktemp -d)"
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
cp -r "$root/package/." "$work/"

"$bin/instrument-sim" --link "$work/tty-instrument" --firmware "$root/sim/firmware/FW_DEMO_101.TXT" \
  --dump "$work/flash.txt" --log "$work/sim.log" >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  [ -L "$work/tty-instrument" ] && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.05
done
if [ ! -L "$work/tty-instrument" ]; then
  echo "demo: the simulated instrument did not start:"
  cat "$work/sim.out"
  exit 1
fi
echo "demo: simulated instrument (firmware 1.01) on $(readlink "$work/tty-instrument"), mapped to COM3"
export UPDATE_COM_PORTS="3=$work/tty-instrument"

status=0
cd "$work"
if [ -n "$window" ]; then
  echo "demo: the window opens; press OK to start the update and close the window when it is done"
  "$bin/update" || status=$?
else
  echo "demo: no display, running update-console"
  # The progress shows on one line on a terminal, at each tenth otherwise.
  "$bin/update-console" --yes || status=$?
fi
cd "$root"

# The dump is written when the instrument shuts down.
kill "$sim_pid" 2>/dev/null || true
wait "$sim_pid" 2>/dev/null || true
sim_pid=""

if [ -f "$work/flash.txt" ] && "$bin/instrument-sim" --compare "$work/flash.txt" "$work/FW_DEMO.TXT"; then
  if [ -z "$window" ] && [ "$status" -ne 0 ]; then
    echo "demo: the flash equals the image, but update-console reported a failed session (status $status)"
    exit 1
  fi
  echo "demo: OK - the instrument's flash now equals the image FW_DEMO.TXT (version 1.02)"
  exit 0
fi
echo "demo: FAILED - the instrument's flash does not equal the image FW_DEMO.TXT (update status $status)"
echo "demo: last lines of the instrument's log:"
tail -n 15 "$work/sim.log" 2>/dev/null || true
exit 1
