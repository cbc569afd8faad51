/*
 * FLASH_CMSIS - the CMSIS flash module: checks, prepare and restore, and the operations as
 * RAMCode runner requests.
 */
#include "flash/FLASH_CMSIS.h"

#include <cstdarg>
#include <cstring>
#include <vector>

#include "data/CRC32.h"
#include "flash/RAMCODE_Runner.h"
#include "mcudb/MCUDB_Layout.h"
#include "probe/PROBE.h"
#include "sys/SYS.h"
#include "sys/UTIL.h"

namespace {

enum : uint32_t {
  FLAGS_ALWAYS = 0x80,
  FLAG_CHIP_ERASE = 0x10,
  FLAG_ALGO_INFO_2000 = 0x2000,
  FLAG_INT_ENABLED = 0x4000,
  FLAG_NO_SKIP_EMPTY = 0x8000, // bit 15: every chunk is sent, also one that holds only the empty value
};
static_assert(uint32_t(FLAG_INT_ENABLED) == uint32_t(RAMCODE_FLAG_INT_ENABLED),
              "the runner reads the module's flags");

enum : uint32_t {
  TIMEOUT_PREPARE_MS = 2000,
  TIMEOUT_DEFAULT_MS = 10000,
  TIMEOUT_SLOW_MS = 30000,
  TIMEOUT_PROGRAM_NONE_MS = 5000,
  TIMEOUT_READ_MS = 5000,
  SLOW_CLOCK_HZ = 500000,
  MAX_WORK_RAM = 0x100000,
  MAX_ADD_MEM = 2048,
  FLASH_INFO_BYTES = 112,
  MAX_FLASH_INFO_RANGES = 7,
};
constexpr uint32_t RESULT_PROGRAM_OK = 0x40000000u;
constexpr uint32_t RESULT_ERASE_OK = 0x40000001u;

struct CMSISState {
  FLASH_HOST_FUNCS Host; // first: the shared setters write here
  uint32_t BankAddr;
  SectorRegion aRegion[MCUDB_MAX_REGIONS];
  CMSISInfo Info; // the image stays with the bank
  uint32_t PageSize;
  uint32_t PageShift;
  uint32_t EmptyValue;
  bool EmptyValueKnown;
  uint32_t Flags;
  MCUDB_ALGO_INFO* pAlgoInfo;
  // Filled on first use.
  bool Ready;
  FLASH_TARGET_INFO Target;
  XRELAY_FLASH_HOOK_FUNC* pfBeforeProgramming;
  XRELAY_FLASH_HOOK_FUNC* pfAfterProgramming;
  RAMCodeRunner Runner;
  uint32_t BufferAddr;
  uint32_t BufferSize;
  uint32_t RAMUsage;
  bool RAMUsageKnown;
  uint32_t ClockHz;
  uint32_t InitCode;
  int PrepareCount;
  bool RegsSaved;
  uint64_t aRegCache[RAMCODE_MAX_PRESERVED_REGS];
  // What the after-hook of a failed request leaves for the operation's message.
  bool BadResult;
  int32_t BadCode;
  uint32_t BadAddr;
  uint32_t BadLength;
};

CMSISState* _State(FlashModuleHandle* pHandle) {
  return pHandle ? static_cast<CMSISState*>(pHandle->pState) : nullptr;
}

bool _Has(const CMSISState* st, int Entry) {
  return st->Info.aEntryOffset[Entry] >= 0;
}

void _Error(CMSISState* st, const char* sFormat, ...) __attribute__((format(printf, 2, 3)));
void _Error(CMSISState* st, const char* sFormat, ...) {
  va_list Args;
  va_start(Args, sFormat);
  UTIL_vOutf(st->Host.pfErrorOut, sFormat, Args);
  va_end(Args);
}
void _Log(CMSISState* st, const char* sFormat, ...) __attribute__((format(printf, 2, 3)));
void _Log(CMSISState* st, const char* sFormat, ...) {
  va_list Args;
  va_start(Args, sFormat);
  UTIL_vOutf(st->Host.pfLog, sFormat, Args);
  va_end(Args);
}
void _Progress(CMSISState* st, uint32_t NumBytes, const char* sFormat, ...)
    __attribute__((format(printf, 3, 4)));
void _Progress(CMSISState* st, uint32_t NumBytes, const char* sFormat, ...) {
  if (st->Host.pfProgress == nullptr) return;
  char ac[256];
  va_list Args;
  va_start(Args, sFormat);
  UTIL_vsprintf(ac, sizeof(ac), sFormat, Args);
  va_end(Args);
  st->Host.pfProgress(0, ac, nullptr, NumBytes);
}
bool _IsAborted(CMSISState* st) {
  return st->Host.pfIsAborted && st->Host.pfIsAborted();
}

// "%d Bytes" up to 1024 bytes, else "%d KB".
void _FormatSize(char* sDest, int DestSize, uint32_t NumBytes) {
  if (NumBytes <= 1024) {
    UTIL_sprintf(sDest, DestSize, "%d Bytes", int(NumBytes));
  } else {
    UTIL_sprintf(sDest, DestSize, "%d KB", int(NumBytes / 1024));
  }
}

uint32_t _NumSectors(const CMSISState* st) {
  return uint32_t(MCUDB_LAYOUT_GetNumSectors(st->aRegion));
}
int _GetSector(const CMSISState* st, uint32_t n, uint32_t* pAddr, uint32_t* pSize) {
  return MCUDB_LAYOUT_GetSector(st->aRegion, 1, st->BankAddr, n, pAddr, pSize);
}

// A slow core gets the long timeouts.
bool _IsSlow(const CMSISState* st) {
  return st->ClockHz != 0 && st->ClockHz < SLOW_CLOCK_HZ;
}

/*********************************************************************
 * Requests
 */
RAMCODE_REQUEST _Request(CMSISState* st, const char* sActivity, uint32_t TimeoutMs, uint32_t Op) {
  RAMCODE_REQUEST r;
  std::memset(&r, 0, sizeof(r));
  r.sActivity = sActivity;
  r.TimeoutMs = TimeoutMs;
  r.Op = Op;
  r.BankBase = st->BankAddr;
  r.pContext = st;
  return r;
}

// One request run to its end: 0 and *pResult, -1 when the call failed, -2 when the sync failed
// (both reported by the runner).
int _Run(CMSISState* st, RAMCODE_REQUEST* pReq, int32_t* pResult) {
  int Slot = RAMCODE_Call(&st->Runner, pReq);
  if (Slot < 0) return -1;
  if (RAMCODE_Sync(&st->Runner) < 0) return -2;
  if (!st->Runner.IsBackground) {
    *pResult = pReq->Result;
    return 0;
  }
  return RAMCODE_GetResult(&st->Runner, Slot, pResult) < 0 ? -2 : 0;
}

// After-hooks: a result that is not a success fails the request and is kept for the message.
int _Bad(CMSISState* st, const RAMCODE_REQUEST* pReq) {
  st->BadResult = true;
  st->BadCode = pReq->Result;
  st->BadAddr = pReq->BankBase + pReq->Offset;
  st->BadLength = pReq->Length;
  return -1;
}
int _AfterProgram(RAMCodeRunner*, RAMCODE_REQUEST* pReq) {
  auto st = static_cast<CMSISState*>(pReq->pContext);
  uint32_t r = uint32_t(pReq->Result);
  if (r == 0 || r == RESULT_PROGRAM_OK || (r == 2 && _Has(st, MCUDB_ENTRY_PROGRAM))) return 0;
  return _Bad(st, pReq);
}
int _AfterErase(RAMCodeRunner*, RAMCODE_REQUEST* pReq) {
  uint32_t r = uint32_t(pReq->Result);
  if (r == 0 || r == RESULT_ERASE_OK) return 0;
  return _Bad(static_cast<CMSISState*>(pReq->pContext), pReq);
}

/*********************************************************************
 * Prepare and restore
 */
// Fetches the target information and sets the runner up once per state; 0, or -1 (reported).
int _FirstUse(CMSISState* st) {
  st->Runner.pfAbort = st->Host.pfIsAborted;
  st->Runner.pfErrorOut = st->Host.pfErrorOut;
  st->Runner.pfReadMem = st->Host.pfReadMem;
  if (st->Ready) return 0;
  std::memset(&st->Target, 0, sizeof(st->Target));
  if (st->Host.pfGetTargetInfo) st->Host.pfGetTargetInfo(&st->Target);
  bool IsAArch64 = false;
  if ((st->Target.Core >> 24) == 0x14) {
    uint32_t Reg = 41;
    uint64_t v = 0;
    XRELAY_ReadRegs_64(&Reg, &v, nullptr, 1);
    IsAArch64 = (v & 0x10) == 0;
    if (!IsAArch64 && st->Info.Is64) {
      _Error(st, "Core is in AArch32 mode but passed RAMCode is for AArch64");
      return -1;
    }
    if (IsAArch64 && !st->Info.Is64) {
      _Error(st, "Core is in AArch64 mode but passed RAMCode is for AArch32");
      return -1;
    }
  }
  RAMCODE_SetCore(&st->Runner, XRELAYARM_GetDeviceFamily(), st->Target.Core, IsAArch64);
  st->Runner.Flags = st->Flags;
  st->pfBeforeProgramming =
      reinterpret_cast<XRELAY_FLASH_HOOK_FUNC*>(XRELAY_GetpFunc(XRELAY_PFUNC_BEFORE_FLASH));
  st->pfAfterProgramming =
      reinterpret_cast<XRELAY_FLASH_HOOK_FUNC*>(XRELAY_GetpFunc(XRELAY_PFUNC_AFTER_FLASH));
  st->Ready = true;
  return 0;
}

uint32_t _RAMSize(const CMSISState* st) {
  uint32_t n = st->Target.RAMSize < MAX_WORK_RAM ? st->Target.RAMSize : MAX_WORK_RAM;
  if (st->Target.MaxRAMUsage && st->Target.MaxRAMUsage < n) n = st->Target.MaxRAMUsage;
  return n;
}

int _CalcLayout(CMSISState* st, uint32_t NumBytesToProgram) {
  return RAMCODE_CalcLayout(&st->Runner, _RAMSize(st), NumBytesToProgram, st->Target.BufferSize,
                            &st->BufferAddr, &st->BufferSize);
}

int _SaveRAM(CMSISState* st, uint32_t Addr, uint32_t NumBytes) {
  if (XRELAYARM_WA_AddRange(Addr, NumBytes) >= 0) return 0;
  _Error(st, "Failed to preserve target RAM @ 0x%.8X-0x%.8X.\nFailed to prepare for programming.", Addr,
         Addr + NumBytes - 1);
  return -1;
}

int _ReportRegs(CMSISState* st, int r, const char* sFailed) {
  if (r == RAMCODE_REGS_NOT_SUPPORTED) {
    _Error(st, "FLASH_CMSIS: The connected CPU core is not supported by this flash module.");
  } else if (r == RAMCODE_REGS_CACHE_FULL) {
    _Error(st,
           "FLASH_CMSIS: Internal error. Number of registers to preserve exceeds internal register cache.");
  } else {
    _Error(st, "%s", sFailed);
  }
  return -1;
}

int _CallAlgoHook(CMSISState* st, int Slot) {
  if (st->pAlgoInfo == nullptr || st->pAlgoInfo->pAPI == nullptr) return 0;
  auto pf = reinterpret_cast<FLASH_ALGO_HOOK*>(st->pAlgoInfo->pAPI->apFunc[Slot]);
  return pf ? pf(st->pAlgoInfo, st->BankAddr, st->ClockHz) : 0;
}

// UnInit or Restore of the RAMCode; 0, or -1 (reported).
int _RAMCodeRestore(CMSISState* st) {
  st->Runner.InitCode = st->InitCode;
  RAMCODE_REQUEST Req = _Request(st, "restoring target", TIMEOUT_PREPARE_MS, RAMCODE_OP_RESTORE);
  int32_t Result = 0;
  int r = _Run(st, &Req, &Result);
  if (r == -2) _Error(st, "Failed to restore target. RAMCode never stops");
  if (r < 0 || Result != 0) {
    _Error(st, "RAMCode-sided Restore() failed");
    return -1;
  }
  return 0;
}

// What the outermost prepare step does before the RAMCode is initialised: RAM layout, registers
// and work RAM saved, clock measured, RAMCode downloaded. 0, or -1 (reported).
int _PrepareTarget(CMSISState* st, FlashModuleHandle* pHandle, uint32_t NumBytesToProgram) {
  _Log(st, "Preparing RAMCode");
  if (!st->RAMUsageKnown) {
    _Log(st, "Calculating RAM usage");
    int Usage = _CalcLayout(st, NumBytesToProgram);
    if (Usage < 0 || st->Target.AddMemSize > MAX_ADD_MEM) {
      _Error(st, "RAM area configured for this target is too small.");
      return -1;
    }
    _Log(st, "RAM usage = %d Bytes", Usage);
    st->RAMUsage = uint32_t(Usage);
    st->RAMUsageKnown = true;
  }
  if (!pHandle->NoSaveRegs) {
    _Log(st, "Preserving CPU registers");
    int r =
        RAMCODE_SaveRegs(st->Target.Core, st->Runner.IsAArch64, st->aRegCache, RAMCODE_MAX_PRESERVED_REGS);
    if (r < 0) {
      return _ReportRegs(st, r,
                         "Failed to preserve CPU registers. Could not prepare target for flash programming.");
    }
    st->RegsSaved = true;
  }
  _Log(st, "Preparing memory");
  uint32_t Top = st->Target.Core >> 24;
  if (Top != 0x13 && Top != 0x14 && !_Has(st, MCUDB_ENTRY_PREPARE)) {
    _Log(st, "Determining CPU clock frequency");
    if (!pHandle->NoSaveRAM && _SaveRAM(st, st->Target.RAMAddr, 64) < 0) return -1;
    int Hz = XRELAYARM_MeasureCPUSpeedEx(st->Target.RAMAddr, 0, 1);
    if (Hz < 0) {
      _Error(st, "Failed to measure CPU clock frequency");
      return -1;
    }
    if (Hz == 0) {
      _Log(st,
           "Auto detection of CPU clock frequency is not supported for this core. Use default value (0Hz).");
    } else {
      _Log(st, "CPU frequency = %d kHz", Hz / 1000);
    }
    st->ClockHz = uint32_t(Hz);
  }
  _Log(st, "Preparing target");
  if (!pHandle->NoSaveRAM) {
    _Log(st, "Preserving target RAM temporarily used for programming");
    if (_SaveRAM(st, st->Target.RAMAddr, st->RAMUsage) < 0) return -1;
    if (st->Target.AddMemSize) {
      _Log(st, "Preserving additional used target memory");
      if (_SaveRAM(st, st->Target.AddMemAddr, st->Target.AddMemSize) < 0) return -1;
    }
  }
  if (st->pfBeforeProgramming) st->pfBeforeProgramming();
  _Log(st, "Downloading RAMCode");
  st->Runner.CPUClockHz = st->ClockHz;
  if (RAMCODE_Download(&st->Runner, st->Target.RAMAddr) < 0) {
    _Error(st, "Failed to prepare for programming.\nFailed to download RAMCode!");
    return -1;
  }
  return 0;
}

// A nested prepare step: the layout for the operation at hand; 0, or -1 (reported).
int _Recalculate(CMSISState* st, FlashModuleHandle* pHandle, uint32_t NumBytesToProgram) {
  // A running Start entry keeps its buffers.
  if (st->Runner.IsBackground && st->RAMUsageKnown) return 0;
  _Log(st, "Recalculating RAMUsage for optimal performance during programming");
  uint32_t Old = st->RAMUsage;
  int Usage = _CalcLayout(st, NumBytesToProgram);
  if (Usage <= 0 || uint32_t(Usage) == Old) return 0;
  _Log(st, "RAM usage changed from %d to %d Bytes", int(Old), Usage);
  if (uint32_t(Usage) < Old) return 0;
  if (!pHandle->NoSaveRAM && _SaveRAM(st, st->Target.RAMAddr + Old, uint32_t(Usage) - Old) < 0) return -1;
  st->RAMUsage = uint32_t(Usage);
  return 0;
}

// Init (or the extended Prepare) with the code the operation asks for, after UnInit of the code
// in force; nothing when that code is in force already. 0, or -1 (reported).
int _InitForOperation(CMSISState* st, uint32_t OpCode) {
  uint32_t Code = FLASH_CMSIS_GetInitCode(OpCode, st->InitCode);
  if (Code == st->InitCode) return 0;
  _Log(st, "Initializing RAMCode (InitType: %u = %s)", Code, FLASH_CMSIS_GetInitName(Code));
  if (st->InitCode != 0) {
    if (_RAMCodeRestore(st) < 0) return -1;
    st->InitCode = 0;
  }
  int r = _CallAlgoHook(st, FLASH_API_SLOT_PREPARE);
  if (r < 0) {
    _Error(st, "Failed to perform host-sided Prepare()");
    return -1;
  }
  if (r > 0) st->ClockHz = uint32_t(r);
  bool Ext = _Has(st, MCUDB_ENTRY_PREPARE);
  _Log(st, "Executing %s(%u)", Ext ? "KORVEN_FL_Prepare" : "Init", Code);
  st->Runner.CPUClockHz = st->ClockHz;
  st->Runner.InitCode = Code;
  RAMCODE_REQUEST Req = _Request(st, "preparing target", TIMEOUT_PREPARE_MS, RAMCODE_OP_PREPARE);
  int32_t Result = 0;
  if (_Run(st, &Req, &Result) < 0 || (Ext ? Result < 0 : Result != 0)) {
    _Error(st, "Failed to perform RAMCode-sided Prepare()");
    return -1;
  }
  if (Ext && Result > 0) {
    st->ClockHz = uint32_t(Result);
    _Log(st, "KORVEN_FL_Prepare() changed clock speed to %uHz", st->ClockHz);
  }
  st->InitCode = Code;
  return 0;
}

// A failed outermost prepare gives back what it took: the core halted, RAM and registers as
// they were.
int _GiveBack(CMSISState* st, FlashModuleHandle* pHandle) {
  RAMCODE_Stop(&st->Runner);
  if (!pHandle->NoSaveRAM) XRELAYARM_WA_Restore();
  if (st->RegsSaved)
    RAMCODE_RestoreRegs(st->Target.Core, st->Runner.IsAArch64, st->aRegCache, RAMCODE_MAX_PRESERVED_REGS);
  st->RegsSaved = false;
  st->RAMUsageKnown = false;
  st->InitCode = 0;
  return -1;
}

int _Prepare(FlashModuleHandle* pHandle, uint32_t NumBytesToProgram) {
  CMSISState* st = _State(pHandle);
  if (st == nullptr || _FirstUse(st) < 0) return -1;
  bool Outermost = st->PrepareCount == 0;
  if (Outermost) {
    if (_PrepareTarget(st, pHandle, NumBytesToProgram) < 0) return _GiveBack(st, pHandle);
  } else if (_Recalculate(st, pHandle, NumBytesToProgram) < 0) {
    return -1;
  }
  if (_InitForOperation(st, pHandle->OpCode) < 0) return Outermost ? _GiveBack(st, pHandle) : -1;
  st->PrepareCount++;
  return 0;
}

int _Restore(FlashModuleHandle* pHandle) {
  CMSISState* st = _State(pHandle);
  if (st == nullptr || st->PrepareCount <= 0) return -1;
  if (--st->PrepareCount > 0) return 0;
  int Result = 0;
  bool Ext = _Has(st, MCUDB_ENTRY_RESTORE);
  if (Ext || st->InitCode != 0) {
    const char* sName = Ext ? "KORVEN_FL_Restore" : "UnInit";
    _Log(st, "%s %s()", pHandle->SkipRAMCodeRestore ? "Skipping" : "Executing", sName);
    if (!pHandle->SkipRAMCodeRestore && _RAMCodeRestore(st) < 0) Result = -1;
    if (_CallAlgoHook(st, FLASH_API_SLOT_RESTORE) < 0) {
      _Error(st, "Host-sided Restore() failed");
      Result = -1;
    }
  }
  RAMCODE_Stop(&st->Runner);
  if (st->pfAfterProgramming) st->pfAfterProgramming();
  st->RAMUsageKnown = false;
  if (!pHandle->NoSaveRAM) {
    _Log(st, "Restoring target memory");
    if (XRELAYARM_WA_Restore() < 0) Result = -1;
  }
  if (!pHandle->NoSaveRegs && st->RegsSaved) {
    st->RegsSaved = false;
    _Log(st, "Restoring CPU registers");
    int r =
        RAMCODE_RestoreRegs(st->Target.Core, st->Runner.IsAArch64, st->aRegCache, RAMCODE_MAX_PRESERVED_REGS);
    if (r < 0) Result = _ReportRegs(st, r, "Could not restore target.");
  }
  st->InitCode = 0;
  return Result;
}

/*********************************************************************
 * Operations inside a prepare-restore bracket
 */
// The handle for an operation's own prepare step: its operation code chooses the Init code.
FlashModuleHandle _OpHandle(FlashModuleHandle* pHandle, uint32_t OpCode) {
  FlashModuleHandle h = *pHandle;
  h.OpCode = OpCode;
  return h;
}

// Runs pfBody between a prepare and a restore; the restore runs whenever the prepare succeeded.
template <typename BODY>
int _Bracket(FlashModuleHandle* pHandle, uint32_t OpCode, uint32_t NumBytes, BODY Body) {
  FlashModuleHandle h = _OpHandle(pHandle, OpCode);
  if (_Prepare(&h, NumBytes) < 0) return -1;
  CMSISState* st = _State(pHandle);
  st->BadResult = false;
  int r = Body(st);
  if (_Restore(&h) < 0) r = -1;
  return r;
}

int _ProgramSectors(CMSISState* st, FlashModuleHandle* pHandle, const FLASH_PROG_REQUEST* pReq) {
  uint32_t FirstAddr = 0, Size = 0;
  if (_GetSector(st, pReq->FirstSector, &FirstAddr, &Size) < 0) return -1;
  uint32_t Chunk =
      FLASH_CMSIS_CalcChunkSize(st->BufferSize, st->PageSize, st->ClockHz, pReq->pData != nullptr);
  int Default = 0;
  uint32_t Timeout = FLASH_CMSIS_CalcProgramTimeout(st->Info.TimeoutProgram, Chunk / st->PageSize, &Default);
  if (Default == 1) _Log(st, "Program page timeout too high. Use default timeout: %d [ms]", int(Timeout));
  if (Default == 2) _Log(st, "No program page timeout is set. Use default timeout: %d [ms]", int(Timeout));
  std::vector<uint8_t> Empty;
  if (pReq->pData == nullptr) Empty.assign(Chunk, uint8_t(st->EmptyValue));
  bool MaySkip =
      pReq->pData && !(st->Flags & FLAG_NO_SKIP_EMPTY) && !pHandle->ProgramBlank && st->EmptyValueKnown;
  for (uint32_t s = 0; s < pReq->NumSectors; s++) {
    uint32_t Addr = 0;
    if (_GetSector(st, pReq->FirstSector + s, &Addr, &Size) < 0) return -1;
    for (uint32_t Off = 0; Off < Size; Off += Chunk) {
      if (_IsAborted(st)) return -1;
      uint32_t n = Size - Off < Chunk ? Size - Off : Chunk;
      uint32_t a = Addr + Off;
      const uint8_t* p = pReq->pData ? pReq->pData + (a - FirstAddr) : Empty.data();
      if (MaySkip) {
        uint32_t i = 0;
        while (i < n && p[i] == uint8_t(st->EmptyValue))
          i++;
        if (i == n) continue;
      }
      char acSize[32];
      _FormatSize(acSize, sizeof(acSize), n);
      _Progress(st, n, "Programming range 0x%.8X - 0x%.8X (%s)", a, a + n - 1, acSize);
      RAMCODE_REQUEST Req = _Request(st, "programming sector", Timeout, RAMCODE_OP_PROGRAM);
      Req.Offset = a - st->BankAddr;
      Req.Length = n;
      Req.pInData = p;
      Req.NumBytesIn = n;
      Req.pfAfter = _AfterProgram;
      if (RAMCODE_Call(&st->Runner, &Req) < 0) return -1;
    }
  }
  return RAMCODE_Sync(&st->Runner) < 0 ? -1 : 0;
}

int _ReportProgramFailure(CMSISState* st) {
  if (st->BadResult) {
    _Error(st, "Programming failed (error code = %d) for block @ address 0x%.8X (%d)", int(st->BadCode),
           st->BadAddr, int(st->BadLength));
  }
  return -1;
}

// Erases sectors First ... First + Count - 1 of the bank; 0, or -1 (reported).
int _EraseSectors(CMSISState* st, uint32_t First, uint32_t Count) {
  bool Ext = _Has(st, MCUDB_ENTRY_ERASE);
  uint32_t PerRequest = Ext ? Count : 1;
  for (uint32_t s = First; s < First + Count; s += PerRequest) {
    if (_IsAborted(st)) return -1;
    uint32_t n = First + Count - s < PerRequest ? First + Count - s : PerRequest;
    uint32_t Addr = 0, Size = 0, LastAddr = 0, LastSize = 0;
    if (_GetSector(st, s, &Addr, &Size) < 0 || _GetSector(st, s + n - 1, &LastAddr, &LastSize) < 0) return -1;
    uint32_t Timeout = st->Info.TimeoutErase ? st->Info.TimeoutErase * n
                                             : (_IsSlow(st) ? TIMEOUT_SLOW_MS : TIMEOUT_DEFAULT_MS);
    char acSize[32];
    _FormatSize(acSize, sizeof(acSize), LastAddr + LastSize - Addr);
    _Progress(st, LastAddr + LastSize - Addr, "Erasing range 0x%.8X - 0x%.8X (%d sector%s, %s)", Addr,
              LastAddr + LastSize - 1, int(n), n == 1 ? "" : "s", acSize);
    RAMCODE_REQUEST Req = _Request(st, "erasing sectors", Timeout, RAMCODE_OP_ERASE);
    Req.Offset = Addr - st->BankAddr;
    Req.Value = s;
    Req.Length = n;
    Req.pfAfter = _AfterErase;
    if (RAMCODE_Call(&st->Runner, &Req) < 0) return -1;
  }
  return RAMCODE_Sync(&st->Runner) < 0 ? -1 : 0;
}

/*********************************************************************
 * FlashModule operations
 */
int _Open(FLASH_BANK_CONTEXT* pCtx, FLASH_ERROR_FUNC* pfErrorOut) {
  auto st = static_cast<CMSISState*>(SYS_MEM_Alloc(sizeof(CMSISState), "FLASH_CMSIS: Module state"));
  if (st == nullptr) return -1;
  std::memset(st, 0, sizeof(*st));
  st->Host.pfErrorOut = pfErrorOut;
  st->BankAddr = pCtx->BankAddr;
  st->Info = pCtx->CMSIS;
  std::memcpy(st->aRegion, pCtx->CMSIS.aRegion, sizeof(st->aRegion));
  st->PageSize = st->Info.PageSize;
  st->EmptyValue = st->Info.EmptyValue;
  st->EmptyValueKnown = st->Info.EmptyValue <= 0xFF;
  st->pAlgoInfo = pCtx->pAlgoInfo;
  auto Fail = [st](const char* sText) {
    if (st->Host.pfErrorOut) st->Host.pfErrorOut(sText);
    SYS_MEM_Free(st);
    return -1;
  };
  uint32_t p = st->PageSize;
  if (p == 0 || (p & (p - 1)) != 0) {
    char ac[256];
    UTIL_sprintf(
        ac, sizeof(ac),
        "KFL algo error: Only power of 2 are supported for FlashDevice.szPage / FlashDevice.PageSize "
        "(found: %u)",
        p);
    return Fail(ac);
  }
  while ((1u << st->PageShift) < p)
    st->PageShift++;
  if (st->Info.TimeoutProgram == 0) {
    return Fail("KFL algo error: FlashDevice.toProg / FlashDevice.TimeoutProgram must not be == 0");
  }
  if (st->Info.TimeoutErase == 0) {
    return Fail("KFL algo error: FlashDevice.toErase / FlashDevice.TimeoutErase must not be == 0");
  }
  bool PrepRestore = _Has(st, MCUDB_ENTRY_PREPARE) && _Has(st, MCUDB_ENTRY_RESTORE);
  bool NoPrepRestore = !_Has(st, MCUDB_ENTRY_PREPARE) && !_Has(st, MCUDB_ENTRY_RESTORE);
  bool InitUnInit = _Has(st, MCUDB_ENTRY_INIT) && _Has(st, MCUDB_ENTRY_UNINIT);
  if (!PrepRestore && !(NoPrepRestore && InitUnInit)) {
    return Fail(
        "KFL algo error: Neither KORVEN_FL_Prepare() / KORVEN_FL_Restore() nor CMSIS Init() / UnInit() "
        "entry point pair found");
  }
  if (!_Has(st, MCUDB_ENTRY_ERASE) && !_Has(st, MCUDB_ENTRY_ERASE_SECTOR)) {
    return Fail("KFL algo error: Neither KORVEN_FL_Erase() nor CMSIS EraseSector() found");
  }
  if (!_Has(st, MCUDB_ENTRY_PROGRAM) && !_Has(st, MCUDB_ENTRY_PROGRAM_PAGE)) {
    return Fail("KFL algo error: Neither KORVEN_FL_Program() nor CMSIS ProgramPage() found");
  }
  st->Flags = FLAGS_ALWAYS;
  if (_Has(st, MCUDB_ENTRY_ERASE_CHIP) || _Has(st, MCUDB_ENTRY_ERASE_CHIP_EX)) st->Flags |= FLAG_CHIP_ERASE;
  if (st->pAlgoInfo && (st->pAlgoInfo->Flags & FLAG_ALGO_INFO_2000)) st->Flags |= FLAG_ALGO_INFO_2000;
  if (st->Info.IntEnabled) st->Flags |= FLAG_INT_ENABLED;
  RAMCODE_Init(&st->Runner, &st->Info);
  // An image filed as the 64-bit RAMCode would need the device's 64-bit setting, which this
  // host's device database does not carry: the download then says no RAMCode matches.
  if (st->Info.ImageSlot != 0) {
    st->Runner.pImage = nullptr;
    st->Runner.ImageSize = 0;
  }
  pCtx->pState = st;
  return 0;
}

int _Close(FlashModuleHandle* pHandle) {
  CMSISState* st = _State(pHandle);
  if (st) {
    RAMCODE_Reset(&st->Runner);
    SYS_MEM_Free(st);
  }
  pHandle->pState = nullptr;
  return 0;
}

int _ModPrepare(FlashModuleHandle* pHandle, uint32_t Arg, uint32_t) {
  return _Prepare(pHandle, Arg);
}

int _ModRestore(FlashModuleHandle* pHandle) {
  return _Restore(pHandle);
}

int _Program(FlashModuleHandle* pHandle, const FLASH_PROG_REQUEST* pReq) {
  CMSISState* st = _State(pHandle);
  if (st == nullptr) return -1;
  uint32_t First = 0, Size = 0, Last = 0, LastSize = 0;
  if (pReq->NumSectors == 0) return 0;
  if (_GetSector(st, pReq->FirstSector, &First, &Size) < 0 ||
      _GetSector(st, pReq->FirstSector + pReq->NumSectors - 1, &Last, &LastSize) < 0) {
    return -1;
  }
  return _Bracket(pHandle, FLASH_OP_PROGRAM, Last + LastSize - First, [&](CMSISState* s) {
    return _ProgramSectors(s, pHandle, pReq) < 0 ? _ReportProgramFailure(s) : 0;
  });
}

int _ModEraseSectors(FlashModuleHandle* pHandle, uint32_t First, uint32_t Count) {
  return _Bracket(pHandle, FLASH_OP_ERASE, 0, [&](CMSISState* st) {
    if (_EraseSectors(st, First, Count) == 0) return 0;
    _Error(st, "Failed to erase sectors.\n");
    return -1;
  });
}

int _EraseChip(FlashModuleHandle* pHandle) {
  return _Bracket(pHandle, FLASH_OP_ERASE, 0, [&](CMSISState* st) {
    uint32_t n = _NumSectors(st);
    if (!(st->Flags & FLAG_CHIP_ERASE)) {
      if (_EraseSectors(st, 0, n) == 0) return 0;
      _Error(st, "Failed to erase sectors.\n");
      return -1;
    }
    uint32_t Timeout = st->Info.TimeoutErase ? st->Info.TimeoutErase * n : (_IsSlow(st) ? 60000u : 20000u);
    uint64_t Size = MCUDB_LAYOUT_GetSize(st->aRegion, 1, true);
    char acSize[32];
    _FormatSize(acSize, sizeof(acSize), uint32_t(Size));
    _Progress(st, uint32_t(Size), "Erasing chip 0x%.8X - 0x%.8X (%d sector%s, %s)", st->BankAddr,
              uint32_t(st->BankAddr + Size - 1), int(n), n == 1 ? "" : "s", acSize);
    RAMCODE_REQUEST Req = _Request(st, "erasing chip", Timeout, RAMCODE_OP_ERASE);
    int32_t Result = 0;
    if (_Run(st, &Req, &Result) < 0 || Result != 0) {
      _Error(st, "Failed to erase chip.\nFailed to execute RAMCode for chip erase!");
      return -1;
    }
    return 0;
  });
}

int _GetSectorInfo(FlashModuleHandle* pHandle, uint32_t Index, uint32_t* pAddr, uint32_t* pSize,
                   uint32_t* pNumSectors) {
  CMSISState* st = _State(pHandle);
  if (st == nullptr) return -1;
  if (pNumSectors) *pNumSectors = _NumSectors(st);
  uint32_t Addr = 0, Size = 0;
  if (_GetSector(st, Index, &Addr, &Size) < 0) return -1;
  if (pAddr) *pAddr = Addr;
  if (pSize) *pSize = Size;
  return 0;
}

int _GetCPUSpeed(FlashModuleHandle* pHandle, uint32_t* pHz) {
  CMSISState* st = _State(pHandle);
  if (st == nullptr) return -1;
  *pHz = st->ClockHz;
  return 0;
}

int _GetEmptyValue(FlashModuleHandle* pHandle, uint32_t) {
  CMSISState* st = _State(pHandle);
  if (st == nullptr || !st->EmptyValueKnown) return -1;
  return int(st->EmptyValue);
}

/*********************************************************************
 * Optional operations (GetFunc)
 */
int _Sync(FlashModuleHandle* pHandle) {
  CMSISState* st = _State(pHandle);
  return st == nullptr || RAMCODE_Sync(&st->Runner) < 0 ? -1 : 0;
}

int _BlankCheck(FlashModuleHandle* pHandle, uint32_t Addr, uint32_t NumBytes) {
  int Blank = -1;
  int r = _Bracket(pHandle, FLASH_OP_ERASE, 0, [&](CMSISState* st) {
    uint32_t e = st->EmptyValue & 0xFF;
    RAMCODE_REQUEST Req = _Request(st, "blank checking", TIMEOUT_DEFAULT_MS, RAMCODE_OP_BLANK_CHECK);
    Req.Offset = Addr - st->BankAddr;
    Req.Length = NumBytes;
    Req.Value = e | e << 8 | e << 16 | e << 24;
    int32_t Result = 0;
    if (_Run(st, &Req, &Result) < 0) {
      _Error(st, "Failed to blank checking.\nFailed to execute RAMCode for blank check!");
      return -1;
    }
    Blank = Result != 0;
    return 0;
  });
  return r < 0 ? -1 : Blank;
}

int _CRC(FlashModuleHandle* pHandle, uint32_t Addr, uint32_t NumBytes, const void* pCompare, uint32_t* pCRC) {
  int Differs = 0;
  int r = _Bracket(pHandle, FLASH_OP_VERIFY, 0, [&](CMSISState* st) {
    char acSize[32];
    _FormatSize(acSize, sizeof(acSize), NumBytes);
    _Progress(st, NumBytes,
              pCompare ? "Comparing range 0x%.8X - 0x%.8X (%s)" : "Verifying range 0x%.8X - 0x%.8X (%s)",
              Addr, Addr + NumBytes - 1, acSize);
    RAMCODE_REQUEST Req = _Request(st, "calculating CRC", _IsSlow(st) ? TIMEOUT_SLOW_MS : TIMEOUT_DEFAULT_MS,
                                   RAMCODE_OP_CALC_CRC);
    Req.Offset = Addr - st->BankAddr;
    Req.Length = NumBytes;
    int32_t Result = 0;
    if (_Run(st, &Req, &Result) < 0) return -1;
    *pCRC = uint32_t(Result);
    if (pCompare) Differs = CRC32_Update(0, pCompare, NumBytes) != uint32_t(Result);
    return 0;
  });
  return r < 0 ? -1 : Differs;
}

int _Verify(FlashModuleHandle* pHandle, uint32_t Addr, uint32_t NumBytes, const void* pData,
            uint32_t* pMismatch) {
  int Differs = 0;
  int r = _Bracket(pHandle, FLASH_OP_VERIFY, 0, [&](CMSISState* st) {
    auto p = static_cast<const uint8_t*>(pData);
    for (uint32_t Off = 0; Off < NumBytes && !Differs; Off += st->BufferSize) {
      if (_IsAborted(st)) return -1;
      uint32_t n = NumBytes - Off < st->BufferSize ? NumBytes - Off : st->BufferSize;
      RAMCODE_REQUEST Req = _Request(st, "checking target RAM", TIMEOUT_DEFAULT_MS, RAMCODE_OP_VERIFY);
      Req.Offset = Addr + Off - st->BankAddr;
      Req.Length = n;
      Req.pInData = p + Off;
      Req.NumBytesIn = n;
      int32_t Result = 0;
      if (_Run(st, &Req, &Result) < 0) return -1;
      if (uint32_t(Result) != Addr + Off + n) {
        Differs = 1;
        if (pMismatch) *pMismatch = uint32_t(Result);
      }
    }
    return 0;
  });
  return r < 0 ? -1 : Differs;
}

int _Read(FlashModuleHandle* pHandle, uint32_t Addr, uint32_t NumBytes, void* pDest) {
  return _Bracket(pHandle, FLASH_OP_READ, 0, [&](CMSISState* st) {
    return RAMCODE_ReadFlash(&st->Runner, TIMEOUT_READ_MS, 0, Addr, NumBytes, pDest) < 0 ? -1 : 0;
  });
}

int _GetFlashInfo(FlashModuleHandle* pHandle, FLASH_LAYOUT* pLayout) {
  CMSISState* st = _State(pHandle);
  if (st == nullptr) return -1;
  if (!_Has(st, MCUDB_ENTRY_GET_FLASH_INFO)) {
    pLayout->EmptyValue = st->EmptyValue;
    std::memcpy(pLayout->aRegion, st->aRegion, sizeof(pLayout->aRegion));
    return 0;
  }
  static const char* const sFunc = "KORVEN_OPEN_GetFlashInfo";
  if (_FirstUse(st) < 0) return -1;
  if (st->Target.BigEndian) {
    _Error(st, "%s(): Big endian targets are not supported yet.", sFunc);
    return -1;
  }
  _Log(st, "Loader provides %s(). Determining dynamic flash info (sectorization etc.) now", sFunc);
  uint8_t ab[FLASH_INFO_BYTES];
  std::memset(ab, 0, sizeof(ab));
  int r = _Bracket(pHandle, FLASH_OP_PREPARE, 0, [&](CMSISState* s) {
    RAMCODE_REQUEST Req = _Request(s, "get device description", TIMEOUT_DEFAULT_MS, RAMCODE_OP_FLASH_INFO);
    Req.pOutData = ab;
    Req.NumBytesOut = sizeof(ab);
    int32_t Result = 0;
    int rr = _Run(s, &Req, &Result);
    if (rr == -2) _Error(s, "%s(): RAMCode never stops. failed to determine dynamic flash info.", sFunc);
    if (rr < 0) return -1;
    if (Result < 0) {
      _Error(s, "%s(): Error while determining dynamic flash info. (RAMCode reported error code %d)", sFunc,
             int(Result));
      return -1;
    }
    return 0;
  });
  if (r < 0) return -1;
  uint32_t NumRanges = UTIL_Load32(ab + 12, false);
  if (NumRanges == 0) {
    _Error(st,
           "%s(): Sectorization information reported by algo is incorrect. Algo did not report any ranges.",
           sFunc);
    return -1;
  }
  if (NumRanges > MAX_FLASH_INFO_RANGES) {
    _Error(st, "%s(): RAMCode reported %u sector ranges, max. supported ranges are: %u.", sFunc, NumRanges,
           uint32_t(MAX_FLASH_INFO_RANGES));
    return -1;
  }
  _Log(st, "%s(): Loader detected %u sector ranges.", sFunc, NumRanges);
  SectorRegion aRegion[MCUDB_MAX_REGIONS];
  std::memset(aRegion, 0, sizeof(aRegion));
  uint64_t NewSize = 0;
  for (uint32_t i = 0; i < NumRanges; i++) {
    const uint8_t* e = ab + 16 + 12 * i;
    aRegion[i] = SectorRegion{UTIL_Load32(e + 4, false), UTIL_Load32(e + 8, false), UTIL_Load32(e, false)};
    NewSize += uint64_t(aRegion[i].NumSectors) * aRegion[i].SectorSize;
  }
  if (NewSize == 0) {
    _Error(st, "%s(): Algo reported a flash size of 0 bytes.", sFunc);
    return -1;
  }
  uint64_t OldSize = MCUDB_LAYOUT_GetSize(st->aRegion, 1, false);
  if (NewSize != OldSize) {
    _Log(st, "%s(): Flash size changed from 0x%.8X to 0x%.8X according to new sector ranges.", sFunc,
         uint32_t(OldSize), uint32_t(NewSize));
    if (NewSize > OldSize) {
      _Error(st,
             "%s(): Dynamically reported flash size must not be larger than statically reported flash size",
             sFunc);
      return -1;
    }
  }
  std::memcpy(st->aRegion, aRegion, sizeof(aRegion));
  pLayout->EmptyValue = st->EmptyValue;
  std::memcpy(pLayout->aRegion, aRegion, sizeof(aRegion));
  return 0;
}

void* _GetFunc(FlashModuleHandle* pHandle, int FuncId) {
  CMSISState* st = _State(pHandle);
  if (st == nullptr) return nullptr;
  switch (FuncId) {
  case FLASH_FUNC_CRC:
    return _Has(st, MCUDB_ENTRY_CALC_CRC) ? reinterpret_cast<void*>(static_cast<FLASH_CRC_FUNC*>(_CRC))
                                          : nullptr;
  case FLASH_FUNC_GET_FLASH_INFO:
    return reinterpret_cast<void*>(static_cast<FLASH_FLASHINFO_FUNC*>(_GetFlashInfo));
  case FLASH_FUNC_SYNC:
    return reinterpret_cast<void*>(static_cast<FLASH_SYNC_FUNC*>(_Sync));
  case FLASH_FUNC_BLANK_CHECK:
    return (_Has(st, MCUDB_ENTRY_CHECK_BLANK) || _Has(st, MCUDB_ENTRY_BLANK_CHECK))
               ? reinterpret_cast<void*>(static_cast<FLASH_BLANKCHECK_FUNC*>(_BlankCheck))
               : nullptr;
  case FLASH_FUNC_READ:
    return reinterpret_cast<void*>(static_cast<FLASH_READ_FUNC*>(_Read));
  case FLASH_FUNC_VERIFY:
    return (_Has(st, MCUDB_ENTRY_VERIFY) || _Has(st, MCUDB_ENTRY_VERIFY_EX))
               ? reinterpret_cast<void*>(static_cast<FLASH_VERIFY_FUNC*>(_Verify))
               : nullptr;
  default:
    return nullptr;
  }
}

} // namespace

