/*
 * PROJECT - the project records, the key table, reading with the conversions of older files,
 * writing, the new-project defaults and the data-file link.
 */
#include "project/PROJECT.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <type_traits>

#include "core/APP_Log.h"
#include "mcudb/BANKREC.h"
#include "project/SETFILE.h"
#include "project/STEPS.h"
#include "sys/SYS.h"
#include "sys/UTIL.h"

namespace {

constexpr uint32_t kAny = 0xFFFFFFFFu;

struct ProjectData {
  PROJECT_GENERAL General;
  PROJECT_TIF TIF;
  PROJECT_CPU CPU;
  PROJECT_FLASH Flash;
  PROJECT_PRODUCTION Prod;
  PROJECT_PERFORMANCE Perf;
};

struct ProjectState {
  bool IsOpen = false;
  bool HasFileName = false;
  char acPath[PROJECT_PATH_SIZE] = "";
  int ModCount = 0;
  int AppVersion = PROJECT_APP_VERSION;
  int FileVersion = PROJECT_FILE_VERSION;
  int CurBank = -1;
  ProjectData D = {};
};
ProjectState _P;
SYS_MUTEX* _pLock;
std::once_flag _LockOnce;
PROJECT_DEVICE_HOOKS _Dev;
void (*_pfNotify)(void);

class Guard {
public:
  Guard() {
    std::call_once(_LockOnce, [] { _pLock = SYS_MUTEX_Create(nullptr); });
    SYS_MUTEX_Lock(_pLock, -1);
  }
  ~Guard() { SYS_MUTEX_Unlock(_pLock); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
};

void _Notify() {
  if (_pfNotify) _pfNotify();
}

void _CountModification() {
  {
    Guard g;
    _P.ModCount++;
  }
  _Notify();
}

/*********************************************************************
 * The key table: everything but the banks, in the order in which the file is written.
 */
enum Form : uint8_t { FORM_INT, FORM_HEX, FORM_STRING, FORM_SPECIAL };
enum Special : uint8_t {
  SP_NONE,
  SP_ATE_MODULES,
  SP_JTAG_DEVICES,
  SP_INIT_STEPS,
  SP_EXIT_STEPS,
  SP_SPEED,
  SP_IF_SET, // a number written only when it is not 0
};

struct KeyDef {
  const char* sSection; // null: before the first section
  const char* sKey;
  Form KeyForm;
  int64_t Min;
  int64_t Max;
  uint32_t Default;
  size_t Offset; // into ProjectData
  uint8_t Size;  // of the field: 4 or 1, or the string buffer's size / 2 (see _Field)
  Special Kind;
};

#define U32(Rec, Field) offsetof(ProjectData, Rec.Field), 4
#define U8(Rec, Field) offsetof(ProjectData, Rec.Field), 1
#define STR(Rec, Field) offsetof(ProjectData, Rec.Field), 0
#define NOFIELD 0, 0

const KeyDef _aKey[] = {
    {"GENERAL", "CurrentFile", FORM_STRING, 0, 0, 0, STR(General, acCurrentFile), SP_NONE},
    {"GENERAL", "HostName", FORM_STRING, 0, 0, 0, STR(General, acHostName), SP_NONE},
    {"GENERAL", "DataFileSAddr", FORM_HEX, 0, kAny, 0, U32(General, DataFileSAddr), SP_NONE},
    {"GENERAL", "ConnectMode", FORM_INT, 0, 2, 0, U32(General, ConnectMode), SP_NONE},
    {"GENERAL", "USBPort", FORM_INT, 0, 3, 0, U32(General, USBPort), SP_NONE},
    {"GENERAL", "USBSerialNo", FORM_HEX, 0, kAny, 0, U32(General, USBSerialNo), SP_NONE},
    {"GENERAL", "GUIMode", FORM_INT, 0, 1, 0, U32(General, GUIMode), SP_NONE},
    {"GENERAL", "UseATEModuleSelection", FORM_INT, 0, 1, 0, U32(General, UseATEModuleSelection), SP_NONE},
    {"GENERAL", "aATEModuleSel", FORM_SPECIAL, 0, 0, 0, NOFIELD, SP_ATE_MODULES},
    {"GENERAL", "TargetIF", FORM_INT, 0, 17, 0, U32(TIF, TargetIF), SP_NONE},
    {"JTAG", "MultipleTargets", FORM_INT, 0, 2, 0, U32(TIF, MultipleTargets), SP_NONE},
    {"JTAG", "UseMaxSpeed0", FORM_INT, 0, 1, 0, U32(TIF, UseMaxSpeed0), SP_NONE},
    {"JTAG", "UseMaxSpeed1", FORM_INT, 0, 1, 0, U32(TIF, UseMaxSpeed1), SP_NONE},
    {"JTAG", "UseAdaptive0", FORM_INT, 0, 1, 0, U32(TIF, UseAdaptive0), SP_NONE},
    {"JTAG", "UseAdaptive1", FORM_INT, 0, 1, 0, U32(TIF, UseAdaptive1), SP_NONE},
    {"JTAG", "Speed0", FORM_INT, 1, 100000, 4000, U32(TIF, Speed0), SP_SPEED},
    {"JTAG", "Speed1", FORM_INT, 1, 100000, 4000, U32(TIF, Speed1), SP_SPEED},
    {"JTAG", "TAP_Number", FORM_INT, 0, 32, 0, U32(TIF, TAP_Number), SP_NONE},
    {"JTAG", "IRLen", FORM_INT, 0, 255, 0, U32(TIF, IRLen), SP_NONE},
    {"JTAG", "NumDevices", FORM_INT, 0, PROJECT_MAX_JTAG_DEVICES, 0, U32(TIF, NumDevices), SP_NONE},
    {"JTAG", "Device%d", FORM_SPECIAL, 0, 0, 0, NOFIELD, SP_JTAG_DEVICES},
    {"CPU", "InitStep%d", FORM_SPECIAL, 0, 0, 0, NOFIELD, SP_INIT_STEPS},
    {"CPU", "ExitStep%d", FORM_SPECIAL, 0, 0, 0, NOFIELD, SP_EXIT_STEPS},
    {"CPU", "UseScriptFile", FORM_INT, 0, 1, 0, U32(CPU, UseScriptFile), SP_NONE},
    {"CPU", "ScriptFile", FORM_STRING, 0, 0, 0, STR(CPU, acScriptFile), SP_NONE},
    {"CPU", "RAMAddr", FORM_HEX, 0, kAny, 0, U32(CPU, RAMAddr), SP_NONE},
    {"CPU", "RAMSize", FORM_HEX, 0x400, kAny, 0x8000, U32(CPU, RAMSize), SP_NONE},
    {"CPU", "CheckCoreID", FORM_INT, 0, 1, 0, U32(CPU, CheckCoreID), SP_NONE},
    {"CPU", "CoreID", FORM_HEX, 0, kAny, 0, U32(CPU, CoreID), SP_NONE},
    {"CPU", "CoreIDMask", FORM_HEX, 0, kAny, kAny, U32(CPU, CoreIDMask), SP_NONE},
    {"CPU", "UseAutoSpeed", FORM_HEX, 0, 1, 1, U32(CPU, UseAutoSpeed), SP_NONE},
    {"CPU", "ClockSpeed", FORM_HEX, 0, kAny, 0, U32(CPU, ClockSpeed), SP_NONE},
    {"CPU", "EndianMode", FORM_INT, 0, 1, 0, U32(CPU, EndianMode), SP_NONE},
    {"CPU", "ChipName", FORM_STRING, 0, 0, 0, STR(CPU, acChipName), SP_NONE},
    // The FLASH sections come here (see _WriteBanks).
    {"PRODUCTION", "EraseType", FORM_INT, 1, 4, 1, U32(Prod, EraseType), SP_NONE},
    {"PRODUCTION", "VerifyType", FORM_INT, 1, 2, 1, U8(Perf, VerifyType), SP_NONE},
    {"PRODUCTION", "StartAppType", FORM_INT, 0, 1, 0, U32(Prod, StartAppType), SP_NONE},
    {"PRODUCTION", "AutoPerformsErase", FORM_INT, 0, 1, 1, U32(Prod, AutoPerformsErase), SP_NONE},
    {"PRODUCTION", "AutoPerformsProgram", FORM_INT, 0, 1, 1, U32(Prod, AutoPerformsProgram), SP_NONE},
    {"PRODUCTION", "AutoPerformsVerify", FORM_INT, 0, 1, 1, U32(Prod, AutoPerformsVerify), SP_NONE},
    {"PRODUCTION", "AutoPerformsSecure", FORM_INT, 0, 1, 0, U32(Prod, AutoPerformsSecure), SP_NONE},
    {"PRODUCTION", "AutoPerformsStartApp", FORM_INT, 0, 1, 0, U32(Prod, AutoPerformsStartApp), SP_NONE},
    {"PRODUCTION", "AutoPerformsDisconnect", FORM_INT, 0, 1, 0, U32(Prod, AutoPerformsDisconnect), SP_NONE},
    {"PRODUCTION", "EnableTargetPower", FORM_INT, 0, 7, 1, U32(Prod, EnableTargetPower), SP_NONE},
    {"PRODUCTION", "ProgramSN", FORM_INT, 0, 1, 0, U32(Prod, ProgramSN), SP_NONE},
    {"PRODUCTION", "TargetPowerDelay", FORM_HEX, 0, 10000, 20, U32(Prod, TargetPowerDelay), SP_NONE},
    {"PRODUCTION", "SNAddr", FORM_HEX, 0, kAny, 0, U32(Prod, SNAddr), SP_NONE},
    {"PRODUCTION", "SNLen", FORM_HEX, 0, 32, 8, U32(Prod, SNLen), SP_NONE},
    {"PRODUCTION", "SNValue", FORM_HEX, 0, kAny, 1, U32(Prod, SNValue), SP_NONE},
    {"PRODUCTION", "SNInc", FORM_HEX, 0, kAny, 1, U32(Prod, SNInc), SP_NONE},
    {"PRODUCTION", "OverrideTimeouts", FORM_INT, 0, 1, 0, U32(Prod, OverrideTimeouts), SP_NONE},
    {"PRODUCTION", "TimeoutErase", FORM_HEX, 0, kAny, 15000, U32(Prod, TimeoutErase), SP_NONE},
    {"PRODUCTION", "TimeoutProgram", FORM_HEX, 0, kAny, 10000, U32(Prod, TimeoutProgram), SP_NONE},
    {"PRODUCTION", "TimeoutVerify", FORM_HEX, 0, kAny, 10000, U32(Prod, TimeoutVerify), SP_NONE},
    {"PRODUCTION", "MonitorVTref", FORM_INT, 0, 1, 0, U32(Prod, MonitorVTref), SP_NONE},
    {"PRODUCTION", "MonitorVTrefMin", FORM_HEX, 0, kAny, 1000, U32(Prod, MonitorVTrefMin), SP_NONE},
    {"PRODUCTION", "MonitorVTrefMax", FORM_HEX, 0, kAny, 5500, U32(Prod, MonitorVTrefMax), SP_NONE},
    {"PRODUCTION", "EnableFixedVTref", FORM_INT, 0, 1, 0, U32(Prod, EnableFixedVTref), SP_NONE},
    {"PRODUCTION", "FixedVTref", FORM_HEX, 0, kAny, 3300, U32(Prod, FixedVTref), SP_NONE},
    {"PRODUCTION", "SerialFile", FORM_STRING, 0, 0, 0, STR(Prod, acSerialFile), SP_NONE},
    {"PRODUCTION", "SNListFile", FORM_STRING, 0, 0, 0, STR(Prod, acSNListFile), SP_NONE},
    {"PRODUCTION", "SkipUnchangedSectors", FORM_INT, 0, 1, 0, U32(Prod, SkipUnchangedSectors), SP_IF_SET},
    {"PERFORMANCE", "PerfromBlankCheckPriorEraseSelectedSectors", FORM_HEX, 0, 1, 1,
     U8(Perf, PerfromBlankCheckPriorEraseSelectedSectors), SP_NONE},
    {"PERFORMANCE", "PerfromBlankCheckPriorEraseChip", FORM_HEX, 0, 1, 1,
     U8(Perf, PerfromBlankCheckPriorEraseChip), SP_NONE},
    {"PERFORMANCE", "DisableSkipBlankDataOnProgram", FORM_HEX, 0, 1, 0,
     U8(Perf, DisableSkipBlankDataOnProgram), SP_NONE},
};
#undef U32
#undef U8
#undef STR
#undef NOFIELD

// Sizes of the string fields, found by their offsets.
int _StringSize(size_t Offset) {
  struct {
    size_t Offset;
    int Size;
  } const aString[] = {
      {offsetof(ProjectData, General.acCurrentFile), sizeof(PROJECT_GENERAL::acCurrentFile)},
      {offsetof(ProjectData, General.acHostName), sizeof(PROJECT_GENERAL::acHostName)},
      {offsetof(ProjectData, CPU.acScriptFile), sizeof(PROJECT_CPU::acScriptFile)},
      {offsetof(ProjectData, CPU.acChipName), sizeof(PROJECT_CPU::acChipName)},
      {offsetof(ProjectData, Prod.acSerialFile), sizeof(PROJECT_PRODUCTION::acSerialFile)},
      {offsetof(ProjectData, Prod.acSNListFile), sizeof(PROJECT_PRODUCTION::acSNListFile)},
  };
  for (const auto& s : aString) {
    if (s.Offset == Offset) return s.Size;
  }
  return 0;
}

uint32_t _GetField(const ProjectData& D, const KeyDef& k) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(&D) + k.Offset;
  if (k.Size == 1) return *p;
  uint32_t v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}

void _SetField(ProjectData* pD, const KeyDef& k, uint32_t v) {
  uint8_t* p = reinterpret_cast<uint8_t*>(pD) + k.Offset;
  if (k.Size == 1) {
    *p = (uint8_t)v;
  } else {
    std::memcpy(p, &v, sizeof(v));
  }
}

char* _StringField(ProjectData* pD, const KeyDef& k) {
  return reinterpret_cast<char*>(pD) + k.Offset;
}

/*********************************************************************
 * Reading values
 */
// A numeric key: its value clamped to the range, or Default when missing or unreadable.
// Decimal keys are signed in the file (a minus sign gives the lower bound).
uint32_t _ReadNumber(const char* sSection, const char* sKey, Form KeyForm, int64_t Min, int64_t Max,
                     uint32_t Default, bool* pPresent = nullptr) {
  uint32_t v;
  bool Present = SETFILE_ReadU32(sSection, sKey, &v) == 0;
  if (pPresent) *pPresent = Present;
  if (!Present) return Default;
  int64_t s = (KeyForm == FORM_INT && v > 0x7FFFFFFF) ? (int64_t)(int32_t)v : (int64_t)v;
  if (s < Min) s = Min;
  if (s > Max) s = Max;
  return (uint32_t)s;
}

void _ReadString(const char* sSection, const char* sKey, char* sDest, int DestSize) {
  if (SETFILE_ReadString(sSection, sKey, sDest, DestSize) != 0) sDest[0] = 0;
}

void _ReadSteps(ProjectData* pD, bool Init) {
  const char* sPrefix = Init ? "InitStep" : "ExitStep";
  uint32_t n = _ReadNumber("CPU", Init ? "NumInitSteps" : "NumExitSteps", FORM_INT, 0, PROJECT_MAX_STEPS, 0);
  PROJECT_STEP* paStep = Init ? pD->CPU.aInitStep : pD->CPU.aExitStep;
  (Init ? pD->CPU.NumInitSteps : pD->CPU.NumExitSteps) = n;
  // Reset variants of older files: the reset type they stand for.
  static const struct {
    const char* sName;
    uint32_t Type;
  } aLegacyReset[] = {
      {"Reset WP", 4}, {"Reset DBGRQ", 5}, {"Reset BP@0", 1}, {"Reset ADI", 2}, {"Reset SOFT", 6},
  };
  for (uint32_t i = 0; i < n; i++) {
    PROJECT_STEP& s = paStep[i];
    s = PROJECT_STEP{};
    char acKey[64], acName[256];
    UTIL_sprintf(acKey, sizeof(acKey), "%s%u_Action", sPrefix, i);
    _ReadString("CPU", acKey, acName, sizeof(acName));
    UTIL_sprintf(acKey, sizeof(acKey), "%s%u_Value0", sPrefix, i);
    s.Value0 = _ReadNumber("CPU", acKey, FORM_HEX, 0, kAny, 0);
    UTIL_sprintf(acKey, sizeof(acKey), "%s%u_Value1", sPrefix, i);
    s.Value1 = _ReadNumber("CPU", acKey, FORM_HEX, 0, kAny, 0);
    UTIL_sprintf(acKey, sizeof(acKey), "%s%u_Comment", sPrefix, i);
    _ReadString("CPU", acKey, s.acComment, sizeof(s.acComment));
    int Action = STEPS_FindAction(acName);
    for (const auto& r : aLegacyReset) {
      if (Init && Action < 0 && UTIL_stricmp(acName, r.sName) == 0) {
        Action = STEPS_ACTION_RESET;
        s.Value0 = r.Type;
      }
    }
    if (Action < 0) {
      Action = STEPS_ACTION_DELAY;
      s.Value0 = s.Value1 = 0;
    }
    s.Action = (uint32_t)Action;
  }
}

void _ReadJTAGDevices(ProjectData* pD) {
  for (uint32_t i = 0; i < pD->TIF.NumDevices; i++) {
    PROJECT_JTAG_DEVICE& d = pD->TIF.aDevice[i];
    char acKey[64];
    UTIL_sprintf(acKey, sizeof(acKey), "Device%u_Name", i);
    _ReadString("JTAG", acKey, d.acName, sizeof(d.acName));
    UTIL_sprintf(acKey, sizeof(acKey), "Device%u_ID", i);
    d.ID = _ReadNumber("JTAG", acKey, FORM_HEX, 0, kAny, 0);
    UTIL_sprintf(acKey, sizeof(acKey), "Device%u_IRLen", i);
    d.IRLen = _ReadNumber("JTAG", acKey, FORM_HEX, 0, kAny, 0);
  }
}

// Reads every key of the table; *pHasVerifyType tells whether the file names a VerifyType.
void _ReadKeys(ProjectData* pD, bool* pHasVerifyType) {
  for (const KeyDef& k : _aKey) {
    switch (k.Kind) {
    case SP_ATE_MODULES:
      if (SETFILE_ReadBytes(k.sSection, k.sKey, pD->General.aATEModuleSel,
                            sizeof(pD->General.aATEModuleSel)) != 0) {
        std::memset(pD->General.aATEModuleSel, 0, sizeof(pD->General.aATEModuleSel));
      }
      continue;
    case SP_JTAG_DEVICES:
      _ReadJTAGDevices(pD);
      continue;
    case SP_INIT_STEPS:
    case SP_EXIT_STEPS:
      _ReadSteps(pD, k.Kind == SP_INIT_STEPS);
      continue;
    case SP_SPEED: {
      uint32_t Default = pD->TIF.TargetIF == 3 ? 1000 : k.Default;
      _SetField(pD, k, _ReadNumber(k.sSection, k.sKey, k.KeyForm, k.Min, k.Max, Default));
      continue;
    }
    default:
      break;
    }
    if (k.KeyForm == FORM_STRING) {
      _ReadString(k.sSection, k.sKey, _StringField(pD, k), _StringSize(k.Offset));
      continue;
    }
    bool Present;
    _SetField(pD, k, _ReadNumber(k.sSection, k.sKey, k.KeyForm, k.Min, k.Max, k.Default, &Present));
    if (std::strcmp(k.sKey, "VerifyType") == 0) *pHasVerifyType = Present;
  }
}

/*********************************************************************
 * Conversions of older files
 */
// A core word's family as a device name, for files that name the core instead of the device.
const char* _CoreName(uint32_t CoreID) {
  switch (CoreID >> 24) {
  case 1:
    return "Cortex-M1";
  case 3:
    return "Cortex-M3";
  case 6:
    return "Cortex-M0";
  case 9:
    return "ARM9";
  case 14:
    return "Cortex-M4";
  default:
    return "ARM7";
  }
}

// Former vendor names at the start of ChipName. true when the name changed. A device database
// that still lists the device under its former vendor keeps the name as it is: renaming it
// would turn a known device into an unknown one.
bool _RenameVendor(char* sName, int NameSize, int (*pfFindDevice)(const char* sName)) {
  static const char* const aRename[][2] = {
      {"Actel", "Microsemi"},    {"Freescale", "NXP"},    {"Energy Micro", "Silicon Labs"},
      {"Ember", "Silicon Labs"}, {"Atmel", "Microchip"},  {"Spansion", "Infineon"},
      {"Fujitsu", "Infineon"},   {"Cypress", "Infineon"}, {"Quintic", "NXP"},
      {"Luminary", "TI"},
  };
  for (const auto& r : aRename) {
    int n = UTIL_strlen(r[0]);
    // Only the whole vendor word: "Atmelx" is no vendor.
    if (UTIL_strnicmp(r[0], sName, n) != 0 || sName[n] != ' ') continue;
    char acNew[512];
    UTIL_sprintf(acNew, sizeof(acNew), "%s %s", r[1], sName + n + 1);
    if (pfFindDevice && pfFindDevice(acNew) < 0 && pfFindDevice(sName) >= 0) return false;
    APP_LogOutf("Project changed: Vendor name has been updated from \"%s\" to \"%s\"", r[0], r[1]);
    UTIL_strcpy(sName, acNew, NameSize);
    return true;
  }
  return false;
}

const char* _BankSection(char* sDest, int DestSize, uint32_t NumBanks, uint32_t Bank) {
  if (NumBanks <= 1) {
    UTIL_strcpy(sDest, "FLASH", DestSize);
  } else {
    UTIL_sprintf(sDest, DestSize, "FLASH%u", Bank);
  }
  return sDest;
}

int _NumSectors(int CpuDevice, const PROJECT_BANK& b) {
  int n = _Dev.pfGetBankNumSectors ? _Dev.pfGetBankNumSectors(CpuDevice, &b) : -1;
  return (n < 0 || n > PROJECT_MAX_SECTORS) ? PROJECT_MAX_SECTORS : n;
}

void _SelectAll(PROJECT_BANK* b) {
  std::memset(b->abSectorSel, 0xFF, sizeof(b->abSectorSel));
}

// A bank the user inserts, and the one bank of a device without banks.
void _InitUserBank(PROJECT_BANK* b) {
  *b = PROJECT_BANK{};
  BANKREC_InitUserDefaults(b);
  b->Device = -1;
  _SelectAll(b);
}

// One of the device's own banks as the database describes it.
void _InitInternalBank(PROJECT_BANK* b, const PROJECT_DEVICE_BANK* pDevBank) {
  _InitUserBank(b);
  b->IsInternal = 1;
  b->HasLayout = 1;
  b->AutoDetect = 0;
  b->OrgNumBits = 32;
  b->Device = -1;
  if (pDevBank) {
    UTIL_strcpy(b->acBankName, pDevBank->acName, sizeof(b->acBankName));
    b->BaseAddr = pDevBank->BaseAddr;
    if (pDevBank->acLoaderName[0])
      UTIL_strcpy(b->acLoaderName, pDevBank->acLoaderName, sizeof(b->acLoaderName));
  }
}

void _ReadBankSection(PROJECT_BANK* b, const char* sSection, bool External, int CpuDevice) {
  char acName[sizeof(b->acBankName)];
  if (SETFILE_ReadString(sSection, "BankName", acName, sizeof(acName)) == 0) {
    UTIL_strcpy(b->acBankName, acName, sizeof(b->acBankName));
  }
  b->BaseAddr = _ReadNumber(sSection, "BaseAddr", FORM_HEX, 0, kAny, b->BaseAddr);
  if (External) {
    b->OrgNumBits = (uint8_t)_ReadNumber(sSection, "OrgNumBits", FORM_INT, 8, 32, 16);
    b->OrgNumChips = (uint8_t)_ReadNumber(sSection, "OrgNumChips", FORM_INT, 1, 4, 1);
    b->AutoDetect = (uint8_t)_ReadNumber(sSection, "AutoDetect", FORM_INT, 0, 1, 0);
    b->acDeviceName[0] = 0;
    b->Device = -1;
    if (!b->AutoDetect) {
      _ReadString(sSection, "DeviceName", b->acDeviceName, sizeof(b->acDeviceName));
      b->CheckId = (uint8_t)_ReadNumber(sSection, "CheckId", FORM_INT, 0, 3, 3);
      if (_Dev.pfFindFlashDevice) b->Device = _Dev.pfFindFlashDevice(b->acDeviceName);
      // A flash device that is unknown (or not named at all) is detected instead.
      if (b->acDeviceName[0] == 0 || (_Dev.pfFindFlashDevice && b->Device < 0)) b->AutoDetect = 1;
    }
    b->HasLayout = b->AutoDetect ? 0 : 1;
  }
  char acLoader[sizeof(b->acLoaderName)];
  if (SETFILE_ReadString(sSection, "LoaderName", acLoader, sizeof(acLoader)) == 0 && acLoader[0]) {
    UTIL_strcpy(b->acLoaderName, acLoader, sizeof(b->acLoaderName));
  }
  if (b->HasLayout) {
    b->BankSelMode = (uint8_t)_ReadNumber(sSection, "BankSelMode", FORM_INT, 0, 1, 1);
    if (b->BankSelMode) {
      int n = _NumSectors(CpuDevice, *b);
      if (SETFILE_ReadRanges(sSection, "aRangeSel", b->abSectorSel, n) != 0 &&
          SETFILE_ReadBits(sSection, "aSectorSel", b->abSectorSel, n) != 0) {
        _SelectAll(b);
      }
      if (n < PROJECT_MAX_SECTORS) UTIL_ClrBits(b->abSectorSel, n, PROJECT_MAX_SECTORS - n);
    } else {
      b->StartSector = _ReadNumber(sSection, "StartSector", FORM_INT, 0, 0xFFFF, 0);
      b->EndSector = _ReadNumber(sSection, "EndSector", FORM_INT, 0, 0xFFFF, 0xFFFF);
    }
  }
  b->Disabled = (uint8_t)_ReadNumber(sSection, "Disabled", FORM_INT, 0, 1, 0);
}

bool _ContainsNoCase(const char* s, const char* sPart) {
  int n = UTIL_strlen(sPart);
  for (; *s; s++) {
    if (UTIL_strnicmp(sPart, s, n) == 0) return true;
  }
  return false;
}

// Documentation pointer shown below the questions and errors about a project file.
#define PROJECT_DOC_LINE "\nSee the chapter \"Project files\" of the T-Forge user guide for details."

// Asks whether to update banks that disagree with the device database. true: update.
bool _AskAutoUpdate(const char* sDevice) {
  char ac[1024];
  UTIL_sprintf(
      ac, sizeof(ac),
      "This project contains outdated flash bank information.\nThis is due to an update of the flash "
      "information for \"%s\" inside the X-Relay DLL.\nT-Forge cannot function properly unless that "
      "information is updated\nto the current version of the X-Relay DLL." PROJECT_DOC_LINE
      "\n\nWould you like T-Forge to automatically update your project?",
      sDevice);
  if (APP_ShowMsgBox("Project auto-update", nullptr, ac, "Update project", "Do not update project", 1,
                     nullptr, nullptr, APP_ICON_QUESTION, 1, 0) == 0) {
    return true;
  }
  return APP_ShowMsgBox("Project auto-update", nullptr,
                        "T-Forge cannot open the project file without adjusting it to the information of the "
                        "X-Relay DLL.\n\nAre you sure you do not want T-Forge to update your project?",
                        "Close project", "Update and open project", 0, nullptr, nullptr, APP_ICON_QUESTION, 0,
                        0) == 1;
}

struct LoadState {
  bool Modified = false;
  bool BanksUpdated = false;
};

// The FLASH sections: internal banks (the device's own) first, then the external ones.
// false when the user refuses the update of outdated banks.
bool _ReadBanks(ProjectData* pD, int FileVersion, bool AutoUpdate, LoadState* pState) {
  PROJECT_FLASH& F = pD->Flash;
  int Device = pD->CPU.Device;
  PROJECT_DEVICE_BANK aDevBank[PROJECT_MAX_BANKS] = {};
  int NumDevBanks = -1;
  if (Device >= 0 && _Dev.pfGetDeviceBanks)
    NumDevBanks = _Dev.pfGetDeviceBanks(Device, aDevBank, PROJECT_MAX_BANKS);
  if (NumDevBanks > PROJECT_MAX_BANKS) NumDevBanks = PROJECT_MAX_BANKS;
  uint32_t NumBanks = _ReadNumber("FLASH", "NumBanks", FORM_INT, 1, PROJECT_MAX_BANKS, 1);
  auto paInternal = std::make_unique<PROJECT_BANK[]>(PROJECT_MAX_BANKS);
  auto paExternal = std::make_unique<PROJECT_BANK[]>(PROJECT_MAX_BANKS);
  int NumInternal = 0, NumExternal = 0;
  for (uint32_t i = 0; i < NumBanks; i++) {
    char acSection[16];
    _BankSection(acSection, sizeof(acSection), NumBanks, i);
    if (_ReadNumber(acSection, "UseCustomRAMCode", FORM_INT, 0, 1, 0)) {
      APP_WarnOut(
          "Custom RAMCode based flash bank detected. Support for custom RAMCodes has been removed since "
          "T-Forge V7.54.");
    }
    uint32_t AutoDetect = _ReadNumber(acSection, "AutoDetect", FORM_INT, 0, 1, 0);
    char acDevice[256];
    _ReadString(acSection, "DeviceName", acDevice, sizeof(acDevice));
    bool External = acDevice[0] || AutoDetect;
    // Older files name the first internal bank by a pseudo flash device.
    if (FileVersion < 2 && i == 0 &&
        (_ContainsNoCase(acDevice, "INTERNAL") || _ContainsNoCase(acDevice, "SPIFI"))) {
      External = false;
    }
    PROJECT_BANK* b;
    if (External) {
      b = &paExternal[NumExternal++];
      _InitUserBank(b);
      b->AutoDetect = 0;
    } else {
      b = &paInternal[NumInternal];
      _InitInternalBank(b, NumInternal < NumDevBanks ? &aDevBank[NumInternal] : nullptr);
      NumInternal++;
    }
    _ReadBankSection(b, acSection, External, Device);
  }
  if (NumDevBanks >= 0) {
    int Diff = -1;
    for (int i = 0; i < NumInternal && i < NumDevBanks; i++) {
      if (paInternal[i].BaseAddr != aDevBank[i].BaseAddr) {
        Diff = i;
        break;
      }
    }
    if (Diff >= 0 || NumInternal != NumDevBanks) {
      char ac[256];
      if (Diff >= 0) {
        UTIL_sprintf(ac, sizeof(ac),
                     "Internal bank (Index %d) information in project (BaseAddr = 0x%X) is different from "
                     "information in DLL (BaseAddr = 0x%X).",
                     Diff, paInternal[Diff].BaseAddr, aDevBank[Diff].BaseAddr);
      } else {
        // The banks both sides know agree: only the count tells what differs.
        UTIL_sprintf(ac, sizeof(ac),
                     "Number of internal banks in project (%d) is different from information in DLL (%d).",
                     NumInternal, NumDevBanks);
      }
      APP_WarnOut(ac);
      if (!AutoUpdate && !_AskAutoUpdate(pD->CPU.acChipName)) return false;
      for (int i = 0; i < NumDevBanks; i++)
        _InitInternalBank(&paInternal[i], &aDevBank[i]);
      NumInternal = NumDevBanks;
      pState->BanksUpdated = true;
      pState->Modified = true;
    }
  }
  F = PROJECT_FLASH{};
  for (int i = 0; i < NumInternal && (int)F.NumBanks < PROJECT_MAX_BANKS; i++)
    F.aBank[F.NumBanks++] = paInternal[i];
  for (int i = 0; i < NumExternal && (int)F.NumBanks < PROJECT_MAX_BANKS; i++)
    F.aBank[F.NumBanks++] = paExternal[i];
  if (F.NumBanks == 0) {
    _InitUserBank(&F.aBank[0]);
    F.NumBanks = 1;
  }
  return true;
}

// Internal banks whose loader the probe library rejects. false when the user closes the project.
bool _CheckLoaders(ProjectData* pD, LoadState* pState) {
  if (_Dev.pfCanCheckLoaders == nullptr || pD->CPU.Device < 0) return true;
  if (!_Dev.pfCanCheckLoaders()) {
    APP_ErrorOut(
        "Project error: Failed to check and verify flash bank loader information. Please make sure to use "
        "the right X-Relay DLL version.");
    return true;
  }
  if (_Dev.pfIsLoaderValid == nullptr) return true;
  PROJECT_DEVICE_BANK aDevBank[PROJECT_MAX_BANKS] = {};
  int NumDevBanks =
      _Dev.pfGetDeviceBanks ? _Dev.pfGetDeviceBanks(pD->CPU.Device, aDevBank, PROJECT_MAX_BANKS) : 0;
  int Internal = 0;
  for (uint32_t i = 0; i < pD->Flash.NumBanks; i++) {
    PROJECT_BANK& b = pD->Flash.aBank[i];
    if (!b.IsInternal) continue;
    int DevIndex = Internal++;
    if (_Dev.pfIsLoaderValid(pD->CPU.Device, DevIndex, &b, b.acLoaderName)) continue;
    char acNew[256] = PROJECT_DEFAULT_LOADER;
    char acProposal[300] = "";
    if (!_Dev.pfIsLoaderValid(pD->CPU.Device, DevIndex, &b, PROJECT_DEFAULT_LOADER) &&
        DevIndex < NumDevBanks && aDevBank[DevIndex].acLoaderName[0]) {
      UTIL_strcpy(acNew, aDevBank[DevIndex].acLoaderName, sizeof(acNew));
      UTIL_sprintf(acProposal, sizeof(acProposal), "\n\"%s\"", acNew);
    }
    char ac[1024];
    UTIL_sprintf(
        ac, sizeof(ac),
        "The project file specifies an invalid loader for flash bank no. %u:\n'%s' @ 0x%X, specified "
        "loader '%s'.\n\nChange the specified loader to the default%s",
        i, b.acBankName, b.BaseAddr, b.acLoaderName, acProposal);
    if (APP_ShowMsgBox("Project change required", nullptr, ac, "Use default loader and continue",
                       "Close project", 0, nullptr, nullptr, APP_ICON_QUESTION, 1, 0) != 0) {
      return false;
    }
    UTIL_strcpy(b.acLoaderName, acNew, sizeof(b.acLoaderName));
    APP_LogOutf("Updated specified flash loader for flash bank no. %u ('%s') to '%s'.", i, b.acBankName,
                acNew);
    pState->Modified = true;
  }
  return true;
}

/*********************************************************************
 * Writing
 */
void _WriteSteps(const ProjectData& D, bool Init) {
  const char* sPrefix = Init ? "InitStep" : "ExitStep";
  uint32_t n = Init ? D.CPU.NumInitSteps : D.CPU.NumExitSteps;
  const PROJECT_STEP* paStep = Init ? D.CPU.aInitStep : D.CPU.aExitStep;
  SETFILE_WriteInt("CPU", Init ? "NumInitSteps" : "NumExitSteps", (int)n);
  for (uint32_t i = 0; i < n; i++) {
    const INIT_ACTION* pAction = STEPS_GetAction(paStep[i].Action);
    char acKey[64];
    UTIL_sprintf(acKey, sizeof(acKey), "%s%u_Action", sPrefix, i);
    SETFILE_WriteString("CPU", acKey, pAction ? pAction->sName : STEPS_Actions[STEPS_ACTION_DELAY].sName);
    UTIL_sprintf(acKey, sizeof(acKey), "%s%u_Value0", sPrefix, i);
    SETFILE_WriteHex("CPU", acKey, paStep[i].Value0);
    UTIL_sprintf(acKey, sizeof(acKey), "%s%u_Value1", sPrefix, i);
    SETFILE_WriteHex("CPU", acKey, paStep[i].Value1);
    UTIL_sprintf(acKey, sizeof(acKey), "%s%u_Comment", sPrefix, i);
    SETFILE_WriteString("CPU", acKey, paStep[i].acComment);
  }
}

void _WriteBanks(const ProjectData& D) {
  const PROJECT_FLASH& F = D.Flash;
  SETFILE_WriteInt("FLASH", "NumBanks", (int)F.NumBanks);
  for (uint32_t i = 0; i < F.NumBanks; i++) {
    const PROJECT_BANK& b = F.aBank[i];
    char s[16];
    _BankSection(s, sizeof(s), F.NumBanks, i);
    if (b.acBankName[0]) SETFILE_WriteString(s, "BankName", b.acBankName);
    SETFILE_WriteHex(s, "BaseAddr", b.BaseAddr);
    if (!b.IsInternal) {
      SETFILE_WriteInt(s, "OrgNumBits", b.OrgNumBits);
      SETFILE_WriteInt(s, "OrgNumChips", b.OrgNumChips);
      if (b.AutoDetect) {
        SETFILE_WriteInt(s, "AutoDetect", 1);
      } else {
        SETFILE_WriteString(s, "DeviceName", b.acDeviceName);
        SETFILE_WriteInt(s, "CheckId", b.CheckId);
      }
    }
    if (b.HasLayout) {
      SETFILE_WriteInt(s, "BankSelMode", b.BankSelMode);
      if (b.BankSelMode) {
        SETFILE_WriteRanges(s, "aRangeSel", b.abSectorSel, _NumSectors(D.CPU.Device, b));
      } else {
        SETFILE_WriteInt(s, "StartSector", (int)b.StartSector);
        SETFILE_WriteInt(s, "EndSector", (int)b.EndSector);
      }
    }
    if (b.acLoaderName[0] && UTIL_stricmp(b.acLoaderName, PROJECT_DEFAULT_LOADER) != 0) {
      SETFILE_WriteString(s, "LoaderName", b.acLoaderName);
    }
    if (b.Disabled) SETFILE_WriteInt(s, "Disabled", 1);
  }
}

/*********************************************************************
 * Records
 */
void _NormString(char* s, size_t Size) {
  s[Size - 1] = 0;
  size_t n = std::strlen(s);
  std::memset(s + n, 0, Size - n);
}

void _Normalise(PROJECT_GENERAL* p) {
  _NormString(p->acCurrentFile, sizeof(p->acCurrentFile));
  _NormString(p->acHostName, sizeof(p->acHostName));
}
void _Normalise(PROJECT_TIF* p) {
  if (p->NumDevices > PROJECT_MAX_JTAG_DEVICES) p->NumDevices = PROJECT_MAX_JTAG_DEVICES;
  for (uint32_t i = 0; i < PROJECT_MAX_JTAG_DEVICES; i++) {
    if (i >= p->NumDevices) p->aDevice[i] = PROJECT_JTAG_DEVICE{};
    _NormString(p->aDevice[i].acName, sizeof(p->aDevice[i].acName));
  }
}
void _NormaliseSteps(PROJECT_STEP* paStep, uint32_t* pNum) {
  if (*pNum > PROJECT_MAX_STEPS) *pNum = PROJECT_MAX_STEPS;
  for (uint32_t i = 0; i < PROJECT_MAX_STEPS; i++) {
    if (i >= *pNum) paStep[i] = PROJECT_STEP{};
    _NormString(paStep[i].acComment, sizeof(paStep[i].acComment));
  }
}
void _Normalise(PROJECT_CPU* p) {
  _NormString(p->acChipName, sizeof(p->acChipName));
  _NormString(p->acScriptFile, sizeof(p->acScriptFile));
  _NormaliseSteps(p->aInitStep, &p->NumInitSteps);
  _NormaliseSteps(p->aExitStep, &p->NumExitSteps);
}
void _Normalise(PROJECT_FLASH* p) {
  if (p->NumBanks < 1) p->NumBanks = 1;
  if (p->NumBanks > PROJECT_MAX_BANKS) p->NumBanks = PROJECT_MAX_BANKS;
  for (uint32_t i = 0; i < PROJECT_MAX_BANKS; i++) {
    PROJECT_BANK& b = p->aBank[i];
    if (i >= p->NumBanks) {
      b = PROJECT_BANK{};
      continue;
    }
    _NormString(b.acLoaderName, sizeof(b.acLoaderName));
    _NormString(b.acBankName, sizeof(b.acBankName));
    _NormString(b.acDeviceName, sizeof(b.acDeviceName));
  }
}
void _Normalise(PROJECT_PRODUCTION* p) {
  _NormString(p->acSerialFile, sizeof(p->acSerialFile));
  _NormString(p->acSNListFile, sizeof(p->acSNListFile));
}
void _Normalise(PROJECT_PERFORMANCE*) {}

uint32_t _DeviceRAMSize(int Device) {
  return (Device >= 0 && _Dev.pfGetDeviceRAMSize) ? _Dev.pfGetDeviceRAMSize(Device) : 0;
}

template <typename T> int _Get(const T& Current, T* p) {
  if (p == nullptr) return -1;
  Guard g;
  if (!_P.IsOpen) {
    APP_ErrorOut("No project file opened.");
    *p = T{};
    return -1;
  }
  *p = Current;
  return 0;
}

template <typename T> int _Set(T* pCurrent, const T* p) {
  if (p == nullptr) return -1;
  auto pNew = std::make_unique<T>(*p);
  _Normalise(pNew.get());
  if constexpr (std::is_same_v<T, PROJECT_CPU>) {
    pNew->RAMSize = PROJECT_RoundRAMSize(pNew->RAMSize, _DeviceRAMSize(pNew->Device));
  }
  {
    Guard g;
    if (!_P.IsOpen) {
      APP_ErrorOut("No project file opened.");
      return -1;
    }
    if (std::memcmp(pCurrent, pNew.get(), sizeof(T)) == 0) return 0;
    *pCurrent = *pNew;
    _P.ModCount++;
  }
  _Notify();
  return 1;
}

// Every record in its normalised form, as the set operations would store it.
void _NormaliseAll(ProjectData* pD) {
  _Normalise(&pD->General);
  _Normalise(&pD->TIF);
  _Normalise(&pD->CPU);
  pD->CPU.RAMSize = PROJECT_RoundRAMSize(pD->CPU.RAMSize, _DeviceRAMSize(pD->CPU.Device));
  _Normalise(&pD->Flash);
  _Normalise(&pD->Prod);
}

// The defaults of a missing key for every key of the table.
void _TableDefaults(ProjectData* pD) {
  *pD = ProjectData{};
  for (const KeyDef& k : _aKey) {
    if (k.KeyForm == FORM_INT || k.KeyForm == FORM_HEX) _SetField(pD, k, k.Default);
  }
  pD->CPU.Device = -1;
  pD->Flash.NumBanks = 1;
  _InitUserBank(&pD->Flash.aBank[0]);
}

} // namespace

