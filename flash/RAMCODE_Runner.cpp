/*
 * RAMCODE_Runner - the work RAM layout, download, direct and background calls of a flash
 * algorithm, and the per-family register tables.
 */
#include "flash/RAMCODE_Runner.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "probe/PROBE.h"
#include "sys/SYS.h"
#include "sys/UTIL.h"

namespace {

enum { MSG_SIZE = 1536, MSG_SIZE_SHORT = 1024, RAMCODE_MAX_POLL_SPACING = 8 };

// ---------------------------------------------------------------------------------------------
// Families: one row each (family 11 one per state), with everything a call needs of them.

enum { ANY_STATE = -1 };
enum { DUMP_NONE, DUMP_ARM, DUMP_SHORT };
enum { REG_MODE_LR = 0xFFFFFFFFu }; // in a timeout text: the LR of the CPSR's mode
enum { SRC_NONE, SRC_CONST, SRC_BP, SRC_BP_THUMB, SRC_PRGDATA, SRC_ENTRY, SRC_ENTRY_EVEN, SRC_MODIFY };

// One register written for a call: SRC_MODIFY reads it and writes (value & And) | Or. A row
// with fewer registers ends with SRC_NONE entries.
struct RegSet {
  uint32_t Reg = 0;
  uint8_t Source = SRC_NONE;
  uint32_t And = 0;
  uint32_t Or = 0;
};

struct FamilyTraits {
  int Family;
  int AArch64;       // ANY_STATE, or the state the row is for
  uint32_t BPWord;
  bool Is64;         // registers through the 64-bit calls
  uint32_t PCReg;
  uint32_t ArgLow;   // argument register i is i + ArgLow (i <= 5), i + ArgHigh above
  uint32_t ArgHigh;
  int Dump;          // appended to the PC text
  // "%s" (the activity), then the registers of aTimeoutReg; a 32-bit value prints the same
  // with %.8llX as with %.8X, so one form serves every family.
  const char* sTimeout;
  uint32_t aTimeoutReg[3];
  RegSet aSet[5];
};

const FamilyTraits _aFamily[] = {
    {RAMCODE_FAMILY_ARM, ANY_STATE, 0xFEE7FEE7u, false, 9, 0, 0, DUMP_ARM,
     "Timeout while %s, core does not stop. (PC = 0x%.8llX, CPSR = 0x%.8llX, LR = 0x%.8llX)!", {9, 8, REG_MODE_LR},
     {{8, SRC_MODIFY, 0x200, 0x3F}, {11, SRC_PRGDATA}, {15, SRC_BP}, {78, SRC_BP_THUMB}, {9, SRC_ENTRY_EVEN}}},
    {RAMCODE_FAMILY_CORTEX_M, ANY_STATE, 0xBE00BE00u, false, 15, 0, 0, DUMP_SHORT,
     "Timeout while %s, core does not stop. (PC = 0x%.8llX, XPSR = 0x%.8llX, SP = 0x%.8llX)!", {15, 16, 13},
     {{16, SRC_CONST, 0, 0x01000000}, {9, SRC_PRGDATA}, {13, SRC_BP}, {14, SRC_BP_THUMB}, {15, SRC_ENTRY}}},
    {RAMCODE_FAMILY_CORTEX_R, ANY_STATE, 0xBE00BE00u, false, 9, 0, 0, DUMP_SHORT,
     "Timeout while %s, core does not stop. (PC = 0x%.8llX, CPSR = 0x%.8llX, LR = 0x%.8llX)!", {9, 8, REG_MODE_LR},
     {{8, SRC_MODIFY, 0x240, 0x3F}, {75, SRC_PRGDATA}, {15, SRC_BP}, {80, SRC_BP_THUMB}, {9, SRC_ENTRY_EVEN}}},
    {RAMCODE_FAMILY_CORTEX_A, ANY_STATE, 0xBE00BE00u, false, 9, 0, 0, DUMP_SHORT,
     "Timeout while %s, core does not stop. (PC = 0x%.8llX, CPSR = 0x%.8llX, LR = 0x%.8llX)!", {9, 8, REG_MODE_LR},
     {{8, SRC_MODIFY, 0x240, 0x3F}, {75, SRC_PRGDATA}, {15, SRC_BP}, {80, SRC_BP_THUMB}, {9, SRC_ENTRY_EVEN}}},
    {RAMCODE_FAMILY_RISCV, ANY_STATE, 0x00100073u, false, 4224, 4106, 4095, DUMP_NONE,
     "Timeout while %s, core does not stop. (PC = 0x%.8llX, X1 = 0x%.8llX, X2 = 0x%.8llX)!", {4224, 4097, 4098},
     {{768, SRC_MODIFY, ~0xBu, 0}, {1968, SRC_MODIFY, ~0u, 3}, {4098, SRC_BP}, {4097, SRC_BP}, {4224, SRC_ENTRY}}},
    {RAMCODE_FAMILY_ARMV8A, 1, 0xD4400000u, true, 33, 0, 0, DUMP_NONE,
     "Timeout while %s, core does not stop. (PC = 0x%.8llX, CPSR = 0x%.8llX)!", {33, 34},
     {{30, SRC_BP}, {32, SRC_BP}, {33, SRC_ENTRY_EVEN}}},
    {RAMCODE_FAMILY_ARMV8A, 0, 0x0000BA80u, false, 147, 116, 116, DUMP_NONE,
     "Timeout while %s, core does not stop. (PC = 0x%.8llX, CPSR = 0x%.8llX)!", {147, 149},
     {{149, SRC_MODIFY, 0x240, 0x3F}, {125, SRC_PRGDATA}, {129, SRC_BP}, {130, SRC_BP_THUMB}, {147, SRC_ENTRY_EVEN}}},
};

// The row of a family in a state, or null for the families that this runner cannot run.
const FamilyTraits* _Traits(int Family, bool IsAArch64) {
  for (const FamilyTraits& f : _aFamily) {
    if (f.Family == Family && (f.AArch64 == ANY_STATE || f.AArch64 == (int)IsAArch64)) return &f;
  }
  return nullptr;
}

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


// ---------------------------------------------------------------------------------------------
// Target access

int _Read(const RAMCodeRunner* p, uint32_t Addr, uint32_t NumBytes, void* pDest) {
  int r = p->pfReadMem ? p->pfReadMem(Addr, NumBytes, pDest) : XRELAYARM_ReadMemEx(Addr, NumBytes, pDest, 0);
  return r < 0 ? -1 : 0;
}

int _Write(uint32_t Addr, uint32_t NumBytes, const void* pData) {
  return XRELAYARM_WriteMemEx(Addr, NumBytes, pData, 0) < 0 ? -1 : 0;
}

uint32_t _Reg(uint32_t Index) {
  uint32_t v = 0;
  XRELAYARM_ReadReg(Index, &v);
  return v;
}

uint64_t _Reg64(uint32_t Index) {
  uint64_t v = 0;
  XRELAY_ReadRegs_64(&Index, &v, nullptr, 1);
  return v;
}

// A register as the family reads it (64-bit calls in AArch64 state).
uint64_t _RegOf(const FamilyTraits* t, uint32_t Index) { return t->Is64 ? _Reg64(Index) : _Reg(Index); }

uint32_t _LE32(const uint8_t* p, uint32_t Size, uint32_t Off) {
  uint32_t v = 0;
  for (uint32_t i = 0; i < 4; i++) {
    if (Off + i < Size) v |= (uint32_t)p[Off + i] << (8 * i);
  }
  return v;
}

// ---------------------------------------------------------------------------------------------
// Entries and argument registers of the operations

struct OpEntry {
  uint32_t Op;
  int ExtEntry;   // tried first
  int CmsisEntry; // when the extended one is absent
};
const OpEntry _aOp[] = {
    {RAMCODE_OP_BLANK_CHECK, MCUDB_ENTRY_CHECK_BLANK, MCUDB_ENTRY_BLANK_CHECK},
    {RAMCODE_OP_CALC_CRC, MCUDB_ENTRY_CALC_CRC, -1},
    {RAMCODE_OP_FLASH_INFO, MCUDB_ENTRY_GET_FLASH_INFO, -1},
    {RAMCODE_OP_PROGRAM, MCUDB_ENTRY_PROGRAM, MCUDB_ENTRY_PROGRAM_PAGE},
    {RAMCODE_OP_PREPARE, MCUDB_ENTRY_PREPARE, MCUDB_ENTRY_INIT},
    {RAMCODE_OP_RESTORE, MCUDB_ENTRY_RESTORE, MCUDB_ENTRY_UNINIT},
    {RAMCODE_OP_VERIFY, MCUDB_ENTRY_VERIFY_EX, MCUDB_ENTRY_VERIFY},
};
const OpEntry _OpEraseChip = {RAMCODE_OP_ERASE, MCUDB_ENTRY_ERASE_CHIP_EX, MCUDB_ENTRY_ERASE_CHIP};
const OpEntry _OpEraseSectors = {RAMCODE_OP_ERASE, MCUDB_ENTRY_ERASE, MCUDB_ENTRY_ERASE_SECTOR};
const OpEntry _OpRead = {RAMCODE_OP_READ, MCUDB_ENTRY_READ, -1};

struct CallSetup {
  uint32_t Entry;     // address, Thumb bit kept
  uint32_t aArg[4];
  int NumArgs;
  bool InitResult; // Init / UnInit: 0 when r0 is 0, else -1
};

// The entry and argument registers of a request; false when the entry is absent in both forms.
bool _Setup(const RAMCodeRunner* p, const RAMCODE_REQUEST* pReq, bool AllowRead, CallSetup* pSetup) {
  const OpEntry* pOp = nullptr;
  if (pReq->Op == RAMCODE_OP_ERASE) {
    pOp = pReq->Length ? &_OpEraseSectors : &_OpEraseChip;
  } else if (pReq->Op == RAMCODE_OP_READ) {
    pOp = AllowRead ? &_OpRead : nullptr;
  } else {
    for (const OpEntry& o : _aOp) {
      if (o.Op == pReq->Op) pOp = &o;
    }
  }
  if (pOp == nullptr || p->pInfo == nullptr) return false;
  const int32_t* aOff = p->pInfo->aEntryOffset;
  int Entry = aOff[pOp->ExtEntry] >= 0 ? pOp->ExtEntry : (pOp->CmsisEntry >= 0 && aOff[pOp->CmsisEntry] >= 0 ? pOp->CmsisEntry : -1);
  if (Entry < 0) return false;
  *pSetup = CallSetup{};
  pSetup->Entry = p->WorkRAMAddr + (uint32_t)aOff[Entry];
  uint32_t Addr = pReq->BankBase + pReq->Offset;
  uint32_t Buffer0 = RAMCODE_GetBufferAddr(p, 0);
  auto Args = [&](std::initializer_list<uint32_t> l) {
    for (uint32_t v : l) pSetup->aArg[pSetup->NumArgs++] = v;
  };
  switch (pReq->Op) {
  case RAMCODE_OP_BLANK_CHECK: Args({Addr, pReq->Length, pReq->Value & 0xFFu}); break;
  case RAMCODE_OP_CALC_CRC: Args({pReq->Value, Addr, pReq->Length, pReq->ExtraValue}); break;
  case RAMCODE_OP_FLASH_INFO: Args({Buffer0, p->WorkRAMAddr + p->Layout.BufferSize}); break;
  case RAMCODE_OP_READ:
  case RAMCODE_OP_PROGRAM:
  case RAMCODE_OP_VERIFY: Args({Addr, pReq->Length, Buffer0}); break;
  case RAMCODE_OP_ERASE:
    if (pReq->Length) Args({Addr, pReq->Value, pReq->Length});
    break;
  case RAMCODE_OP_PREPARE:
    if (Entry == MCUDB_ENTRY_INIT) {
      Args({pReq->BankBase, p->CPUClockHz, p->InitCode});
      pSetup->InitResult = true;
    } else {
      Args({0, 0, 0});
    }
    break;
  case RAMCODE_OP_RESTORE:
    if (Entry == MCUDB_ENTRY_UNINIT) {
      Args({p->InitCode});
      pSetup->InitResult = true;
    } else {
      Args({0});
    }
    break;
  }
  return true;
}

// Probe-library number of argument register i (also the result register for i = 0).
uint32_t _ArgReg(const FamilyTraits* t, int i) { return (uint32_t)i + (i <= 5 ? t->ArgLow : t->ArgHigh); }

// Writes the family's registers for a call of Entry with the arguments; 0 or -1.
int _SetRegisters(const RAMCodeRunner* p, uint32_t Entry, const uint32_t* paArg, int NumArgs) {
  const FamilyTraits* t = _Traits(p->Family, p->IsAArch64);
  if (t == nullptr) return -1;
  uint32_t BP = RAMCODE_GetBPAddr(p);
  uint32_t PrgData = p->WorkRAMAddr + (p->pInfo ? p->pInfo->PrgDataAddr : 0);
  std::vector<uint32_t> aIndex;
  std::vector<uint64_t> aValue;
  auto Set = [&](uint32_t Index, uint64_t Value) {
    aIndex.push_back(Index);
    aValue.push_back(Value);
  };
  for (int i = 0; i < NumArgs; i++) Set(_ArgReg(t, i), paArg[i]);
  for (const RegSet& r : t->aSet) {
    switch (r.Source) {
    case SRC_NONE: break;
    case SRC_CONST: Set(r.Reg, r.Or); break;
    case SRC_BP: Set(r.Reg, BP); break;
    case SRC_BP_THUMB: Set(r.Reg, BP | 1u); break;
    case SRC_PRGDATA: Set(r.Reg, PrgData); break;
    case SRC_ENTRY: Set(r.Reg, Entry); break;
    case SRC_ENTRY_EVEN: Set(r.Reg, Entry & ~1u); break;
    case SRC_MODIFY: Set(r.Reg, (_Reg(r.Reg) & r.And) | r.Or); break;
    }
  }
  if (p->Family == RAMCODE_FAMILY_CORTEX_M) {
    for (uint32_t Id : _aCoreWithStackLimits) {
      if (Id == p->CoreId) {
        for (uint32_t r = 70; r <= 73; r++) Set(r, 0);
      }
    }
  }
  if (t->Is64) {
    return XRELAY_WriteRegs_64(aIndex.data(), aValue.data(), nullptr, (uint32_t)aIndex.size()) < 0 ? -1 : 0;
  }
  std::vector<uint32_t> a32(aValue.begin(), aValue.end());
  return XRELAYARM_WriteRegs(aIndex.data(), a32.data(), nullptr, (uint32_t)aIndex.size()) < 0 ? -1 : 0;
}

// ARM7/ARM9 catch the return by an EmbeddedICE watchpoint on S'.
void _ArmWatchpoint(const RAMCodeRunner* p, bool On) {
  if (p->Family != RAMCODE_FAMILY_ARM) return;
  if (!On) {
    XRELAYARM_WriteICEReg(12, 0, 1);
    XRELAYARM_WriteICEReg(20, 0, 1);
    return;
  }
  XRELAYARM_WriteICEReg(19, 0xFFFFFFFFu, 1);
  XRELAYARM_WriteICEReg(17, 1, 1);
  XRELAYARM_WriteICEReg(16, RAMCODE_GetBPAddr(p), 1);
  XRELAYARM_WriteICEReg(20, 0x100, 1);
  XRELAYARM_WriteICEReg(21, 0xF7, 1);
  if (p->WorkRAMAddr < 32) {
    XRELAYARM_WriteICEReg(12, 0, 1);
  } else {
    XRELAYARM_WriteICEReg(11, 0xFFFFFFFFu, 1);
    XRELAYARM_WriteICEReg(9, 31, 1);
    XRELAYARM_WriteICEReg(8, 0, 1);
    XRELAYARM_WriteICEReg(12, 0x100, 1);
    XRELAYARM_WriteICEReg(13, 0xF7, 1);
  }
}

int _Run(const RAMCodeRunner* p) {
  int r = (p->Flags & RAMCODE_FLAG_INT_ENABLED) ? XRELAYARM_Go() : XRELAYARM_GoIntDis();
  return r < 0 ? -1 : 0;
}

// ---------------------------------------------------------------------------------------------
// Messages with the core's state

const char* _ModeName(uint32_t CPSR) {
  static const struct {
    uint32_t Mode;
    const char* sName;
  } aMode[] = {{16, "User mode"}, {17, "FIQ mode"},   {18, "IRQ mode"},   {19, "SVC mode"},
               {23, "ABORT mode"}, {27, "UNDEF mode"}, {31, "System mode"}};
  if (CPSR & 0x10u) {
    for (const auto& m : aMode) {
      if (m.Mode == (CPSR & 0x1Fu)) return m.sName;
    }
  }
  return "Unknown mode";
}

uint32_t _ModeLR(uint32_t CPSR) {
  switch (CPSR & 0x1Fu) {
  case 17: return 24;
  case 18: return 33;
  case 19: return 27;
  case 23: return 30;
  case 27: return 36;
  default: return 16;
  }
}

std::string _Dashes(int n) { return std::string((size_t)n, '-'); }
std::string _DumpHeader() { return "\n" + _Dashes(70) + " Registers " + _Dashes(85) + "\n"; }
std::string _DumpFooter() { return _Dashes(172) + "\n\n"; }

std::string _Format(const char* sFormat, ...) __attribute__((format(printf, 1, 2)));
std::string _Format(const char* sFormat, ...) {
  char ac[MSG_SIZE];
  va_list Args;
  va_start(Args, sFormat);
  std::vsnprintf(ac, sizeof(ac), sFormat, Args);
  va_end(Args);
  return ac;
}

std::string _FullDump() {
  static const uint32_t aIndex[] = {9,  8,  0,  1,  2,  3,  4,  5,  6,  7,  10, 11, 12, 13, 14, 15, 16, 18, 19,
                                    20, 21, 22, 23, 24, 17, 26, 27, 25, 29, 30, 28, 32, 33, 31, 35, 36, 34};
  uint32_t r[sizeof(aIndex) / sizeof(aIndex[0])];
  for (size_t i = 0; i < sizeof(aIndex) / sizeof(aIndex[0]); i++) r[i] = _Reg(aIndex[i]);
  std::string Mode = _Format("%s%s%s%s", _ModeName(r[1]), (r[1] & 0x20u) ? ", THUMB" : ", ARM",
                             (r[1] & 0x40u) ? ", FIQ dis." : "", (r[1] & 0x80u) ? ", IRQ dis." : "");
  return _DumpHeader() +
         _Format("    \tPC      = %.8X\n    \tCPSR = %.8X (%s)\n\n"
                 "Current:\tR0   = %.8X,\tR1   = %.8X,\tR2   = %.8X,\tR3   = %.8X\n"
                 "    \tR4   = %.8X,\tR5   = %.8X,\tR6   = %.8X,\tR7   = %.8X\n",
                 r[0], r[1], Mode.c_str(), r[2], r[3], r[4], r[5], r[6], r[7], r[8], r[9]) +
         _Format("USR:\tR8   = %.8X,\tR9   = %.8X,\tR10 = %.8X,\tR11 = %.8X,\tR12 = %.8X\n"
                 "    \tR13 = %.8X,\tR14 = %.8X\n"
                 "FIQ:\tR8   = %.8X,\tR9   = %.8X,\tR10 = %.8X,\tR11 = %.8X,\tR12 = %.8X\n"
                 "    \tR13 = %.8X,\tR14 = %.8X,\tSPSR = %.8X\n",
                 r[10], r[11], r[12], r[13], r[14], r[15], r[16], r[17], r[18], r[19], r[20], r[21], r[22], r[23],
                 r[24]) +
         _Format("SVC:\tR13 = %.8X,\tR14 = %.8X,\tSPSR = %.8X\n"
                 "ABT:\tR13 = %.8X,\tR14 = %.8X,\tSPSR = %.8X\n"
                 "IRQ:\tR13 = %.8X,\tR14 = %.8X,\tSPSR = %.8X\n"
                 "UND:\tR13 = %.8X,\tR14 = %.8X,\tSPSR = %.8X\n",
                 r[25], r[26], r[27], r[28], r[29], r[30], r[31], r[32], r[33], r[34], r[35], r[36]) +
         _DumpFooter();
}

std::string _ShortDump(uint32_t PCReg) {
  uint32_t r[8];
  for (uint32_t i = 0; i < 8; i++) r[i] = _Reg(i);
  return _DumpHeader() +
         _Format("    \tPC   = %.8X\nCurrent:\tR0   = %.8X,\tR1   = %.8X,\tR2   = %.8X,\tR3   = %.8X\n"
                 "    \tR4   = %.8X,\tR5   = %.8X,\tR6   = %.8X,\tR7   = %.8X\n",
                 _Reg(PCReg), r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7]) +
         _DumpFooter();
}

