/*
 * The program as a test or the screenshot tool starts it: the program's own wiring, with a
 * settings folder, a simulator configuration and a copy of the example project of this
 * process, and a helper that answers every message box.
 */
#pragma once

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "app/APP.h"
#include "app/CMDLINE.h"
#include "core/APP_GUI.h"
#include "core/APP_Log.h"
#include "data/DATAJOBS.h"
#include "gui/CustTextView.h"
#include "gui/DIALOG.h"
#include "gui/DataWindowArea.h"
#include "gui/MainWindow.h"
#include "mcudb/MCUDB.h"
#include "probe/PROBE_Test.h"
#include "project/PROJDEV.h"
#include "project/PROJJOBS.h"
#include "project/SETTINGS.h"
#include "sys/SYS.h"

namespace mainwin {

inline bool WaitFor(const std::function<bool()>& Done, int Ms = 20000) {
  QElapsedTimer t;
  t.start();
  while (!Done() && t.elapsed() < Ms)
    QApplication::processEvents(QEventLoop::AllEvents, 5);
  return Done();
}

inline std::string ReadAll(const std::string& Path) {
  std::ifstream f(Path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

inline void WriteAll(const std::string& Path, const std::string& Text) {
  std::ofstream(Path, std::ios::binary) << Text;
}

// An Intel HEX record with its checksum.
inline std::string HexRecord(int Type, uint16_t Addr, const std::vector<uint8_t>& aData) {
  char ac[16];
  std::string s = ":";
  uint8_t Sum = (uint8_t)(aData.size() + (Addr >> 8) + (Addr & 0xFF) + Type);
  std::snprintf(ac, sizeof(ac), "%02X%04X%02X", (unsigned)aData.size(), Addr, Type);
  s += ac;
  for (uint8_t b : aData) {
    std::snprintf(ac, sizeof(ac), "%02X", b);
    s += ac;
    Sum += b;
  }
  std::snprintf(ac, sizeof(ac), "%02X\n", (uint8_t)-Sum);
  return s + ac;
}

// Answers every message box the window shows: records its text and presses the button named
// (an empty name closes the box's window).
struct BoxAnswerer {
  std::vector<QString> aText;
  QString Button = "O.K.";
  QTimer Timer;
  BoxAnswerer() {
    Timer.setInterval(10);
    QObject::connect(&Timer, &QTimer::timeout, [this] {
      CustMsgBox* pBox = qobject_cast<CustMsgBox*>(QApplication::activeModalWidget());
      if (pBox == nullptr || !pBox->isVisible()) return;
      QString Text;
      for (QLabel* p : pBox->findChildren<QLabel*>())
        Text += p->text();
      aText.push_back(Text);
      for (QPushButton* b : pBox->findChildren<QPushButton*>()) {
        if (!Button.isEmpty() && b->text() == Button) {
          b->click();
          return;
        }
      }
      pBox->close(); // as the title bar's close button does
    });
    Timer.start();
  }
};

// The program's wiring, with a settings folder, simulator and project copy of this process.
struct Program {
  std::string Dir;
  std::string Project;
  MainWindow* pWin = nullptr;
  BoxAnswerer* pBoxes = nullptr;

  void (*pfBeforeWindow)(void) = nullptr; // installs job handlers of the caller's own

  // False when the window did not come up with the start-up job done.
  bool Start() {
    char ac[] = "/tmp/tforge-mainwin-XXXXXX";
    Dir = mkdtemp(ac);
    setenv("XDG_CONFIG_HOME", (Dir + "/config").c_str(), 1);
    setenv("TFORGE_SETTINGS_DIR", (Dir + "/settings").c_str(), 1);
    setenv("XRELAY_SIM_DIR", (Dir + "/sim").c_str(), 1);
    WriteAll(Dir + "/sim.ini", "[Probe]\nSerialNumber = 123456\nVTarget = 3300\nDevice = AT32F425C8T7\n");
    setenv("XRELAY_SIM_CONFIG", (Dir + "/sim.ini").c_str(), 1);
    Project = Dir + "/board.tforge";
    WriteAll(Project, ReadAll(TFORGE_SOURCE_DIR "/examples/counter/counter.tforge"));
    PROBE_SetLibraryPathForTest(TFORGE_PROGRAM_DIR "libxrelayarm.so");
    APP_InstallStartupJobs();
    SETTINGS_InstallHooks();
    CMDLINE_InstallHooks();
    DATAJOBS_Init();
    PROJJOBS_Install();
    MCUDB_InstallHooks();
    PROJDEV_InstallHooks();
    APP_InstallTargetHooks();
    // The program reads the list beside its executable; the test is elsewhere.
    APP_GetStartupHooks()->pfReadFlashDeviceList = [] {
      return FLASHDEV_ReadList(TFORGE_PROGRAM_DIR FLASHDEV_LIST_FILE);
    };
    if (pfBeforeWindow) pfBeforeWindow();
    APP_SetHeadless(false); // the boxes are shown, and answered by the test
    pBoxes = new BoxAnswerer;
    static char acName[] = "tforge";
    static char* argv[] = {acName, nullptr};
    pWin = new MainWindow(1, argv, 1);
    // Started without arguments and without a remembered choice: no project yet.
    return WaitFor(
        [&] { return pWin->isVisible() && pWin->FindAction("&File/&Open data file...")->isEnabled(); });
  }
  std::string LogText() const {
    std::string s;
    for (int i = 0; i < pWin->GetLogView()->GetNumLines(); i++)
      s += pWin->GetLogView()->GetLineText(i) + "\n";
    return s;
  }
  int NumDataWindows() const { return (int)pWin->GetDataWindowArea()->GetDocks().size(); }
  // Drops the files on the window; false when the window refused the drag.
  bool Drop(const std::vector<std::string>& aPath) {
    QMimeData Data;
    QList<QUrl> aUrl;
    for (const std::string& s : aPath)
      aUrl.append(QUrl::fromLocalFile(QString::fromStdString(s)));
    Data.setUrls(aUrl);
    QPoint At = pWin->rect().center();
    QDragEnterEvent Enter(At, Qt::CopyAction, &Data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(pWin, &Enter);
    if (!Enter.isAccepted()) return false;
    QDropEvent Drop(At, Qt::CopyAction, &Data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(pWin, &Drop);
    return true;
  }
  bool ProjectShown() const { return pWin->windowTitle().contains(QString::fromStdString(Project)); }
  // Every command is posted behind what runs now; done once the menu state is computed again.
  bool Settle() {
    APP_CreateJob(JOB_UPDATE_MENU_BAR, "UpdateMenuBar", nullptr, 0, nullptr, nullptr);
    bool Idle = WaitFor([] { return APP_GetNumPendingJobs() == 0; });
    QApplication::processEvents();
    return Idle;
  }
};

} // namespace mainwin
