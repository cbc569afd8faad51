#!/bin/sh
# Renders the data window and the log view into PNG files under <build>/screenshots, for a look
# by eye after changes to the widgets: under an X server from xvfb-run when it is installed,
# otherwise on Qt's offscreen platform (the pictures are the same widgets, drawn the same way).
#   tests/gui/screenshots.sh [build folder]      (default: build)
set -e
BUILD=${1:-build}
cmake --build "$BUILD" --target gui_screenshots
OUT="$BUILD/screenshots"
mkdir -p "$OUT"
if command -v xvfb-run >/dev/null 2>&1; then
  xvfb-run -a -s "-screen 0 1280x1024x24" "$BUILD/tests/gui/gui_screenshots" "$OUT"
else
  echo "xvfb-run not found: drawing on the offscreen platform"
  QT_QPA_PLATFORM=offscreen "$BUILD/tests/gui/gui_screenshots" "$OUT"
fi
