/*
 * The main window as a user drives it: the program's own job handlers, the simulated probe and
 * a copy of the example project. Menu commands post their jobs, the commands follow the menu
 * state, dropped files open, the recent lists fill, a connect shows in the status bar, and
 * closing with unsaved changes asks and does what the answer says.
 */
#include <gtest/gtest.h>

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTimer>
#include <QTreeWidget>
#include <QTest>
#include <QUrl>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <fstream>
#include <functional>
#include <mutex>
#include <atomic>
#include <thread>
#include <sstream>
#include <string>
#include <vector>

#include "app/APP.h"
#include "app/CMDLINE.h"
#include "core/APP_GUI.h"
#include "core/APP_JobParams.h"
#include "core/APP_Log.h"
#include "data/DATAIMAGE.h"
#include "data/DATAJOBS.h"
#include "gui/CHexEditor.h"
#include "gui/CustTextView.h"
#include "gui/DIALOG.h"
#include "gui/DataWindowArea.h"
#include "gui/MENUSTATE.h"
#include "gui/MainWindow.h"
#include "mcudb/MCUDB.h"
#include "probe/PROBE_Test.h"
#include "project/PROJDEV.h"
#include "project/PROJECT.h"
#include "project/PROJJOBS.h"
#include "project/SETTINGS.h"
#include "sys/SYS.h"
#include "tests/gui/MainWinProgram.h"

using namespace mainwin;

namespace {

// Every job the window posts for the target, recorded instead of run (connect and disconnect
// run for real against the simulated probe).
struct PostedJob {
  uint32_t Id;
  std::vector<uint8_t> Params;
};
std::mutex _PostedLock;
std::vector<PostedJob> _aPosted;
size_t _NumParamBytes; // as many as the case expects: a block without any is null
void _Record(JobContext* p) {
  std::lock_guard<std::mutex> g(_PostedLock);
  const uint8_t* pb = static_cast<const uint8_t*>(p->pParams);
  _aPosted.push_back({p->JobId, pb ? std::vector<uint8_t>(pb, pb + _NumParamBytes) : std::vector<uint8_t>()});
}
const uint32_t _aRecorded[] = {JOB_SAVE_EMU_CONFIG_FILE,
                               JOB_SAVE_EMU_DATA_FILE,
                               JOB_DOWNLOAD_CONFIG_FILES,
                               JOB_DOWNLOAD_SN_FILES,
                               JOB_SHOW_CFI_INFO,
                               JOB_TEST_SPEED,
                               JOB_SET_SERIAL_SIGNAL,
                               JOB_SECURE_CHIP,
                               JOB_CHECK_BLANK,
                               JOB_ERASE,
                               JOB_PROGRAM,
                               JOB_VERIFY,
                               JOB_READ,
                               JOB_START_TARGET_APP,
                               JOB_PROD_PROG};

template <class T> std::vector<uint8_t> Bytes(const T& v) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(&v);
  return std::vector<uint8_t>(p, p + sizeof(T));
}
// The fields of "Program flash" without the padding behind them.
std::vector<uint8_t> ProgramBytes(DataImage* pImage, uint8_t Verify) {
  std::vector<uint8_t> v = Bytes(pImage);
  v.push_back(Verify);
  return v;
}

Program _P;

void _RecordTargetJobs(void) {
  for (uint32_t Id : _aRecorded)
    APP_SetJobHandler(Id, _Record);
}

QAction* FindAction(const char* sPath) {
  QAction* p = _P.pWin->FindAction(sPath);
  EXPECT_NE(p, nullptr) << sPath;
  return p;
}

