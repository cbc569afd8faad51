/*
 * DATAJOBS - the jobs run on the worker thread; windows are created and shown through the
 * GUI requests, never touched here.
 */
#include "data/DATAJOBS.h"

#include <cstring>
#include <vector>

#include "core/APP.h"
#include "core/APP_GUI.h"
#include "core/APP_Log.h"
#include "data/APP_File.h"
#include "data/DATAFILE.h"
#include "data/DATAIMAGE.h"
#include "sys/UTIL.h"

namespace {

struct DataWindowInfo {
  SYS_TIME FileTime;
  char acPath[512]; // empty: not backed by a file
  bool ReloadDeclined;
  CHexEditor* pWin;
  DataImage* pImage; // owned
};

std::vector<DataWindowInfo> _aWin; // grows by doubling, up to DATAJOBS_MAX_WINDOWS
DATAJOBS_PROJECT_HOOKS _Project;
DATAJOBS_SETTINGS_HOOKS _Settings;
uint32_t _LastStartAddr;

class AppLock {
public:
  AppLock() : _p(APP_GetAppLock()) { _Ok = SYS_MUTEX_Lock(_p, -1) == 0; }
  ~AppLock() {
    if (_Ok) SYS_MUTEX_Unlock(_p);
  }
  AppLock(const AppLock&) = delete;
  AppLock& operator=(const AppLock&) = delete;

private:
  SYS_MUTEX* _p;
  bool _Ok;
};

// A top-level log operation: its errors end in one error box (which, while the command line
// runs, fails the run), never in the box of whatever operation comes next.
class LogOperation {
public:
  explicit LogOperation(const char* sText) { APP_LogBegin(sText); }
  ~LogOperation() { APP_LogEnd(nullptr); }
  LogOperation(const LogOperation&) = delete;
  LogOperation& operator=(const LogOperation&) = delete;
};

// The routing of reader and writer messages: log line, warning, error.
void _RouteMsg(void*, int Level, const char* sText) {
  if (Level == 0) {
    APP_LogOut(sText);
  } else if (Level == 1) {
    APP_WarnOut(sText);
  } else {
    APP_ErrorOut(sText);
  }
}

const char* _Plural(uint32_t n) { return n == 1 ? "" : "s"; }

bool _IsProjectOpen() { return _Project.pfIsProjectOpen && _Project.pfIsProjectOpen(); }

void _SetStatus(const char* sText) {
  if (APP_GUI_REQUESTS* pGUI = APP_GetGUI()) pGUI->SetStatusField(APP_STATUS_GENERAL, sText);
}

DataWindowInfo* _Find(CHexEditor* pWin) {
  for (auto& w : _aWin) {
    if (w.pWin == pWin) return &w;
  }
  return nullptr;
}

DataWindowInfo* _Current() {
  APP_GUI_REQUESTS* pGUI = APP_GetGUI();
  CHexEditor* pWin = pGUI ? pGUI->GetCurDataWindow() : nullptr;
  DataWindowInfo* p = pWin ? _Find(pWin) : nullptr;
  if (p == nullptr && !_aWin.empty() && pGUI == nullptr) p = &_aWin.back(); // no GUI: the latest window
  return p;
}

bool _GetFileTime(const char* sPath, SYS_TIME* pTime) {
  int h = SYS_FILE_Open(sPath, SYS_FILE_FLAG_READ | SYS_FILE_FLAG_SHARE_READ);
  if (h < 0) return false;
  bool ok = SYS_FILE_GetTime(h, nullptr, pTime) == 0;
  SYS_FILE_Close(h);
  return ok;
}

// Asks for one hexadecimal value; false when cancelled or nobody can answer.
bool _AskHex(const char* sTitle, const char* sLabel, int64_t* pValue, int64_t Min, int64_t Max) {
  APP_GUI_REQUESTS* pGUI = APP_GetGUI();
  if (pGUI == nullptr || APP_IsCmdLineActive()) return false;
  EditValueField f{Min, Max, pValue, sLabel, 1};
  return pGUI->ShowEditValueDialog(sTitle, &f, 1) == 0;
}

bool _AskRange(DataImage* pImage, uint32_t* pFirst, uint32_t* pLast) {
  APP_GUI_REQUESTS* pGUI = APP_GetGUI();
  if (pGUI == nullptr || APP_IsCmdLineActive()) return false;
  int64_t first = DATAIMAGE_GetStartAddr(pImage), last = DATAIMAGE_GetEndAddr(pImage);
  EditValueField af[2] = {{0, 0xFFFFFFFF, &first, "Start address (hex)", 1}, {0, 0xFFFFFFFF, &last, "End address (hex)", 1}};
  if (pGUI->ShowEditValueDialog(" Enter address range", af, 2) != 0) return false;
  *pFirst = (uint32_t)first;
  *pLast = (uint32_t)last;
  return true;
}

// Start address of a binary file: given, or asked for. False when cancelled.
bool _GetStartAddr(const char* sTitle, bool Has, uint32_t Given, uint32_t* pAddr) {
  if (Has) {
    *pAddr = Given;
    return true;
  }
  int64_t v = _LastStartAddr;
  if (v == 0 && _IsProjectOpen() && _Project.pfGetCurBankBase) v = _Project.pfGetCurBankBase();
  if (!_AskHex(sTitle, "Start address (hex)", &v, 0, 0xFFFFFFFF)) return false;
  *pAddr = (uint32_t)v;
  return true;
}

// Reads a data file into a new image (log lines and CRCs as "Open data file" gives them);
// the image, or null (reported, nothing left behind).
DataImage* _ReadDataFile(const char* sPath, bool HasAddr, uint32_t Addr, uint32_t* pStartAddr, bool* pCancelled) {
  *pCancelled = false;
  DataImage* pImage = DATAIMAGE_Create();
  if (pImage == nullptr) {
    APP_ErrorOut("Insufficient memory!");
    return nullptr;
  }
  char ac[1024];
  UTIL_sprintf(ac, sizeof(ac), "Opening data file [%s] ...", sPath);
  APP_LogOut(ac);
  uint32_t start = 0;
  if (DATAFILE_NeedsStartAddr(DATAFILE_GetType(sPath))) {
    if (!_GetStartAddr("Enter start address", HasAddr, Addr, &start)) {
      *pCancelled = true;
      DATAIMAGE_Delete(pImage);
      return nullptr;
    }
    _LastStartAddr = start;
  } else if (_IsProjectOpen() && _Project.pfGetDataFileSAddr) {
    start = _Project.pfGetDataFileSAddr();
  }
  if (DATAFILE_Read(_RouteMsg, nullptr, pImage, sPath, start) != 0) {
    DATAIMAGE_Delete(pImage); // a failed reader leaves no half-filled image behind
    return nullptr;
  }
  *pStartAddr = start;
  return pImage;
}

void _LogOpened(DataImage* pImage, const char* sPath) {
  uint32_t fileCrc = 0;
  uint32_t n = DATAIMAGE_GetNumRanges(pImage);
  if (APP_CalcFileCRC(sPath, &fileCrc) != 0) {
    APP_LogOut("Failed to open data file for CRC calculation.");
    return;
  }
  char ac[512];
  UTIL_sprintf(ac, sizeof(ac),
               "Data file opened successfully (%d bytes, %d range%s, CRC of data = 0x%.8X, CRC of file = 0x%.8X)",
               (int)DATAIMAGE_GetNumBytes(pImage), (int)n, _Plural(n), DATAIMAGE_CalcCRC(pImage), fileCrc);
  APP_LogOut(ac);
}

void _StoreInProject(const char* sPath, uint32_t StartAddr) {
  if (!_IsProjectOpen() || _Project.pfSetDataFile == nullptr) return;
  if (std::strlen(sPath) >= 512) {
    APP_ErrorOut("Too large file name.");
    return;
  }
  _Project.pfSetDataFile(sPath, StartAddr);
}

// Enters the image in the list and shows it; 0, or -1 (image freed).
int _AddWindow(DataImage* pImage, const char* sTitle, const char* sPath) {
  if (_aWin.size() >= DATAJOBS_MAX_WINDOWS) {
    char ac[256];
    UTIL_sprintf(ac, sizeof(ac), "Failed to create data window.\nMaximum number of data windows (%d) reached.",
                 (int)DATAJOBS_MAX_WINDOWS);
    APP_ErrorOut(ac);
    DATAIMAGE_Delete(pImage);
    return -1;
  }
  DataWindowInfo w{};
  if (sPath) {
    UTIL_strcpy(w.acPath, sPath, sizeof(w.acPath));
    _GetFileTime(sPath, &w.FileTime);
  }
  w.pImage = pImage;
  APP_GUI_REQUESTS* pGUI = APP_GetGUI();
  w.pWin = pGUI ? pGUI->CreateDataWindow(pImage, sTitle) : nullptr;
  if (_aWin.capacity() == _aWin.size()) _aWin.reserve(_aWin.empty() ? 4 : std::min<size_t>(2 * _aWin.size(), 32));
  _aWin.push_back(w);
  return 0;
}

// A file dialog that starts in the DataFiles directory and remembers the directory chosen.
// False when cancelled or nobody can answer.
bool _AskDataFilePath(bool Save, const char* sTitle, const char* sFilter, const char* sSelectedFilter, char* sPath,
                      int PathSize) {
  APP_GUI_REQUESTS* pGUI = APP_GetGUI();
  if (pGUI == nullptr || APP_IsCmdLineActive()) return false;
  sPath[0] = 0;
  if (_Settings.pfGetDataFilesDir) _Settings.pfGetDataFilesDir(sPath, PathSize);
  int r = Save ? pGUI->ShowFileDialogSave(sPath, PathSize, sTitle, sFilter, sSelectedFilter)
               : pGUI->ShowFileDialogOpen(sPath, PathSize, sTitle, sFilter, sSelectedFilter);
  if (r != 0 || sPath[0] == 0) return false;
  if (_Settings.pfSetDataFilesDir) _Settings.pfSetDataFilesDir(sPath);
  return true;
}

void _AddRecentDataFile(const char* sPath) {
  if (_Settings.pfAddRecentDataFile) _Settings.pfAddRecentDataFile(sPath);
}

bool _SameTime(const SYS_TIME& a, const SYS_TIME& b) { return std::memcmp(&a, &b, sizeof(a)) == 0; }

void _RefreshWindow(DataWindowInfo* p) {
  if (APP_GUI_REQUESTS* pGUI = APP_GetGUI()) {
    if (p->pWin) pGUI->UpdateDataWindow(p->pWin, p->pImage);
  }
}

DataWindowInfo* _RequireCurrent(const char* sFailure) {
  DataWindowInfo* p = _Current();
  if (p == nullptr) {
    APP_ErrorOut("No data file open. Please ensure that you have opened a data file.");
    if (sFailure) APP_ErrorOut(sFailure);
  }
  return p;
}

} // namespace

