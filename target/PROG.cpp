/*
 * PROG - the frame of every flash operation (request, bank loop, sector runs, per-bank step)
 * and erase, blank check, program, verify and read back on it.
 */
#include "target/PROG.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "core/APP.h"
#include "core/APP_JobParams.h"
#include "core/APP_Log.h"
#include "data/CRC32.h"
#include "data/DATAFILE.h"
#include "data/DATAIMAGE.h"
#include "data/DATAJOBS.h"
#include "mcudb/BANK.h"
#include "mcudb/MCUDB.h"
#include "mcudb/MCUDB_Layout.h"
#include "probe/PROBE.h"
#include "project/PROJDEV.h"
#include "project/PROJECT.h"
#include "sys/SYS.h"
#include "sys/UTIL.h"
#include "target/PROG_Test.h"
#include "target/TARGET.h"

namespace {

PROG_TEST_FUNCS _Funcs;
APP_PROGRESS* _pProgress;
APP_PROGRESS* _pTestProgress;
bool _TestProgressSet;

int _OpenBank(FlashBank* pBank, int BankIndex, uint32_t BankSize, bool DetermineLayout) {
  return _Funcs.pfOpenBank ? _Funcs.pfOpenBank(pBank, BankIndex, BankSize, DetermineLayout)
                           : FLASH_OpenBank(pBank, BankIndex, BankSize, DetermineLayout);
}
void _CloseBank(FlashBank* pBank) {
  _Funcs.pfCloseBank ? _Funcs.pfCloseBank(pBank) : FLASH_CloseBank(pBank);
}
int _PrepareBank(FlashModuleHandle* pHandle, FlashBank* pBank, uint32_t Arg) {
  return _Funcs.pfPrepareBank ? _Funcs.pfPrepareBank(pHandle, pBank, Arg)
                              : FLASH_PrepareBank(pHandle, pBank, Arg);
}
int _RestoreBank(FlashModuleHandle* pHandle, FlashBank* pBank) {
  return _Funcs.pfRestoreBank ? _Funcs.pfRestoreBank(pHandle, pBank) : FLASH_RestoreBank(pHandle, pBank);
}
uint32_t _GetCPUClock(void) {
  return _Funcs.pfGetCPUClock ? _Funcs.pfGetCPUClock() : TARGET_GetCPUClock();
}

bool _ErrorPending(void) {
  return APP_GetErrorCount() > 0;
}
const char* _Plural(uint64_t n) {
  return n == 1 ? "" : "s";
}

// "%d KB" above 1024 bytes, else "%d Bytes".
void _SizeText(char* sDest, int DestSize, uint64_t NumBytes) {
  if (NumBytes > 1024) {
    UTIL_sprintf(sDest, DestSize, "%d KB", int(NumBytes / 1024));
  } else {
    UTIL_sprintf(sDest, DestSize, "%d Bytes", int(NumBytes));
  }
}

void* _GetFunc(FlashBank* pBank, FlashModuleHandle* pHandle, int Id) {
  const FlashModule* m = pBank->pModule;
  return (m && m->pfGetFunc) ? m->pfGetFunc(pHandle, Id) : nullptr;
}

// Reads target memory through the module's read function when it offers one. 0, or -1.
int _ReadTarget(FlashBank* pBank, FlashModuleHandle* pHandle, uint32_t Addr, uint32_t NumBytes, void* pDest) {
  if (auto pf = reinterpret_cast<FLASH_READ_FUNC*>(_GetFunc(pBank, pHandle, FLASH_FUNC_READ))) {
    return pf(pHandle, Addr, NumBytes, pDest) < 0 ? -1 : 0;
  }
  return XRELAYARM_ReadMem(Addr, NumBytes, pDest) < 0 ? -1 : 0;
}

void _Sync(FlashBank* pBank, FlashModuleHandle* pHandle) {
  if (auto pf = reinterpret_cast<FLASH_SYNC_FUNC*>(_GetFunc(pBank, pHandle, FLASH_FUNC_SYNC))) pf(pHandle);
}

void _ReportReadFailure(uint32_t NumBytes, uint32_t Addr) {
  APP_ErrorOutf("Failed to read memory (0x%.2X bytes @ address 0x%.8X)", NumBytes, Addr);
}

// Piece sizes by the CPU clock found at connect.
uint32_t _ErasePieceSize(uint32_t Hz) {
  if (Hz == 0) return 0x20000;
  if (Hz <= 1499999) return 1024;
  if (Hz < 4000000) return 0x8000;
  if (Hz < 10000000) return 0x10000;
  return 0x20000;
}
uint32_t _ProgramPieceSize(uint32_t Hz) {
  if (Hz == 0) return 0x8000;
  if (Hz <= 1499999) return 1024;
  if (Hz <= 3999999) return 8192;
  if (Hz <= 9999999) return 0x4000;
  return 0x8000;
}
uint32_t _VerifyPieceSize(uint32_t Hz) {
  if (Hz == 0) return 0x10000;
  if (Hz <= 1499999) return 4096;
  if (Hz <= 3999999) return 0x4000;
  if (Hz <= 9999999) return 0x8000;
  return 0x10000;
}

// Sectors per piece of a run: at least one.
uint32_t _SectorsPerPiece(uint32_t PieceSize, uint32_t SectorSize) {
  return std::max<uint32_t>(1, SectorSize ? PieceSize / SectorSize : 1);
}

struct ImageDeleter {
  void operator()(DataImage* p) const { DATAIMAGE_Delete(p); }
};
using ImagePtr = std::unique_ptr<DataImage, ImageDeleter>;

struct RunsGuard {
  SECTOR_RUN_LIST List{};
  ~RunsGuard() { PROG_FreeRuns(&List); }
};

/*********************************************************************
 * Blank check: 1 blank, 0 not blank (*pFirst, *pValue found), -1 not known (failure reported,
 * or no way to check).
 */
int _FindNonBlank(const uint8_t* p, uint32_t n, uint8_t Empty) {
  for (uint32_t i = 0; i < n; i++) {
    if (p[i] != Empty) return int(i);
  }
  return -1;
}

// Reads a ..a+n-1 and looks for the first byte that is not Empty: 0 found, 1 none, -1 failure.
int _ReadForNonBlank(FlashBank* pBank, FlashModuleHandle* pHandle, uint32_t a, uint32_t n, uint8_t Empty,
                     uint32_t* pFirst, uint8_t* pValue) {
  std::unique_ptr<uint8_t[]> pBuf(new (std::nothrow) uint8_t[n]);
  if (!pBuf) {
    APP_ErrorOut("Insufficient memory!");
    return -1;
  }
  if (_ReadTarget(pBank, pHandle, a, n, pBuf.get()) < 0) {
    _ReportReadFailure(n, a);
    return -1;
  }
  int i = _FindNonBlank(pBuf.get(), n, Empty);
  if (i < 0) return 1;
  *pFirst = a + uint32_t(i);
  *pValue = pBuf[size_t(i)];
  return 0;
}

/*
 * The module found a..a+n-1 not blank: halve it with further blank checks down to one word, so
 * that only that word is read. A module that called a blank stretch not blank (some areas are
 * always reported so) gets the rest of the piece read. 0 found, 1 blank after all, -1 failure.
 */
int _LocateNonBlank(FLASH_BLANKCHECK_FUNC* pf, FlashBank* pBank, FlashModuleHandle* pHandle, uint32_t a,
                    uint32_t n, uint8_t Empty, uint32_t* pFirst, uint8_t* pValue) {
  uint64_t Lo = a, Hi = uint64_t(a) + n; // the first byte that is not blank lies in [Lo, Hi)
  while (Hi - Lo > 4) {
    uint64_t Half = ((Hi - Lo) / 2 + 3) & ~uint64_t(3);
    int r = pf(pHandle, uint32_t(Lo), uint32_t(Half));
    if (r < 0) {
      APP_ErrorOut("Error while blank checking.");
      return -1;
    }
    if (r == 0) {
      Lo += Half;
    } else {
      Hi = Lo + Half;
    }
  }
  uint32_t Word = uint32_t(std::min<uint64_t>(Hi, uint64_t(a) + n) - Lo);
  int r = _ReadForNonBlank(pBank, pHandle, uint32_t(Lo), Word, Empty, pFirst, pValue);
  if (r != 1) return r;
  return _ReadForNonBlank(pBank, pHandle, a, n, Empty, pFirst, pValue);
}

/*
 * The module checks whole words only: a length rounded up would reach past the range (and past
 * the bank at its end). The bytes before the first and after the last whole word of a piece are
 * read instead.
 */
int _CheckPiece(FLASH_BLANKCHECK_FUNC* pf, FlashBank* pBank, FlashModuleHandle* pHandle, uint32_t a,
                uint32_t n, uint8_t Empty, uint32_t* pFirst, uint8_t* pValue) {
  uint32_t Head = std::min<uint32_t>((4u - (a & 3u)) & 3u, n);
  uint32_t Body = (n - Head) & ~3u;
  uint32_t Tail = n - Head - Body;
  int r;
  if (Head && (r = _ReadForNonBlank(pBank, pHandle, a, Head, Empty, pFirst, pValue)) != 1) return r;
  if (Body) {
    uint32_t b = a + Head;
    APP_LogOutf("Blank checking 0x%.8X - 0x%.8X", b, b + Body - 1);
    r = pf(pHandle, b, Body);
    if (r < 0) {
      APP_ErrorOut("Error while blank checking.");
      return -1;
    }
    if (r != 0 && (r = _LocateNonBlank(pf, pBank, pHandle, b, Body, Empty, pFirst, pValue)) != 1) return r;
  }
  if (Tail) return _ReadForNonBlank(pBank, pHandle, a + Head + Body, Tail, Empty, pFirst, pValue);
  return 1;
}

int _BlankCheck(uint32_t Addr, uint32_t LastAddr, FlashBank* pBank, FlashModuleHandle* pHandle, uint8_t Empty,
                uint32_t* pFirst, uint8_t* pValue, bool AdvanceProgress) {
  auto pf = reinterpret_cast<FLASH_BLANKCHECK_FUNC*>(_GetFunc(pBank, pHandle, FLASH_FUNC_BLANK_CHECK));
  for (uint64_t a = Addr; a <= LastAddr;) {
    uint32_t n = uint32_t(std::min<uint64_t>(0x20000, uint64_t(LastAddr) + 1 - a));
    int r = pf ? _CheckPiece(pf, pBank, pHandle, uint32_t(a), n, Empty, pFirst, pValue)
               : _ReadForNonBlank(pBank, pHandle, uint32_t(a), n, Empty, pFirst, pValue);
    if (r <= 0) return r;
    if (AdvanceProgress) APP_ProgressAddValue(_pProgress, int(n));
    a += n;
  }
  return 1;
}

/*********************************************************************
 * Verifying one range of a run
 */
int _VerifyRange(PROG_REQUEST* pReq, DataImage* pData, FlashModuleHandle* pHandle, FlashBank* pBank,
                 uint32_t Addr, uint32_t NumBytes, int VerifyType) {
  uint32_t Piece = _VerifyPieceSize(_GetCPUClock());
  uint8_t Empty = pBank->EmptyValue;
  std::unique_ptr<uint8_t[]> pBuf(new (std::nothrow) uint8_t[Piece]);
  std::unique_ptr<uint8_t[]> pRead(new (std::nothrow) uint8_t[Piece]);
  if (!pBuf || !pRead) {
    APP_ErrorOutf("Failed to verify @ address 0x%.8X", Addr);
    return -1;
  }
  char acSize[32];
  if (auto pfNative = reinterpret_cast<FLASH_VERIFY_FUNC*>(_GetFunc(pBank, pHandle, FLASH_FUNC_VERIFY))) {
    APP_LogOut("Using the native verify function of the flash algorithm");
    for (uint64_t a = Addr; a < uint64_t(Addr) + NumBytes && !PROG_IsCancelled(); a += Piece) {
      uint32_t n = uint32_t(std::min<uint64_t>(Piece, uint64_t(Addr) + NumBytes - a));
      DATAIMAGE_Read(pData, uint32_t(a), n, pBuf.get(), Empty);
      uint32_t Mismatch = 0;
      int r = pfNative(pHandle, uint32_t(a), n, pBuf.get(), &Mismatch);
      if (r != 0) {
        // A difference is named by its first address, which the module tells; a failure of the
        // module itself by the piece.
        if (r > 0 && pReq->MismatchSeen == 0) {
          pReq->MismatchSeen = -1;
          pReq->FirstFailAddr = int32_t(Mismatch);
        }
        APP_ErrorOutf("Failed to verify @ address 0x%.8X", r > 0 ? Mismatch : uint32_t(a));
        return -1;
      }
      // The target holds these bytes now: both CRCs go on over them, so that the success line
      // names the CRC of what was verified rather than an untouched 0.
      pReq->TargetCRC = CRC32_Update(pReq->TargetCRC, pBuf.get(), n);
      pReq->ExpectedCRC = CRC32_Update(pReq->ExpectedCRC, pBuf.get(), n);
      APP_FlashProgressText(3, nullptr, n);
    }
    return 0;
  }
  auto pfCRC = reinterpret_cast<FLASH_CRC_FUNC*>(_GetFunc(pBank, pHandle, FLASH_FUNC_CRC));
  for (uint64_t a = Addr; a < uint64_t(Addr) + NumBytes && !PROG_IsCancelled(); a += Piece) {
    uint32_t n = uint32_t(std::min<uint64_t>(Piece, uint64_t(Addr) + NumBytes - a));
    DATAIMAGE_Read(pData, uint32_t(a), n, pBuf.get(), Empty);
    bool UseCRC = pfCRC && n >= 16 && (a & 1) == 0 && (n & 1) == 0 && VerifyType != PROG_VERIFY_READBACK;
    if (UseCRC) {
      // The module's CRC starts at 0; the running one continues through the zero-run term.
      uint32_t Crc = 0;
      uint32_t Expected = CRC32_Update(0, pBuf.get(), n);
      if (pfCRC(pHandle, uint32_t(a), n, nullptr, &Crc) < 0) {
        Crc = 0;
        Expected = 0xFFFFFFFF;
      }
      pReq->TargetCRC = CRC32_UpdateFill(pReq->TargetCRC, 0, n) ^ Crc;
      pReq->ExpectedCRC = CRC32_UpdateFill(pReq->ExpectedCRC, 0, n) ^ Expected;
    } else {
      char acText[128];
      _SizeText(acSize, sizeof(acSize), n);
      UTIL_sprintf(acText, sizeof(acText), "Verifying range 0x%.8X - 0x%.8X (%s)", uint32_t(a),
                   uint32_t(a + n - 1), acSize);
      APP_ProgressSetText2(_pProgress, acText);
      _Sync(pBank, pHandle);
      if (_ReadTarget(pBank, pHandle, uint32_t(a), n, pRead.get()) < 0) {
        _ReportReadFailure(n, uint32_t(a));
        return -1;
      }
      pReq->TargetCRC = CRC32_Update(pReq->TargetCRC, pRead.get(), n);
      pReq->ExpectedCRC = CRC32_Update(pReq->ExpectedCRC, pBuf.get(), n);
    }
    APP_FlashProgressText(3, nullptr, n);
    if (pReq->TargetCRC != pReq->ExpectedCRC && pReq->MismatchSeen == 0) {
      pReq->MismatchSeen = -1;
      _Sync(pBank, pHandle);
      if (_ReadTarget(pBank, pHandle, uint32_t(a), n, pRead.get()) < 0) {
        _ReportReadFailure(n, uint32_t(a));
        return -1;
      }
      pReq->FirstFailAddr = -1;
      for (uint32_t i = 0; i < n; i++) {
        if (pRead[i] != pBuf[i]) {
          pReq->FirstFailAddr = int32_t(uint32_t(a) + i);
          break;
        }
      }
    }
  }
  return 0;
}

/*********************************************************************
 * The project's banks and what the flash engine asks of the program
 */
std::unique_ptr<BANK_LIST> _GetBanks(void) {
  auto p = std::make_unique<BANK_LIST>();
  if (PROJDEV_GetBankList(p.get()) < 0) return nullptr;
  return p;
}

int _HookGetBank(int BankIndex, BANK_INFO* pBank, int* pDevice) {
  auto pList = _GetBanks();
  if (pList == nullptr || BankIndex < 0 || BankIndex >= pList->NumBanks) return -1;
  *pBank = pList->aBank[BankIndex];
  PROJECT_CPU Cpu;
  PROJECT_GetCPU(&Cpu);
  *pDevice = Cpu.Device;
  return 0;
}

void _HookGetTargetInfo(FLASH_TARGET_INFO* pInfo) {
  PROJECT_CPU Cpu;
  if (PROJECT_GetCPU(&Cpu) < 0) return;
  pInfo->BigEndian = MCUDB_GetEndianness(Cpu.Device) == 1 ? 1 : 0;
  pInfo->Core = MCUDB_GetCore(Cpu.Device);
  pInfo->RAMAddr = Cpu.RAMAddr;
  pInfo->RAMSize = Cpu.RAMSize;
}

void _HookProgress(int Level, const char* sText0, const char* sText1, uint32_t NumBytes) {
  (void)sText0;
  APP_FlashProgressText(Level, sText1, NumBytes);
}

/*********************************************************************
 * The operations' common parts
 */
// The probe's indicator while an operation runs: (1, 0, 0, Period, Period), and all 0 after it.
void _SetIndicators(uint16_t On, uint16_t Period) {
  XRELAYARM_INDICATOR_STATE s{On, 0, 0, Period, Period};
  XRELAYARM_INDICATORS_SetState(&s, 1);
}

// "%d of %d sectors selected, %d range%s" (or "%d sector%s, ...") and ", 0x%X - 0x%X" per range.
void _LogRanges(DataImage* pRanges, int NumSectors, int TotalSectors, bool OfTotal) {
  std::string s;
  char ac[128];
  uint32_t n = DATAIMAGE_GetNumRanges(pRanges);
  if (OfTotal) {
    UTIL_sprintf(ac, sizeof(ac), "%d of %d sectors selected, %d range%s", NumSectors, TotalSectors, int(n),
                 _Plural(n));
  } else {
    UTIL_sprintf(ac, sizeof(ac), "%d sector%s, %d range%s", NumSectors, _Plural(NumSectors), int(n),
                 _Plural(n));
  }
  s = ac;
  uint32_t Start, Len;
  for (uint32_t i = 0; DATAIMAGE_GetRange(pRanges, i, &Start, &Len); i++) {
    UTIL_sprintf(ac, sizeof(ac), ", 0x%X - 0x%X", Start, uint32_t(Start + Len - 1));
    s += ac;
  }
  APP_LogOut(s.c_str());
}

// The ranges of the selected sectors of all enabled banks (Whole: the banks whole).
int _BankRanges(DataImage* pImage, bool Whole, int* pTotal) {
  auto pList = _GetBanks();
  if (pList == nullptr) return -1;
  *pTotal = BANK_GetTotalSectors(pList.get());
  if (Whole) {
    for (int i = 0; i < pList->NumBanks; i++)
      BANK_SelectAll(&pList->aBank[i]);
  }
  return BANK_GetSelectedRanges(pList.get(), -1, pImage);
}

struct ProgressScope {
  explicit ProgressScope(const char* sText) { PROG_BeginProgress(sText); }
  ~ProgressScope() { PROG_EndProgress(); }
};

// The result of an operation after its bank loop ended with LoopResult: 0 success, 1 cancelled,
// -1 failure (with the matching text). A loop that failed is a failure even when nothing was
// reported on the way.
int _Outcome(int LoopResult, const char* sFailed, const char* sCancelled, const char* sDone) {
  if (_ErrorPending() || (LoopResult < 0 && !PROG_IsCancelled())) {
    APP_ErrorOut(sFailed);
    return -1;
  }
  if (PROG_IsCancelled()) {
    APP_LogOut(sCancelled);
    return 1;
  }
  if (sDone) APP_LogCompleted(sDone);
  return 0;
}

/*********************************************************************
 * Per-bank steps of blank check and read back
 */
int _BlankCheckStep(FlashModuleHandle* pHandle, FlashBank* pBank, PROG_REQUEST*, DataImage* pBankData,
                    const BANK_INFO*) {
  pHandle->OpCode = FLASH_OP_ERASE;
  APP_ProgressSetRange(_pProgress, 0, int(DATAIMAGE_GetNumBytes(pBankData)));
  uint32_t n = DATAIMAGE_GetNumRanges(pBankData), Start, Len;
  for (uint32_t i = 0; i < n && !PROG_IsCancelled() && !_ErrorPending(); i++) {
    DATAIMAGE_GetRange(pBankData, i, &Start, &Len);
    uint32_t Last = Start + Len - 1;
    char ac[128];
    UTIL_sprintf(ac, sizeof(ac), "Range %d/%d, 0x%X - 0x%X", int(i + 1), int(n), Start, Last);
    APP_ProgressSetText2(_pProgress, ac);
    if (!pBank->EmptyValueKnown) {
      APP_LogOutf("Blank check not available for range 0x%.8X - 0x%.8X - skipped.", Start, Last);
      continue;
    }
    uint32_t First = 0;
    uint8_t Value = 0;
    if (_BlankCheck(Start, Last, pBank, pHandle, pBank->EmptyValue, &First, &Value, true) == 0 &&
        !_ErrorPending()) {
      APP_ErrorOutf("Blank check failed @ addr 0x%.8X (Read: 0x%.2X, Expected: 0x%.2X)", First, Value,
                    pBank->EmptyValue * 0x01010101u);
    }
  }
  return _ErrorPending() ? -1 : 0;
}

int _ReadStep(FlashModuleHandle* pHandle, FlashBank* pBank, PROG_REQUEST* pReq, DataImage* pBankData,
              const BANK_INFO*) {
  pHandle->OpCode = FLASH_OP_READ;
  APP_ProgressSetRange(_pProgress, 0, int(DATAIMAGE_GetNumBytes(pBankData)));
  uint32_t n = DATAIMAGE_GetNumRanges(pBankData), Start, Len;
  for (uint32_t i = 0; i < n && !PROG_IsCancelled(); i++) {
    DATAIMAGE_GetRange(pBankData, i, &Start, &Len);
    char ac[128];
    UTIL_sprintf(ac, sizeof(ac), "Range %d/%d, 0x%X - 0x%X", int(i + 1), int(n), Start, Start + Len - 1);
    APP_ProgressSetText2(_pProgress, ac);
    if (PROG_ReadRange(pReq->pResult, pBank, pHandle, Start, Start + Len - 1) < 0) return -1;
  }
  return 0;
}

DataImage* _ReadOp(DataImage* pRanges, DataImage* pResult, const char* sNotConnected) {
  ImagePtr Result(pResult);
  if (TARGET_Connect() != 0) {
    APP_ErrorOut(sNotConnected);
    return nullptr;
  }
  PROG_REQUEST Req{};
  Req.pResult = pResult;
  Req.FirstFailAddr = -1;
  int Loop;
  {
    ProgressScope Progress("Reading target memory ...");
    Loop = PROG_RunBanks(_ReadStep, &Req, pRanges, nullptr, true, true);
  }
  char ac[128];
  uint32_t NumBytes = DATAIMAGE_GetNumBytes(pResult), NumRanges = DATAIMAGE_GetNumRanges(pResult);
  UTIL_sprintf(ac, sizeof(ac), "Target memory read successfully. (%d bytes, %d range%s)", int(NumBytes),
               int(NumRanges), _Plural(NumRanges));
  if (_Outcome(Loop, "Failed to read back target memory", "Read target memory canceled by user", ac) < 0)
    return nullptr;
  return Result.release();
}

int _EraseOp(bool Chip) {
  const char* sNoMem =
      Chip ? "Could not erase chip, out of memory" : "Could not erase sectors, out of memory";
  ImagePtr Ranges(DATAIMAGE_Create());
  if (!Ranges) {
    APP_ErrorOut(sNoMem);
    return -1;
  }
  if (TARGET_Connect() != 0) {
    APP_ErrorOut(Chip ? "Could not erase chip, not connected" : "Could not erase sectors, not connected");
    return -1;
  }
  if (_ErrorPending()) {
    APP_ErrorOut(Chip ? "Could not erase chip" : "Could not erase sectors");
    return -1;
  }
  int Total = 0;
  int n = _BankRanges(Ranges.get(), Chip, &Total);
  if (n < 0) {
    APP_ErrorOut(sNoMem);
    return -1;
  }
  _LogRanges(Ranges.get(), n, Total, !Chip);
  PROJECT_PERFORMANCE Perf{};
  PROJECT_GetPerformance(&Perf);
  PROG_REQUEST Req{};
  Req.pRanges = Ranges.get();
  Req.Erase = 1;
  Req.EraseType = Chip ? PROG_ERASE_CHIP : PROG_ERASE_SECTORS;
  Req.BlankCheckFirst =
      Chip ? Perf.PerfromBlankCheckPriorEraseChip : Perf.PerfromBlankCheckPriorEraseSelectedSectors;
  Req.FirstFailAddr = -1;
  int Loop;
  {
    ProgressScope Progress(Chip ? "Erasing chip ..." : "Erasing sectors ...");
    _SetIndicators(1, 80);
    Loop = PROG_RunBanks(PROG_BankStep, &Req, Ranges.get(), nullptr, true, true);
    _SetIndicators(0, 0);
  }
  return Chip ? _Outcome(Loop, "Failed to erase chip", "Erase chip canceled by user",
                         "Erase operation completed successfully")
              : _Outcome(Loop, "Failed to erase sectors", "Erase sectors canceled by user",
                         "Erase operation completed successfully");
}

// Programs (Program) and verifies (Verify) pData bank by bank under a progress dialog, with the
// probe's indicator blinking, as the project's performance settings say; *pReq is the request
// as the banks left it. Bytes that no bank took (only possible while a bank is detected
// automatically, which skips the fit check) leave the board incomplete or not known to hold
// them: that is an error. Returns what PROG_RunBanks returned.
int _ProgramOrVerify(DataImage* pData, bool Program, bool Verify, PROG_REQUEST* pReq) {
  PROJECT_PERFORMANCE Perf{};
  PROJECT_GetPerformance(&Perf);
  *pReq = PROG_REQUEST{};
  pReq->pRanges = pReq->pData = pData;
  pReq->Program = Program;
  pReq->Verify = Verify;
  pReq->VerifyType = Perf.VerifyType == PROG_VERIFY_READBACK ? PROG_VERIFY_READBACK : PROG_VERIFY_CRC;
  pReq->FirstFailAddr = -1;
  uint32_t NumBytes = DATAIMAGE_GetNumBytes(pData);
  uint32_t Counted = 0;
  int Loop;
  {
    ProgressScope Progress(Program ? "Programming ..." : "Verifying target ...");
    _SetIndicators(1, Program ? 300 : 100);
    Loop = PROG_RunBanks(PROG_BankStep, pReq, pData, &Counted, true, true);
    _SetIndicators(0, 0);
  }
  if (!_ErrorPending() && !PROG_IsCancelled() && NumBytes != Counted) {
    APP_ErrorOutf("%d bytes could not be %s.", int(NumBytes - Counted), Program ? "programmed" : "verified");
  }
  return Loop;
}

int _ProgramOp(DataImage* pData, bool Verify) {
  if (pData == nullptr) {
    APP_ErrorOut(Verify ? "Could not program and verify target, no data file opened"
                        : "Could not program target, no data file opened");
    return -1;
  }
  if (TARGET_Connect() != 0) {
    APP_ErrorOut(Verify ? "Could not program and verify target, not connected"
                        : "Could not program target, not connected");
    return -1;
  }
  if (PROG_CheckDataFits(pData) < 0) {
    if (!Verify) APP_ErrorOut("Could not program target");
    return -1;
  }
  PROG_REQUEST Req;
  int Loop = _ProgramOrVerify(pData, true, Verify, &Req);
  if (!Verify)
    return _Outcome(Loop, "Failed to program target", "Programming canceled by user",
                    "Target programmed successfully");
  char ac[128];
  if (Req.VerifyType == PROG_VERIFY_CRC) {
    UTIL_sprintf(ac, sizeof(ac), "Target programmed and verified successfully (CRC = 0x%.8X)", Req.TargetCRC);
  } else {
    UTIL_strcpy(ac, "Target programmed and verified successfully", sizeof(ac));
  }
  return _Outcome(Loop, "Failed to program and verify target", "Programming canceled by user", ac);
}

int _VerifyOp(DataImage* pData) {
  if (pData == nullptr) {
    APP_ErrorOut("Could not verify target, no data file opened to verify");
    return -1;
  }
  if (TARGET_Connect() != 0) {
    APP_ErrorOut("Could not verify target, not connected");
    return -1;
  }
  uint32_t NumRanges = DATAIMAGE_GetNumRanges(pData), Start, Len;
  std::string s;
  char ac[128];
  UTIL_sprintf(ac, sizeof(ac), "%d bytes, %d range%s", int(DATAIMAGE_GetNumBytes(pData)), int(NumRanges),
               _Plural(NumRanges));
  s = ac;
  for (uint32_t i = 0; DATAIMAGE_GetRange(pData, i, &Start, &Len); i++) {
    UTIL_sprintf(ac, sizeof(ac), ", 0x%X - 0x%X", Start, Start + Len - 1);
    s += ac;
  }
  APP_LogOut(s.c_str());
  if (PROG_CheckDataFits(pData) < 0) return -1;
  PROG_REQUEST Req;
  int Loop = _ProgramOrVerify(pData, false, true, &Req);
  return _Outcome(Loop, "Failed to verify target", "Verify canceled by user", "Target verified successfully");
}

/*********************************************************************
 * Jobs
 */
int (*_pfAskReadRange)(uint32_t* pFirst, uint32_t* pLast);

void _CheckBlankJob(JobContext* pContext) {
  pContext->Result = PROG_BlankCheck() < 0 ? -1 : 0;
}

uint32_t _JobValue(const JobContext* pContext, uint32_t Default) {
  return pContext->pParams ? *static_cast<const uint32_t*>(pContext->pParams) : Default;
}

void _EraseJob(JobContext* pContext) {
  int r;
  if (_JobValue(pContext, APP_ERASE_SELECTED_SECTORS) == APP_ERASE_CHIP) {
    if (!PROG_AreAllSectorsSelected() &&
        APP_MsgBox("This operation will also erase not selected sectors.\nDo you really want to erase chip?",
                   "Yes", "No", 0, APP_ICON_QUESTION, 1) != 0) {
      pContext->Result = 0;
      return;
    }
    r = PROG_EraseChip();
  } else {
    r = PROG_EraseSectors();
  }
  pContext->Result = r < 0 ? -1 : 0;
}

void _ProgramJob(JobContext* pContext) {
  auto p = static_cast<const APP_PROGRAM_PARAMS*>(pContext->pParams);
  DataImage* pImage = p ? p->pImage : nullptr;
  int r = (p && p->Verify) ? PROG_ProgramVerify(pImage) : PROG_Program(pImage);
  pContext->Result = r < 0 ? -1 : 0;
}

void _VerifyJob(JobContext* pContext) {
  auto p = static_cast<const APP_IMAGE_PARAMS*>(pContext->pParams);
  pContext->Result = PROG_Verify(p ? p->pImage : nullptr) < 0 ? -1 : 0;
}

void _ReadJob(JobContext* pContext) {
  uint32_t Kind = _JobValue(pContext, APP_READ_SELECTED_SECTORS);
  uint32_t First = 0, Last = 0;
  if (Kind == APP_READ_RANGE && (_pfAskReadRange == nullptr || _pfAskReadRange(&First, &Last) != 0)) {
    pContext->Result = 0;
    return;
  }
  pContext->Result = PROG_ReadToWindow(int(Kind), First, Last);
}

} // namespace

