// The program's version as its texts and files show it, made from the build's one version, so a
// version bump does not touch the tests.
#pragma once

#include <cstdio>
#include <string>

#include "core/APP_Version.h"

// "T-Forge V7.92e"
inline std::string ShortProductName() {
  char ac[64];
  std::snprintf(ac, sizeof(ac), "T-Forge V%d.%.2d%s", APP_VERSION_MAJOR, APP_VERSION_MINOR, APP_VERSION_SUFFIX);
  return ac;
}

// "  AppVersion = 79205\r\n": the line a saved project starts with.
inline std::string AppVersionLine() {
  char ac[64];
  int Suffix = APP_VERSION_SUFFIX[0] ? APP_VERSION_SUFFIX[0] - 'a' + 1 : 0;
  std::snprintf(ac, sizeof(ac), "  AppVersion = %d\r\n", APP_VERSION_MAJOR * 10000 + APP_VERSION_MINOR * 100 + Suffix);
  return ac;
}