/*********************************************************************
 * Job-level operations
 */
int DATAJOBS_OpenFile(const char* sPathIn, uint32_t StartAddr, bool HasStartAddr) {
  char acPath[512];
  UTIL_strcpy(acPath, sPathIn ? sPathIn : "", sizeof(acPath));
  SYS_PATH_ToNative(acPath);
  char acExt[64];
  SYS_PATH_GetExt(acExt, sizeof(acExt), acPath);
  if (UTIL_stricmp(acExt, ".tforge") == 0) {
    if (_Project.pfOpenProject) _Project.pfOpenProject(acPath);
    return 0;
  }
  AppLock lock;
  LogOperation op("Open data file");
  bool cancelled = false;
  uint32_t start = 0;
  DataImage* pImage = _ReadDataFile(acPath, HasStartAddr, StartAddr, &start, &cancelled);
  if (pImage == nullptr) {
    if (cancelled) {
      APP_ErrorOutf("Failed to open data file.\nNo start address given for %s", acPath);
    } else {
      APP_ErrorOut("Failed to open data file");
      _SetStatus("Failed to open data file");
    }
    return -1;
  }
  _StoreInProject(acPath, start);
  _LogOpened(pImage, acPath);
  int r = _AddWindow(pImage, acPath, acPath);
  if (r == 0) {
    _AddRecentDataFile(acPath);
    _SetStatus("Ready");
  }
  return r;
}

