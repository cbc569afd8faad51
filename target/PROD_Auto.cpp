/*
 * PROD_Auto - the production cycle, secure chip, the CFI query and the jobs of production.
 *
 * The cycle runs the bank loop of the flash operations with the per-bank programming step; with
 * the option SkipUnchangedSectors a step of its own first compares the sectors on the target
 * with the data (by CRC on the target) and leaves those alone that already hold it.
 */
#include "target/PROD.h"

#include <cstring>
#include <string>
#include <vector>

#include "core/APP.h"
#include "core/APP_GUI.h"
#include "core/APP_Job.h"
#include "core/APP_Log.h"
#include "data/CRC32.h"
#include "data/DATAIMAGE.h"
#include "flash/FLASH.h"
#include "mcudb/MCUDB.h"
#include "probe/PROBE.h"
#include "project/PROJECT.h"
#include "sys/SYS.h"
#include "sys/UTIL.h"
#include "target/PROD_SN.h"
#include "target/PROG.h"
#include "target/TARGET.h"
#include "target/TARGET_Steps.h"

namespace {

constexpr XRELAYARM_INDICATOR_STATE _aStartState[2] = {{1, 0, 3, 0, 1}, {1, 0, 2, 1, 0}};
constexpr XRELAYARM_INDICATOR_STATE _SuccessState = {1, 0, 3, 1, 0};
constexpr XRELAYARM_INDICATOR_STATE _EndState = {1, 0, 2, 0, 1};
constexpr XRELAYARM_INDICATOR_STATE _BusyIndicator = {1, 0, 0, 300, 300};
constexpr XRELAYARM_INDICATOR_STATE _IdleIndicator = {0, 0, 0, 0, 0};

// One indicator record per call, as the programmers expect them.
void _SetIndicator(const XRELAYARM_INDICATOR_STATE& State) { XRELAYARM_INDICATORS_SetState(&State, 1); }

/*********************************************************************
 * Leaving unchanged sectors alone
 */
struct SKIP_STATE {
  bool EraseChip;
  int NumSkipped; // sectors over all banks
};
SKIP_STATE _Skip;

// The bank's sectors as {address, size}, in address order.
std::vector<std::pair<uint32_t, uint32_t>> _Sectors(const FlashBank& Bank) {
  std::vector<std::pair<uint32_t, uint32_t>> a;
  for (int i = 0; i < MCUDB_MAX_REGIONS && Bank.aRegion[i].NumSectors; i++) {
    const SectorRegion& r = Bank.aRegion[i];
    for (uint32_t s = 0; s < r.NumSectors; s++) a.push_back({Bank.BaseAddr + r.Offset + s * r.SectorSize, r.SectorSize});
  }
  return a;
}

// Whether the target holds Buffer at Addr: by the module's CRC, else by reading it back.
// 1 same, 0 different, -1 failure (reported).
int _TargetHolds(FlashModuleHandle* pHandle, FlashBank* pBank, uint32_t Addr, const std::vector<uint8_t>& Buffer) {
  uint32_t NumBytes = (uint32_t)Buffer.size();
  auto pfCRC = pBank->pModule->pfGetFunc
                   ? reinterpret_cast<FLASH_CRC_FUNC*>(pBank->pModule->pfGetFunc(pHandle, FLASH_FUNC_CRC))
                   : nullptr;
  if (pfCRC && NumBytes >= 16 && (Addr % 2) == 0 && (NumBytes % 2) == 0) {
    uint32_t CRC = 0;
    int r = pfCRC(pHandle, Addr, NumBytes, Buffer.data(), &CRC);
    return r < 0 ? -1 : (r == 0 ? 1 : 0);
  }
  std::vector<uint8_t> Target(NumBytes);
  auto pfRead = pBank->pModule->pfGetFunc
                    ? reinterpret_cast<FLASH_READ_FUNC*>(pBank->pModule->pfGetFunc(pHandle, FLASH_FUNC_READ))
                    : nullptr;
  int r = pfRead ? pfRead(pHandle, Addr, NumBytes, Target.data()) : XRELAYARM_ReadMem(Addr, NumBytes, Target.data());
  if (r < 0) {
    APP_ErrorOutf("Failed to read memory (0x%.2X bytes @ address 0x%.8X)", NumBytes, Addr);
    return -1;
  }
  return std::memcmp(Target.data(), Buffer.data(), NumBytes) == 0 ? 1 : 0;
}

// The data over [Addr, Addr + NumBytes) with the empty value in the gaps.
std::vector<uint8_t> _Expected(DataImage* pData, uint32_t Addr, uint32_t NumBytes, uint8_t EmptyValue) {
  std::vector<uint8_t> a(NumBytes);
  DATAIMAGE_Read(pData, Addr, NumBytes, a.data(), EmptyValue);
  return a;
}

/*
 * The per-bank step of the cycle with SkipUnchangedSectors. Sector erase: each run of sectors
 * with data is compared as a whole, a run that differs sector by sector; the sectors that
 * already hold their data leave the bank data. Chip erase: the bank is left alone only when
 * every sector holds what the erase and the programming would leave there; otherwise the whole
 * bank is worked on.
 */
int _SkipUnchangedStep(FlashModuleHandle* pHandle, FlashBank* pBank, PROG_REQUEST* pReq, DataImage* pBankData,
                       const BANK_INFO* pInfo) {
  if (!pBank->EmptyValueKnown || pBank->pModule == nullptr) return PROG_BankStep(pHandle, pBank, pReq, pBankData, pInfo);
  std::vector<std::pair<uint32_t, uint32_t>> aSector = _Sectors(*pBank);
  pHandle->OpCode = FLASH_OP_VERIFY;
  APP_LogOut("Comparing flash sectors with the data");
  if (_Skip.EraseChip) {
    uint32_t First = aSector.empty() ? pBank->BaseAddr : aSector.front().first;
    uint32_t End = aSector.empty() ? First : aSector.back().first + aSector.back().second;
    int r = _TargetHolds(pHandle, pBank, First, _Expected(pReq->pData, First, End - First, pBank->EmptyValue));
    if (r < 0) return -1;
    if (r == 0) return PROG_BankStep(pHandle, pBank, pReq, pBankData, pInfo);
    APP_LogOutf("Flash bank @ 0x%.8X already holds the data, skipped %d sector%s", pBank->BaseAddr,
                (int)aSector.size(), aSector.size() == 1 ? "" : "s");
    _Skip.NumSkipped += (int)aSector.size();
    return 0;
  }
  // Runs of consecutive sectors that hold data.
  std::vector<std::pair<size_t, size_t>> aRun; // first sector index, count
  for (size_t i = 0; i < aSector.size(); i++) {
    uint32_t Last = aSector[i].first + aSector[i].second - 1;
    if (!DATAIMAGE_IntersectsRange(pBankData, aSector[i].first, Last)) continue;
    if (!aRun.empty() && aRun.back().first + aRun.back().second == i) {
      aRun.back().second++;
    } else {
      aRun.push_back({i, 1});
    }
  }
  DataImage* pRest = DATAIMAGE_Create();
  if (pRest == nullptr || DATAIMAGE_Merge(pRest, pBankData) < 0) {
    DATAIMAGE_Delete(pRest);
    APP_ErrorOut("Insufficient memory!");
    return -1;
  }
  int NumSkipped = 0, NumDirty = 0, Result = 0;
  for (const auto& Run : aRun) {
    NumDirty += (int)Run.second;
    uint32_t First = aSector[Run.first].first;
    const auto& LastSector = aSector[Run.first + Run.second - 1];
    uint32_t NumBytes = LastSector.first + LastSector.second - First;
    int r = _TargetHolds(pHandle, pBank, First, _Expected(pReq->pData, First, NumBytes, pBank->EmptyValue));
    for (size_t i = Run.first; r == 0 && Run.second > 1 && i < Run.first + Run.second; i++) {
      int s = _TargetHolds(pHandle, pBank, aSector[i].first,
                           _Expected(pReq->pData, aSector[i].first, aSector[i].second, pBank->EmptyValue));
      if (s < 0) r = -1;
      if (s == 1) {
        DATAIMAGE_DeleteRange(pRest, aSector[i].first, aSector[i].first + aSector[i].second - 1);
        NumSkipped++;
      }
    }
    if (r < 0) {
      Result = -1;
      break;
    }
    if (r == 1) {
      DATAIMAGE_DeleteRange(pRest, First, First + NumBytes - 1);
      NumSkipped += (int)Run.second;
    }
  }
  if (Result == 0) {
    APP_LogOutf("%d of %d sector%s already hold the data, skipped", NumSkipped, NumDirty, NumDirty == 1 ? "" : "s");
    _Skip.NumSkipped += NumSkipped;
    if (DATAIMAGE_GetNumRanges(pRest) > 0) Result = PROG_BankStep(pHandle, pBank, pReq, pRest, pInfo);
  }
  DATAIMAGE_Delete(pRest);
  return Result;
}

/*********************************************************************
 * Secure chip
 */
int _SecureStep(FlashModuleHandle* pHandle, FlashBank* pBank, PROG_REQUEST*, DataImage*, const BANK_INFO*) {
  return FLASH_SecureChip(pHandle, pBank);
}

constexpr int _API_SLOT_SECURE = 8; // the secure-chip function of an algorithm API record

// Whether an opened bank's algorithm brings a secure function (the records built for loader
// scripts never do).
bool _HasSecureFunc(const FlashBank& Bank) {
  const MCUDB_ALGO_INFO* p = Bank.pAlgoInfo;
  return p && p->pAPI && p != Bank.pOwnAlgoInfo && p->pAPI->apFunc[_API_SLOT_SECURE] != nullptr;
}

/*********************************************************************
 * The cycle
 */
// Step 5 of the cycle: the request from the settings; false for an erase type no one knows.
bool _BuildRequest(const PROJECT_PRODUCTION& Prod, const PROJECT_PERFORMANCE& Perf, DataImage* pImage,
                   PROG_REQUEST* pReq) {
  std::memset(pReq, 0, sizeof(*pReq));
  pReq->pRanges = pImage;
  pReq->pData = pImage;
  pReq->Erase = Prod.AutoPerformsErase != 0;
  pReq->Program = Prod.AutoPerformsProgram != 0;
  pReq->Verify = Prod.AutoPerformsVerify != 0;
  pReq->VerifyType = Perf.VerifyType;
  pReq->FirstFailAddr = -1;
  switch (Prod.EraseType) {
  case 1:
  case 2:
    pReq->EraseType = 1;
    pReq->BlankCheckFirst = Perf.PerfromBlankCheckPriorEraseSelectedSectors;
    return true;
  case 3:
  case 4:
    pReq->EraseType = 3;
    pReq->BlankCheckFirst = Perf.PerfromBlankCheckPriorEraseChip;
    return true;
  default:
    return false;
  }
}

// The cycle from the fit check to the success line. 0 success, 1 cancelled, -1 failure.
// *pSendEnd: the bank loop ran on a programmer with RS232 signals (the end state is due).
int _RunCycle(DataImage* pImage, bool* pSendEnd) {
  if (PROG_CheckDataFits(pImage) < 0) return -1;
  PROJECT_PRODUCTION Prod;
  PROJECT_PERFORMANCE Perf;
  PROJECT_GetProduction(&Prod);
  PROJECT_GetPerformance(&Perf);
  bool Signals = PROD_HasRS232Signals();
  if (Signals) {
    for (const XRELAYARM_INDICATOR_STATE& State : _aStartState) _SetIndicator(State);
  }
  if (PROD_PrepareSerialNumber(pImage) < 0) {
    APP_ErrorOut("Could not prepare data for serial number programming");
    return -1;
  }
  PROG_REQUEST Req;
  if (!_BuildRequest(Prod, Perf, pImage, &Req)) {
    APP_ErrorOut("Invalid erase type selected");
    return -1;
  }
  bool Skip = Prod.SkipUnchangedSectors && Req.Erase && Req.Program;
  _Skip = SKIP_STATE{Req.EraseType == 3, 0};
  PROG_BeginProgress("");
  _SetIndicator(_BusyIndicator);
  uint32_t BytesProgrammed = 0;
  *pSendEnd = Signals;
  int LoopResult = PROG_RunBanks(Skip ? _SkipUnchangedStep : PROG_BankStep, &Req, pImage, &BytesProgrammed, true, true);
  _SetIndicator(_IdleIndicator);
  bool Cancelled = PROG_IsCancelled();
  // A bank loop that failed without a word on the way is a failure all the same.
  bool Failed = APP_GetErrorCount() != 0 || (LoopResult < 0 && !Cancelled);
  int Result = -1;
  uint32_t NumBytes = DATAIMAGE_GetNumBytes(pImage);
  if (Skip && !Failed) {
    APP_LogOutf("%d unchanged sector%s skipped", _Skip.NumSkipped, _Skip.NumSkipped == 1 ? "" : "s");
  }
  if (Failed) {
    APP_ErrorOut("Failed to auto program target");
  } else if (NumBytes != BytesProgrammed) {
    APP_LogOutf("%d bytes could not be programmed.", (int)(NumBytes - BytesProgrammed));
  } else if (Cancelled) {
    APP_LogOut("Programming canceled by user");
    Result = 1;
  } else {
    if (Prod.AutoPerformsSecure) {
      PROG_EndProgress();
      PROD_SecureIfSupported();
    }
    if (APP_GetErrorCount() == 0 && STEPS_Execute(STEPS_SEQ_EXIT) < 0) APP_ErrorOut("Failed to perform exit steps");
    if (APP_GetErrorCount() == 0) {
      PROD_AdvanceSerialNumber();
      APP_LogCompleted("Target erased, programmed and verified successfully");
      if (Signals) _SetIndicator(_SuccessState);
      Result = 0;
    }
  }
  PROG_EndProgress();
  return Result;
}

} // namespace

