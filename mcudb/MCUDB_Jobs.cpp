/*
 * MCUDB_Jobs - job handlers of the device database.
 */
#include "mcudb/MCUDB_Jobs.h"

#include <cstring>
#include <mutex>

#include "core/APP.h"
#include "core/APP_Log.h"
#include "sys/SYS.h"
#include "sys/UTIL.h"

namespace {

std::mutex _ListLock; // the two lists are built once, by whichever job comes first
MCU_LIST_ENTRY* _paMCUList;
int _NumMCUEntries;
FLASH_DEVICE* _paFlashList;
int _NumFlashEntries;

enum { CORE_FAMILY_MIPS = 17, CORE_FAMILY_8051 = 18 };

void _FormatFlashSize(const MCUDB_DEVICE_INFO& d, char* sDest, int DestSize) {
  if (d.NumBanks == 0) {
    UTIL_strcpy(sDest, "-", DestSize);
    return;
  }
  UTIL_strcpy(sDest, "", DestSize);
  for (int b = 0; b < d.NumBanks && b < MCUDB_MAX_BANKS; b++) {
    uint64_t Size = MCUDB_LAYOUT_GetSize(d.aBank[b].aRegion, 1, false);
    char ac[32];
    APP_FormatSize(ac, sizeof(ac), Size > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(Size));
    if (b) UTIL_strcat(sDest, " + ", DestSize);
    UTIL_strcat(sDest, ac, DestSize);
  }
}

int _BuildMCUList() {
  int n = MCUDB_GetNumDevices();
  if (n > MCUDB_MAX_LIST_DEVICES) {
    APP_LogOutf("INFO: Maximum number of MCU devices (%d) exceeded. Cannot show complete MCU device list.",
                MCUDB_MAX_LIST_DEVICES);
    n = MCUDB_MAX_LIST_DEVICES;
  }
  auto* pa = static_cast<MCU_LIST_ENTRY*>(
      SYS_MEM_Alloc(sizeof(MCU_LIST_ENTRY) * size_t(n ? n : 1), "APP: MCU device list"));
  if (pa == nullptr) return -1;
  int NumEntries = 0;
  MCUDB_DEVICE_INFO d;
  for (int i = 0; i < n; i++) {
    if (MCUDB_GetDeviceInfo(i, &d) < 0) continue;
    uint32_t Family = d.Core >> 24;
    if (Family == CORE_FAMILY_MIPS || Family == CORE_FAMILY_8051) continue;
    MCU_LIST_ENTRY& e = pa[NumEntries++];
    std::memset(&e, 0, sizeof(e));
    UTIL_strcpy(e.acName, d.sName, sizeof(e.acName));
    UTIL_strcpy(e.acManu, d.sManu, sizeof(e.acManu));
    _FormatFlashSize(d, e.acFlashSize, sizeof(e.acFlashSize));
    e.Core = d.Core;
    e.sFamily = d.sFamily;
    e.RAMAddr = d.RAMAddr;
    e.RAMSize = d.RAMSize;
    e.EndianMode = d.EndianMode;
    e.Index = i;
  }
  _paMCUList = pa;
  _NumMCUEntries = NumEntries;
  return 0;
}

// Runs the body of a job on its parameter block, stores the result and tells the requester.
template <typename P, typename F> void _Run(JobContext* pContext, F&& Body) {
  auto* p = static_cast<P*>(pContext->pParams);
  if (p == nullptr) {
    pContext->Result = -1;
    return;
  }
  pContext->Result = Body(p);
  if (p->pfDone) p->pfDone(pContext->pRequester, p);
}

void _JobGetMCUList(JobContext* pContext) {
  _Run<MCUDB_DEVICE_LIST_PARAMS>(pContext, MCUDB_GetDeviceList);
}

void _JobGetFlashList(JobContext* pContext) {
  _Run<FLASHDEV_LIST_PARAMS>(pContext, FLASHDEV_GetList);
}

void _JobSelectFlashDevice(JobContext* pContext) {
  _Run<FLASHDEV_SELECT_PARAMS>(pContext, [](FLASHDEV_SELECT_PARAMS* p) {
    if (p->pBank == nullptr) return -1;
    BANK_SelectFlashDevice(p->pBank, p->DeviceIndex);
    return 0;
  });
}

void _JobCollectBankInfo(JobContext* pContext) {
  _Run<BANK_INFO_PARAMS>(pContext, [](BANK_INFO_PARAMS* p) { return BANK_CollectInfo(p, true); });
}

void _JobGetBankRange(JobContext* pContext) {
  _Run<BANK_INFO_PARAMS>(pContext, [](BANK_INFO_PARAMS* p) { return BANK_CollectInfo(p, false); });
}

void _JobGetLoaderInfo(JobContext* pContext) {
  _Run<MCUDB_LOADER_LIST_PARAMS>(pContext, MCUDB_GetLoaderList);
}

// Fills the outputs from the built list; false when it is not built yet. Called with the lock held.
bool _AnswerFromList(MCUDB_DEVICE_LIST_PARAMS* p) {
  if (_paMCUList == nullptr) return false;
  p->paList = _paMCUList;
  p->NumEntries = _NumMCUEntries;
  p->CurPos = 0;
  for (int i = 0; i < _NumMCUEntries; i++) {
    if (_paMCUList[i].Index == p->CurIndex) p->CurPos = i;
  }
  return true;
}

} // namespace