int DATAJOBS_MergeFile(const char* sPathIn, uint32_t Addr, bool HasAddr) {
  char acPath[512];
  UTIL_strcpy(acPath, sPathIn ? sPathIn : "", sizeof(acPath));
  SYS_PATH_ToNative(acPath);
  AppLock lock;
  LogOperation op("Merge data file");
  DataWindowInfo* pCur = _RequireCurrent("Failed to merge data file");
  if (pCur == nullptr) return -1;
  APP_LogOutf("Merging data file [%s] ...", acPath);
  uint32_t start = 0;
  if (DATAFILE_NeedsStartAddr(DATAFILE_GetType(acPath)) &&
      !_GetStartAddr(" Enter start address", HasAddr, Addr, &start)) {
    APP_ErrorOutf("Failed to merge data file.\nNo start address given for %s", acPath);
    return -1;
  }
  DataImage* pNew = DATAIMAGE_Create();
  if (pNew == nullptr || DATAFILE_Read(_RouteMsg, nullptr, pNew, acPath, start) != 0) {
    DATAIMAGE_Delete(pNew);
    APP_ErrorOut("Failed to merge data file");
    return -1;
  }
  int r = 0;
  if (DATAIMAGE_Overlaps(pCur->pImage, pNew)) {
    int answer = APP_MsgBox("Address ranges of selected data files overlap.\nSecond data file will overwrite overlap "
                            "regions of first one.\nShall data files be merged?",
                            "Yes", "No", 0, APP_ICON_QUESTION, 1);
    if (answer != 0) {
      DATAIMAGE_Delete(pNew);
      return 0; // nothing changed
    }
    for (uint32_t i = 0, n = DATAIMAGE_GetNumRanges(pNew); i < n; i++) {
      uint32_t s = 0, len = 0;
      DATAIMAGE_GetRange(pNew, i, &s, &len);
      DATAIMAGE_DeleteRange(pCur->pImage, s, s + len - 1);
    }
  }
  if (DATAIMAGE_Merge(pCur->pImage, pNew) != 0) {
    APP_LogOut("Data files have not been merged.");
    r = -1;
  } else {
    uint32_t n = DATAIMAGE_GetNumRanges(pCur->pImage);
    APP_LogOutf("Data files merged successfully (%d bytes, %d range%s, CRC = 0x%.8X)",
                (int)DATAIMAGE_GetNumBytes(pCur->pImage), (int)n, _Plural(n), DATAIMAGE_CalcCRC(pCur->pImage));
  }
  DATAIMAGE_Delete(pNew);
  _RefreshWindow(pCur);
  return r;
}

