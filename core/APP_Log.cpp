/*
 * APP_Log - log operations, message routing, progress and the program log file.
 *
 * The worker and the voltage monitor log at the same time. Each thread keeps its own log
 * operations (depth, collected messages, error count, start time), so neither needs a lock
 * for them and a monitor line is neither indented under nor counted in the worker's
 * operation. What the threads share is locked: the log file and its settings. The hooks are
 * installed at start-up and read atomically.
 */
#include "core/APP_Log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/APP.h"
#include "sys/SYS.h"
#include "sys/UTIL.h"

namespace {

// The log operations of one thread.
struct LogOperations {
  int Depth;
  char acMsg[4096];
  int NumErrors;
  uint32_t StartMs;
};

thread_local LogOperations _Log; // zero-initialised: no operation open

std::atomic<int (*)(void)> _pfGetLevel;
std::atomic<void (*)(void)> _pfDisconnect;
std::atomic<APP_GUI_REQUESTS*> _pGUI;
std::atomic<bool> _Headless{false};

// The program log file, shared by all threads.
std::mutex _LogFileLock; // guards the three below; held while a line is written
int _hLogFile = -1;
APP_LOG_SETTINGS _LogSettings;
char _acLogFileOverride[512];
std::atomic<bool> _LogFileOn{false};
std::mutex _LogFileSwitchLock; // one switch of the file at a time

// Under _LogFileLock.
bool _IsLogEnabled() { return _acLogFileOverride[0] || (_LogSettings.pfIsEnabled && _LogSettings.pfIsEnabled()); }

// Standard output receives the log while nobody can see the window.
bool _MirrorToStdout(const APP_GUI_REQUESTS* pGUI) {
  if (pGUI == nullptr || _Headless) return true;
  return APP_IsCmdLineActive() && APP_GetStartMode() == 0;
}

void _WriteFileLine(const char* sLine, int Len) {
  std::lock_guard<std::mutex> g(_LogFileLock);
  if (_hLogFile < 0 || !_IsLogEnabled()) return;
  SYS_FILE_Write(_hLogFile, sLine, (uint32_t)Len);
}

// Receives every completed line of the log view (plain text followed by "\r\n").
void _LogFileWriter(const char* sLine, int Len) { _WriteFileLine(sLine, Len); }

// One line: indentation by depth, the text and a line feed, at most 1024 characters.
void _WriteLine(const char* sText) {
  char ac[1024];
  ac[0] = 0;
  if (_Log.Depth >= 2) {
    int n = _Log.Depth - 1;
    if (n > 64) n = 64;
    std::memset(ac, ' ', (size_t)n);
    ac[n] = 0;
  }
  if (_Log.Depth >= 1) UTIL_strcat(ac, " - ", sizeof(ac));
  UTIL_strcat(ac, sText, sizeof(ac) - 1);
  UTIL_strcat(ac, "\n", sizeof(ac));
  APP_GUI_REQUESTS* pGUI = _pGUI;
  if (pGUI) {
    pGUI->AppendLog(ac);
  } else {
    // Without a log view the file receives the line here.
    char acPlain[1030];
    APP_StripEscapes(acPlain, sizeof(acPlain) - 2, ac);
    int n = UTIL_strlen(acPlain);
    if (n && acPlain[n - 1] == '\n') n--;
    acPlain[n] = '\r';
    acPlain[n + 1] = '\n';
    _WriteFileLine(acPlain, n + 2);
  }
  if (_MirrorToStdout(pGUI)) {
    char acPlain[1024];
    APP_StripEscapes(acPlain, sizeof(acPlain), ac);
    std::fputs(acPlain, stdout);
    std::fflush(stdout);
  }
}

void _CopyWithoutFinalLineFeed(char* sDest, int DestSize, const char* sText) {
  UTIL_strcpy(sDest, sText ? sText : "", DestSize);
  int n = UTIL_strlen(sDest);
  if (n && sDest[n - 1] == '\n') sDest[n - 1] = 0;
}

void _AppendToMessage(const char* sText) {
  int n = UTIL_strlen(_Log.acMsg);
  if (n && _Log.acMsg[n - 1] != '\n') UTIL_strcat(_Log.acMsg, "\n", sizeof(_Log.acMsg));
  UTIL_strcat(_Log.acMsg, sText, sizeof(_Log.acMsg));
}

} // namespace

