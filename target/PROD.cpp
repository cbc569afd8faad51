/*
 * PROD - the smaller target commands of production: start application, RS232 signals and the
 * speed test. The production cycle, secure chip, the CFI query and the jobs are in PROD_Auto.cpp.
 */
#include "target/PROD.h"

#include <cstring>

#include "core/APP.h"
#include "core/APP_GUI.h"
#include "core/APP_Log.h"
#include "mcudb/MCUDB.h"
#include "probe/PROBE.h"
#include "project/PROJECT.h"
#include "sys/SYS.h"
#include "sys/UTIL.h"
#include "target/TARGET.h"

namespace {

// The indicator records of the RS232 signals.
constexpr XRELAYARM_INDICATOR_STATE _aSignalOn[2] = {{1, 1, 3, 1, 0}, {1, 1, 2, 1, 0}};
constexpr XRELAYARM_INDICATOR_STATE _aSignalOff[2] = {{1, 0, 3, 0, 1}, {1, 0, 2, 0, 1}};

constexpr uint32_t _SPEED_PIECE = 0x10000;     // bytes per memory access of the speed test

int _Exec(const char* sCommand) {
  char acError[256] = "";
  return XRELAYARM_ExecCommand(sCommand, acError, sizeof(acError));
}

// Start through the debug interface: the device selected afresh, then a reset that lets the
// application run when the probe lets go of the core.
bool _StartViaDebugInterface(void) {
  PROJECT_CPU Cpu;
  PROJECT_TIF Tif;
  PROJECT_GetCPU(&Cpu);
  PROJECT_GetTIF(&Tif);
  uint32_t CoreWord = Cpu.Device >= 0 ? MCUDB_GetCore(Cpu.Device) : 0;
  XRELAYARM_CORE_Select(CoreWord);
  const char* sDevice = Cpu.Device >= 0 ? MCUDB_GetDeviceName(Cpu.Device) : nullptr;
  char ac[300];
  UTIL_sprintf(ac, sizeof(ac), "Device = %s", sDevice ? sDevice : Cpu.acChipName);
  _Exec(ac);
  TARGET_ConfigureChain(Tif);
  XRELAYARM_SetSpeed(Tif.Speed0);
  // The reset needs a target connection; the probe does not keep one across its opening.
  if (XRELAYARM_Connect() < 0) return false;
  int r = TARGET_GetCoreClass(CoreWord) == 0 ? XRELAYARM_ResetNoHalt() : XRELAYARM_Reset();
  return r >= 0;
}

} // namespace

/*********************************************************************
 * Start application
 */
int PROD_StartApplication(int StartType) {
  APP_LogBegin("Starting application ...");
  TARGET_Disconnect();
  int Errors = APP_GetErrorCount();
  bool Ok = TARGET_OpenProbe(true, false);
  if (Ok) {
    PROJECT_PRODUCTION Prod;
    PROJECT_GetProduction(&Prod);
    if (Prod.EnableTargetPower) {
      _Exec("SupplyPower = 1");
      SYS_Sleep((int)Prod.TargetPowerDelay);
    }
    if (StartType == 1) {
      Ok = XRELAYARM_ClrRESET() >= 0;
      SYS_Sleep(20);
      Ok = XRELAYARM_SetRESET() >= 0 && Ok;
      SYS_Sleep(20);
    } else {
      Ok = _StartViaDebugInterface();
    }
    TARGET_CloseProbe();
  }
  if (!Ok || APP_GetErrorCount() != Errors) {
    APP_ErrorOut("Failed to start application");
    APP_LogEnd(nullptr);
    return -1;
  }
  APP_LogCompleted("Target application started");
  APP_LogEnd(nullptr);
  return 0;
}

/*********************************************************************
 * RS232 signals
 */
bool PROD_HasRS232Signals(void) {
  int Product = XRELAYARM_EMU_GetProductId();
  return Product == 10 || Product == 14 || Product == 15 || Product == 34;
}

void PROD_SetRS232Signal(int Signal, bool On) {
  if (Signal < 0 || Signal > 1) return;
  if (!TARGET_OpenProbe(false, false) || !PROD_HasRS232Signals()) return;
  XRELAYARM_INDICATORS_SetState(On ? &_aSignalOn[Signal] : &_aSignalOff[Signal], 1);
}

/*********************************************************************
 * Speed test
 */