/*********************************************************************
 * Hooks
 */
void PROJECT_SetDeviceHooks(const PROJECT_DEVICE_HOOKS* pHooks) {
  _Dev = pHooks ? *pHooks : PROJECT_DEVICE_HOOKS{};
}
const PROJECT_DEVICE_HOOKS* PROJECT_GetDeviceHooks(void) {
  return &_Dev;
}
void PROJECT_SetChangeNotifier(void (*pfNotify)(void)) {
  _pfNotify = pfNotify;
}

/*********************************************************************
 * Life
 */
int PROJECT_New(const char* sPath) {
  auto pD = std::make_unique<ProjectData>();
  _TableDefaults(pD.get());
  pD->TIF.TargetIF = 1;
  pD->TIF.Speed0 = pD->TIF.Speed1 = 4000;
  PROJECT_CPU& C = pD->CPU;
  UTIL_strcpy(C.acChipName, "Cortex-M0", sizeof(C.acChipName));
  if (_Dev.pfFindDevice) {
    C.Device = _Dev.pfFindDevice("Cortex-M0");
    if (C.Device < 0 && _Dev.pfGetNumDevices && _Dev.pfGetNumDevices() > 0) C.Device = 0;
    if (C.Device >= 0 && _Dev.pfGetDeviceName)
      _Dev.pfGetDeviceName(C.Device, C.acChipName, sizeof(C.acChipName));
  }
  C.RAMAddr = 0;
  C.RAMSize = 0x8000;
  C.CoreIDMask = 0xFFFFFFFF;
  C.NumInitSteps = 1;
  C.aInitStep[0].Action = STEPS_ACTION_RESET;
  UTIL_strcpy(C.aInitStep[0].acComment, "Reset and halt target", sizeof(C.aInitStep[0].acComment));
  PROJECT_DEVICE_BANK aDevBank[PROJECT_MAX_BANKS] = {};
  int n = (C.Device >= 0 && _Dev.pfGetDeviceBanks)
              ? _Dev.pfGetDeviceBanks(C.Device, aDevBank, PROJECT_MAX_BANKS)
              : 0;
  if (n > 0) {
    pD->Flash.NumBanks = (uint32_t)(n > PROJECT_MAX_BANKS ? PROJECT_MAX_BANKS : n);
    for (uint32_t i = 0; i < pD->Flash.NumBanks; i++)
      _InitInternalBank(&pD->Flash.aBank[i], &aDevBank[i]);
  }
  PROJECT_PRODUCTION& P = pD->Prod;
  P.EraseType = 1;
  P.AutoPerformsErase = P.AutoPerformsProgram = P.AutoPerformsVerify = 1;
  P.TargetPowerDelay = 20;
  P.SNAddr = 0;
  P.SNLen = 4;
  P.SNValue = P.SNInc = 1;
  P.TimeoutErase = 15000;
  P.TimeoutProgram = P.TimeoutVerify = 10000;
  P.MonitorVTrefMin = 1000;
  P.MonitorVTrefMax = 5500;
  P.FixedVTref = 3300;
  pD->Perf = PROJECT_PERFORMANCE{1, 1, 1, 0};
  _NormaliseAll(pD.get());
  {
    Guard g;
    _P.D = *pD;
    _P.IsOpen = true;
    UTIL_strcpy(_P.acPath, sPath ? sPath : "", sizeof(_P.acPath));
    _P.HasFileName = _P.acPath[0] != 0;
    _P.ModCount = 1;
    _P.AppVersion = PROJECT_APP_VERSION;
    _P.FileVersion = PROJECT_FILE_VERSION;
    _P.CurBank = -1;
  }
  _Notify();
  return 0;
}

