/*
 * PROJJOBS - the project jobs, the start-up project and the project's data file.
 */
#include "project/PROJJOBS.h"

#include <cstring>
#include <memory>

#include "core/APP.h"
#include "core/APP_Job.h"
#include "core/APP_Log.h"
#include "data/DATAFILE.h"
#include "data/DATAJOBS.h"
#include "project/SETFILE.h"
#include "project/SETTINGS.h"
#include "project/TESTDATA.h"
#include "sys/SYS.h"
#include "sys/UTIL.h"

namespace {

PROJJOBS_CMDLINE_HOOKS _CmdLine;

bool _IsDataFileGiven() { return _CmdLine.pfIsDataFileGiven && _CmdLine.pfIsDataFileGiven(); }
bool _IsAutoUpdateProject() { return _CmdLine.pfIsAutoUpdateProject && _CmdLine.pfIsAutoUpdateProject(); }

#define PROJJOBS_FILTER "T-Forge project files (*.tforge)"
#define PROJJOBS_OPEN_FILTER "All files (*.*);;" PROJJOBS_FILTER

// Asks for a project file; 0 with the chosen path, -1 when nobody chose one.
int _AskPath(bool Save, char* sPath, int PathSize) {
  APP_GUI_REQUESTS* pGUI = APP_GetGUI();
  if (pGUI == nullptr || APP_IsCmdLineActive()) {
    // Nobody can choose a file: a script that names none learns why nothing happened.
    APP_ErrorBox(Save ? "Unable to save project file. No filename specified."
                      : "Unable to open project file. No filename specified.");
    return -1;
  }
  if (Save && PROJECT_HasFileName()) {
    PROJECT_GetPath(sPath, PathSize);
  } else {
    SETTINGS_GetProjectFilesDir(sPath, PathSize);
  }
  int r =
      Save ? pGUI->ShowFileDialogSave(sPath, PathSize, "Save project as", PROJJOBS_FILTER, PROJJOBS_FILTER)
           : pGUI->ShowFileDialogOpen(sPath, PathSize, "Open project", PROJJOBS_OPEN_FILTER, PROJJOBS_FILTER);
  if (r != 0 || sPath[0] == 0) return -1;
  SETTINGS_SetProjectFilesDir(sPath);
  return 0;
}

// The path given, or the one the file dialog asks for, in native form: 0, or -1 without one.
int _GetPath(bool Save, const char* sPathIn, char* sPath, int PathSize) {
  if (sPathIn && sPathIn[0]) {
    UTIL_strcpy(sPath, sPathIn, PathSize);
  } else if (_AskPath(Save, sPath, PathSize) < 0) {
    return -1;
  }
  SYS_PATH_ToNative(sPath);
  return 0;
}

void _BeginLog(const char* sVerb, const char* sPath) {
  char ac[700];
  if (sPath && sPath[0]) {
    UTIL_sprintf(ac, sizeof(ac), "%s project file [%s] ...", sVerb, sPath);
  } else {
    UTIL_sprintf(ac, sizeof(ac), "%s project ...", sVerb);
  }
  APP_LogBegin(ac);
}

int _Fail(const char* sText) {
  APP_ErrorOut(sText);
  APP_LogEnd(nullptr);
  return -1;
}

// Saves under sPath (the project's own path when null). 0, -1, or -2 for a read-only file.
int _WriteAndSave(const char* sPath) {
  char acPath[PROJECT_PATH_SIZE];
  if (sPath) {
    UTIL_strcpy(acPath, sPath, sizeof(acPath));
  } else {
    PROJECT_GetPath(acPath, sizeof(acPath));
  }
  PROJECT_Write();
  _BeginLog("Saving", acPath);
  int r = SETFILE_Save(sPath);
  if (r < 0) {
    _Fail("Failed to save project file");
    return r;
  }
  APP_LogEnd("Project saved successfully");
  return 0;
}

int _SaveAs(const char* sPathIn) {
  char acPath[PROJECT_PATH_SIZE] = "";
  if (_GetPath(true, sPathIn, acPath, sizeof(acPath)) < 0) return -1;
  // The data file stays where it is: its link is taken relative to the new directory.
  char acOldPath[PROJECT_PATH_SIZE], acData[PROJECT_PATH_SIZE];
  bool HadName = PROJECT_HasFileName();
  PROJECT_GetPath(acOldPath, sizeof(acOldPath));
  auto pGeneral = std::make_unique<PROJECT_GENERAL>();
  PROJECT_GetGeneral(pGeneral.get());
  uint32_t StartAddr = 0;
  PROJECT_GetDataFile(acData, sizeof(acData), &StartAddr);
  int ModCount = PROJECT_GetModCount();
  PROJECT_SetPath(acPath);
  if (acData[0]) PROJECT_SetDataFile(acData, StartAddr);
  if (_WriteAndSave(acPath) < 0) {
    PROJECT_SetPath(HadName ? acOldPath : "");
    PROJECT_SetGeneral(pGeneral.get());
    if (ModCount == 0) PROJECT_SetUnmodified();
    return -1;
  }
  PROJECT_SetUnmodified();
  SETTINGS_SetCurrentProject(acPath);
  return 0;
}

void _UpdateTitle(void) {
  APP_UpdateTitle();
}

bool _TitleSource(char* sPath, int PathSize, bool* pModified) {
  if (!PROJECT_IsOpen()) return false;
  if (PROJECT_HasFileName()) {
    PROJECT_GetPath(sPath, PathSize);
  } else {
    sPath[0] = 0;
  }
  *pModified = PROJECT_IsModified();
  return true;
}

/*********************************************************************
 * Hooks of the other subsystems
 */
int _CloseForExit(bool Discard) {
  return PROJJOBS_Close(Discard);
}

uint32_t _GetDataFileSAddr(void) {
  char ac[PROJECT_PATH_SIZE];
  uint32_t Addr = 0;
  PROJECT_GetDataFile(ac, sizeof(ac), &Addr);
  return Addr;
}
uint32_t _GetCurBankBase(void) {
  int Bank = PROJECT_GetCurBank();
  return PROJECT_GetBankBaseAddr(Bank < 0 ? 0 : Bank);
}
void _SetDataFile(const char* sPath, uint32_t StartAddr) {
  PROJECT_SetDataFile(sPath, StartAddr);
}
void _OpenProjectFromDataJob(const char* sPath) {
  PROJJOBS_Open(sPath, !_IsDataFileGiven());
}

} // namespace