void APP_SetGUI(APP_GUI_REQUESTS* pGUI) { _pGUI = pGUI; }
APP_GUI_REQUESTS* APP_GetGUI(void) { return _pGUI; }
bool APP_IsHeadless(void) { return _Headless; }
void APP_SetHeadless(bool On) { _Headless = On; }

/*********************************************************************
 * Log operations
 */
int APP_GetLogLevel(void) {
  int (*pfGetLevel)(void) = _pfGetLevel;
  int Level = pfGetLevel ? pfGetLevel() : 3;
  if (Level <= 0) return 1;
  if (Level > 9) return 9;
  return Level;
}

void APP_SetLogLevelSource(int (*pfGetLevel)(void)) { _pfGetLevel = pfGetLevel; }
void APP_SetDisconnectHandler(void (*pfDisconnect)(void)) { _pfDisconnect = pfDisconnect; }
void APP_DisconnectTarget(void) {
  void (*pfDisconnect)(void) = _pfDisconnect;
  if (pfDisconnect) pfDisconnect();
}
int APP_GetLogDepth(void) { return _Log.Depth; }
int APP_GetErrorCount(void) { return _Log.NumErrors; }

void APP_LogBegin(const char* sText) {
  if (APP_GetLogLevel() >= 2 * _Log.Depth) _WriteLine(sText ? sText : "");
  if (_Log.Depth == 0) {
    _Log.acMsg[0] = 0;
    _Log.NumErrors = 0;
    _Log.StartMs = SYS_TIME_GetMs();
  }
  _Log.Depth++;
}

void APP_LogEnd(const char* sText) {
  if (sText && sText[0] && _Log.NumErrors == 0 && APP_GetLogLevel() >= 2 * _Log.Depth - 1) _WriteLine(sText);
  if (_Log.Depth > 0) _Log.Depth--;
  if (_Log.Depth == 0 && _Log.acMsg[0]) {
    char acMsg[sizeof(_Log.acMsg)];
    UTIL_strcpy(acMsg, _Log.acMsg, sizeof(acMsg));
    _Log.acMsg[0] = 0;
    if (_Log.NumErrors) {
      APP_ErrorBox(acMsg);
      APP_DisconnectTarget();
    } else {
      APP_MsgBox(acMsg, "OK", nullptr, 0, APP_ICON_INFO, 0);
    }
  }
}

void APP_LogOut(const char* sText) {
  if (APP_GetLogLevel() >= 2 * _Log.Depth) _WriteLine(sText ? sText : "");
}

void APP_LogOutf(const char* sFormat, ...) {
  char ac[1024];
  va_list Args;
  va_start(Args, sFormat);
  UTIL_vsprintf(ac, sizeof(ac), sFormat, Args);
  va_end(Args);
  APP_LogOut(ac);
}

void APP_LogResult(const char* sText) {
  if (APP_GetLogLevel() >= 2 * _Log.Depth - 1) _WriteLine(sText ? sText : "");
}

void APP_ErrorOut(const char* sText) {
  char acText[1024];
  _CopyWithoutFinalLineFeed(acText, sizeof(acText), sText);
  if (APP_GetLogLevel() >= 2 * _Log.Depth - 1) {
    char ac[1100];
    UTIL_sprintf(ac, sizeof(ac), "\x1b[1;31mERROR: %s\x1b[0m", acText);
    _WriteLine(ac);
  }
  _AppendToMessage(sText ? sText : "");
  _Log.NumErrors++;
}