int PROJECT_Load(bool AutoUpdate) {
  if (SETFILE_IsOpen() != 1) {
    APP_ErrorOut("No project file opened.");
    return -1;
  }
  auto pD = std::make_unique<ProjectData>();
  _TableDefaults(pD.get());
  int AppVersion = (int)_ReadNumber(nullptr, "AppVersion", FORM_HEX, 0, kAny, PROJECT_APP_VERSION);
  int FileVersion = (int)_ReadNumber(nullptr, "FileVersion", FORM_HEX, 0, kAny, 1);
  char acThis[32], acFile[32];
  PROJECT_FormatVersion(acThis, sizeof(acThis), PROJECT_APP_VERSION);
  PROJECT_FormatVersion(acFile, sizeof(acFile), AppVersion);
  if (FileVersion > PROJECT_FILE_VERSION) {
    char ac[1024];
    UTIL_sprintf(
        ac, sizeof(ac),
        "The T-Forge project you are trying to open is from a version of T-Forge (%s) which is newer than "
        "this one (%s).\nThe project file cannot be opened due to changes in the project file "
        "format.\n\nT-Forge %s or newer must be used to open this project." PROJECT_DOC_LINE,
        acFile, acThis, acFile);
    APP_ErrorOut(ac);
    APP_LogOutf("Project file format version is %d, %s supports max. file format version %d.", FileVersion,
                "T-Forge", PROJECT_FILE_VERSION);
    return -1;
  }
  if (AppVersion > PROJECT_APP_VERSION) {
    char ac[512];
    UTIL_sprintf(
        ac, sizeof(ac),
        "The T-Forge project was saved with a version of T-Forge (%s) which is newer than this version of "
        "T-Forge (%s).",
        acFile, acThis);
    APP_WarnOut(ac);
  }
  bool HasVerifyType = false;
  _ReadKeys(pD.get(), &HasVerifyType);
  LoadState State;
  PROJECT_PRODUCTION& P = pD->Prod;
  PROJECT_PERFORMANCE& Perf = pD->Perf;
  bool HasBlankSel = false, HasBlankChip = false;
  _ReadNumber("PERFORMANCE", "PerfromBlankCheckPriorEraseSelectedSectors", FORM_HEX, 0, 1, 0, &HasBlankSel);
  _ReadNumber("PERFORMANCE", "PerfromBlankCheckPriorEraseChip", FORM_HEX, 0, 1, 0, &HasBlankChip);
  if (!HasBlankSel || !HasBlankChip) {
    Perf.PerfromBlankCheckPriorEraseChip = 1;
    Perf.PerfromBlankCheckPriorEraseSelectedSectors = P.EraseType == 1 ? 0 : 1;
    if (P.EraseType == 2) P.EraseType = 1;
    if (P.EraseType == 4) P.EraseType = 3;
  }
  // Files from before VerifyType know verification only by the AutoPerforms keys. A file that
  // names VerifyType keeps it: recomputing it would change the project on every save.
  if (!HasVerifyType) {
    uint32_t VerifyCRC = _ReadNumber("PRODUCTION", "AutoPerformsVerifyCRC", FORM_INT, 0, 1, 1);
    if (P.AutoPerformsVerify == 1) {
      Perf.VerifyType = 2;
    } else {
      Perf.VerifyType = 1;
      if (VerifyCRC) P.AutoPerformsVerify = 1;
    }
  }
  PROJECT_CPU& C = pD->CPU;
  bool HasChipName = SETFILE_ReadString("CPU", "ChipName", C.acChipName, sizeof(C.acChipName)) == 0;
  if (FileVersion < 2 && !HasChipName) {
    uint32_t HasInternalFlash = _ReadNumber("CPU", "HasInternalFlash", FORM_INT, 0, 1, 1);
    uint32_t Core = _ReadNumber("CPU", "Core", FORM_HEX, 0, kAny, 0);
    (void)HasInternalFlash; // the banks decide what is internal
    UTIL_strcpy(C.acChipName, _CoreName(Core), sizeof(C.acChipName));
  }
  if (_RenameVendor(C.acChipName, sizeof(C.acChipName), _Dev.pfFindDevice)) State.Modified = true;
  C.Device = -1;
  if (_Dev.pfFindDevice) {
    C.Device = _Dev.pfFindDevice(C.acChipName);
    if (C.Device < 0) {
      char ac[400];
      UTIL_sprintf(ac, sizeof(ac), "Project error: Unknown device specified (%s).", C.acChipName);
      APP_ErrorOut(ac);
    }
  }
  if (!_ReadBanks(pD.get(), FileVersion, AutoUpdate, &State)) return -1;
  if (!_CheckLoaders(pD.get(), &State)) return -1;
  _NormaliseAll(pD.get());
  {
    Guard g;
    _P.D = *pD;
    _P.IsOpen = true;
    const char* sPath = SETFILE_GetPath();
    UTIL_strcpy(_P.acPath, sPath ? sPath : "", sizeof(_P.acPath));
    _P.HasFileName = _P.acPath[0] != 0;
    _P.ModCount = State.Modified ? 1 : 0;
    _P.AppVersion = AppVersion;
    _P.FileVersion = FileVersion;
    _P.CurBank = -1;
  }
  _Notify();
  if (State.BanksUpdated) {
    APP_MsgBox(
        "Please check the flash settings inside the project settings.\nOptions -> Project settings... (Alt + "
        "F7) -> Flash",
        "OK", nullptr, 0, APP_ICON_INFO, 0);
    if (_Dev.pfCheckOverlap) _Dev.pfCheckOverlap();
  }
  return 0;
}