class MainWin : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    if (_P.pWin != nullptr) return;
    _P.pfBeforeWindow = _RecordTargetJobs;
    ASSERT_TRUE(_P.Start()) << _P.LogText();
    // What every test finds, also when it runs alone: the project and a data file open.
    WriteAll(HexPath(), HexRecord(4, 0, {0x08, 0x00}) + HexRecord(0, 0x0000, {0xDE, 0xAD, 0xBE, 0xEF}) +
                            HexRecord(1, 0, {}));
    ASSERT_TRUE(_P.Drop({HexPath(), _P.Project}));
    ASSERT_TRUE(WaitFor([] { return _P.NumDataWindows() == 1 && _P.ProjectShown(); })) << _P.LogText();
    ASSERT_TRUE(_P.Settle());
  }
  static std::string HexPath() { return _P.Dir + "/app.hex"; }
  void SetUp() override {
    ASSERT_NE(_P.pWin, nullptr);
    std::lock_guard<std::mutex> g(_PostedLock);
    _aPosted.clear();
    _P.pBoxes->aText.clear();
    _P.pBoxes->Button = "O.K.";
  }
  std::vector<PostedJob> Posted() {
    std::lock_guard<std::mutex> g(_PostedLock);
    return _aPosted;
  }
};

// The rules as the menu shows them: the state arrives from another thread, as from the worker.
TEST_F(MainWin, CommandsFollowTheMenuState) {
  ASSERT_TRUE(_P.Settle()); // nothing of the program's own comes in between
  struct Case {
    const char* sWhat;
    std::vector<int> aSet; // bytes set to 1
    std::vector<std::pair<const char*, bool>> aExpect;
  } aCase[] = {
      {"no project",
       {},
       {{"&File/&Open data file...", true},
        {"&File/&Merge data file...", false},
        {"&File/&Close project", false},
        {"&Target/&Connect", false},
        {"&Target/&Disconnect", false},
        {"&Target/&Test", false},
        {"&Target/&Production Programming", false},
        {"&Target/&Manual Programming/Check Blank", false},
        {"&Target/&Manual Programming/&Program", false},
        {"&Target/&Manual Programming/&Read back", false},
        {"&Options/&Project settings...", false},
        {"&File/Recent &Files", false},
        {"&File/Recent &Projects", false}}},
      {"project, full menus, a modified data window",
       {MENUSTATE_PROJECT, MENUSTATE_FULL, MENUSTATE_DATA_WINDOW, MENUSTATE_DATA_MODIFIED,
        MENUSTATE_ERASE_SECTORS, MENUSTATE_RECENT_FILES},
       {{"&File/&Save data file", true},
        {"&File/Save Stamper data file...", true},
        {"&File/Sa&ve project", false},
        {"&Target/&Connect", true},
        {"&Target/&Disconnect", false},
        {"&Target/&Test/Show C&FI Info...", false},
        {"&Target/&Manual Programming/Secure Chip", false},
        {"&Target/&Manual Programming/Erase Sectors", true},
        {"&Target/&Manual Programming/Pro&gram && Verify", true},
        {"&File/Recent &Files", true},
        {"&File/Recent &Projects", false}}},
      {"an unmodified image cannot be saved",
       {MENUSTATE_PROJECT, MENUSTATE_FULL, MENUSTATE_DATA_WINDOW},
       {{"&File/&Save data file", false}, {"&File/Save data file &as...", true}}},
      {"connected, a modified project with CFI bank and secure function",
       {MENUSTATE_PROJECT, MENUSTATE_FULL, MENUSTATE_CONNECTED, MENUSTATE_PROJECT_MODIFIED, MENUSTATE_CFI,
        MENUSTATE_SECURE},
       {{"&Target/&Connect", false},
        {"&Target/&Disconnect", true},
        {"&File/Sa&ve project", true},
        {"&Target/&Test/Show C&FI Info...", true},
        {"&Target/&Manual Programming/Secure Chip", true}}},
      {"gang module selection",
       {MENUSTATE_PROJECT, MENUSTATE_FULL, MENUSTATE_CONNECTED, MENUSTATE_ATE, MENUSTATE_DATA_WINDOW},
       {{"&Target/&Connect", false},
        {"&Target/&Disconnect", false},
        {"&Target/&Production Programming", false},
        {"&Target/&Test", false},
        {"&Target/&Manual Programming/Check Blank", false},
        {"&Target/&Manual Programming/&Verify", false},
        {"&Target/&Manual Programming/&Read back", false},
        {"&Target/&Manual Programming/&Start Application", false},
        {"&File/&Merge data file...", true}}},
      {"reduced menus (GUIMode 1)",
       {MENUSTATE_PROJECT, MENUSTATE_DATA_WINDOW, MENUSTATE_DATA_MODIFIED},
       {{"&File/&Open data file...", false},
        {"&File/&Save data file", false},
        {"&Edit/&Relocate...", false},
        {"&Target/&Manual Programming/Erase Chip", false},
        {"&Target/&Manual Programming/&Program", false},
        {"&Target/&Manual Programming/Check Blank", true},
        {"&Target/&Manual Programming/&Verify", true},
        {"&Target/&Manual Programming/&Read back", true},
        {"&Target/&Manual Programming/&Read back/&Entire chip", true},
        {"&Target/&Production Programming", true}}},
  };
  for (const Case& c : aCase) {
    uint8_t ab[MENUSTATE_NUM_BYTES] = {};
    for (int b : c.aSet)
      ab[b] = 1;
    std::thread Worker([&] { _P.pWin->UpdateMenuBar(ab); });
    Worker.join();
    QApplication::processEvents();
    for (const auto& e : c.aExpect)
      EXPECT_EQ(FindAction(e.first)->isEnabled(), e.second) << c.sWhat << ": " << e.first;
  }
  ASSERT_TRUE(_P.Settle()); // back to the program's own state
}

