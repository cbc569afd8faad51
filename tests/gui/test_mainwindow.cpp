// The main window with the real job engine: start-up, worker requests under load, closing.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QStatusBar>
#include <QTreeWidget>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "app/APP.h"
#include "core/APP_GUI.h"
#include "core/APP_Log.h"
#include "gui/CustTextView.h"
#include "gui/MainWindow.h"
#include "probe/PROBE_Test.h"
#include "sys/SYS.h"

namespace {

std::atomic<int> _NumRun{0};
std::atomic<bool> _OutOfOrder{false};
std::atomic<int> _NumRequests{0};
std::atomic<bool> _LongJobDone{false};
std::atomic<bool> _ClosedAfterLongJob{false};
std::atomic<int> _CloseAnswer{0};
std::atomic<int> _NumCloseCalls{0};

enum { JOB_TEST = 46, JOB_LONG = 47 };

void _TestJob(JobContext* p) {
  int n = *static_cast<int*>(p->pParams);
  if (n != _NumRun) _OutOfOrder = true;
  _NumRun++;
  if (n % 7 == 0) {
    // A synchronous request: the worker waits for the GUI thread.
    APP_GetGUI()->GetCurDataWindow();
    _NumRequests++;
  }
  if (n % 101 == 0) APP_LogOutf("job %d", n);
}

void _LongJob(JobContext*) {
  SYS_Sleep(300);
  _LongJobDone = true;
}

bool WaitFor(const std::function<bool()>& Done, int Ms = 20000) {
  QElapsedTimer t;
  t.start();
  while (!Done() && t.elapsed() < Ms) QApplication::processEvents(QEventLoop::AllEvents, 5);
  return Done();
}

class Window : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    setenv("XDG_CONFIG_HOME", "/tmp/tforge-mainwindow-test/config", 1);
    setenv("TFORGE_SETTINGS_DIR", "/tmp/tforge-mainwindow-test/settings", 1);
    PROBE_SetEntry("XRELAYARM_GetDLLVersion", (void*)+[]() { return 10203; });
    PROBE_SetEntry("XRELAYARM_GetCompileDateTime", (void*)+[]() { return "Jan  1 2026 10:00:00"; });
    PROBE_SetEntry("XRELAYARM_ExecCommand", (void*)+[](const char*, char*, int) { return 0; });
    PROBE_SetEntry("XRELAYARM_SetErrorOutHandler", (void*)+[](XRELAYARM_LOG_FUNC*) {});
    APP_InstallStartupJobs(); // as the program does before its main window starts
    APP_SetJobHandler(JOB_TEST, _TestJob);
    APP_SetJobHandler(JOB_LONG, _LongJob);
    APP_STARTUP_HOOKS* h = APP_GetStartupHooks();
    h->pfIsProjectOpen = [] { return true; };
    h->pfCloseProject = [](bool) {
      _NumCloseCalls++;
      if (_LongJobDone) _ClosedAfterLongJob = true;
      return _CloseAnswer.load();
    };
    APP_SetHeadless(true); // boxes print and take their default: nobody answers in a test
    static char acName[] = "tforge";
    static char* argv[] = {acName, nullptr};
    pWin = new MainWindow(1, argv, 1);
  }
  static MainWindow* pWin;
};
MainWindow* Window::pWin;

TEST_F(Window, StartupLogsTheVersionLines) {
  CustTextView* v = pWin->GetLogView();
  ASSERT_TRUE(WaitFor([&] { return v->GetNumLines() >= 3; }));
  EXPECT_EQ(v->GetLineText(0), "Application log started");
  char acShort[64], acFull[64];
  APP_GetShortProductName(acShort, sizeof(acShort));
  APP_GetFullProductName(acFull, sizeof(acFull));
  EXPECT_EQ(v->GetLineText(1).rfind(" - " + std::string(acShort) + " (T-Forge compiled ", 0), 0u)
      << v->GetLineText(1);
  EXPECT_EQ(v->GetLineText(2), " - libxrelayarm.so V1.02c (DLL compiled Jan  1 2026 10:00:00)");
  EXPECT_TRUE(WaitFor([&] { return pWin->windowTitle() == acFull; }));
}

TEST_F(Window, ManyPostsMixedWithSynchronousRequestsNeverDeadlock) {
  const int N = 20000;
  for (int i = 0; i < N; i++) {
    ASSERT_EQ(APP_CreateJob(JOB_TEST, "Test", &i, sizeof(i), nullptr, nullptr), 0);
    // The GUI thread keeps posting while the worker waits for it: a post must never block.
    if (i % 5000 == 0) QApplication::processEvents();
  }
  // Done when the last completion routine has freed its context too.
  ASSERT_TRUE(WaitFor([] { return _NumRun == N && APP_GetNumPendingJobs() == 0; }, 60000)) << _NumRun;
  EXPECT_FALSE(_OutOfOrder);
  EXPECT_EQ(_NumRequests, (N + 6) / 7);
  EXPECT_EQ(SYS_MEM_CountBlocks("APP: <Test> Job context"), 0);
  EXPECT_EQ(SYS_MEM_CountBlocks("APP: <Test> Job params"), 0);
}

