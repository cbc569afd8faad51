/*
 * MainWindow - window shell, worker requests and the close handling.
 */
#include "gui/MainWindow.h"

#include <algorithm>

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QDockWidget>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QMimeData>
#include <QScreen>
#include <QScrollBar>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QThread>
#include <QTreeWidget>
#include <QUrl>
#include <cstdio>
#include <cstring>

#include "core/APP_JobParams.h"
#include "core/APP_Log.h"
#include "data/DATAFILE.h"
#include "data/DATAJOBS.h"
#include "gui/CHexEditor.h"
#include "gui/CustTextView.h"
#include "gui/DataWindowArea.h"
#include "gui/DIALOG.h"
#include "gui/MENUSTATE.h"
#include "project/PROJECT.h"
#include "project/PROJJOBS.h"
#include "project/SETTINGS.h"
#include "sys/UTIL.h"

// The arguments and result of the synchronous request being served.
struct MainWindow::SyncRequest {
  SYS_HANDLE hDone = nullptr;
  // create / update data window
  DataImage* pImage = nullptr;
  const char* sTitle = nullptr;
  CHexEditor* pWin = nullptr;
  // progress dialog
  const char* sText = nullptr;
  int Flags = 0;
  ProgressDialogState* pState = nullptr;
  ProgressDialogState** ppState = nullptr;
  // value dialog
  EditValueField* paField = nullptr;
  int NumFields = 0;
  // file dialogs
  char* sPath = nullptr;
  int PathSize = 0;
  const char* sFilter = nullptr;
  const char* sSelectedFilter = nullptr;
  // message box
  MsgBoxRequest* pMsgBox = nullptr;
  int Result = -1;
};

