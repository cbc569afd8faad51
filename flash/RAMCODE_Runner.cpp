/*
 * RAMCODE_Runner - the work RAM layout, download, direct and background calls of a flash
 * algorithm, and the per-family register tables.
 */
#include "flash/RAMCODE_Runner.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "probe/PROBE.h"
#include "sys/SYS.h"
#include "sys/UTIL.h"

namespace {

enum { MSG_SIZE = 1536, MSG_SIZE_SHORT = 1024 };

// ---------------------------------------------------------------------------------------------
// Families: one row each, looked up by family number.

struct FamilyTraits {
  int Family;
  bool HasBP;
  uint32_t BPWord;
};

const FamilyTraits _aFamily[] = {
    {RAMCODE_FAMILY_ARM, true, 0xFEE7FEE7u},      {RAMCODE_FAMILY_CORTEX_M, true, 0xBE00BE00u},
    {RAMCODE_FAMILY_CORTEX_R, true, 0xBE00BE00u}, {RAMCODE_FAMILY_CORTEX_A, true, 0xBE00BE00u},
    {RAMCODE_FAMILY_RISCV, true, 0x00100073u},
};

// Device family code of the probe library -> runner family.
struct FamilyCode {
  int Code;
  int Family;
};
const FamilyCode _aFamilyCode[] = {
    {1, RAMCODE_FAMILY_CORTEX_M},       {3, RAMCODE_FAMILY_CORTEX_M},       {6, RAMCODE_FAMILY_CORTEX_M},
    {14, RAMCODE_FAMILY_CORTEX_M},      {12, RAMCODE_FAMILY_CORTEX_R},      {8, RAMCODE_FAMILY_CORTEX_A},
    {15, RAMCODE_FAMILY_CORTEX_A},      {19, RAMCODE_FAMILY_RISCV},         {20, RAMCODE_FAMILY_ARMV8A},
    {2, RAMCODE_FAMILY_UNSUPPORTED_2},  {11, RAMCODE_FAMILY_UNSUPPORTED_8}, {13, RAMCODE_FAMILY_UNSUPPORTED_3},
    {16, RAMCODE_FAMILY_UNSUPPORTED_4}, {17, RAMCODE_FAMILY_UNSUPPORTED_7}, {21, RAMCODE_FAMILY_UNSUPPORTED_10},
};

// Cortex-M cores with the ARMv8-M stack limit registers (70-73), cleared for every call.
const uint32_t _aCoreWithStackLimits[] = {0x060100FFu, 0x0E0200FFu, 0x0E0300FFu, 0x0E0400FFu, 0x0E0500FFu};

// ---------------------------------------------------------------------------------------------
// Registers preserved around flash programming, by the top byte of the core id.

#define RANGE2(a) a, a + 1
#define RANGE4(a) RANGE2(a), RANGE2(a + 2)
#define RANGE8(a) RANGE4(a), RANGE4(a + 4)
#define RANGE16(a) RANGE8(a), RANGE8(a + 8)
#define RANGE32(a) RANGE16(a), RANGE16(a + 16)

const uint32_t _aRegsCortexM[] = {16, 20, RANGE8(0), RANGE4(8), 12, 14, 15, 17, 18};
const uint32_t _aRegsCortexMv8[] = {16, 20, RANGE8(0), RANGE4(8), 12, 14, 15, 17, 18, RANGE8(66), RANGE2(74)};
const uint32_t _aRegsARM[] = {RANGE8(0), RANGE4(10), RANGE2(14), 16, 9, 8, 30, 28, 36, 34};
const uint32_t _aRegs0D[] = {RANGE16(0), RANGE8(16), 24};
const uint32_t _aRegs11[] = {1, RANGE2(2), RANGE4(4), RANGE8(8), RANGE16(16), 33, 34, 36, 40, 41, 54, 55, 57, 58};
const uint32_t _aRegsRISCV[] = {RANGE32(4096), 4224, 768};
const uint32_t _aRegsAArch64[] = {RANGE32(0), 33, RANGE8(34), RANGE4(42), RANGE2(46), 48};
const uint32_t _aRegs15[] = {RANGE32(0), RANGE4(32), RANGE2(36), 46, 47};

struct PreserveList {
  uint8_t TopByte;
  const uint32_t* paReg;
  int NumRegs;
};
#define PRESERVE(b, a) {b, a, (int)(sizeof(a) / sizeof(a[0]))}
const PreserveList _aPreserve[] = {
    PRESERVE(0x01, _aRegsCortexM), PRESERVE(0x03, _aRegsCortexM), PRESERVE(0x06, _aRegsCortexM),
    PRESERVE(0x0E, _aRegsCortexM), PRESERVE(0x07, _aRegsARM),     PRESERVE(0x08, _aRegsARM),
    PRESERVE(0x09, _aRegsARM),     PRESERVE(0x0C, _aRegsARM),     PRESERVE(0x0F, _aRegsARM),
    PRESERVE(0x0D, _aRegs0D),      PRESERVE(0x11, _aRegs11),      PRESERVE(0x13, _aRegsRISCV),
    PRESERVE(0x14, _aRegsAArch64), PRESERVE(0x15, _aRegs15),
};

// ---------------------------------------------------------------------------------------------

void _Error(const RAMCodeRunner* p, const char* sFormat, ...) __attribute__((format(printf, 2, 3)));
void _Error(const RAMCodeRunner* p, const char* sFormat, ...) {
  char ac[MSG_SIZE];
  va_list Args;
  va_start(Args, sFormat);
  std::vsnprintf(ac, sizeof(ac), sFormat, Args);
  va_end(Args);
  if (p->pfErrorOut) p->pfErrorOut(ac);
}

} // namespace