/*********************************************************************
 * Plain decisions
 */
uint32_t FLASH_CMSIS_GetInitCode(uint32_t OpCode, uint32_t CodeInForce) {
  switch (OpCode) {
  case 3:
    return FLASH_INIT_ERASE;
  case 4:
    return FLASH_INIT_PROGRAM;
  case 0:
  case 1:
  case 2:
  case 5:
  case 7:
    return FLASH_INIT_VERIFY;
  default:
    return CodeInForce;
  }
}

const char* FLASH_CMSIS_GetInitName(uint32_t Code) {
  static const char* const _asName[] = {"Erase", "Program", "Verify", "Read"};
  return Code >= 1 && Code <= 4 ? _asName[Code - 1] : "???";
}

uint32_t FLASH_CMSIS_CalcProgramTimeout(uint32_t TimeoutProgram, uint32_t NumPages, int* pDefault) {
  *pDefault = 0;
  if (TimeoutProgram == 0) {
    *pDefault = 2;
    return TIMEOUT_PROGRAM_NONE_MS;
  }
  uint64_t t = uint64_t(TimeoutProgram) * (NumPages ? NumPages : 1);
  if (t > TIMEOUT_DEFAULT_MS) {
    *pDefault = 1;
    return TIMEOUT_DEFAULT_MS;
  }
  return uint32_t(t);
}

