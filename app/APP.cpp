/*
 * APP - the start-up and shut-down jobs of the program and its version lines.
 *
 * They sit on top because they talk to the probe library and the voltage monitor directly;
 * everything else they do goes through the start-up stages that the subsystems filled in.
 */
#include "app/APP.h"

#include <cstring>

#include "core/APP_GUI.h"
#include "app/CMDLINE.h"
#include "core/APP_Log.h"
#include "probe/PROBE.h"
#include "sys/SYS.h"
#include "sys/UTIL.h"
#include "data/DATAJOBS.h"
#include "project/PROJECT.h"
#include "stamper/STAMPER.h"
#include "stamper/STAMPER_Files.h"
#include "target/PROD.h"
#include "target/PROG.h"
#include "target/TARGET.h"

namespace {

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
  const APP_STARTUP_HOOKS* pHooks = APP_GetStartupHooks();
  APP_INIT_PARAMS* pParams = static_cast<APP_INIT_PARAMS*>(pContext->pParams);
  APP_STARTUP* pStartup = pParams->pStartup;
  int argc = pStartup->argc;
  char** argv = pStartup->argv;
  pStartup->InitFailed = 0;
  bool SettingsFailed = pHooks->pfLoadGlobalSettings && pHooks->pfLoadGlobalSettings() < 0;
  APP_UpdateTitle();
  APP_SetLogFileOn(APP_IsLogEnabled());
  if (pHooks->pfLoadRecentLists) pHooks->pfLoadRecentLists();
  if (APP_GUI_REQUESTS* pGUI = APP_GetGUI()) pGUI->ReloadRecentMenus();
  if (argc > 1) {
    _ExecProbeCommand("SuppressEmuUSBDialog");
    if (std::strncmp(argv[1], "-DisHD", 6) == 0) _ExecProbeCommand(argv[1] + 1);
  }
  do {
    if (pHooks->pfRunCmdLine && pHooks->pfRunCmdLine(2, argc, argv) < 0) {
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
    const char* sXMLPath = pHooks->pfGetDevicesXMLPath ? pHooks->pfGetDevicesXMLPath() : "";
    if (sXMLPath && sXMLPath[0]) {
      char ac[600];
      UTIL_sprintf(ac, sizeof(ac), "XRelayDevicesXMLPath = %s", sXMLPath);
      _ExecProbeCommand(ac);
    }
    if ((pHooks->pfReadFlashDeviceList && pHooks->pfReadFlashDeviceList() < 0) ||
        (pHooks->pfReadMCUDeviceList && pHooks->pfReadMCUDeviceList() < 0)) {
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
    if (APP_CreateAppLock() < 0) APP_ErrorOut("Failed to create semaphore!");
    // The start-up project.
    if (argc > 1) {
      // With arguments no start-up dialog is shown. A project named on the command line is
      // opened by the action pass; otherwise the default project. (A devices-XML path names
      // an XML file, never a project: it is not handed on as one.)
      if (!APP_IsProjectGiven() && pHooks->pfOpenStartupProject) pHooks->pfOpenStartupProject("");
    } else {
      uint32_t Value = 0, Size = sizeof(Value), Type = 0;
      SYS_REG_KEY* pKey = SYS_REG_OpenKey(SYS_REG_ROOT_CURRENT_USER, APP_REG_KEY);
      if (SYS_REG_ReadValue(pKey, "DontShowAgainStartTForge", &Type, &Value, &Size) != 0 || Type != SYS_REG_DWORD) {
        Value = 0;
      }
      SYS_REG_CloseKey(pKey);
      if (Value == 1) {
        const char* sCurrent = pHooks->pfGetCurrentProject ? pHooks->pfGetCurrentProject() : "";
        if (pHooks->pfOpenStartupProject) pHooks->pfOpenStartupProject(sCurrent ? sCurrent : "");
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
    int r = pHooks->pfRunCmdLine ? pHooks->pfRunCmdLine(1, argc, argv) : 0;
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
  const APP_STARTUP_HOOKS* pHooks = APP_GetStartupHooks();
  APP_VMON_Stop();
  APP_DeleteAppLock();
  SYS_FreeLibraries();
  int r = 0;
  if (pHooks->pfCloseProject && (!pHooks->pfIsProjectOpen || pHooks->pfIsProjectOpen())) {
    r = pHooks->pfCloseProject(APP_IsAutoExit()) < 0 ? -1 : 0;
  }
  pContext->Result = r;
  APP_SetLogFileOn(false);
  if (r != 0) {
    // The program keeps running; the application lock is needed again.
    APP_CreateAppLock();
    return;
  }
  if (pHooks->pfFreeDeviceCache) pHooks->pfFreeDeviceCache();
}

// The connection the run uses: the command line's -usb / -ip over the project's settings.
void _GetConnection(int* pKind, uint32_t* pNumber, char* sHost, int HostSize) {
  CMDLINE_PROJECT_CONNECTION Project{*pKind, *pNumber, *pNumber, sHost};
  CMDLINE_CONNECTION Conn{};
  CMDLINE_GetConnection(&Conn, &Project);
  *pKind = Conn.Kind;
  *pNumber = Conn.Number;
  UTIL_strcpy(sHost, Conn.acHost, HostSize);
}

// The menu state is computed by its own job, behind whatever the worker does now.
void _PostUpdateMenuBar(void) { APP_CreateJob(JOB_UPDATE_MENU_BAR, "UpdateMenuBar", nullptr, 0, nullptr, nullptr); }

int _Connect(void) {
  if (TARGET_Connect() == 0) return 0;
  APP_SetExitCode(1);
  return -1;
}

int _Disconnect(void) {
  TARGET_Disconnect();
  return 0;
}

// The flash operations on the command line: a failure has been reported (and has set the exit
// code); a cancel is no failure.
int _Result(int r) { return r < 0 ? -1 : 0; }
int _EraseSectors(void) { return _Result(PROG_EraseSectors()); }
int _EraseChip(void) { return _Result(PROG_EraseChip()); }
int _CheckBlank(void) { return _Result(PROG_BlankCheck()); }
int _Program(bool Verify) {
  DataImage* p = DATAJOBS_GetCurImage();
  return _Result(Verify ? PROG_ProgramVerify(p) : PROG_Program(p));
}
int _Verify(void) { return _Result(PROG_Verify(DATAJOBS_GetCurImage())); }
int _ReadChip(void) { return PROG_ReadToWindow(1, 0, 0); }
int _ReadSectors(void) { return PROG_ReadToWindow(0, 0, 0); }
int _ReadRange(uint32_t First, uint32_t Last) { return PROG_ReadToWindow(2, First, Last); }
// Production: a board that is not right (a cancel included) ends the run with exit code 1.
int _AutoProgram(void) {
  if (PROD_AutoProgram(DATAJOBS_GetCurImage()) == 0) return 0;
  APP_SetExitCode(1);
  return -1;
}
int _SecureChip(void) { return _Result(PROD_SecureChip()); }
int _StartApp(void) {
  PROJECT_PRODUCTION Prod{};
  if (PROJECT_GetProduction(&Prod) != 0) return -1;
  return _Result(PROD_StartApplication((int)Prod.StartAppType));
}
int _AskReadRange(uint32_t* pFirst, uint32_t* pLast) {
  return CMDLINE_GetAddressRange("", CMDLINE_RANGE_READ, pFirst, pLast);
}

} // namespace

void APP_InstallTargetHooks(void) {
  static const TARGET_HOOKS Hooks = {_GetConnection, CMDLINE_GetIDCode, APP_VMON_Start, APP_VMON_SetLimits,
                                     _PostUpdateMenuBar};
  TARGET_SetHooks(&Hooks);
  TARGET_InstallJobs();
  APP_VMON_SetTarget(TARGET_IsConnected, TARGET_Disconnect);
  CMDLINE_OPERATIONS* pOps = CMDLINE_GetOperations();
  pOps->pfConnect = _Connect;
  pOps->pfDisconnect = _Disconnect;
  PROG_InstallJobs();
  PROG_SetReadRangeSource(_AskReadRange);
  pOps->pfEraseSectors = _EraseSectors;
  pOps->pfAreAllSectorsSelected = PROG_AreAllSectorsSelected;
  pOps->pfEraseChip = _EraseChip;
  pOps->pfProgram = _Program;
  pOps->pfVerify = _Verify;
  pOps->pfReadChip = _ReadChip;
  pOps->pfReadRange = _ReadRange;
  pOps->pfReadSectors = _ReadSectors;
  pOps->pfGetReadRangeProposal = PROG_GetReadRangeProposal;
  pOps->pfCheckBlank = _CheckBlank;
  PROD_InstallJobs();
  pOps->pfAutoProgram = _AutoProgram;
  pOps->pfSecureChip = _SecureChip;
  pOps->pfStartApp = _StartApp;
}

namespace {

// The command line names the files relative to the working directory.
int _SaveStamperConfig(const char* sPath) {
  char ac[CMDLINE_STRING_SIZE];
  CMDLINE_MakeAbsolute(ac, sizeof(ac), sPath);
  return STAMPER_SaveConfigFile(ac) == 0 ? 0 : -1;
}

int _SaveStamperData(const char* sPath) {
  char ac[CMDLINE_STRING_SIZE];
  CMDLINE_MakeAbsolute(ac, sizeof(ac), sPath);
  return STAMPER_SaveDataFile(ac) == 0 ? 0 : -1;
}

int _StamperConnect(void) { return TARGET_Connect() == 0 ? 0 : -1; }

} // namespace

void APP_InstallStamperHooks(void) {
  static const STAMPER_HOOKS Hooks = {PROG_CheckDataFits, _StamperConnect, TARGET_CheckStandAloneCore, TARGET_IsGangProgrammer,
                                      TARGET_SelectGangModule};
  STAMPER_SetHooks(&Hooks);
  STAMPER_InstallJobs();
  CMDLINE_OPERATIONS* pOps = CMDLINE_GetOperations();
  pOps->pfSaveStamperConfig = _SaveStamperConfig;
  pOps->pfSaveStamperData = _SaveStamperData;
  pOps->pfDownloadStamper = [] { return STAMPER_DownloadStamperFiles() == 0 ? 0 : -1; };
}

void APP_LogVersionLines(void) {
  // __DATE__ is "Mmm dd yyyy" with a blank-padded day.
  static const char acDate[] = __DATE__;
  char acMonth[4] = {acDate[0], acDate[1], acDate[2], 0};
  int Day = (acDate[4] == ' ' ? 0 : acDate[4] - '0') * 10 + (acDate[5] - '0');
  char acName[64], acLine[512];
  APP_GetShortProductName(acName, sizeof(acName));
  UTIL_sprintf(acLine, sizeof(acLine), "%s (%s compiled %s %d %s %s)", acName, APP_PRODUCT_NAME, acMonth, Day,
               acDate + 7, __TIME__);
  APP_LogOut(acLine);
  char acVersion[32];
  APP_FormatLibraryVersion(acVersion, sizeof(acVersion), XRELAYARM_GetDLLVersion());
  const char* sCompiled = XRELAYARM_GetCompileDateTime();
  UTIL_sprintf(acLine, sizeof(acLine), "%s %s (DLL compiled %s)", PROBE_LIBRARY_NAME, acVersion,
               sCompiled ? sCompiled : "");
  APP_LogOut(acLine);
}

void APP_InstallStartupJobs(void) {
  APP_SetJobHandler(JOB_INIT_APP, _InitApp);
  APP_SetJobHandler(JOB_EXIT_APP, _ExitApp);
}
