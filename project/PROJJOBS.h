/*
 * PROJJOBS - the project jobs: create, open, save, save as, close and save settings, the
 * start-up project and the project's own data file.
 *
 * PROJJOBS_Install() runs once before the main window starts: it puts the job handlers into
 * the job table and fills the start-up and data-file hooks. The job-level
 * functions run on the worker thread (jobs, the command line, start-up and exit); each brackets
 * its work in a log operation and reports its own errors.
 */
#pragma once

#include "project/PROJECT.h"

struct JobContext;

void PROJJOBS_Install(void);

// What the project jobs ask the command line (installed by it; absent: no data file and no
// automatic update given, start-up paths taken as they are).
struct PROJJOBS_CMDLINE_HOOKS {
  bool (*pfIsDataFileGiven)(void);
  bool (*pfIsAutoUpdateProject)(void);
  void (*pfMakeAbsolute)(char* sDest, int DestSize, const char* sPath);
};
void PROJJOBS_SetCmdLineHooks(const PROJJOBS_CMDLINE_HOOKS* pHooks);

// 0, or -1 (reported). Open and Create close an open project first (a refused close fails).
int PROJJOBS_Open(const char* sPath, bool OpenDataFile); // empty path: the file dialog asks
int PROJJOBS_Create(const char* sPath);                  // empty path: an unnamed project
// Saves when modified; a project without a file name (or SaveAs) goes to "Save as" with
// sPath, or the file dialog when sPath is empty.
int PROJJOBS_Save(bool SaveAs, const char* sPath);
// Closes the project. Discard (the end of a batch run): without asking, saved only with the
// global setting AutoSaveProject (a failed save sets exit code 1). 0 closed or none open, -1 refused.
int PROJJOBS_Close(bool Discard);
// Start-up: the project sPath when it is a file, else "Default.tforge" in the settings
// directory (created when missing), else an unnamed project.
void PROJJOBS_OpenStartupProject(const char* sPath);
// Opens the data file the project names (after the project was opened). 0, or -1.
int PROJJOBS_OpenProjectDataFile(void);

// Params of "Open project file" and "Save project settings".
struct PROJJOBS_OPEN_PARAMS {
  char acPath[512]; // empty: the file dialog asks
  void (*pfCallback)(void* pData);
  void* pData;
};
struct PROJJOBS_SETTINGS_PARAMS {
  PROJECT_GENERAL General;
  PROJECT_TIF TIF;
  PROJECT_CPU CPU;
  PROJECT_FLASH Flash;
  PROJECT_PRODUCTION Production;
  PROJECT_PERFORMANCE Performance;
  void (*pfCallback)(void* pRequester);
};
void PROJJOBS_JobCreate(JobContext* pContext);       // params: 512-character path
void PROJJOBS_JobOpen(JobContext* pContext);         // params: PROJJOBS_OPEN_PARAMS
void PROJJOBS_JobSave(JobContext* pContext);         // params: one byte, 1 = save as
void PROJJOBS_JobClose(JobContext* pContext);        // Result 0 closed, -1 refused
void PROJJOBS_JobSaveSettings(JobContext* pContext); // params: PROJJOBS_SETTINGS_PARAMS
