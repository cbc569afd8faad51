/*
 * SETTINGS - the global settings file, the recent-file lists and the start-up switch.
 */
#include "project/SETTINGS.h"

#include <cstring>
#include <set>
#include <string>

#include "core/APP.h"
#include "core/APP_Log.h"
#include "data/DATAJOBS.h"
#include "sys/SYS.h"
#include "sys/UTIL.h"

namespace {

constexpr int kNumRetries = 40;
constexpr int kRetryDelayMs = 5;

struct SettingsStore {
  std::string Buf; // the whole file as text, never longer than SETTINGS_MAX_FILE_SIZE
  char acPath[512] = "";
  SYS_MUTEX* pLock = nullptr;
  bool Ready = false;
  std::set<std::string> Reported; // keys whose syntax error was already reported this run
};
SettingsStore _Store;

char _acTForgeLogOverride[512];
char _acXRelayLogOverride[512];

struct RecentList {
  char aacPath[SETTINGS_RECENT_MAX][SETTINGS_RECENT_PATH_SIZE];
  int Count;
  int Max;
  char acKey[300];
};
RecentList _aRecent[2];

// Errors are reported outside the lock; a report may read the log level, which reads the
// settings again (on this thread), and such a nested read must not report once more.
thread_local bool _InReport;

void _Report(const std::string& Text) {
  if (Text.empty() || _InReport) return;
  _InReport = true;
  APP_ErrorOut(Text.c_str());
  _InReport = false;
}

class Guard {
public:
  Guard() {
    if (_Store.pLock) SYS_MUTEX_Lock(_Store.pLock, -1);
  }
  ~Guard() {
    if (_Store.pLock) SYS_MUTEX_Unlock(_Store.pLock);
  }
};

bool _IsBlank(char c) {
  return c == ' ' || c == '\t';
}

bool _EqualNoCase(const std::string& s, size_t Pos, const char* sName) {
  size_t n = std::strlen(sName);
  if (Pos + n > s.size()) return false;
  return UTIL_strnicmp(s.c_str() + Pos, sName, (int)n) == 0;
}

size_t _NextLine(const std::string& s, size_t Pos) {
  size_t e = s.find('\n', Pos);
  return e == std::string::npos ? s.size() : e + 1;
}

// End of the text of the line at Pos (before CR LF).
size_t _LineEnd(const std::string& s, size_t Pos) {
  size_t e = Pos;
  while (e < s.size() && s[e] != '\r' && s[e] != '\n')
    e++;
  return e;
}

// Start of the body of the section, or npos.
size_t _FindSection(const std::string& s, const char* sSection) {
  size_t n = std::strlen(sSection);
  for (size_t p = 0; p < s.size(); p = _NextLine(s, p)) {
    if (s[p] == '[' && _EqualNoCase(s, p + 1, sSection) && p + 1 + n < s.size() && s[p + 1 + n] == ']') {
      return _NextLine(s, p);
    }
  }
  return std::string::npos;
}

size_t _SectionEnd(const std::string& s, size_t Body) {
  size_t p = Body;
  while (p < s.size() && s[p] != '[')
    p = _NextLine(s, p);
  return p;
}

// Start of the key's line within the section body, or npos.
size_t _FindKey(const std::string& s, size_t Body, const char* sKey) {
  size_t End = _SectionEnd(s, Body);
  size_t n = std::strlen(sKey);
  for (size_t p = Body; p < End; p = _NextLine(s, p)) {
    if (_EqualNoCase(s, p, sKey) && p + n < s.size() && (_IsBlank(s[p + n]) || s[p + n] == '=')) return p;
  }
  return std::string::npos;
}

// A section that is looked up and missing gets its header; it reaches the file with the next set.
size_t _FindOrAddSection(const char* sSection) {
  size_t Body = _FindSection(_Store.Buf, sSection);
  if (Body != std::string::npos) return Body;
  std::string Header;
  if (!_Store.Buf.empty() && _Store.Buf.back() != '\n') Header = "\r\n";
  Header.append("[").append(sSection).append("]\r\n");
  if (_Store.Buf.size() + Header.size() > SETTINGS_MAX_FILE_SIZE) return std::string::npos;
  _Store.Buf += Header;
  return _Store.Buf.size();
}

std::string _SyntaxError(const char* sKey) {
  char ac[300];
  if (sKey && sKey[0]) {
    UTIL_sprintf(ac, sizeof(ac), "Error while parsing subkey \"%s\" in settings file. Syntax error.", sKey);
  } else {
    UTIL_sprintf(ac, sizeof(ac), "Error while parsing settings file. Syntax error.");
  }
  return ac;
}

// Finds the value of the key: the position after the equals sign and the blanks behind it.
// npos when the key is missing; on a syntax error also npos with the texts in *pError.
size_t _FindValue(const char* sSection, const char* sKey, std::string* pError) {
  size_t Body = _FindOrAddSection(sSection);
  if (Body == std::string::npos) return Body;
  const std::string& s = _Store.Buf;
  size_t p = _FindKey(s, Body, sKey);
  if (p == std::string::npos) return p;
  p += std::strlen(sKey);
  while (p < s.size() && _IsBlank(s[p]))
    p++;
  if (p >= s.size() || s[p] != '=') {
    char c = (p < s.size() && s[p] != '\r' && s[p] != '\n') ? s[p] : ' ';
    char ac[64];
    UTIL_sprintf(ac, sizeof(ac), "Expected '%c', got '%c'", '=', c);
    *pError = std::string(ac) + "\n" + _SyntaxError(sKey);
    return std::string::npos;
  }
  p++;
  while (p < s.size() && _IsBlank(s[p]))
    p++;
  return p;
}

// A syntax error is reported once per key and run: the log level alone is read for every line.
void _ReportOnce(const char* sSection, const char* sKey, const std::string& Error) {
  if (Error.empty() || _InReport) return;
  std::string Id = std::string(sSection) + "/" + sKey;
  for (char& c : Id)
    c = (char)std::toupper((unsigned char)c);
  {
    Guard g;
    if (!_Store.Reported.insert(Id).second) return;
  }
  _Report(Error);
}

std::string _FileError(const char* sVerb) {
  char ac[1024];
  APP_FormatFileError(_Store.acPath, sVerb, ac, sizeof(ac));
  return ac;
}

// Writes the buffer over the file; the old file stays whole when anything fails.
std::string _WriteFile() {
  SYS_ATOMIC_FILE File;
  int r = -1;
  for (int i = 0; i < kNumRetries; i++) {
    r = SYS_FILE_BeginReplace(&File, _Store.acPath);
    if (r == 0) break;
    SYS_Sleep(kRetryDelayMs);
  }
  if (r < 0) return _FileError("save");
  char ac[700];
  UTIL_sprintf(ac, sizeof(ac), "Could not save file [%s]\nFailed to write data!", _Store.acPath);
  uint32_t n = (uint32_t)_Store.Buf.size();
  if (n && SYS_FILE_Write(File.hFile, _Store.Buf.data(), n) != (int)n) {
    SYS_FILE_AbortReplace(&File);
    return ac;
  }
  if (SYS_FILE_CommitReplace(&File) < 0) return ac;
  return "";
}

int _SetLine(const char* sSection, const char* sKey, const std::string& Line) {
  if (!_Store.Ready) return -1;
  std::string Error;
  {
    Guard g;
    std::string Old = _Store.Buf;
    size_t Body = _FindSection(_Store.Buf, sSection);
    if (Body != std::string::npos) {
      size_t p = _FindKey(_Store.Buf, Body, sKey);
      if (p != std::string::npos) _Store.Buf.erase(p, _NextLine(_Store.Buf, p) - p);
    }
    Body = _FindOrAddSection(sSection);
    if (Body == std::string::npos || _Store.Buf.size() + Line.size() > SETTINGS_MAX_FILE_SIZE) {
      _Store.Buf = Old;
      char ac[700];
      UTIL_sprintf(ac, sizeof(ac),
                   "Could not save file [%s]\nFile too large - maximum file size (%d bytes) exceeded!",
                   _Store.acPath, SETTINGS_MAX_FILE_SIZE);
      Error = ac;
    } else {
      _Store.Buf.insert(Body, Line);
      Error = _WriteFile(); // a failed write keeps the change in memory
    }
  }
  _Report(Error);
  return Error.empty() ? 0 : -1;
}

// Reads the file into the buffer; "" or the error text.
std::string _ReadFile() {
  int h = SYS_FILE_OpenEx(_Store.acPath, SYS_FILE_FLAG_READ | SYS_FILE_FLAG_SHARE_READ, kNumRetries,
                          kRetryDelayMs);
  if (h < 0) return _FileError("open");
  char ac[700];
  int64_t Size = SYS_FILE_GetSize64(h);
  if (Size > SETTINGS_MAX_FILE_SIZE) {
    SYS_FILE_Close(h);
    UTIL_sprintf(ac, sizeof(ac),
                 "Could not open file [%s]\nFile too large - maximum file size (%d bytes) exceeded!",
                 _Store.acPath, SETTINGS_MAX_FILE_SIZE);
    return ac;
  }
  std::string Buf(Size > 0 ? (size_t)Size : 0, '\0');
  int n = Buf.empty() ? 0 : SYS_FILE_Read(h, Buf.data(), (uint32_t)Buf.size());
  SYS_FILE_Close(h);
  if (Size < 0 || n != (int)Buf.size()) {
    UTIL_sprintf(ac, sizeof(ac), "Could not open file [%s]\nFailed to read data!", _Store.acPath);
    return ac;
  }
  // The text ends at a NUL, as it would in the fixed buffer.
  Buf.resize(std::strlen(Buf.c_str()));
  _Store.Buf = std::move(Buf);
  return "";
}

void _GetStringDefault(const char* sSection, const char* sKey, char* sDest, int DestSize,
                       const char* sDefault) {
  if (SETTINGS_GetString(sSection, sKey, sDest, DestSize) < 0) UTIL_strcpy(sDest, sDefault, DestSize);
}

int _GetIntDefault(const char* sSection, const char* sKey, int Default) {
  int v;
  return SETTINGS_GetInt(sSection, sKey, &v) < 0 ? Default : v;
}

void _LogDirFile(char* sDest, int DestSize, const char* sName) {
  char acDir[512] = "";
  SYS_PATH_GetSettingsDir(acDir, sizeof(acDir));
  UTIL_strcpy(sDest, acDir, DestSize);
  UTIL_strcat(sDest, sName, DestSize);
}

int _SetDirOf(const char* sKey, const char* sFilePath) {
  char acDir[512];
  SYS_PATH_GetDir(acDir, sizeof(acDir), sFilePath ? sFilePath : "");
  return SETTINGS_SetString("PATH", sKey, acDir);
}

// The log file follows its settings at once: off, on, or reopened at a new place.
void _ApplyLogFile(bool Reopen) {
  bool On = SETTINGS_GetEnableTForgeLog() != 0;
  if (Reopen || !On) APP_SetLogFileOn(false);
  if (On) APP_SetLogFileOn(true);
}

/*********************************************************************
 * Hooks for the application core
 */
int _LoadGlobalSettings(void) {
  return SETTINGS_Init(SETTINGS_FILE_NAME);
}

void _LoadRecentLists(void) {
  char acPrefix[128];
  UTIL_sprintf(acPrefix, sizeof(acPrefix), "%s\\", APP_REG_KEY);
  SETTINGS_RECENT_Init(SETTINGS_RECENT_DATA, acPrefix, SETTINGS_RECENT_MAX);
  SETTINGS_RECENT_Init(SETTINGS_RECENT_PROJECT, acPrefix, SETTINGS_RECENT_MAX);
}

const char* _GetCurrentProject(void) {
  static char acPath[512];
  if (SETTINGS_GetCurrentProject(acPath, sizeof(acPath)) < 0) acPath[0] = 0;
  return acPath;
}

bool _IsLogEnabled(void) {
  return SETTINGS_GetEnableTForgeLog() != 0;
}
bool _GetLogPath(char* sDest, int DestSize) {
  SETTINGS_GetTForgeLogFile(sDest, DestSize);
  return sDest[0] != 0;
}

void _WriteRecentList(RecentList* p) {
  SYS_REG_KEY* pKey = SYS_REG_CreateKey(SYS_REG_ROOT_CURRENT_USER, p->acKey);
  if (pKey == nullptr) return;
  for (int i = 0; i < p->Count; i++) {
    char acName[16];
    UTIL_sprintf(acName, sizeof(acName), "File%i", i + 1);
    SYS_REG_WriteValue(pKey, acName, SYS_REG_SZ, p->aacPath[i], (uint32_t)UTIL_strlen(p->aacPath[i]) + 1);
  }
  SYS_REG_CloseKey(pKey);
}

} // namespace

