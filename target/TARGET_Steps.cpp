/*
 * TARGET_Steps - the init and exit step sequences on the target.
 */
#include "target/TARGET_Steps.h"

#include <cstring>
#include <string>

#include "core/APP_GUI.h"
#include "core/APP_Log.h"
#include "data/DATAIMAGE.h"
#include "data/DATAJOBS.h"
#include "mcudb/MCUDB.h"
#include "probe/PROBE.h"
#include "project/PROJECT.h"
#include "project/STEPS.h"
#include "sys/SYS.h"
#include "sys/UTIL.h"

namespace {

uint32_t _Variable; // the step variable: kept from step to step and from one sequence to the next
char _acFailure[256]; // failure text of the last action

const char* const _asCortexMRegs[] = {
    "R0",      "R1",      "R2",        "R3",          "R4",       "R5",       "R6",       "R7",
    "R8",      "R9",      "R10",       "R11",         "R12",      "SP(R13)",  "R14",      "PC(R15)",
    "XPSR",    "MSP",     "PSP",       "RAZ",         "CFBP",     "APSR",     "EPSR",     "IPSR",
    "PRIMASK", "BASEPRI", "FAULTMASK", "CONTROL",     "BASEPRI_MAX", "IAPSR", "EAPSR",    "IEPSR"};
const char* const _asArmRegs[] = {
    "R0",       "R1",       "R2",       "R3",       "R4",       "R5",       "R6",       "R7",
    "CPSR",     "R15 (PC)", "R8_USR",   "R9_USR",   "R10_USR",  "R11_USR",  "R12_USR",  "R13_USR",
    "R14_USR",  "SPSR_FIQ", "R8_FIQ",   "R9_FIQ",   "R10_FIQ",  "R11_FIQ",  "R12_FIQ",  "R13_FIQ",
    "R14_FIQ",  "SPSR_SVC", "R13_SVC",  "R14_SVC",  "SPSR_ABT", "R13_ABT",  "R14_ABT",  "SPSR_IRQ",
    "R13_IRQ",  "R14_IRQ",  "SPSR_UND", "R13_UND",  "R14_UND"};
const char* const _asIRCommands[] = {"0", "1", "2 (SCAN_N)", "3",  "4 (RESTART)", "5",           "6",          "7",
                                     "8", "9", "10",         "11", "12 (INTEST)", "13", "14 (IDCODE)", "15 (BYPASS)"};

bool _IsCortexM(void) {
  PROJECT_CPU Cpu;
  if (PROJECT_GetCPU(&Cpu) < 0 || Cpu.Device < 0) return false;
  uint32_t Family = MCUDB_GetCore(Cpu.Device) >> 24;
  return Family == 1 || Family == 3 || Family == 6 || Family == 14;
}

uint32_t _Clamp(const STEPS_PARAM& P, uint32_t v) {
  if (v < P.Min) return P.Min;
  if (v > P.Max) return P.Max;
  return v;
}

const char* _Fail(const char* sText) {
  UTIL_strcpy(_acFailure, sText, sizeof(_acFailure));
  return _acFailure;
}

// Reads one item of NumBytes at Addr; false on a read failure.
bool _Read(uint32_t Addr, int NumBytes, uint32_t* pValue) {
  uint8_t Status = 1;
  int r;
  if (NumBytes == 1) {
    uint8_t v = 0;
    r = XRELAYARM_ReadMemU8(Addr, 1, &v, &Status);
    *pValue = v;
  } else if (NumBytes == 2) {
    uint16_t v = 0;
    r = XRELAYARM_ReadMemU16(Addr, 1, &v, &Status);
    *pValue = v;
  } else {
    uint32_t v = 0;
    r = XRELAYARM_ReadMemU32(Addr, 1, &v, &Status);
    *pValue = v;
  }
  return r >= 0 && Status == 0;
}

void _Write(uint32_t Addr, int NumBytes, uint32_t Value) {
  if (NumBytes == 1) {
    XRELAYARM_WriteU8(Addr, (uint8_t)Value);
  } else if (NumBytes == 2) {
    XRELAYARM_WriteU16(Addr, (uint16_t)Value);
  } else {
    XRELAYARM_WriteU32(Addr, Value);
  }
}

const char* _Verify(uint32_t Addr, int NumBytes, uint32_t Expected) {
  uint32_t Found;
  if (!_Read(Addr, NumBytes, &Found)) return _Fail("Could not read target memory");
  if (Found == Expected) return nullptr;
  char acFormat[160];
  UTIL_sprintf(acFormat, sizeof(acFormat),
               "Verification failed @ addr 0x%%.8X: Expected: 0x%%.%dX, Found: 0x%%.%dX\nduring execution of user "
               "connection sequence",
               NumBytes * 2, NumBytes * 2);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  UTIL_sprintf(_acFailure, sizeof(_acFailure), acFormat, Addr, Expected, Found);
#pragma GCC diagnostic pop
  return _acFailure;
}

// Patches the open data image at Addr with NumBytes of Value in the target's byte order.
void _PatchFile(uint32_t Addr, int NumBytes, uint32_t Value) {
  DataImage* pImage = DATAJOBS_GetCurImage();
  if (pImage == nullptr) return;
  PROJECT_CPU Cpu;
  bool BigEndian = PROJECT_GetCPU(&Cpu) == 0 && Cpu.EndianMode == 1;
  if (DATAIMAGE_Lock(pImage) != 0) return;
  for (int i = 0; i < NumBytes; i++) {
    int Shift = BigEndian ? 8 * (NumBytes - 1 - i) : 8 * i;
    DATAIMAGE_SetPatch8(pImage, Addr + (uint32_t)i, (uint8_t)(Value >> Shift));
  }
  DATAIMAGE_Unlock(pImage);
  if (APP_GUI_REQUESTS* pGUI = APP_GetGUI()) {
    if (CHexEditor* pWin = pGUI->GetCurDataWindow()) pGUI->UpdateDataWindow(pWin, pImage);
  }
}

const char* _DisableMMU(void) {
  PROJECT_CPU Cpu;
  if (PROJECT_GetCPU(&Cpu) < 0 || Cpu.RAMSize == 0) return nullptr;
  static const uint32_t aCode[4] = {0xEE111F10, 0xE3C11005, 0xEE011F10, 0xEAFFFFFE};
  uint8_t abCode[16], abRead[16];
  for (int i = 0; i < 4; i++) {
    for (int b = 0; b < 4; b++) {
      int Shift = Cpu.EndianMode == 1 ? 8 * (3 - b) : 8 * b;
      abCode[i * 4 + b] = (uint8_t)(aCode[i] >> Shift);
    }
  }
  XRELAYARM_WriteMem(Cpu.RAMAddr, sizeof(abCode), abCode);
  if (XRELAYARM_ReadMem(Cpu.RAMAddr, sizeof(abRead), abRead) < 0) {
    UTIL_sprintf(_acFailure, sizeof(_acFailure), "Failed to read memory @ address 0x%.8X when disabling MMU.",
                 Cpu.RAMAddr);
    return _acFailure;
  }
  if (std::memcmp(abCode, abRead, sizeof(abCode)) != 0) {
    UTIL_sprintf(_acFailure, sizeof(_acFailure), "Memory verification failed @ address 0x%.8X when disabling MMU.",
                 Cpu.RAMAddr);
    return _acFailure;
  }
  XRELAYARM_SetBP(0, Cpu.RAMAddr + 12);
  XRELAYARM_WriteReg(8, 0xD3);
  XRELAYARM_WriteReg(9, Cpu.RAMAddr);
  XRELAYARM_GoIntDis();
  uint64_t Start = SYS_TIME_GetTicks();
  while (XRELAYARM_IsHalted() <= 0) {
    if (SYS_TIME_GetUsSince(Start) >= 250000) return _Fail("Timeout while disabling MMU, core does not stop");
    SYS_Sleep(1);
  }
  uint32_t PC = 0;
  XRELAYARM_ReadReg(9, &PC);
  if (PC != Cpu.RAMAddr + 12) {
    UTIL_sprintf(_acFailure, sizeof(_acFailure), "PC of target system has unexpected value of 0x%.8X after disabling MMU.",
                 PC);
    return _acFailure;
  }
  return nullptr;
}

void _SetEndianBit(bool Big) {
  uint32_t v = 0;
  XRELAYARM_CP15_ReadReg(2, &v);
  v = Big ? (v | 0x80u) : (v & ~0x80u);
  XRELAYARM_CP15_WriteReg(2, v);
}

void _Command(const char* sFormat, uint32_t Value) {
  char ac[64], acError[256] = "";
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  UTIL_sprintf(ac, sizeof(ac), sFormat, (int)Value);
#pragma GCC diagnostic pop
  XRELAYARM_ExecCommand(ac, acError, sizeof(acError));
}

// Runs action Action; null or a failure text. *pNext: the number of the next step.
const char* _Run(uint32_t Action, uint32_t* pNext, uint32_t v0, uint32_t v1) {
  switch (Action) {
  case 0: SYS_Sleep((int)v1); return nullptr;
  case 1: return _DisableMMU();
  case 2: _Command("SetCheckModeAfterRead = %d", 0); return nullptr;
  case 3: _Command("SetCheckModeAfterRead = %d", 1); return nullptr;
  case 4: XRELAYARM_Go(); return nullptr;
  case 5: XRELAYARM_Halt(); return nullptr;
  case 6:
    XRELAYARM_SetResetType((int)v0);
    XRELAYARM_SetResetDelay((int)v1);
    XRELAYARM_ResetPullsRESET(1);
    return XRELAYARM_Reset() < 0 ? _Fail("Could not perform target reset") : nullptr;
  case 7:
  case 8:
  case 9: {
    uint32_t v;
    if (!_Read(v0, 1 << (Action - 7), &v)) return _Fail("Could not read target memory");
    _Variable = v;
    return nullptr;
  }
  case 10: _Command("SetAllowRemoteRead = %d", v1); return nullptr;
  case 11: _Command("SetAllowRemoteWrite = %d", v1); return nullptr;
  case 12:
  case 13:
  case 14: return _Verify(v0, 1 << (Action - 12), v1);
  case 15:
  case 16:
  case 17: _Write(v0, 1 << (Action - 15), v1); return nullptr;
  case 18:
  case 19:
  case 20:
    _Write(v0, 1 << (Action - 18), v1);
    return _Verify(v0, 1 << (Action - 18), v1);
  case 21: XRELAYARM_WriteReg(v0, v1); return nullptr;
  case 22:
    XRELAYARM_StoreCmd((uint8_t)v0);
    XRELAYARM_WriteBits();
    return nullptr;
  case 23:
    XRELAYARM_StoreData(&v1, (int)v0);
    XRELAYARM_WriteBits();
    return nullptr;
  case 24: _Variable &= v1; return nullptr;
  case 25: _Variable |= v1; return nullptr;
  case 26: _Variable ^= v1; return nullptr;
  case 27:
  case 28:
    if ((Action == 27) == (_Variable == 0)) {
      *pNext = v0;
      APP_LogOut("Branch operation performed");
    }
    return nullptr;
  case 29:
  case 30:
  case 31: _Write(v0, 1 << (Action - 29), _Variable); return nullptr;
  case 32: _SetEndianBit(true); return nullptr;
  case 33: _SetEndianBit(false); return nullptr;
  case 34:
  case 35:
  case 36: _PatchFile(v0, 1 << (Action - 34), _Variable); return nullptr;
  case 37: return nullptr;
  case 38:
  case 39:
  case 40: _PatchFile(v0, 1 << (Action - 38), v1); return nullptr;
  case 41: UTIL_sprintf(_acFailure, sizeof(_acFailure), "Custom Error %u", v0); return _acFailure;
  default: return nullptr;
  }
}

} // namespace

