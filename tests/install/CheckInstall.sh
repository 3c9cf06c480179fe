#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what arrived: exactly the expected
# files, programs that run from there, the sample package they can read, man pages that format
# without warnings, a valid desktop file and icon, and bash completion that completes.
# Usage: CheckInstall.sh BUILD_DIR WITH_WINDOW(0|1)
set -euo pipefail
build=$1
window=${2:-1}
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "install check: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null

expected=(
  bin/instrument-sim
  bin/update-console
  bin/update-line
  share/bash-completion/completions/update-console
  share/bash-completion/completions/update-line
  share/doc/firmware-update/changelog.gz
  share/doc/firmware-update/copyright
  share/firmware-update/example-instrument/FW_DEMO_101.TXT
  share/firmware-update/example-package/FW_5XX.TXT
  share/firmware-update/example-package/FW_DEMO.TXT
  share/firmware-update/example-package/Patch.TXT
  share/firmware-update/example-package/ProgDevice.ini
  share/firmware-update/example-package/README.txt
  share/firmware-update/example-package/Update.Deu
  share/firmware-update/example-package/Update.Eng
  share/firmware-update/example-package/Update.ini
  share/man/man1/instrument-sim.1.gz
  share/man/man1/update-console.1.gz
  share/man/man1/update-line.1.gz
)
if [ "$window" = 1 ]; then
  expected+=(
    bin/update
    share/applications/firmware-update.desktop
    share/icons/hicolor/scalable/apps/firmware-update.svg
    share/man/man1/update.1.gz
  )
fi
want=$(printf '%s\n' "${expected[@]}" | sort)
got=$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | sort)
if [ "$want" != "$got" ]; then
  diff <(echo "$want") <(echo "$got") >&2 || true
  fail "the installed files differ from the expected ones (< missing, > unexpected)"
fi
programs=(update-console update-line instrument-sim)
[ "$window" = 1 ] && programs+=(update)

# The programs run from the prefix and say which version they are (the window without a
# display).
version=$(sed -n 's/^project(FirmwareUpdate VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")
[ -n "$version" ] || fail "no project version found"
for p in "${programs[@]}"; do
  [ -x "$prefix/bin/$p" ] || fail "bin/$p is not executable"
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/$p" --version)
  [ "$(echo "$out" | head -n1)" = "$p $version" ] || fail "$p --version says: $out"
done
"$prefix/bin/update-console" --help | grep -q '^Exit status:' || fail "update-console --help has no exit status"

# The installed sample package reads: its start text, then no port to search (status 5).
work=$(mktemp -d)
trap 'rm -rf "$prefix" "$work"' EXIT
cp -r "$prefix/share/firmware-update/example-package" "$work/pkg"
set +e
out=$(cd "$work" && UPDATE_COM_PORTS= "$prefix/bin/update-console" --package pkg --language en)
status=$?
set -e
[ "$status" = 5 ] || fail "the console on the sample package ended with $status: $out"
echo "$out" | head -n1 | grep -q '^Firmware update 1.02 for Oxi 3310 DEMO' || fail "no start text: $out"

# Man pages format without a warning.
if command -v groff >/dev/null; then
  for page in "$prefix"/share/man/man1/*.1.gz; do
    warnings=$(zcat "$page" | groff -man -Tutf8 -ww -z 2>&1)
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
  done
fi

# Completion of options and their values.
complete_words() {  # completion-file command-word word...
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); '"$2"'; echo "${COMPREPLY[*]}"' _ \
    "$prefix/share/bash-completion/completions/$1" "${@:2}"
}
[ "$(complete_words update-console _update_console update-console --pa)" = "--package" ] || fail "completing --pa"
[ "$(complete_words update-console _update_console update-console -l '')" = "de en" ] || fail "completing -l"
[ "$(complete_words update-line _update_line update-line --log)" = "--log-dir" ] || fail "completing --log"

if [ "$window" = 1 ]; then
  if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$prefix/share/applications/firmware-update.desktop" || fail "desktop file"
  fi
  grep -q '^Exec=update' "$prefix/share/applications/firmware-update.desktop" || fail "desktop file runs no update"
  grep -q '^Icon=firmware-update$' "$prefix/share/applications/firmware-update.desktop" || fail "desktop icon name"
  if command -v xmllint >/dev/null; then
    xmllint --noout "$prefix/share/icons/hicolor/scalable/apps/firmware-update.svg" || fail "icon is no XML"
  fi
fi
echo "install check: ${#expected[@]} files in place"