/*********************************************************************
 * The settings file
 */
int SETTINGS_Init(const char* sFileName) {
  // The data-file jobs sit below the settings: they reach the DataFiles directory and the
  // recent list through these, in place as soon as the settings exist.
  static const DATAJOBS_SETTINGS_HOOKS DataHooks = {SETTINGS_GetDataFilesDir, SETTINGS_SetDataFilesDir,
                                                    SETTINGS_AddRecentDataFile};
  DATAJOBS_SetSettingsHooks(&DataHooks);
  SETTINGS_Exit();
  _Store.pLock = SYS_MUTEX_Create(nullptr);
  if (_Store.pLock == nullptr) return -1;
  char acDir[512];
  if (SYS_PATH_GetAppDataDir(acDir, sizeof(acDir)) < 0) return -1;
  UTIL_sprintf(_Store.acPath, sizeof(_Store.acPath), "%s/%s", acDir,
               sFileName ? sFileName : SETTINGS_FILE_NAME);
  if (SYS_FILE_IsFile(_Store.acPath)) {
    std::string Error = _ReadFile();
    if (!Error.empty()) {
      _Report(Error);
      return -1;
    }
  }
  _Store.Ready = true;
  return 0;
}

void SETTINGS_Exit(void) {
  _Store.Ready = false;
  _Store.Buf.clear();
  _Store.Reported.clear();
  _Store.acPath[0] = 0;
  SYS_MUTEX_Delete(&_Store.pLock);
}

