/*
 * MCUDB - device cache, loader-information cache and the flash device list.
 */
#include "mcudb/MCUDB.h"

#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>

#include "core/APP.h"
#include "core/APP_GUI.h"
#include "core/APP_Log.h"
#include "mcudb/MCUDB_Jobs.h"
#include "sys/SYS.h"
#include "sys/UTIL.h"

static_assert(sizeof(SectorRegion) == sizeof(XRELAYARM_SECTOR_REGION), "one layout record on both sides");
static_assert(sizeof(XRELAYARM_DEVICE_INFO) == XRELAYARM_DEVICE_INFO_SIZE, "the library's record size");

namespace {

struct DeviceEntry {
  bool Loaded;
  MCUDB_DEVICE_INFO Info;
};

struct LoaderSlot {
  bool Used;
  char acName[MCUDB_LOADER_NAME_SIZE];
  XRELAYARM_LOADER_DESC Desc;
  CMSISInfo Algo; // the algorithm part: no image
};

// One lock for both caches and the flash list: the worker fills them, the GUI thread reads names.
std::recursive_mutex _Lock;
DeviceEntry* _paDevice; // tag "MCUDB.c: Device list"
int _NumDevices;        // as the library reports them
int _NumEntries;        // entries of the cache (indices past _NumDevices that answer too)
std::unordered_set<std::string>* _pNamePool; // device and bank names
std::unordered_set<std::string>* _pManuPool;
LoaderSlot* _paSlot; // tag "MCUDB.c: Loader info cache"
int _SlotDevice = -1;
FLASHCSV_LIST* _pFlashList;

const char* _Pool(std::unordered_set<std::string>*& pPool, const char* s) {
  if (pPool == nullptr) pPool = new std::unordered_set<std::string>;
  return pPool->insert(s ? s : "").first->c_str();
}

void _SetStatus(const char* sText) {
  if (APP_GUI_REQUESTS* pGUI = APP_GetGUI()) pGUI->SetStatusField(APP_STATUS_GENERAL, sText);
}

void _CopyRegions(SectorRegion* paDest, const XRELAYARM_SECTOR_REGION* paSrc, uint32_t MaxRegions) {
  std::memset(paDest, 0, sizeof(SectorRegion) * MCUDB_MAX_REGIONS);
  if (paSrc == nullptr) return;
  for (uint32_t i = 0; i < MaxRegions && i < MCUDB_MAX_REGIONS && paSrc[i].NumSectors; i++) {
    paDest[i] = SectorRegion{paSrc[i].NumSectors, paSrc[i].SectorSize, paSrc[i].Offset};
  }
}

int _GetLoaderDesc(int Index, uint32_t BankAddr, const char* sLoaderName, XRELAYARM_LOADER_DESC* pDesc) {
  auto pf = reinterpret_cast<XRELAY_LOADER_DESC_FUNC*>(XRELAY_GetpFunc(XRELAY_PFUNC_LOADER_DESC));
  if (pf == nullptr) return -1;
  std::memset(pDesc, 0, sizeof(*pDesc));
  pDesc->SizeOfStruct = sizeof(*pDesc);
  return pf(Index, BankAddr, 0, sLoaderName, pDesc) < 0 ? -1 : 0;
}

bool _IsCMSISKind(uint32_t Kind) {
  return Kind == MCUDB_LOADER_KIND_CMSIS_FILE || Kind == MCUDB_LOADER_KIND_CMSIS_IMAGE;
}

int _ParseDesc(const XRELAYARM_LOADER_DESC& Desc, const SectorRegion* paDev, CMSISInfo* pInfo) {
  return MCUDB_ParseFlashLoader(int(Desc.LoaderKind), Desc.pImage, Desc.ImageSize, Desc.sAlgoFile, paDev,
                                Desc.sScriptFile, pInfo, 0);
}

// Fills cache entry Index from the library; 0 or -1. Called with the lock held.
int _Load(int Index) {
  if (_paDevice == nullptr || Index < 0 || Index >= _NumEntries) return -1;
  DeviceEntry& e = _paDevice[Index];
  if (e.Loaded) return 0;
  XRELAYARM_DEVICE_INFO di{};
  di.SizeOfStruct = XRELAYARM_DEVICE_INFO_SIZE;
  if (XRELAYARM_DEVICE_GetInfo(Index, &di) < 0) return -1;
  MCUDB_DEVICE_INFO& d = e.Info;
  std::memset(&d, 0, sizeof(d));
  d.sName = _Pool(_pNamePool, di.sName);
  d.sManu = _Pool(_pManuPool, di.sManu);
  d.sFamily = _Pool(_pNamePool, di.sFamily);
  d.Core = di.Core;
  d.Index = Index;
  d.RAMAddr = di.RAMAddr;
  d.RAMSize = di.RAMSize;
  d.EndianMode = di.EndianMode;
  for (uint32_t b = 0; b < di.NumBanks && b < MCUDB_MAX_BANKS && di.aFlashBank[b].paSectors; b++) {
    const XRELAYARM_FLASH_BANK_INFO& Src = di.aFlashBank[b];
    MCUDB_BANK& Bank = d.aBank[b];
    Bank.BaseAddr = Src.BaseAddr;
    Bank.sName = _Pool(_pNamePool, Src.sName);
    Bank.LoaderKind = Src.LoaderKind;
    _CopyRegions(Bank.aRegion, Src.paSectors, Src.NumRegions);
    d.NumBanks = int(b) + 1;
    if (!_IsCMSISKind(Src.LoaderKind)) continue;
    XRELAYARM_LOADER_DESC Desc;
    if (_GetLoaderDesc(Index, Src.BaseAddr, "Default", &Desc) < 0) continue;
    auto* pInfo = static_cast<CMSISInfo*>(SYS_MEM_Alloc(sizeof(CMSISInfo), "MCUDB.c: pCMSISInfo"));
    if (pInfo == nullptr) continue;
    // A loader that does not parse leaves the bank without a description; its own messages say why.
    if (_ParseDesc(Desc, Bank.aRegion, pInfo) < 0) {
      SYS_MEM_Free(pInfo);
      continue;
    }
    Bank.pCMSISInfo = pInfo;
    Bank.HasFixedLayout = pInfo->LayoutCut;
  }
  e.Loaded = true;
  return 0;
}

const MCUDB_DEVICE_INFO* _GetLoaded(int Index) {
  return _Load(Index) == 0 ? &_paDevice[Index].Info : nullptr;
}

void _FreeDevices() {
  if (_paDevice) {
    for (int i = 0; i < _NumEntries; i++) {
      for (MCUDB_BANK& b : _paDevice[i].Info.aBank) {
        MCUDB_FreeCMSISInfo(b.pCMSISInfo);
        SYS_MEM_Free(b.pCMSISInfo);
      }
    }
  }
  SYS_MEM_Free(_paDevice);
  _paDevice = nullptr;
  _NumDevices = _NumEntries = 0;
}

// The algorithm part of the loader information of one bank; null when it cannot be had.
const LoaderSlot* _GetSlot(int Index, int Bank, const char* sLoaderName) {
  if (sLoaderName == nullptr || sLoaderName[0] == 0) sLoaderName = "Default";
  const MCUDB_BANK* pBank = MCUDB_GetBank(Index, Bank);
  if (pBank == nullptr) return nullptr;
  if (_paSlot == nullptr) {
    _paSlot = static_cast<LoaderSlot*>(
        SYS_MEM_Alloc(sizeof(LoaderSlot) * MCUDB_MAX_BANKS, "MCUDB.c: Loader info cache"));
    if (_paSlot == nullptr) return nullptr;
    std::memset(_paSlot, 0, sizeof(LoaderSlot) * MCUDB_MAX_BANKS);
  }
  if (_SlotDevice != Index) {
    std::memset(_paSlot, 0, sizeof(LoaderSlot) * MCUDB_MAX_BANKS);
    _SlotDevice = Index;
  }
  LoaderSlot& s = _paSlot[Bank];
  if (s.Used && UTIL_stricmp(s.acName, sLoaderName) == 0) return &s;
  s.Used = false;
  if (_GetLoaderDesc(Index, pBank->BaseAddr, sLoaderName, &s.Desc) < 0) return nullptr;
  CMSISInfo Algo;
  if (_IsCMSISKind(s.Desc.LoaderKind)) {
    if (_ParseDesc(s.Desc, reinterpret_cast<const SectorRegion*>(s.Desc.paSectors), &Algo) < 0)
      return nullptr;
    SYS_MEM_Free(Algo.pImage);
    Algo.pImage = nullptr;
  } else {
    std::memset(&Algo, 0, sizeof(Algo));
    for (int32_t& Off : Algo.aEntryOffset)
      Off = -1;
    _CopyRegions(Algo.aRegion, s.Desc.paSectors, s.Desc.NumRegions);
  }
  s.Algo = Algo;
  UTIL_strcpy(s.acName, sLoaderName, sizeof(s.acName));
  s.Used = true;
  return &s;
}

int _ReportFlashListError(const char* sPath, const char* sReason) {
  char ac[1024];
  UTIL_sprintf(ac, sizeof(ac), "Could not open flash device list [%s]\n%s", sPath, sReason);
  APP_ErrorOut(ac);
  return -1;
}

int _ReadMCUDeviceListHook() {
  return MCUDB_ReadDeviceList();
}
int _ReadFlashDeviceListHook() {
  return FLASHDEV_ReadList(nullptr);
}

} // namespace

