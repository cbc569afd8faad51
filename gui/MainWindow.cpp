/*
 * MainWindow - window shell, worker requests and the close handling.
 */
#include "gui/MainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDockWidget>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <QThread>
#include <QTreeWidget>
#include <cstdio>
#include <cstring>

#include "core/APP_Log.h"
#include "gui/CHexEditor.h"
#include "gui/CustTextView.h"
#include "gui/DataWindowArea.h"
#include "gui/DIALOG.h"
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

int _ProcessEventsStep(void*) {
  QCoreApplication::processEvents();
  return 0;
}

} // namespace

MainWindow::MainWindow(int argc, char** argv, int ShowCmd) : QMainWindow(nullptr) {
  _GUIThreadId = SYS_GetCurrentThreadId();
  _pRequestLock = SYS_MUTEX_Create(nullptr);
  UTIL_strcpy(_acTitle, APP_PRODUCT_NAME, sizeof(_acTitle));
  for (auto& s : _aacStatus) s[0] = 0;
  setWindowTitle(APP_PRODUCT_NAME);
  hide();

  QMenu* pFile = menuBar()->addMenu("&File");
  QAction* pExit = pFile->addAction("E&xit", this, &MainWindow::_SlotOnActExit);
  pExit->setShortcut(QKeySequence("Alt+F4"));
  pExit->setStatusTip("Exit the application");
  QMenu* pView = menuBar()->addMenu("&View");
  pView->addAction("Show project &information", this, &MainWindow::_SlotOnActShowProjInfo)
      ->setStatusTip("Show project information window");
  pView->addAction("Show &log", this, &MainWindow::_SlotOnActShowLog)->setStatusTip("Show log");

  _pProjTree = new QTreeWidget(this);
  _pProjTree->setObjectName("ProjInfoTree");
  _pProjTree->setHeaderLabels({"Setting", "Value"});
  _pProjTree->setEnabled(false);
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

QString MainWindow::GetStatusText(int Index) const {
  return (Index >= 0 && Index < 4) ? _apStatus[Index]->text() : QString();
}

/*********************************************************************
 * Synchronous requests
 */
void MainWindow::_RunSync(SyncRequest* pReq, void (MainWindow::*pfSignal)(), void (MainWindow::*pfSlot)()) {
  if (SYS_GetCurrentThreadId() == _GUIThreadId) {
    // Asked on the GUI thread itself: no signal and no event.
    SyncRequest* pOuter = _pRequest;
    _pRequest = pReq;
    (this->*pfSlot)();
    _pRequest = pOuter;
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
  SyncRequest* p = _pRequest;
  _pRequest = nullptr;
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

int MainWindow::_ShowFileDialog(bool Save) {
  SyncRequest* r = _pRequest;
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
  if (_pRequest == nullptr) return;
  int Result = _ShowFileDialog(Save);
  SyncRequest* r = _TakeRequest();
  r->Result = Result;
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

void MainWindow::ReloadRecentMenus() { Q_EMIT _SignalUpdateGUI(); }

void MainWindow::_SlotOnGUIUpdate() {
  RequestLock g(_pRequestLock);
  setWindowTitle(QString::fromLocal8Bit(_acTitle));
  for (int i = 0; i < 4; i++) _apStatus[i]->setText(QString::fromLocal8Bit(_aacStatus[i]));
}

void MainWindow::UpdateProjectInfo(const ProjectInfoRecord* pInfo) {
  {
    RequestLock g(_pRequestLock);
    _ProjInfo = *pInfo;
  }
  Q_EMIT _SignalUpdateProjectInfo();
}

// The rows of the open project: its name, the device with its core, and one group per bank.
void MainWindow::_SlotOnUpdateProjectInfo() {
  RequestLock g(_pRequestLock);
  const ProjectInfoRecord& r = _ProjInfo;
  _pProjTree->clear();
  _pProjTree->setEnabled(r.ProjectOpen);
  if (!r.ProjectOpen) return;
  auto Add = [](QTreeWidgetItem* pParent, const char* sSetting, const QString& Value) {
    return new QTreeWidgetItem(pParent, {QString(sSetting), Value});
  };
  QTreeWidgetItem* pRoot = _pProjTree->invisibleRootItem();
  Add(pRoot, "Project name", r.acProjectName[0] ? QString::fromLocal8Bit(r.acProjectName) : QString("---"));
  if (r.acDevice[0]) {
    Add(pRoot, "MCU", QString::fromLocal8Bit(r.acDevice));
    Add(pRoot, "Core", QString::fromLocal8Bit(r.acCoreName));
  } else {
    Add(pRoot, "CPU", QString::fromLocal8Bit(r.acCoreName));
  }
  for (int i = 0; i < r.NumBanks && i < APP_PROJINFO_MAX_BANKS; i++) {
    const ProjectInfoBank& b = r.aBank[i];
    QString Title = b.acName[0] ? QString::fromLocal8Bit(b.acName) : QString("Flash bank %1").arg(i);
    QTreeWidgetItem* pGroup = Add(pRoot, "", QString());
    pGroup->setText(0, Title);
    if (b.Disabled) {
      pGroup->setText(1, "(disabled)");
      pGroup->setDisabled(true);
    }
    char ac[64];
    if (b.IsInternal) Add(pGroup, "Type", QString("Internal bank %1").arg(i));
    UTIL_sprintf(ac, sizeof(ac), "0x%X", (unsigned)b.BaseAddr);
    Add(pGroup, "Base address", ac);
    if (b.Size) {
      APP_FormatSize(ac, sizeof(ac), (uint32_t)b.Size);
      Add(pGroup, "Flash size", ac);
    }
  }
  _pProjTree->expandAll();
  for (int i = 0; i < r.NumBanks && i < APP_PROJINFO_MAX_BANKS; i++) {
    if (QTreeWidgetItem* p = pRoot->child(pRoot->childCount() - r.NumBanks + i)) p->setExpanded(false);
  }
}

void MainWindow::UpdateMenuBar(const uint8_t abState[12]) {
  {
    RequestLock g(_pRequestLock);
    std::memcpy(_abMenuState, abState, sizeof(_abMenuState));
  }
  Q_EMIT _SignalUpdateMenuBar();
}

void MainWindow::_SlotOnMenuBarUpdate() {
  // The menu commands that depend on the state come with the menus of their subsystems.
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
    _PostJob(JOB_CHECK_FILE_MODIFICATIONS, "CheckForFileModifications", &pAll, sizeof(pAll));
    _PostJob(JOB_UPDATE_MENU_BAR, "UpdateMenuBar");
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
  _PostJob(JOB_CHECK_FILE_MODIFICATIONS, "CheckForFileModifications", &p, sizeof(p));
  _PostJob(JOB_UPDATE_MENU_BAR, "UpdateMenuBar");
}

void MainWindow::_SlotOnDataWindowClose(CHexEditor* pWin) {
  CHexEditor* p = pWin;
  _PostJob(JOB_DATA_WINDOW_CLOSE, "OnDataWindowClose", &p, sizeof(p));
  _PostJob(JOB_UPDATE_MENU_BAR, "UpdateMenuBar");
}

void MainWindow::_SlotOnDataWindowUpdate() { _PostJob(JOB_UPDATE_MENU_BAR, "UpdateMenuBar"); }

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
    QCoreApplication::processEvents();
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