int DATAJOBS_SaveFile(const char* sPathIn, uint32_t First, uint32_t Last, bool HasRange) {
  AppLock lock;
  LogOperation op("Save data file");
  DataWindowInfo* pCur = _RequireCurrent("Failed to save data file");
  if (pCur == nullptr) return -1;
  char acPath[512];
  UTIL_strcpy(acPath, sPathIn ? sPathIn : pCur->acPath, sizeof(acPath));
  SYS_PATH_ToNative(acPath);
  if (acPath[0] == 0 &&
      !_AskDataFilePath(true, "Save data file as", DATAFILE_FILTER_SAVE, nullptr, acPath, sizeof(acPath))) {
    APP_ErrorOut("Failed to save data file");
    return -1;
  }
  APP_LogOutf("Saving data file [%s] ...", acPath);
  int type = DATAFILE_GetType(acPath);
  if (!DATAFILE_CanWrite(type)) {
    char ac[600];
    DATAFILE_FormatUnsupported(ac, sizeof(ac), acPath);
    APP_ErrorOut(ac);
    APP_ErrorOut("Failed to save data file");
    return -1;
  }
  DataImage* pImage = pCur->pImage;
  if (DATAFILE_NeedsAddrRange(type) && !HasRange) {
    if (APP_IsCmdLineActive() || APP_GetGUI() == nullptr) { // the whole image
      First = DATAIMAGE_GetStartAddr(pImage);
      Last = DATAIMAGE_GetEndAddr(pImage);
    } else if (!_AskRange(pImage, &First, &Last)) {
      APP_ErrorOut("Failed to save data file");
      return -1;
    }
  }
  if (DATAFILE_Write(pImage, acPath, First, Last, _RouteMsg, nullptr) != 0) {
    APP_ErrorOut("Failed to save data file");
    return -1;
  }
  UTIL_strcpy(pCur->acPath, acPath, sizeof(pCur->acPath));
  pCur->ReloadDeclined = false;
  _GetFileTime(acPath, &pCur->FileTime);
  _StoreInProject(acPath, DATAFILE_NeedsAddrRange(type) ? First : _LastStartAddr);
  _AddRecentDataFile(acPath);
  uint32_t n = DATAIMAGE_GetNumRanges(pImage);
  APP_LogOutf("Data file saved successfully (%d bytes, %d range%s)", (int)DATAIMAGE_GetNumBytes(pImage), (int)n,
              _Plural(n));
  _SetStatus("Ready");
  return 0;
}