TEST_F(Window, RefusingToCloseTheProjectKeepsTheProgramRunning) {
  _CloseAnswer = -1;
  int Before = _NumCloseCalls;
  pWin->close();
  EXPECT_EQ(_NumCloseCalls, Before + 1);
  EXPECT_FALSE(APP_IsJobEngineStopped());
  EXPECT_EQ(APP_GetExitState(), APP_EXIT_NONE);
  int i = _NumRun;
  ASSERT_EQ(APP_CreateJob(JOB_TEST, "Test", &i, sizeof(i), nullptr, nullptr), 0); // jobs still run
  EXPECT_TRUE(WaitFor([&] { return _NumRun == i + 1; }));
}

TEST_F(Window, ClosingWhileALongJobRunsWaitsForItAndTheExitJob) {
  _CloseAnswer = 0;
  ASSERT_EQ(APP_CreateJob(JOB_LONG, "Long", nullptr, 0, nullptr, nullptr), 0);
  pWin->close(); // the exit job queues behind the long one; events are processed meanwhile
  EXPECT_TRUE(_LongJobDone);
  EXPECT_TRUE(_ClosedAfterLongJob);
  EXPECT_EQ(APP_GetExitState(), APP_EXIT_CONFIRMED);
  EXPECT_TRUE(APP_IsJobEngineStopped());
}

} // namespace

// What the connection hands over from the worker arrives in the status bar and the project tree.
TEST_F(Window, StatusFieldsAndProjectInformationFromTheWorker) {
  struct Request {
    int Field;
    const char* sText;
  } aReq[] = {{APP_STATUS_CONNECTION, "Connected"}, {APP_STATUS_COREID, "Core Id: 0x2BA01477"},
              {APP_STATUS_SPEED, "Speed: 4000 kHz"}, {APP_STATUS_GENERAL, "Ready"}, {7, "ignored"}};
  ProjectInfoRecord r{};
  r.ProjectOpen = true;
  std::snprintf(r.acProjectName, sizeof(r.acProjectName), "board");
  std::snprintf(r.acDevice, sizeof(r.acDevice), "ArteryTek AT32F425C8T7");
  std::snprintf(r.acCoreName, sizeof(r.acCoreName), "Cortex-M4");
  r.NumBanks = 1;
  r.aBank[0].BaseAddr = 0x08000000;
  r.aBank[0].Size = 64 * 1024;
  r.aBank[0].IsInternal = 1;
  std::thread Worker([&] { // the requests come from another thread, as from the worker
    for (const Request& q : aReq) pWin->SetStatusField(q.Field, q.sText);
    pWin->UpdateProjectInfo(&r);
  });
  Worker.join();
  QStatusBar* pBar = pWin->statusBar();
  QList<QLabel*> aLabel = pBar->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly);
  ASSERT_GE(aLabel.size(), 4);
  QTreeWidget* pTree = pWin->findChild<QTreeWidget*>("ProjInfoTree");
  ASSERT_NE(pTree, nullptr);
  ASSERT_TRUE(WaitFor([&] { return aLabel[3]->text() == "Speed: 4000 kHz" && pTree->topLevelItemCount() > 0; }));
  EXPECT_EQ(aLabel[0]->text(), "Ready");
  EXPECT_EQ(aLabel[1]->text(), "Connected");
  EXPECT_EQ(aLabel[2]->text(), "Core Id: 0x2BA01477");
  auto Value = [&](const char* sSetting) {
    QList<QTreeWidgetItem*> a = pTree->findItems(sSetting, Qt::MatchExactly | Qt::MatchRecursive, 0);
    return a.isEmpty() ? QString("<none>") : a[0]->text(1);
  };
  EXPECT_EQ(Value("Project name"), "board");
  EXPECT_EQ(Value("MCU"), "ArteryTek AT32F425C8T7");
  EXPECT_EQ(Value("Core"), "Cortex-M4");
  EXPECT_EQ(Value("Base address"), "0x8000000");
  EXPECT_NE(Value("Flash size"), "<none>");
  EXPECT_EQ(pTree->findItems("Flash bank 0", Qt::MatchExactly, 0).size(), 1);

  r.ProjectOpen = false; // a closed project empties the tree
  pWin->UpdateProjectInfo(&r);
  EXPECT_TRUE(WaitFor([&] { return pTree->topLevelItemCount() == 0; }));
  EXPECT_FALSE(pTree->isEnabled());
}