void RAMCODE_Init(RAMCodeRunner* pRunner, const CMSISInfo* pInfo) {
  std::memset(pRunner, 0, sizeof(*pRunner));
  pRunner->pInfo = pInfo;
  if (pInfo) {
    pRunner->pImage = pInfo->pImage;
    pRunner->ImageSize = pInfo->ImageSize;
    pRunner->IsAArch64 = pInfo->Is64;
  }
}

int RAMCODE_FamilyOf(int DeviceFamilyCode) {
  for (const FamilyCode& c : _aFamilyCode) {
    if (c.Code == DeviceFamilyCode) return c.Family;
  }
  return RAMCODE_FAMILY_ARM;
}

void RAMCODE_SetCore(RAMCodeRunner* pRunner, int DeviceFamilyCode, uint32_t CoreId, bool IsAArch64) {
  pRunner->Family = RAMCODE_FamilyOf(DeviceFamilyCode);
  pRunner->CoreId = CoreId;
  pRunner->IsAArch64 = IsAArch64;
  pRunner->IsBackground = pRunner->pInfo && pRunner->pInfo->aEntryOffset[MCUDB_ENTRY_START] >= 0 &&
                          pRunner->Family == RAMCODE_FAMILY_CORTEX_M;
}

bool RAMCODE_GetBreakpointWord(int Family, bool IsAArch64, uint32_t* pWord) {
  if (Family == RAMCODE_FAMILY_ARMV8A) {
    *pWord = IsAArch64 ? 0xD4400000u : 0x0000BA80u;
    return true;
  }
  for (const FamilyTraits& f : _aFamily) {
    if (f.Family == Family) {
      *pWord = f.BPWord;
      return f.HasBP;
    }
  }
  return false;
}

int RAMCODE_CalcLayout(RAMCodeRunner* pRunner, uint32_t RAMSize, uint32_t NumBytesToProgram,
                       uint32_t RequestedBufferSize, uint32_t* pBufferAddr, uint32_t* pBufferSize) {
  (void)pRunner;
  (void)RAMSize;
  (void)NumBytesToProgram;
  (void)RequestedBufferSize;
  (void)pBufferAddr;
  (void)pBufferSize;
  return -1;
}

uint32_t RAMCODE_GetBufferAddr(const RAMCodeRunner* pRunner, int Slot) {
  const RAMCODE_LAYOUT& L = pRunner->Layout;
  return pRunner->WorkRAMAddr + L.BPOffset + 8 + (Slot ? L.BufferSize : 0);
}

