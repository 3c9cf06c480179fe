#!/usr/bin/env bash
# Installs what the build, the tests and the demo need, when it is missing. Safe to run again.
# With --tests it also installs what only the tests use: Wine and the MinGW compiler for the
# test that runs a Windows loader program through Wine, clang and its runtime libraries for the
# fuzz targets (the product and the demo need none of them).
set -euo pipefail

packages=(g++ cmake ninja-build pkg-config qt6-base-dev libgl-dev libgtest-dev libgmock-dev googletest
          socat srecord lrzsz xvfb xauth libxcb1-dev python3 binutils-mingw-w64-x86-64 mspdebug
          dpkg-dev lintian desktop-file-utils groff-base libxml2-utils util-linux)
test_packages=(wine wine64 gcc-mingw-w64-x86-64 clang libclang-rt-dev)
if [ "${1:-}" = "--tests" ]; then packages+=("${test_packages[@]}"); fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