namespace {

using RequestLock = SYS_MUTEX_GUARD;

void _ExitCompletion(JobContext* pContext) {
  APP_SetExitState(pContext->Result == 0 ? APP_EXIT_CONFIRMED : APP_EXIT_NONE);
  SYS_MEM_Free(pContext->pParams);
  SYS_MEM_Free(pContext);
}

// One step of the close handling's waits. A close that a worker request asked for runs inside
// the delivery of posted events, where the event loop does not deliver them again: the requests
// that the jobs still queued before the exit job send meanwhile are delivered here directly.
int _ProcessEventsStep(void*) {
  QCoreApplication::processEvents();
  QCoreApplication::sendPostedEvents();
  return 0;
}

/*
 * The menus, in the order they appear. A command either runs its own slot or posts one job
 * whose parameter block is the value Param of ParamSize bytes (0: no parameter block).
 * Menu paths name the sub-menus with "/"; a row of kind SubMenu creates the sub-menu at its
 * place, so that separators and sub-menus keep their order.
 */
enum MenuKind { Command, SubMenu, Separator };
struct MenuRow {
  MenuKind Kind;
  const char* sMenu;
  const char* sText;
  const char* sShortcut;
  const char* sTip;
  MENUSTATE_RULE Rule;
  void (MainWindow::*pfSlot)();
  uint32_t JobId;
  const char* sTag;
  uint32_t Param;
  uint8_t ParamSize;
};

constexpr const char* kFile = "&File";
constexpr const char* kEdit = "&Edit";
constexpr const char* kTarget = "&Target";
constexpr const char* kTest = "&Target/&Test";
constexpr const char* kHardware = "&Target/&Test/&Hardware";
constexpr const char* kManual = "&Target/&Manual Programming";
constexpr const char* kReadBack = "&Target/&Manual Programming/&Read back";
constexpr const char* kOptions = "&Options";
constexpr const char* kView = "&View";
constexpr const char* kHelp = "&Help";

#define MW_SLOT(Menu, Text, Key, Tip, Rule, Slot) {Command, Menu, Text, Key, Tip, Rule, &MainWindow::Slot, 0, nullptr, 0, 0}
#define MW_JOB(Menu, Text, Key, Tip, Rule, Job, Tag, Param, Size) {Command, Menu, Text, Key, Tip, Rule, nullptr, Job, Tag, Param, Size}
#define MW_SUB(Menu, Text, Rule) {SubMenu, Menu, Text, nullptr, nullptr, Rule, nullptr, 0, nullptr, 0, 0}
#define MW_SEP(Menu) {Separator, Menu, nullptr, nullptr, nullptr, MENU_ALWAYS, nullptr, 0, nullptr, 0, 0}

// "Set RS232 signal": signal in the first byte, state in the second.
constexpr uint32_t _Signal(uint8_t Signal, uint8_t State) { return Signal | (uint32_t)State << 8; }

const MenuRow _aMenuRow[] = {
    MW_JOB(kFile, "&Open data file...", "Ctrl+O", "Open an existing data file", MENU_DATA_OPEN, JOB_OPEN_DATA_FILE,
           "OpenDataFile", 0, 0),
    MW_JOB(kFile, "&Merge data file...", nullptr, "Merge two data files", MENU_DATA_EDIT, JOB_MERGE_DATA_FILE,
           "MergeDataFile", 0, 0),
    MW_SLOT(kFile, "&Save data file", "Ctrl+S", "Save current data file", MENU_DATA_SAVE, _SlotOnActSaveDataFile),
    MW_SLOT(kFile, "Save data file &as...", nullptr, "Save current data file in a different file", MENU_DATA_EDIT,
            _SlotOnActSaveDataFileAs),
    MW_SLOT(kFile, "Show files on Stamper...", nullptr, "Browse files and folders on Stamper", MENU_ALWAYS,
            _SlotOnActShowFilesOnStamper),
    MW_SEP(kFile),
    MW_SLOT(kFile, "&New project", nullptr, "Create a new project", MENU_ALWAYS, _SlotOnActNewProj),
    MW_JOB(kFile, "Op&en project", nullptr, "Open an existing project", MENU_ALWAYS, JOB_OPEN_PROJ_FILE, "OpenProjFile",
           0, 0),
    MW_JOB(kFile, "Sa&ve project", nullptr, "Save current project", MENU_PROJECT_SAVE, JOB_SAVE_PROJ_FILE,
           "SaveProjFile", 0, 1),
    MW_JOB(kFile, "Save p&roject as...", nullptr, "Save current project in a different file", MENU_PROJECT,
           JOB_SAVE_PROJ_FILE, "SaveProjFile", 1, 1),
    MW_JOB(kFile, "&Close project", nullptr, "Close current project", MENU_PROJECT, JOB_CLOSE_PROJECT, "CloseProject",
           0, 0),
    MW_SEP(kFile),
    MW_JOB(kFile, "Save Stamper config file...", nullptr, "Save programmer configuration file", MENU_PROJECT,
           JOB_SAVE_EMU_CONFIG_FILE, "SaveEmuConfigFile", 0, 0),
    MW_JOB(kFile, "Save Stamper data file...", nullptr, "Save programmer data file", MENU_PROJECT_DATA,
           JOB_SAVE_EMU_DATA_FILE, "SaveEmuDataFile", 0, 0),
    MW_JOB(kFile, "Download config && data file to Stamper", nullptr, "Download current configuration to programmer",
           MENU_PROJECT_DATA, JOB_DOWNLOAD_CONFIG_FILES, "DownloadConfigFiles", 0, 0),
    MW_JOB(kFile, "Download serial number file to Stamper", nullptr,
           "Download current serial number file to programmer", MENU_ALWAYS, JOB_DOWNLOAD_SN_FILES, "DownloadSNFiles",
           0, 0),
    MW_SEP(kFile),
    MW_SUB(kFile, "Recent &Files", MENU_RECENT_FILES),
    MW_SUB(kFile, "Recent &Projects", MENU_RECENT_PROJECTS),
    MW_SEP(kFile),
    MW_SLOT(kFile, "E&xit", "Alt+F4", "Exit the application", MENU_ALWAYS, _SlotOnActExit),
    MW_JOB(kEdit, "&Relocate...", nullptr, "Relocate data by given offset", MENU_DATA_EDIT, JOB_RELOCATE_DATA,
           "RelocateData", 0, 0),
    MW_JOB(kEdit, "&Delete range...", nullptr, "Delete specified data range", MENU_DATA_EDIT, JOB_DELETE_DATA_RANGE,
           "DeleteDataRange", 0, 0),
    MW_JOB(kEdit, "&Eliminate blank areas...", nullptr, "Eliminate blank areas in data window", MENU_DATA_EDIT,
           JOB_ELIMINATE_BLANK, "EliminateBlankData", 0, 0),
    MW_JOB(kTarget, "&Connect", nullptr, "Connect to target", MENU_CONNECT, JOB_CONNECT, "ConnectTarget", 0, 0),
    MW_JOB(kTarget, "&Disconnect", nullptr, "Disconnect from target", MENU_DISCONNECT, JOB_DISCONNECT, "ConnectTarget",
           0, 0),
    MW_SEP(kTarget),
    MW_SUB(kTarget, "&Test", MENU_TARGET_FULL),
    MW_JOB(kTest, "&Generate test data...", nullptr, "Generate test data", MENU_TARGET_FULL, JOB_GENERATE_TEST_DATA,
           "GenerateTestData", 0, 0),
    MW_JOB(kTest, "Test &speed...", nullptr, "Test download/upload speed of probe/ pogrammer", MENU_TARGET_FULL,
           JOB_TEST_SPEED, "TestSpeed", 0, 0),
    MW_JOB(kTest, "Show C&FI Info...", nullptr, "Show CFI info of CFI compliant flash devices", MENU_CFI,
           JOB_SHOW_CFI_INFO, "ShowCFIInfo", 0, 0),
    MW_SUB(kTest, "&Hardware", MENU_TARGET_FULL),
    MW_JOB(kHardware, "Activate BUSY", nullptr, "Set the RS232 \"Busy\" signal", MENU_TARGET_FULL,
           JOB_SET_SERIAL_SIGNAL, "SetSerialSignal", _Signal(1, 1), 2),
    MW_JOB(kHardware, "Deactivate BUSY", nullptr, "Reset the RS232 \"Busy\" signal", MENU_TARGET_FULL,
           JOB_SET_SERIAL_SIGNAL, "SetSerialSignal", _Signal(1, 0), 2),
    MW_JOB(kHardware, "Activate OK", nullptr, "Set the RS232 \"OK\" signal", MENU_TARGET_FULL, JOB_SET_SERIAL_SIGNAL,
           "SetSerialSignal", _Signal(0, 1), 2),
    MW_JOB(kHardware, "Deactivate OK", nullptr, "Reset the RS232 \"OK\" signal", MENU_TARGET_FULL,
           JOB_SET_SERIAL_SIGNAL, "SetSerialSignal", _Signal(0, 0), 2),
    MW_SEP(kTarget),
    MW_SLOT(kTarget, "&Production Programming", "F7", "Erase, program and verify target", MENU_TARGET,
            _SlotOnActProdProg),
    MW_SUB(kTarget, "&Manual Programming", MENU_ALWAYS),
    MW_JOB(kManual, "Secure Chip", nullptr, "Secure target device", MENU_SECURE, JOB_SECURE_CHIP, "SecureChip", 0, 0),
    MW_SEP(kManual),
    MW_JOB(kManual, "Check Blank", "F2", "Blank check target", MENU_TARGET, JOB_CHECK_BLANK, "CheckBlank", 0, 0),
    MW_JOB(kManual, "Erase Sectors", "F3", "Erase selected sectors", MENU_ERASE_SECTORS, JOB_ERASE, "Erase",
           APP_ERASE_SELECTED_SECTORS, 4),
    MW_JOB(kManual, "Erase Chip", "F4", "Erase entire chip", MENU_TARGET_FULL, JOB_ERASE, "Erase", APP_ERASE_CHIP, 4),
    MW_SEP(kManual),
    MW_SLOT(kManual, "&Program", "F5", "Program target", MENU_TARGET_FULL, _SlotOnActProgram),
    MW_SLOT(kManual, "Pro&gram && Verify", "F6", "Program and verify target", MENU_TARGET_FULL,
            _SlotOnActProgramNVerify),
    MW_SEP(kManual),
    MW_SLOT(kManual, "&Verify", "F8", "Verify target program", MENU_TARGET, _SlotOnActVerify),
    MW_SUB(kManual, "&Read back", MENU_TARGET),
    MW_JOB(kReadBack, "&Selected sectors", "Alt+F10", "Read selected sectors", MENU_TARGET, JOB_READ, "Read",
           APP_READ_SELECTED_SECTORS, 4),
    MW_JOB(kReadBack, "&Entire chip", "F10", "Read the entire flash chip", MENU_TARGET, JOB_READ, "Read", APP_READ_CHIP,
           4),
    MW_JOB(kReadBack, "&Range...", nullptr, "Read specified range of target memory", MENU_TARGET, JOB_READ, "Read",
           APP_READ_RANGE, 4),
    MW_SEP(kManual),
    MW_JOB(kManual, "&Start Application", "F9", "Start target application (uses RESET pin to start application)",
           MENU_TARGET, JOB_START_TARGET_APP, "StartTargetApp", 0, 0),
    MW_SLOT(kOptions, "&Project settings...", "Alt+F7", "Show project settings", MENU_PROJECT, _SlotOnActProjSettings),
    MW_SLOT(kOptions, "&Global settings...", nullptr, "Show general settings dialog", MENU_ALWAYS,
            _SlotOnActGlobalSettings),
    MW_SLOT(kView, "Show project &information", nullptr, "Show project information window", MENU_ALWAYS,
            _SlotOnActShowProjInfo),
    MW_SLOT(kView, "Show &log", nullptr, "Show log", MENU_ALWAYS, _SlotOnActShowLog),
    MW_SLOT(kHelp, "T-Forge &user guide", nullptr, "Open the T-Forge user guide", MENU_ALWAYS, _SlotOnActUserGuide),
    MW_SEP(kHelp),
    MW_SLOT(kHelp, "&About...", nullptr, "Show program information, version and copyright", MENU_ALWAYS,
            _SlotOnActAbout),
};

#undef MW_SLOT
#undef MW_JOB
#undef MW_SUB
#undef MW_SEP

// The user guide installed with the program.
constexpr const char* kUserGuideName = "T-Forge user guide";
constexpr const char* kUserGuideFile = "Doc/Manuals/TForge_UserGuide.pdf";

} // namespace

