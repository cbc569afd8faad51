/*
 * BANK - queries on the project's flash banks.
 */
#include "mcudb/BANK.h"

#include <cstring>

#include "core/APP_Log.h"
#include "mcudb/BANKREC.h"
#include "sys/UTIL.h"

namespace {

const BANK_INFO* _Get(const BANK_LIST* pList, int Bank) {
  if (pList == nullptr || Bank < 0 || Bank >= pList->NumBanks || Bank >= BANK_MAX_BANKS) return nullptr;
  return &pList->aBank[Bank];
}

// Index of the device bank at the bank's base address, or -1.
int _DeviceBank(const BANK_INFO& b) {
  for (int i = 0; i < MCUDB_GetNumBanks(b.DeviceIndex); i++) {
    if (MCUDB_GetBank(b.DeviceIndex, i)->BaseAddr == b.BaseAddr) return i;
  }
  return -1;
}

int _CapSectors(int n) {
  return n < 0 ? 0 : (n > MCUDB_MAX_SECTORS ? MCUDB_MAX_SECTORS : n);
}

// Size with gaps from the bank's own layout (OrgNumChips as given); 0, or -1 when unknown.
int _LayoutSize(const BANK_INFO& b, int OrgNumChips, uint64_t* pSize) {
  *pSize = 0;
  if (b.IsInternal) {
    return MCUDB_GetBankSize(b.DeviceIndex, _DeviceBank(b), b.acLoaderName, true, pSize);
  }
  if (!b.DeviceKnown) return -1;
  return FLASHDEV_GetSize(b.DeviceIndex, OrgNumChips, true, pSize);
}

void _ErrorLine(const char* sText) {
  // Report texts end with "\r\n"; the log adds its own line end.
  char ac[256];
  UTIL_strcpy(ac, sText, sizeof(ac));
  size_t n = std::strlen(ac);
  while (n && (ac[n - 1] == '\n' || ac[n - 1] == '\r'))
    ac[--n] = 0;
  APP_ErrorOut(ac);
}

void _ErrorLines(const char* sText) {
  while (*sText) {
    const char* pEnd = std::strchr(sText, '\n');
    size_t n = pEnd ? size_t(pEnd - sText) : std::strlen(sText);
    char ac[256];
    UTIL_strcpy(ac, "", sizeof(ac));
    std::memcpy(ac, sText, n < sizeof(ac) - 1 ? n : sizeof(ac) - 1);
    ac[n < sizeof(ac) - 1 ? n : sizeof(ac) - 1] = 0;
    APP_ErrorOut(ac);
    sText += n + (pEnd ? 1 : 0);
  }
}

} // namespace

int BANK_GetNumSectors(const BANK_LIST* pList, int Bank) {
  const BANK_INFO* b = _Get(pList, Bank);
  if (b == nullptr || b->Disabled) return 0;
  if (b->AutoDetect) return 1;
  if (b->IsInternal)
    return _CapSectors(MCUDB_GetBankNumSectors(b->DeviceIndex, _DeviceBank(*b), b->acLoaderName));
  return b->DeviceKnown ? _CapSectors(FLASHDEV_GetNumSectors(b->DeviceIndex)) : 0;
}

int BANK_GetSector(const BANK_LIST* pList, int Bank, uint32_t n, uint32_t* pAddr, uint32_t* pSize) {
  const BANK_INFO* b = _Get(pList, Bank);
  if (b == nullptr || n >= uint32_t(BANK_GetNumSectors(pList, Bank))) return -1;
  if (b->AutoDetect) {
    uint32_t First, Last;
    if (BANK_GetRange(pList, Bank, &First, &Last) < 0) return -1;
    if (pAddr) *pAddr = First;
    if (pSize) *pSize = Last - First + 1; // a span of 4 GB is capped below
    return 0;
  }
  if (b->IsInternal)
    return MCUDB_GetBankSector(b->DeviceIndex, _DeviceBank(*b), b->acLoaderName, n, pAddr, pSize);
  return FLASHDEV_GetSector(b->DeviceIndex, b->OrgNumChips, b->BaseAddr, n, pAddr, pSize);
}

uint64_t BANK_GetSize(const BANK_LIST* pList, int Bank) {
  const BANK_INFO* b = _Get(pList, Bank);
  uint64_t Size = 0;
  if (b == nullptr || b->AutoDetect || _LayoutSize(*b, b->OrgNumChips, &Size) < 0) return 0;
  return Size;
}