// A data file and a project dropped together open; a file of another kind is refused with a box.
TEST_F(MainWin, DroppedFilesOpenAndUnsupportedOnesAreRefused) {
  APP_CreateJob(JOB_CLOSE_PROJECT, "CloseProject", nullptr, 0, nullptr, nullptr);
  ASSERT_TRUE(_P.Settle());
  ASSERT_FALSE(_P.ProjectShown());
  int Before = _P.NumDataWindows();
  std::string Txt = _P.Dir + "/notes.txt";
  WriteAll(Txt, "not data\n");
  ASSERT_TRUE(_P.Drop({HexPath(), Txt, _P.Project}));
  ASSERT_TRUE(WaitFor([&] { return _P.NumDataWindows() == Before + 1 && _P.ProjectShown(); }))
      << _P.pWin->windowTitle().toStdString() << "\n"
      << _P.LogText();
  ASSERT_EQ(_P.pBoxes->aText.size(), 1u);
  EXPECT_TRUE(_P.pBoxes->aText[0].contains("Cannot open file " + QString::fromStdString(Txt)));
  EXPECT_TRUE(_P.pBoxes->aText[0].contains("Unsupported file format."));
  ASSERT_TRUE(_P.Settle());
  // The project's settings are in the tree, the open project enables its commands.
  QTreeWidget* pTree = _P.pWin->findChild<QTreeWidget*>("ProjInfoTree");
  ASSERT_TRUE(WaitFor([&] { return pTree->isEnabled() && pTree->topLevelItemCount() > 3; }));
  auto Value = [&](const char* sSetting) {
    QList<QTreeWidgetItem*> a = pTree->findItems(sSetting, Qt::MatchExactly | Qt::MatchRecursive, 0);
    return a.isEmpty() ? QString("<none>") : a[0]->text(1);
  };
  // The settings are open, the banks closed until the user opens one.
  for (int i = 0; i < pTree->topLevelItemCount(); i++) {
    QTreeWidgetItem* p = pTree->topLevelItem(i);
    EXPECT_EQ(p->isExpanded(), i < 3) << p->text(0).toStdString();
  }
  EXPECT_EQ(Value("Project name"), "board");
  EXPECT_EQ(Value("Host connection"), "USB [Device 0]");
  EXPECT_EQ(Value("Type"), "SWD");
  EXPECT_EQ(Value("Speed"), "4000 kHz");
  EXPECT_EQ(Value("MCU"), "ArteryTek AT32F425C8T7");
  EXPECT_TRUE(Value("Selected sectors").endsWith(" of 64")) << Value("Selected sectors").toStdString();
  EXPECT_TRUE(FindAction("&Target/&Connect")->isEnabled());
  EXPECT_TRUE(FindAction("&File/Save data file &as...")->isEnabled());
}