int PROD_AutoProgram(DataImage* pImage) {
  uint32_t NumBytes = pImage ? DATAIMAGE_GetNumBytes(pImage) : 0;
  uint32_t NumRanges = pImage ? DATAIMAGE_GetNumRanges(pImage) : 0;
  char ac[128];
  UTIL_sprintf(ac, sizeof(ac), "Auto programming target (%d bytes, %d range%s) ...", (int)NumBytes, (int)NumRanges,
               NumRanges == 1 ? "" : "s");
  APP_LogBegin(ac);
  int Result = -1;
  bool SendEnd = false;
  if (pImage == nullptr) {
    APP_ErrorOut("Could not auto program target, no data file opened");
  } else if (TARGET_Connect() != 0) {
    APP_ErrorOut("Could not auto program target, not connected");
  } else {
    Result = _RunCycle(pImage, &SendEnd);
  }
  if (SendEnd) _SetIndicator(_EndState);
  if (Result != 0) {
    // A failed or cancelled board gives its number back to the next one.
    PROD_ReleaseSerialNumber();
  } else {
    PROJECT_PRODUCTION Prod;
    PROJECT_GetProduction(&Prod);
    if (Prod.AutoPerformsStartApp) PROD_StartApplication((int)Prod.StartAppType);
    if (APP_GetErrorCount() == 0 && Prod.AutoPerformsDisconnect) TARGET_Disconnect();
    if (APP_GetErrorCount() != 0) Result = -1;
  }
  APP_LogEnd(nullptr);
  return Result;
}

