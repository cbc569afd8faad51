/*
 * STAMPER_Files - files on the programmer.
 */
#include "stamper/STAMPER_Files.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/APP.h"
#include "core/APP_GUI.h"
#include "core/APP_Log.h"
#include "data/APP_File.h"
#include "data/CRC32.h"
#include "probe/PROBE.h"
#include "project/PROJECT.h"
#include "stamper/STAMPER.h"
#include "sys/SYS.h"
#include "sys/UTIL.h"

namespace {

// A programmer path: slashes become backslashes.
std::string _ProgPath(const char* s) {
  std::string r = s ? s : "";
  for (char& c : r)
    if (c == '/') c = '\\';
  return r;
}

// A programmer folder as a prefix: backslashes, ending in one unless it is the root.
std::string _ProgPrefix(const char* sFolder) {
  std::string r = _ProgPath(sFolder);
  while (!r.empty() && r[0] == '\\')
    r.erase(0, 1);
  if (!r.empty() && r.back() != '\\') r += '\\';
  return r;
}

bool _IsFile(const std::string& sPath) { return XRELAYARM_EMU_FILE_GetSize(sPath.c_str()) >= 0; }

// Deletes a file that is there; a missing one is no error.
int _DeleteIfThere(const std::string& sPath) {
  if (!_IsFile(sPath)) return 0;
  return XRELAYARM_EMU_FILE_Delete(sPath.c_str()) < 0 ? -1 : 0;
}

bool _IsCancelled(APP_PROGRESS* p) { return p && APP_ProgressIsCancelled(p) == 1; }

XRELAY_FOLDER_LIST_FUNC* _ListFunc(void) {
  return reinterpret_cast<XRELAY_FOLDER_LIST_FUNC*>(XRELAY_GetpFunc(XRELAY_PFUNC_FOLDER_LIST));
}
XRELAY_FILE_MOVE_FUNC* _MoveFunc(void) {
  return reinterpret_cast<XRELAY_FILE_MOVE_FUNC*>(XRELAY_GetpFunc(XRELAY_PFUNC_FILE_MOVE));
}

// Whether a file can be written under a temporary name and renamed when complete.
bool _CanRename(void) { return XRELAYARM_EMU_HasCapEx(XRELAYARM_CAP_EX_FILE_BROWSE) && _MoveFunc() != nullptr; }

/*
 * Writes one file: created empty, then the bytes in pieces at increasing offsets. Where the
 * programmer renames, the bytes go to "<path>.part" first and the complete file replaces the
 * old one; a failure deletes the partial file either way. -1 (reported).
 */
int _WriteFile(const char* sProgName, const std::string& sPath, const STAMPER_DOWNLOAD_ENTRY& e,
               APP_PROGRESS* pProgress) {
  bool Rename = _CanRename();
  std::string sWrite = Rename ? sPath + ".part" : sPath;
  _DeleteIfThere(sWrite);
  if (XRELAYARM_EMU_FILE_Write(sWrite.c_str(), nullptr, 0, 0) < 0) {
    APP_ErrorOutf("Could not create \"%s\" (%d bytes) on %s.", sPath.c_str(), (int)e.NumBytes, sProgName);
    _DeleteIfThere(sWrite);
    return -1;
  }
  uint32_t Offset = 0, Total = (uint32_t)e.NumBytes;
  while (Offset < Total) {
    uint32_t n = Total - Offset < STAMPER_PIECE_SIZE ? Total - Offset : STAMPER_PIECE_SIZE;
    if (XRELAYARM_EMU_FILE_Write(sWrite.c_str(), e.pData + Offset, Offset, n) != (int)n) {
      APP_ErrorOutf("Error while writing file content to %s. Offset: %d. NumBytes Remaining: %d FileName: %s.",
                    sProgName, (int)Offset, (int)(Total - Offset), sPath.c_str());
      _DeleteIfThere(sWrite);
      return -1;
    }
    Offset += n;
    if (pProgress) APP_ProgressAddValue(pProgress, (int)n);
    if (Offset < Total && _IsCancelled(pProgress)) {
      APP_ErrorOut("Download canceled by user");
      _DeleteIfThere(sWrite);
      return -1;
    }
  }
  if (Rename && (_DeleteIfThere(sPath) < 0 || _MoveFunc()(sWrite.c_str(), sPath.c_str()) < 0)) {
    APP_ErrorOutf("Could not create \"%s\" (%d bytes) on %s.", sPath.c_str(), (int)e.NumBytes, sProgName);
    _DeleteIfThere(sWrite);
    return -1;
  }
  return 0;
}

} // namespace