bool SETTINGS_IsReady(void) {
  return _Store.Ready;
}
const char* SETTINGS_GetFilePath(void) {
  return _Store.acPath;
}

int SETTINGS_GetString(const char* sSection, const char* sKey, char* sDest, int DestSize) {
  if (!_Store.Ready || sDest == nullptr || DestSize <= 0) return -1;
  std::string Error;
  int r = -1;
  {
    Guard g;
    size_t p = _FindValue(sSection, sKey, &Error);
    const std::string& s = _Store.Buf;
    if (p != std::string::npos) {
      size_t End = _LineEnd(s, p);
      size_t Close = s.rfind('"', End ? End - 1 : 0);
      if (p < End && s[p] == '"' && Close != std::string::npos && Close > p && Close < End &&
          (int)(Close - p - 1) < DestSize) {
        UTIL_strcpy(sDest, s.substr(p + 1, Close - p - 1).c_str(), DestSize);
        r = 0;
      } else {
        Error = _SyntaxError(sKey);
      }
    }
  }
  _ReportOnce(sSection, sKey, Error);
  return r;
}

int SETTINGS_GetInt(const char* sSection, const char* sKey, int* pValue) {
  if (!_Store.Ready || pValue == nullptr) return -1;
  std::string Error;
  int r = -1;
  {
    Guard g;
    size_t p = _FindValue(sSection, sKey, &Error);
    const std::string& s = _Store.Buf;
    if (p != std::string::npos) {
      // The list-element rules of the project format: optional sign, decimal digits, at least
      // the minimum, anything above the maximum taken as the maximum.
      bool Negative = false;
      if (p < s.size() && (s[p] == '-' || s[p] == '+')) Negative = s[p++] == '-';
      int64_t v = 0;
      size_t First = p;
      while (p < s.size() && s[p] >= '0' && s[p] <= '9') {
        if (v <= 0x7FFFFFFF) v = v * 10 + (s[p] - '0');
        p++;
      }
      if (p == First) {
        Error = "Expecting a number\n" + _SyntaxError(sKey);
      } else if (Negative && v > 0) {
        Error = "Expected a value >= 0\n" + _SyntaxError(sKey);
      } else {
        *pValue = (int)(v > 0x7FFFFFFF ? 0x7FFFFFFF : v);
        r = 0;
      }
    }
  }
  _ReportOnce(sSection, sKey, Error);
  return r;
}

