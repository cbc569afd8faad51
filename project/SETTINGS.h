/*
 * SETTINGS - the user's global settings and the recent-file lists.
 *
 * The settings file "TForgeSettings.ini" in the application-data folder is held whole in one
 * buffer of at most 30 000 bytes and rewritten (atomically) after every change; the recent-file
 * lists and the start-up switch live in the settings store under APP_REG_KEY. Call order:
 * SETTINGS_InstallHooks() before the main window starts; the start-up job then calls
 * SETTINGS_Init() and SETTINGS_RECENT_Init() for both lists; after that any thread may call in.
 */
#pragma once

#include <cstdint>

#define SETTINGS_FILE_NAME "TForgeSettings.ini"
enum { SETTINGS_MAX_FILE_SIZE = 30000 };
enum { SETTINGS_RECENT_MAX = 10, SETTINGS_RECENT_PATH_SIZE = 512 };
enum { SETTINGS_RECENT_DATA = 0, SETTINGS_RECENT_PROJECT = 1 };

// Installs the start-up stages, the log-level and log-file sources and jobs 17 and 18.
void SETTINGS_InstallHooks(void);

/*********************************************************************
 * The settings file
 */
int SETTINGS_Init(const char* sFileName); // 0, or -1 (reported; getters and setters then return -1)
void SETTINGS_Exit(void);                 // forgets buffer and state (shutdown and tests)
bool SETTINGS_IsReady(void);
const char* SETTINGS_GetFilePath(void); // full path of the settings file, or ""
int SETTINGS_GetString(const char* sSection, const char* sKey, char* sDest, int DestSize); // 0, or -1
int SETTINGS_GetInt(const char* sSection, const char* sKey, int* pValue);                  // 0, or -1
int SETTINGS_SetString(const char* sSection, const char* sKey, const char* sText); // 0, or -1 (reported)
int SETTINGS_SetInt(const char* sSection, const char* sKey, int Value);            // 0, or -1 (reported)

/*********************************************************************
 * One getter and one setter per key; getters apply the defaults, setters return 0 or -1.
 */
int SETTINGS_GetCurrentProject(char* sDest, int DestSize); // 0, or -1 when none is stored
int SETTINGS_SetCurrentProject(const char* sPath);         // also tops the recent-project list
int SETTINGS_GetAutoSaveProject(void);                     // 0 or 1
int SETTINGS_SetAutoSaveProject(int On);
void SETTINGS_GetDataFilesDir(char* sDest, int DestSize);    // with trailing '/'
int SETTINGS_SetDataFilesDir(const char* sFilePath);         // stores the directory of the file
void SETTINGS_GetProjectFilesDir(char* sDest, int DestSize); // with trailing '/'
int SETTINGS_SetProjectFilesDir(const char* sFilePath);      // stores the directory of the file
int SETTINGS_GetLogLevel(void);                              // 1 ... 9
int SETTINGS_SetLogLevel(int Level);
int SETTINGS_GetEnableTForgeLog(void);                     // 0 or 1; 1 while -tforgelog gave a file
int SETTINGS_SetEnableTForgeLog(int On);                   // opens or closes the log file at once
void SETTINGS_GetTForgeLogFile(char* sDest, int DestSize); // the command-line file first
int SETTINGS_SetTForgeLogFile(const char* sPath);          // reopens an open log file there
int SETTINGS_GetEnableXRelayLog(void);                     // 0 or 1; 1 while -xrelaylog gave a file
int SETTINGS_SetEnableXRelayLog(int On);
void SETTINGS_GetXRelayLogFile(char* sDest, int DestSize); // the command-line file first
int SETTINGS_SetXRelayLogFile(const char* sPath);
int SETTINGS_GetTimeoutCheckBlank(void); // ms
int SETTINGS_SetTimeoutCheckBlank(int Ms);
int SETTINGS_GetTimeoutCalcCRC(void); // ms
int SETTINGS_SetTimeoutCalcCRC(int Ms);
int SETTINGS_GetTimeoutReadBack(void); // ms
int SETTINGS_SetTimeoutReadBack(int Ms);

// Command-line overrides for this run; "" clears. 0, or -1 for a path of 512 characters or more.
int SETTINGS_SetTForgeLogOverride(const char* sPath); // the log file switches there at once
int SETTINGS_SetXRelayLogOverride(const char* sPath);
const char* SETTINGS_GetXRelayLogOverride(void);

/*********************************************************************
 * Recent-file lists (0 data files, 1 projects), most recent first
 */
int SETTINGS_RECENT_Init(int List, const char* sKeyPrefix, int MaxEntries); // number of entries read
int SETTINGS_RECENT_Add(int List, const char* sPath);                       // 0, or -1
int SETTINGS_RECENT_GetCount(int List);
int SETTINGS_RECENT_Get(int List, int Index, char* sDest, int DestSize); // 0, or -1 outside the list
// A data file that was opened or saved goes first in list 0; the recent-file menus follow. 0, or -1.
int SETTINGS_AddRecentDataFile(const char* sPath);

// The switch "DontShowAgainStartTForge" (0 when missing).
uint32_t SETTINGS_GetDontShowAgain(void);
int SETTINGS_SetDontShowAgain(uint32_t Value); // 0, or -1

/*********************************************************************
 * Jobs "Get global settings" (17) and "Set global settings" (18): the params block is this record.
 */
struct SETTINGS_GLOBAL_RECORD {
  char acTForgeLogFile[512];
  char acXRelayLogFile[512];
  int LogLevel;
  int AutoSaveProject;
  int EnableTForgeLog;
  int EnableXRelayLog;
  uint32_t DontShowAgain;
};
struct JobContext;
void SETTINGS_JobGetGlobalSettings(JobContext* pContext); // fills the record
void SETTINGS_JobSetGlobalSettings(JobContext* pContext); // writes every field; Result 0 or -1