TEST_F(MainWin, RecentListsOfferWhatWasOpened) {
  ASSERT_TRUE(_P.Settle());
  QMenu* pFiles = _P.pWin->FindMenu("&File/Recent &Files");
  QMenu* pProjects = _P.pWin->FindMenu("&File/Recent &Projects");
  ASSERT_TRUE(pFiles && pProjects);
  ASSERT_TRUE(WaitFor([&] { return !pFiles->actions().isEmpty() && !pProjects->actions().isEmpty(); }));
  EXPECT_TRUE(pFiles->menuAction()->isEnabled());
  EXPECT_TRUE(pProjects->menuAction()->isEnabled());
  QAction* pHex = pFiles->actions()[0];
  EXPECT_EQ(pHex->text().toStdString(), HexPath());
  EXPECT_EQ(pHex->toolTip().toStdString(), "Open data file at " + HexPath());
  EXPECT_EQ(pProjects->actions()[0]->text().toStdString(), _P.Project);
  EXPECT_EQ(pProjects->actions()[0]->toolTip().toStdString(), "Open project file at " + _P.Project);
  // Choosing the entry opens the file again, in a window of its own.
  int Before = _P.NumDataWindows();
  pHex->trigger();
  EXPECT_TRUE(WaitFor([&] { return _P.NumDataWindows() == Before + 1; }));
}

// Each command posts its job with the parameter block its handler reads.
TEST_F(MainWin, CommandsPostTheirJobs) {
  ASSERT_TRUE(_P.Settle());
  DataImage* pImage = _P.pWin->GetDataWindowArea()->GetCurDataWindow()->GetImage();
  ASSERT_NE(pImage, nullptr);
  struct Case {
    const char* sPath;
    uint32_t Id;
    std::vector<uint8_t> Params;
  } aCase[] = {
      {"&File/Save Stamper config file...", JOB_SAVE_EMU_CONFIG_FILE, {}},
      {"&File/Download config && data file to Stamper", JOB_DOWNLOAD_CONFIG_FILES, {}},
      {"&Target/&Test/Test &speed...", JOB_TEST_SPEED, {}},
      {"&Target/&Test/&Hardware/Activate BUSY", JOB_SET_SERIAL_SIGNAL, {1, 1}},
      {"&Target/&Test/&Hardware/Deactivate BUSY", JOB_SET_SERIAL_SIGNAL, {1, 0}},
      {"&Target/&Test/&Hardware/Activate OK", JOB_SET_SERIAL_SIGNAL, {0, 1}},
      {"&Target/&Test/&Hardware/Deactivate OK", JOB_SET_SERIAL_SIGNAL, {0, 0}},
      {"&Target/&Production Programming", JOB_PROD_PROG, Bytes(pImage)},
      {"&Target/&Manual Programming/Check Blank", JOB_CHECK_BLANK, {}},
      {"&Target/&Manual Programming/Erase Sectors", JOB_ERASE, Bytes<uint32_t>(APP_ERASE_SELECTED_SECTORS)},
      {"&Target/&Manual Programming/Erase Chip", JOB_ERASE, Bytes<uint32_t>(APP_ERASE_CHIP)},
      {"&Target/&Manual Programming/&Program", JOB_PROGRAM, ProgramBytes(pImage, 0)},
      {"&Target/&Manual Programming/Pro&gram && Verify", JOB_PROGRAM, ProgramBytes(pImage, 1)},
      {"&Target/&Manual Programming/&Verify", JOB_VERIFY, Bytes(pImage)},
      {"&Target/&Manual Programming/&Read back/&Selected sectors", JOB_READ,
       Bytes<uint32_t>(APP_READ_SELECTED_SECTORS)},
      {"&Target/&Manual Programming/&Read back/&Entire chip", JOB_READ, Bytes<uint32_t>(APP_READ_CHIP)},
      {"&Target/&Manual Programming/&Read back/&Range...", JOB_READ, Bytes<uint32_t>(APP_READ_RANGE)},
      {"&Target/&Manual Programming/&Start Application", JOB_START_TARGET_APP, {}},
  };
  for (const Case& c : aCase) {
    SetUp();
    QAction* pAct = FindAction(c.sPath);
    ASSERT_TRUE(pAct->isEnabled()) << c.sPath;
    _NumParamBytes = c.Params.size();
    pAct->trigger();
    ASSERT_TRUE(_P.Settle());
    std::vector<PostedJob> a = Posted();
    ASSERT_EQ(a.size(), 1u) << c.sPath;
    EXPECT_EQ(a[0].Id, c.Id) << c.sPath;
    EXPECT_EQ(a[0].Params, c.Params) << c.sPath;
  }
}