int SETTINGS_SetString(const char* sSection, const char* sKey, const char* sText) {
  const char* s = sText ? sText : "";
  if (std::strpbrk(s, "\r\n")) {
    // A line break would end the value early and turn its rest into a line of its own.
    char ac[300];
    UTIL_sprintf(ac, sizeof(ac), "Could not store \"%s\" in settings file: the value holds a line break.",
                 sKey);
    _Report(ac);
    return -1;
  }
  return _SetLine(sSection, sKey, std::string(sKey) + "=\"" + s + "\"\r\n");
}

int SETTINGS_SetInt(const char* sSection, const char* sKey, int Value) {
  char ac[32];
  UTIL_sprintf(ac, sizeof(ac), " = %d\r\n", Value);
  return _SetLine(sSection, sKey, std::string(sKey) + ac);
}

/*********************************************************************
 * Keys
 */
int SETTINGS_GetCurrentProject(char* sDest, int DestSize) {
  int r = SETTINGS_GetString("PROJECT", "Current", sDest, DestSize);
  if (r < 0 && sDest && DestSize > 0) sDest[0] = 0;
  return r;
}

namespace {
int _AddRecent(int List, const char* sPath) {
  int r = (sPath && sPath[0]) ? SETTINGS_RECENT_Add(List, sPath) : -1;
  if (APP_GUI_REQUESTS* pGUI = APP_GetGUI()) pGUI->ReloadRecentMenus();
  return r;
}
} // namespace