void MCUDB_InstallJobs(void) {
  APP_SetJobHandler(JOB_GET_MCU_DEVICE_LIST, _JobGetMCUList);
  APP_SetJobHandler(JOB_GET_FLASH_DEVICE_LIST, _JobGetFlashList);
  APP_SetJobHandler(JOB_SELECT_FLASH_DEVICE, _JobSelectFlashDevice);
  APP_SetJobHandler(JOB_GET_FLASH_BANK_INFO, _JobCollectBankInfo);
  APP_SetJobHandler(JOB_GET_FLASH_BANK_RANGE, _JobGetBankRange);
  APP_SetJobHandler(JOB_GET_FLASH_LOADER_INFO, _JobGetLoaderInfo);
}

int MCUDB_GetDeviceList(MCUDB_DEVICE_LIST_PARAMS* p) {
  if (p == nullptr) return -1;
  std::lock_guard<std::mutex> g(_ListLock);
  if (_paMCUList == nullptr && _BuildMCUList() < 0) return -1;
  _AnswerFromList(p);
  return 0;
}

int MCUDB_RequestDeviceList(const MCUDB_DEVICE_LIST_PARAMS* pParams, void* pRequester) {
  if (pParams == nullptr) return -1;
  MCUDB_DEVICE_LIST_PARAMS p = *pParams;
  bool Answered;
  {
    std::lock_guard<std::mutex> g(_ListLock);
    Answered = _AnswerFromList(&p);
  }
  if (!Answered) {
    return APP_CreateJob(JOB_GET_MCU_DEVICE_LIST, "Get MCU device list", pParams, sizeof(*pParams),
                         pRequester, APP_StdCompletion);
  }
  if (p.pfDone) p.pfDone(pRequester, &p);
  return 0;
}

int FLASHDEV_GetList(FLASHDEV_LIST_PARAMS* p) {
  if (p == nullptr) return -1;
  std::lock_guard<std::mutex> g(_ListLock);
  if (_paFlashList == nullptr) {
    int n = FLASHDEV_GetNumDevices();
    if (n > FLASHDEV_MAX_LIST_DEVICES) {
      APP_LogOutf(
          "INFO: Maximum number of FLASH devices (%d) exceeded. Cannot show complete FLASH device list.",
          FLASHDEV_MAX_LIST_DEVICES);
      n = FLASHDEV_MAX_LIST_DEVICES;
    }
    auto* pa = static_cast<FLASH_DEVICE*>(
        SYS_MEM_Alloc(sizeof(FLASH_DEVICE) * size_t(n ? n : 1), "APP: FLASH device list"));
    if (pa == nullptr) return -1;
    for (int i = 0; i < n; i++) {
      if (FLASHDEV_GetDevice(i, &pa[i]) < 0) std::memset(&pa[i], 0, sizeof(pa[i]));
    }
    _paFlashList = pa;
    _NumFlashEntries = n;
  }
  p->paList = _paFlashList;
  p->NumEntries = _NumFlashEntries;
  return 0;
}