/*********************************************************************
 * Sector runs
 */
int PROG_AddRun(SECTOR_RUN_LIST* pList, uint32_t FirstSector, uint32_t Addr, uint32_t SectorSize,
                uint32_t NumSectors) {
  if (pList->NumRuns) {
    SECTOR_RUN& Last = pList->paRun[pList->NumRuns - 1];
    if (Last.SectorSize == SectorSize &&
        uint64_t(Last.Addr) + uint64_t(Last.SectorSize) * Last.NumSectors == Addr &&
        Last.FirstSector + Last.NumSectors == FirstSector) {
      Last.NumSectors += NumSectors;
      return 0;
    }
  }
  if (pList->NumRuns == pList->Capacity) {
    uint32_t Cap = pList->Capacity + 256;
    void* p = SYS_MEM_Realloc(pList->paRun, Cap * sizeof(SECTOR_RUN));
    if (p == nullptr) return -1;
    pList->paRun = static_cast<SECTOR_RUN*>(p);
    pList->Capacity = Cap;
  }
  pList->paRun[pList->NumRuns++] = SECTOR_RUN{FirstSector, Addr, SectorSize, NumSectors, 0};
  return 0;
}

uint64_t PROG_GetRunBytes(const SECTOR_RUN_LIST* pList) {
  uint64_t n = 0;
  for (uint32_t i = 0; i < pList->NumRuns; i++)
    n += uint64_t(pList->paRun[i].SectorSize) * pList->paRun[i].NumSectors;
  return n;
}