int SETTINGS_SetCurrentProject(const char* sPath) {
  int r = SETTINGS_SetString("PROJECT", "Current", sPath);
  _AddRecent(SETTINGS_RECENT_PROJECT, sPath);
  return r;
}

int SETTINGS_AddRecentDataFile(const char* sPath) {
  return _AddRecent(SETTINGS_RECENT_DATA, sPath);
}

int SETTINGS_GetAutoSaveProject(void) {
  return _GetIntDefault("PROJECT", "AutoSaveProject", 0) ? 1 : 0;
}
int SETTINGS_SetAutoSaveProject(int On) {
  return SETTINGS_SetInt("PROJECT", "AutoSaveProject", On ? 1 : 0);
}

void SETTINGS_GetDataFilesDir(char* sDest, int DestSize) {
  char acDir[512] = "";
  SYS_PATH_GetModuleDir(acDir, sizeof(acDir));
  _GetStringDefault("PATH", "DataFiles", sDest, DestSize, acDir);
}
int SETTINGS_SetDataFilesDir(const char* sFilePath) {
  return _SetDirOf("DataFiles", sFilePath);
}

void SETTINGS_GetProjectFilesDir(char* sDest, int DestSize) {
  char acDir[512] = "";
  char acSamples[600];
  SYS_PATH_GetModuleDir(acDir, sizeof(acDir));
  UTIL_sprintf(acSamples, sizeof(acSamples), "%sSamples/TForge/ProjectFiles/", acDir);
  _GetStringDefault("PATH", "ProjectFiles", sDest, DestSize, SYS_FILE_IsDir(acSamples) ? acSamples : acDir);
}
int SETTINGS_SetProjectFilesDir(const char* sFilePath) {
  return _SetDirOf("ProjectFiles", sFilePath);
}