int BANK_GetRange(const BANK_LIST* pList, int Bank, uint32_t* pFirst, uint32_t* pLast) {
  const BANK_INFO* b = _Get(pList, Bank);
  if (b == nullptr) return -1;
  uint64_t Size = BANK_GetSize(pList, Bank);
  uint64_t Last;
  if (Size == 0) {
    // Up to the next bank above it.
    Last = 0xFFFFFFFFu;
    for (int i = 0; i < pList->NumBanks && i < BANK_MAX_BANKS; i++) {
      uint32_t Base = pList->aBank[i].BaseAddr;
      if (i != Bank && Base > b->BaseAddr && Base - 1 < Last) Last = Base - 1;
    }
    // A detected bank never spans more than 2 GB, whatever lies above it.
    if (b->AutoDetect && Last - b->BaseAddr + 1 > 0x80000000u) Last = uint64_t(b->BaseAddr) + 0x80000000u - 1;
  } else {
    Last = uint64_t(b->BaseAddr) + Size - 1;
  }
  if (Last > 0xFFFFFFFFu) Last = 0xFFFFFFFFu;
  if (pFirst) *pFirst = b->BaseAddr;
  if (pLast) *pLast = uint32_t(Last);
  return 0;
}

int BANK_GetTotalSectors(const BANK_LIST* pList) {
  int n = 0;
  for (int i = 0; pList && i < pList->NumBanks && i < BANK_MAX_BANKS; i++)
    n += BANK_GetNumSectors(pList, i);
  return n;
}

int BANK_MapSector(const BANK_LIST* pList, uint32_t Sector, int* pBank, uint32_t* pLocal) {
  if (pList == nullptr) return -1;
  int First = 0, End = pList->NumBanks < BANK_MAX_BANKS ? pList->NumBanks : BANK_MAX_BANKS;
  if (pList->CurrentBank >= 0) {
    First = pList->CurrentBank;
    End = First + 1;
  }
  for (int i = First; i < End; i++) {
    uint32_t n = uint32_t(BANK_GetNumSectors(pList, i));
    if (Sector < n) {
      if (pBank) *pBank = i;
      if (pLocal) *pLocal = Sector;
      return 0;
    }
    Sector -= n;
  }
  return -1;
}

bool BANK_IsSectorSelected(const BANK_LIST* pList, int Bank, uint32_t Sector) {
  const BANK_INFO* b = _Get(pList, Bank);
  if (b == nullptr) return false;
  if (b->AutoDetect) return true; // no sector layout: the whole bank
  if (b->BankSelMode)
    return Sector < MCUDB_MAX_SECTORS && ((b->abSectorSel[Sector >> 3] >> (Sector & 7)) & 1u);
  return Sector >= b->StartSector && Sector <= b->EndSector;
}

void BANK_SetCurrent(BANK_LIST* pList, int Bank) {
  if (pList) pList->CurrentBank = (Bank >= 0 && Bank < pList->NumBanks) ? Bank : -1;
}

int BANK_GetCurrent(const BANK_LIST* pList) {
  return pList ? pList->CurrentBank : -1;
}

int BANK_GetSelectedRanges(const BANK_LIST* pList, int Bank, DataImage* pImage) {
  if (pList == nullptr || pImage == nullptr) return -1;
  int First = Bank < 0 ? 0 : Bank, End = Bank < 0 ? pList->NumBanks : Bank + 1;
  int Count = 0;
  for (int i = First; i < End && i < BANK_MAX_BANKS; i++) {
    int n = BANK_GetNumSectors(pList, i);
    for (int s = 0; s < n; s++) {
      uint32_t Addr, Size;
      if (!BANK_IsSectorSelected(pList, i, uint32_t(s)) ||
          BANK_GetSector(pList, i, uint32_t(s), &Addr, &Size) < 0) {
        continue;
      }
      if (DATAIMAGE_AddData(pImage, Addr, Size, nullptr) < 0) return -1;
      Count++;
    }
  }
  return Count;
}

int BANK_CheckOverlap(const BANK_LIST* pList) {
  if (pList == nullptr) return 0;
  int n = pList->NumBanks < BANK_MAX_BANKS ? pList->NumBanks : BANK_MAX_BANKS;
  bool aaReported[BANK_MAX_BANKS][BANK_MAX_BANKS] = {};
  bool aSizeFailed[BANK_MAX_BANKS] = {};
  int NumProblems = 0;
  char ac[256];
  auto Report = [&](const char* sText) {
    if (NumProblems++ == 0) {
      _ErrorLines(
          "Flash banks in the project are overlapping.\nT-Forge cannot program when there are overlapping "
          "flash banks.\nThe project settings need to be adjusted so that no flash banks are "
          "overlapping\n----------\n");
    }
    _ErrorLine(sText);
  };
  for (int j = 0; j < n; j++) {
    const BANK_INFO& bj = pList->aBank[j];
    for (int k = 0; k < n; k++) {
      const BANK_INFO& bk = pList->aBank[k];
      if (j == k || aaReported[j][k]) continue;
      if (bj.BaseAddr == bk.BaseAddr) {
        UTIL_sprintf(ac, sizeof(ac), "Bank[%d] @ 0x%X <---> Bank[%d] @ 0x%X\r\n", j, bj.BaseAddr, k,
                     bk.BaseAddr);
        Report(ac);
        aaReported[j][k] = aaReported[k][j] = true;
        continue;
      }
      if (bk.BaseAddr > bj.BaseAddr || (!bk.IsInternal && bk.AutoDetect)) continue;
      uint64_t Size = 0;
      if (_LayoutSize(bk, 1, &Size) < 0) {
        if (bk.IsInternal && !aSizeFailed[k]) {
          // Once per bank, not once per bank above it.
          aSizeFailed[k] = true;
          UTIL_sprintf(ac, sizeof(ac), "Bank[%d] @ 0x%X: Failed to determine bank size.\r\n", k, bk.BaseAddr);
          Report(ac);
        }
        continue;
      }
      if (uint64_t(bk.BaseAddr) + Size > bj.BaseAddr) {
        char acSize[32];
        APP_FormatSize(acSize, sizeof(acSize), Size > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(Size));
        UTIL_sprintf(ac, sizeof(ac), "Bank[%d] @ 0x%X <---> Bank[%d] %s @ 0x%X\r\n", j, bj.BaseAddr, k,
                     acSize, bk.BaseAddr);
        Report(ac);
        aaReported[j][k] = aaReported[k][j] = true;
      }
    }
  }
  if (NumProblems) APP_ErrorOut("----------");
  return NumProblems;
}