int PROG_CopyRuns(SECTOR_RUN_LIST* pDest, const SECTOR_RUN_LIST* pSrc) {
  *pDest = SECTOR_RUN_LIST{};
  for (uint32_t i = 0; i < pSrc->NumRuns; i++) {
    const SECTOR_RUN& r = pSrc->paRun[i];
    if (PROG_AddRun(pDest, r.FirstSector, r.Addr, r.SectorSize, r.NumSectors) < 0) {
      PROG_FreeRuns(pDest);
      return -1;
    }
  }
  return 0;
}

void PROG_FreeRuns(SECTOR_RUN_LIST* pList) {
  SYS_MEM_Free(pList->paRun);
  *pList = SECTOR_RUN_LIST{};
}

/*********************************************************************
 * Bank loop and per-bank step
 */
int PROG_RunBanks(PROG_BANK_STEP_FUNC* pfStep, PROG_REQUEST* pReq, DataImage* pRanges, uint32_t* pCounter,
                  bool DetermineLayout, bool PrepareRestore) {
  auto pList = _GetBanks();
  if (pList == nullptr) return -1;
  if (BANK_CheckOverlap(pList.get()) > 0) return -1;
  PROJECT_PERFORMANCE Perf{};
  PROJECT_GetPerformance(&Perf);
  for (int i = 0; i < pList->NumBanks; i++) {
    if (_ErrorPending() || PROG_IsCancelled()) return -1;
    const BANK_INFO& Info = pList->aBank[i];
    if (Info.Disabled) {
      APP_LogOutf("\x1b[2;33mWARNING: Flash bank %d disabled, skipped.\x1b[0m", i);
      continue;
    }
    uint32_t First = 0, Last = 0;
    bool HasRange = BANK_GetRange(pList.get(), i, &First, &Last) == 0;
    if (pRanges && (!HasRange || !DATAIMAGE_IntersectsRange(pRanges, First, Last))) continue;
    uint32_t Size = uint32_t(std::min<uint64_t>(BANK_GetSize(pList.get(), i), 0xFFFFFFFFu));
    FlashBank Bank;
    int r = _OpenBank(&Bank, i, Size, DetermineLayout);
    if (r < 0) return r;
    ImagePtr BankData;
    if (pRanges) {
      ImagePtr Mask(DATAIMAGE_Create());
      BankData.reset(DATAIMAGE_Create());
      if (!Mask || !BankData ||
          MCUDB_LAYOUT_AddRanges(Bank.aRegion, 1, Bank.BaseAddr, nullptr, 0, Mask.get()) < 0 ||
          DATAIMAGE_MergeMasked(BankData.get(), pRanges, Mask.get()) < 0) {
        APP_ErrorOut("Insufficient memory!");
        _CloseBank(&Bank);
        return -1;
      }
      if (DATAIMAGE_GetNumRanges(BankData.get()) == 0) {
        _CloseBank(&Bank);
        continue;
      }
    }
    uint32_t NumBytes = BankData ? DATAIMAGE_GetNumBytes(BankData.get()) : 0;
    FlashModuleHandle Handle{};
    Handle.NoSaveRegs = 1;
    Handle.NoSaveRAM = 1;
    Handle.ProgramBlank = Perf.DisableSkipBlankDataOnProgram;
    Handle.BankAddr = Bank.BaseAddr;
    Handle.BankSize = Bank.Size;
    Handle.pState = Bank.pState;
    if (PrepareRestore) {
      if (_PrepareBank(&Handle, &Bank, NumBytes) == 0) {
        r = pfStep(&Handle, &Bank, pReq, BankData.get(), &Info);
      } else {
        r = -1;
      }
      _RestoreBank(&Handle, &Bank);
    } else {
      r = pfStep(&Handle, &Bank, pReq, BankData.get(), &Info);
    }
    if (r >= 0 && pCounter) *pCounter += NumBytes;
    BankData.reset();
    _CloseBank(&Bank);
    if (r < 0) return r;
  }
  return 0;
}