/*********************************************************************
 * Job-level operations
 */
int PROJJOBS_Open(const char* sPathIn, bool OpenDataFile) {
  if (PROJECT_IsOpen() && PROJJOBS_Close(false) < 0) return -1;
  char acPath[PROJECT_PATH_SIZE] = "";
  if (_GetPath(false, sPathIn, acPath, sizeof(acPath)) < 0) return -1;
  _BeginLog("Opening", acPath);
  if (SETFILE_Open(acPath) < 0 || PROJECT_Load(_IsAutoUpdateProject()) < 0) {
    SETFILE_Close();
    PROJECT_Close();
    return _Fail("Failed");
  }
  APP_LogEnd("Project opened successfully");
  SETTINGS_SetCurrentProject(acPath);
  if (OpenDataFile) PROJJOBS_OpenProjectDataFile();
  return 0;
}

int PROJJOBS_Create(const char* sPathIn) {
  if (PROJECT_IsOpen() && PROJJOBS_Close(false) < 0) return -1;
  char acPath[PROJECT_PATH_SIZE] = "";
  UTIL_strcpy(acPath, sPathIn ? sPathIn : "", sizeof(acPath));
  SYS_PATH_ToNative(acPath);
  _BeginLog("Creating new", acPath);
  if (SETFILE_Create(acPath) < 0) return _Fail("Failed");
  PROJECT_New(acPath);
  APP_LogEnd("New project created successfully");
  return 0;
}