void MCUDB_InstallHooks(void) {
  MCUDB_SetLoaderErrorHandler(APP_ErrorOut);
  APP_STARTUP_HOOKS* pHooks = APP_GetStartupHooks();
  pHooks->pfReadFlashDeviceList = _ReadFlashDeviceListHook;
  pHooks->pfReadMCUDeviceList = _ReadMCUDeviceListHook;
  pHooks->pfFreeDeviceCache = MCUDB_Exit;
  MCUDB_InstallJobs();
}

int MCUDB_ReadDeviceList(void) {
  _SetStatus("Reading MCU device list ...");
  APP_LogOut("Reading MCU device list ...");
  std::lock_guard<std::recursive_mutex> g(_Lock);
  _FreeDevices();
  MCUDB_ClearLoaderCache();
  int n = XRELAYARM_DEVICE_GetInfo(-1, nullptr);
  if (n < 0) {
    APP_ErrorOut("Could not read MCU device list from the probe library");
    return -1;
  }
  // Some libraries answer for indices beyond the count they report; those devices are reachable
  // too. The search is bounded: a library that answered every index would otherwise never end.
  int Total = n;
  const int MaxExtra = 0x10000;
  const int MaxTotal = n > 0x7FFFFFFF - MaxExtra ? 0x7FFFFFFF : n + MaxExtra;
  XRELAYARM_DEVICE_INFO di{};
  for (;;) {
    std::memset(&di, 0, sizeof(di));
    di.SizeOfStruct = XRELAYARM_DEVICE_INFO_SIZE;
    if (Total >= MaxTotal || XRELAYARM_DEVICE_GetInfo(Total, &di) != 0) break;
    Total++;
  }
  _paDevice = static_cast<DeviceEntry*>(
      SYS_MEM_Alloc(sizeof(DeviceEntry) * size_t(Total ? Total : 1), "MCUDB.c: Device list"));
  if (_paDevice == nullptr) {
    APP_ErrorOut("Insufficient memory!");
    return -1;
  }
  std::memset(_paDevice, 0, sizeof(DeviceEntry) * size_t(Total ? Total : 1));
  _NumDevices = n;
  _NumEntries = Total;
  APP_LogOutf("List of MCU devices read successfully (%d Devices)", n);
  return 0;
}