int PROG_DetermineDirtyRuns(FlashBank* pBank, DataImage* pBankData, SECTOR_RUN_LIST* pList,
                            uint64_t* pNumBytes) {
  APP_LogOut("Start of determining dirty areas in flash cache");
  uint64_t NumSectors = MCUDB_LAYOUT_GetNumSectors(pBank->aRegion);
  for (uint32_t n = 0; n < NumSectors; n++) {
    uint32_t Addr, Size;
    if (MCUDB_LAYOUT_GetSector(pBank->aRegion, 1, pBank->BaseAddr, n, &Addr, &Size) < 0) break;
    if (Size == 0 || !DATAIMAGE_IntersectsRange(pBankData, Addr, Addr + Size - 1)) continue;
    if (PROG_AddRun(pList, n, Addr, Size, 1) < 0) {
      APP_ErrorOut("Insufficient memory!");
      return -1;
    }
  }
  if (pNumBytes) *pNumBytes = PROG_GetRunBytes(pList);
  APP_LogOut("End of determining dirty areas");
  return 0;
}

int PROG_BankStep(FlashModuleHandle* pHandle, FlashBank* pBank, PROG_REQUEST* pReq, DataImage* pBankData,
                  const BANK_INFO*) {
  char acError[256] = "";
  XRELAYARM_ExecCommand("SetIsTForge", acError, sizeof(acError));
  RunsGuard Dirty, Erase, Program, Verify;
  if (PROG_DetermineDirtyRuns(pBank, pBankData, &Dirty.List, nullptr) < 0) return -1;
  if (PROG_CopyRuns(&Erase.List, &Dirty.List) < 0 || PROG_CopyRuns(&Program.List, &Dirty.List) < 0 ||
      PROG_CopyRuns(&Verify.List, &Dirty.List) < 0) {
    APP_ErrorOut("Insufficient memory!");
    return -1;
  }
  APP_FlashProgressBegin(_pProgress, "Start of flash programming.");
  FLASH_LogCPUSpeed(pBank, pHandle);
  const char* sFailed = nullptr;
  int r = 0;
  if (pReq->Erase) {
    r = PROG_EraseRuns(pBank, pHandle, &Erase.List, pReq->EraseType, pReq->BlankCheckFirst);
    if (r < 0) sFailed = "Erase failed";
  }
  if (r >= 0 && pReq->Program && !PROG_IsCancelled()) {
    r = PROG_ProgramRuns(pReq->pData, pReq, pHandle, pBank, &Program.List);
    if (r < 0) sFailed = "Program failed";
  }
  if (r >= 0 && pReq->Verify && !PROG_IsCancelled()) {
    r = PROG_VerifyRuns(pReq, pReq->pData, pHandle, pBank, &Verify.List, pReq->VerifyType);
    if (r < 0) sFailed = "Verify failed";
  }
  APP_FlashProgressEnd("Finished verifying flash memory.");
  if (sFailed) {
    APP_ErrorOut(sFailed);
    APP_ProgressDone(_pProgress);
  }
  return r;
}