void MCUDB_FreeLists(void) {
  std::lock_guard<std::mutex> g(_ListLock);
  SYS_MEM_Free(_paMCUList);
  SYS_MEM_Free(_paFlashList);
  _paMCUList = nullptr;
  _paFlashList = nullptr;
  _NumMCUEntries = _NumFlashEntries = 0;
}

int BANK_CollectInfo(BANK_INFO_PARAMS* p, bool Full) {
  if (p == nullptr || p->pList == nullptr || p->Bank < 0 || p->Bank >= p->pList->NumBanks) return -1;
  const BANK_INFO& b = p->pList->aBank[p->Bank];
  p->acLayout[0] = 0;
  if (BANK_FormatRangeSummary(p->pList, p->Bank, p->acSummary, sizeof(p->acSummary)) < 0) return -1;
  if (!Full) return 0;
  std::memset(&p->FlashDevice, 0, sizeof(p->FlashDevice));
  std::memset(&p->DeviceInfo, 0, sizeof(p->DeviceInfo));
  std::memset(p->aRegion, 0, sizeof(p->aRegion));
  p->Size = 0;
  p->NumSectors = BANK_GetNumSectors(p->pList, p->Bank);
  if (b.IsInternal) {
    MCUDB_GetDeviceInfo(b.DeviceIndex, &p->DeviceInfo);
    for (int i = 0; i < p->DeviceInfo.NumBanks; i++) {
      CMSISInfo Algo;
      if (p->DeviceInfo.aBank[i].BaseAddr != b.BaseAddr ||
          MCUDB_GetLoaderInfo(b.DeviceIndex, i, b.acLoaderName, nullptr, &Algo) < 0) {
        continue;
      }
      std::memcpy(p->aRegion, Algo.aRegion, sizeof(p->aRegion));
      MCUDB_LAYOUT_Format(p->aRegion, b.BaseAddr, p->acLayout, sizeof(p->acLayout));
    }
  } else if (b.DeviceKnown && FLASHDEV_GetDevice(b.DeviceIndex, &p->FlashDevice) == 0) {
    if (!b.AutoDetect) FLASHDEV_GetSize(b.DeviceIndex, b.OrgNumChips, false, &p->Size);
    MCUDB_LAYOUT_Format(p->FlashDevice.aRegion, b.BaseAddr, p->acLayout, sizeof(p->acLayout));
  }
  return 0;
}

int MCUDB_GetLoaderList(MCUDB_LOADER_LIST_PARAMS* p) {
  if (p == nullptr) return -1;
  p->NumFilled = 0;
  const MCUDB_BANK* pBank = MCUDB_GetBank(p->DeviceIndex, p->Bank);
  if (pBank == nullptr) return -1;
  int NumLoaders = 0;
  for (; NumLoaders < 1024; NumLoaders++) { // a bound against a library that never says "none"
    const char* sName = XRELAY_DEVICE_GetLoaderName(p->DeviceIndex, pBank->BaseAddr, 0, NumLoaders);
    if (sName == nullptr) break;
    CMSISInfo Algo;
    if (p->paEntry == nullptr || p->NumFilled >= p->MaxEntries ||
        MCUDB_GetLoaderInfo(p->DeviceIndex, p->Bank, sName, nullptr, &Algo) < 0) {
      continue;
    }
    MCUDB_LOADER_ENTRY& e = p->paEntry[p->NumFilled++];
    std::memset(&e, 0, sizeof(e));
    UTIL_strcpy(e.acName, sName, sizeof(e.acName));
    e.LoaderIndex = NumLoaders;
    uint64_t n = MCUDB_LAYOUT_GetNumSectors(Algo.aRegion);
    e.NumSectors = n > MCUDB_MAX_SECTORS ? MCUDB_MAX_SECTORS : int(n);
    e.Size = MCUDB_LAYOUT_GetSize(Algo.aRegion, 1, true);
    std::memcpy(e.aRegion, Algo.aRegion, sizeof(e.aRegion));
  }
  return NumLoaders;
}