int DATAJOBS_Relocate(int32_t Offset) {
  AppLock lock;
  DataWindowInfo* pCur = _RequireCurrent(nullptr);
  if (pCur == nullptr) return -1;
  if (Offset == 0) return 0;
  if (DATAIMAGE_Relocate(pCur->pImage, Offset) != 0) {
    APP_ErrorOutf("Could not relocate data by 0x%X: the data would leave the 32-bit address space.",
                  (unsigned)Offset);
    return -1;
  }
  _RefreshWindow(pCur);
  return 0;
}

int DATAJOBS_DeleteRange(uint32_t First, uint32_t Last) {
  AppLock lock;
  DataWindowInfo* pCur = _RequireCurrent(nullptr);
  if (pCur == nullptr) return -1;
  if (DATAIMAGE_DeleteRange(pCur->pImage, First, Last) != 0) {
    APP_ErrorOut("Insufficient memory!");
    return -1;
  }
  _RefreshWindow(pCur);
  return 0;
}

int DATAJOBS_Eliminate(void) {
  AppLock lock;
  LogOperation op("Eliminating blank areas ...");
  DataWindowInfo* pCur = _RequireCurrent("Failed to eliminate blank areas");
  if (pCur == nullptr) return -1;
  DataImage* p = pCur->pImage;
  APP_LogOutf("%d bytes (%d ranges) before eliminate operation", (int)DATAIMAGE_GetNumBytes(p),
              (int)DATAIMAGE_GetNumRanges(p));
  if (DATAIMAGE_EliminateBlank(p, 64, 2, 2) != 0) {
    APP_ErrorOut("Failed to eliminate blank areas");
    return -1;
  }
  _RefreshWindow(pCur);
  APP_LogOutf("%d bytes (%d ranges) after eliminate operation", (int)DATAIMAGE_GetNumBytes(p),
              (int)DATAIMAGE_GetNumRanges(p));
  APP_LogOut("Blank areas eliminated successfully");
  return 0;
}

int DATAJOBS_CheckModifications(CHexEditor* pWin) {
  AppLock lock;
  for (size_t i = 0; i < _aWin.size(); i++) {
    DataWindowInfo& w = _aWin[i];
    if ((pWin && w.pWin != pWin) || w.acPath[0] == 0 || w.ReloadDeclined) continue;
    char acText[1200];
    SYS_TIME t{};
    if (!_GetFileTime(w.acPath, &t)) {
      UTIL_sprintf(acText, sizeof(acText),
                   "The data file at\n\n%s\n\nwas deleted or moved to a different location.\nShould the data window "
                   "be closed?",
                   w.acPath);
      w.acPath[0] = 0; // asked once
      if (APP_MsgBox(acText, "Keep data window open", "Close data window", 0, APP_ICON_QUESTION, 0) == 1) {
        if (APP_GUI_REQUESTS* pGUI = APP_GetGUI()) pGUI->CloseDataWindow(w.pWin);
      }
      continue;
    }
    if (_SameTime(t, w.FileTime)) continue;
    UTIL_sprintf(acText, sizeof(acText),
                 "The data file at\n\n%s\n\nwas modified outside of %s.\nShould the data window be reloaded?",
                 w.acPath, APP_PRODUCT_NAME);
    if (APP_MsgBox(acText, "Reload", "Do not reload", 0, APP_ICON_QUESTION, 1) != 0) {
      w.ReloadDeclined = true;
      continue;
    }
    bool cancelled = false;
    uint32_t start = 0;
    char acPath[512];
    UTIL_strcpy(acPath, w.acPath, sizeof(acPath));
    DataImage* pNew = _ReadDataFile(acPath, false, 0, &start, &cancelled);
    if (pNew == nullptr) {
      APP_ErrorOut("Failed to open data file");
      if (APP_GUI_REQUESTS* pGUI = APP_GetGUI()) pGUI->CloseDataWindow(w.pWin);
      continue;
    }
    _LogOpened(pNew, acPath);
    DataImage* pOld = w.pImage;
    w.pImage = pNew;
    w.FileTime = t;
    _RefreshWindow(&w); // the window shows the new image before the old one goes
    DATAIMAGE_Delete(pOld);
  }
  return 0;
}