void PROJECT_Write(void) {
  auto pD = std::make_unique<ProjectData>();
  {
    Guard g;
    if (!_P.IsOpen) return;
    *pD = _P.D;
  }
  SETFILE_Clear();
  SETFILE_WriteInt(nullptr, "AppVersion", PROJECT_APP_VERSION);
  SETFILE_WriteInt(nullptr, "FileVersion", PROJECT_FILE_VERSION);
  for (const KeyDef& k : _aKey) {
    switch (k.Kind) {
    case SP_ATE_MODULES:
      SETFILE_WriteBytes(k.sSection, k.sKey, pD->General.aATEModuleSel, sizeof(pD->General.aATEModuleSel));
      break;
    case SP_JTAG_DEVICES:
      for (uint32_t i = 0; i < pD->TIF.NumDevices; i++) {
        char acKey[64];
        UTIL_sprintf(acKey, sizeof(acKey), "Device%u_Name", i);
        SETFILE_WriteString("JTAG", acKey, pD->TIF.aDevice[i].acName);
        UTIL_sprintf(acKey, sizeof(acKey), "Device%u_ID", i);
        SETFILE_WriteHex("JTAG", acKey, pD->TIF.aDevice[i].ID);
        UTIL_sprintf(acKey, sizeof(acKey), "Device%u_IRLen", i);
        SETFILE_WriteHex("JTAG", acKey, pD->TIF.aDevice[i].IRLen);
      }
      break;
    case SP_INIT_STEPS:
    case SP_EXIT_STEPS:
      _WriteSteps(*pD, k.Kind == SP_INIT_STEPS);
      break;
    case SP_IF_SET:
      if (_GetField(*pD, k)) SETFILE_WriteInt(k.sSection, k.sKey, (int)_GetField(*pD, k));
      break;
    default:
      if (k.KeyForm == FORM_STRING) {
        SETFILE_WriteString(k.sSection, k.sKey, _StringField(pD.get(), k));
      } else if (k.KeyForm == FORM_HEX) {
        SETFILE_WriteHex(k.sSection, k.sKey, _GetField(*pD, k));
      } else {
        SETFILE_WriteInt(k.sSection, k.sKey, (int)_GetField(*pD, k));
      }
      break;
    }
    if (std::strcmp(k.sKey, "ChipName") == 0) _WriteBanks(*pD);
  }
}