int PROG_EraseRuns(FlashBank* pBank, FlashModuleHandle* pHandle, SECTOR_RUN_LIST* pList, int EraseType,
                   bool BlankCheckFirst) {
  pHandle->OpCode = FLASH_OP_ERASE;
  APP_FlashProgressUpdate(0, 1, uint32_t(PROG_GetRunBytes(pList)));
  APP_FlashProgressText(1, "Erasing target memory ...", 0);
  if (EraseType != PROG_ERASE_SECTORS && EraseType != PROG_ERASE_CHIP) {
    APP_ErrorOut("Internal Error: Unsupported erase type selected.");
    return -1;
  }
  bool Chip = EraseType == PROG_ERASE_CHIP;
  RunsGuard All;
  if (Chip) {
    bool Offered = pBank->pModule && pBank->pModule->pfEraseChip;
    if (Offered && (pBank->Kind == FLASH_KIND_CMSIS_FILE || pBank->Kind == FLASH_KIND_CMSIS_IMAGE)) {
      Offered = pBank->CMSIS.aEntryOffset[MCUDB_ENTRY_ERASE_CHIP] >= 0 ||
                pBank->CMSIS.aEntryOffset[MCUDB_ENTRY_ERASE_CHIP_EX] >= 0;
    }
    if (!Offered) {
      APP_LogOutf("Chip erase not supported for flash bank @ 0x%.8X. Switched to sector erase",
                  pBank->BaseAddr);
      ImagePtr Whole(DATAIMAGE_Create());
      if (!Whole || MCUDB_LAYOUT_AddRanges(pBank->aRegion, 1, pBank->BaseAddr, nullptr, 0, Whole.get()) < 0 ||
          PROG_DetermineDirtyRuns(pBank, Whole.get(), &All.List, nullptr) < 0) {
        APP_ErrorOut("Insufficient memory!");
        return -1;
      }
      pList = &All.List;
      Chip = false;
    }
  }
  APP_LogOut(Chip ? "Start of erasing chip" : "Start of erasing sectors");
  int r = 0;
  if (Chip) {
    r = pBank->pModule->pfEraseChip(pHandle) < 0 ? -1 : 0;
    if (r == 0) APP_FlashProgressText(1, nullptr, uint32_t(PROG_GetRunBytes(pList)));
  } else {
    uint32_t Piece = _ErasePieceSize(_GetCPUClock());
    for (uint32_t i = 0; i < pList->NumRuns && r == 0 && !PROG_IsCancelled(); i++) {
      const SECTOR_RUN& Run = pList->paRun[i];
      uint32_t Per = _SectorsPerPiece(Piece, Run.SectorSize);
      for (uint32_t k = 0; k < Run.NumSectors && !PROG_IsCancelled(); k += Per) {
        uint32_t Count = std::min(Per, Run.NumSectors - k);
        uint32_t Addr = Run.Addr + k * Run.SectorSize;
        uint32_t NumBytes = Count * Run.SectorSize;
        uint32_t Last = Addr + NumBytes - 1;
        if (BlankCheckFirst && pBank->EmptyValueKnown) {
          uint32_t First;
          uint8_t Value;
          int b = _BlankCheck(Addr, Last, pBank, pHandle, pBank->EmptyValue, &First, &Value, false);
          if (b < 0 && _ErrorPending()) {
            r = -1;
            break;
          }
          if (b == 1) {
            APP_FlashProgressText(1, nullptr, NumBytes);
            continue;
          }
        }
        char acSize[32];
        _SizeText(acSize, sizeof(acSize), NumBytes);
        APP_LogOutf("Erasing range 0x%.8X - 0x%.8X (%3d Sector%s, %s)", Addr, Last, int(Count),
                    _Plural(Count), acSize);
        if (pBank->pModule->pfEraseSectors == nullptr ||
            pBank->pModule->pfEraseSectors(pHandle, Run.FirstSector + k, Count) < 0) {
          r = -1;
          break;
        }
        APP_FlashProgressText(1, nullptr, NumBytes);
      }
    }
  }
  APP_LogOut(Chip ? "End of erasing chip" : "End of erasing sectors");
  return r;
}

