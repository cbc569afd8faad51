/*
 * APP_Log - messages, log and progress.
 *
 * Every operation reports through these routines: nested log operations (APP_LogBegin ...
 * APP_LogEnd) with indented lines filtered by the log level, errors (red) and warnings
 * (yellow) as ANSI SGR sequences, one summary box at the end of a top-level operation, the
 * message boxes, the progress dialog and the program log file. While the command line runs
 * no box is shown: its text is logged and the default answer taken.
 */
#pragma once

#include <cstdint>

#include "core/APP_GUI.h"

/*********************************************************************
 * Log operations and lines (callable from any thread; mainly the worker). Operations nest per
 * thread: depth, collected messages and error count belong to the calling thread, so a line of
 * the voltage monitor stands outside whatever operation the worker has open.
 */
void APP_LogBegin(const char* sText);
void APP_LogEnd(const char* sText); // sText may be null
void APP_LogOut(const char* sText);
void APP_LogOutf(const char* sFormat, ...) __attribute__((format(printf, 1, 2)));
void APP_LogResult(const char* sText);
void APP_ErrorOut(const char* sText);
void APP_ErrorOutf(const char* sFormat, ...) __attribute__((format(printf, 1, 2)));
void APP_WarnOut(const char* sText);
void APP_LogCompleted(const char* sText);
void APP_LogCompletedEx(const char* sText, const char* sDetail);
int APP_GetLogDepth(void);
int APP_GetErrorCount(void);  // errors of the current top-level operation
int APP_GetLogLevel(void);    // 1..9, read afresh from the global settings at every call
// Where the log level comes from until the global settings exist (default: missing -> 3).
void APP_SetLogLevelSource(int (*pfGetLevel)(void));
// The routine that disconnects the target after an error box (installed by the target code).
void APP_SetDisconnectHandler(void (*pfDisconnect)(void));
void APP_DisconnectTarget(void); // through that routine; nothing when none is installed

/*********************************************************************
 * Message boxes (callable from any thread)
 */
enum { APP_ICON_CRITICAL = 256, APP_ICON_QUESTION = 512, APP_ICON_WARNING = 768, APP_ICON_INFO = 1024 };
void APP_ErrorBox(const char* sText);
void APP_WarningBox(const char* sText);
int APP_MsgBox(const char* sText, const char* sButton0, const char* sButton1, int DefaultResult, int Icon,
               int RejectResult);
int APP_ShowMsgBox(const char* sTitle, const char* sTitleSuffix, const char* sText, const char* sButton0,
                   const char* sButton1, int DefaultResult, const char* sCheckBoxText, int* pCheckState, int Icon,
                   int RejectResult, int TimeoutMs);

/*********************************************************************
 * Formatting
 */
void APP_FormatSize(char* sDest, int DestSize, uint32_t NumBytes);
// Text for the last file error of sPath; 1 for a read-only file, else 0.
int APP_FormatFileError(const char* sPath, const char* sVerb, char* sDest, int DestSize);
void APP_GetShortProductName(char* sDest, int DestSize); // "T-Forge V7.92e"
void APP_GetFullProductName(char* sDest, int DestSize);  // "KORVEN T-Forge V7.92e"
// "V%d.%.2d%s" of a probe library version (major * 10000 + minor * 100 + revision).
void APP_FormatLibraryVersion(char* sDest, int DestSize, int Version);

/*********************************************************************
 * Progress dialog (worker side)
 */
struct APP_PROGRESS;
APP_PROGRESS* APP_ProgressCreate(const char* sText1, int Flags);
void APP_ProgressSetValue(APP_PROGRESS* p, int Value);
void APP_ProgressAddValue(APP_PROGRESS* p, int Value);
void APP_ProgressSetRange(APP_PROGRESS* p, int Min, int Max);
void APP_ProgressSetText1(APP_PROGRESS* p, const char* sText);
void APP_ProgressSetText2(APP_PROGRESS* p, const char* sText);
void APP_ProgressDone(APP_PROGRESS* p);
int APP_ProgressIsCancelled(APP_PROGRESS* p); // 1 after Cancel, 0, or -1 without a dialog
void APP_ProgressDelete(APP_PROGRESS** pp);

// The flash-download progress adapter used by the flash loader engine.
void APP_FlashProgressBegin(APP_PROGRESS* p, const char* sText1);
void APP_FlashProgressUpdate(uint32_t Start, int Stage, uint32_t Total);
void APP_FlashProgressText(int Stage, const char* sText, uint32_t Size);
void APP_FlashProgressEnd(const char* sText1);
struct APP_FLASH_PROGRESS_STAGE {
  uint32_t Start;
  uint32_t Total;
};
void APP_FlashProgressGetStages(APP_FLASH_PROGRESS_STAGE aStage[4]);

/*********************************************************************
 * Program log file
 */
void APP_SetLogFileOn(bool On);
bool APP_IsLogFileOn(void);
bool APP_IsLogEnabled(void); // EnableTForgeLog, or forced by -tforgelog
void APP_SetLogFileOverride(const char* sPath); // -tforgelog: also forces the log on
const char* APP_GetLogFileOverride(void);
// Where the log file path and the enable flag come from (installed with the global settings).
struct APP_LOG_SETTINGS {
  bool (*pfIsEnabled)(void);                       // EnableTForgeLog
  bool (*pfGetPath)(char* sDest, int DestSize);    // TForgeLogFile when present
};
void APP_SetLogSettings(const APP_LOG_SETTINGS* pSettings);
// Removes escape sequences: what the log file and standard output receive.
void APP_StripEscapes(char* sDest, int DestSize, const char* sText);