int PROJJOBS_Save(bool SaveAs, const char* sPath) {
  if (!PROJECT_IsOpen()) {
    APP_ErrorBox("No project file opened.");
    return -1;
  }
  if (SaveAs || !PROJECT_HasFileName()) return _SaveAs(sPath);
  if (!PROJECT_IsModified()) return 0;
  int r = _WriteAndSave(nullptr);
  if (r == -2) {
    char acPath[PROJECT_PATH_SIZE], ac[800];
    PROJECT_GetPath(acPath, sizeof(acPath));
    UTIL_sprintf(ac, sizeof(ac),
                 "Could not save project file [%s]\nFile has read only attribute!\nSave as new project?",
                 acPath);
    if (APP_MsgBox(ac, "Yes", "No", 1, APP_ICON_QUESTION, 1) == 0) return _SaveAs(nullptr);
    return -1;
  }
  if (r < 0) return -1;
  PROJECT_SetUnmodified();
  return 0;
}

int PROJJOBS_Close(bool Discard) {
  if (!PROJECT_IsOpen()) return 0;
  if (Discard) {
    // The end of a batch run asks nothing, but the user's wish to keep changes still holds for
    // a project with a file name (nobody could name a new one). A save that fails there cannot
    // keep the project open for anybody: the run fails instead.
    if (SETTINGS_GetAutoSaveProject() && PROJECT_HasFileName() && PROJJOBS_Save(false, nullptr) < 0) {
      APP_SetExitCode(1);
    }
    PROJECT_SetUnmodified();
  } else if (SETTINGS_GetAutoSaveProject()) {
    // Changes that could not be saved are not thrown away: the project stays open.
    if (PROJJOBS_Save(false, nullptr) < 0) return -1;
  } else if (PROJECT_IsModified()) {
    char acName[64];
    APP_GetShortProductName(acName, sizeof(acName));
    int r = APP_ShowMsgBox(acName, nullptr,
                           "The T-Forge project has been modified.\nDo you want to save your changes?", "Yes",
                           "No", 1, nullptr, nullptr, APP_ICON_QUESTION, 2, 0);
    if (r != 0 && r != 1) return -1; // the box was closed: the project stays open
    if (r == 0 && PROJJOBS_Save(false, nullptr) < 0) return -1;
  }
  APP_LogBegin("Close project");
  SETFILE_Close();
  PROJECT_Close();
  APP_LogEnd("Project closed");
  return 0;
}

int PROJJOBS_OpenProjectDataFile(void) {
  if (!PROJECT_HasFileName()) {
    APP_WarnOut("No valid project directory found!");
    return -1;
  }
  auto pGeneral = std::make_unique<PROJECT_GENERAL>();
  PROJECT_GetGeneral(pGeneral.get());
  if (pGeneral->acCurrentFile[0] == 0) {
    APP_WarnOut("No data file specified!");
    return -1;
  }
  char acPath[PROJECT_PATH_SIZE];
  uint32_t StartAddr = 0;
  PROJECT_GetDataFile(acPath, sizeof(acPath), &StartAddr);
  if (!SYS_FILE_IsFile(acPath)) {
    APP_LogOutf("Failed to open data file [%s]...", acPath);
    return -1;
  }
  if (!DATAFILE_CanRead(DATAFILE_GetType(acPath))) return -1;
  if (DATAJOBS_OpenFile(acPath, StartAddr, true) < 0) return -1;
  // A link written with the other separator is stored in native form from now on.
  if (std::strchr(pGeneral->acCurrentFile, '\\')) {
    PROJECT_SetDataFile(acPath, StartAddr);
    APP_LogOut("Updated path to data file in project.");
    return PROJJOBS_Save(false, nullptr);
  }
  return 0;
}

void PROJJOBS_OpenStartupProject(const char* sPath) {
  char acPath[PROJECT_PATH_SIZE] = "";
  if (sPath && sPath[0]) {
    if (_CmdLine.pfMakeAbsolute) {
      _CmdLine.pfMakeAbsolute(acPath, sizeof(acPath), sPath);
    } else {
      UTIL_strcpy(acPath, sPath, sizeof(acPath));
    }
  }
  if (acPath[0] && SYS_FILE_IsFile(acPath)) {
    PROJJOBS_Open(acPath, !_IsDataFileGiven());
    return;
  }
  char acDir[PROJECT_PATH_SIZE] = "";
  if (SYS_PATH_GetSettingsDir(acDir, sizeof(acDir)) == 0) {
    UTIL_sprintf(acPath, sizeof(acPath), "%sDefault%s", acDir, PROJECT_EXTENSION);
    if (SYS_FILE_IsFile(acPath)) {
      if (PROJJOBS_Open(acPath, false) == 0) return;
    } else if (PROJJOBS_Create(acPath) == 0 && PROJJOBS_Save(false, nullptr) == 0) {
      return;
    }
  }
  PROJJOBS_Create("");
}

