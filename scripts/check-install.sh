#!/usr/bin/env bash
# Installs build-release/ into a staging folder as a distribution package would
# (DESTDIR, prefix /usr) and checks the layout and that the installed program runs.
set -uo pipefail
cd "$(dirname "$0")/.."
stage=$PWD/build-release/stage
rm -rf "$stage"
DESTDIR=$stage cmake --install build-release > build-release/install.log 2>&1 || {
  cat build-release/install.log; echo "install: cmake --install failed"; exit 1; }
status=0
expect() { # expect <test> <path>
  if ! test "$1" "$stage/usr/$2"; then echo "install: missing $2"; status=1; fi
}
expect -L bin/tforge
expect -x lib/tforge/tforge
expect -f lib/tforge/libxrelayarm.so
for f in flm_main_16k flm_main_32k flm_main_64k flm_main_64k_ext flm_bootmem flm_usersys; do expect -f "lib/tforge/$f.flm"; done
expect -f lib/tforge/ETC/TForge/Flash.csv
expect -f lib/tforge/xrelay-devices.ini
expect -f share/applications/tforge.desktop
expect -f share/icons/hicolor/scalable/apps/tforge.svg
expect -f share/man/man1/tforge.1
[ "$(readlink -f "$stage/usr/bin/tforge")" = "$stage/usr/lib/tforge/tforge" ] ||
  { echo "install: bin/tforge does not lead to lib/tforge/tforge"; status=1; }
# The installed program through its link, headless, with settings of its own: it finds its
# probe library and device list beside the resolved executable.
home=$(mktemp -d)
out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM TFORGE_SETTINGS_DIR="$home" \
      XDG_CONFIG_HOME="$home/config" XDG_STATE_HOME="$home/state" "$stage/usr/bin/tforge" -? 2>&1)
rc=$?
rm -rf "$home"
if [ $rc != 0 ] || ! grep -q "Valid command line options" <<<"$out"; then
  echo "install: the installed tforge -? failed (exit code $rc):"; echo "$out" | tail -20; status=1
fi
if grep -qi "error" <<<"$out"; then echo "install: the installed tforge logged an error:"; echo "$out"; status=1; fi
[ $status = 0 ] && echo "install: the Release build installs and runs"
exit $status