int DATAJOBS_OnWindowClosed(CHexEditor* pWin) {
  AppLock lock;
  for (size_t i = 0; i < _aWin.size(); i++) {
    if (_aWin[i].pWin != pWin) continue;
    DATAIMAGE_Delete(_aWin[i].pImage);
    _aWin.erase(_aWin.begin() + (long)i);
    return 0;
  }
  return -1;
}

int DATAJOBS_AddImageWindow(DataImage* pImage, const char* sTitle, const char* sPath) {
  AppLock lock;
  return _AddWindow(pImage, sTitle, sPath);
}

int DATAJOBS_GetNumWindows(void) {
  AppLock lock;
  return (int)_aWin.size();
}

DataImage* DATAJOBS_GetCurImage(void) {
  AppLock lock;
  DataWindowInfo* p = _Current();
  return p ? p->pImage : nullptr;
}

DataImage* DATAJOBS_GetImage(CHexEditor* pWin) {
  AppLock lock;
  DataWindowInfo* p = _Find(pWin);
  return p ? p->pImage : nullptr;
}

void DATAJOBS_SetProjectHooks(const DATAJOBS_PROJECT_HOOKS* pHooks) {
  _Project = pHooks ? *pHooks : DATAJOBS_PROJECT_HOOKS{};
}

void DATAJOBS_SetSettingsHooks(const DATAJOBS_SETTINGS_HOOKS* pHooks) {
  _Settings = pHooks ? *pHooks : DATAJOBS_SETTINGS_HOOKS{};
}

/*********************************************************************
 * Job handlers
 */