void APP_ErrorOutf(const char* sFormat, ...) {
  char ac[1024];
  va_list Args;
  va_start(Args, sFormat);
  UTIL_vsprintf(ac, sizeof(ac), sFormat, Args);
  va_end(Args);
  APP_ErrorOut(ac);
}

void APP_WarnOut(const char* sText) {
  char acText[1024];
  _CopyWithoutFinalLineFeed(acText, sizeof(acText), sText);
  char ac[1100];
  UTIL_sprintf(ac, sizeof(ac), "\x1b[2;33mWARNING: %s\x1b[0m", acText);
  _WriteLine(ac);
  APP_WarningBox(acText);
}

void APP_LogCompletedEx(const char* sText, const char* sDetail) {
  if (_Log.NumErrors) return;
  if (_Log.Depth == 1) {
    uint32_t Ms = SYS_TIME_GetMs() - _Log.StartMs;
    UTIL_sprintf(_Log.acMsg, sizeof(_Log.acMsg), "%s - Completed after %d.%.3d sec", sText ? sText : "",
                 (int)(Ms / 1000), (int)(Ms % 1000));
    _WriteLine(_Log.acMsg);
    if (sDetail && sDetail[0]) {
      UTIL_strcat(_Log.acMsg, "\n", sizeof(_Log.acMsg));
      UTIL_strcat(_Log.acMsg, sDetail, sizeof(_Log.acMsg));
    }
  } else {
    APP_LogResult(sText);
  }
}

void APP_LogCompleted(const char* sText) { APP_LogCompletedEx(sText, nullptr); }

/*********************************************************************
 * Message boxes
 */
void APP_GetShortProductName(char* sDest, int DestSize) {
  UTIL_sprintf(sDest, DestSize, "%s V%d.%.2d%s", APP_PRODUCT_NAME, APP_VERSION_MAJOR, APP_VERSION_MINOR,
               APP_VERSION_SUFFIX);
}

void APP_GetFullProductName(char* sDest, int DestSize) {
  char acVersion[32];
  UTIL_sprintf(acVersion, sizeof(acVersion), "V%d.%.2d%s", APP_VERSION_MAJOR, APP_VERSION_MINOR, APP_VERSION_SUFFIX);
  UTIL_sprintf(sDest, DestSize, "KORVEN %s %s%s", APP_PRODUCT_NAME, acVersion, "");
}

int APP_ShowMsgBox(const char* sTitle, const char* sTitleSuffix, const char* sText, const char* sButton0,
                   const char* sButton1, int DefaultResult, const char* sCheckBoxText, int* pCheckState, int Icon,
                   int RejectResult, int TimeoutMs) {
  char acTitle[512];
  UTIL_strcpy(acTitle, sTitle ? sTitle : "", sizeof(acTitle));
  if (sTitleSuffix && sTitleSuffix[0]) {
    UTIL_strcat(acTitle, " ", sizeof(acTitle));
    UTIL_strcat(acTitle, sTitleSuffix, sizeof(acTitle));
  }
  APP_GUI_REQUESTS* pGUI = _pGUI;
  if (APP_IsCmdLineActive() || pGUI == nullptr) {
    if (acTitle[0]) {
      APP_LogOutf("%s: %s", acTitle, sText ? sText : "");
    } else {
      APP_LogOut(sText);
    }
    return DefaultResult;
  }
  MsgBoxRequest Req{};
  Req.sTitle = acTitle;
  Req.sText = sText ? sText : "";
  Req.sButton0 = sButton0;
  Req.sButton1 = sButton1;
  Req.sCheckBoxText = sCheckBoxText;
  Req.CheckState = pCheckState ? *pCheckState : 0;
  Req.DefaultResult = DefaultResult;
  Req.Icon = Icon;
  Req.TimeoutMs = TimeoutMs;
  Req.Result = DefaultResult;
  pGUI->ShowMsgBox(&Req);
  if (pCheckState) *pCheckState = Req.CheckResult;
  return Req.Rejected ? RejectResult : Req.Result;
}