int STAMPER_DownloadFiles(const char* sProgName, const char* sDestPrefix, const STAMPER_DOWNLOAD_ENTRY* paEntry,
                          int NumEntries, APP_PROGRESS* pProgress) {
  int r = 0;
  if (!XRELAYARM_EMU_HasCapEx(XRELAYARM_CAP_EX_FILE_IO)) {
    APP_ErrorOut("Connected programmer does not support file download.");
    r = -1;
  }
  for (int i = 0; r == 0 && i < NumEntries; i++) {
    const STAMPER_DOWNLOAD_ENTRY& e = paEntry[i];
    std::string sPath = _ProgPath((std::string(sDestPrefix ? sDestPrefix : "") + e.acName).c_str());
    if (e.NumBytes < 0) {
      APP_LogOutf("Removing \"%s\" from %s...", sPath.c_str(), sProgName);
      if (_DeleteIfThere(sPath) < 0) {
        APP_ErrorOutf("Failed to delete '%s'.", sPath.c_str());
        r = -1;
      }
    } else {
      APP_LogOutf("Downloading \"%s\" (%d bytes) to %s ...", sPath.c_str(), (int)e.NumBytes, sProgName);
      APP_LogOutf("Downloading (%d bytes, CRC: 0x%.8X) ...", (int)e.NumBytes, e.Crc);
      if (pProgress) {
        char ac[640];
        UTIL_sprintf(ac, sizeof(ac), "Downloading \"%s\" to \"%s\"...", e.acName, sProgName);
        APP_ProgressSetText1(pProgress, ac);
        APP_ProgressSetRange(pProgress, 0, e.NumBytes);
      }
      r = _WriteFile(sProgName, sPath, e, pProgress);
    }
    if (r == 0 && _IsCancelled(pProgress)) {
      APP_ErrorOut("Download canceled by user");
      r = -1;
    }
  }
  if (r != 0) APP_ErrorOutf("Failed to download file%s", NumEntries == 1 ? "" : "s");
  return r;
}

namespace {

int _DownloadToGang(const PROJECT_GENERAL& G, const STAMPER_DOWNLOAD_ENTRY* paEntry, int NumEntries,
                    APP_PROGRESS* pProgress) {
  const STAMPER_HOOKS* pHooks = STAMPER_GetHooks();
  if (!G.UseATEModuleSelection) {
    APP_ErrorOut("Gang programmer module selection inactive.\nSet gang programmer module selection at\nProject "
                 "Settings -> General");
    return -1;
  }
  int r = 0, NumSelected = 0;
  for (int m = 1; m <= 24 && r == 0; m++) {
    if (!G.aATEModuleSel[m - 1]) continue;
    NumSelected++;
    char ac[64];
    UTIL_sprintf(ac, sizeof(ac), "Connecting to module %d...", m);
    if (pProgress) APP_ProgressSetText1(pProgress, ac);
    if (pHooks->pfSelectGangModule == nullptr || pHooks->pfSelectGangModule(m) != 0) {
      r = -1;
      break;
    }
    UTIL_sprintf(ac, sizeof(ac), "Module %d", m);
    r = STAMPER_DownloadFiles(ac, "", paEntry, NumEntries, pProgress);
  }
  if (NumSelected == 0) {
    APP_ErrorOut("No gang programmer modules selected at\nProject Settings -> General");
    return -1;
  }
  if (pHooks->pfSelectGangModule) pHooks->pfSelectGangModule(0);
  return r;
}

} // namespace

