/*
 * Program entry: the Qt application, the main window and the exit code.
 */
#include <QApplication>
#include <QWidget>
#include <cstdio>
#include <cstdlib>

#include "app/APP.h"
#include "app/CMDLINE.h"
#include "core/APP_Log.h"
#include "data/DATAJOBS.h"
#include "gui/MainWindow.h"
#include "mcudb/MCUDB.h"
#include "probe/PROBE.h"
#include "project/PROJDEV.h"
#include "project/PROJJOBS.h"
#include "project/SETTINGS.h"
#include "sys/SYS.h"

// A system message box: always on standard error (the layer below already wrote it there),
// and as a box while somebody can see one.
static void _ShowSystemBox(const char* sTitle, const char* sText) {
  if (APP_IsHeadless() || APP_GetGUI() == nullptr) return;
  MsgBoxRequest Req{};
  Req.sTitle = sTitle;
  Req.sText = sText;
  Req.sButton0 = "O.K.";
  Req.Icon = APP_ICON_WARNING;
  APP_GetGUI()->ShowMsgBox(&Req);
}

// The offscreen platform's notes about window hints and the runtime folder are no news to a
// script: they are dropped, everything else goes to standard error as usual.
static void _QtMessage(QtMsgType Type, const QMessageLogContext&, const QString& Text) {
  if (Type == QtWarningMsg && (Text.contains("propagateSizeHints") || Text.startsWith("QStandardPaths:"))) return;
  std::fprintf(stderr, "%s\n", Text.toLocal8Bit().constData());
}

// For builds with the leak checker: the CPU emulator under the simulated probe keeps bookkeeping
// of invalidated code pages until the process ends, which is no leak of the program's.
extern "C" const char* __lsan_default_suppressions() { return "leak:libunicorn.so\n"; }

int main(int argc, char** argv) {
  qInstallMessageHandler(_QtMessage);
  // Without a display nobody can use a window: run on the offscreen platform and end after
  // the command line as if -exit had been given.
  const char* sPlatform = std::getenv("QT_QPA_PLATFORM");
  bool HasDisplay = (std::getenv("DISPLAY") && *std::getenv("DISPLAY")) ||
                    (std::getenv("WAYLAND_DISPLAY") && *std::getenv("WAYLAND_DISPLAY"));
  if (!HasDisplay && !(sPlatform && *sPlatform)) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  int ShowCmd = 1;
  QApplication* pApp = new QApplication(argc, argv);
  QString Platform = QGuiApplication::platformName();
  if (Platform == "offscreen" || Platform == "minimal") {
    APP_SetHeadless(true);
    APP_SetAutoExit(true);
  }
  SYS_SetAllocFailureHandler(_ShowSystemBox);
  PROBE_SetMessageHandler(_ShowSystemBox);
  APP_InstallStartupJobs();
  SETTINGS_InstallHooks();
  CMDLINE_InstallHooks();
  DATAJOBS_Init();
  PROJJOBS_Install();
  MCUDB_InstallHooks();
  PROJDEV_InstallHooks();
  APP_InstallTargetHooks();
  APP_InstallStamperHooks();
  MainWindow* pWin = new MainWindow(argc, argv, ShowCmd);
  QApplication::setQuitOnLastWindowClosed(false);
  QFont f = QApplication::font();
  f.setPointSize(8);
  QApplication::setFont(f, "QWidget");
  pApp->exec();
  delete pWin;
  delete pApp;
  APP_WaitForQtThreadsToEnd();
  return APP_GetExitCode();
}