/*********************************************************************
 * Secure chip
 */
int PROD_SecureChip(void) {
  APP_LogBegin("Secure chip ...");
  int Result = -1;
  if (TARGET_Connect() != 0) {
    APP_ErrorOut("Could not secure chip, not connected");
  } else {
    PROG_BeginProgress("Securing chip ...");
    PROG_REQUEST Req;
    std::memset(&Req, 0, sizeof(Req));
    Req.FirstFailAddr = -1;
    int LoopResult = PROG_RunBanks(_SecureStep, &Req, nullptr, nullptr, true, false);
    bool Cancelled = PROG_IsCancelled();
    PROG_EndProgress();
    if (APP_GetErrorCount() != 0 || (LoopResult < 0 && !Cancelled)) {
      APP_ErrorOut("Failed to secure chip");
    } else if (Cancelled) {
      APP_LogOut("Securing chip canceled by user");
      Result = 1;
    } else {
      APP_LogCompleted("Chip secured successfully");
      Result = 0;
    }
  }
  APP_LogEnd(nullptr);
  return Result;
}

int PROD_SecureIfSupported(void) {
  bool Supported = false;
  PROJECT_FLASH Flash;
  PROJECT_GetFlash(&Flash);
  // The device's own banks are the ones with algorithms of the device database.
  for (uint32_t i = 0; i < Flash.NumBanks && !Supported; i++) {
    if (!Flash.aBank[i].IsInternal || Flash.aBank[i].Disabled) continue;
    FlashBank Bank;
    if (FLASH_OpenBank(&Bank, (int)i, 0, false) != 0) continue;
    Supported = _HasSecureFunc(Bank);
    FLASH_CloseBank(&Bank);
  }
  if (!Supported) {
    APP_ErrorOut("Could not secure chip. No secure function implemented.");
    return -1;
  }
  return PROD_SecureChip();
}

