#!/bin/sh
# Screenshots of the main window, in normal and double scaling and in a dark palette, for a
# person to look at:
#   tests/gui/screenshots.sh [build folder]     (PNGs into <build>/screenshots)
# Runs under xvfb-run when it is installed, else on the offscreen platform.
set -e
BUILD=${1:-build}
TOOL="$BUILD/tests/gui/mainwin_screenshots"
OUT="$BUILD/screenshots"
cmake --build "$BUILD" --target mainwin_screenshots
mkdir -p "$OUT/1x" "$OUT/2x" "$OUT/dark"
if command -v xvfb-run >/dev/null 2>&1; then
  unset QT_QPA_PLATFORM
  run() { xvfb-run -a -s "-screen 0 2560x1600x24" "$@"; }
else
  echo "xvfb-run not found: using the offscreen platform" >&2
  export QT_QPA_PLATFORM=offscreen
  run() { "$@"; }
fi
run "$TOOL" "$OUT/1x"
QT_SCALE_FACTOR=2 run "$TOOL" "$OUT/2x"
run "$TOOL" "$OUT/dark" dark
ls -l "$OUT"/*/*.png