void MCUDB_Exit(void) {
  MCUDB_FreeLists();
  std::lock_guard<std::recursive_mutex> g(_Lock);
  _FreeDevices();
  MCUDB_ClearLoaderCache();
  SYS_MEM_Free(_paSlot);
  _paSlot = nullptr;
  delete _pNamePool;
  delete _pManuPool;
  _pNamePool = _pManuPool = nullptr;
  FLASHCSV_Delete(_pFlashList);
  _pFlashList = nullptr;
}

int MCUDB_GetNumDevices(void) {
  std::lock_guard<std::recursive_mutex> g(_Lock);
  return _NumEntries;
}

int MCUDB_GetDeviceInfo(int Index, MCUDB_DEVICE_INFO* pInfo) {
  std::lock_guard<std::recursive_mutex> g(_Lock);
  const MCUDB_DEVICE_INFO* p = _GetLoaded(Index);
  if (p == nullptr) return -1;
  if (pInfo) *pInfo = *p;
  return 0;
}

const char* MCUDB_GetDeviceName(int Index) {
  std::lock_guard<std::recursive_mutex> g(_Lock);
  const MCUDB_DEVICE_INFO* p = _GetLoaded(Index);
  return p ? p->sName : nullptr;
}

const char* MCUDB_GetManufacturer(int Index) {
  std::lock_guard<std::recursive_mutex> g(_Lock);
  const MCUDB_DEVICE_INFO* p = _GetLoaded(Index);
  return p ? p->sManu : nullptr;
}