// The function keys reach their commands from the keyboard alone.
TEST_F(MainWin, ShortcutsRunTheirCommands) {
  ASSERT_TRUE(_P.Settle());
  _P.pWin->activateWindow();
  QApplication::setActiveWindow(_P.pWin);
  ASSERT_TRUE(WaitFor([] { return _P.pWin->isActiveWindow(); }));
  ASSERT_TRUE(_P.Settle()); // the activation checks the data files
  SetUp();
  QTest::keyClick(_P.pWin, Qt::Key_F2);
  ASSERT_TRUE(_P.Settle());
  std::vector<PostedJob> a = Posted();
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].Id, (uint32_t)JOB_CHECK_BLANK);
}

// Back from another application, the window checks every open data file for outside changes.
TEST_F(MainWin, SwitchingBackChecksEveryOpenDataFile) {
  QApplication::setActiveWindow(nullptr);
  ASSERT_TRUE(WaitFor([] { return !_P.pWin->isActiveWindow(); }));
  ASSERT_TRUE(_P.Settle());
  WriteAll(HexPath(), HexRecord(4, 0, {0x08, 0x00}) + HexRecord(0, 0x0000, {1, 2, 3, 4, 5, 6, 7, 8}) +
                          HexRecord(1, 0, {}));
  SetUp();
  _P.pBoxes->Button = "Do not reload";
  QApplication::setActiveWindow(_P.pWin);
  ASSERT_TRUE(WaitFor([] { return _P.pWin->isActiveWindow(); }));
  ASSERT_TRUE(_P.Settle());
  // Both windows of the file ask, the active one included.
  ASSERT_EQ(_P.pBoxes->aText.size(), (size_t)_P.NumDataWindows());
  for (const QString& Text : _P.pBoxes->aText) EXPECT_TRUE(Text.contains("app.hex")) << Text.toStdString();
}

// "Save data file" follows the active image's unsaved changes, as the worker finds them.
TEST_F(MainWin, SavingFollowsTheActiveImage) {
  DataImage* pImage = _P.pWin->GetDataWindowArea()->GetCurDataWindow()->GetImage();
  for (uint32_t Changes : {1u, 0u}) {
    {
      SYS_MUTEX_GUARD g(APP_GetAppLock());
      DATAIMAGE_SetChangeCounter(pImage, Changes);
    }
    ASSERT_TRUE(_P.Settle());
    EXPECT_EQ(FindAction("&File/&Save data file")->isEnabled(), Changes != 0);
    EXPECT_TRUE(FindAction("&File/Save data file &as...")->isEnabled());
  }
}

// A command's tip shows in the general field while the pointer is on it; then the status returns.
TEST_F(MainWin, HoveredCommandShowsItsTip) {
  _P.pWin->SetStatusField(APP_STATUS_GENERAL, "Ready");
  ASSERT_TRUE(WaitFor([] { return _P.pWin->GetStatusText(APP_STATUS_GENERAL) == "Ready"; }));
  QStatusTipEvent Hover(FindAction("&Target/&Manual Programming/Erase Chip")->statusTip());
  QApplication::sendEvent(_P.pWin, &Hover);
  EXPECT_EQ(_P.pWin->GetStatusText(APP_STATUS_GENERAL), "Erase entire chip");
  _P.pWin->SetStatusField(APP_STATUS_CONNECTION, "Not connected"); // other fields go on changing
  ASSERT_TRUE(WaitFor([] { return _P.pWin->GetStatusText(APP_STATUS_CONNECTION) == "Not connected"; }));
  EXPECT_EQ(_P.pWin->GetStatusText(APP_STATUS_GENERAL), "Erase entire chip");
  QStatusTipEvent Leave("");
  QApplication::sendEvent(_P.pWin, &Leave);
  EXPECT_EQ(_P.pWin->GetStatusText(APP_STATUS_GENERAL), "Ready");
}