void PROJECT_Close(void) {
  {
    Guard g;
    _P.IsOpen = false;
    _P.HasFileName = false;
    _P.acPath[0] = 0;
    _P.ModCount = 0;
    _P.CurBank = -1;
  }
  _Notify();
}

void PROJECT_SetPath(const char* sPath) {
  {
    Guard g;
    UTIL_strcpy(_P.acPath, sPath ? sPath : "", sizeof(_P.acPath));
    _P.HasFileName = _P.acPath[0] != 0;
  }
  _Notify();
}

void PROJECT_SetUnmodified(void) {
  bool Changed;
  {
    Guard g;
    Changed = _P.ModCount != 0;
    _P.ModCount = 0;
  }
  if (Changed) _Notify();
}

void PROJECT_SetModified(void) {
  _CountModification();
}

/*********************************************************************
 * Records
 */
int PROJECT_GetGeneral(PROJECT_GENERAL* p) {
  return _Get(_P.D.General, p);
}
int PROJECT_SetGeneral(const PROJECT_GENERAL* p) {
  return _Set(&_P.D.General, p);
}
int PROJECT_GetTIF(PROJECT_TIF* p) {
  return _Get(_P.D.TIF, p);
}
int PROJECT_SetTIF(const PROJECT_TIF* p) {
  return _Set(&_P.D.TIF, p);
}
int PROJECT_GetCPU(PROJECT_CPU* p) {
  return _Get(_P.D.CPU, p);
}
int PROJECT_SetCPU(const PROJECT_CPU* p) {
  return _Set(&_P.D.CPU, p);
}
int PROJECT_GetFlash(PROJECT_FLASH* p) {
  int r = _Get(_P.D.Flash, p);
  if (r < 0 && p) p->NumBanks = 1;
  return r;
}
int PROJECT_SetFlash(const PROJECT_FLASH* p) {
  return _Set(&_P.D.Flash, p);
}
int PROJECT_GetProduction(PROJECT_PRODUCTION* p) {
  return _Get(_P.D.Prod, p);
}
int PROJECT_SetProduction(const PROJECT_PRODUCTION* p) {
  return _Set(&_P.D.Prod, p);
}
int PROJECT_GetPerformance(PROJECT_PERFORMANCE* p) {
  return _Get(_P.D.Perf, p);
}
int PROJECT_SetPerformance(const PROJECT_PERFORMANCE* p) {
  return _Set(&_P.D.Perf, p);
}