MainWindow::MainWindow(int argc, char** argv, int ShowCmd) : QMainWindow(nullptr) {
  _GUIThreadId = SYS_GetCurrentThreadId();
  _pRequestLock = SYS_MUTEX_Create(nullptr);
  UTIL_strcpy(_acTitle, APP_PRODUCT_NAME, sizeof(_acTitle));
  for (auto& s : _aacStatus) s[0] = 0;
  setWindowTitle(APP_PRODUCT_NAME);
  hide();

  _BuildMenus();

  _pProjTree = new QTreeWidget(this);
  _pProjTree->setObjectName("ProjInfoTree");
  _pProjTree->setHeaderLabels({"Setting", "Value"});
  _pProjTree->setEditTriggers(QAbstractItemView::NoEditTriggers);
  _pProjTree->setSelectionBehavior(QAbstractItemView::SelectRows);
  _pProjTree->setEnabled(false);
  connect(_pProjTree, &QTreeWidget::itemExpanded, this, &MainWindow::_SlotOnItemExpansionCollapse);
  connect(_pProjTree, &QTreeWidget::itemCollapsed, this, &MainWindow::_SlotOnItemExpansionCollapse);
  connect(_pProjTree, &QTreeWidget::itemDoubleClicked, this, &MainWindow::_SlotOnItemDblClick);
  _pDataArea = new DataWindowArea(this);
  _pLogView = new CustTextView(this, "Log", CTV_MODE_FORMATTED, 0, 100);
  setCentralWidget(_pDataArea);
  _pProjDock = new QDockWidget("Project information", this);
  _pProjDock->setObjectName("ProjInfoDock");
  _pProjDock->setWidget(_pProjTree);
  _pProjDock->setAllowedAreas(Qt::AllDockWidgetAreas);
  addDockWidget(Qt::LeftDockWidgetArea, _pProjDock);
  _pLogDock = new QDockWidget("Log", this);
  _pLogDock->setObjectName("LogDock");
  _pLogDock->setWidget(_pLogView);
  _pLogDock->setAllowedAreas(Qt::AllDockWidgetAreas);
  _pLogView->setMinimumHeight(10 * QFontMetrics(_pLogView->widget()->font()).height());
  addDockWidget(Qt::BottomDockWidgetArea, _pLogDock);
  setDockNestingEnabled(true);
  const int aStretch[4] = {5, 1, 1, 1};
  for (int i = 0; i < 4; i++) {
    _apStatus[i] = new QLabel(this);
    statusBar()->addPermanentWidget(_apStatus[i], aStretch[i]);
  }
  setAcceptDrops(true);

  auto Queued = Qt::QueuedConnection;
  connect(this, &MainWindow::_SignalUpdateVisibility, this, &MainWindow::_SlotOnVisibilityUpdate, Queued);
  connect(this, &MainWindow::_SignalCreateDataWindow, this, &MainWindow::_SlotOnCreateDataWindow, Queued);
  connect(this, &MainWindow::_SignalCloseDataWindow, this, &MainWindow::_SlotOnCloseDataWindow, Queued);
  connect(this, &MainWindow::_SignalCreateProgressDlg, this, &MainWindow::_SlotOnCreateProgressDlg, Queued);
  connect(this, &MainWindow::_SignalDeleteProgressDlg, this, &MainWindow::_SlotOnDeleteProgressDlg, Queued);
  connect(this, &MainWindow::_SignalGetCurDataWindow, this, &MainWindow::_SlotOnGetCurDataWindow, Queued);
  connect(this, &MainWindow::_SignalShowEditValDialog, this, &MainWindow::_SlotOnShowEditValDialog, Queued);
  connect(this, &MainWindow::_SignalShowFileDialogOpen, this, &MainWindow::_SlotOnShowFileDialogOpen, Queued);
  connect(this, &MainWindow::_SignalShowFileDialogSave, this, &MainWindow::_SlotOnShowFileDialogSave, Queued);
  connect(this, &MainWindow::_SignalShowCustMsgBox, this, &MainWindow::_SlotOnShowCustMsgBox, Queued);
  connect(this, &MainWindow::_SignalUpdateGUI, this, &MainWindow::_SlotOnGUIUpdate, Queued);
  connect(this, &MainWindow::_SignalUpdateProjectInfo, this, &MainWindow::_SlotOnUpdateProjectInfo, Queued);
  connect(this, &MainWindow::_SignalUpdateMenuBar, this, &MainWindow::_SlotOnMenuBarUpdate, Queued);
  connect(this, &MainWindow::_SignalUpdateDataWindow, this, &MainWindow::_SlotOnUpdateDataWindow, Queued);
  connect(this, &MainWindow::_SignalEnableGUI, this, &MainWindow::_SlotOnEnableGUI, Queued);
  connect(this, &MainWindow::_SignalEnableDataWindowCheck, this, &MainWindow::_SlotOnEnableDataWindowCheck, Queued);
  connect(this, &MainWindow::_SignalClose, this, &MainWindow::_SlotOnClose, Queued);
  connect(this, &MainWindow::_SignalFinAsyncAppInit, this, &MainWindow::_SlotOnFinAsyncAppInit, Queued);
  connect(_pDataArea, &DataWindowArea::SignalDataWinInFocus, this, &MainWindow::_SlotOnDataWindowInFocus);

  _Startup = APP_STARTUP{argc, argv, ShowCmd, 0, 0, 0};
  APP_SetGUI(this);
  APP_SetJobHandler(JOB_UPDATE_MENU_BAR, MENUSTATE_JobUpdateMenuBar);
  APP_SetJobTable(APP_GetJobTable(), APP_NUM_JOBS);
  APP_INIT_PARAMS Params{_StartupCallback, &_Startup};
  APP_CreateJob(JOB_INIT_APP, "Init", &Params, sizeof(Params), this, nullptr);
  setFocusPolicy(Qt::TabFocus);
}

MainWindow::~MainWindow() {
  APP_SetGUI(nullptr);
  _pLogView->SetLineWriter(nullptr);
  SYS_MUTEX_Delete(&_pRequestLock);
}

void MainWindow::_StartupCallback(void* pRequester) {
  Q_EMIT static_cast<MainWindow*>(pRequester)->_SignalFinAsyncAppInit();
}

void MainWindow::_PostJob(uint32_t JobId, const char* sTag, const void* pParams, uint32_t NumBytes) {
  APP_CreateJob(JobId, sTag, pParams, NumBytes, this, nullptr);
}

// A command changes what the menus offer (a project closed, a file saved): the menu state
// is computed again behind it.
void MainWindow::_PostCommand(uint32_t JobId, const char* sTag, const void* pParams, uint32_t NumBytes) {
  _PostJob(JobId, sTag, pParams, NumBytes);
  _PostJob(JOB_UPDATE_MENU_BAR, "UpdateMenuBar");
}

QString MainWindow::GetStatusText(int Index) const {
  return (Index >= 0 && Index < 4) ? _apStatus[Index]->text() : QString();
}

/*********************************************************************
 * Synchronous requests
 */
void MainWindow::_RunSync(SyncRequest* pReq, void (MainWindow::*pfSignal)(), void (MainWindow::*pfSlot)()) {
  if (SYS_GetCurrentThreadId() == _GUIThreadId) {
    // Asked on the GUI thread itself: no signal and no event. The request stays apart from
    // the worker's: a box shown here runs an event loop in which the worker's request, stored
    // meanwhile, is answered by its own signal.
    SyncRequest* pOuter = _pDirect;
    _pDirect = pReq;
    (this->*pfSlot)();
    _pDirect = pOuter;
    return;
  }
  std::lock_guard<std::mutex> Serial(_SyncSerial);
  pReq->hDone = SYS_EVENT_Create(false, false);
  {
    RequestLock g(_pRequestLock);
    _pRequest = pReq;
  }
  Q_EMIT(this->*pfSignal)();
  SYS_EVENT_Wait(pReq->hDone, -1);
  SYS_HANDLE_Close(pReq->hDone);
}