void _Report(const RAMCodeRunner* p, const std::string& Text, size_t MaxSize) {
  std::string s = Text.size() >= MaxSize ? Text.substr(0, MaxSize - 1) : Text;
  if (p->pfErrorOut) p->pfErrorOut(s.c_str());
}

void _ReportTimeout(const RAMCodeRunner* p, const char* sActivity) {
  const FamilyTraits* t = _Traits(p->Family, p->IsAArch64);
  if (t == nullptr) {
    _Report(p, _Format("Timeout while %s, core does not stop.!", sActivity), MSG_SIZE);
    return;
  }
  unsigned long long a[3] = {};
  for (int i = 0; i < 3; i++) {
    uint32_t Reg = t->aTimeoutReg[i];
    // The LR of the mode that the CPSR (the register before it) shows.
    a[i] = Reg == REG_MODE_LR ? _RegOf(t, _ModeLR((uint32_t)a[i - 1])) : Reg ? _RegOf(t, Reg) : 0;
  }
  _Report(p, _Format(t->sTimeout, sActivity, a[0], a[1], a[2]), MSG_SIZE);
}

// The PC after a run: true at S'; otherwise the message with the family's dump.
bool _CheckPC(const RAMCodeRunner* p, const char* sActivity) {
  const FamilyTraits* t = _Traits(p->Family, p->IsAArch64);
  uint64_t PC = t ? _RegOf(t, t->PCReg) : 0;
  if (t && PC == RAMCODE_GetBPAddr(p)) return true;
  std::string s = _Format("PC of target system has unexpected value after %s. (PC = 0x%.8llX)!", sActivity,
                          (unsigned long long)PC);
  int Dump = t ? t->Dump : DUMP_NONE;
  if (Dump == DUMP_ARM) {
    _Report(p, s + _FullDump(), MSG_SIZE);
  } else if (Dump == DUMP_SHORT) {
    _Report(p, s + _ShortDump(t->PCReg), MSG_SIZE_SHORT);
  } else {
    _Report(p, s, MSG_SIZE);
  }
  return false;
}