uint32_t FLASH_CMSIS_CalcChunkSize(uint32_t BufferSize, uint32_t PageSize, uint32_t ClockHz, bool HasData) {
  if (!(ClockHz != 0 && ClockHz < SLOW_CLOCK_HZ && HasData) || PageSize == 0) return BufferSize;
  uint32_t n = BufferSize / 32 / PageSize * PageSize;
  return n ? n : PageSize;
}

const FlashModule FLASH_ModuleCMSIS = {
    .sName = "CMSIS",
    .pfGetFunc = _GetFunc,
    .pfProgram = _Program,
    .pfEraseSectors = _ModEraseSectors,
    .pfEraseChip = _EraseChip,
    .pfGetSectorInfo = _GetSectorInfo,
    .pfOpen = _Open,
    .pfClose = _Close,
    .pfPrepare = _ModPrepare,
    .pfRestore = _ModRestore,
    .pfProgramBuffer = nullptr,
    .pfWriteBuffer = nullptr,
    .pfGetCPUSpeed = _GetCPUSpeed,
    .pfSetProgressFunc = FLASH_SetProgressFunc,
    .pfSetLogFunc = FLASH_SetLogFunc,
    .pfSetErrorFunc = FLASH_SetErrorFunc,
    .pfSetAbortFunc = FLASH_SetAbortFunc,
    .pfSetReadMemFunc = FLASH_SetReadMemFunc,
    .pfSetTargetInfoFunc = FLASH_SetTargetInfoFunc,
    .pfGetEmptyValue = _GetEmptyValue,
};
