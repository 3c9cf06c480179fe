#!/usr/bin/env bash
# The main job: builds what it needs, starts a simulated instrument one version behind the
# sample package on a pseudo-terminal, runs the update (the window when a display is there,
# the console otherwise) and says whether the instrument's flash now equals the image.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" update-console instrument-sim $( [ -n "${DISPLAY:-}" ] && echo update )

work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
cp -r "$root/package/." "$work/"
cd "$work"

"$root/build/bin/instrument-sim" --link "$work/tty-instrument" --demo --dump "$work/flash.txt" \
  >"$work/sim.log" 2>&1 &
for _ in $(seq 50); do [ -e "$work/tty-instrument" ] && break; sleep 0.1; done
export UPDATE_COM_PORTS="3=$work/tty-instrument"

status=0
if [ -n "${DISPLAY:-}" ]; then
  "$root/build/bin/update" || status=$?
else
  "$root/build/bin/update-console" --yes || status=$?
fi
kill %1 2>/dev/null || true
wait 2>/dev/null || true

if [ -f "$work/flash.txt" ] && "$root/build/bin/instrument-sim" --compare "$work/flash.txt" "$work/FW_DEMO.TXT"; then
  echo "demo: the instrument's flash now equals the image FW_DEMO.TXT"
else
  echo "demo: the instrument's flash does NOT equal the image (update status $status)"
  exit 1
fi
exit "$status"