namespace {
template <class T> const T* _Params(JobContext* p) { return static_cast<const T*>(p->pParams); }

void _JobOpen(JobContext* pContext) {
  const auto* p = _Params<DATAJOBS_FILE_PARAMS>(pContext);
  char acPath[512] = "";
  if (p) UTIL_strcpy(acPath, p->acPath, sizeof(acPath));
  if (acPath[0] == 0 &&
      !_AskDataFilePath(false, "Open data file", DATAFILE_FILTER_OPEN, nullptr, acPath, sizeof(acPath))) {
    return;
  }
  pContext->Result = DATAJOBS_OpenFile(acPath, p ? p->Addr : 0, p && p->HasAddr);
}

void _JobMerge(JobContext* pContext) {
  const auto* p = _Params<DATAJOBS_FILE_PARAMS>(pContext);
  char acPath[512] = "";
  if (p) UTIL_strcpy(acPath, p->acPath, sizeof(acPath));
  if (acPath[0] == 0 && !_AskDataFilePath(false, "Merge data file", DATAFILE_FILTER_SAVE,
                                           DATAFILE_FILTER_MERGE_DEFAULT, acPath, sizeof(acPath))) {
    return;
  }
  pContext->Result = DATAJOBS_MergeFile(acPath, p ? p->Addr : 0, p && p->HasAddr);
}

// The menu's "Save data file" on a window whose outside change the user declined to reload:
// overwrite it or save elsewhere. 0 overwrite, 1 save as a different file, -1 the box was closed.
int _AskOverwriteModified(const char* sPath) {
  char ac[1200];
  UTIL_sprintf(ac, sizeof(ac), "The data file at\n\n%s\n\nwas modified outside of %s.\nShould the file be overwritten?",
               sPath, APP_PRODUCT_NAME);
  return APP_ShowMsgBox("Save modified data file", nullptr, ac, "Overwrite", "Save as different file", 0, nullptr,
                        nullptr, APP_ICON_QUESTION, -1, 0);
}

void _JobSave(JobContext* pContext) {
  const auto* p = _Params<DATAJOBS_FILE_PARAMS>(pContext);
  const char* sPath = (p && p->acPath[0]) ? p->acPath : nullptr;
  bool SaveAs = p && p->SaveAs;
  if (!SaveAs && sPath == nullptr) {
    char acOwn[512] = "";
    bool Declined = false;
    {
      AppLock lock;
      if (DataWindowInfo* pCur = _Current()) {
        UTIL_strcpy(acOwn, pCur->acPath, sizeof(acOwn));
        Declined = pCur->ReloadDeclined;
      }
    }
    if (acOwn[0] && Declined) {
      int answer = _AskOverwriteModified(acOwn);
      if (answer < 0) return;
      SaveAs = answer == 1;
    }
  }
  if (SaveAs && sPath == nullptr) {
    char acPath[512] = "";
    if (!_AskDataFilePath(true, "Save data file as", DATAFILE_FILTER_SAVE, nullptr, acPath, sizeof(acPath))) return;
    pContext->Result = DATAJOBS_SaveFile(acPath, p ? p->Addr : 0, p ? p->LastAddr : 0, p && p->HasAddr);
    return;
  }
  pContext->Result = DATAJOBS_SaveFile(sPath, p ? p->Addr : 0, p ? p->LastAddr : 0, p && p->HasAddr);
}

void _JobRelocate(JobContext* pContext) {
  const auto* p = _Params<DATAJOBS_RANGE_PARAMS>(pContext);
  int64_t offset = p ? (int32_t)p->Addr : 0;
  if ((p == nullptr || !p->HasValue) && !_AskHex("Enter offset", "Offset (hex)", &offset, INT32_MIN, INT32_MAX)) return;
  pContext->Result = DATAJOBS_Relocate((int32_t)offset);
}

void _JobDeleteRange(JobContext* pContext) {
  const auto* p = _Params<DATAJOBS_RANGE_PARAMS>(pContext);
  uint32_t first = p ? p->Addr : 0, last = p ? p->LastAddr : 0;
  if (p == nullptr || !p->HasValue) {
    DataImage* pImage = DATAJOBS_GetCurImage();
    if (pImage == nullptr || !_AskRange(pImage, &first, &last)) return;
  }
  pContext->Result = DATAJOBS_DeleteRange(first, last);
}

void _JobEliminate(JobContext* pContext) { pContext->Result = DATAJOBS_Eliminate(); }

void _JobCheckModifications(JobContext* pContext) {
  // The main window posts a 32-bit 0 for "all windows" or the window's pointer.
  CHexEditor* pWin = nullptr;
  if (pContext->pParams && *static_cast<const uint32_t*>(pContext->pParams) != 0) {
    std::memcpy(&pWin, pContext->pParams, sizeof(pWin));
  }
  pContext->Result = DATAJOBS_CheckModifications(pWin);
}

void _JobWindowClose(JobContext* pContext) {
  CHexEditor* pWin = nullptr;
  if (pContext->pParams) std::memcpy(&pWin, pContext->pParams, sizeof(pWin));
  pContext->Result = DATAJOBS_OnWindowClosed(pWin);
}
} // namespace

void DATAJOBS_Init(void) {
  APP_SetJobHandler(JOB_OPEN_DATA_FILE, _JobOpen);
  APP_SetJobHandler(JOB_MERGE_DATA_FILE, _JobMerge);
  APP_SetJobHandler(JOB_SAVE_DATA_FILE, _JobSave);
  APP_SetJobHandler(JOB_CHECK_FILE_MODIFICATIONS, _JobCheckModifications);
  APP_SetJobHandler(JOB_RELOCATE_DATA, _JobRelocate);
  APP_SetJobHandler(JOB_DELETE_DATA_RANGE, _JobDeleteRange);
  APP_SetJobHandler(JOB_ELIMINATE_BLANK, _JobEliminate);
  APP_SetJobHandler(JOB_DATA_WINDOW_CLOSE, _JobWindowClose);
}