void APP_ErrorBox(const char* sText) {
  if (APP_IsCmdLineActive()) APP_SetExitCode(1);
  char acName[64];
  APP_GetShortProductName(acName, sizeof(acName));
  APP_ShowMsgBox(acName, "Error", sText, "O.K.", nullptr, 0, nullptr, nullptr, APP_ICON_WARNING, 0, 0);
}

void APP_WarningBox(const char* sText) {
  char acName[64];
  APP_GetShortProductName(acName, sizeof(acName));
  APP_ShowMsgBox(acName, "Warning", sText, "O.K.", nullptr, 0, nullptr, nullptr, APP_ICON_WARNING, 0, 0);
}

int APP_MsgBox(const char* sText, const char* sButton0, const char* sButton1, int DefaultResult, int Icon,
               int RejectResult) {
  char acName[64];
  APP_GetShortProductName(acName, sizeof(acName));
  return APP_ShowMsgBox(acName, nullptr, sText, sButton0, sButton1, DefaultResult, nullptr, nullptr, Icon,
                        RejectResult, 0);
}

/*********************************************************************
 * Formatting
 */
void APP_FormatSize(char* sDest, int DestSize, uint32_t NumBytes) {
  if (NumBytes == 0) {
    UTIL_strcpy(sDest, "", DestSize);
  } else if (NumBytes % 1024u) {
    UTIL_sprintf(sDest, DestSize, "%u Bytes", NumBytes);
  } else if (NumBytes > 0x9FFFFFu && NumBytes % (1024u * 1024u) == 0) {
    UTIL_sprintf(sDest, DestSize, "%u MB", NumBytes / (1024u * 1024u));
  } else {
    UTIL_sprintf(sDest, DestSize, "%u KB", NumBytes / 1024u);
  }
}

int APP_FormatFileError(const char* sPath, const char* sVerb, char* sDest, int DestSize) {
  const char* sReason = "!";
  int r = 0;
  switch (SYS_GetLastError()) {
  case SYS_ERR_FILE_NOT_FOUND:
    sReason = "\nFile not found!";
    break;
  case SYS_ERR_PATH_NOT_FOUND:
    sReason = "\nPath not found!";
    break;
  case SYS_ERR_ACCESS_DENIED:
    if (SYS_FILE_IsReadOnly(sPath)) {
      sReason = "\nFile has read only attribute!";
      r = 1;
    } else {
      sReason = "\nAccess is denied!";
    }
    break;
  case SYS_ERR_INVALID_DRIVE:
    sReason = "\nInvalid drive!";
    break;
  case SYS_ERR_INVALID_NAME:
    sReason = "\nThe filename syntax is incorrect!";
    break;
  default:
    break;
  }
  UTIL_sprintf(sDest, DestSize, "Could not %s file [%s]%s", sVerb ? sVerb : "", sPath ? sPath : "", sReason);
  return r;
}

void APP_FormatLibraryVersion(char* sDest, int DestSize, int Version) {
  int Rev = Version % 100;
  char acRev[8] = "";
  if (Rev >= 1 && Rev <= 26) {
    acRev[0] = (char)('a' + Rev - 1);
    acRev[1] = 0;
  } else if (Rev > 26) {
    UTIL_sprintf(acRev, sizeof(acRev), "z%.2d", Rev - 26);
  }
  UTIL_sprintf(sDest, DestSize, "V%d.%.2d%s", Version / 10000, (Version / 100) % 100, acRev);
}

void APP_StripEscapes(char* sDest, int DestSize, const char* sText) {
  int o = 0;
  for (const char* s = sText ? sText : ""; *s && o < DestSize - 1; s++) {
    if (*s == 0x1b && s[1] == '[') {
      const char* e = s + 2;
      while (*e >= 0x20 && *e <= 0x3F) e++;
      if (*e >= 0x40 && *e <= 0x7E) {
        s = e;
        continue;
      }
    }
    sDest[o++] = *s;
  }
  if (DestSize > 0) sDest[o] = 0;
}