/*********************************************************************
 * CFI information
 */
int PROD_ReadCFIInfo(FlashBank* pBank) {
  APP_LogBegin("Reading CFI info ...");
  int Result = -1;
  if (TARGET_Connect() != 0) {
    APP_ErrorOut("Could not read CFI info, not connected");
    APP_LogEnd(nullptr);
    return -1;
  }
  PROJECT_FLASH Flash;
  PROJECT_GetFlash(&Flash);
  int Index = -1;
  for (uint32_t i = 0; i < Flash.NumBanks && Index < 0; i++) {
    if (!Flash.aBank[i].IsInternal && Flash.aBank[i].AutoDetect) Index = (int)i;
  }
  // Without a module for external flash there is no bank that could answer the query.
  if (Index >= 0 && FLASH_GetModule(FLASH_KIND_EXTERNAL) != nullptr) {
    if (FLASH_OpenBank(pBank, Index, 0, true) != 0) {
      APP_ErrorOut("Error reading CFI info");
    } else {
      APP_LogOutf("Successfully read CFI info for flash bank %i", Index);
      Result = 0;
    }
  }
  APP_LogEnd(nullptr);
  return Result;
}

namespace {

void _ShowCFIInfoJob(JobContext* pContext) {
  FlashBank Bank;
  std::memset(&Bank, 0, sizeof(Bank));
  int r = PROD_ReadCFIInfo(&Bank);
  std::string Text;
  if (r != 0) {
    Text = "Connected device does not support CFI!";
  } else if (Bank.Kind == FLASH_KIND_EXTERNAL) {
    char acSize[64], ac[256];
    APP_FormatSize(acSize, sizeof(acSize), Bank.Size);
    UTIL_sprintf(ac, sizeof(ac), "Found CFI compliant flash device!\r\n\r\n%sSize: %s\r\n\r\n", "", acSize);
    Text = ac;
    for (int i = 0; i < MCUDB_MAX_REGIONS && Bank.aRegion[i].NumSectors; i++) {
      APP_FormatSize(acSize, sizeof(acSize), Bank.aRegion[i].SectorSize);
      UTIL_sprintf(ac, sizeof(ac), "%s%d sector%s with %s\r\n", "", (int)Bank.aRegion[i].NumSectors,
                   Bank.aRegion[i].NumSectors == 1 ? "" : "s", acSize);
      Text += ac;
    }
  }
  if (r == 0) FLASH_CloseBank(&Bank);
  if (!Text.empty()) {
    APP_ShowMsgBox(APP_PRODUCT_NAME, nullptr, Text.c_str(), "O.K.", nullptr, 0, nullptr, nullptr,
                   r ? APP_ICON_CRITICAL : APP_ICON_INFO, 0, 0);
  }
  pContext->Result = r ? -1 : 0;
}

void _ProdProgJob(JobContext* pContext) {
  DataImage* pImage = pContext->pParams ? *static_cast<DataImage**>(pContext->pParams) : nullptr;
  pContext->Result = PROD_AutoProgram(pImage);
}

void _SecureChipJob(JobContext* pContext) {
  int r = APP_MsgBox("This operation will secure the entire chip.\nDo you really want to secure chip?", "Yes",
                     "No", 0, APP_ICON_QUESTION, 1);
  pContext->Result = r == 0 ? PROD_SecureChip() : 0;
}

void _StartAppJob(JobContext* pContext) {
  PROJECT_PRODUCTION Prod;
  if (PROJECT_GetProduction(&Prod) != 0) {
    pContext->Result = -1;
    return;
  }
  pContext->Result = PROD_StartApplication((int)Prod.StartAppType);
}

void _SignalJob(JobContext* pContext) {
  const PROD_SIGNAL_PARAMS* p = static_cast<const PROD_SIGNAL_PARAMS*>(pContext->pParams);
  if (p) PROD_SetRS232Signal(p->Signal, p->On != 0);
  pContext->Result = 0;
}

void _TestSpeedJob(JobContext* pContext) {
  PROJECT_CPU Cpu;
  int64_t Addr = PROJECT_GetCPU(&Cpu) == 0 ? Cpu.RAMAddr : 0;
  int64_t Size = 0x40000, Readings = 3;
  EditValueField aField[3] = {{0, 0xFFFFFFFFll, &Addr, "Address (hex)", 1},
                              {1, PROD_SPEED_MAX_SIZE, &Size, "Size (hex)", 1},
                              {1, PROD_SPEED_MAX_READINGS, &Readings, "Readings", 0}};
  APP_GUI_REQUESTS* pGUI = APP_GetGUI();
  if (pGUI == nullptr || pGUI->ShowEditValueDialog("Test up/download speed", aField, 3) != 0) {
    pContext->Result = 0;
    return;
  }
  pContext->Result = PROD_TestSpeed((uint32_t)Addr, (uint32_t)Size, (uint32_t)Readings);
}

} // namespace

void PROD_InstallJobs(void) {
  APP_SetJobHandler(JOB_PROD_PROG, _ProdProgJob);
  APP_SetJobHandler(JOB_SECURE_CHIP, _SecureChipJob);
  APP_SetJobHandler(JOB_START_TARGET_APP, _StartAppJob);
  APP_SetJobHandler(JOB_SET_SERIAL_SIGNAL, _SignalJob);
  APP_SetJobHandler(JOB_TEST_SPEED, _TestSpeedJob);
  APP_SetJobHandler(JOB_SHOW_CFI_INFO, _ShowCFIInfoJob);
}