MainWindow::SyncRequest* MainWindow::_TakeRequest() {
  SyncRequest*& rp = _pDirect ? _pDirect : _pRequest;
  SyncRequest* p = rp;
  rp = nullptr;
  return p;
}

void MainWindow::_Finish(SyncRequest* pReq) {
  if (pReq && pReq->hDone) SYS_EVENT_Set(pReq->hDone);
}

CHexEditor* MainWindow::CreateDataWindow(DataImage* pImage, const char* sTitle) {
  SyncRequest r;
  r.pImage = pImage;
  r.sTitle = sTitle;
  _RunSync(&r, &MainWindow::_SignalCreateDataWindow, &MainWindow::_SlotOnCreateDataWindow);
  return r.pWin;
}

void MainWindow::_SlotOnCreateDataWindow() {
  RequestLock g(_pRequestLock);
  SyncRequest* r = _TakeRequest();
  if (r == nullptr) return;
  CHexEditor* pWin = new CHexEditor(r->pImage);
  connect(pWin, &CHexEditor::SignalClosed, this, &MainWindow::_SlotOnDataWindowClose);
  connect(pWin, &CHexEditor::SignalEditingFinished, this, &MainWindow::_SlotOnDataWindowUpdate);
  _pDataArea->AddDataWindow(pWin);
  if (r->sTitle) pWin->SetTitle(QString::fromLocal8Bit(r->sTitle));
  r->pWin = pWin;
  _Finish(r);
}

void MainWindow::UpdateDataWindow(CHexEditor* pWin, DataImage* pImage) {
  SyncRequest r;
  r.pWin = pWin;
  r.pImage = pImage;
  _RunSync(&r, &MainWindow::_SignalUpdateDataWindow, &MainWindow::_SlotOnUpdateDataWindow);
}

void MainWindow::_SlotOnUpdateDataWindow() {
  RequestLock g(_pRequestLock);
  SyncRequest* r = _TakeRequest();
  if (r == nullptr) return;
  CHexEditor* pWin = r->pWin;
  if (pWin) pWin->SetImage(r->pImage);
  _Finish(r);
  if (pWin) pWin->update();
  _PostJob(JOB_UPDATE_MENU_BAR, "UpdateMenuBar");
}

CHexEditor* MainWindow::GetCurDataWindow() {
  SyncRequest r;
  _RunSync(&r, &MainWindow::_SignalGetCurDataWindow, &MainWindow::_SlotOnGetCurDataWindow);
  return r.pWin;
}

void MainWindow::_SlotOnGetCurDataWindow() {
  RequestLock g(_pRequestLock);
  SyncRequest* r = _TakeRequest();
  if (r == nullptr) return;
  r->pWin = _pDataArea->GetCurDataWindow();
  _Finish(r);
}

ProgressDialogState* MainWindow::CreateProgressDlg(const char* sTitle, const char* sText, int Flags) {
  SyncRequest r;
  r.sTitle = sTitle;
  r.sText = sText;
  r.Flags = Flags;
  _RunSync(&r, &MainWindow::_SignalCreateProgressDlg, &MainWindow::_SlotOnCreateProgressDlg);
  return r.pState;
}

void MainWindow::_SlotOnCreateProgressDlg() {
  RequestLock g(_pRequestLock);
  SyncRequest* r = _TakeRequest();
  if (r == nullptr) return;
  int Flags = r->Flags;
  if (_StartMode == 0 || APP_IsHeadless()) Flags |= 0x20;
  if (_StartMode == 2) Flags |= 0x40;
  ProgressDialog* pDlg = new ProgressDialog(r->sTitle, r->sText, Flags, this);
  r->pState = pDlg->GetState();
  _Finish(r);
}

void MainWindow::DeleteProgressDlg(ProgressDialogState** pp) {
  if (pp == nullptr || *pp == nullptr) return;
  SyncRequest r;
  r.ppState = pp;
  _RunSync(&r, &MainWindow::_SignalDeleteProgressDlg, &MainWindow::_SlotOnDeleteProgressDlg);
}

void MainWindow::_SlotOnDeleteProgressDlg() {
  RequestLock g(_pRequestLock);
  SyncRequest* r = _TakeRequest();
  if (r == nullptr) return;
  ProgressDialogState* pState = *r->ppState;
  for (ProgressDialog* pDlg : findChildren<ProgressDialog*>()) {
    if (pDlg->GetState() == pState) delete pDlg;
  }
  *r->ppState = nullptr;
  _Finish(r);
}

int MainWindow::ShowEditValueDialog(const char* sTitle, EditValueField* paField, int NumFields) {
  SyncRequest r;
  r.sTitle = sTitle;
  r.paField = paField;
  r.NumFields = NumFields;
  _RunSync(&r, &MainWindow::_SignalShowEditValDialog, &MainWindow::_SlotOnShowEditValDialog);
  return r.Result;
}

void MainWindow::_SlotOnShowEditValDialog() {
  RequestLock g(_pRequestLock);
  SyncRequest* r = _TakeRequest();
  if (r == nullptr) return;
  if (APP_IsHeadless()) {
    // Nobody can answer: the dialog is cancelled and the values stay as they were.
    std::printf("%s\n", r->sTitle ? r->sTitle : "");
    r->Result = -1;
  } else {
    EditValueDialog Dlg(r->sTitle, r->paField, r->NumFields, this);
    r->Result = Dlg.exec() == QDialog::Accepted ? 0 : -1;
  }
  _Finish(r);
}

int MainWindow::ShowFileDialogOpen(char* sPath, int PathSize, const char* sTitle, const char* sFilter,
                                   const char* sSelectedFilter) {
  return _RequestFileDialog(false, sPath, PathSize, sTitle, sFilter, sSelectedFilter);
}

int MainWindow::ShowFileDialogSave(char* sPath, int PathSize, const char* sTitle, const char* sFilter,
                                   const char* sSelectedFilter) {
  return _RequestFileDialog(true, sPath, PathSize, sTitle, sFilter, sSelectedFilter);
}

int MainWindow::_RequestFileDialog(bool Save, char* sPath, int PathSize, const char* sTitle, const char* sFilter,
                                   const char* sSelectedFilter) {
  SyncRequest r;
  r.sPath = sPath;
  r.PathSize = PathSize;
  r.sTitle = sTitle;
  r.sFilter = sFilter;
  r.sSelectedFilter = sSelectedFilter;
  if (Save) {
    _RunSync(&r, &MainWindow::_SignalShowFileDialogSave, &MainWindow::_SlotOnShowFileDialogSave);
  } else {
    _RunSync(&r, &MainWindow::_SignalShowFileDialogOpen, &MainWindow::_SlotOnShowFileDialogOpen);
  }
  return r.Result;
}

int MainWindow::_ShowFileDialog(SyncRequest* r, bool Save) {
  if (APP_IsHeadless()) return -1;
  QString Selected = QString::fromLocal8Bit(r->sSelectedFilter ? r->sSelectedFilter : "");
  QString Title = QString::fromLocal8Bit(r->sTitle ? r->sTitle : "");
  QString Start = QString::fromLocal8Bit(r->sPath);
  QString Filter = QString::fromLocal8Bit(r->sFilter ? r->sFilter : "");
  QString Chosen = Save ? QFileDialog::getSaveFileName(this, Title, Start, Filter, &Selected)
                        : QFileDialog::getOpenFileName(this, Title, Start, Filter, &Selected);
  if (Chosen.isEmpty()) return -1;
  QByteArray a = Chosen.toLocal8Bit();
  if (a.size() >= r->PathSize) return -1;
  UTIL_strcpy(r->sPath, a.constData(), r->PathSize);
  return 0;
}