// The progress dialog of a flash operation: asked for by the worker, cancelled from the keyboard.
TEST_F(MainWin, ProgressDialogCancelledByTheUser) {
  std::atomic<ProgressDialogState*> pAsked{nullptr};
  std::thread Worker([&] { pAsked = _P.pWin->CreateProgressDlg("KORVEN T-Forge V7.92e", "Erasing ...", 0); });
  ASSERT_TRUE(WaitFor([&] { return pAsked.load() != nullptr; }));
  Worker.join();
  ProgressDialogState* pState = pAsked;
  ProgressDialog* pDlg = nullptr;
  for (ProgressDialog* p : _P.pWin->findChildren<ProgressDialog*>()) {
    if (p->GetState() == pState) pDlg = p;
  }
  ASSERT_NE(pDlg, nullptr);
  EXPECT_TRUE(pDlg->isVisible());
  EXPECT_TRUE(pDlg->isModal());
  QPushButton* pCancel = pDlg->findChild<QPushButton*>();
  ASSERT_NE(pCancel, nullptr);
  EXPECT_TRUE(pCancel->isDefault());
  QTest::keyClick(pDlg, Qt::Key_Escape);
  SYS_MUTEX_Lock(pState->pLock, -1);
  bool Cancelled = pState->Cancelled;
  SYS_MUTEX_Unlock(pState->pLock);
  EXPECT_TRUE(Cancelled);
  std::atomic<bool> Deleted{false};
  std::thread Deleter([&] {
    ProgressDialogState* p = pState;
    _P.pWin->DeleteProgressDlg(&p);
    Deleted = p == nullptr; // the requester's reference is cleared
  });
  ASSERT_TRUE(WaitFor([&] { return Deleted.load(); }));
  Deleter.join();
  EXPECT_TRUE(_P.pWin->findChildren<ProgressDialog*>().isEmpty());
}

TEST_F(MainWin, WithoutADataWindowProgrammingWarnsAndSavingShowsABox) {
  // Close every data window; the commands that need one tell why nothing happens.
  for (CustDockWidget* p : _P.pWin->GetDataWindowArea()->GetDocks())
    p->close();
  ASSERT_TRUE(WaitFor([] { return _P.NumDataWindows() == 0; }));
  ASSERT_TRUE(_P.Settle());
  EXPECT_FALSE(FindAction("&File/&Save data file")->isEnabled());
  CustTextView* pLog = _P.pWin->GetLogView();
  int Lines = pLog->GetNumLines();
  FindAction("&Target/&Manual Programming/&Program")->trigger();
  ASSERT_TRUE(_P.Settle());
  EXPECT_TRUE(Posted().empty());
  ASSERT_TRUE(WaitFor([&] { return pLog->GetNumLines() > Lines; }));
  EXPECT_NE(pLog->GetLineText(pLog->GetNumLines() - 1).find("No data file specified!"), std::string::npos);
  ASSERT_EQ(_P.pBoxes->aText.size(), 1u); // the warning is shown as well
  EXPECT_TRUE(_P.pBoxes->aText[0].contains("No data file specified!"));
  _P.pBoxes->aText.clear();
  QMetaObject::invokeMethod(_P.pWin, "_SlotOnActSaveDataFile");
  ASSERT_EQ(_P.pBoxes->aText.size(), 1u);
  EXPECT_TRUE(_P.pBoxes->aText[0].contains("No data window is open.")) << _P.pBoxes->aText[0].toStdString();
}

// A connect through the menu against the simulated AT32F425 fills the status fields.
TEST_F(MainWin, StatusFieldsAfterAConnect) {
  ASSERT_TRUE(_P.Settle());
  FindAction("&Target/&Connect")->trigger();
  ASSERT_TRUE(WaitFor([] { return _P.pWin->GetStatusText(APP_STATUS_CONNECTION) == "Connected"; }, 60000))
      << _P.pWin->GetStatusText(APP_STATUS_GENERAL).toStdString();
  ASSERT_TRUE(_P.Settle());
  EXPECT_TRUE(_P.pWin->GetStatusText(APP_STATUS_COREID).startsWith("Core Id: 0x"));
  EXPECT_EQ(_P.pWin->GetStatusText(APP_STATUS_SPEED), "Speed: 4000 kHz");
  EXPECT_FALSE(FindAction("&Target/&Connect")->isEnabled());
  EXPECT_TRUE(FindAction("&Target/&Disconnect")->isEnabled());
  FindAction("&Target/&Disconnect")->trigger();
  ASSERT_TRUE(WaitFor([] { return _P.pWin->GetStatusText(APP_STATUS_CONNECTION) == "Not connected"; }));
  ASSERT_TRUE(_P.Settle());
  EXPECT_EQ(_P.pWin->GetStatusText(APP_STATUS_COREID), "");
  EXPECT_TRUE(FindAction("&Target/&Connect")->isEnabled());
}