void MCUDB_GetDisplayName(int Index, char* sDest, int DestSize) {
  std::lock_guard<std::recursive_mutex> g(_Lock);
  const MCUDB_DEVICE_INFO* p = _GetLoaded(Index);
  if (p == nullptr) {
    UTIL_strcpy(sDest, "", DestSize);
  } else if (p->sManu[0]) {
    UTIL_sprintf(sDest, DestSize, "%s %s", p->sManu, p->sName);
  } else {
    UTIL_strcpy(sDest, p->sName, DestSize);
  }
}

int MCUDB_FindDevice(const char* sName) {
  if (sName == nullptr || sName[0] == 0) return -1;
  int Index = XRELAYARM_DEVICE_GetIndex(MCUDB_ResolveDeviceAlias(sName));
  std::lock_guard<std::recursive_mutex> g(_Lock);
  return (Index >= 0 && _Load(Index) == 0) ? Index : -1;
}

int MCUDB_GetNumBanks(int Index) {
  std::lock_guard<std::recursive_mutex> g(_Lock);
  const MCUDB_DEVICE_INFO* p = _GetLoaded(Index);
  return p ? p->NumBanks : 0;
}

const MCUDB_BANK* MCUDB_GetBank(int Index, int Bank) {
  std::lock_guard<std::recursive_mutex> g(_Lock);
  const MCUDB_DEVICE_INFO* p = _GetLoaded(Index);
  if (p == nullptr || Bank < 0 || Bank >= p->NumBanks) return nullptr;
  return &p->aBank[Bank];
}

bool MCUDB_HasBankWithFixedLayout(int Index) {
  std::lock_guard<std::recursive_mutex> g(_Lock);
  const MCUDB_DEVICE_INFO* p = _GetLoaded(Index);
  if (p == nullptr) return false;
  for (int b = 0; b < p->NumBanks; b++) {
    if (p->aBank[b].HasFixedLayout) return true;
  }
  return false;
}

int MCUDB_GetEndianness(int Index) {
  std::lock_guard<std::recursive_mutex> g(_Lock);
  const MCUDB_DEVICE_INFO* p = _GetLoaded(Index);
  return p ? int(p->EndianMode) : -1;
}

uint32_t MCUDB_GetCore(int Index) {
  std::lock_guard<std::recursive_mutex> g(_Lock);
  const MCUDB_DEVICE_INFO* p = _GetLoaded(Index);
  return p ? p->Core : 0;
}

/*********************************************************************
 * Loader information
 */
int MCUDB_GetLoaderInfo(int Index, int Bank, const char* sLoaderName, XRELAYARM_LOADER_DESC* pDesc,
                        CMSISInfo* pAlgo) {
  std::lock_guard<std::recursive_mutex> g(_Lock);
  const LoaderSlot* s = _GetSlot(Index, Bank, sLoaderName);
  if (s == nullptr) return -1;
  if (pDesc) *pDesc = s->Desc;
  if (pAlgo) *pAlgo = s->Algo;
  return 0;
}

int MCUDB_GetAlgoInfo(int Index, int Bank, const char* sLoaderName, XRELAYARM_LOADER_DESC* pDesc,
                      CMSISInfo* pAlgo, MCUDB_ALGO_INFO** ppAlgoInfo) {
  XRELAYARM_LOADER_DESC Desc;
  if (ppAlgoInfo) *ppAlgoInfo = nullptr;
  if (MCUDB_GetLoaderInfo(Index, Bank, sLoaderName, &Desc, pAlgo) < 0) return -1;
  if (pDesc) *pDesc = Desc;
  if (ppAlgoInfo && Desc.pCompiledScript) {
    if (MCUDB_ReadAlgoParams(Desc.pCompiledScript, Desc.CompiledScriptSize, Desc.pImage, Desc.ImageSize,
                             ppAlgoInfo) < 0) {
      return -1;
    }
  }
  return 0;
}