uint32_t STEPS_GetVariable(void) { return _Variable; }
void STEPS_SetVariable(uint32_t Value) { _Variable = Value; }

int STEPS_FormatValue(uint32_t Action, int Param, uint32_t Value, char* sDest, int DestSize) {
  if (DestSize > 0) sDest[0] = 0;
  const INIT_ACTION* pAction = STEPS_GetAction(Action);
  if (pAction == nullptr || Param < 0 || Param > 1) return -1;
  const STEPS_PARAM& P = pAction->aParam[Param];
  if (P.sLabel == nullptr) return -1;
  switch (P.Display) {
  case STEPS_DISPLAY_HEX: {
    char acFormat[16];
    UTIL_sprintf(acFormat, sizeof(acFormat), "0x%%.%dX", 2 * P.HexBytes);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    UTIL_sprintf(sDest, DestSize, acFormat, Value);
#pragma GCC diagnostic pop
    break;
  }
  case STEPS_DISPLAY_DECIMAL: {
    if (P.sUnit == nullptr) {
      UTIL_sprintf(sDest, DestSize, "%d", (int)Value);
      break;
    }
    std::string Unit = P.sUnit;
    if (Value == 1 && Unit.size() >= 3 && Unit.compare(Unit.size() - 3, 3, "(s)") == 0) Unit.resize(Unit.size() - 3);
    UTIL_sprintf(sDest, DestSize, "%d %s", (int)Value, Unit.c_str());
    break;
  }
  case STEPS_DISPLAY_INDEX: UTIL_sprintf(sDest, DestSize, "#%d", (int)Value); break;
  case STEPS_DISPLAY_REGISTER: {
    bool CortexM = _IsCortexM();
    uint32_t n = CortexM ? sizeof(_asCortexMRegs) / sizeof(_asCortexMRegs[0]) : sizeof(_asArmRegs) / sizeof(_asArmRegs[0]);
    if (Value < n) UTIL_strcpy(sDest, CortexM ? _asCortexMRegs[Value] : _asArmRegs[Value], DestSize);
    break;
  }
  case STEPS_DISPLAY_IR_COMMAND:
    if (Value < 16) UTIL_strcpy(sDest, _asIRCommands[Value], DestSize);
    break;
  default: break;
  }
  return 0;
}

