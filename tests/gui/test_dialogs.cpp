// Message box text conversion and behaviour, the value dialog and the progress dialog.
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QSpinBox>
#include <QTimer>

#include "gui/DIALOG.h"
#include "sys/SYS.h"

namespace {

TEST(MsgBoxText, LinksEntitiesAndBreaks) {
  struct Case {
    const char* sIn;
    const char* sOut;
  } aCase[] = {
      {"See https://example.org/a?b=1, then retry",
       "See <a href=\"https://example.org/a?b=1\">https://example.org/a?b=1</a>, then retry"},
      {"(http://x.y/z)", "(<a href=\"http://x.y/z\">http://x.y/z</a>)"},
      {"a<b>&\"c'", "a&lt;b&gt;&amp;&quot;c&apos;"},
      {"one\r\ntwo\rthree\nfour", "one<br>two<br>three<br>four"},
      {"ftp://not.a.link", "ftp://not.a.link"},
  };
  for (const Case& c : aCase) EXPECT_EQ(DIALOG_ToRichText(c.sIn), c.sOut) << c.sIn;
}

TEST(MsgBoxText, ClipboardCopy) {
  EXPECT_EQ(DIALOG_MsgBoxClipboardText("T-Forge V7.92e", "Overwrite?", "Yes", "No"),
            "---------------------------\r\nT-Forge V7.92e\r\n---------------------------\r\nOverwrite?\r\n"
            "---------------------------\r\nYes   No   \r\n---------------------------\r\n");
  EXPECT_EQ(DIALOG_MsgBoxClipboardText("T", "x", nullptr, nullptr),
            "---------------------------\r\nT\r\n---------------------------\r\nx\r\n---------------------------\r\n");
}

MsgBoxRequest MakeRequest(int TimeoutMs) {
  MsgBoxRequest r{};
  r.sTitle = "Box";
  r.sText = "Text";
  r.sButton0 = "Yes";
  r.sButton1 = "No";
  r.sCheckBoxText = "Remember";
  r.CheckState = 1;
  r.DefaultResult = 1;
  r.Icon = 512;
  r.TimeoutMs = TimeoutMs;
  return r;
}

TEST(MsgBox, TimeoutCountsDownInTheTitleAndClosesWithTheDefault) {
  MsgBoxRequest r = MakeRequest(3000);
  CustMsgBox Box(&r, nullptr);
  QMetaObject::invokeMethod(&Box, "_SlotOnTimer");
  EXPECT_EQ(Box.windowTitle(), "Box (closing in 3 seconds)");
  EXPECT_GE(Box.minimumWidth(), Box.fontMetrics().horizontalAdvance(Box.windowTitle()) + 150);
  MsgBoxRequest Short = MakeRequest(30);
  CustMsgBox Quick(&Short, nullptr);
  Quick.exec(); // ends by itself
  EXPECT_EQ(Quick.windowTitle(), "Box (closing now)");
  EXPECT_EQ(Short.Result, 1);
  EXPECT_FALSE(Short.Rejected);
  EXPECT_EQ(Short.CheckResult, 1);
}

TEST(MsgBox, EscapeRejectsAndButtonsAnswer) {
  MsgBoxRequest r = MakeRequest(0);
  CustMsgBox Box(&r, nullptr);
  QTimer::singleShot(0, &Box, [&] {
    QKeyEvent Esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(&Box, &Esc);
  });
  Box.exec();
  EXPECT_TRUE(r.Rejected);
  MsgBoxRequest r2 = MakeRequest(0);
  CustMsgBox Box2(&r2, nullptr);
  QTimer::singleShot(0, &Box2, [&] { QMetaObject::invokeMethod(&Box2, "_SlotOnButton0"); });
  Box2.exec();
  EXPECT_EQ(r2.Result, 0);
  EXPECT_FALSE(r2.Rejected);
}

TEST(EditValue, OkStoresEveryFieldAndCancelKeepsThem) {
  int64_t Addr = 0x8000000, Size = 64;
  EditValueField aField[2] = {{0, 0xFFFFFFFF, &Addr, "Address", 1}, {1, 1024, &Size, "Size (KB)", 0}};
  {
    EditValueDialog Dlg("Test up/download speed", aField, 2, nullptr);
    static_cast<QLineEdit*>(Dlg.GetEditor(0))->setText("20000100");
    static_cast<QSpinBox*>(Dlg.GetEditor(1))->setValue(128);
    QTimer::singleShot(0, &Dlg, [&] { QMetaObject::invokeMethod(&Dlg, "_SlotOnBtnOK"); });
    EXPECT_EQ(Dlg.exec(), QDialog::Accepted);
  }
  EXPECT_EQ(Addr, 0x20000100);
  EXPECT_EQ(Size, 128);
  {
    EditValueDialog Dlg("x", aField, 2, nullptr);
    static_cast<QLineEdit*>(Dlg.GetEditor(0))->setText("1");
    QTimer::singleShot(0, &Dlg, [&] { Dlg.reject(); });
    EXPECT_EQ(Dlg.exec(), QDialog::Rejected);
  }
  EXPECT_EQ(Addr, 0x20000100);
  // A hexadecimal field with a negative minimum takes a sign; the value keeps its low 32 bits.
  int64_t Offset = 0;
  EditValueField Neg = {-0x7FFFFFFF, 0x7FFFFFFF, &Offset, "Offset", 1};
  EditValueDialog Dlg("Relocate", &Neg, 1, nullptr);
  QLineEdit* e = static_cast<QLineEdit*>(Dlg.GetEditor(0));
  e->setText("");
  e->insert("-10");
  EXPECT_EQ(e->text(), "-10");
  QTimer::singleShot(0, &Dlg, [&] { QMetaObject::invokeMethod(&Dlg, "_SlotOnBtnOK"); });
  Dlg.exec();
  EXPECT_EQ(Offset, 0xFFFFFFF0);
}

TEST(Progress, CancelAndClampingAndGrowth) {
  ProgressDialog Dlg("KORVEN T-Forge V7.92e", "Erasing ...", 0x20, nullptr);
  ProgressDialogState* s = Dlg.GetState();
  EXPECT_FALSE(Dlg.isVisible()); // 0x20 keeps it hidden
  SYS_MUTEX_Lock(s->pLock, -1);
  s->Min = 50;
  s->Max = 10; // below the minimum: raised to it
  s->Value = 70;
  SYS_MUTEX_Unlock(s->pLock);
  Dlg._SlotOnUpdateGUI();
  EXPECT_EQ(Dlg.GetBar()->maximum(), 50);
  EXPECT_EQ(Dlg.GetBar()->value(), 50);
  EXPECT_FALSE(Dlg.GetText2()->isVisibleTo(&Dlg)); // an empty line is hidden
  QSize Before = Dlg.size();
  SYS_MUTEX_Lock(s->pLock, -1);
  snprintf(s->acText2, sizeof(s->acText2), "%s", std::string(200, 'w').c_str());
  SYS_MUTEX_Unlock(s->pLock);
  Dlg._SlotOnUpdateGUI();
  EXPECT_GE(Dlg.width(), Before.width());
  SYS_MUTEX_Lock(s->pLock, -1);
  s->acText2[0] = 0;
  SYS_MUTEX_Unlock(s->pLock);
  QSize Wide = Dlg.size();
  Dlg._SlotOnUpdateGUI();
  EXPECT_EQ(Dlg.size(), Wide); // only grows
  Dlg.reject();
  EXPECT_TRUE(s->Cancelled);
}

} // namespace