int STAMPER_DownloadToProgrammer(const STAMPER_DOWNLOAD_ENTRY* paEntry, int NumEntries) {
  const STAMPER_HOOKS* pHooks = STAMPER_GetHooks();
  APP_GUI_REQUESTS* pGUI = APP_GetGUI();
  if (pGUI) pGUI->EnableGUI(false);
  int r = -1;
  PROJECT_GENERAL G;
  PROJECT_TIF T;
  if (PROJECT_GetGeneral(&G) < 0 || PROJECT_GetTIF(&T) < 0) {
    APP_ErrorOut("No project file opened.");
  } else if (pHooks->pfConnect == nullptr || pHooks->pfConnect() != 0) {
    // the connection has reported why
  } else if (const char* sRefusal = pHooks->pfCheckStandAloneCore ? pHooks->pfCheckStandAloneCore() : nullptr) {
    APP_ErrorOut(sRefusal);
  } else if (T.TargetIF == XRELAYARM_TIF_FINE) {
    APP_ErrorOut("FINE interface is not supported in stand-alone mode.");
  } else {
    APP_PROGRESS* pProgress = APP_ProgressCreate("", 0);
    if (pHooks->pfIsGangProgrammer && pHooks->pfIsGangProgrammer()) {
      r = _DownloadToGang(G, paEntry, NumEntries, pProgress);
    } else if (G.UseATEModuleSelection) {
      APP_ErrorOut("The connected probe/ programmer is not a gang programmer,\nbut the gang programmer module "
                   "selection is checked at\nProject Settings -> General");
    } else {
      r = STAMPER_DownloadFiles("Programmer", "", paEntry, NumEntries, pProgress);
    }
    APP_ProgressDone(pProgress);
    APP_ProgressDelete(&pProgress);
  }
  if (pGUI) pGUI->EnableGUI(true);
  return r;
}

namespace {

void _Entry(STAMPER_DOWNLOAD_ENTRY* p, const char* sName, const uint8_t* pData, uint32_t NumBytes) {
  UTIL_strcpy(p->acName, sName, sizeof(p->acName));
  p->pData = pData;
  p->NumBytes = (int32_t)NumBytes;
  p->Crc = CRC32_Update(0, pData, NumBytes);
}

// Ends a download job: the success box or the failure text.
int _Finish(int r) {
  if (r == 0) {
    APP_MsgBox("Successfully downloaded files to Stamper.", "OK", nullptr, 0, APP_ICON_INFO, 0);
  } else {
    APP_ErrorOut("Failed to download files to probe / programmer.");
  }
  return r;
}

} // namespace

int STAMPER_DownloadStamperFiles(void) {
  APP_LogBegin("Downloading file(s) to probe / programmer...");
  STAMPER_FILE Dat{}, Cfg{};
  int r = STAMPER_BuildDataFile(&Dat);
  if (r == 0) r = STAMPER_BuildConfigFile(&Cfg);
  if (r == 0) {
    STAMPER_DOWNLOAD_ENTRY a[2];
    _Entry(&a[0], "Stamper.dat", Dat.pData, Dat.NumBytes);
    _Entry(&a[1], "Stamper.cfg", Cfg.pData, Cfg.NumBytes);
    r = STAMPER_DownloadToProgrammer(a, 2);
  }
  STAMPER_FreeFile(&Dat);
  STAMPER_FreeFile(&Cfg);
  _Finish(r);
  APP_LogEnd(nullptr);
  return r;
}

int STAMPER_DownloadSNFiles(void) {
  APP_LogBegin("Downloading serial number file to emulator...");
  char acSerial[512], acList[512];
  PROJECT_GetSerialFileName(acSerial, sizeof(acSerial));
  PROJECT_GetSNListFileName(acList, sizeof(acList));
  int r = 0;
  std::vector<uint8_t> Serial;
  if (!SYS_FILE_IsFile(acSerial)) {
    PROJECT_PRODUCTION P;
    PROJECT_GetProduction(&P);
    char ac[16];
    UTIL_sprintf(ac, sizeof(ac), "%d", (int)P.SNValue);
    r = APP_SaveFile(acSerial, ac, (uint32_t)std::strlen(ac));
    Serial.assign(ac, ac + std::strlen(ac));
  } else {
    uint32_t n = 0;
    uint8_t* p = static_cast<uint8_t*>(APP_LoadFileEx(acSerial, 0, nullptr, 0, -1, &n, true));
    if (p == nullptr) {
      r = -1;
    } else {
      Serial.assign(p, p + n);
      SYS_MEM_Free(p);
    }
  }
  if (Serial.empty() || Serial.back() != 0) Serial.push_back(0);
  uint8_t* pList = nullptr;
  uint32_t NumList = 0;
  if (r == 0 && SYS_FILE_IsFile(acList)) {
    pList = static_cast<uint8_t*>(APP_LoadFileEx(acList, 0, nullptr, 0, -1, &NumList, true));
    if (pList == nullptr) r = -1;
  }
  if (r == 0) {
    STAMPER_DOWNLOAD_ENTRY a[2];
    _Entry(&a[0], "Serial.txt", Serial.data(), (uint32_t)Serial.size());
    if (pList) _Entry(&a[1], "SNList.txt", pList, NumList);
    r = STAMPER_DownloadToProgrammer(a, pList ? 2 : 1);
  }
  SYS_MEM_Free(pList);
  _Finish(r);
  APP_LogEnd(nullptr);
  return r;
}

