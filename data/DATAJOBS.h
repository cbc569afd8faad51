/*
 * DATAJOBS - the data-file jobs of the application core and the list of open data windows.
 *
 * DATAJOBS_Init installs the job handlers (open, merge, save, check for outside changes,
 * relocate, delete range, eliminate blank areas, data window close) in the job table; the
 * command line calls the DATAJOBS_* job-level functions directly on the worker thread. Every
 * job holds the application lock while it touches the list (at most 32 windows, each owning
 * its image) or the current image, which is the image of the active data window.
 */
#pragma once

#include <cstdint>

#include "sys/SYS.h"

class CHexEditor;
struct DataImage;

enum { DATAJOBS_MAX_WINDOWS = 32 };

// Parameter blocks of the jobs (posted with APP_CreateJob).
struct DATAJOBS_FILE_PARAMS { // open, merge, save as: path (empty: ask), optional address(es)
  char acPath[512];
  uint32_t Addr;      // start address (open, merge), first address (save)
  uint32_t LastAddr;  // last address (save)
  uint8_t HasAddr;    // Addr (and for save LastAddr) given
  uint8_t SaveAs;     // save: ask for the path even when the window has one
};
struct DATAJOBS_RANGE_PARAMS { // relocate (Addr is the signed offset) and delete range
  uint32_t Addr;
  uint32_t LastAddr;
  uint8_t HasValue; // else the dialog asks
};

void DATAJOBS_Init(void); // installs the job handlers; call once before the job table is registered

// Job-level operations for the command line (worker thread): 0, or -1 (reported).
int DATAJOBS_OpenFile(const char* sPath, uint32_t StartAddr, bool HasStartAddr); // -open<FILE>[,<SADDR>]
int DATAJOBS_MergeFile(const char* sPath, uint32_t Addr, bool HasAddr);           // -merge<FILE>[,<ADDR>]
// -save (sPath null: the window's own path) and -saveas<FILE>[,<SADDR>,<EADDR>].
int DATAJOBS_SaveFile(const char* sPath, uint32_t First, uint32_t Last, bool HasRange);
int DATAJOBS_Relocate(int32_t Offset);                // -relocate<OFFSET>
int DATAJOBS_DeleteRange(uint32_t First, uint32_t Last); // -delrange<SADDR>,<EADDR>
int DATAJOBS_Eliminate(void);                          // -eliminate
// Outside changes for one window (null: every window); 0.
int DATAJOBS_CheckModifications(CHexEditor* pWin);
// Removes the window's entry and frees its image; 0, or -1 when the window is not listed.
int DATAJOBS_OnWindowClosed(CHexEditor* pWin);

// Where the jobs meet the project (installed by the project code; absent: no project open).
struct DATAJOBS_PROJECT_HOOKS {
  bool (*pfIsProjectOpen)(void);
  uint32_t (*pfGetDataFileSAddr)(void);
  uint32_t (*pfGetCurBankBase)(void);
  // Stores CurrentFile and DataFileSAddr when they differ (marks the project modified).
  void (*pfSetDataFile)(const char* sPath, uint32_t StartAddr);
  void (*pfOpenProject)(const char* sPath); // a ".tforge" path given to "Open data file"
};
void DATAJOBS_SetProjectHooks(const DATAJOBS_PROJECT_HOOKS* pHooks);

// Where the jobs meet the global settings (installed by the settings code; absent: the file
// dialogs start without a directory and nothing is remembered).
struct DATAJOBS_SETTINGS_HOOKS {
  void (*pfGetDataFilesDir)(char* sDest, int DestSize); // with trailing '/'
  int (*pfSetDataFilesDir)(const char* sFilePath);      // stores the directory of the file
  int (*pfAddRecentDataFile)(const char* sPath);
};
void DATAJOBS_SetSettingsHooks(const DATAJOBS_SETTINGS_HOOKS* pHooks);

// The list, for the menus, programming and tests (the caller holds the application lock or
// accepts a snapshot).
int DATAJOBS_GetNumWindows(void);
DataImage* DATAJOBS_GetCurImage(void);        // image of the active data window, or null
DataImage* DATAJOBS_GetImage(CHexEditor* pWin); // image of a listed window, or null
// Enters an image made elsewhere (test data, read-back) in a new window; 0, or -1 (then the
// image is freed).
int DATAJOBS_AddImageWindow(DataImage* pImage, const char* sTitle, const char* sPath);