uint32_t PROD_SpeedTenthsKB(uint32_t NumBytes, uint32_t Ms) {
  // A tiny size may take less than a millisecond: count it as one.
  uint32_t v = (uint32_t)((uint64_t)NumBytes * 1000u / (Ms ? Ms : 1u));
  return (uint32_t)(((uint64_t)v + 32u) * 10u / 1024u);
}

namespace {

// Writes (or reads) the range Readings times in pieces; the time in ms, or -1 (reported).
int _TimeTransfers(APP_PROGRESS* pProgress, bool Write, uint32_t Addr, uint32_t NumBytes, uint32_t Readings,
                   uint8_t* pBuffer) {
  uint32_t Start = SYS_TIME_GetMs();
  for (uint32_t r = 0; r < Readings; r++) {
    for (uint32_t Off = 0; Off < NumBytes; Off += _SPEED_PIECE) {
      if (APP_ProgressIsCancelled(pProgress) == 1) return -1;
      uint32_t n = NumBytes - Off < _SPEED_PIECE ? NumBytes - Off : _SPEED_PIECE;
      int Result = Write ? XRELAYARM_WriteMem(Addr + Off, n, pBuffer) : XRELAYARM_ReadMem(Addr + Off, n, pBuffer);
      if (Result < 0) {
        APP_ErrorOutf(Write ? "Failed to write memory (0x%.2X bytes @ address 0x%.8X)"
                            : "Failed to read memory (0x%.2X bytes @ address 0x%.8X)",
                      n, Addr + Off);
        return -1;
      }
      APP_ProgressAddValue(pProgress, (int)n);
    }
  }
  return (int)(SYS_TIME_GetMs() - Start);
}

} // namespace

int PROD_TestSpeed(uint32_t Addr, uint32_t NumBytes, uint32_t Readings) {
  APP_LogBegin("Testing speed ...");
  if (TARGET_Connect() != 0) {
    APP_ErrorOut("Could not test speed, not connected");
    APP_LogEnd(nullptr);
    return -1;
  }
  if (NumBytes > PROD_SPEED_MAX_SIZE) NumBytes = PROD_SPEED_MAX_SIZE;
  if (Readings > PROD_SPEED_MAX_READINGS) Readings = PROD_SPEED_MAX_READINGS;
  APP_PROGRESS* pProgress = APP_ProgressCreate("Testing speed ...", 0);
  uint32_t Total = NumBytes * Readings;
  APP_ProgressSetRange(pProgress, 0, (int)(2 * Total));
  uint8_t* pBuffer = static_cast<uint8_t*>(SYS_MEM_Alloc(_SPEED_PIECE, "PROD: Speed test buffer"));
  int MsDown = -1, MsUp = -1;
  if (pBuffer == nullptr) {
    APP_ErrorOut("Insufficient memory!");
  } else {
    for (uint32_t i = 0; i < _SPEED_PIECE; i++) pBuffer[i] = (uint8_t)(i % 255);
    APP_LogOut("Testing download speed (write memory) ...");
    MsDown = _TimeTransfers(pProgress, true, Addr, NumBytes, Readings, pBuffer);
    if (MsDown >= 0) {
      APP_LogOut("Testing upload speed (read memory) ...");
      MsUp = _TimeTransfers(pProgress, false, Addr, NumBytes, Readings, pBuffer);
    }
  }
  bool Cancelled = APP_ProgressIsCancelled(pProgress) == 1;
  APP_ProgressDelete(&pProgress);
  SYS_MEM_Free(pBuffer);
  int Result = -1;
  if (APP_GetErrorCount() != 0) {
    APP_ErrorOut("Failed to test speed");
  } else if (Cancelled || MsUp < 0) {
    APP_LogResult("Speed test canceled by user");
  } else {
    uint32_t Down = PROD_SpeedTenthsKB(Total, (uint32_t)MsDown);
    uint32_t Up = PROD_SpeedTenthsKB(Total, (uint32_t)MsUp);
    char acDetail[128];
    UTIL_sprintf(acDetail, sizeof(acDetail), "Download speed: %d.%01d KB/sec\nUpload speed: %d.%01d KB/sec",
                 (int)(Down / 10), (int)(Down % 10), (int)(Up / 10), (int)(Up % 10));
    APP_LogOut(acDetail);
    APP_LogCompletedEx("Speed tested successfully", acDetail);
    Result = 0;
  }
  APP_LogEnd(nullptr);
  return Result;
}
