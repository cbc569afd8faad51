#!/bin/sh
# Renders the windows into PNG files for a look by eye after changes to the widgets:
#   <build>/screenshots/       the data window and the log view (hidpi/: drawn at twice the scale)
#   <build>/screenshots/1x, 2x, dark/   the main window and the progress dialog
# Under an X server from xvfb-run when it is installed, otherwise on Qt's offscreen platform.
#   tests/gui/screenshots.sh [build folder]      (default: build)
set -e
BUILD=${1:-build}
cmake --build "$BUILD" --target gui_screenshots mainwin_screenshots
OUT="$BUILD/screenshots"
mkdir -p "$OUT/hidpi" "$OUT/1x" "$OUT/2x" "$OUT/dark"
if command -v xvfb-run >/dev/null 2>&1; then
  unset QT_QPA_PLATFORM
  run() { xvfb-run -a -s "-screen 0 2560x1600x24" "$@"; }
else
  echo "xvfb-run not found: drawing on the offscreen platform" >&2
  export QT_QPA_PLATFORM=offscreen
  run() { "$@"; }
fi
run "$BUILD/tests/gui/gui_screenshots" "$OUT"
QT_SCALE_FACTOR=2 run "$BUILD/tests/gui/gui_screenshots" "$OUT/hidpi"
TOOL="$BUILD/tests/gui/mainwin_screenshots"
run "$TOOL" "$OUT/1x"
QT_SCALE_FACTOR=2 run "$TOOL" "$OUT/2x"
run "$TOOL" "$OUT/dark" dark
ls -l "$OUT"/*.png "$OUT"/*/*.png
