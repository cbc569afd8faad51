// The log view widget: find bar, copy, and repaints coalesced under a burst of lines.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QImage>
#include <QLineEdit>
#include <QPalette>
#include <atomic>
#include <set>
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

// Which colours a line of the view is drawn in: every pixel of its row that is not background.
std::set<QRgb> LineColours(const QImage& Img, int Line, int LineSpacing, QRgb Background) {
  std::set<QRgb> Colours;
  for (int y = 5 + Line * LineSpacing; y < 5 + (Line + 1) * LineSpacing && y < Img.height(); y++) {
    for (int x = 0; x < Img.width(); x++) {
      QRgb c = Img.pixel(x, y) & 0xFFFFFF;
      if (c != (Background & 0xFFFFFF)) Colours.insert(c);
    }
  }
  return Colours;
}

TEST(TextView, ErrorsAreRedWarningsYellowAndNormalTextFollowsThePalette) {
  struct Case {
    const char* sName;
    QColor Base, Text;
  } aCase[] = {
      {"light", QColor(255, 255, 255), QColor(0, 0, 0)},
      {"dark", QColor(30, 30, 30), QColor(230, 230, 230)},
  };
  for (const Case& c : aCase) {
    CustTextView v(nullptr, "Log", CTV_MODE_FORMATTED, 0, 100);
    QPalette Pal = v.palette();
    Pal.setColor(QPalette::Base, c.Base);
    Pal.setColor(QPalette::Text, c.Text);
    v.setPalette(Pal);
    v.resize(500, 200);
    v.SetFollow(false);
    v.AppendText("Programming target ...\n - \x1b[1;31mERROR: Verify failed\x1b[0m\n"
                 " - \x1b[2;33mWARNING: Slow clock\x1b[0m\n");
    v.show();
    Pump(60);
    QImage Img = v.widget()->grab().toImage();
    int Spacing = QFontMetrics(v.widget()->font()).lineSpacing();
    EXPECT_EQ(Img.pixel(1, 1) & 0xFFFFFF, c.Base.rgb() & 0xFFFFFF) << c.sName;
    auto Has = [&](int Line, QRgb Colour) { return LineColours(Img, Line, Spacing, c.Base.rgb()).count(Colour & 0xFFFFFF); };
    EXPECT_TRUE(Has(0, c.Text.rgb())) << c.sName;
    EXPECT_FALSE(Has(0, qRgb(255, 0, 0))) << c.sName;
    EXPECT_TRUE(Has(1, qRgb(255, 0, 0))) << c.sName;   // bright red
    EXPECT_TRUE(Has(2, qRgb(136, 136, 0))) << c.sName; // dark yellow
    EXPECT_FALSE(Has(2, qRgb(255, 0, 0))) << c.sName;
  }
}

// A colour change in the middle of a line must not move the text behind it: the runs of a line
// sit where the characters of the whole line would be, whatever the font's fractional advance.
TEST(TextView, ColouredRunsStayInTheirColumns) {
  auto InkColumns = [](const char* sText) {
    CustTextView v(nullptr, "Log", CTV_MODE_FORMATTED, 0, 100);
    v.resize(600, 100);
    v.AppendText(sText);
    v.show();
    Pump(60);
    QImage Img = v.widget()->grab().toImage();
    QRgb Bg = Img.pixel(1, 1);
    std::vector<int> Columns;
    for (int x = 0; x < Img.width(); x++) {
      for (int y = 0; y < Img.height(); y++) {
        if (Img.pixel(x, y) != Bg) {
          Columns.push_back(x);
          break;
        }
      }
    }
    return Columns;
  };
  std::string Plain(40, 'm');
  std::string Coloured = std::string(20, 'm') + "\x1b[1;31m" + std::string(20, 'm') + "\x1b[0m";
  EXPECT_EQ(InkColumns((Plain + "\n").c_str()), InkColumns((Coloured + "\n").c_str()));
}

TEST(TextView, ClearDropsLinesAndSelectionAndHandsOverThePartialLine) {
  static std::vector<std::string> s_Written;
  s_Written.clear();
  CustTextView v(nullptr, "Log", CTV_MODE_FORMATTED, 0, 100);
  v.SetLineWriter([](const char* s, int n) { s_Written.emplace_back(s, (size_t)n); });
  v.AppendText("one\ntwo\npartial");
  v.SelectAll();
  Pump(60);
  EXPECT_TRUE(v.GetCopyAction()->isEnabled());
  std::thread([&] { v.Clear(); }).join(); // the worker may clear too
  Pump(60);
  EXPECT_EQ(v.GetNumLines(), 0);
  EXPECT_FALSE(v.HasSelection());
  EXPECT_FALSE(v.GetCopyAction()->isEnabled());
  EXPECT_EQ(s_Written, (std::vector<std::string>{"one\r\n", "two\r\n", "partial\r\n"}));
  QApplication::clipboard()->setText("before");
  v.Copy();
  EXPECT_EQ(QApplication::clipboard()->text(), "before");
  v.ClearAndAppend("x\ny\n");
  EXPECT_EQ(v.GetNumLines(), 2);
  EXPECT_EQ(v.GetLineText(0), "x");
  v.SetLineWriter(nullptr);
}

} // namespace