/*********************************************************************
 * Convenience reads
 */
bool PROJECT_IsOpen(void) {
  Guard g;
  return _P.IsOpen;
}

void PROJECT_GetPath(char* sDest, int DestSize) {
  Guard g;
  UTIL_strcpy(sDest, (_P.IsOpen && _P.acPath[0]) ? _P.acPath : PROJECT_NEW_NAME, DestSize);
}

bool PROJECT_HasFileName(void) {
  Guard g;
  return _P.IsOpen && _P.HasFileName;
}

bool PROJECT_IsModified(void) {
  Guard g;
  return _P.IsOpen && _P.ModCount != 0;
}

int PROJECT_GetModCount(void) {
  Guard g;
  return _P.ModCount;
}

int PROJECT_GetFileVersion(void) {
  Guard g;
  return _P.FileVersion;
}

int PROJECT_GetAppVersion(void) {
  Guard g;
  return _P.AppVersion;
}

int PROJECT_GetNumBanks(void) {
  Guard g;
  return _P.IsOpen ? (int)_P.D.Flash.NumBanks : 0;
}

uint32_t PROJECT_GetBankBaseAddr(int Bank) {
  Guard g;
  if (!_P.IsOpen || Bank < 0 || Bank >= (int)_P.D.Flash.NumBanks) return 0;
  return _P.D.Flash.aBank[Bank].BaseAddr;
}

