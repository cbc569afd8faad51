/*
 * APP_GUI - the requests through which code on the worker thread reaches the GUI.
 *
 * The worker never touches a widget: it asks the main window, which implements this
 * interface with queued signals (and, for the synchronous requests, waits on an event until
 * the GUI thread has answered). Tests install a fake of their own. Without any GUI the
 * requests fall back to standard output and the default answers.
 */
#pragma once

#include <cstdint>

class CHexEditor;
struct DataImage;
struct SYS_MUTEX;

// State of a progress dialog: owned by the GUI thread, set from the worker under its lock.
// After each change the setter calls pfNotify, which asks the dialog to refresh itself.
struct ProgressDialogState {
  SYS_MUTEX* pLock;
  char acText1[256];
  char acText2[256];
  int Value;
  int Min;
  int Max;
  bool Done;
  bool Cancelled;
  void (*pfNotify)(void* pUser);
  void* pNotifyUser;
};

// The record behind every message box.
struct MsgBoxRequest {
  const char* sTitle;
  const char* sText;
  const char* sButton0;
  const char* sButton1;
  const char* sCheckBoxText;
  int CheckState;
  int DefaultResult;
  int Icon;
  int TimeoutMs;
  int CheckResult; // out
  int Result;      // out: 0 button 0, 1 button 1, else the default result
  bool Rejected;   // out: dismissed with Escape
};

// One value of the value dialog.
struct EditValueField {
  int64_t Min;
  int64_t Max;
  int64_t* pValue;
  const char* sLabel;
  uint8_t IsHex;
};

// What the project information tree shows, refreshed on the worker whenever the project, the
// connection or the device changes.
enum { APP_PROJINFO_MAX_BANKS = 16 };
struct ProjectInfoBank {
  char acName[32];
  uint32_t BaseAddr;
  uint64_t Size; // bytes, 0 unknown
  uint8_t IsInternal;
  uint8_t Disabled;
  uint8_t HasLayout;  // fixed sector layout; else the size is the most the bank can be
  uint8_t AutoDetect; // external flash found by its CFI information
  uint8_t CheckId;
  uint8_t OrgNumBits;
  uint8_t OrgNumChips;
  uint32_t FlashId;       // of the external device, in the width of the organisation
  char acLoaderName[256]; // internal banks
  char acDeviceName[64];  // external banks: the flash device
  int32_t NumSectors;     // -1 unknown
  int32_t NumSelected;
};
struct ProjectInfoRecord {
  bool ProjectOpen;
  char acProjectName[256]; // the project file's name without directory and extension
  char acDevice[256];      // the device's display name; empty when the database does not know it
  char acCoreName[64];     // as the probe library names the core
  int NumBanks;
  ProjectInfoBank aBank[APP_PROJINFO_MAX_BANKS];
  // Host connection: 0 USB by device number, 1 USB by serial number, 2 TCP/IP.
  uint32_t ConnectMode;
  uint32_t USBPort;
  uint32_t USBSerialNo;
  char acHostName[128];
  uint8_t UseATEModuleSelection;
  uint8_t aATEModuleSel[24];
  // Target interface
  uint32_t TargetIF;
  uint8_t UseAdaptive0, UseAdaptive1, UseMaxSpeed0, UseMaxSpeed1;
  uint32_t Speed0, Speed1; // kHz
  uint8_t MultipleTargets;
  uint32_t TAP_Number;
  uint32_t IRLen;
  // Target
  uint8_t HasClockSpeed; // the device's built-in algorithms need the CPU clock
  uint8_t EndianMode;    // 1 big
  uint8_t UseAutoSpeed;
  uint8_t CheckCoreID;
  uint32_t ClockSpeed; // Hz
  uint32_t CoreID;
  uint32_t RAMAddr;
  uint32_t RAMSize;
};

enum { APP_STATUS_GENERAL = 0, APP_STATUS_CONNECTION = 1, APP_STATUS_COREID = 2, APP_STATUS_SPEED = 3 };

class APP_GUI_REQUESTS {
public:
  virtual ~APP_GUI_REQUESTS() = default;
  // Asynchronous requests
  virtual void SetStartMode(int Mode) = 0; // 0 hide, 1 show, 2 minimised, 3 maximised
  virtual void SetStatusField(int Index, const char* sText) = 0;
  virtual void SetTitleText(const char* sText) = 0;
  virtual void ReloadRecentMenus() = 0;
  virtual void UpdateMenuBar(const uint8_t abState[12]) = 0;
  virtual void UpdateProjectInfo(const ProjectInfoRecord* pInfo) = 0; // the GUI keeps a copy
  virtual void EnableGUI(bool On) = 0;
  virtual void EnableDataWindowCheck(bool On) = 0;
  virtual void CloseDataWindow(CHexEditor* pWin) = 0;
  virtual void CloseMainWindow() = 0;
  virtual void StartupFinished() = 0;
  // Appends a log line (any thread) to the log view.
  virtual void AppendLog(const char* sLine) = 0;
  // Gives the log view a routine that also receives every completed line, or removes it.
  virtual void SetLogWriter(void (*pfWrite)(const char* sLine, int Len)) = 0;
  // Synchronous requests: the worker waits until the GUI thread has answered.
  virtual CHexEditor* CreateDataWindow(DataImage* pImage, const char* sTitle) = 0;
  virtual void UpdateDataWindow(CHexEditor* pWin, DataImage* pImage) = 0;
  virtual CHexEditor* GetCurDataWindow() = 0;
  virtual ProgressDialogState* CreateProgressDlg(const char* sTitle, const char* sText, int Flags) = 0;
  virtual void DeleteProgressDlg(ProgressDialogState** pp) = 0;
  virtual int ShowEditValueDialog(const char* sTitle, EditValueField* paField, int NumFields) = 0;
  virtual int ShowFileDialogOpen(char* sPath, int PathSize, const char* sTitle, const char* sFilter,
                                 const char* sSelectedFilter) = 0;
  virtual int ShowFileDialogSave(char* sPath, int PathSize, const char* sTitle, const char* sFilter,
                                 const char* sSelectedFilter) = 0;
  virtual void ShowMsgBox(MsgBoxRequest* pReq) = 0;
};

void APP_SetGUI(APP_GUI_REQUESTS* pGUI);
APP_GUI_REQUESTS* APP_GetGUI(void);
// True when nobody can use a window: the offscreen platform runs.
bool APP_IsHeadless(void);
void APP_SetHeadless(bool On);