/*********************************************************************
 * Upload
 */
namespace {

int _UploadFile(const char* sProgName, const std::string& sSrc, int Size, const char* sPCFolder,
                const std::string& sDest) {
  APP_LogOutf("Uploading \"%s\" (%d bytes) from %s to %s ...", sSrc.c_str(), Size, sProgName, sPCFolder);
  char ac[1200];
  UTIL_sprintf(ac, sizeof(ac), "Uploading \"%s\" from %s to %s ...", sSrc.c_str(), sProgName, sPCFolder);
  APP_PROGRESS* pProgress = APP_ProgressCreate(ac, 0);
  APP_ProgressSetRange(pProgress, 0, Size);
  int r = 0;
  SYS_ATOMIC_FILE f;
  if (SYS_FILE_BeginReplace(&f, sDest.c_str()) != 0) {
    APP_ErrorOutf("Could not create \"%s\" on %s.", sDest.c_str(), "PC");
    r = -1;
  }
  uint32_t BufSize = (uint64_t)Size * 2 < STAMPER_PIECE_SIZE ? (uint32_t)Size * 2 : STAMPER_PIECE_SIZE;
  uint8_t* pBuf = nullptr;
  if (r == 0) {
    pBuf = static_cast<uint8_t*>(SYS_MEM_Alloc(BufSize ? BufSize : 1, "APP.c: Stamper file upload tmp. buffer"));
    if (pBuf == nullptr) {
      APP_ErrorOut("Insufficient memory!");
      r = -1;
    }
  }
  for (int Offset = 0; r == 0 && Offset < Size;) {
    uint32_t n = (uint32_t)(Size - Offset) < BufSize ? (uint32_t)(Size - Offset) : BufSize;
    if (XRELAYARM_EMU_FILE_Read(sSrc.c_str(), pBuf, (uint32_t)Offset, n) != (int)n) {
      APP_ErrorOutf("Error while reading file content from %s. Offset: %d. NumBytes Remaining: %d FileName: %s.",
                    sProgName, Offset, Size - Offset, sSrc.c_str());
      r = -1;
    } else if (SYS_FILE_Write(f.hFile, pBuf, n) != (int)n) {
      APP_ErrorOutf("Error while writing to file. Offset: %d. NumBytes Remaining: %d FileName: %s.", Offset,
                    Size - Offset, sDest.c_str());
      r = -1;
    } else {
      Offset += (int)n;
      APP_ProgressAddValue(pProgress, (int)n);
      if (_IsCancelled(pProgress)) {
        APP_ErrorOut("Download canceled by user");
        r = -1;
      }
    }
  }
  SYS_MEM_Free(pBuf);
  if (f.hFile >= 0) {
    if (r == 0 && SYS_FILE_CommitReplace(&f) != 0) {
      APP_ErrorOutf("Error while writing to file. Offset: %d. NumBytes Remaining: %d FileName: %s.", Size, 0,
                    sDest.c_str());
      r = -1;
    } else if (r != 0) {
      SYS_FILE_AbortReplace(&f);
    }
  }
  APP_ProgressDone(pProgress);
  APP_ProgressDelete(&pProgress);
  return r;
}

// The entries of a programmer folder, without the folder itself and its parent; -1 (reported)
// when it cannot be listed or holds more than STAMPER_MAX_FOLDER_ENTRIES.
int _ListFolder(const char* sProgName, const std::string& sFolder, const char* sPCFolder,
                std::vector<std::string>* pNames) {
  XRELAY_FOLDER_LIST_FUNC* pfList = _ListFunc();
  if (pfList == nullptr) {
    APP_ErrorOut("The connected probe/ programmer does not support file I/O.");
    return -1;
  }
  int Cap = 1, n = 0;
  std::unique_ptr<XRELAYARM_FOLDER_ENTRY[]> pa;
  for (;;) {
    pa.reset(new (std::nothrow) XRELAYARM_FOLDER_ENTRY[Cap]);
    if (!pa) {
      APP_ErrorOut("Insufficient memory!");
      return -1;
    }
    n = pfList(sFolder.c_str(), pa.get(), Cap);
    if (n < 0) {
      APP_ErrorOutf("Failed to parse files in '%s'", sFolder.c_str());
      return -1;
    }
    if (n <= Cap || Cap >= STAMPER_MAX_FOLDER_ENTRIES) break;
    Cap = Cap * 2 > STAMPER_MAX_FOLDER_ENTRIES ? STAMPER_MAX_FOLDER_ENTRIES : Cap * 2;
  }
  if (n > STAMPER_MAX_FOLDER_ENTRIES) {
    APP_ErrorOutf("Failed to upload \"%s\" from %s to %s. Max. number of entries reached (%d)...", sFolder.c_str(),
                  sProgName, sPCFolder, (int)STAMPER_MAX_FOLDER_ENTRIES);
    return -1;
  }
  for (int i = 0; i < n; i++) {
    const char* s = pa[i].acName;
    if (std::strcmp(s, ".") == 0 || std::strcmp(s, "..") == 0) continue;
    pNames->emplace_back(s);
  }
  return 0;
}

} // namespace