void PROJECT_GetBankLoader(int Bank, char* sDest, int DestSize) {
  Guard g;
  if (!_P.IsOpen || Bank < 0 || Bank >= (int)_P.D.Flash.NumBanks) {
    UTIL_strcpy(sDest, "", DestSize);
    return;
  }
  UTIL_strcpy(sDest, _P.D.Flash.aBank[Bank].acLoaderName, DestSize);
}

int PROJECT_GetCurBank(void) {
  Guard g;
  return _P.CurBank;
}

void PROJECT_SetCurBank(int Bank) {
  Guard g;
  _P.CurBank = Bank;
}

bool PROJECT_IsSectorSelected(int Bank, uint32_t Sector) {
  Guard g;
  if (!_P.IsOpen || Bank < 0 || Bank >= (int)_P.D.Flash.NumBanks) return false;
  const PROJECT_BANK& b = _P.D.Flash.aBank[Bank];
  if (!b.HasLayout) return true;
  if (b.BankSelMode == 0) return b.StartSector <= Sector && Sector <= b.EndSector;
  return Sector < PROJECT_MAX_SECTORS && UTIL_TestBit(b.abSectorSel, (int)Sector);
}

uint32_t PROJECT_RoundRAMSize(uint32_t RAMSize, uint32_t DeviceRAMSize) {
  const uint32_t kMaxRAM = 1024 * 1024;
  uint32_t Limit = (DeviceRAMSize == 0 || DeviceRAMSize > kMaxRAM) ? kMaxRAM : DeviceRAMSize;
  if (RAMSize > Limit) RAMSize = Limit;
  uint32_t DeviceRounded = DeviceRAMSize / 1024 * 1024;
  if (DeviceRounded < 1024) DeviceRounded = 1024;
  if (RAMSize == DeviceRounded) return RAMSize;
  static const uint16_t aStepKB[] = {1024, 768, 512, 384, 256, 192, 128, 96, 64, 48,
                                     32,   24,  16,  12,  8,   6,   4,   2,  1};
  for (uint16_t KB : aStepKB) {
    if ((uint32_t)KB * 1024 <= RAMSize) return (uint32_t)KB * 1024;
  }
  return 1024;
}

