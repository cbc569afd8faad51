/*
 * APP - the application core: the job ids and the job table, the process flags, the stages of
 * start-up that the subsystems fill, the application lock and the title text.
 *
 * The main window registers the job table and posts "Initialize application"; that job and
 * "Exit application" belong to the top of the program (app/APP.h), which installs them. The
 * subsystems put their own handlers and start-up stages in here before the table is
 * registered, so that nothing below the top has to call upward.
 */
#pragma once

#include <cstdint>

#include "core/APP_Job.h"
#include "core/APP_Version.h"

#define APP_PRODUCT_NAME "T-Forge"
#define APP_COMPANY_NAME "KORVEN"
#define APP_REG_KEY "Software\\KORVEN\\T-Forge"

// Job ids: the index into the job table.
enum {
  JOB_INIT_APP = 0,
  JOB_EXIT_APP = 1,
  JOB_CREATE_PROJECT = 2,
  JOB_INIT_PROJ_SETTINGS = 3,
  JOB_GET_PROJ_DIALOG_INFO = 4,
  JOB_UPDATE_PROJ_DIALOG_INFO = 5,
  JOB_OPEN_DATA_FILE = 6,
  JOB_MERGE_DATA_FILE = 7,
  JOB_OPEN_PROJ_FILE = 8,
  JOB_GET_FLASH_BANK_INFO = 9,
  JOB_GET_FLASH_BANK_RANGE = 10,
  JOB_SELECT_FLASH_DEVICE = 11,
  JOB_VERIFY_JTAG_CHAIN = 12,
  JOB_DETECT_JTAG_CHAIN = 13,
  JOB_GET_MCU_DEVICE_LIST = 14,
  JOB_GET_FLASH_DEVICE_LIST = 15,
  JOB_SAVE_PROJ_SETTINGS = 16,
  JOB_GET_GLOBAL_SETTINGS = 17,
  JOB_SET_GLOBAL_SETTINGS = 18,
  JOB_UPDATE_PROJ_SETTINGS = 19,
  JOB_UPDATE_MENU_BAR = 20,
  JOB_CHECK_FILE_MODIFICATIONS = 21,
  JOB_SAVE_DATA_FILE = 22,
  JOB_SAVE_PROJ_FILE = 23,
  JOB_CLOSE_PROJECT = 24,
  JOB_SAVE_EMU_CONFIG_FILE = 25,
  JOB_SAVE_EMU_DATA_FILE = 26,
  JOB_DOWNLOAD_CONFIG_FILES = 27,
  JOB_DOWNLOAD_SN_FILES = 28,
  JOB_CONNECT = 29,
  JOB_DISCONNECT = 30,
  JOB_GENERATE_TEST_DATA = 31,
  JOB_PROD_PROG = 32,
  JOB_RELOCATE_DATA = 33,
  JOB_DELETE_DATA_RANGE = 34,
  JOB_ELIMINATE_BLANK = 35,
  JOB_SHOW_CFI_INFO = 36,
  JOB_TEST_SPEED = 37,
  JOB_SET_SERIAL_SIGNAL = 38,
  JOB_SECURE_CHIP = 39,
  JOB_CHECK_BLANK = 40,
  JOB_ERASE = 41,
  JOB_PROGRAM = 42,
  JOB_VERIFY = 43,
  JOB_READ = 44,
  JOB_START_TARGET_APP = 45,
  JOB_SET_APPSTART_ACTION = 50,
  JOB_STAMPER_FILE_ACTION = 51,
  JOB_DATA_WINDOW_CLOSE = 52,
  JOB_GET_FLASH_LOADER_INFO = 53,
  JOB_FILE_DROP = 54,
  JOB_STOP = 55,
  APP_NUM_JOBS = 56,
};

// The job table: handler and name per id. Other subsystems install their handlers here
// before the table is registered (APP_SetJobHandler); ids without a handler run nothing.
const JobTableEntry* APP_GetJobTable(void);
void APP_SetJobHandler(uint32_t JobId, JOB_FUNC* pfHandler);

/*********************************************************************
 * Process-wide flags of the application core
 */
int APP_GetExitCode(void);
void APP_SetExitCode(int Code);
bool APP_IsAutoExit(void);
void APP_SetAutoExit(bool On);
bool APP_IsCmdLineActive(void);
void APP_SetCmdLineActive(bool On);
bool APP_IsProjectGiven(void);
void APP_SetProjectGiven(bool On);
bool APP_IsStartModeSet(void);
void APP_SetStartModeSet(bool On);
int APP_GetStartMode(void); // the window start mode: 0 hidden, 1 normal, 2 minimised, 3 maximised
void APP_SetStartMode(int Mode);
enum { APP_EXIT_NONE = 0, APP_EXIT_PENDING = 1, APP_EXIT_CONFIRMED = 2 };
int APP_GetExitState(void);
void APP_SetExitState(int State);

/*********************************************************************
 * Start-up
 */
struct APP_STARTUP {
  int argc;
  char** argv;
  int ShowCmd;
  uint8_t ShowNewProjectDialog;
  uint8_t ShowWelcomeDialog;
  uint8_t InitFailed;
};
struct APP_INIT_PARAMS {
  void (*pfCallback)(void* pRequester); // emits the start-up-finished signal
  APP_STARTUP* pStartup;
};
// The pluggable stages of start-up, filled by the subsystems that own them; a stage left
// null succeeds without doing anything.
struct APP_STARTUP_HOOKS {
  int (*pfLoadGlobalSettings)(void);         // 0, or negative
  void (*pfLoadRecentLists)(void);
  int (*pfRunCmdLine)(int Mode, int argc, char** argv); // 2 settings pass, 1 action pass
  const char* (*pfGetDevicesXMLPath)(void);
  int (*pfReadFlashDeviceList)(void);        // 0, or negative
  int (*pfReadMCUDeviceList)(void);          // 0, or negative
  void (*pfOpenStartupProject)(const char* sPath);
  const char* (*pfGetCurrentProject)(void);  // the global setting Current
  int (*pfCloseProject)(bool Discard);       // 0 closed, negative refused
  bool (*pfIsProjectOpen)(void);
  void (*pfFreeDeviceCache)(void);
};
APP_STARTUP_HOOKS* APP_GetStartupHooks(void);

// After the Qt application is deleted: waits (at most 2 s) until Qt's pooled threads, which the
// raster painter uses, have ended their thread-local clean-up, so that the program never ends
// beside them.
void APP_WaitForQtThreadsToEnd(void);

void APP_UpdateTitle(void); // sends the title text to the GUI
void APP_GetTitleText(char* sDest, int DestSize);
// The project part of the title (installed by the project code): path or "new project", modified.
void APP_SetTitleSource(bool (*pfGetProject)(char* sPath, int PathSize, bool* pModified));

struct SYS_MUTEX;
SYS_MUTEX* APP_GetAppLock(void); // guards the list of data windows and the current image
int APP_CreateAppLock(void);      // at start-up (and again after a refused exit); 0, or -1
void APP_DeleteAppLock(void);