int STAMPER_Upload(const char* sProgName, const char* sFolder, const char* sPCFolder, const char* const* pasNames,
                   int NumNames, int Depth) {
  char acPC[512];
  UTIL_strcpy(acPC, sPCFolder, sizeof(acPC));
  SYS_PATH_ToNative(acPC);
  size_t Len = std::strlen(acPC);
  while (Len > 1 && acPC[Len - 1] == '/')
    acPC[--Len] = 0;
  if (!SYS_FILE_IsDir(acPC) && SYS_DIR_Create(acPC) != 0) {
    APP_ErrorOutf("Could not create \"%s\" on %s.", acPC, "PC");
    return -1;
  }
  std::string sPrefix = _ProgPath(sFolder);
  for (int i = 0; i < NumNames; i++) {
    std::string sSrc = sPrefix + _ProgPath(pasNames[i]);
    std::string sDest = std::string(acPC) + "/" + pasNames[i];
    int Size = XRELAYARM_EMU_FILE_GetSize(sSrc.c_str());
    if (Size >= 0) {
      if (_UploadFile(sProgName, sSrc, Size, acPC, sDest) != 0) return -1;
      continue;
    }
    if (Depth <= 0) {
      APP_ErrorOutf("Failed to upload \"%s\" from %s to %s. Max. folder depth reached (%d)...", sSrc.c_str(),
                    sProgName, acPC, (int)STAMPER_MAX_FOLDER_DEPTH);
      return -1;
    }
    std::vector<std::string> aNames;
    if (_ListFolder(sProgName, sSrc, acPC, &aNames) != 0) return -1;
    std::vector<const char*> as;
    for (const std::string& s : aNames)
      as.push_back(s.c_str());
    if (STAMPER_Upload(sProgName, (sSrc + "\\").c_str(), sDest.c_str(), as.data(), (int)as.size(), Depth - 1) != 0)
      return -1;
  }
  return 0;
}

/*********************************************************************
 * Download of local files and folders (browser action 3)
 */