bool PROG_BlankCheckRange(uint32_t Addr, uint32_t* pFirstNonBlank, FlashBank* pBank,
                          FlashModuleHandle* pHandle, uint32_t LastAddr, uint8_t EmptyValue, uint8_t* pValue,
                          bool AdvanceProgress) {
  return _BlankCheck(Addr, LastAddr, pBank, pHandle, EmptyValue, pFirstNonBlank, pValue, AdvanceProgress) ==
         1;
}

int PROG_ProgramRuns(DataImage* pData, PROG_REQUEST* pReq, FlashModuleHandle* pHandle, FlashBank* pBank,
                     SECTOR_RUN_LIST* pList) {
  APP_LogOut("Start of flash programming");
  pHandle->OpCode = FLASH_OP_PROGRAM;
  APP_FlashProgressUpdate(0, 2, uint32_t(PROG_GetRunBytes(pList)));
  APP_FlashProgressText(2, "Programming target memory...", 0);
  uint32_t Piece = _ProgramPieceSize(_GetCPUClock());
  uint32_t BufSize = Piece;
  uint8_t* pBuf = static_cast<uint8_t*>(SYS_MEM_Alloc(BufSize, "PROG: Program buffer"));
  if (pBuf == nullptr) {
    APP_ErrorOutf("Failed to allocate %d bytes of memory", int(BufSize));
    return -1;
  }
  int r = 0;
  uint64_t Done = 0;
  char acSize[32];
  for (uint32_t i = 0; i < pList->NumRuns && r == 0 && !PROG_IsCancelled(); i++) {
    const SECTOR_RUN& Run = pList->paRun[i];
    uint32_t Per = _SectorsPerPiece(Piece, Run.SectorSize);
    if (uint64_t(Per) * Run.SectorSize > BufSize) {
      uint32_t Need = (Per * Run.SectorSize + 1023u) & ~1023u;
      void* p = SYS_MEM_Realloc(pBuf, Need);
      if (p == nullptr) {
        APP_ErrorOutf("Failed to allocate %d bytes of memory", int(Need));
        r = -3;
        break;
      }
      pBuf = static_cast<uint8_t*>(p);
      BufSize = Need;
    }
    for (uint32_t k = 0; k < Run.NumSectors && !PROG_IsCancelled(); k += Per) {
      uint32_t Count = std::min(Per, Run.NumSectors - k);
      uint32_t Addr = Run.Addr + k * Run.SectorSize;
      uint32_t NumBytes = Count * Run.SectorSize;
      DATAIMAGE_Read(pData, Addr, NumBytes, pBuf, pBank->EmptyValue);
      _SizeText(acSize, sizeof(acSize), NumBytes);
      APP_LogOutf("Programming range 0x%.8X - 0x%.8X (%3d Sector%s, %s)", Addr, Addr + NumBytes - 1,
                  int(Count), _Plural(Count), acSize);
      FLASH_PROG_REQUEST Req{Run.FirstSector + k, pBuf, Count};
      if (pBank->pModule->pfProgram == nullptr || pBank->pModule->pfProgram(pHandle, &Req) < 0) {
        r = -3;
        break;
      }
      Done += NumBytes;
      APP_FlashProgressText(2, nullptr, NumBytes);
    }
  }
  SYS_MEM_Free(pBuf);
  APP_LogOut("End of flash programming");
  pReq->BytesProgrammed += int32_t(Done);
  if (r == 0 && Done) {
    char acHead[128];
    UTIL_sprintf(acHead, sizeof(acHead), "Flash programming performed for %d range%s (%d byte%s)",
                 int(pList->NumRuns), _Plural(pList->NumRuns), int(Done), _Plural(Done));
    APP_LogBegin(acHead);
    for (uint32_t i = 0; i < pList->NumRuns; i++) {
      const SECTOR_RUN& Run = pList->paRun[i];
      uint32_t NumBytes = Run.NumSectors * Run.SectorSize;
      _SizeText(acSize, sizeof(acSize), NumBytes);
      APP_LogOutf("0x%.4X - 0x%.4X (%3d Sector%s, %s)", Run.Addr, Run.Addr + NumBytes - 1,
                  int(Run.NumSectors), _Plural(Run.NumSectors), acSize);
    }
    APP_LogEnd(nullptr);
  }
  return r;
}

