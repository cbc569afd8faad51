#!/bin/sh
# Renders the data window and the log view into PNG files under <build>/screenshots (and drawn
# at twice the scale under <build>/screenshots/hidpi), for a look by eye after changes to the
# widgets: under an X server from xvfb-run when it is installed, otherwise on Qt's offscreen
# platform (the pictures are the same widgets, drawn the same way).
#   tests/gui/screenshots.sh [build folder]      (default: build)
set -e
BUILD=${1:-build}
cmake --build "$BUILD" --target gui_screenshots
OUT="$BUILD/screenshots"
mkdir -p "$OUT"
shoot() {
  if command -v xvfb-run >/dev/null 2>&1; then
    xvfb-run -a -s "-screen 0 1920x1200x24" "$BUILD/tests/gui/gui_screenshots" "$1"
  else
    QT_QPA_PLATFORM=offscreen "$BUILD/tests/gui/gui_screenshots" "$1"
  fi
}
command -v xvfb-run >/dev/null 2>&1 || echo "xvfb-run not found: drawing on the offscreen platform"
shoot "$OUT"
QT_SCALE_FACTOR=2 shoot "$OUT/hidpi"
