/*
 * Screenshots of the main window for a person to look at: a project and a data file open after
 * a connect, and the progress dialog of a programming run. Writes mainwindow.png and
 * progress.png into the folder given as first argument; with "dark" as second argument the
 * desktop palette is a dark one from the start.
 * Run by tests/gui/screenshots.sh (under xvfb-run when it is installed).
 */
#include <QApplication>
#include <QPalette>

#include "tests/gui/DarkPalette.h"
#include <QStyleFactory>
#include <atomic>
#include <thread>

#include "core/APP_GUI.h"
#include "tests/gui/MainWinProgram.h"

using namespace mainwin;

namespace {

int _Fail(const char* sWhat, Program& P) {
  std::fprintf(stderr, "screenshots: %s\n%s", sWhat, P.LogText().c_str());
  std::_Exit(1);
}

bool _Save(QWidget* pWidget, const QString& Path) {
  QApplication::processEvents();
  bool Ok = pWidget->grab().save(Path);
  std::printf("%s %s\n", Ok ? "wrote" : "could not write", Path.toLocal8Bit().constData());
  return Ok;
}

} // namespace

int main(int argc, char** argv) {
  QApplication App(argc, argv);
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  QString Dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString(".");
  if (argc > 2 && QString(argv[2]) == "dark") QApplication::setPalette(DarkPalette());
  Program P;
  if (!P.Start()) _Fail("the window did not start", P);
  P.pWin->resize(1100, 750);
  // A data file with two ranges and a gap between them.
  std::string Hex = P.Dir + "/firmware.hex";
  std::string Text;
  Text += HexRecord(4, 0, {0x08, 0x00});
  for (int i = 0; i < 4; i++)
    Text += HexRecord(0, (uint16_t)(i * 16), std::vector<uint8_t>(16, (uint8_t)(0x10 + i)));
  Text += HexRecord(0, 0x0400, {0x55, 0xAA, 0x55, 0xAA});
  Text += HexRecord(1, 0, {});
  WriteAll(Hex, Text);
  if (!P.Drop({P.Project, Hex})) _Fail("the drop was refused", P);
  if (!WaitFor([&] { return P.ProjectShown() && P.pWin->GetDataWindowArea()->GetDocks().size() == 1; })) {
    _Fail("project and data file did not open", P);
  }
  P.Settle(); // the menus follow the open project
  P.pWin->FindAction("&Target/&Connect")->trigger();
  WaitFor([&] { return P.pWin->GetStatusText(APP_STATUS_CONNECTION) == "Connected"; }, 30000);
  P.Settle();
  bool Ok = _Save(P.pWin, Dir + "/mainwindow.png");

  // The progress dialog as a programming run shows it: asked for from another thread.
  std::atomic<ProgressDialogState*> pAsked{nullptr};
  std::thread Worker([&] {
    char acTitle[64];
    APP_GetFullProductName(acTitle, sizeof(acTitle));
    pAsked = P.pWin->CreateProgressDlg(acTitle, "Programming target (65536 bytes, 1 range) ...", 0);
  });
  WaitFor([&] { return pAsked.load() != nullptr; });
  Worker.join();
  ProgressDialogState* pState = pAsked;
  SYS_MUTEX_Lock(pState->pLock, -1);
  std::snprintf(pState->acText2, sizeof(pState->acText2), "Programming sector 24 of 64 (0x08006000)");
  pState->Value = 37;
  SYS_MUTEX_Unlock(pState->pLock);
  pState->pfNotify(pState->pNotifyUser);
  QApplication::processEvents();
  QWidget* pDlg = QApplication::activeModalWidget();
  if (pDlg == nullptr) {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (w->inherits("ProgressDialog") && w->isVisible()) pDlg = w;
    }
  }
  Ok = pDlg && _Save(pDlg, Dir + "/progress.png") && Ok;
  std::fflush(stdout);
  std::_Exit(Ok ? 0 : 1); // the screenshots are all this run is for
}