uint32_t RAMCODE_GetBlockAddr(const RAMCodeRunner* pRunner, int Slot) {
  const RAMCODE_LAYOUT& L = pRunner->Layout;
  return pRunner->WorkRAMAddr + L.BPOffset + 2 * L.BufferSize + 8 + (Slot ? 56 : 0);
}

uint32_t RAMCODE_GetBPAddr(const RAMCodeRunner* pRunner) { return pRunner->WorkRAMAddr + pRunner->Layout.BPOffset; }

int RAMCODE_Download(RAMCodeRunner* pRunner, uint32_t WorkRAMAddr) {
  (void)pRunner;
  (void)WorkRAMAddr;
  return -1;
}

int RAMCODE_Call(RAMCodeRunner* pRunner, RAMCODE_REQUEST* pReq) {
  (void)pRunner;
  (void)pReq;
  return -1;
}

int RAMCODE_Sync(RAMCodeRunner* pRunner) {
  (void)pRunner;
  return -1;
}

int RAMCODE_GetResult(const RAMCodeRunner* pRunner, int Slot, int32_t* pResult) {
  if (Slot < 0 || Slot >= RAMCODE_NUM_SLOTS || pRunner->aSlot[Slot].State != RAMCODE_SLOT_DONE) return -1;
  *pResult = pRunner->aSlot[Slot].Req.Result;
  return 0;
}

int RAMCODE_ReadBuffer(RAMCodeRunner* pRunner, int Slot, uint32_t Offset, uint32_t NumBytes, void* pDest) {
  (void)pRunner;
  (void)Slot;
  (void)Offset;
  (void)NumBytes;
  (void)pDest;
  return -1;
}

int RAMCODE_ReadFlash(RAMCodeRunner* pRunner, uint32_t TimeoutMs, uint32_t Base, uint32_t Addr, uint32_t NumBytes,
                      void* pDest) {
  (void)pRunner;
  (void)TimeoutMs;
  (void)Base;
  (void)Addr;
  (void)NumBytes;
  (void)pDest;
  _Error(pRunner, "Read call back not set");
  return -1;
}

void RAMCODE_Stop(RAMCodeRunner* pRunner) {
  if (pRunner->IsRunning) XRELAYARM_Halt();
  pRunner->IsRunning = 0;
  for (RAMCODE_SLOT& s : pRunner->aSlot) {
    if (s.State == RAMCODE_SLOT_POSTED) s.State = RAMCODE_SLOT_FREE;
  }
}

void RAMCODE_Reset(RAMCodeRunner* pRunner) {
  RAMCODE_Stop(pRunner);
  pRunner->IsDownloaded = 0;
  std::memset(pRunner->aSlot, 0, sizeof(pRunner->aSlot));
  pRunner->SlotCounter = 0;
}

int RAMCODE_GetPreservedRegs(uint32_t CoreId, const uint32_t** ppaRegIndex) {
  if (CoreId == 0x0E0200FFu) {
    *ppaRegIndex = _aRegsCortexMv8;
    return (int)(sizeof(_aRegsCortexMv8) / sizeof(_aRegsCortexMv8[0]));
  }
  for (const PreserveList& l : _aPreserve) {
    if (l.TopByte == (CoreId >> 24)) {
      *ppaRegIndex = l.paReg;
      return l.NumRegs;
    }
  }
  *ppaRegIndex = nullptr;
  return 0;
}

int RAMCODE_SaveRegs(uint32_t CoreId, bool IsAArch64, uint64_t* paCache, uint32_t CacheSize) {
  (void)CoreId;
  (void)IsAArch64;
  (void)paCache;
  (void)CacheSize;
  return RAMCODE_REGS_NOT_SUPPORTED;
}

int RAMCODE_RestoreRegs(uint32_t CoreId, bool IsAArch64, const uint64_t* paCache, uint32_t CacheSize) {
  (void)CoreId;
  (void)IsAArch64;
  (void)paCache;
  (void)CacheSize;
  return RAMCODE_REGS_NOT_SUPPORTED;
}