/*********************************************************************
 * Jobs
 */
void PROJJOBS_JobCreate(JobContext* pContext) {
  const char* sPath = static_cast<const char*>(pContext->pParams);
  char acPath[PROJECT_PATH_SIZE] = "";
  if (sPath) UTIL_strncat(acPath, sPath, PROJECT_PATH_SIZE - 1, sizeof(acPath));
  pContext->Result = PROJJOBS_Create(acPath);
}

void PROJJOBS_JobOpen(JobContext* pContext) {
  auto* p = static_cast<PROJJOBS_OPEN_PARAMS*>(pContext->pParams);
  char acPath[PROJECT_PATH_SIZE] = "";
  if (p) UTIL_strncat(acPath, p->acPath, PROJECT_PATH_SIZE - 1, sizeof(acPath));
  pContext->Result = PROJJOBS_Open(acPath, true);
  if (p && p->pfCallback) p->pfCallback(p->pData);
}

void PROJJOBS_JobSave(JobContext* pContext) {
  bool SaveAs = pContext->pParams && *static_cast<const uint8_t*>(pContext->pParams) == 1;
  pContext->Result = PROJJOBS_Save(SaveAs, nullptr);
}

void PROJJOBS_JobClose(JobContext* pContext) {
  pContext->Result = PROJJOBS_Close(false);
}

void PROJJOBS_JobSaveSettings(JobContext* pContext) {
  auto* p = static_cast<const PROJJOBS_SETTINGS_PARAMS*>(pContext->pParams);
  if (p == nullptr || !PROJECT_IsOpen()) {
    pContext->Result = -1;
  } else {
    PROJECT_SetGeneral(&p->General);
    PROJECT_SetTIF(&p->TIF);
    PROJECT_SetCPU(&p->CPU);
    PROJECT_SetFlash(&p->Flash);
    PROJECT_SetProduction(&p->Production);
    PROJECT_SetPerformance(&p->Performance);
    pContext->Result = 0;
  }
  if (p && p->pfCallback) p->pfCallback(pContext->pRequester);
}

void PROJJOBS_SetCmdLineHooks(const PROJJOBS_CMDLINE_HOOKS* pHooks) {
  _CmdLine = pHooks ? *pHooks : PROJJOBS_CMDLINE_HOOKS{};
}

void PROJJOBS_Install(void) {
  APP_SetJobHandler(JOB_CREATE_PROJECT, PROJJOBS_JobCreate);
  APP_SetJobHandler(JOB_OPEN_PROJ_FILE, PROJJOBS_JobOpen);
  APP_SetJobHandler(JOB_SAVE_PROJ_FILE, PROJJOBS_JobSave);
  APP_SetJobHandler(JOB_CLOSE_PROJECT, PROJJOBS_JobClose);
  APP_SetJobHandler(JOB_SAVE_PROJ_SETTINGS, PROJJOBS_JobSaveSettings);
  APP_SetJobHandler(JOB_GENERATE_TEST_DATA, TESTDATA_Job);
  APP_STARTUP_HOOKS* pHooks = APP_GetStartupHooks();
  pHooks->pfOpenStartupProject = PROJJOBS_OpenStartupProject;
  pHooks->pfCloseProject = _CloseForExit;
  pHooks->pfIsProjectOpen = PROJECT_IsOpen;
  static const DATAJOBS_PROJECT_HOOKS DataHooks = {PROJECT_IsOpen, _GetDataFileSAddr, _GetCurBankBase,
                                                   _SetDataFile, _OpenProjectFromDataJob};
  DATAJOBS_SetProjectHooks(&DataHooks);
  PROJECT_SetChangeNotifier(_UpdateTitle);
  APP_SetTitleSource(_TitleSource);
}
