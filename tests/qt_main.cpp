// Test entry for widget tests: one QApplication on the offscreen platform around all tests.
#include <QApplication>
#include <gtest/gtest.h>

#include "sys/SYS.h"

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  int Result;
  {
    QApplication App(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    Result = RUN_ALL_TESTS();
  }
  // Qt's pooled threads may still be ending after the application is gone (see tforge's main).
  SYS_THREAD_WaitForNamedToEnd("Thread (pooled)", 2000);
  return Result;
}