/*********************************************************************
 * Progress
 */
struct APP_PROGRESS {
  ProgressDialogState* pState;
};

namespace {

template <typename F> void _ChangeProgress(APP_PROGRESS* p, F Change) {
  if (p == nullptr || p->pState == nullptr) return;
  SYS_MUTEX_Lock(p->pState->pLock, -1);
  Change(*p->pState);
  SYS_MUTEX_Unlock(p->pState->pLock);
  if (p->pState->pfNotify) p->pState->pfNotify(p->pState->pNotifyUser);
}

struct FlashProgress {
  APP_PROGRESS* pDialog = nullptr;
  bool Active = false;
  int HighestStage = -1;
  APP_FLASH_PROGRESS_STAGE aStage[4] = {};
};
FlashProgress _Flash;

} // namespace

APP_PROGRESS* APP_ProgressCreate(const char* sText1, int Flags) {
  APP_PROGRESS* p = static_cast<APP_PROGRESS*>(SYS_MEM_Alloc(sizeof(APP_PROGRESS), "APP: Progress dialog"));
  if (p == nullptr) return nullptr;
  char acTitle[128];
  APP_GetFullProductName(acTitle, sizeof(acTitle));
  APP_GUI_REQUESTS* pGUI = _pGUI;
  p->pState = pGUI ? pGUI->CreateProgressDlg(acTitle, sText1 ? sText1 : "", Flags) : nullptr;
  return p;
}

void APP_ProgressSetValue(APP_PROGRESS* p, int Value) {
  _ChangeProgress(p, [&](ProgressDialogState& s) { s.Value = Value; });
}

void APP_ProgressAddValue(APP_PROGRESS* p, int Value) {
  _ChangeProgress(p, [&](ProgressDialogState& s) { s.Value += Value; });
}

void APP_ProgressSetRange(APP_PROGRESS* p, int Min, int Max) {
  _ChangeProgress(p, [&](ProgressDialogState& s) {
    s.Min = Min;
    s.Value = Min;
    s.Max = Max;
  });
}

void APP_ProgressSetText1(APP_PROGRESS* p, const char* sText) {
  _ChangeProgress(p, [&](ProgressDialogState& s) { UTIL_strcpy(s.acText1, sText ? sText : "", sizeof(s.acText1)); });
}

void APP_ProgressSetText2(APP_PROGRESS* p, const char* sText) {
  _ChangeProgress(p, [&](ProgressDialogState& s) { UTIL_strcpy(s.acText2, sText ? sText : "", sizeof(s.acText2)); });
}

void APP_ProgressDone(APP_PROGRESS* p) {
  _ChangeProgress(p, [&](ProgressDialogState& s) { s.Done = true; });
}

int APP_ProgressIsCancelled(APP_PROGRESS* p) {
  if (p == nullptr || p->pState == nullptr) return -1;
  SYS_MUTEX_Lock(p->pState->pLock, -1);
  int r = p->pState->Cancelled ? 1 : 0;
  SYS_MUTEX_Unlock(p->pState->pLock);
  return r;
}

void APP_ProgressDelete(APP_PROGRESS** pp) {
  if (pp == nullptr || *pp == nullptr) return;
  APP_GUI_REQUESTS* pGUI = _pGUI;
  if ((*pp)->pState && pGUI) pGUI->DeleteProgressDlg(&(*pp)->pState);
  if (_Flash.pDialog == *pp) _Flash.pDialog = nullptr;
  SYS_MEM_Free(*pp);
  *pp = nullptr;
}

