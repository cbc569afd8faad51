/*
 * PROJDEV - the device-database hooks of the project.
 */
#include "project/PROJDEV.h"

#include <memory>

#include "mcudb/BANK.h"
#include "mcudb/BANKREC.h"
#include "mcudb/MCUDB.h"
#include "project/PROJECT.h"
#include "sys/UTIL.h"

namespace {

void _ToBankInfo(const PROJECT_BANK& b, int CpuDevice, BANK_INFO* p) {
  *p = BANK_INFO{};
  BANKREC_CopySettings(p, b);
  p->DeviceIndex = b.IsInternal ? CpuDevice : b.Device;
  p->DeviceKnown = !b.IsInternal && b.Device >= 0;
}

// The project's banks as the bank queries take them; null without a project.
std::unique_ptr<BANK_LIST> _ProjectBanks(void) {
  auto pFlash = std::make_unique<PROJECT_FLASH>();
  auto pCPU = std::make_unique<PROJECT_CPU>();
  if (PROJECT_GetFlash(pFlash.get()) < 0 || PROJECT_GetCPU(pCPU.get()) < 0) return nullptr;
  auto pList = std::make_unique<BANK_LIST>();
  pList->NumBanks = (int)pFlash->NumBanks;
  pList->CurrentBank = -1;
  for (uint32_t i = 0; i < pFlash->NumBanks; i++)
    _ToBankInfo(pFlash->aBank[i], pCPU->Device, &pList->aBank[i]);
  return pList;
}

} // namespace

int PROJDEV_GetBankList(BANK_LIST* pList) {
  std::unique_ptr<BANK_LIST> p = _ProjectBanks();
  if (p == nullptr) return -1;
  *pList = *p;
  return 0;
}

namespace {

int _GetDeviceName(int Device, char* sDest, int DestSize) {
  MCUDB_GetDisplayName(Device, sDest, DestSize);
  return sDest[0] ? 0 : -1;
}

int _GetDeviceBanks(int Device, PROJECT_DEVICE_BANK* paBank, int MaxBanks) {
  if (Device < 0 || Device >= MCUDB_GetNumDevices()) return -1;
  int n = MCUDB_GetNumBanks(Device);
  if (n > MaxBanks) n = MaxBanks;
  for (int i = 0; i < n; i++) {
    const MCUDB_BANK* p = MCUDB_GetBank(Device, i);
    paBank[i] = PROJECT_DEVICE_BANK{};
    if (p == nullptr) continue;
    UTIL_strcpy(paBank[i].acName, p->sName ? p->sName : "", sizeof(paBank[i].acName));
    paBank[i].BaseAddr = p->BaseAddr;
    const char* sLoader = XRELAY_DEVICE_GetLoaderName(Device, p->BaseAddr, 0, 0);
    UTIL_strcpy(paBank[i].acLoaderName, sLoader ? sLoader : "", sizeof(paBank[i].acLoaderName));
  }
  return n;
}

uint32_t _GetDeviceRAMSize(int Device) {
  auto pInfo = std::make_unique<MCUDB_DEVICE_INFO>();
  return MCUDB_GetDeviceInfo(Device, pInfo.get()) == 0 ? pInfo->RAMSize : 0;
}

// Sectors of one bank as its layout has them, also while the bank is disabled: a disabled bank
// keeps its selection.
int _GetBankNumSectors(int CpuDevice, const PROJECT_BANK* pBank) {
  auto pList = std::make_unique<BANK_LIST>();
  pList->NumBanks = 1;
  pList->CurrentBank = -1;
  _ToBankInfo(*pBank, CpuDevice, &pList->aBank[0]);
  pList->aBank[0].Disabled = 0;
  pList->aBank[0].AutoDetect = 0;
  int n = BANK_GetNumSectors(pList.get(), 0);
  return n > 0 ? n : -1;
}

bool _CanCheckLoaders(void) {
  return true;
}

bool _IsLoaderValid(int Device, int BankIndex, const PROJECT_BANK*, const char* sLoader) {
  return MCUDB_GetLoaderInfo(Device, BankIndex, sLoader, nullptr, nullptr) == 0;
}

int _CheckOverlap(void) {
  auto pList = _ProjectBanks();
  return pList ? BANK_CheckOverlap(pList.get()) : 0;
}

int _GetSelectedRanges(DataImage* pImage, int* pNumSelected, int* pNumSectors) {
  auto pList = _ProjectBanks();
  if (pList == nullptr) return -1;
  *pNumSectors = BANK_GetTotalSectors(pList.get());
  *pNumSelected = BANK_GetSelectedRanges(pList.get(), -1, pImage);
  return *pNumSelected < 0 ? -1 : (int)DATAIMAGE_GetNumRanges(pImage);
}

} // namespace

void PROJDEV_InstallHooks(void) {
  static const PROJECT_DEVICE_HOOKS Hooks = {
      MCUDB_FindDevice,  MCUDB_GetNumDevices, _GetDeviceName, _GetDeviceBanks,
      _GetDeviceRAMSize, MCUDB_GetCore,       FLASHDEV_Find,  _GetBankNumSectors,
      _CanCheckLoaders,  _IsLoaderValid,      _CheckOverlap,  _GetSelectedRanges,
  };
  PROJECT_SetDeviceHooks(&Hooks);
}