int MCUDB_GetBankNumSectors(int Index, int Bank, const char* sLoaderName) {
  std::lock_guard<std::recursive_mutex> g(_Lock);
  const LoaderSlot* s = _GetSlot(Index, Bank, sLoaderName);
  if (s == nullptr) return -1;
  uint64_t n = MCUDB_LAYOUT_GetNumSectors(s->Algo.aRegion);
  return n > MCUDB_MAX_SECTORS ? MCUDB_MAX_SECTORS : int(n);
}

int MCUDB_GetBankSector(int Index, int Bank, const char* sLoaderName, uint32_t n, uint32_t* pAddr,
                        uint32_t* pSize) {
  std::lock_guard<std::recursive_mutex> g(_Lock);
  const LoaderSlot* s = _GetSlot(Index, Bank, sLoaderName);
  if (s == nullptr) return -1;
  return MCUDB_LAYOUT_GetSector(s->Algo.aRegion, 1, MCUDB_GetBank(Index, Bank)->BaseAddr, n, pAddr, pSize);
}

int MCUDB_GetBankRanges(int Index, int Bank, const char* sLoaderName, const uint8_t* pSel,
                        uint32_t NumSelBits, DataImage* pImage) {
  std::lock_guard<std::recursive_mutex> g(_Lock);
  const LoaderSlot* s = _GetSlot(Index, Bank, sLoaderName);
  if (s == nullptr) return -1;
  return MCUDB_LAYOUT_AddRanges(s->Algo.aRegion, 1, MCUDB_GetBank(Index, Bank)->BaseAddr, pSel, NumSelBits,
                                pImage);
}

int MCUDB_GetBankSize(int Index, int Bank, const char* sLoaderName, bool WithGaps, uint64_t* pSize) {
  std::lock_guard<std::recursive_mutex> g(_Lock);
  const LoaderSlot* s = _GetSlot(Index, Bank, sLoaderName);
  if (s == nullptr) return -1;
  *pSize = MCUDB_LAYOUT_GetSize(s->Algo.aRegion, 1, WithGaps);
  return 0;
}

void MCUDB_ClearLoaderCache(void) {
  std::lock_guard<std::recursive_mutex> g(_Lock);
  if (_paSlot) std::memset(_paSlot, 0, sizeof(LoaderSlot) * MCUDB_MAX_BANKS);
  _SlotDevice = -1;
}

/*********************************************************************
 * Flash device list
 */
int FLASHDEV_ReadList(const char* sPath) {
  char acPath[1024];
  if (sPath == nullptr) {
    if (SYS_PATH_GetModuleDir(acPath, sizeof(acPath)) < 0) acPath[0] = 0;
    UTIL_strcat(acPath, FLASHDEV_LIST_FILE, sizeof(acPath));
  } else {
    UTIL_strcpy(acPath, sPath, sizeof(acPath));
  }
  char ac[1200];
  UTIL_sprintf(ac, sizeof(ac), "Reading flash device list [%s] ...", acPath);
  _SetStatus(ac);
  APP_LogOut(ac);
  int hFile = SYS_FILE_Open(acPath, SYS_FILE_FLAG_READ | SYS_FILE_FLAG_SHARE_READ);
  if (hFile < 0) {
    APP_FormatFileError(acPath, "open flash device list", ac, sizeof(ac));
    APP_ErrorOut(ac);
    return -1;
  }
  int64_t Size = SYS_FILE_GetSize64(hFile);
  if (Size < 0 || Size > 0x7FFFFFFE) Size = 0x7FFFFFFF; // cannot be held: reported below
  char* pText = static_cast<char*>(SYS_MEM_Alloc(size_t(Size) + 1, "MCUDB.c: Flash device list file"));
  if (pText == nullptr) {
    SYS_FILE_Close(hFile);
    return _ReportFlashListError(acPath, "Unable to create file buffer!");
  }
  int NumRead = SYS_FILE_Read(hFile, pText, uint32_t(Size));
  SYS_FILE_Close(hFile);
  if (NumRead != int(Size)) {
    SYS_MEM_Free(pText);
    return _ReportFlashListError(acPath, "Failed to read data!");
  }
  FLASHCSV_LIST* pList = FLASHCSV_Create();
  int n = pList ? FLASHCSV_Parse(pList, pText, uint32_t(Size)) : -1;
  SYS_MEM_Free(pText);
  if (n < 0) {
    FLASHCSV_Delete(pList);
    return _ReportFlashListError(acPath, "Unable to create file buffer!");
  }
  {
    std::lock_guard<std::recursive_mutex> g(_Lock);
    FLASHCSV_Delete(_pFlashList);
    _pFlashList = pList;
  }
  APP_LogOutf("List of flash devices read successfully (%d Devices)", n);
  return 0;
}