const char* _Activity(const RAMCODE_REQUEST* pReq) { return pReq->sActivity ? pReq->sActivity : ""; }

bool _Aborted(const RAMCodeRunner* p) { return p->pfAbort && p->pfAbort() != 0; }

bool _TimedOut(uint32_t StartMs, uint32_t TimeoutMs) { return SYS_TIME_GetMs() - StartMs >= TimeoutMs; }

// ---------------------------------------------------------------------------------------------
// Direct mode

int _CallDirect(RAMCodeRunner* p, RAMCODE_REQUEST* pReq, bool AllowRead) {
  RAMCODE_SLOT& Slot = p->aSlot[0];
  Slot.Req = *pReq;
  Slot.State = RAMCODE_SLOT_POSTED;
  RAMCODE_REQUEST& Req = Slot.Req;
  const char* sActivity = _Activity(&Req);
  auto Fail = [&]() {
    Slot.State = RAMCODE_SLOT_FREE;
    return -1;
  };
  CallSetup Setup;
  if (!_Setup(p, &Req, AllowRead, &Setup)) {
    // An entry that the algorithm lacks: the result says so, the target stays untouched.
    Req.Result = pReq->Result = -1;
    Slot.State = RAMCODE_SLOT_DONE;
    return 0;
  }
  if (Req.NumBytesIn && _Write(RAMCODE_GetBufferAddr(p, 0), Req.NumBytesIn, Req.pInData) != 0) {
    _Error(p, "Failed to write data for %s to target RAM @ 0x%.8X.", sActivity, RAMCODE_GetBufferAddr(p, 0));
    return Fail();
  }
  if (Req.pfBefore && Req.pfBefore(p, &Req) < 0) return Fail();
  if (_SetRegisters(p, Setup.Entry, Setup.aArg, Setup.NumArgs) != 0) {
    _Error(p, "Failed to set CPU registers for %s.", sActivity);
    return Fail();
  }
  _ArmWatchpoint(p, true);
  uint32_t StartMs = SYS_TIME_GetMs();
  if (_Run(p) != 0) {
    _ArmWatchpoint(p, false);
    _Error(p, "Failed to start the core for %s.", sActivity);
    XRELAYARM_Halt();
    return Fail();
  }
  for (;;) {
    int Halted = XRELAYARM_IsHalted();
    if (Halted > 0) break;
    if (Halted < 0) {
      XRELAYARM_Halt();
      _ArmWatchpoint(p, false);
      _Error(p, "Failed to check whether the core has stopped while %s.", sActivity);
      return Fail();
    }
    if (_Aborted(p)) {
      XRELAYARM_Halt();
      _ArmWatchpoint(p, false);
      return Fail();
    }
    if (_TimedOut(StartMs, Req.TimeoutMs)) {
      XRELAYARM_Halt();
      _ArmWatchpoint(p, false);
      _ReportTimeout(p, sActivity);
      return Fail();
    }
  }
  _ArmWatchpoint(p, false);
  if (!_CheckPC(p, sActivity)) return Fail();
  const FamilyTraits* t = _Traits(p->Family, p->IsAArch64);
  uint32_t R0 = (uint32_t)_RegOf(t, _ArgReg(t, 0));
  Req.Result = Setup.InitResult ? (R0 == 0 ? 0 : -1) : (int32_t)R0;
  if (Req.NumBytesOut && _Read(p, RAMCODE_GetBufferAddr(p, 0), Req.NumBytesOut, Req.pOutData) != 0) {
    _Error(p, "Failed to read the result of %s from target RAM @ 0x%.8X.", sActivity, RAMCODE_GetBufferAddr(p, 0));
    return Fail();
  }
  pReq->Result = Req.Result;
  Slot.State = RAMCODE_SLOT_DONE;
  if (Req.pfAfter && Req.pfAfter(p, &Req) < 0) return -1;
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Background mode

// Drops every posted slot and halts the Start entry: after a failure the next request starts clean.
void _DropAll(RAMCodeRunner* p) { RAMCODE_Stop(p); }

int _StartBackground(RAMCodeRunner* p, const char* sActivity) {
  static const uint32_t aIdle[2] = {RAMCODE_STATUS_POSTED, 0};
  for (int i = 0; i < RAMCODE_NUM_SLOTS; i++) {
    if (_Write(RAMCODE_GetBlockAddr(p, i) + 4 * RAMCODE_BLOCK_STATUS, sizeof(aIdle), aIdle) != 0) {
      _Error(p, "Failed to write the command blocks of the RAMCode for %s.", sActivity);
      return -1;
    }
  }
  uint32_t Block0 = RAMCODE_GetBlockAddr(p, 0);
  uint32_t Entry = p->WorkRAMAddr + (uint32_t)p->pInfo->aEntryOffset[MCUDB_ENTRY_START];
  if (_SetRegisters(p, Entry, &Block0, 1) != 0) {
    _Error(p, "Failed to set CPU registers for %s.", sActivity);
    return -1;
  }
  if (_Run(p) != 0) {
    _Error(p, "Failed to start the core for %s.", sActivity);
    XRELAYARM_Halt();
    return -1;
  }
  p->IsRunning = 1;
  p->SlotCounter = 0;
  std::memset(p->aSlot, 0, sizeof(p->aSlot));
  return 0;
}

// Waits until a posted slot is done, reads its output and runs its after-hook. 0, or -1.
int _WaitSlot(RAMCodeRunner* p, int i) {
  RAMCODE_SLOT& Slot = p->aSlot[i];
  if (Slot.State != RAMCODE_SLOT_POSTED) return 0;
  RAMCODE_REQUEST& Req = Slot.Req;
  const char* sActivity = _Activity(&Req);
  uint32_t StatusAddr = RAMCODE_GetBlockAddr(p, i) + 4 * RAMCODE_BLOCK_STATUS;
  // The core runs on while the host polls it; the status is read less and less often (up to
  // every RAMCODE_MAX_POLL_SPACING polls), since the RAMCode already serves the other block
  // when this one is done late.
  for (int Spacing = 1;; Spacing = Spacing < RAMCODE_MAX_POLL_SPACING ? 2 * Spacing : Spacing) {
    uint32_t aStatus[4];
    if (_Read(p, StatusAddr, sizeof(aStatus), aStatus) != 0) {
      _Error(p, "Failed to read the status of the RAMCode while %s.", sActivity);
      _DropAll(p);
      return -1;
    }
    if (aStatus[0] != RAMCODE_STATUS_POSTED && aStatus[0] != RAMCODE_STATUS_BUSY) {
      Req.Result = (int32_t)aStatus[0];
      break;
    }
    for (int k = 0; k < Spacing; k++) {
      int Halted = XRELAYARM_IsHalted();
      if (Halted != 0) {
        // The Start entry must never stop on its own: it faulted or returned.
        p->IsRunning = 0;
        if (Halted > 0) {
          // Back at the breakpoint the PC check has nothing to say: the Start entry returned.
          if (_CheckPC(p, sActivity)) _Error(p, "RAMCode returned while %s instead of serving requests.", sActivity);
        } else {
          _Error(p, "Failed to check whether the core has stopped while %s.", sActivity);
        }
        _DropAll(p);
        return -1;
      }
      if (_Aborted(p)) {
        _DropAll(p);
        return -1;
      }
      if (_TimedOut(Slot.StartMs, Req.TimeoutMs)) {
        _Error(p, "Timeout while %s, RAMCode did not respond in time!", sActivity);
        _DropAll(p);
        return -1;
      }
    }
  }
  if (Req.NumBytesOut && _Read(p, RAMCODE_GetBufferAddr(p, i), Req.NumBytesOut, Req.pOutData) != 0) {
    _Error(p, "Failed to read the result of %s from target RAM @ 0x%.8X.", sActivity, RAMCODE_GetBufferAddr(p, i));
    _DropAll(p);
    return -1;
  }
  Slot.State = RAMCODE_SLOT_DONE;
  if (Req.pfAfter && Req.pfAfter(p, &Req) < 0) return -1;
  return 0;
}

int _Post(RAMCodeRunner* p, const RAMCODE_REQUEST* pReq) {
  const char* sActivity = _Activity(pReq);
  if (!p->IsRunning && _StartBackground(p, sActivity) != 0) return -1;
  int i = (int)(p->SlotCounter & 1u);
  if (_WaitSlot(p, i) != 0) return -1;
  p->SlotCounter++;
  RAMCODE_SLOT& Slot = p->aSlot[i];
  Slot.Req = *pReq;
  Slot.State = RAMCODE_SLOT_FREE;
  RAMCODE_REQUEST& Req = Slot.Req;
  uint32_t Buffer = RAMCODE_GetBufferAddr(p, i);
  if (Req.NumBytesIn && _Write(Buffer, Req.NumBytesIn, Req.pInData) != 0) {
    _Error(p, "Failed to write data for %s to target RAM @ 0x%.8X.", sActivity, Buffer);
    _DropAll(p);
    return -1;
  }
  if (Req.pfBefore && Req.pfBefore(p, &Req) < 0) {
    // The RAMCode waits on this block next: without it, nothing later could be served.
    _DropAll(p);
    return -1;
  }
  uint32_t Block = RAMCODE_GetBlockAddr(p, i);
  uint32_t aWord[RAMCODE_BLOCK_NUM_WORDS] = {};
  aWord[RAMCODE_BLOCK_BUFFER_ADDR] = Buffer;
  aWord[RAMCODE_BLOCK_BUFFER_SIZE] = p->Layout.BufferSize;
  aWord[RAMCODE_BLOCK_BANK_BASE] = Req.BankBase;
  aWord[RAMCODE_BLOCK_OFFSET] = Req.Offset;
  aWord[RAMCODE_BLOCK_LENGTH] = Req.Length;
  aWord[RAMCODE_BLOCK_VALUE] = Req.Value;
  aWord[RAMCODE_BLOCK_EXTRA_VALUE] = Req.ExtraValue;
  aWord[RAMCODE_BLOCK_AUX] = Req.Aux;
  aWord[RAMCODE_BLOCK_STATUS_ADDR] = Block + 4 * RAMCODE_BLOCK_STATUS;
  aWord[RAMCODE_BLOCK_NEXT_BLOCK] = RAMCODE_GetBlockAddr(p, i ^ 1);
  aWord[RAMCODE_BLOCK_STATUS] = RAMCODE_STATUS_POSTED;
  aWord[RAMCODE_BLOCK_OP] = Req.Op;
  // One write: the RAMCode must never see an operation code without the words that go with it.
  if (_Write(Block, sizeof(aWord), aWord) != 0) {
    _Error(p, "Failed to post %s to the RAMCode @ 0x%.8X.", sActivity, Block);
    _DropAll(p);
    return -1;
  }
  Slot.State = RAMCODE_SLOT_POSTED;
  Slot.StartMs = SYS_TIME_GetMs();
  return i;
}

bool _CheckDownloaded(const RAMCodeRunner* p, const RAMCODE_REQUEST* pReq) {
  if (p->IsDownloaded) return true;
  _Error(p, "Failed to execute RAMCode for %s: the RAMCode is not downloaded.", _Activity(pReq));
  return false;
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
  const FamilyTraits* t = _Traits(Family, IsAArch64);
  if (t) *pWord = t->BPWord;
  return t != nullptr;
}

int RAMCODE_CalcLayout(RAMCodeRunner* pRunner, uint32_t RAMSize, uint32_t NumBytesToProgram,
                       uint32_t RequestedBufferSize, uint32_t* pBufferAddr, uint32_t* pBufferSize) {
  const CMSISInfo* pInfo = pRunner->pInfo;
  uint64_t P = 1;
  while (pInfo && (P << 1) <= pInfo->PageSize) P <<= 1;
  uint64_t Align = pRunner->IsAArch64 ? 16 : 8;
  uint64_t I = (pRunner->ImageSize + Align - 1) / Align * Align;
  uint64_t n = pRunner->IsBackground ? 2 : 1;
  uint64_t H = pRunner->IsBackground ? 120 : 8;
  uint64_t B = P;
  if (pInfo && pInfo->aEntryOffset[MCUDB_ENTRY_START] >= 0) {
    if (RequestedBufferSize) {
      B = RequestedBufferSize;
    } else {
      uint32_t N = NumBytesToProgram;
      B = N == 0 ? 0x100000 : N <= 1024 ? 1024 : N <= 4096 ? 2048 : N <= 16384 ? 4096 : N < 65537 ? 8192 : 0x10000;
    }
    uint64_t Pages = B / P ? B / P : 1;
    if (pRunner->IsBackground && Pages > 1) Pages /= 2;
    B = Pages * P;
  }
  uint64_t S = I + RAMCODE_STACK_SIZE;
  uint64_t Usage = n * B + S + H;
  if (RAMSize < Usage) {
    // Shrink the buffers to whole pages; without room for one page, try the short stack.
    auto Fit = [&](uint64_t Stack) {
      S = I + Stack;
      if (RAMSize < S + H) return false;
      B = (RAMSize - S - H) / n / P * P;
      Usage = S + H + n * B;
      return B != 0;
    };
    if (!Fit(RAMCODE_STACK_SIZE) && !Fit(RAMCODE_STACK_SIZE_SHORT)) return -1;
  }
  RAMCODE_LAYOUT& L = pRunner->Layout;
  L.ImageSize = (uint32_t)I;
  L.StackSize = (uint32_t)(S - I);
  L.BPOffset = (uint32_t)S;
  L.BufferSize = (uint32_t)B;
  L.NumBuffers = (uint32_t)n;
  L.RAMUsage = (uint32_t)Usage;
  if (pBufferAddr) *pBufferAddr = RAMCODE_GetBufferAddr(pRunner, 0);
  if (pBufferSize) *pBufferSize = L.BufferSize;
  return (int)Usage;
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

int RAMCODE_Download(RAMCodeRunner* p, uint32_t WorkRAMAddr) {
  RAMCODE_Stop(p); // a Start entry still running would execute the image being replaced
  p->IsDownloaded = 0;
  if (p->pImage == nullptr || p->ImageSize == 0) {
    _Error(p, "No matching RAMCode found");
    return -1;
  }
  if (p->Layout.BPOffset < p->ImageSize) {
    _Error(p, "Failed to download RAMCode: the work RAM layout has not been calculated.");
    return -1;
  }
  p->WorkRAMAddr = WorkRAMAddr;
  if (_Write(WorkRAMAddr, p->ImageSize, p->pImage) != 0) {
    _Error(p, "Failed to download RAMCode.");
    return -1;
  }
  std::vector<uint8_t> Back(p->ImageSize);
  if (_Read(p, WorkRAMAddr, p->ImageSize, Back.data()) != 0) {
    _Error(p, "Failed to read back RAMCode for verification.");
    return -1;
  }
  for (uint32_t i = 0; i < p->ImageSize; i++) {
    if (Back[i] != p->pImage[i]) {
      uint32_t Off = i & ~3u;
      _Error(p, "Verification of RAMCode failed @ address 0x%.8X.\nWrite: 0x%.8X %.8X\nRead: 0x%.8X %.8X",
             WorkRAMAddr + Off, _LE32(p->pImage, p->ImageSize, Off), _LE32(p->pImage, p->ImageSize, Off + 4),
             _LE32(Back.data(), p->ImageSize, Off), _LE32(Back.data(), p->ImageSize, Off + 4));
      return -1;
    }
  }
  p->IsDownloaded = 1;
  uint32_t Word;
  if (!RAMCODE_GetBreakpointWord(p->Family, p->IsAArch64, &Word)) {
    _Error(p, "Failed to determine code breakpoint instruction for RAMCode");
    return -1;
  }
  if (XRELAYARM_WriteU32(RAMCODE_GetBPAddr(p), Word) < 0) {
    _Error(p, "Failed to download RAMCode.");
    return -1;
  }
  return 0;
}

int RAMCODE_Call(RAMCodeRunner* pRunner, RAMCODE_REQUEST* pReq) {
  if (!_CheckDownloaded(pRunner, pReq)) return -1;
  if (pRunner->IsBackground) return _Post(pRunner, pReq);
  if (pRunner->aSlot[0].State == RAMCODE_SLOT_POSTED) pRunner->aSlot[0].State = RAMCODE_SLOT_FREE;
  return _CallDirect(pRunner, pReq, false);
}

int RAMCODE_Sync(RAMCodeRunner* pRunner) {
  int Older = (int)(pRunner->SlotCounter & 1u);
  if (_WaitSlot(pRunner, Older) != 0) return -1;
  return _WaitSlot(pRunner, Older ^ 1);
}

int RAMCODE_GetResult(const RAMCodeRunner* pRunner, int Slot, int32_t* pResult) {
  if (Slot < 0 || Slot >= RAMCODE_NUM_SLOTS || pRunner->aSlot[Slot].State != RAMCODE_SLOT_DONE) return -1;
  *pResult = pRunner->aSlot[Slot].Req.Result;
  return 0;
}

int RAMCODE_ReadBuffer(RAMCodeRunner* pRunner, int Slot, uint32_t Offset, uint32_t NumBytes, void* pDest) {
  if (Slot < 0 || Slot >= RAMCODE_NUM_SLOTS) return -1;
  if (_WaitSlot(pRunner, Slot) != 0) return -1;
  uint32_t Addr = RAMCODE_GetBufferAddr(pRunner, Slot) + Offset;
  if (NumBytes && _Read(pRunner, Addr, NumBytes, pDest) != 0) {
    _Error(pRunner, "Failed to read target RAM @ 0x%.8X.", Addr);
    return -1;
  }
  return (int)NumBytes;
}

int RAMCODE_ReadFlash(RAMCodeRunner* p, uint32_t TimeoutMs, uint32_t Base, uint32_t Addr, uint32_t NumBytes,
                      void* pDest) {
  if (NumBytes == 0) return 0;
  if (p->pfReadMem == nullptr) {
    _Error(p, "Read call back not set");
    return -1;
  }
  uint8_t* pOut = static_cast<uint8_t*>(pDest);
  if (p->pInfo == nullptr || p->pInfo->aEntryOffset[MCUDB_ENTRY_READ] < 0) {
    if (RAMCODE_Sync(p) != 0) return -1;
    if (_Read(p, Base + Addr, NumBytes, pOut) != 0) {
      _Error(p, "Failed to read target memory @ 0x%.8X.", Base + Addr);
      return -1;
    }
    return 0;
  }
  uint32_t B = p->Layout.BufferSize;
  uint32_t Chunk = B < 512 ? B : B & ~511u;
  for (uint32_t Done = 0; Done < NumBytes;) {
    uint32_t n = NumBytes - Done < Chunk ? NumBytes - Done : Chunk;
    RAMCODE_REQUEST Req{};
    Req.TimeoutMs = TimeoutMs;
    Req.Op = RAMCODE_OP_READ;
    Req.BankBase = Base;
    Req.Offset = Addr + Done;
    Req.Length = n;
    Req.pOutData = pOut + Done;
    Req.NumBytesOut = n;
    if (p->IsBackground) {
      Req.sActivity = "Reading memory from target";
      if (RAMCODE_Call(p, &Req) < 0) return -1;
    } else {
      Req.sActivity = "Reading data from flash";
      if (!_CheckDownloaded(p, &Req) || _CallDirect(p, &Req, true) < 0) return -1;
      if (Req.Result < 0) {
        _Error(p, "Failed to read flash @ 0x%.8X (error code = %d).", Base + Addr + Done, Req.Result);
        return -1;
      }
    }
    Done += n;
  }
  return p->IsBackground ? RAMCODE_Sync(p) : 0;
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

// The list of the core and whether it goes through the 64-bit calls; count or RAMCODE_REGS_*.
static int _RegList(uint32_t CoreId, bool IsAArch64, uint32_t CacheSize, const uint32_t** ppa, bool* pIs64) {
  int n = RAMCODE_GetPreservedRegs(CoreId, ppa);
  if (n == 0) return RAMCODE_REGS_NOT_SUPPORTED;
  if ((uint32_t)n > CacheSize || n > RAMCODE_MAX_PRESERVED_REGS) return RAMCODE_REGS_CACHE_FULL;
  *pIs64 = IsAArch64 && (CoreId >> 24) == 0x14;
  return n;
}

int RAMCODE_SaveRegs(uint32_t CoreId, bool IsAArch64, uint64_t* paCache, uint32_t CacheSize) {
  const uint32_t* pa;
  bool Is64 = false;
  int n = _RegList(CoreId, IsAArch64, CacheSize, &pa, &Is64);
  if (n < 0) return n;
  if (Is64) return XRELAY_ReadRegs_64(pa, paCache, nullptr, (uint32_t)n) < 0 ? RAMCODE_REGS_FAILED : n;
  uint32_t a[RAMCODE_MAX_PRESERVED_REGS];
  if (XRELAYARM_ReadRegs(pa, a, nullptr, (uint32_t)n) < 0) return RAMCODE_REGS_FAILED;
  for (int i = 0; i < n; i++) paCache[i] = a[i];
  return n;
}

int RAMCODE_RestoreRegs(uint32_t CoreId, bool IsAArch64, const uint64_t* paCache, uint32_t CacheSize) {
  const uint32_t* pa;
  bool Is64 = false;
  int n = _RegList(CoreId, IsAArch64, CacheSize, &pa, &Is64);
  if (n < 0) return n;
  if (Is64) return XRELAY_WriteRegs_64(pa, paCache, nullptr, (uint32_t)n) < 0 ? RAMCODE_REGS_FAILED : n;
  uint32_t a[RAMCODE_MAX_PRESERVED_REGS];
  for (int i = 0; i < n; i++) a[i] = (uint32_t)paCache[i];
  return XRELAYARM_WriteRegs(pa, a, nullptr, (uint32_t)n) < 0 ? RAMCODE_REGS_FAILED : n;
}
