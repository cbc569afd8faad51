/*
 * TESTDATA - test data for the selected sectors of the project's banks.
 */
#include "project/TESTDATA.h"

#include <cstring>
#include <memory>
#include <vector>

#include "core/APP_GUI.h"
#include "core/APP_Job.h"
#include "core/APP_Log.h"
#include "data/DATAIMAGE.h"
#include "data/DATAJOBS.h"
#include "project/PROJECT.h"
#include "sys/UTIL.h"

namespace {

// Classic ARM: a vector table that branches to a loop counting in registers.
const uint32_t _aArmStub[12] = {0xEA000006, 0xEAFFFFFE, 0xEAFFFFFE, 0xEAFFFFFE, 0xEAFFFFFE, 0x94000006,
                                0xEAFFFFFE, 0xEAFFFFFE, 0xE3A06000, 0xE2877001, 0xE2866001, 0xEAFFFFFD};
const uint8_t _abPowerPCStub[8] = {0x48, 0x06, 0x20, 0x07, 0x20, 0x06, 0xE8, 0xFF};
const uint16_t _aCortexMLoop[8] = {0x2600, 0x3701, 0x3601, 0xE7FD, 0x4770, 0xBF00, 0xBF00, 0xBF00};

const char* _Plural(uint32_t n) {
  return n == 1 ? "" : "s";
}

struct ProgressUser {
  APP_PROGRESS* pDialog;
};

bool _OnProgress(void* pUser, int Range, int NumRanges, uint32_t First, uint32_t Last,
                 uint32_t NumBytesDone) {
  APP_PROGRESS* p = static_cast<ProgressUser*>(pUser)->pDialog;
  char ac[128];
  UTIL_sprintf(ac, sizeof(ac), "Range %d/%d, 0x%X - 0x%X", Range + 1, NumRanges, First, Last);
  APP_ProgressSetText2(p, ac);
  APP_ProgressSetValue(p, (int)NumBytesDone);
  return APP_ProgressIsCancelled(p) == 1;
}

} // namespace

int TESTDATA_GetStubKind(uint32_t CoreID) {
  switch (CoreID >> 24) {
  case 1:
  case 3:
  case 6:
  case 14:
    return TESTDATA_STUB_CORTEX_M;
  case 16:
    return TESTDATA_STUB_POWERPC;
  // Families that the flash loader engine runs as something else than a classic ARM core.
  case 2:
  case 8:
  case 11:
  case 12:
  case 13:
  case 15:
  case 17:
  case 19:
  case 20:
  case 21:
    return TESTDATA_STUB_NONE;
  default:
    return TESTDATA_STUB_ARM;
  }
}

int TESTDATA_GetStub(int Kind, bool BigEndian, uint32_t Base, uint8_t* pDest) {
  switch (Kind) {
  case TESTDATA_STUB_CORTEX_M:
    for (uint32_t k = 0; k < 128; k++) {
      uint32_t StubAddr = Base + 0x400 + 16 * k;
      UTIL_Store32(pDest + 8 * k, StubAddr + 1, BigEndian);
      UTIL_Store32(pDest + 8 * k + 4, StubAddr + 1, BigEndian);
      for (int i = 0; i < 8; i++)
        UTIL_Store16(pDest + 0x400 + 16 * k + 2 * i, _aCortexMLoop[i], BigEndian);
    }
    UTIL_Store32(pDest, 0x20000800, BigEndian);
    return TESTDATA_MAX_STUB;
  case TESTDATA_STUB_ARM:
    for (int i = 0; i < 12; i++)
      UTIL_Store32(pDest + 4 * i, _aArmStub[i], BigEndian);
    return 48;
  case TESTDATA_STUB_POWERPC:
    if (!BigEndian) return 0;
    std::memcpy(pDest, _abPowerPCStub, sizeof(_abPowerPCStub));
    return (int)sizeof(_abPowerPCStub);
  default:
    return 0;
  }
}

int TESTDATA_FitLayout(DataImage* pLayout, uint32_t StartAddr, uint32_t MaxSize) {
  if (StartAddr != 0) DATAIMAGE_DeleteRange(pLayout, 0, StartAddr - 1);
  uint32_t Rest = MaxSize;
  uint32_t n = DATAIMAGE_GetNumRanges(pLayout);
  for (uint32_t i = 0; i < n; i++) {
    uint32_t Start, Len;
    DATAIMAGE_GetRange(pLayout, i, &Start, &Len);
    if (Rest < Len) {
      DATAIMAGE_DeleteRange(pLayout, Start + Rest, 0xFFFFFFFF);
      Rest = 0;
      break;
    }
    Rest -= Len;
  }
  if (Rest == 0) return 0;
  return Rest == MaxSize ? -1 : 1;
}

