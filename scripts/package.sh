#!/usr/bin/env bash
# Builds the Debian package from a build folder with CPack and checks it: its control data and
# dependencies, its contents, lintian where installed, an install into an empty root and a
# clean removal (as root; otherwise an extraction), the installed programs' --version, and with
# apt that its dependencies resolve from the configured archive.
# Usage: scripts/package.sh [BUILD_DIR]   (default build/; prints the package's path last)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
fail() { echo "package: $*" >&2; exit 1; }

[ -f "$build/build.ninja" ] || bash "$root/scripts/build.sh" >/dev/null
ninja -C "$build" >/dev/null
rm -f "$build"/package/firmware-update_*.deb
(cd "$build" && cpack -G DEB --config CPackConfig.cmake >"$build/package-cpack.log" 2>&1) ||
  { cat "$build/package-cpack.log" >&2; fail "cpack failed"; }
deb=$(ls "$build"/package/firmware-update_*.deb)
version=$(dpkg-deb --field "$deb" Version)
echo "package: built $(basename "$deb")"

# Dependencies: the C++ run time and the window's toolkit with its platform plugins.
depends=$(dpkg-deb --field "$deb" Depends)
for lib in libc6 libstdc++6 libqt6widgets6 libqt6core6 qt6-qpa-plugins; do
  echo "$depends" | grep -q "\b$lib\b" || fail "Depends lacks $lib: $depends"
done
contents=$(dpkg-deb --contents "$deb" | awk '{print $6}')
for f in ./usr/bin/update ./usr/bin/update-console ./usr/bin/update-line ./usr/bin/instrument-sim \
         ./usr/share/applications/firmware-update.desktop ./usr/share/man/man1/update-console.1.gz \
         ./usr/share/doc/firmware-update/copyright ./usr/share/firmware-update/example-package/Update.ini; do
  echo "$contents" | grep -qx "$f" || fail "$f is not in the package"
done

if command -v lintian >/dev/null; then
  # Errors and warnings fail.
  if ! found=$(lintian --fail-on error,warning "$deb" 2>&1); then
    echo "$found" | grep -v 'running with root privileges' >&2
    fail "lintian found errors or warnings"
  fi
  echo "package: lintian finds no error or warning"
fi

instroot=$(mktemp -d)
trap 'rm -rf "$instroot"' EXIT
if [ "$(id -u)" = 0 ]; then
  mkdir -p "$instroot/var/lib/dpkg/info" "$instroot/var/lib/dpkg/updates"
  touch "$instroot/var/lib/dpkg/status" "$instroot/var/lib/dpkg/available"
  # The empty root knows no libraries: their presence is what apt checks below.
  dpkg --root="$instroot" --log=/dev/null --force-depends -i "$deb" >/dev/null 2>&1 ||
    fail "dpkg could not install the package into an empty root"
  [ "$(dpkg --root="$instroot" -s firmware-update | sed -n 's/^Status: //p')" = "install ok installed" ] ||
    fail "not installed"
else
  dpkg-deb -x "$deb" "$instroot"
fi
for p in update-console update-line instrument-sim update; do
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$instroot/usr/bin/$p" --version | head -n1)
  [ "$out" = "$p $version" ] || fail "the installed $p --version says: $out"
done
echo "package: installed into an empty root; update-console --version: $("$instroot/usr/bin/update-console" --version | head -n1)"
if [ "$(id -u)" = 0 ]; then
  dpkg --root="$instroot" --log=/dev/null --purge firmware-update >/dev/null 2>&1 || fail "dpkg could not remove it"
  left=$(cd "$instroot" && find . -path ./var -prune -o \( -type f -o -type l \) -print)
  [ -z "$left" ] || fail "left behind after removal: $left"
  echo "package: removed again without a trace"
fi

if command -v apt-get >/dev/null; then
  apt-get install --simulate --no-install-recommends "$deb" >/dev/null 2>"$instroot/apt.err" ||
    { cat "$instroot/apt.err" >&2; fail "apt cannot install it here (dependencies)"; }
  echo "package: apt resolves its dependencies"
fi
echo "$deb"