namespace {

struct LocalFile {
  std::string sPath; // on the PC
  std::string sName; // below the folder it was dropped from, with backslashes
};

struct DirWalk {
  std::vector<std::string> aFiles, aDirs;
};
void _OnDirEntry(const SYS_FILE_INFO* p, void* pUser) {
  DirWalk* w = static_cast<DirWalk*>(pUser);
  if (std::strcmp(p->sName, ".") == 0 || std::strcmp(p->sName, "..") == 0) return;
  (p->Attributes & SYS_FILE_ATTR_DIRECTORY ? w->aDirs : w->aFiles).emplace_back(p->sName);
}

int _CollectFolder(const std::string& sDir, const std::string& sName, int Depth, std::vector<LocalFile>* pOut) {
  if (Depth > STAMPER_MAX_FOLDER_DEPTH) {
    APP_ErrorOutf("Failed to parse files in '%s', exceeded max. folder depth (%d).", sDir.c_str(),
                  (int)STAMPER_MAX_FOLDER_DEPTH);
    return -1;
  }
  DirWalk w;
  if (SYS_DIR_List(sDir.c_str(), _OnDirEntry, &w) < 0) {
    APP_ErrorOutf("Failed to parse files in '%s'", sDir.c_str());
    return -1;
  }
  for (const std::string& f : w.aFiles)
    pOut->push_back({sDir + "/" + f, sName + "\\" + f});
  for (const std::string& d : w.aDirs)
    if (_CollectFolder(sDir + "/" + d, sName + "\\" + d, Depth + 1, pOut) != 0) return -1;
  return 0;
}

int _DownloadLocal(const std::string& sPrefix, const char* const* pasPaths, int NumPaths) {
  std::vector<LocalFile> aFiles;
  for (int i = 0; i < NumPaths; i++) {
    std::string sPath = pasPaths[i];
    while (sPath.size() > 1 && sPath.back() == '/')
      sPath.pop_back();
    char acName[256];
    UTIL_strcpy(acName, sPath.c_str() + sPath.rfind('/') + 1, sizeof(acName));
    if (SYS_FILE_IsDir(sPath.c_str())) {
      if (_CollectFolder(sPath, acName, 1, &aFiles) != 0) return -1;
    } else {
      aFiles.push_back({sPath, acName});
    }
  }
  std::vector<STAMPER_DOWNLOAD_ENTRY> aEntry(aFiles.size());
  std::vector<std::unique_ptr<uint8_t, int (*)(void*)>> aData;
  for (size_t i = 0; i < aFiles.size(); i++) {
    uint32_t n = 0;
    uint8_t* p = static_cast<uint8_t*>(APP_LoadFileEx(aFiles[i].sPath.c_str(), 0, nullptr, 0, -1, &n, true));
    if (p == nullptr) return -1;
    aData.emplace_back(p, SYS_MEM_Free);
    _Entry(&aEntry[i], aFiles[i].sName.c_str(), p, n);
  }
  APP_PROGRESS* pProgress = APP_ProgressCreate("", 0);
  int r = STAMPER_DownloadFiles("Programmer", sPrefix.c_str(), aEntry.data(), (int)aEntry.size(), pProgress);
  APP_ProgressDone(pProgress);
  APP_ProgressDelete(&pProgress);
  return r;
}

int _Identify(STAMPER_FILE_REQUEST* p) {
  const STAMPER_HOOKS* pHooks = STAMPER_GetHooks();
  if (pHooks->pfConnect == nullptr || pHooks->pfConnect() != 0) return -1;
  if (!XRELAYARM_EMU_HasCapEx(XRELAYARM_CAP_EX_FILE_IO) || !XRELAYARM_EMU_HasCapEx(XRELAYARM_CAP_EX_FILE_BROWSE) ||
      _ListFunc() == nullptr || _MoveFunc() == nullptr) {
    APP_ErrorOut("The connected probe/ programmer does not support file I/O.");
    return -1;
  }
  uint8_t ab[33] = {};
  bool HasNick = XRELAYARM_ReadEmuConfigMem(ab, 80, 32) >= 0 && ab[0] != 0 && ab[0] != 0xFF;
  if (HasNick) {
    UTIL_sprintf(p->acDisplayName, sizeof(p->acDisplayName), "'%s'", reinterpret_cast<const char*>(ab));
  } else {
    UTIL_sprintf(p->acDisplayName, sizeof(p->acDisplayName), "S/N %d", XRELAYARM_GetSN());
  }
  return 0;
}

int _NewFolder(const std::string& sPrefix, const char* sName) {
  std::string s = sPrefix + _ProgPath(sName) + "\\tmp.txt";
  uint8_t b = 0;
  if (XRELAYARM_EMU_FILE_Write(s.c_str(), nullptr, 0, 0) < 0 || XRELAYARM_EMU_FILE_Write(s.c_str(), &b, 0, 1) != 1) {
    APP_ErrorOutf("Could not create \"%s\" (%d bytes) on %s.", s.c_str(), 1, "Programmer");
    _DeleteIfThere(s);
    return -1;
  }
  return XRELAYARM_EMU_FILE_Delete(s.c_str()) < 0 ? -1 : 0;
}

int _Move(const std::string& sFrom, const std::string& sTo) {
  XRELAY_FILE_MOVE_FUNC* pfMove = _MoveFunc();
  if (pfMove == nullptr || pfMove(sFrom.c_str(), sTo.c_str()) < 0) {
    APP_ErrorOutf("Failed to move '%s' to '%s'.", sFrom.c_str(), sTo.c_str());
    return -1;
  }
  return 0;
}

} // namespace

