/*
 * MainWindow - the program's only top-level window, and the GUI end of the worker's requests.
 *
 * Construction builds the docks, the log view and the status bar, registers the job table and
 * posts "Initialize application". Every request of the worker is a queued signal connected
 * to one slot here; a synchronous request waits on an event that the slot sets once it has
 * done the work (a modal dialog included). Closing the window runs the close handling, the
 * only way the program ends.
 */
#pragma once

#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <mutex>
#include <vector>

#include "core/APP.h"
#include "core/APP_GUI.h"
#include "sys/SYS.h"

class CustTextView;
class DataWindowArea;
class QAction;
class QDockWidget;
class QLabel;
class QMenu;
class QTreeWidget;
class QTreeWidgetItem;

class MainWindow : public QMainWindow, public APP_GUI_REQUESTS {
  Q_OBJECT
public:
  MainWindow(int argc, char** argv, int ShowCmd);
  ~MainWindow() override;

  CustTextView* GetLogView() const { return _pLogView; }
  DataWindowArea* GetDataWindowArea() const { return _pDataArea; }
  QString GetStatusText(int Index) const;
  const uint8_t* GetMenuState() const { return _abMenuState; }
  // The command or sub-menu with this text ("&Target/&Manual Programming/&Program"), or null.
  QAction* FindAction(const QString& sPath) const;
  QMenu* FindMenu(const QString& sPath) const;