void MainWindow::_AnswerFileDialog(bool Save) {
  RequestLock g(_pRequestLock);
  SyncRequest* r = _TakeRequest();
  if (r == nullptr) return;
  r->Result = _ShowFileDialog(r, Save);
  _Finish(r);
}

void MainWindow::_SlotOnShowFileDialogOpen() { _AnswerFileDialog(false); }

void MainWindow::_SlotOnShowFileDialogSave() { _AnswerFileDialog(true); }

void MainWindow::ShowMsgBox(MsgBoxRequest* pReq) {
  SyncRequest r;
  r.pMsgBox = pReq;
  _RunSync(&r, &MainWindow::_SignalShowCustMsgBox, &MainWindow::_SlotOnShowCustMsgBox);
}

void MainWindow::_SlotOnShowCustMsgBox() {
  RequestLock g(_pRequestLock);
  SyncRequest* r = _TakeRequest();
  if (r == nullptr) return;
  MsgBoxRequest* m = r->pMsgBox;
  if (APP_IsHeadless()) {
    // Nobody can answer: the text goes to standard output and the default answer is taken.
    std::printf("%s: %s\n", m->sTitle ? m->sTitle : "", m->sText ? m->sText : "");
    std::fflush(stdout);
    m->Result = m->DefaultResult;
    m->CheckResult = m->CheckState;
    m->Rejected = false;
  } else {
    DIALOG_CustMsgBox(m, this);
  }
  _Finish(r);
}

/*********************************************************************
 * Asynchronous requests
 */
void MainWindow::SetStartMode(int Mode) {
  {
    RequestLock g(_pRequestLock);
    _StartMode = Mode;
  }
  APP_SetStartMode(Mode);
  Q_EMIT _SignalUpdateVisibility();
}

void MainWindow::_SlotOnVisibilityUpdate() {
  int Mode;
  {
    RequestLock g(_pRequestLock);
    Mode = _StartMode;
  }
  if (Mode == 0) {
    hide();
    return;
  }
  if (Mode == 2) {
    showMinimized();
  } else if (Mode == 3) {
    showMaximized();
  } else {
    show();
  }
  // Room for a data window beside the project information and above the log.
  QSize Hint = CHexEditor(nullptr).sizeHint();
  _pDataArea->resize(_pDataArea->size().expandedTo(Hint));
  QSize Want(Hint.width() + _pProjDock->width(), Hint.height() + _pLogDock->height());
  resize(size().expandedTo(Want));
  if (QScreen* s = screen()) {
    QRect r = frameGeometry();
    r.moveCenter(s->availableGeometry().center());
    move(r.topLeft());
  }
}

void MainWindow::SetStatusField(int Index, const char* sText) {
  if (Index < 0 || Index > 3) return;
  {
    RequestLock g(_pRequestLock);
    UTIL_strcpy(_aacStatus[Index], sText ? sText : "", sizeof(_aacStatus[Index]));
  }
  Q_EMIT _SignalUpdateGUI();
}

void MainWindow::SetTitleText(const char* sText) {
  {
    RequestLock g(_pRequestLock);
    UTIL_strcpy(_acTitle, sText ? sText : "", sizeof(_acTitle));
  }
  Q_EMIT _SignalUpdateGUI();
}

void MainWindow::ReloadRecentMenus() {
  QStringList a[2];
  for (int List : {SETTINGS_RECENT_DATA, SETTINGS_RECENT_PROJECT}) {
    int n = std::min<int>(SETTINGS_RECENT_GetCount(List), SETTINGS_RECENT_MAX);
    for (int i = 0; i < n; i++) {
      char ac[SETTINGS_RECENT_PATH_SIZE];
      if (SETTINGS_RECENT_Get(List, i, ac, sizeof(ac)) == 0) a[List].append(QString::fromLocal8Bit(ac));
    }
  }
  {
    RequestLock g(_pRequestLock);
    _aRecent[0] = a[0];
    _aRecent[1] = a[1];
  }
  Q_EMIT _SignalUpdateGUI();
}

void MainWindow::_SlotOnGUIUpdate() {
  RequestLock g(_pRequestLock);
  setWindowTitle(QString::fromLocal8Bit(_acTitle));
  _RebuildRecentMenu(SETTINGS_RECENT_DATA);
  _RebuildRecentMenu(SETTINGS_RECENT_PROJECT);
  for (int i = _HoverTip ? 1 : 0; i < 4; i++) _apStatus[i]->setText(QString::fromLocal8Bit(_aacStatus[i]));
}

// One entry per path; the text is the path itself (caller holds the request lock).
void MainWindow::_RebuildRecentMenu(int List) {
  QMenu* pMenu = _apRecentMenu[List];
  if (pMenu == nullptr) return;
  pMenu->clear();
  const bool Data = List == SETTINGS_RECENT_DATA;
  for (const QString& sPath : _aRecent[List]) {
    QAction* pAct = pMenu->addAction(sPath);
    QString Tip = QString(Data ? "Open data file at" : "Open project file at") + " " + sPath;
    pAct->setToolTip(Tip);
    pAct->setStatusTip(Tip);
    connect(pAct, &QAction::triggered, this, [this, sPath, Data] {
      if (Data) {
        _SlotOnActMRUDataFile(sPath);
      } else {
        _SlotOnActMRUProjFile(sPath);
      }
    });
  }
}

void MainWindow::_SlotOnActMRUDataFile(QString sPath) {
  DATAJOBS_FILE_PARAMS p{};
  UTIL_strcpy(p.acPath, sPath.toLocal8Bit().constData(), sizeof(p.acPath));
  _PostCommand(JOB_OPEN_DATA_FILE, "OpenDataFile", &p, sizeof(p));
}

void MainWindow::_SlotOnActMRUProjFile(QString sPath) {
  PROJJOBS_OPEN_PARAMS p{};
  UTIL_strcpy(p.acPath, sPath.toLocal8Bit().constData(), sizeof(p.acPath));
  _PostCommand(JOB_OPEN_PROJ_FILE, "OpenProjFile", &p, sizeof(p));
}

void MainWindow::_SlotOnMenuHide() {
  _HoverTip = false;
  _SlotOnGUIUpdate();
}

void MainWindow::UpdateProjectInfo(const ProjectInfoRecord* pInfo) {
  {
    RequestLock g(_pRequestLock);
    _ProjInfo = *pInfo;
  }
  Q_EMIT _SignalUpdateProjectInfo();
}

// A speed of the target interface as the project sets it.
static QString _SpeedText(bool Adaptive, bool Auto, uint32_t kHz) {
  if (Adaptive) return "Adaptive clocking";
  if (Auto) return "Auto recognition";
  return QString("%1 kHz").arg(kHz);
}

// The selected modules of a gang programmer, ten to a line.
static QString _ModulesText(const uint8_t* paSel) {
  QString s;
  int n = 0;
  for (int i = 0; i < 24; i++) {
    if (!paSel[i]) continue;
    if (n > 0) s += (n == 10 || n == 20) ? ",\n" : ", ";
    s += QString::asprintf("%2d", i + 1);
    n++;
  }
  return n ? s : QString("<None>");
}

static QString _OrgText(const ProjectInfoBank& b) {
  return QString::asprintf("%d bits x %d chip%s", b.OrgNumBits, b.OrgNumChips, b.OrgNumChips > 1 ? "s" : "");
}

/*
 * The rows of the open project: general settings, the target interface, the device with its
 * core, and one group per flash bank (collapsed) with its sector selection.
 */