void APP_FlashProgressBegin(APP_PROGRESS* p, const char* sText1) {
  if (_Flash.Active) {
    APP_ProgressSetText1(_Flash.pDialog, sText1);
    return;
  }
  _Flash.pDialog = p;
  _Flash.Active = true;
  _Flash.HighestStage = -1;
  for (auto& s : _Flash.aStage) s = {0, 100};
  APP_ProgressSetRange(p, 0, 100);
  if (sText1) APP_ProgressSetText1(p, sText1);
}

void APP_FlashProgressUpdate(uint32_t Start, int Stage, uint32_t Total) {
  if (Stage < _Flash.HighestStage) return;
  _Flash.HighestStage = Stage;
  APP_ProgressSetRange(_Flash.pDialog, (int)Start, (int)Total);
  if (Stage >= 0 && Stage <= 3) _Flash.aStage[Stage] = {Start, Total};
}

void APP_FlashProgressText(int Stage, const char* sText, uint32_t Size) {
  if (Stage < _Flash.HighestStage) return;
  if (sText) APP_ProgressSetText2(_Flash.pDialog, sText);
  APP_ProgressAddValue(_Flash.pDialog, (int)Size);
}

void APP_FlashProgressEnd(const char* sText1) {
  if (_Log.NumErrors == 0 && sText1) APP_ProgressSetText1(_Flash.pDialog, sText1);
  _Flash.Active = false;
}

void APP_FlashProgressGetStages(APP_FLASH_PROGRESS_STAGE aStage[4]) {
  for (int i = 0; i < 4; i++) aStage[i] = _Flash.aStage[i];
}

/*********************************************************************
 * Program log file
 */
void APP_SetLogSettings(const APP_LOG_SETTINGS* pSettings) {
  std::lock_guard<std::mutex> g(_LogFileLock);
  _LogSettings = pSettings ? *pSettings : APP_LOG_SETTINGS{};
}

void APP_SetLogFileOverride(const char* sPath) {
  std::lock_guard<std::mutex> g(_LogFileLock);
  UTIL_strcpy(_acLogFileOverride, sPath ? sPath : "", sizeof(_acLogFileOverride));
}

const char* APP_GetLogFileOverride(void) { return _acLogFileOverride; }
bool APP_IsLogFileOn(void) { return _LogFileOn; }

bool APP_IsLogEnabled(void) {
  std::lock_guard<std::mutex> g(_LogFileLock);
  return _IsLogEnabled();
}

void APP_SetLogFileOn(bool On) {
  std::lock_guard<std::mutex> Switch(_LogFileSwitchLock);
  if (On == _LogFileOn) return;
  APP_GUI_REQUESTS* pGUI = _pGUI;
  if (On) {
    char acPath[512] = "";
    APP_LOG_SETTINGS Settings;
    {
      std::lock_guard<std::mutex> g(_LogFileLock);
      UTIL_strcpy(acPath, _acLogFileOverride, sizeof(acPath));
      Settings = _LogSettings;
    }
    if (acPath[0] == 0 && !(Settings.pfGetPath && Settings.pfGetPath(acPath, sizeof(acPath)) && acPath[0])) {
      char acDir[512];
      SYS_PATH_GetSettingsDir(acDir, sizeof(acDir));
      SYS_PATH_Make(acPath, sizeof(acPath), nullptr, acDir, "TForge", "log");
    }
    int h = SYS_FILE_Open(acPath, 0x36);
    if (h < 0) {
      char acErr[1024];
      APP_FormatFileError(acPath, "open", acErr, sizeof(acErr));
      APP_WarningBox(acErr);
      return;
    }
    {
      std::lock_guard<std::mutex> g(_LogFileLock);
      _hLogFile = h;
    }
    if (pGUI) pGUI->SetLogWriter(_LogFileWriter);
    _LogFileOn = true;
  } else {
    if (pGUI) pGUI->SetLogWriter(nullptr);
    std::lock_guard<std::mutex> g(_LogFileLock);
    SYS_FILE_Close(_hLogFile);
    _hLogFile = -1;
    _LogFileOn = false;
  }
}