int SETTINGS_GetLogLevel(void) {
  int v = _GetIntDefault("LOG", "LogLevel", 3);
  return v < 1 ? 1 : (v > 9 ? 9 : v);
}
int SETTINGS_SetLogLevel(int Level) {
  return SETTINGS_SetInt("LOG", "LogLevel", Level);
}

int SETTINGS_GetEnableTForgeLog(void) {
  if (_acTForgeLogOverride[0]) return 1;
  return _GetIntDefault("LOG", "EnableTForgeLog", 0) ? 1 : 0;
}
int SETTINGS_SetEnableTForgeLog(int On) {
  int r = SETTINGS_SetInt("LOG", "EnableTForgeLog", On ? 1 : 0);
  _ApplyLogFile(false);
  return r;
}

// A log file path: the command line's override, else the setting, else the file in the log folder.
static void _GetLogFile(const char* sOverride, const char* sKey, const char* sDefaultName, char* sDest,
                        int DestSize) {
  if (sOverride[0]) {
    UTIL_strcpy(sDest, sOverride, DestSize);
    return;
  }
  char acDefault[512];
  _LogDirFile(acDefault, sizeof(acDefault), sDefaultName);
  _GetStringDefault("LOG", sKey, sDest, DestSize, acDefault);
}

void SETTINGS_GetTForgeLogFile(char* sDest, int DestSize) {
  _GetLogFile(_acTForgeLogOverride, "TForgeLogFile", "TForge.log", sDest, DestSize);
}
int SETTINGS_SetTForgeLogFile(const char* sPath) {
  char acOld[512];
  SETTINGS_GetTForgeLogFile(acOld, sizeof(acOld));
  int r = SETTINGS_SetString("LOG", "TForgeLogFile", sPath);
  char acNew[512];
  SETTINGS_GetTForgeLogFile(acNew, sizeof(acNew));
  if (APP_IsLogFileOn() && std::strcmp(acOld, acNew) != 0) _ApplyLogFile(true);
  return r;
}

int SETTINGS_GetEnableXRelayLog(void) {
  if (_acXRelayLogOverride[0]) return 1;
  return _GetIntDefault("LOG", "EnableXRelayLog", 0) ? 1 : 0;
}
int SETTINGS_SetEnableXRelayLog(int On) {
  return SETTINGS_SetInt("LOG", "EnableXRelayLog", On ? 1 : 0);
}

void SETTINGS_GetXRelayLogFile(char* sDest, int DestSize) {
  _GetLogFile(_acXRelayLogOverride, "XRelayLogFile", "XRelayARM.log", sDest, DestSize);
}
int SETTINGS_SetXRelayLogFile(const char* sPath) {
  return SETTINGS_SetString("LOG", "XRelayLogFile", sPath);
}

int SETTINGS_GetTimeoutCheckBlank(void) {
  return _GetIntDefault("TIMEOUT", "TimeoutCheckBlank", 5000);
}
int SETTINGS_SetTimeoutCheckBlank(int Ms) {
  return SETTINGS_SetInt("TIMEOUT", "TimeoutCheckBlank", Ms);
}
int SETTINGS_GetTimeoutCalcCRC(void) {
  return _GetIntDefault("TIMEOUT", "TimeoutCalcCRC", 5000);
}
int SETTINGS_SetTimeoutCalcCRC(int Ms) {
  return SETTINGS_SetInt("TIMEOUT", "TimeoutCalcCRC", Ms);
}
int SETTINGS_GetTimeoutReadBack(void) {
  return _GetIntDefault("TIMEOUT", "TimeoutReadBack", 5000);
}
int SETTINGS_SetTimeoutReadBack(int Ms) {
  return SETTINGS_SetInt("TIMEOUT", "TimeoutReadBack", Ms);
}

