// Renders the data window and the log view into PNG files for a look by eye: a data file with
// gaps and an unsaved edit in 1- and 4-byte items, and a log with an error and a warning, each
// on a light and on a dark desktop palette. Run by screenshots.sh; the argument is the folder.
#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QPalette>

#include "tests/gui/DarkPalette.h"
#include <QStyle>
#include <QStyleFactory>
#include <QTimer>
#include <cstdio>
#include <string>

#include "data/DATAIMAGE.h"
#include "gui/CHexEditor.h"
#include "gui/CustTextView.h"
#include "gui/DataWindowArea.h"

namespace {

bool Save(QWidget* pWidget, const QString& sPath) {
  // The log view refreshes at most every 40 ms: give it the time.
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < 150)
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  bool Ok = pWidget->grab().save(sPath);
  std::printf("%s %s\n", Ok ? "wrote" : "FAILED to write", sPath.toLocal8Bit().constData());
  return Ok;
}

DataImage* ImageWithGaps() {
  DataImage* p = DATAIMAGE_Create();
  const char sText[] = "T-Forge data window: ranges, gaps and an edit.";
  DATAIMAGE_AddData(p, 0x08000000, sizeof(sText) - 1, sText);
  uint8_t ab[40];
  for (int i = 0; i < 40; i++)
    ab[i] = (uint8_t)(0xF0 + i);
  DATAIMAGE_AddData(p, 0x08000044, sizeof(ab), ab);
  DATAIMAGE_AddData(p, 0x08000100, 16, ab);
  DATAIMAGE_SetChangeCounter(p, 0);
  DATAIMAGE_SetPatch8(p, 0x08000006, 0x5A); // an unsaved edit
  return p;
}

bool ShootHexView(const QString& sDir, const char* sName, int ItemWidth) {
  DataImage* pImage = ImageWithGaps();
  DataWindowArea Area(nullptr);
  CHexEditor* pWin = new CHexEditor(pImage);
  Area.AddDataWindow(pWin);
  pWin->SetTitle("/home/user/firmware/app.hex");
  pWin->SetItemWidth(ItemWidth);
  pWin->SetSelection(0x08000010, 0x0800001B);
  Area.resize(pWin->sizeHint() + QSize(40, 120));
  Area.show();
  bool Ok = Save(&Area, sDir + "/" + sName);
  Area.close();
  DATAIMAGE_Delete(pImage);
  return Ok;
}

// The dialog an action of the data window opens, grabbed while it runs and then closed.
bool ShootDialog(const QString& sDir, const char* sName, const char* sAction) {
  DataImage* pImage = ImageWithGaps();
  CHexEditor Win(pImage);
  Win.SetSelection(0x08000010, 0x0800001B);
  Win.show();
  bool Ok = false;
  QTimer::singleShot(200, [&] {
    if (QDialog* pDlg = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
      Ok = Save(pDlg, sDir + "/" + sName);
      pDlg->reject();
    }
  });
  for (QAction* a : Win.findChildren<QAction*>()) {
    if (a->text() == sAction) a->trigger();
  }
  DATAIMAGE_Delete(pImage);
  if (!Ok) std::printf("FAILED to show the dialog of %s\n", sAction);
  return Ok;
}

bool ShootLog(const QString& sDir, const char* sName) {
  CustTextView View(nullptr, "Log", CTV_MODE_FORMATTED, 0, 100);
  View.resize(720, 200);
  View.AppendText("T-Forge V7.92e (T-Forge compiled Dec 11 2026 10:00:00)\n"
                  "Opening data file [/home/user/firmware/app.hex] ...\n"
                  " - Data file opened successfully (71 bytes, 3 ranges, CRC of data = 0x3C5E2A71)\n"
                  "Programming target (71 bytes, 3 ranges) ...\n"
                  " - \x1b[2;33mWARNING: Target voltage is low (2.95 V)\x1b[0m\n"
                  " - \x1b[1;31mERROR: Failed to verify sector 0 at 0x08000000\x1b[0m\n"
                  " - Target disconnected\n");
  View.SetSelection(2, 3, 2, 20);
  View.show();
  return Save(&View, sDir + "/" + sName);
}

} // namespace

int main(int argc, char** argv) {
  QApplication App(argc, argv);
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  QString sDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString("screenshots");
  QDir().mkpath(sDir);
  bool Ok = true;
  for (bool Dark : {false, true}) {
    QApplication::setPalette(Dark ? DarkPalette() : QApplication::style()->standardPalette());
    const char* sSuffix = Dark ? "_dark" : "";
    Ok &= ShootHexView(sDir, (std::string("hexview_gaps") + sSuffix + ".png").c_str(), 1);
    Ok &= ShootHexView(sDir, (std::string("hexview_items4") + sSuffix + ".png").c_str(), 4);
    Ok &= ShootLog(sDir, (std::string("log_error_warning") + sSuffix + ".png").c_str());
    Ok &= ShootDialog(sDir, (std::string("dialog_fill") + sSuffix + ".png").c_str(), "&Fill");
    Ok &= ShootDialog(sDir, (std::string("dialog_save") + sSuffix + ".png").c_str(), "Sav&e");
  }
  return Ok ? 0 : 1;
}
