#!/bin/sh
# Regenerates the demo package's firmware images and the loader test fixtures with the
# make-demo-firmware tool (built on demand). Usage: scripts/make_demo_firmware.sh [BUILD_DIR]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DUPDATE_WITH_QT=OFF >/dev/null
fi
ninja -C "$build" make-demo-firmware >/dev/null
tool=$build/bin/make-demo-firmware
mkdir -p "$root/package" "$root/tests/loaders/fixtures"
# The package's firmware (version 1.02) and the RAM patch for loader version 1.10.
"$tool" firmware "$root/package/FW_DEMO.TXT" --version 1.02
"$tool" patch "$root/package/Patch.TXT"
# The firmware the simulated instrument starts with, one version behind the package.
"$tool" firmware "$root/tests/loaders/fixtures/FW_DEMO_101.TXT" --version 1.01
# An instrument with memory above 64 KB.
"$tool" firmware "$root/tests/loaders/fixtures/FW_UPPER.TXT" --version 1.02 --upper 4096
# The instrument with the 5xx bootstrap loader: the package's firmware and the one it starts with.
"$tool" firmware "$root/package/FW_5XX.TXT" --version 1.02 --loader 5xx
"$tool" firmware "$root/sim/firmware/FW_5XX_101.TXT" --version 1.01 --loader 5xx
echo "written: package/FW_DEMO.TXT package/Patch.TXT tests/loaders/fixtures/FW_DEMO_101.TXT" \
  "tests/loaders/fixtures/FW_UPPER.TXT package/FW_5XX.TXT sim/firmware/FW_5XX_101.TXT"