int SETTINGS_SetTForgeLogOverride(const char* sPath) {
  const char* s = sPath ? sPath : "";
  bool Refused = UTIL_strlen(s) >= (int)sizeof(_acTForgeLogOverride);
  UTIL_strcpy(_acTForgeLogOverride, Refused ? "" : s, sizeof(_acTForgeLogOverride));
  APP_SetLogFileOverride(_acTForgeLogOverride);
  _ApplyLogFile(true);
  return Refused ? -1 : 0;
}

int SETTINGS_SetXRelayLogOverride(const char* sPath) {
  const char* s = sPath ? sPath : "";
  bool Refused = UTIL_strlen(s) >= (int)sizeof(_acXRelayLogOverride);
  UTIL_strcpy(_acXRelayLogOverride, Refused ? "" : s, sizeof(_acXRelayLogOverride));
  return Refused ? -1 : 0;
}

const char* SETTINGS_GetXRelayLogOverride(void) {
  return _acXRelayLogOverride;
}

/*********************************************************************
 * Recent-file lists
 */
int SETTINGS_RECENT_Init(int List, const char* sKeyPrefix, int MaxEntries) {
  if (List < 0 || List > 1) return 0;
  RecentList* p = &_aRecent[List];
  p->Count = 0;
  p->Max = (MaxEntries < 1 || MaxEntries > SETTINGS_RECENT_MAX) ? SETTINGS_RECENT_MAX : MaxEntries;
  UTIL_sprintf(p->acKey, sizeof(p->acKey), "%sRecent File List %d\\", sKeyPrefix ? sKeyPrefix : "", List);
  SYS_REG_KEY* pKey = SYS_REG_OpenKey(SYS_REG_ROOT_CURRENT_USER, p->acKey);
  if (pKey == nullptr) return 0;
  while (p->Count < p->Max) {
    char acName[16];
    UTIL_sprintf(acName, sizeof(acName), "File%i", p->Count + 1);
    char acPath[SETTINGS_RECENT_PATH_SIZE];
    uint32_t Type = 0, Size = sizeof(acPath) - 1;
    if (SYS_REG_ReadValue(pKey, acName, &Type, acPath, &Size) != 0 || Type != SYS_REG_SZ) break;
    acPath[Size < sizeof(acPath) ? Size : sizeof(acPath) - 1] = 0;
    UTIL_strcpy(p->aacPath[p->Count++], acPath, SETTINGS_RECENT_PATH_SIZE);
  }
  SYS_REG_CloseKey(pKey);
  return p->Count;
}

int SETTINGS_RECENT_Add(int List, const char* sPath) {
  if (List < 0 || List > 1 || sPath == nullptr || sPath[0] == 0) return -1;
  if (UTIL_strlen(sPath) >= SETTINGS_RECENT_PATH_SIZE) return -1;
  RecentList* p = &_aRecent[List];
  if (p->Max == 0) p->Max = SETTINGS_RECENT_MAX;
  Guard g;
  for (int i = 0; i < p->Count; i++) {
    if (UTIL_stricmp(p->aacPath[i], sPath) == 0) {
      for (int j = i; j + 1 < p->Count; j++)
        UTIL_strcpy(p->aacPath[j], p->aacPath[j + 1], SETTINGS_RECENT_PATH_SIZE);
      p->Count--;
      break;
    }
  }
  if (p->Count < p->Max) p->Count++;
  for (int i = p->Count - 1; i > 0; i--)
    UTIL_strcpy(p->aacPath[i], p->aacPath[i - 1], SETTINGS_RECENT_PATH_SIZE);
  UTIL_strcpy(p->aacPath[0], sPath, SETTINGS_RECENT_PATH_SIZE);
  if (p->acKey[0] == 0) {
    UTIL_sprintf(p->acKey, sizeof(p->acKey), "%s\\Recent File List %d\\", APP_REG_KEY, List);
  }
  _WriteRecentList(p);
  return 0;
}

int SETTINGS_RECENT_GetCount(int List) {
  return (List < 0 || List > 1) ? 0 : _aRecent[List].Count;
}

int SETTINGS_RECENT_Get(int List, int Index, char* sDest, int DestSize) {
  if (List < 0 || List > 1 || Index < 0 || sDest == nullptr) return -1;
  Guard g;
  if (Index >= _aRecent[List].Count) return -1;
  UTIL_strcpy(sDest, _aRecent[List].aacPath[Index], DestSize);
  return 0;
}

