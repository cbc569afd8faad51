/*
 * APP - job table, process flags, start-up and shut-down jobs, title text.
 */
#include "core/APP.h"

#include <atomic>
#include <cstring>

#include "core/APP_GUI.h"
#include "core/APP_Log.h"
#include "probe/PROBE.h"
#include "sys/SYS.h"
#include "sys/UTIL.h"

namespace {

std::atomic<int> _ExitCode{0};
std::atomic<bool> _AutoExit{false};
std::atomic<bool> _CmdLineActive{false};
std::atomic<bool> _ProjectGiven{false};
std::atomic<bool> _StartModeSet{false};
std::atomic<int> _StartMode{1};
std::atomic<int> _ExitState{APP_EXIT_NONE};

SYS_MUTEX* _pAppLock;
APP_STARTUP_HOOKS _Hooks;
bool (*_pfTitleProject)(char* sPath, int PathSize, bool* pModified);

void _InitApp(JobContext* pContext);
void _ExitApp(JobContext* pContext);
void _SetAppStartAction(JobContext* pContext);
void _FileDrop(JobContext* pContext);

JobTableEntry _aJobTable[APP_NUM_JOBS] = {
    {_InitApp, "Initialize application"},
    {_ExitApp, "Exit application"},
    {nullptr, "Create project"},
    {nullptr, "Initialize project settings"},
    {nullptr, "Get project dialog information"},
    {nullptr, "Update project dialog information"},
    {nullptr, "Open data file"},
    {nullptr, "Merge data file"},
    {nullptr, "Open project file"},
    {nullptr, "Collect flash bank information"},
    {nullptr, "Get flash bank range summary"},
    {nullptr, "Select flash device"},
    {nullptr, "Verify JTAG scan chain"},
    {nullptr, "Detect JTAG scan chain"},
    {nullptr, "Get MCU device list"},
    {nullptr, "Get Flash device list"},
    {nullptr, "Save project settings"},
    {nullptr, "Get global settings"},
    {nullptr, "Set global settings"},
    {nullptr, "Update project settings"},
    {nullptr, "Update menu bar"},
    {nullptr, "Check data file for modifications"},
    {nullptr, "Save data file"},
    {nullptr, "Save project file"},
    {nullptr, "Close project"},
    {nullptr, "Save stamper config file"},
    {nullptr, "Save stamper data file"},
    {nullptr, "Download stamper files"},
    {nullptr, "Download stamper SN data"},
    {nullptr, "Connect to target"},
    {nullptr, "Disconnect from target"},
    {nullptr, "Generate test data"},
    {nullptr, "Execute production programming"},
    {nullptr, "Relocate data"},
    {nullptr, "Delete data range"},
    {nullptr, "Eliminate blank data"},
    {nullptr, "Show CFI info"},
    {nullptr, "Test speed"},
    {nullptr, "Set RS232 signal"},
    {nullptr, "Secure chip"},
    {nullptr, "Check blank"},
    {nullptr, "Erase flash"},
    {nullptr, "Program flash"},
    {nullptr, "Verify flash"},
    {nullptr, "Read flash"},
    {nullptr, "Start target application"},
    {nullptr, ""},
    {nullptr, ""},
    {nullptr, ""},
    {nullptr, ""},
    {_SetAppStartAction, "Set AppStart action"},
    {nullptr, "Execute Stamper file action"},
    {nullptr, "Data window close handling"},
    {nullptr, "Get flash bank loader information"},
    {_FileDrop, "Begin/ end file drop"},
    {nullptr, nullptr},
};

void _ExecProbeCommand(const char* sCommand) {
  char acError[256] = "";
  XRELAYARM_ExecCommand(sCommand, acError, sizeof(acError));
}

// Installed as the probe library's error-output handler.
void _ProbeErrorOut(const char* sText) { APP_ErrorOut(sText); }

/*
 * "Initialize application": settings, log file, recent lists, the command line's settings
 * pass, version lines, device lists, start-up project and the action pass.
 */
void _InitApp(JobContext* pContext) {
  APP_INIT_PARAMS* pParams = static_cast<APP_INIT_PARAMS*>(pContext->pParams);
  APP_STARTUP* pStartup = pParams->pStartup;
  int argc = pStartup->argc;
  char** argv = pStartup->argv;
  pStartup->InitFailed = 0;
  bool SettingsFailed = _Hooks.pfLoadGlobalSettings && _Hooks.pfLoadGlobalSettings() < 0;
  APP_UpdateTitle();
  APP_SetLogFileOn(APP_IsLogEnabled());
  if (_Hooks.pfLoadRecentLists) _Hooks.pfLoadRecentLists();
  if (APP_GUI_REQUESTS* pGUI = APP_GetGUI()) pGUI->ReloadRecentMenus();
  if (argc > 1) {
    _ExecProbeCommand("SuppressEmuUSBDialog");
    if (std::strncmp(argv[1], "-DisHD", 6) == 0) _ExecProbeCommand(argv[1] + 1);
  }
  do {
    if (_Hooks.pfRunCmdLine && _Hooks.pfRunCmdLine(2, argc, argv) < 0) {
      pStartup->InitFailed = 1;
      break;
    }
    APP_LogBegin("Application log started");
    APP_LogVersionLines();
    APP_LogEnd(nullptr);
    if (argc > 1) {
      APP_LogBegin("Optional command line parameters found");
      for (int i = 1; i < argc; i++) APP_LogOutf("[%d]: %s", i, argv[i]);
      APP_LogEnd(nullptr);
    }
    const char* sXMLPath = _Hooks.pfGetDevicesXMLPath ? _Hooks.pfGetDevicesXMLPath() : "";
    if (sXMLPath && sXMLPath[0]) {
      char ac[600];
      UTIL_sprintf(ac, sizeof(ac), "XRelayDevicesXMLPath = %s", sXMLPath);
      _ExecProbeCommand(ac);
    }
    if ((_Hooks.pfReadFlashDeviceList && _Hooks.pfReadFlashDeviceList() < 0) ||
        (_Hooks.pfReadMCUDeviceList && _Hooks.pfReadMCUDeviceList() < 0)) {
      // The program ends without having run any option: a script must not take that for success.
      APP_SetExitCode(1);
      pStartup->InitFailed = 1;
      break;
    }
    if (!APP_IsStartModeSet()) {
      if (APP_GUI_REQUESTS* pGUI = APP_GetGUI()) pGUI->SetStartMode(pStartup->ShowCmd);
    }
    _ExecProbeCommand("SetOnlyFreeMCUDBOnDLLUnload = 1");
    XRELAYARM_SetErrorOutHandler(_ProbeErrorOut);
    if (_pAppLock == nullptr) _pAppLock = SYS_MUTEX_Create(nullptr);
    if (_pAppLock == nullptr) APP_ErrorOut("Failed to create semaphore!");
    // The start-up project.
    if (argc > 1) {
      // With arguments no start-up dialog is shown. A project named on the command line is
      // opened by the action pass; otherwise the default project. (A devices-XML path names
      // an XML file, never a project: it is not handed on as one.)
      if (!APP_IsProjectGiven() && _Hooks.pfOpenStartupProject) _Hooks.pfOpenStartupProject("");
    } else {
      uint32_t Value = 0, Size = sizeof(Value), Type = 0;
      SYS_REG_KEY* pKey = SYS_REG_OpenKey(SYS_REG_ROOT_CURRENT_USER, APP_REG_KEY);
      if (SYS_REG_ReadValue(pKey, "DontShowAgainStartTForge", &Type, &Value, &Size) != 0 || Type != SYS_REG_DWORD) {
        Value = 0;
      }
      SYS_REG_CloseKey(pKey);
      if (Value == 1) {
        const char* sCurrent = _Hooks.pfGetCurrentProject ? _Hooks.pfGetCurrentProject() : "";
        if (_Hooks.pfOpenStartupProject) _Hooks.pfOpenStartupProject(sCurrent ? sCurrent : "");
      } else if (Value == 2) {
        pStartup->ShowNewProjectDialog = 1;
      } else {
        pStartup->ShowWelcomeDialog = 1;
      }
    }
    if (SettingsFailed) {
      char ac[128];
      UTIL_sprintf(ac, sizeof(ac), "Failed to initialize %s", APP_PRODUCT_NAME);
      APP_ErrorBox(ac);
      // A batch run that carried out none of its options must neither report success nor
      // wait for a person: it ends here with exit code 1.
      if (argc > 1 || APP_IsAutoExit()) APP_SetExitCode(1);
      if (APP_IsAutoExit()) pStartup->InitFailed = 1;
      break;
    }
    int r = _Hooks.pfRunCmdLine ? _Hooks.pfRunCmdLine(1, argc, argv) : 0;
    if (r < 0 && !APP_IsAutoExit()) break;
    if (r < 0) pStartup->InitFailed = 1;
    if (APP_IsAutoExit()) {
      if (APP_GUI_REQUESTS* pGUI = APP_GetGUI()) pGUI->CloseMainWindow();
    }
  } while (0);
  if (pParams->pfCallback) pParams->pfCallback(pContext->pRequester);
}

/*
 * "Exit application": stops the voltage monitor, closes the project and switches the log
 * file off. The result tells the close handling whether the program may end.
 */
void _ExitApp(JobContext* pContext) {
  APP_VMON_Stop();
  SYS_MUTEX_Delete(&_pAppLock);
  SYS_FreeLibraries();
  int r = 0;
  if (_Hooks.pfCloseProject && (!_Hooks.pfIsProjectOpen || _Hooks.pfIsProjectOpen())) {
    r = _Hooks.pfCloseProject(APP_IsAutoExit()) < 0 ? -1 : 0;
  }
  pContext->Result = r;
  APP_SetLogFileOn(false);
  if (r != 0) {
    // The program keeps running; the application lock is needed again.
    _pAppLock = SYS_MUTEX_Create(nullptr);
    return;
  }
  if (_Hooks.pfFreeDeviceCache) _Hooks.pfFreeDeviceCache();
}

void _SetAppStartAction(JobContext* pContext) {
  uint32_t Value = 0;
  if (pContext->pParams) std::memcpy(&Value, pContext->pParams, sizeof(Value));
  SYS_REG_KEY* pKey = SYS_REG_CreateKey(SYS_REG_ROOT_CURRENT_USER, APP_REG_KEY);
  SYS_REG_WriteValue(pKey, "DontShowAgainStartTForge", SYS_REG_DWORD, &Value, sizeof(Value));
  SYS_REG_CloseKey(pKey);
}

void _FileDrop(JobContext* pContext) {
  uint8_t End = pContext->pParams ? *static_cast<uint8_t*>(pContext->pParams) : 1;
  if (APP_GUI_REQUESTS* pGUI = APP_GetGUI()) pGUI->EnableDataWindowCheck(End != 0);
}

} // namespace