/*
 * Closing with unsaved project changes asks. Each answer runs in a process of its own: an
 * answer that lets the program end stops the job engine for good.
 */
enum CloseCheck { KEEPS_RUNNING = 1, SAVED = 2, NOT_SAVED = 4, ENDED = 8 };

[[noreturn]] void _CloseWithAnswer(const char* sButton) {
  _P.pfBeforeWindow = _RecordTargetJobs;
  if (!_P.Start() || !_P.Drop({_P.Project})) std::_Exit(100);
  if (!WaitFor([] { return _P.ProjectShown(); })) {
    std::fprintf(stderr, "%s", _P.LogText().c_str());
    std::_Exit(100);
  }
  if (!_P.Settle()) std::_Exit(100);
  std::string Before = ReadAll(_P.Project);
  PROJECT_GENERAL G;
  PROJECT_GetGeneral(&G);
  G.USBPort = 7; // an unsaved change
  PROJECT_SetGeneral(&G);
  _P.pBoxes->Button = sButton;
  _P.pWin->close();
  int Result = 0;
  if (_P.pBoxes->aText.size() == 1 && _P.pBoxes->aText[0].contains("Do you want to save your changes?")) {
    std::string After = ReadAll(_P.Project);
    if (APP_GetExitState() == APP_EXIT_NONE && !APP_IsJobEngineStopped() && PROJECT_IsOpen())
      Result |= KEEPS_RUNNING;
    if (After != Before && After.find("USBPort = 7") != std::string::npos) Result |= SAVED;
    if (After == Before) Result |= NOT_SAVED;
    if (APP_IsJobEngineStopped() && !PROJECT_IsOpen()) Result |= ENDED;
  }
  std::fflush(stdout);
  std::_Exit(Result);
}

// A close that the worker asks for (as the end of a batch run does) arrives as a queued call; the
// jobs still queued before the exit job ask the GUI thread and must be answered meanwhile.
enum { JOB_SLOW = 46 };
void _SlowJob(JobContext*) { SYS_Sleep(200); }

[[noreturn]] void _CloseAskedByTheWorker() {
  alarm(30); // a close that waits for ever ends here
  _P.pfBeforeWindow = [] {
    _RecordTargetJobs();
    APP_SetJobHandler(JOB_SLOW, _SlowJob);
  };
  if (!_P.Start()) std::_Exit(100);
  APP_CreateJob(JOB_SLOW, "Slow", nullptr, 0, nullptr, nullptr);
  APP_CreateJob(JOB_UPDATE_MENU_BAR, "UpdateMenuBar", nullptr, 0, nullptr, nullptr); // asks the GUI thread
  std::thread Worker([] { _P.pWin->CloseMainWindow(); });
  Worker.join();
  QApplication::exec(); // as the program runs: the close handling ends the event loop
  std::_Exit(APP_IsJobEngineStopped() ? ENDED : 0);
}

TEST(MainWinClose, CloseAskedByTheWorkerEnds) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(_CloseAskedByTheWorker(), ::testing::ExitedWithCode(ENDED), "");
}

TEST(MainWinClose, EachAnswerDoesWhatItSays) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char* sButton;
    int Expect;
  } aCase[] = {
      {"Yes", SAVED | ENDED},
      {"No", NOT_SAVED | ENDED},
      {"", KEEPS_RUNNING | NOT_SAVED}, // the box closed without an answer
  };
  for (const Case& c : aCase) {
    EXPECT_EXIT(_CloseWithAnswer(c.sButton), ::testing::ExitedWithCode(c.Expect), "")
        << "answer " << c.sButton;
  }
}

} // namespace