void MainWindow::_SlotOnUpdateProjectInfo() {
  RequestLock g(_pRequestLock);
  const ProjectInfoRecord& r = _ProjInfo;
  _pProjTree->clear();
  _pProjTree->setEnabled(r.ProjectOpen);
  if (!r.ProjectOpen) return;
  auto Add = [](QTreeWidgetItem* pParent, const char* sSetting, const QString& Value) {
    return new QTreeWidgetItem(pParent, {QString(sSetting), Value});
  };
  auto Group = [this](const QString& sTitle) {
    QTreeWidgetItem* p = new QTreeWidgetItem(_pProjTree, {sTitle});
    QFont f = p->font(0);
    f.setBold(true);
    p->setFont(0, f);
    return p;
  };
  char ac[128];
  QTreeWidgetItem* pGeneral = Group("General");
  Add(pGeneral, "Project name", r.acProjectName[0] ? QString::fromLocal8Bit(r.acProjectName) : QString("---"));
  QString Host = "???";
  if (r.ConnectMode == 0) Host = QString::asprintf("USB [Device %u]", r.USBPort);
  if (r.ConnectMode == 1) Host = QString::asprintf("USB [SN %u]", r.USBSerialNo);
  if (r.ConnectMode == 2) Host = QString("TCP/IP [Host '%1']").arg(QString::fromLocal8Bit(r.acHostName));
  Add(pGeneral, "Host connection", Host);
  if (r.UseATEModuleSelection) Add(pGeneral, "Stamper modules", _ModulesText(r.aATEModuleSel));

  static const char* const aIF[] = {"JTAG", "SWD", "BDM3", "FINE", "2-wire-JTAG-PIC32", "SPI", "C2", "cJTAG"};
  QTreeWidgetItem* pTIF = Group("TIF");
  Add(pTIF, "Type", r.TargetIF < 8 ? aIF[r.TargetIF] : "Unknown");
  Add(pTIF, "Init. speed", _SpeedText(r.UseAdaptive0, r.UseMaxSpeed0, r.Speed0));
  Add(pTIF, "Speed", _SpeedText(r.UseAdaptive1, r.UseMaxSpeed1, r.Speed1));
  if (r.TargetIF == 0 || r.TargetIF == 7) {
    if (r.MultipleTargets) {
      Add(pTIF, "TAP number", QString::number(r.TAP_Number));
      Add(pTIF, "IRPre", QString::number(r.IRLen));
    } else {
      Add(pTIF, "JTAG scan chain", "Auto detection");
    }
  }

  QTreeWidgetItem* pTarget = Group("Target");
  if (r.acDevice[0]) {
    Add(pTarget, "MCU", QString::fromLocal8Bit(r.acDevice));
    Add(pTarget, "Core", QString::fromLocal8Bit(r.acCoreName));
  } else {
    Add(pTarget, "CPU", QString::fromLocal8Bit(r.acCoreName));
  }
  Add(pTarget, "Endian", r.EndianMode ? "Big" : "Little");
  if (r.HasClockSpeed) {
    Add(pTarget, "Clock speed", r.UseAutoSpeed ? QString("Auto recognition") : QString("%1 Hz").arg(r.ClockSpeed));
  }
  Add(pTarget, "Check core ID", r.CheckCoreID ? QString::asprintf("Yes (0x%X)", r.CoreID) : QString("No"));
  APP_FormatSize(ac, sizeof(ac), r.RAMSize);
  Add(pTarget, "Use target RAM", QString::asprintf("%s @ 0x%X", ac, r.RAMAddr));

  const int NumBanks = std::min<int>(r.NumBanks, APP_PROJINFO_MAX_BANKS);
  for (int i = 0; i < NumBanks; i++) {
    const ProjectInfoBank& b = r.aBank[i];
    QTreeWidgetItem* pBank = Group(b.acName[0] ? QString::fromLocal8Bit(b.acName) : QString("Flash bank %1").arg(i));
    QString Base = QString::asprintf("0x%X", b.BaseAddr);
    APP_FormatSize(ac, sizeof(ac), (uint32_t)b.Size);
    QString Size = QString(b.HasLayout ? "" : "max. ") + ac;
    if (b.IsInternal) {
      Add(pBank, "Type", QString("Internal bank %1").arg(i));
      Add(pBank, "Base address", Base);
      if (b.Size) Add(pBank, "Flash size", Size);
      Add(pBank, "Loader", QString::fromLocal8Bit(b.acLoaderName));
    } else if (b.AutoDetect) {
      Add(pBank, "Type", "Auto detection");
      Add(pBank, "Base address", Base);
      Add(pBank, "Organization", _OrgText(b));
    } else {
      Add(pBank, "Type", QString::fromLocal8Bit(b.acDeviceName));
      Add(pBank, "Base address", Base);
      if (b.Size) Add(pBank, "Flash size", Size);
      Add(pBank, "Organization", _OrgText(b));
      Add(pBank, "Check flash ID", b.CheckId ? QString::asprintf("Yes (0x%X)", b.FlashId) : QString("No"));
    }
    if (b.NumSectors > 0) {
      Add(pBank, "Selected sectors", QString("%1 of %2").arg(b.NumSelected).arg(b.NumSectors));
    }
    if (b.Disabled) {
      pBank->setText(1, "(disabled)");
      pBank->setDisabled(true);
    }
  }
  // The settings groups open, the banks closed until the user opens one.
  for (QTreeWidgetItem* p : {pGeneral, pTIF, pTarget}) p->setExpanded(true);
  _FitProjTree();
  resize(size().expandedTo(sizeHint()));
}

// The tree is as wide as its two columns need, so that no setting is cut off.
void MainWindow::_FitProjTree() {
  _pProjTree->resizeColumnToContents(0);
  _pProjTree->resizeColumnToContents(1);
  int Width = _pProjTree->columnWidth(0) + _pProjTree->columnWidth(1) + 2 + 2 * _pProjTree->frameWidth();
  if (_pProjTree->verticalScrollBar()->isVisible()) Width += _pProjTree->verticalScrollBar()->width();
  _pProjTree->setMinimumWidth(Width);
}

void MainWindow::_SlotOnItemExpansionCollapse(QTreeWidgetItem*) { _FitProjTree(); }

void MainWindow::UpdateMenuBar(const uint8_t abState[12]) {
  {
    RequestLock g(_pRequestLock);
    std::memcpy(_abMenuState, abState, sizeof(_abMenuState));
  }
  Q_EMIT _SignalUpdateMenuBar();
}

void MainWindow::_SlotOnMenuBarUpdate() {
  RequestLock g(_pRequestLock);
  for (const RuledAction& r : _aRuled) {
    r.pAction->setEnabled(MENUSTATE_IsEnabled(static_cast<MENUSTATE_RULE>(r.Rule), _abMenuState));
  }
}

void MainWindow::EnableGUI(bool On) { Q_EMIT _SignalEnableGUI(On); }

void MainWindow::_SlotOnEnableGUI(bool On) {
  RequestLock g(_pRequestLock);
  _pDataArea->setEnabled(On);
  _pProjTree->setEnabled(On);
  menuBar()->setEnabled(On);
}

void MainWindow::EnableDataWindowCheck(bool On) { Q_EMIT _SignalEnableDataWindowCheck(On); }

