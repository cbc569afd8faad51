/*
 * APP - job table, process flags, start-up hooks, application lock, title text.
 */
#include "core/APP.h"

#include <atomic>
#include <cstring>

#include "core/APP_GUI.h"
#include "core/APP_Log.h"
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

void _SetAppStartAction(JobContext* pContext);
void _FileDrop(JobContext* pContext);

JobTableEntry _aJobTable[APP_NUM_JOBS] = {
    {nullptr, "Initialize application"}, // installed by the program (app/)
    {nullptr, "Exit application"},
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

int APP_CreateAppLock(void) {
  if (_pAppLock == nullptr) _pAppLock = SYS_MUTEX_Create(nullptr);
  return _pAppLock ? 0 : -1;
}
void APP_DeleteAppLock(void) { SYS_MUTEX_Delete(&_pAppLock); }

void APP_SetTitleSource(bool (*pfGetProject)(char* sPath, int PathSize, bool* pModified)) {
  _pfTitleProject = pfGetProject;
}

namespace {
// The title text; true when a project is open.
bool _BuildTitle(char* sDest, int DestSize) {
  APP_GetFullProductName(sDest, DestSize);
  char acPath[512];
  bool Modified = false;
  if (_pfTitleProject == nullptr || !_pfTitleProject(acPath, sizeof(acPath), &Modified)) return false;
  UTIL_strcat(sDest, " - [", DestSize);
  UTIL_strcat(sDest, acPath[0] ? acPath : "new project", DestSize);
  if (Modified) UTIL_strcat(sDest, " *", DestSize);
  UTIL_strcat(sDest, "]", DestSize);
  return true;
}
} // namespace

void APP_GetTitleText(char* sDest, int DestSize) { _BuildTitle(sDest, DestSize); }

void APP_WaitForQtThreadsToEnd(void) { SYS_THREAD_WaitForNamedToEnd("Thread (pooled)", 2000); }

void APP_UpdateTitle(void) {
  char ac[640];
  // Without a project there is nothing to stay connected to.
  if (!_BuildTitle(ac, sizeof(ac))) APP_DisconnectTarget();
  if (APP_GUI_REQUESTS* pGUI = APP_GetGUI()) pGUI->SetTitleText(ac);
}
