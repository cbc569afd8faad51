// The entry of the benchmarks that need widgets: one QApplication on the offscreen platform
// around all of them.
#pragma once

#include <benchmark/benchmark.h>

#include <QApplication>

inline int QtBenchMain(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication App(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