void MainWindow::_SlotOnEnableDataWindowCheck(bool On) {
  {
    RequestLock g(_pRequestLock);
    _DataWindowCheck = On;
  }
  if (On && isEnabled()) {
    CHexEditor* pAll = nullptr; // no window: all of them
    _PostCommand(JOB_CHECK_FILE_MODIFICATIONS, "CheckForFileModifications", &pAll, sizeof(pAll));
  }
}

void MainWindow::CloseDataWindow(CHexEditor* pWin) { Q_EMIT _SignalCloseDataWindow(pWin); }

void MainWindow::_SlotOnCloseDataWindow(CHexEditor* pWin) {
  if (pWin) pWin->close();
}

void MainWindow::CloseMainWindow() { Q_EMIT _SignalClose(); }

void MainWindow::_SlotOnClose() { close(); }

void MainWindow::StartupFinished() { Q_EMIT _SignalFinAsyncAppInit(); }

void MainWindow::AppendLog(const char* sLine) { _pLogView->AppendText(sLine); }

void MainWindow::SetLogWriter(void (*pfWrite)(const char* sLine, int Len)) {
  RequestLock g(_pRequestLock);
  _pLogView->SetLineWriter(pfWrite);
}

void MainWindow::_SlotOnFinAsyncAppInit() {
  if (_Startup.InitFailed) {
    close();
    return;
  }
  // The Welcome and New Project dialogs are shown here once they exist; nobody could answer
  // them without a display.
  _PostJob(JOB_UPDATE_MENU_BAR, "UpdateMenuBar");
}

void MainWindow::_SlotOnDataWindowInFocus(CHexEditor* pWin) {
  bool Check;
  {
    RequestLock g(_pRequestLock);
    Check = _DataWindowCheck;
  }
  if (!isEnabled() || !Check) return;
  CHexEditor* p = pWin;
  _PostCommand(JOB_CHECK_FILE_MODIFICATIONS, "CheckForFileModifications", &p, sizeof(p));
}

void MainWindow::_SlotOnDataWindowClose(CHexEditor* pWin) {
  CHexEditor* p = pWin;
  _PostCommand(JOB_DATA_WINDOW_CLOSE, "OnDataWindowClose", &p, sizeof(p));
}

void MainWindow::_SlotOnDataWindowUpdate() { _PostJob(JOB_UPDATE_MENU_BAR, "UpdateMenuBar"); }

/*********************************************************************
 * Menus and commands
 */
void MainWindow::_BuildMenus() {
  for (const MenuRow& r : _aMenuRow) {
    QString sMenu = QString::fromLatin1(r.sMenu);
    QMenu* pMenu = FindMenu(sMenu);
    if (pMenu == nullptr) {
      // A top-level menu: created at its first row.
      pMenu = menuBar()->addMenu(sMenu);
      _aMenu.emplace_back(sMenu, pMenu);
      connect(pMenu, &QMenu::aboutToHide, this, &MainWindow::_SlotOnMenuHide);
    }
    switch (r.Kind) {
    case Separator: pMenu->addSeparator(); break;
    case SubMenu: {
      QMenu* pSub = pMenu->addMenu(QString::fromLatin1(r.sText));
      _aMenu.emplace_back(sMenu + "/" + r.sText, pSub);
      _aRuled.push_back({pSub->menuAction(), r.Rule});
      break;
    }
    case Command: {
      QAction* pAct = pMenu->addAction(QString::fromLatin1(r.sText));
      if (r.sShortcut) pAct->setShortcut(QKeySequence(QString::fromLatin1(r.sShortcut)));
      pAct->setToolTip(QString::fromLatin1(r.sTip));
      pAct->setStatusTip(QString::fromLatin1(r.sTip));
      if (r.pfSlot) {
        connect(pAct, &QAction::triggered, this, r.pfSlot);
      } else {
        const MenuRow* pRow = &r;
        connect(pAct, &QAction::triggered, this, [this, pRow] {
          _PostCommand(pRow->JobId, pRow->sTag, pRow->ParamSize ? &pRow->Param : nullptr, pRow->ParamSize);
        });
      }
      _aRuled.push_back({pAct, r.Rule});
      break;
    }
    }
  }
  _apRecentMenu[SETTINGS_RECENT_DATA] = FindMenu("&File/Recent &Files");
  _apRecentMenu[SETTINGS_RECENT_PROJECT] = FindMenu("&File/Recent &Projects");
  // Until the first "Update menu bar": nothing open, nothing that needs a project.
  _SlotOnMenuBarUpdate();
}

QMenu* MainWindow::FindMenu(const QString& sPath) const {
  for (const auto& m : _aMenu) {
    if (m.first == sPath) return m.second;
  }
  return nullptr;
}

QAction* MainWindow::FindAction(const QString& sPath) const {
  int Slash = sPath.lastIndexOf('/');
  if (QMenu* pSub = FindMenu(sPath)) return pSub->menuAction();
  QMenu* pMenu = Slash > 0 ? FindMenu(sPath.left(Slash)) : nullptr;
  if (pMenu == nullptr) return nullptr;
  for (QAction* p : pMenu->actions()) {
    if (p->text() == sPath.mid(Slash + 1)) return p;
  }
  return nullptr;
}

void MainWindow::_ShowBox(const char* sTitle, const char* sText) {
  MsgBoxRequest Req{};
  Req.sTitle = sTitle;
  Req.sText = sText;
  Req.sButton0 = "O.K.";
  Req.Icon = APP_ICON_WARNING;
  ShowMsgBox(&Req);
}

void MainWindow::_SlotOnActSaveDataFile() {
  if (_pDataArea->GetCurDataWindow() == nullptr) {
    _ShowBox("Failed to save data file", "Failed to save data file.\nNo data window is open.");
    return;
  }
  DATAJOBS_FILE_PARAMS p{}; // no path: the window's own file
  _PostCommand(JOB_SAVE_DATA_FILE, "SaveDataFile", &p, sizeof(p));
}

void MainWindow::_SlotOnActSaveDataFileAs() {
  if (_pDataArea->GetCurDataWindow() == nullptr) {
    _ShowBox("Failed to save data file", "Failed to save data file.\nNo data window is open.");
    return;
  }
  DATAJOBS_FILE_PARAMS p{};
  p.SaveAs = 1;
  _PostCommand(JOB_SAVE_DATA_FILE, "SaveDataFile", &p, sizeof(p));
}

// The jobs that work on the active data window's image; Verify < 0: the image alone.
void MainWindow::_PostImageJob(uint32_t JobId, const char* sTag, int Verify) {
  CHexEditor* pWin = _pDataArea->GetCurDataWindow();
  DataImage* pImage = pWin ? pWin->GetImage() : nullptr;
  if (pImage == nullptr) {
    APP_WarnOut("No data file specified!");
    return;
  }
  if (Verify < 0) {
    APP_IMAGE_PARAMS p{pImage};
    _PostCommand(JobId, sTag, &p, sizeof(p));
  } else {
    APP_PROGRAM_PARAMS p{pImage, (uint8_t)Verify};
    _PostCommand(JobId, sTag, &p, sizeof(p));
  }
}

void MainWindow::_SlotOnActProdProg() { _PostImageJob(JOB_PROD_PROG, "ExecProdProg", -1); }
void MainWindow::_SlotOnActProgram() { _PostImageJob(JOB_PROGRAM, "Program", 0); }
void MainWindow::_SlotOnActProgramNVerify() { _PostImageJob(JOB_PROGRAM, "Program", 1); }
void MainWindow::_SlotOnActVerify() { _PostImageJob(JOB_VERIFY, "Verify", -1); }