uint32_t SETTINGS_GetDontShowAgain(void) {
  uint32_t Value = 0, Size = sizeof(Value), Type = 0;
  SYS_REG_KEY* pKey = SYS_REG_OpenKey(SYS_REG_ROOT_CURRENT_USER, APP_REG_KEY);
  if (SYS_REG_ReadValue(pKey, "DontShowAgainStartTForge", &Type, &Value, &Size) != 0 ||
      Type != SYS_REG_DWORD) {
    Value = 0;
  }
  SYS_REG_CloseKey(pKey);
  return Value;
}

int SETTINGS_SetDontShowAgain(uint32_t Value) {
  SYS_REG_KEY* pKey = SYS_REG_CreateKey(SYS_REG_ROOT_CURRENT_USER, APP_REG_KEY);
  if (pKey == nullptr) return -1;
  int r = SYS_REG_WriteValue(pKey, "DontShowAgainStartTForge", SYS_REG_DWORD, &Value, sizeof(Value));
  SYS_REG_CloseKey(pKey);
  return r == 0 ? 0 : -1;
}

/*********************************************************************
 * Jobs
 */
void SETTINGS_JobGetGlobalSettings(JobContext* pContext) {
  auto* p = static_cast<SETTINGS_GLOBAL_RECORD*>(pContext->pParams);
  if (p == nullptr) {
    pContext->Result = -1;
    return;
  }
  SETTINGS_GetTForgeLogFile(p->acTForgeLogFile, sizeof(p->acTForgeLogFile));
  SETTINGS_GetXRelayLogFile(p->acXRelayLogFile, sizeof(p->acXRelayLogFile));
  p->LogLevel = SETTINGS_GetLogLevel();
  p->AutoSaveProject = SETTINGS_GetAutoSaveProject();
  p->EnableTForgeLog = SETTINGS_GetEnableTForgeLog();
  p->EnableXRelayLog = SETTINGS_GetEnableXRelayLog();
  p->DontShowAgain = SETTINGS_GetDontShowAgain();
  pContext->Result = 0;
}

void SETTINGS_JobSetGlobalSettings(JobContext* pContext) {
  auto* p = static_cast<const SETTINGS_GLOBAL_RECORD*>(pContext->pParams);
  if (p == nullptr) {
    pContext->Result = -1;
    return;
  }
  int r = 0;
  r |= SETTINGS_SetTForgeLogFile(p->acTForgeLogFile);
  r |= SETTINGS_SetXRelayLogFile(p->acXRelayLogFile);
  r |= SETTINGS_SetLogLevel(p->LogLevel);
  r |= SETTINGS_SetAutoSaveProject(p->AutoSaveProject);
  r |= SETTINGS_SetEnableTForgeLog(p->EnableTForgeLog);
  r |= SETTINGS_SetEnableXRelayLog(p->EnableXRelayLog);
  r |= SETTINGS_SetDontShowAgain(p->DontShowAgain);
  pContext->Result = r ? -1 : 0;
}

void SETTINGS_InstallHooks(void) {
  APP_STARTUP_HOOKS* pHooks = APP_GetStartupHooks();
  pHooks->pfLoadGlobalSettings = _LoadGlobalSettings;
  pHooks->pfLoadRecentLists = _LoadRecentLists;
  pHooks->pfGetCurrentProject = _GetCurrentProject;
  APP_SetLogLevelSource(SETTINGS_GetLogLevel);
  static const APP_LOG_SETTINGS LogSettings = {_IsLogEnabled, _GetLogPath};
  APP_SetLogSettings(&LogSettings);
  APP_SetJobHandler(JOB_GET_GLOBAL_SETTINGS, SETTINGS_JobGetGlobalSettings);
  APP_SetJobHandler(JOB_SET_GLOBAL_SETTINGS, SETTINGS_JobSetGlobalSettings);
}