int STEPS_Execute(int Sequence) {
  bool Init = Sequence == STEPS_SEQ_INIT;
  APP_LogBegin(Init ? "Executing init sequence ..." : "Executing exit sequence ...");
  PROJECT_CPU Cpu;
  if (PROJECT_GetCPU(&Cpu) < 0) Cpu.NumInitSteps = Cpu.NumExitSteps = 0;
  const PROJECT_STEP* paStep = Init ? Cpu.aInitStep : Cpu.aExitStep;
  uint32_t NumSteps = Init ? Cpu.NumInitSteps : Cpu.NumExitSteps;
  if (NumSteps > PROJECT_MAX_STEPS) NumSteps = PROJECT_MAX_STEPS;
  int Errors = APP_GetErrorCount();
  uint32_t i = 0;
  while (i < NumSteps) {
    const PROJECT_STEP& Step = paStep[i];
    const INIT_ACTION* pAction = STEPS_GetAction(Step.Action);
    if (pAction == nullptr) {
      i++;
      continue;
    }
    uint32_t v0 = pAction->aParam[0].sLabel ? _Clamp(pAction->aParam[0], Step.Value0) : Step.Value0;
    uint32_t v1 = pAction->aParam[1].sLabel ? _Clamp(pAction->aParam[1], Step.Value1) : Step.Value1;
    char ac0[64], ac1[64], acLine[400];
    bool Has0 = STEPS_FormatValue(Step.Action, 0, v0, ac0, sizeof(ac0)) == 0;
    bool Has1 = STEPS_FormatValue(Step.Action, 1, v1, ac1, sizeof(ac1)) == 0;
    if (Step.Action == STEPS_ACTION_COMMENT) {
      UTIL_sprintf(acLine, sizeof(acLine), "//\r\n     // %s\r\n     //", Step.acComment);
    } else if (Has0 && Has1) {
      UTIL_sprintf(acLine, sizeof(acLine), "Executing %s (%s, %s)", pAction->sName, ac0, ac1);
    } else if (Has0 || Has1) {
      UTIL_sprintf(acLine, sizeof(acLine), "Executing %s (%s)", pAction->sName, Has0 ? ac0 : ac1);
    } else {
      UTIL_sprintf(acLine, sizeof(acLine), "Executing %s ()", pAction->sName);
    }
    if (APP_GUI_REQUESTS* pGUI = APP_GetGUI()) pGUI->SetStatusField(APP_STATUS_GENERAL, acLine);
    APP_LogBegin(acLine);
    uint32_t Next = i + 1;
    const char* sFailure = _Run(Step.Action, &Next, v0, v1);
    APP_LogEnd(nullptr);
    i = Next;
    if (APP_GetErrorCount() != Errors && sFailure == nullptr) {
      APP_LogEnd(nullptr);
      return -1;
    }
    if (sFailure) {
      APP_ErrorOut(sFailure);
      APP_LogEnd(nullptr);
      return -1;
    }
  }
  APP_LogEnd(Init ? "Initialized successfully" : "De-initialized successfully");
  return 0;
}