void MainWindow::_SlotOnActNewProj() {
  // Without the new-project dialog: an unnamed project, which "Save project as..." names.
  char acPath[PROJECT_PATH_SIZE] = "";
  _PostCommand(JOB_CREATE_PROJECT, "CreateProject", acPath, sizeof(acPath));
}

// The dialogs that this version does not have yet say so instead of doing nothing.
static void _NotAvailable(MainWindow* pWin, const char* sWhat) {
  char acTitle[64], ac[256];
  APP_GetFullProductName(acTitle, sizeof(acTitle));
  UTIL_sprintf(ac, sizeof(ac), "The %s are not available in this version.", sWhat);
  MsgBoxRequest Req{};
  Req.sTitle = acTitle;
  Req.sText = ac;
  Req.sButton0 = "O.K.";
  Req.Icon = APP_ICON_INFO;
  pWin->ShowMsgBox(&Req);
}

void MainWindow::_SlotOnActShowFilesOnStamper() { _NotAvailable(this, "files on the Stamper"); }
void MainWindow::_SlotOnActProjSettings() { _NotAvailable(this, "project settings"); }
void MainWindow::_SlotOnActGlobalSettings() { _NotAvailable(this, "global settings"); }
void MainWindow::_SlotOnItemDblClick(QTreeWidgetItem*, int) { _SlotOnActProjSettings(); }

void MainWindow::_SlotOnActUserGuide() {
  QString Path = QDir::cleanPath(QCoreApplication::applicationDirPath() + "/" + kUserGuideFile);
  QByteArray a = QDir::toNativeSeparators(Path).toLocal8Bit();
  char acTitle[64], ac[1200];
  APP_GetFullProductName(acTitle, sizeof(acTitle));
  if (!QFileInfo(Path).isFile()) {
    UTIL_sprintf(ac, sizeof(ac), "Could not locate %s :\n(%s)", kUserGuideName, a.constData());
    _ShowBox(acTitle, ac);
  } else if (!QDesktopServices::openUrl(QUrl::fromLocalFile(Path))) {
    UTIL_sprintf(ac, sizeof(ac), "Could not open %s :\n(%s)", kUserGuideName, a.constData());
    _ShowBox(acTitle, ac);
  }
}

void MainWindow::_SlotOnActAbout() {
  char acName[64], ac[256];
  APP_GetFullProductName(acName, sizeof(acName));
  UTIL_sprintf(ac, sizeof(ac), "%s\nFlash programming for production", acName);
  MsgBoxRequest Req{};
  Req.sTitle = "About " APP_PRODUCT_NAME;
  Req.sText = ac;
  Req.sButton0 = "O.K.";
  Req.Icon = APP_ICON_INFO;
  ShowMsgBox(&Req);
}

void MainWindow::_SlotOnActExit() { close(); }

void MainWindow::_SlotOnActShowProjInfo() {
  _pProjDock->show();
  _pProjDock->raise();
}

void MainWindow::_SlotOnActShowLog() {
  _pLogDock->show();
  _pLogDock->raise();
}

/*********************************************************************
 * Status tips, activation and dropped files
 */
bool MainWindow::event(QEvent* pEvent) {
  if (pEvent->type() == QEvent::StatusTip) {
    // A command's tip goes into the general field; an empty tip brings the status back.
    QString Tip = static_cast<QStatusTipEvent*>(pEvent)->tip();
    _HoverTip = !Tip.isEmpty();
    if (_HoverTip) {
      _apStatus[APP_STATUS_GENERAL]->setText(Tip);
    } else {
      RequestLock g(_pRequestLock);
      _apStatus[APP_STATUS_GENERAL]->setText(QString::fromLocal8Bit(_aacStatus[APP_STATUS_GENERAL]));
    }
    return true;
  }
  return QMainWindow::event(pEvent);
}

void MainWindow::changeEvent(QEvent* pEvent) {
  QMainWindow::changeEvent(pEvent);
  // Back from another application: every open data file may have changed meanwhile.
  if (pEvent->type() == QEvent::ActivationChange && isActiveWindow()) _SlotOnDataWindowInFocus(nullptr);
}

void MainWindow::dragEnterEvent(QDragEnterEvent* pEvent) {
  if (pEvent->mimeData()->hasUrls()) pEvent->acceptProposedAction();
}

void MainWindow::dragMoveEvent(QDragMoveEvent* pEvent) {
  if (pEvent->mimeData()->hasUrls()) pEvent->acceptProposedAction();
}

// Data files by their extension, and projects, which "Open data file" hands to the project jobs.
static bool _IsOpenable(const char* sPath) {
  const char* sDot = std::strrchr(sPath, '.');
  if (sDot && std::strchr(sDot, '/') == nullptr && UTIL_stricmp(sDot, PROJECT_EXTENSION) == 0) return true;
  return DATAFILE_CanRead(DATAFILE_GetType(sPath));
}

void MainWindow::dropEvent(QDropEvent* pEvent) {
  if (!pEvent->mimeData()->hasUrls()) return;
  pEvent->acceptProposedAction();
  const QList<QUrl> aUrl = pEvent->mimeData()->urls();
  uint8_t Stage = 0; // the modification check stays off while the files open
  _PostJob(JOB_FILE_DROP, "BeginFileDrop", &Stage, sizeof(Stage));
  char acTitle[64];
  APP_GetFullProductName(acTitle, sizeof(acTitle));
  for (const QUrl& Url : aUrl) {
    QByteArray a = QDir::toNativeSeparators(Url.toLocalFile()).toLocal8Bit();
    DATAJOBS_FILE_PARAMS p{};
    char ac[1200];
    if (a.isEmpty() || !_IsOpenable(a.constData())) {
      UTIL_sprintf(ac, sizeof(ac), "Cannot open file %s\nUnsupported file format.",
                   a.isEmpty() ? Url.toString().toLocal8Bit().constData() : a.constData());
      _ShowBox(acTitle, ac);
    } else if (a.size() >= (int)sizeof(p.acPath)) {
      // Cut short it would name another file.
      UTIL_sprintf(ac, sizeof(ac), "Cannot open file %s\nThe path is too long.", a.constData());
      _ShowBox(acTitle, ac);
    } else {
      UTIL_strcpy(p.acPath, a.constData(), sizeof(p.acPath));
      _PostJob(JOB_OPEN_DATA_FILE, "OpenDataFile", &p, sizeof(p));
    }
  }
  Stage = 1;
  _PostCommand(JOB_FILE_DROP, "EndFileDrop", &Stage, sizeof(Stage));
}

/*********************************************************************
 * Close handling: the only way the program ends
 */
void MainWindow::closeEvent(QCloseEvent* pEvent) {
  if (APP_GetExitState() != APP_EXIT_NONE || APP_IsJobEngineStopped()) {
    // A second close while the exit job is pending, or after the worker was stopped.
    pEvent->ignore();
    return;
  }
  APP_SetExitState(APP_EXIT_PENDING);
  if (APP_CreateJob(JOB_EXIT_APP, "Exit", nullptr, 0, this, _ExitCompletion) < 0) {
    APP_SetExitState(APP_EXIT_CONFIRMED);
  }
  while (APP_GetExitState() == APP_EXIT_PENDING) {
    _ProcessEventsStep(nullptr);
    SYS_Sleep(10);
  }
  if (APP_GetExitState() == APP_EXIT_NONE) {
    pEvent->ignore(); // the user kept the project open
    return;
  }
  APP_StopJobEngine(JOB_STOP, _ProcessEventsStep, nullptr);
  pEvent->accept();
  QCoreApplication::exit(0);
}