const JobTableEntry* APP_GetJobTable(void) { return _aJobTable; }

void APP_SetJobHandler(uint32_t JobId, JOB_FUNC* pfHandler) {
  if (JobId < APP_NUM_JOBS - 1) _aJobTable[JobId].pfHandler = pfHandler;
}

int APP_GetExitCode(void) { return _ExitCode; }
void APP_SetExitCode(int Code) { _ExitCode = Code ? 1 : 0; }
bool APP_IsAutoExit(void) { return _AutoExit; }
void APP_SetAutoExit(bool On) { _AutoExit = On; }
bool APP_IsCmdLineActive(void) { return _CmdLineActive; }
void APP_SetCmdLineActive(bool On) { _CmdLineActive = On; }
bool APP_IsProjectGiven(void) { return _ProjectGiven; }
void APP_SetProjectGiven(bool On) { _ProjectGiven = On; }
bool APP_IsStartModeSet(void) { return _StartModeSet; }
void APP_SetStartModeSet(bool On) { _StartModeSet = On; }
int APP_GetStartMode(void) { return _StartMode; }
void APP_SetStartMode(int Mode) { _StartMode = Mode; }
int APP_GetExitState(void) { return _ExitState; }
void APP_SetExitState(int State) { _ExitState = State; }

APP_STARTUP_HOOKS* APP_GetStartupHooks(void) { return &_Hooks; }
SYS_MUTEX* APP_GetAppLock(void) { return _pAppLock; }

void APP_SetTitleSource(bool (*pfGetProject)(char* sPath, int PathSize, bool* pModified)) {
  _pfTitleProject = pfGetProject;
}

void APP_GetTitleText(char* sDest, int DestSize) {
  APP_GetFullProductName(sDest, DestSize);
  char acPath[512];
  bool Modified = false;
  if (_pfTitleProject && _pfTitleProject(acPath, sizeof(acPath), &Modified)) {
    UTIL_strcat(sDest, " - [", DestSize);
    UTIL_strcat(sDest, acPath[0] ? acPath : "new project", DestSize);
    if (Modified) UTIL_strcat(sDest, " *", DestSize);
    UTIL_strcat(sDest, "]", DestSize);
  }
}

void APP_WaitForQtThreadsToEnd(void) { SYS_THREAD_WaitForNamedToEnd("Thread (pooled)", 2000); }

void APP_UpdateTitle(void) {
  char ac[640];
  APP_GetTitleText(ac, sizeof(ac));
  if (APP_GUI_REQUESTS* pGUI = APP_GetGUI()) pGUI->SetTitleText(ac);
}
