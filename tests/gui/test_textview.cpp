// The log view widget: find bar, copy, and repaints coalesced under a burst of lines.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QLineEdit>
#include <atomic>
#include <thread>

#include "gui/CustTextView.h"

namespace {

void Pump(int Ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < Ms) QApplication::processEvents(QEventLoop::AllEvents, 5);
}

TEST(TextView, FindTurnsYellowPastTheLastMatchAndStartsAgain) {
  CustTextView v(nullptr, "Log", CTV_MODE_FORMATTED, 0, 100);
  v.resize(400, 200);
  v.AppendText("start\n\x1b[1;31mERROR: first\x1b[0m\nmiddle\n");
  v.OpenFindBar();
  EXPECT_TRUE(v.GetFindBar()->isVisibleTo(&v));
  v.GetFindEdit()->setText("error");
  ASSERT_TRUE(v.FindNext());
  EXPECT_EQ(v.GetSelectedText(), "ERROR");
  EXPECT_TRUE(v.GetFindEdit()->styleSheet().isEmpty());
  EXPECT_FALSE(v.FindNext());
  EXPECT_TRUE(v.GetFindEdit()->styleSheet().contains("244, 208, 63"));
  EXPECT_FALSE(v.HasSelection());
  ASSERT_TRUE(v.FindNext()); // from the oldest line again
  EXPECT_EQ(v.GetSelectedText(), "ERROR");
  v.CloseFindBar();
  EXPECT_FALSE(v.GetFindBar()->isVisibleTo(&v));
}

TEST(TextView, CopyJoinsLinesWithCrLf) {
  CustTextView v(nullptr, "Log", CTV_MODE_FORMATTED, 0, 100);
  v.AppendText("one\n\x1b[1;31mtwo\x1b[0m\nthree\n");
  EXPECT_FALSE(v.GetCopyAction()->isEnabled());
  v.SetSelection(0, 1, 2, 3);
  EXPECT_TRUE(v.GetCopyAction()->isEnabled());
  v.Copy();
  EXPECT_EQ(QApplication::clipboard()->text(), QString("ne\r\ntwo\r\nthr"));
  v.SelectAll();
  EXPECT_EQ(v.GetSelectedText(), "one\r\ntwo\r\nthree");
}

TEST(TextView, ABurstFromAnotherThreadRepaintsAFewTimes) {
  CustTextView v(nullptr, "Log", CTV_MODE_FORMATTED, 0, 100);
  v.resize(400, 200);
  v.show();
  std::atomic<int> Written{0};
  v.SetLineWriter([](const char*, int) {});
  QElapsedTimer t;
  t.start();
  std::thread Worker([&] {
    for (int i = 0; i < 30000; i++) {
      v.AppendText((" - \x1b[1;31mERROR: line " + std::to_string(i) + "\x1b[0m\n").c_str());
      Written++;
    }
  });
  while (Written < 30000) QApplication::processEvents(QEventLoop::AllEvents, 5);
  Worker.join();
  Pump(100);
  qint64 Ms = t.elapsed();
  EXPECT_EQ(v.GetNumLines(), 10000);
  EXPECT_EQ(v.GetLineText(9999), " - ERROR: line 29999");
  // At most one refresh per 40 ms of the burst, plus the last one.
  EXPECT_LE(v.GetNumRepaints(), Ms / 40 + 3);
}

} // namespace
