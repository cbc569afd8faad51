// Test entry for widget tests: one QApplication on the offscreen platform around all tests.
#include <QApplication>
#include <gtest/gtest.h>

#include "core/APP.h"

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  int Result;
  {
    QApplication App(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    Result = RUN_ALL_TESTS();
  }
  APP_WaitForQtThreadsToEnd();
  return Result;
}