  // APP_GUI_REQUESTS
  void SetStartMode(int Mode) override;
  void SetStatusField(int Index, const char* sText) override;
  void SetTitleText(const char* sText) override;
  void ReloadRecentMenus() override;
  void UpdateMenuBar(const uint8_t abState[12]) override;
  void UpdateProjectInfo(const ProjectInfoRecord* pInfo) override;
  void EnableGUI(bool On) override;
  void EnableDataWindowCheck(bool On) override;
  void CloseDataWindow(CHexEditor* pWin) override;
  void CloseMainWindow() override;
  void StartupFinished() override;
  void AppendLog(const char* sLine) override;
  void SetLogWriter(void (*pfWrite)(const char* sLine, int Len)) override;
  CHexEditor* CreateDataWindow(DataImage* pImage, const char* sTitle) override;
  void UpdateDataWindow(CHexEditor* pWin, DataImage* pImage) override;
  CHexEditor* GetCurDataWindow() override;
  ProgressDialogState* CreateProgressDlg(const char* sTitle, const char* sText, int Flags) override;
  void DeleteProgressDlg(ProgressDialogState** pp) override;
  int ShowEditValueDialog(const char* sTitle, EditValueField* paField, int NumFields) override;
  int ShowFileDialogOpen(char* sPath, int PathSize, const char* sTitle, const char* sFilter,
                         const char* sSelectedFilter) override;
  int ShowFileDialogSave(char* sPath, int PathSize, const char* sTitle, const char* sFilter,
                         const char* sSelectedFilter) override;
  void ShowMsgBox(MsgBoxRequest* pReq) override;

Q_SIGNALS:
  void _SignalUpdateVisibility();
  void _SignalCreateDataWindow();
  void _SignalCloseDataWindow(CHexEditor* pWin);
  void _SignalCreateProgressDlg();
  void _SignalDeleteProgressDlg();
  void _SignalGetCurDataWindow();
  void _SignalShowEditValDialog();
  void _SignalShowFileDialogOpen();
  void _SignalShowFileDialogSave();
  void _SignalShowCustMsgBox();
  void _SignalUpdateGUI();
  void _SignalUpdateProjectInfo();
  void _SignalUpdateMenuBar();
  void _SignalUpdateDataWindow();
  void _SignalEnableGUI(bool On);
  void _SignalEnableDataWindowCheck(bool On);
  void _SignalClose();
  void _SignalFinAsyncAppInit();

public Q_SLOTS:
  void _SlotOnVisibilityUpdate();
  void _SlotOnCreateDataWindow();
  void _SlotOnCloseDataWindow(CHexEditor* pWin);
  void _SlotOnCreateProgressDlg();
  void _SlotOnDeleteProgressDlg();
  void _SlotOnGetCurDataWindow();
  void _SlotOnShowEditValDialog();
  void _SlotOnShowFileDialogOpen();
  void _SlotOnShowFileDialogSave();
  void _SlotOnShowCustMsgBox();
  void _SlotOnGUIUpdate();
  void _SlotOnUpdateProjectInfo();
  void _SlotOnMenuBarUpdate();
  void _SlotOnUpdateDataWindow();
  void _SlotOnEnableGUI(bool On);
  void _SlotOnEnableDataWindowCheck(bool On);
  void _SlotOnClose();
  void _SlotOnFinAsyncAppInit();
  void _SlotOnDataWindowInFocus(CHexEditor* pWin);
  void _SlotOnDataWindowClose(CHexEditor* pWin);
  void _SlotOnDataWindowUpdate();
  void _SlotOnMenuHide();
  void _SlotOnItemExpansionCollapse(QTreeWidgetItem* pItem);
  void _SlotOnItemDblClick(QTreeWidgetItem* pItem, int Column);
  void _SlotOnActMRUDataFile(QString sPath);
  void _SlotOnActMRUProjFile(QString sPath);
  // The commands with more to do than posting one job.
  void _SlotOnActSaveDataFile();
  void _SlotOnActSaveDataFileAs();
  void _SlotOnActShowFilesOnStamper();
  void _SlotOnActNewProj();
  void _SlotOnActProdProg();
  void _SlotOnActProgram();
  void _SlotOnActProgramNVerify();
  void _SlotOnActVerify();
  void _SlotOnActProjSettings();
  void _SlotOnActGlobalSettings();
  void _SlotOnActUserGuide();
  void _SlotOnActAbout();
  void _SlotOnActExit();
  void _SlotOnActShowProjInfo();
  void _SlotOnActShowLog();

protected:
  void closeEvent(QCloseEvent* pEvent) override;
  void changeEvent(QEvent* pEvent) override;
  bool event(QEvent* pEvent) override;
  void dragEnterEvent(QDragEnterEvent* pEvent) override;
  void dragMoveEvent(QDragMoveEvent* pEvent) override;
  void dropEvent(QDropEvent* pEvent) override;

private:
  struct SyncRequest;
  // Runs a synchronous request: directly on the GUI thread, else through the signal and a wait.
  void _RunSync(SyncRequest* pReq, void (MainWindow::*pfSignal)(), void (MainWindow::*pfSlot)());
  SyncRequest* _TakeRequest();
  void _Finish(SyncRequest* pReq);
  static void _StartupCallback(void* pRequester);
  void _PostJob(uint32_t JobId, const char* sTag, const void* pParams = nullptr, uint32_t NumBytes = 0);
  void _PostCommand(uint32_t JobId, const char* sTag, const void* pParams = nullptr, uint32_t NumBytes = 0);
  int _ShowFileDialog(SyncRequest* r, bool Save);
  int _RequestFileDialog(bool Save, char* sPath, int PathSize, const char* sTitle, const char* sFilter,
                         const char* sSelectedFilter);
  void _AnswerFileDialog(bool Save);
  void _BuildMenus();
  void _RebuildRecentMenu(int List);
  void _PostImageJob(uint32_t JobId, const char* sTag, int Verify);
  void _ShowBox(const char* sTitle, const char* sText);
  void _FitProjTree();

  uint64_t _GUIThreadId;
  SYS_MUTEX* _pRequestLock;
  std::mutex _SyncSerial; // one synchronous request at a time from the other threads
  SyncRequest* _pRequest = nullptr; // stored by the worker
  SyncRequest* _pDirect = nullptr;  // asked on the GUI thread itself
  char _acTitle[640];
  char _aacStatus[4][2048];
  uint8_t _abMenuState[12] = {0};
  QStringList _aRecent[2]; // data files, projects: as the worker last read them
  bool _HoverTip = false;  // status field 0 shows a command's tip
  struct RuledAction {
    QAction* pAction;
    int Rule; // MENUSTATE_RULE
  };
  std::vector<RuledAction> _aRuled;
  std::vector<std::pair<QString, QMenu*>> _aMenu; // by path
  QMenu* _apRecentMenu[2] = {nullptr, nullptr};
  ProjectInfoRecord _ProjInfo{}; // the copy behind the project tree
  int _StartMode = 1;
  bool _DataWindowCheck = true;
  APP_STARTUP _Startup;
  CustTextView* _pLogView;
  DataWindowArea* _pDataArea;
  QTreeWidget* _pProjTree;
  QDockWidget* _pProjDock;
  QDockWidget* _pLogDock;
  QLabel* _apStatus[4];
};