int FLASHDEV_GetNumDevices(void) {
  std::lock_guard<std::recursive_mutex> g(_Lock);
  return FLASHCSV_GetNumDevices(_pFlashList);
}

int FLASHDEV_GetDevice(int Index, FLASH_DEVICE* pDevice) {
  std::lock_guard<std::recursive_mutex> g(_Lock);
  const FLASH_DEVICE* p = FLASHCSV_GetDevice(_pFlashList, Index);
  if (p == nullptr) return -1;
  if (pDevice) *pDevice = *p;
  return 0;
}

int FLASHDEV_Find(const char* sName) {
  if (sName == nullptr) return -1;
  sName = FLASHDEV_ResolveAlias(sName);
  std::lock_guard<std::recursive_mutex> g(_Lock);
  for (int i = 0; i < FLASHCSV_GetNumDevices(_pFlashList); i++) {
    if (UTIL_stricmp(FLASHCSV_GetDevice(_pFlashList, i)->sName, sName) == 0) return i;
  }
  return -1;
}

void FLASHDEV_GetDisplayName(int Index, char* sDest, int DestSize) {
  std::lock_guard<std::recursive_mutex> g(_Lock);
  const FLASH_DEVICE* p = FLASHCSV_GetDevice(_pFlashList, Index);
  if (p == nullptr) {
    UTIL_strcpy(sDest, "", DestSize);
  } else {
    UTIL_sprintf(sDest, DestSize, "%s %s", p->sManu, p->sName);
  }
}

int FLASHDEV_GetNumSectors(int Index) {
  std::lock_guard<std::recursive_mutex> g(_Lock);
  const FLASH_DEVICE* p = FLASHCSV_GetDevice(_pFlashList, Index);
  if (p == nullptr) return -1;
  uint64_t n = MCUDB_LAYOUT_GetNumSectors(p->aRegion);
  return n > MCUDB_MAX_SECTORS ? MCUDB_MAX_SECTORS : int(n);
}

int FLASHDEV_GetSize(int Index, int OrgNumChips, bool WithGaps, uint64_t* pSize) {
  std::lock_guard<std::recursive_mutex> g(_Lock);
  const FLASH_DEVICE* p = FLASHCSV_GetDevice(_pFlashList, Index);
  if (p == nullptr) return -1;
  *pSize = MCUDB_LAYOUT_GetSize(p->aRegion, OrgNumChips, WithGaps);
  return 0;
}

int FLASHDEV_GetSector(int Index, int OrgNumChips, uint32_t BaseAddr, uint32_t n, uint32_t* pAddr,
                       uint32_t* pSize) {
  std::lock_guard<std::recursive_mutex> g(_Lock);
  const FLASH_DEVICE* p = FLASHCSV_GetDevice(_pFlashList, Index);
  if (p == nullptr) return -1;
  return MCUDB_LAYOUT_GetSector(p->aRegion, OrgNumChips, BaseAddr, n, pAddr, pSize);
}

int FLASHDEV_GetRanges(int Index, int OrgNumChips, uint32_t BaseAddr, const uint8_t* pSel,
                       uint32_t NumSelBits, DataImage* pImage) {
  std::lock_guard<std::recursive_mutex> g(_Lock);
  const FLASH_DEVICE* p = FLASHCSV_GetDevice(_pFlashList, Index);
  if (p == nullptr) return -1;
  return MCUDB_LAYOUT_AddRanges(p->aRegion, OrgNumChips, BaseAddr, pSel, NumSelBits, pImage);
}