void PROJECT_FormatVersion(char* sDest, int DestSize, int Version) {
  APP_FormatLibraryVersion(sDest, DestSize, Version);
}

/*********************************************************************
 * Data file
 */
namespace {

// The project's directory with trailing '/', or "" for a project without a file name.
void _ProjectDir(char* sDest, int DestSize) {
  sDest[0] = 0;
  if (_P.HasFileName) SYS_PATH_GetDir(sDest, DestSize, _P.acPath);
}

void _WithExtension(char* sDest, int DestSize, const char* sSuffix) {
  Guard g;
  char acDir[PROJECT_PATH_SIZE] = "", acName[PROJECT_PATH_SIZE] = PROJECT_NEW_NAME;
  if (_P.IsOpen && _P.HasFileName) {
    SYS_PATH_GetDir(acDir, sizeof(acDir), _P.acPath);
    SYS_PATH_GetName(acName, sizeof(acName), _P.acPath);
  }
  UTIL_sprintf(sDest, DestSize, "%s%s%s.txt", acDir, acName, sSuffix);
}

} // namespace

int PROJECT_SetDataFile(const char* sPath, uint32_t StartAddr) {
  if (sPath == nullptr) return -1;
  if (std::strlen(sPath) >= sizeof(PROJECT_GENERAL::acCurrentFile)) {
    APP_ErrorOut("Too large file name.");
    return -1;
  }
  bool Changed = false;
  {
    Guard g;
    if (!_P.IsOpen) {
      APP_ErrorOut("No project file opened.");
      return -1;
    }
    char acDir[PROJECT_PATH_SIZE];
    _ProjectDir(acDir, sizeof(acDir));
    size_t n = std::strlen(acDir);
    const char* sStored = (n && std::strncmp(sPath, acDir, n) == 0) ? sPath + n : sPath;
    PROJECT_GENERAL& G = _P.D.General;
    if (G.DataFileSAddr != StartAddr) {
      G.DataFileSAddr = StartAddr;
      Changed = true;
    }
    if (std::strcmp(G.acCurrentFile, sStored) != 0) {
      std::memset(G.acCurrentFile, 0, sizeof(G.acCurrentFile));
      UTIL_strcpy(G.acCurrentFile, sStored, sizeof(G.acCurrentFile));
      Changed = true;
    }
    if (Changed) _P.ModCount++;
  }
  if (Changed) _Notify();
  return Changed ? 1 : 0;
}

int PROJECT_GetDataFile(char* sPath, int PathSize, uint32_t* pStartAddr) {
  Guard g;
  sPath[0] = 0;
  if (!_P.IsOpen) return -1;
  if (pStartAddr) *pStartAddr = _P.D.General.DataFileSAddr;
  if (_P.D.General.acCurrentFile[0] == 0) return 0;
  char acFile[PROJECT_PATH_SIZE];
  UTIL_strcpy(acFile, _P.D.General.acCurrentFile, sizeof(acFile));
  SYS_PATH_ToNative(acFile);
  char acDir[PROJECT_PATH_SIZE];
  _ProjectDir(acDir, sizeof(acDir));
  if (SYS_PATH_IsAbsolute(acFile) || acDir[0] == 0) {
    UTIL_strcpy(sPath, acFile, PathSize);
  } else {
    SYS_PATH_Resolve(sPath, PathSize, acDir, acFile);
  }
  return 0;
}

void PROJECT_GetSerialFileName(char* sDest, int DestSize) {
  _WithExtension(sDest, DestSize, "_Serial");
}
void PROJECT_GetSNListFileName(char* sDest, int DestSize) {
  _WithExtension(sDest, DestSize, "_SNList");
}