int STAMPER_ExecFileAction(STAMPER_FILE_REQUEST* p) {
  std::string sPrefix = _ProgPrefix(p->acPath);
  int r = 0;
  switch (p->Action) {
  case STAMPER_ACTION_IDENTIFY: r = _Identify(p); break;
  case STAMPER_ACTION_LIST: {
    XRELAY_FOLDER_LIST_FUNC* pfList = _ListFunc();
    r = pfList ? pfList(_ProgPath(p->acPath).c_str(), p->paEntries, p->MaxEntries) : XRELAYARM_ERR_NOT_SUPPORTED;
    break;
  }
  case STAMPER_ACTION_NEW_FOLDER: r = _NewFolder(sPrefix, p->acName); break;
  case STAMPER_ACTION_DOWNLOAD: r = _DownloadLocal(sPrefix, p->pasNames, p->NumNames); break;
  case STAMPER_ACTION_UPLOAD:
    r = STAMPER_Upload("Programmer", sPrefix.c_str(), p->acPCFolder, p->pasNames, p->NumNames,
                       STAMPER_MAX_FOLDER_DEPTH);
    break;
  case STAMPER_ACTION_MOVE:
    for (int i = 0; r == 0 && i < p->NumNames; i++)
      r = _Move(sPrefix + _ProgPath(p->pasNames[i]), sPrefix + _ProgPath(p->acName) + "\\" + _ProgPath(p->pasNames[i]));
    break;
  case STAMPER_ACTION_DELETE:
    for (int i = 0; r == 0 && i < p->NumNames; i++) {
      std::string s = sPrefix + _ProgPath(p->pasNames[i]);
      if (XRELAYARM_EMU_FILE_Delete(s.c_str()) < 0) {
        APP_ErrorOutf("Failed to delete '%s'.", s.c_str());
        r = -1;
      }
    }
    break;
  case STAMPER_ACTION_RENAME:
    r = _Move(sPrefix + _ProgPath(p->acName), sPrefix + _ProgPath(p->acNewName));
    break;
  case STAMPER_ACTION_END:
    APP_CreateJob(JOB_UPDATE_MENU_BAR, "UpdateMenuBar", nullptr, 0, nullptr, nullptr);
    break;
  default: r = -1; break;
  }
  p->Result = r;
  return r;
}

/*********************************************************************
 * The jobs
 */
namespace {

// "Save stamper config file" / "Save stamper data file": the parameter is a path, empty to ask.
void _SaveCfgJob(JobContext* pContext) {
  pContext->Result = STAMPER_SaveConfigFile(static_cast<const char*>(pContext->pParams));
}
void _SaveDatJob(JobContext* pContext) {
  pContext->Result = STAMPER_SaveDataFile(static_cast<const char*>(pContext->pParams));
}
void _DownloadJob(JobContext* pContext) { pContext->Result = STAMPER_DownloadStamperFiles(); }
void _DownloadSNJob(JobContext* pContext) { pContext->Result = STAMPER_DownloadSNFiles(); }
// The parameter block holds a pointer to the browser's request, which its completion frees.
void _FileActionJob(JobContext* pContext) {
  STAMPER_FILE_REQUEST* p = *static_cast<STAMPER_FILE_REQUEST**>(pContext->pParams);
  pContext->Result = STAMPER_ExecFileAction(p);
  if (p->pfCompletion) p->pfCompletion(p);
}

} // namespace

void STAMPER_InstallJobs(void) {
  APP_SetJobHandler(JOB_SAVE_EMU_CONFIG_FILE, _SaveCfgJob);
  APP_SetJobHandler(JOB_SAVE_EMU_DATA_FILE, _SaveDatJob);
  APP_SetJobHandler(JOB_DOWNLOAD_CONFIG_FILES, _DownloadJob);
  APP_SetJobHandler(JOB_DOWNLOAD_SN_FILES, _DownloadSNJob);
  APP_SetJobHandler(JOB_STAMPER_FILE_ACTION, _FileActionJob);
}