int PROG_VerifyRuns(PROG_REQUEST* pReq, DataImage* pData, FlashModuleHandle* pHandle, FlashBank* pBank,
                    SECTOR_RUN_LIST* pList, int VerifyType) {
  APP_LogOut("Start of verifying flash");
  pHandle->OpCode = FLASH_OP_VERIFY;
  APP_FlashProgressUpdate(0, 3, uint32_t(PROG_GetRunBytes(pList)));
  APP_FlashProgressText(3, "Verifying target memory...", 0);
  for (uint32_t i = 0; i < pList->NumRuns && !PROG_IsCancelled(); i++) {
    const SECTOR_RUN& Run = pList->paRun[i];
    if (_VerifyRange(pReq, pData, pHandle, pBank, Run.Addr, Run.SectorSize * Run.NumSectors, VerifyType) <
        0) {
      return -1;
    }
  }
  if (pReq->TargetCRC != pReq->ExpectedCRC) {
    if (VerifyType == PROG_VERIFY_CRC) {
      APP_ErrorOutf("Verification failed @ address 0x%.8X (CRC: 0x%.8X, Expected: 0x%.8X)",
                    uint32_t(pReq->FirstFailAddr), pReq->TargetCRC, pReq->ExpectedCRC);
    } else {
      APP_ErrorOutf("Verification failed @ address 0x%.8X", uint32_t(pReq->FirstFailAddr));
    }
    return -1;
  }
  APP_LogOut("End of verifying flash");
  return 0;
}

int PROG_ReadRange(DataImage* pResult, FlashBank* pBank, FlashModuleHandle* pHandle, uint32_t First,
                   uint32_t Last) {
  uint64_t Addr = First & ~3u;
  uint64_t End = uint64_t(Last | 3u);
  std::unique_ptr<uint8_t[]> pBuf(new (std::nothrow) uint8_t[0x20000]);
  if (!pBuf) {
    APP_ErrorOut("Insufficient memory!");
    return -1;
  }
  while (Addr <= End && !PROG_IsCancelled()) {
    if (pBank->EmptyValueKnown) {
      uint32_t NonBlank = uint32_t(Addr);
      uint8_t Value;
      int b = _BlankCheck(uint32_t(Addr), uint32_t(End), pBank, pHandle, pBank->EmptyValue, &NonBlank, &Value,
                          true);
      if (_ErrorPending()) return -1;
      if (b == 1) {
        if (DATAIMAGE_Fill(pResult, uint32_t(Addr), uint32_t(End + 1 - Addr), pBank->EmptyValue) < 0)
          return -1;
        return 0;
      }
      if (b == 0 && NonBlank > Addr) {
        if (DATAIMAGE_Fill(pResult, uint32_t(Addr), uint32_t(NonBlank - Addr), pBank->EmptyValue) < 0)
          return -1;
        Addr = NonBlank;
      }
    }
    uint32_t n = uint32_t(std::min<uint64_t>(0x20000, End + 1 - Addr));
    if (Addr + n - 1 < End && ((Addr + n) & 3) != 0 && n > ((Addr + n) & 3)) n -= uint32_t((Addr + n) & 3);
    if (_ReadTarget(pBank, pHandle, uint32_t(Addr), n, pBuf.get()) < 0) {
      _ReportReadFailure(n, uint32_t(Addr));
      return -1;
    }
    if (DATAIMAGE_AddData(pResult, uint32_t(Addr), n, pBuf.get()) < 0) {
      APP_ErrorOut("Insufficient memory!");
      return -1;
    }
    APP_ProgressAddValue(_pProgress, int(n));
    Addr += n;
  }
  return 0;
}

int PROG_CheckDataFits(DataImage* pData) {
  APP_LogBegin("Checking if selected data fits into selected flash sectors.");
  int r = 0;
  auto pList = _GetBanks();
  bool AutoDetect = false;
  for (int i = 0; pList && i < pList->NumBanks; i++) {
    if (!pList->aBank[i].Disabled && !pList->aBank[i].IsInternal && pList->aBank[i].AutoDetect)
      AutoDetect = true;
  }
  ImagePtr Sel(DATAIMAGE_Create());
  if (pList && !AutoDetect) {
    if (!Sel || BANK_GetSelectedRanges(pList.get(), -1, Sel.get()) < 0) {
      APP_ErrorOut("Insufficient memory!");
      r = -1;
    } else {
      int Idx = DATAIMAGE_FindUncontained(Sel.get(), pData, 0);
      if (Idx >= 0) {
        uint32_t Start = 0, Len = 0, SelStart = 0, SelLen = 0;
        DATAIMAGE_GetRange(pData, uint32_t(Idx), &Start, &Len);
        char acText[256];
        UTIL_sprintf(acText, sizeof(acText),
                     "Selected Data (0x%X - 0x%X) does not fit into selected flash sectors.", Start,
                     Start + Len - 1);
        bool HasSel = DATAIMAGE_GetRange(Sel.get(), 0, &SelStart, &SelLen) != nullptr;
        int64_t d = int64_t(SelStart) - int64_t(DATAIMAGE_GetStartAddr(pData) & ~3u);
        bool Helps = HasSel && d != 0 && d >= INT32_MIN && d <= INT32_MAX &&
                     DATAIMAGE_FindUncontained(Sel.get(), pData, int32_t(d)) < 0;
        if (Helps) {
          APP_LogOut(acText);
          const char* sSign = d < 0 ? "-" : "";
          uint32_t Mag = uint32_t(d < 0 ? -d : d);
          char acAsk[512];
          UTIL_sprintf(acAsk, sizeof(acAsk),
                       "%s\nRelocating it by %s0x%X bytes would fix this problem.\nDo you want to relocate?",
                       acText, sSign, Mag);
          if (APP_MsgBox(acAsk, "Yes", "No", 1, APP_ICON_QUESTION, 1) == 0) {
            int rr = (pData == DATAJOBS_GetCurImage()) ? DATAJOBS_Relocate(int32_t(d))
                                                       : DATAIMAGE_Relocate(pData, int32_t(d));
            if (rr == 0) {
              APP_LogOutf("Program relocated for programming by %s0x%X bytes", sSign, Mag);
            } else {
              r = -1;
            }
          } else {
            APP_ErrorOut("Programming cannot be done without relocation of selected data.");
            r = -1;
          }
        } else {
          APP_ErrorOut(acText);
          r = -1;
        }
      }
    }
  }
  APP_LogEnd(nullptr);
  return r;
}

/*********************************************************************
 * The operations
 */
int PROG_BlankCheck(void) {
  APP_LogBegin("Blank checking target ...");
  int r = -1;
  ImagePtr Ranges(DATAIMAGE_Create());
  if (!Ranges) {
    APP_ErrorOut("Could not check blank, out of memory");
  } else if (TARGET_Connect() != 0) {
    APP_ErrorOut("Could not check blank, not connected");
  } else {
    int Total = 0;
    int n = _BankRanges(Ranges.get(), false, &Total);
    if (n < 0) {
      APP_ErrorOut("Could not check blank, out of memory");
    } else {
      _LogRanges(Ranges.get(), n, Total, true);
      PROG_REQUEST Req{};
      Req.pRanges = Ranges.get();
      Req.FirstFailAddr = -1;
      int Loop;
      {
        ProgressScope Progress("Blank checking ...");
        Loop = PROG_RunBanks(_BlankCheckStep, &Req, Ranges.get(), nullptr, true, true);
      }
      r = _Outcome(Loop, "Failed to check blank target", "Blank check canceled by user", "Target is blank");
    }
  }
  APP_LogEnd(nullptr);
  return r;
}