void BANK_SelectAll(BANK_INFO* pBank) {
  std::memset(pBank->abSectorSel, 0xFF, sizeof(pBank->abSectorSel));
  pBank->StartSector = 0;
  pBank->EndSector = 0xFFFF;
}

void BANK_InitUserBank(BANK_INFO* pBank) {
  *pBank = BANK_INFO{};
  BANKREC_InitUserDefaults(pBank);
  pBank->DeviceIndex = -1;
}

void BANK_CreateFromDevice(BANK_LIST* pList, int DeviceIndex) {
  pList->NumBanks = 0;
  pList->CurrentBank = -1;
  int n = MCUDB_GetNumBanks(DeviceIndex);
  for (int i = 0; i < n && i < BANK_MAX_BANKS; i++) {
    const MCUDB_BANK* pDev = MCUDB_GetBank(DeviceIndex, i);
    BANK_INFO& b = pList->aBank[pList->NumBanks++];
    BANK_InitUserBank(&b);
    UTIL_strcpy(b.acBankName, pDev->sName, sizeof(b.acBankName));
    const char* sLoader = XRELAY_DEVICE_GetLoaderName(DeviceIndex, pDev->BaseAddr, 0, 0);
    UTIL_strcpy(b.acLoaderName, sLoader ? sLoader : "Default", sizeof(b.acLoaderName));
    b.BaseAddr = pDev->BaseAddr;
    b.DeviceIndex = DeviceIndex;
    b.IsInternal = 1;
    b.AutoDetect = 0;
    b.OrgNumBits = 32;
    b.OrgNumChips = 1;
    BANK_SelectAll(&b);
  }
  if (pList->NumBanks == 0) {
    BANK_InitUserBank(&pList->aBank[0]);
    pList->NumBanks = 1;
  }
}

void BANK_SelectFlashDevice(BANK_INFO* pBank, int DeviceIndex) {
  if (DeviceIndex < 0 || DeviceIndex >= FLASHDEV_GetNumDevices()) DeviceIndex = 0;
  FLASH_DEVICE d{};
  pBank->DeviceIndex = DeviceIndex;
  pBank->DeviceKnown = 1;
  pBank->IsInternal = 0;
  if (FLASHDEV_GetDevice(DeviceIndex, &d) == 0) {
    pBank->CheckId = (d.Id8 && d.Id16) ? 3 : 0;
    if (d.BusWidth && pBank->OrgNumBits > d.BusWidth) pBank->OrgNumBits = d.BusWidth;
  }
  if (pBank->OrgNumBits && pBank->OrgNumChips * pBank->OrgNumBits > 32) {
    pBank->OrgNumChips = static_cast<uint8_t>(32 / pBank->OrgNumBits);
  }
  BANK_SelectAll(pBank);
}

int BANK_FormatRangeSummary(const BANK_LIST* pList, int Bank, char* sDest, int DestSize) {
  UTIL_strcpy(sDest, "", DestSize);
  DataImage* pImage = DATAIMAGE_Create();
  if (pImage == nullptr) return -1;
  int NumSectors = BANK_GetSelectedRanges(pList, Bank, pImage);
  if (NumSectors < 0) {
    DATAIMAGE_Delete(pImage);
    return -1;
  }
  uint32_t NumRanges = DATAIMAGE_GetNumRanges(pImage);
  UTIL_sprintf(sDest, DestSize, "%d Sector%s, %u Range%s:", NumSectors, NumSectors == 1 ? "" : "s", NumRanges,
               NumRanges == 1 ? "" : "s");
  for (uint32_t i = 0; i < NumRanges && i < 1024; i++) {
    uint32_t Start = 0, NumBytes = 0;
    DATAIMAGE_GetRange(pImage, i, &Start, &NumBytes);
    char ac[40];
    UTIL_sprintf(ac, sizeof(ac), "\r\n0x%X - 0x%X", Start, Start + NumBytes - 1);
    UTIL_strcat(sDest, ac, DestSize);
  }
  DATAIMAGE_Delete(pImage);
  return NumSectors;
}