int TESTDATA_Fill(DataImage* pLayout, DataImage* pResult, bool BigEndian, uint32_t FirstBankBase,
                  int StubKind, TESTDATA_PROGRESS* pfProgress, void* pUser) {
  std::vector<uint8_t> Block(TESTDATA_BLOCK_SIZE);
  uint32_t Counter = 0, Done = 0;
  uint32_t n = DATAIMAGE_GetNumRanges(pLayout);
  for (uint32_t i = 0; i < n; i++) {
    uint32_t Start, Len;
    DATAIMAGE_GetRange(pLayout, i, &Start, &Len);
    if (pfProgress && pfProgress(pUser, (int)i, (int)n, Start, Start + Len - 1, Done)) return 1;
    for (uint32_t Offset = 0; Offset < Len; Offset += TESTDATA_BLOCK_SIZE) {
      uint32_t NumBytes =
          Len - Offset < (uint32_t)TESTDATA_BLOCK_SIZE ? Len - Offset : (uint32_t)TESTDATA_BLOCK_SIZE;
      // A last partial word still takes its number: the next range starts with the next one.
      for (uint32_t j = 0; j < NumBytes; j += 4)
        UTIL_Store32(&Block[j], Counter++, BigEndian);
      if (DATAIMAGE_AddData(pResult, Start + Offset, NumBytes, Block.data()) != 0) return -1;
      Done += NumBytes;
      if (pfProgress && pfProgress(pUser, (int)i, (int)n, Start, Start + Len - 1, Done)) return 1;
    }
    uint8_t abStub[TESTDATA_MAX_STUB];
    int StubLen = TESTDATA_GetStub(StubKind, BigEndian, Start, abStub);
    if (Start == FirstBankBase && StubLen > 0 && Len >= (uint32_t)StubLen &&
        DATAIMAGE_WriteBytes(pResult, Start, (uint32_t)StubLen, abStub) != 0) {
      return -1;
    }
  }
  return 0;
}

int TESTDATA_Run(void) {
  auto pFlash = std::make_unique<PROJECT_FLASH>();
  auto pCPU = std::make_unique<PROJECT_CPU>();
  PROJECT_GetFlash(pFlash.get());
  PROJECT_GetCPU(pCPU.get());
  int64_t Start = 0, Size = 0x100000;
  for (uint32_t i = 0; i < pFlash->NumBanks; i++) {
    if (!pFlash->aBank[i].Disabled) {
      Start = pFlash->aBank[i].BaseAddr;
      break;
    }
  }
  EditValueField aField[2] = {{0, 0xFFFFFFFFll, &Start, "Start Addr (hex)", 1},
                              {0, 0xFFFFFFFFll, &Size, "Max. size (hex)", 1}};
  APP_GUI_REQUESTS* pGUI = APP_GetGUI();
  if (pGUI == nullptr || pGUI->ShowEditValueDialog("Generate test data", aField, 2) != 0) return 1;
  APP_LogBegin("Generating test data ...");
  if (Size == 0) {
    APP_ErrorOut("Requested test data size (0) is invalid.");
    APP_LogEnd(nullptr);
    return -1;
  }
  DataImage* pLayout = DATAIMAGE_Create();
  DataImage* pResult = DATAIMAGE_Create();
  int NumSelected = 0, NumSectors = 0;
  const PROJECT_DEVICE_HOOKS* pHooks = PROJECT_GetDeviceHooks();
  int r = (pLayout && pResult) ? 0 : -1;
  if (r == 0 && pHooks->pfGetSelectedRanges) pHooks->pfGetSelectedRanges(pLayout, &NumSelected, &NumSectors);
  if (r == 0) r = TESTDATA_FitLayout(pLayout, (uint32_t)Start, (uint32_t)Size);
  if (r == -1 && pLayout && pResult) {
    APP_ErrorOut("Failed to generate test data. No space available.");
    r = -2;
  } else if (r == 1) {
    APP_WarnOut("Requested size does not fit in available space. Truncating...");
  }
  if (r >= 0) {
    uint32_t n = DATAIMAGE_GetNumRanges(pLayout);
    char ac[2048];
    UTIL_sprintf(ac, sizeof(ac), "%d of %d sectors selected, %d range%s", NumSelected, NumSectors, (int)n,
                 _Plural(n));
    for (uint32_t i = 0; i < n; i++) {
      uint32_t First, Len;
      DATAIMAGE_GetRange(pLayout, i, &First, &Len);
      UTIL_sprintf(ac, sizeof(ac), "%s, 0x%X - 0x%X", ac, First, First + Len - 1);
    }
    APP_LogOut(ac);
    ProgressUser User{APP_ProgressCreate("Generating test data ...", 0)};
    APP_ProgressSetRange(User.pDialog, 0, (int)DATAIMAGE_GetNumBytes(pLayout));
    uint32_t CoreID = (pCPU->Device >= 0 && pHooks->pfGetDeviceCoreID)
                          ? pHooks->pfGetDeviceCoreID(pCPU->Device)
                          : pCPU->CoreID;
    r = TESTDATA_Fill(pLayout, pResult, pCPU->EndianMode == 1, pFlash->aBank[0].BaseAddr,
                      TESTDATA_GetStubKind(CoreID), _OnProgress, &User);
    APP_ProgressDelete(&User.pDialog);
  }
  DATAIMAGE_Delete(pLayout);
  if (r == 0) {
    uint32_t n = DATAIMAGE_GetNumRanges(pResult);
    char ac[256];
    UTIL_sprintf(ac, sizeof(ac), "Test data generated successfully. (%d bytes, %d range%s)",
                 (int)DATAIMAGE_GetNumBytes(pResult), (int)n, _Plural(n));
    APP_LogEnd(ac);
    return DATAJOBS_AddImageWindow(pResult, "Test data (generated by T-Forge)", nullptr) == 0 ? 0 : -1;
  }
  if (r == 1) {
    APP_LogOut("Generation of test data canceled by user");
  } else if (r == -1) {
    APP_ErrorOut("Could not generate test data, out of memory");
  }
  DATAIMAGE_Delete(pResult);
  APP_LogEnd(nullptr);
  return r == 1 ? 1 : -1;
}

void TESTDATA_Job(JobContext* pContext) {
  pContext->Result = TESTDATA_Run();
}