int PROG_EraseSectors(void) {
  APP_LogBegin("Erasing selected sectors ...");
  int r = _EraseOp(false);
  APP_LogEnd(nullptr);
  return r;
}

int PROG_EraseChip(void) {
  APP_LogBegin("Erasing chip ...");
  int r = _EraseOp(true);
  APP_LogEnd(nullptr);
  return r;
}

namespace {
void _BeginProgramOp(const char* sFormat, DataImage* pData) {
  uint32_t NumBytes = pData ? DATAIMAGE_GetNumBytes(pData) : 0,
           NumRanges = pData ? DATAIMAGE_GetNumRanges(pData) : 0;
  char ac[256];
  UTIL_sprintf(ac, sizeof(ac), sFormat, int(NumBytes), int(NumRanges), _Plural(NumRanges));
  APP_LogBegin(ac);
}
} // namespace

int PROG_Program(DataImage* pData) {
  _BeginProgramOp("Programming target (%d bytes, %d range%s) ...", pData);
  int r = _ProgramOp(pData, false);
  APP_LogEnd(nullptr);
  return r;
}

int PROG_ProgramVerify(DataImage* pData) {
  _BeginProgramOp("Programming and verifying target (%d bytes, %d range%s) ...", pData);
  int r = _ProgramOp(pData, true);
  APP_LogEnd(nullptr);
  return r;
}

int PROG_Verify(DataImage* pData) {
  APP_LogBegin("Verifying target ...");
  int r = _VerifyOp(pData);
  APP_LogEnd(nullptr);
  return r;
}

DataImage* PROG_ReadBack(uint32_t First, uint32_t Last) {
  char ac[128];
  UTIL_sprintf(ac, sizeof(ac), "Reading target memory (0x%.8X - 0x%.8X) ...", First, Last);
  APP_LogBegin(ac);
  DataImage* pResult = nullptr;
  ImagePtr Ranges(DATAIMAGE_Create());
  DataImage* pOut = DATAIMAGE_Create();
  if (Last < First) {
    DATAIMAGE_Delete(pOut);
    char acText[128];
    DATAFILE_FormatInvalidRange(acText, sizeof(acText), First, Last);
    APP_ErrorOut(acText);
  } else if (!Ranges || pOut == nullptr) {
    DATAIMAGE_Delete(pOut);
    APP_ErrorOut("Could not read target memory, out of memory");
  } else if (DATAIMAGE_AddData(Ranges.get(), First, uint32_t(uint64_t(Last) - First + 1), nullptr) < 0) {
    DATAIMAGE_Delete(pOut);
    APP_ErrorOut("Could not read target memory, out of memory");
  } else {
    pResult = _ReadOp(Ranges.get(), pOut, "Could not read target memory, not connected");
  }
  APP_LogEnd(nullptr);
  return pResult;
}

namespace {
DataImage* _ReadBanks(bool Whole) {
  DataImage* pResult = nullptr;
  ImagePtr Ranges(DATAIMAGE_Create());
  DataImage* pOut = DATAIMAGE_Create();
  int Total = 0, n = -1;
  if (Ranges && pOut) n = _BankRanges(Ranges.get(), Whole, &Total);
  if (n < 0) {
    DATAIMAGE_Delete(pOut);
    APP_ErrorOut("Could not read target memory, out of memory");
  } else {
    _LogRanges(Ranges.get(), n, Total, !Whole);
    pResult = _ReadOp(Ranges.get(), pOut, "Could not read target memory, not connected");
  }
  return pResult;
}
} // namespace

DataImage* PROG_ReadSelectedSectors(void) {
  APP_LogBegin("Reading selected sectors ...");
  DataImage* p = _ReadBanks(false);
  APP_LogEnd(nullptr);
  return p;
}

DataImage* PROG_ReadChip(void) {
  APP_LogBegin("Reading entire flash chip ...");
  DataImage* p = _ReadBanks(true);
  APP_LogEnd(nullptr);
  return p;
}

int PROG_ReadToWindow(int Kind, uint32_t First, uint32_t Last) {
  DataImage* p;
  char acTitle[128];
  if (Kind == 0) {
    p = PROG_ReadSelectedSectors();
    UTIL_strcpy(acTitle, "Target memory (Selected sectors)", sizeof(acTitle));
  } else if (Kind == 1) {
    p = PROG_ReadChip();
    UTIL_strcpy(acTitle, "Target memory (Entire flash chip)", sizeof(acTitle));
  } else {
    p = PROG_ReadBack(First, Last);
    UTIL_sprintf(acTitle, sizeof(acTitle), "Target memory (0x%X - 0x%X)", First, Last);
  }
  if (p == nullptr) return -1;
  return DATAJOBS_AddImageWindow(p, acTitle, nullptr) < 0 ? -1 : 0;
}

bool PROG_AreAllSectorsSelected(void) {
  auto pList = _GetBanks();
  if (pList == nullptr) return true;
  for (int i = 0; i < pList->NumBanks; i++) {
    int n = BANK_GetNumSectors(pList.get(), i);
    for (int s = 0; s < n; s++) {
      if (!BANK_IsSectorSelected(pList.get(), i, uint32_t(s))) return false;
    }
  }
  return true;
}

bool PROG_GetReadRangeProposal(uint32_t* pFirst, uint32_t* pLast) {
  auto pList = _GetBanks();
  if (pList == nullptr || pList->NumBanks < 1) return false;
  ImagePtr Sel(DATAIMAGE_Create());
  uint32_t Start, Len;
  if (Sel && BANK_GetSelectedRanges(pList.get(), -1, Sel.get()) > 0 &&
      DATAIMAGE_GetRange(Sel.get(), 0, &Start, &Len)) {
    *pFirst = Start;
    *pLast = Start + Len - 1;
    return true;
  }
  *pFirst = *pLast = pList->aBank[0].BaseAddr;
  return true;
}

void PROG_BeginProgress(const char* sText) {
  _pProgress = _TestProgressSet ? _pTestProgress : APP_ProgressCreate(sText, 0);
}
void PROG_EndProgress(void) {
  if (!_TestProgressSet) APP_ProgressDelete(&_pProgress);
  _pProgress = nullptr;
}
APP_PROGRESS* PROG_GetProgress(void) {
  return _pProgress;
}
bool PROG_IsCancelled(void) {
  return APP_ProgressIsCancelled(_pProgress) == 1;
}

void PROG_SetReadRangeSource(int (*pfAsk)(uint32_t* pFirst, uint32_t* pLast)) {
  _pfAskReadRange = pfAsk;
}

void PROG_InstallJobs(void) {
  APP_SetJobHandler(JOB_CHECK_BLANK, _CheckBlankJob);
  APP_SetJobHandler(JOB_ERASE, _EraseJob);
  APP_SetJobHandler(JOB_PROGRAM, _ProgramJob);
  APP_SetJobHandler(JOB_VERIFY, _VerifyJob);
  APP_SetJobHandler(JOB_READ, _ReadJob);
  static const FLASH_HOOKS Hooks = {_HookGetBank, _HookGetTargetInfo, PROG_IsCancelled, _HookProgress,
                                    nullptr};
  FLASH_SetHooks(&Hooks);
}

void PROG_SetTestFuncs(const PROG_TEST_FUNCS* pFuncs) {
  _Funcs = pFuncs ? *pFuncs : PROG_TEST_FUNCS{};
}

void PROG_SetProgressForTest(APP_PROGRESS* p) {
  _pTestProgress = p;
  _TestProgressSet = p != nullptr;
  _pProgress = p;
}
