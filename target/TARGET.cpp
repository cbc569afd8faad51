/*
 * TARGET - connect and disconnect.
 */
#include "target/TARGET.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>

#include "core/APP.h"
#include "core/APP_GUI.h"
#include "core/APP_Log.h"
#include "data/DATAIMAGE.h"
#include "data/DATAJOBS.h"
#include "mcudb/MCUDB.h"
#include "probe/PROBE.h"
#include "project/PROJECT.h"
#include "project/SETTINGS.h"
#include "sys/SYS.h"
#include "sys/UTIL.h"
#include "project/STEPS.h"
#include "target/TARGET_Steps.h"

namespace {

constexpr uint32_t kActionHalt = 5;

TARGET_HOOKS _Hooks;
// Written on the worker thread, and by the voltage monitor's disconnect.
std::atomic<bool> _ProbeOpen{false};
std::atomic<bool> _IsGang{false};
std::atomic<bool> _Connected{false};
uint32_t _CPUClock;
TARGET_TIMEOUTS _Timeouts = {15000, 10000, 5000, 5000, 5000};
// Target power as the connect found it: a disconnect after the project has gone still
// switches it off.
std::atomic<bool> _TargetPower{false};
std::string _Message; // failure text of the connect sequence

void _ProbeLog(const char* sText) { APP_LogOut(sText); }
std::string _LastProbeError;
void _ProbeErrorOut(const char* sText) {
  _LastProbeError = sText ? sText : "";
  APP_ErrorOut(sText);
}

void _SetStatus(int Field, const char* sText) {
  if (APP_GUI_REQUESTS* pGUI = APP_GetGUI()) pGUI->SetStatusField(Field, sText);
}

// The settings the project information shows beside device and banks.
void _FillProjectInfoSettings(ProjectInfoRecord* r, const PROJECT_CPU& Cpu) {
  PROJECT_GENERAL G;
  PROJECT_GetGeneral(&G);
  r->ConnectMode = G.ConnectMode;
  r->USBPort = G.USBPort;
  r->USBSerialNo = G.USBSerialNo;
  UTIL_strcpy(r->acHostName, G.acHostName, sizeof(r->acHostName));
  r->UseATEModuleSelection = G.UseATEModuleSelection != 0;
  std::memcpy(r->aATEModuleSel, G.aATEModuleSel, sizeof(r->aATEModuleSel));
  auto pTIF = std::make_unique<PROJECT_TIF>();
  PROJECT_GetTIF(pTIF.get());
  r->TargetIF = pTIF->TargetIF;
  r->UseAdaptive0 = pTIF->UseAdaptive0 != 0;
  r->UseAdaptive1 = pTIF->UseAdaptive1 != 0;
  r->UseMaxSpeed0 = pTIF->UseMaxSpeed0 != 0;
  r->UseMaxSpeed1 = pTIF->UseMaxSpeed1 != 0;
  r->Speed0 = pTIF->Speed0;
  r->Speed1 = pTIF->Speed1;
  r->MultipleTargets = pTIF->MultipleTargets != 0;
  r->TAP_Number = pTIF->TAP_Number;
  r->IRLen = pTIF->IRLen;
  r->EndianMode = Cpu.EndianMode != 0;
  r->UseAutoSpeed = Cpu.UseAutoSpeed != 0;
  r->CheckCoreID = Cpu.CheckCoreID != 0;
  r->ClockSpeed = Cpu.ClockSpeed;
  r->CoreID = Cpu.CoreID;
  r->RAMAddr = Cpu.RAMAddr;
  r->RAMSize = Cpu.RAMSize;
  if (Cpu.Device < 0) return;
  MCUDB_GetCoreName(MCUDB_GetCore(Cpu.Device), r->acCoreName, sizeof(r->acCoreName));
  // A device the database names properly, or one with flash, is shown as the MCU; else only its core.
  const char* sManu = MCUDB_GetManufacturer(Cpu.Device);
  bool Named = sManu && std::strcmp(sManu, "Unknown") != 0 && std::strcmp(sManu, "Unspecified") != 0;
  int NumBanks = MCUDB_GetNumBanks(Cpu.Device);
  if (Named || NumBanks > 0) MCUDB_GetDisplayName(Cpu.Device, r->acDevice, sizeof(r->acDevice));
  for (int i = 0; i < NumBanks; i++) {
    const MCUDB_BANK* pBank = MCUDB_GetBank(Cpu.Device, i);
    if (pBank && pBank->LoaderKind >= 4 && pBank->LoaderKind <= 8) r->HasClockSpeed = 1;
  }
}

// Loader, external device, organisation and sector selection of one bank.
void _FillProjectInfoBank(ProjectInfoBank* d, const PROJECT_BANK& b, int Bank, int Device) {
  d->HasLayout = b.HasLayout;
  d->AutoDetect = b.AutoDetect;
  d->CheckId = b.CheckId;
  d->OrgNumBits = b.OrgNumBits;
  d->OrgNumChips = b.OrgNumChips;
  UTIL_strcpy(d->acLoaderName, b.acLoaderName, sizeof(d->acLoaderName));
  UTIL_strcpy(d->acDeviceName, b.acDeviceName, sizeof(d->acDeviceName));
  FLASH_DEVICE Dev;
  if (!b.IsInternal && b.Device >= 0 && FLASHDEV_GetDevice(b.Device, &Dev) == 0) {
    FLASHDEV_GetDisplayName(b.Device, d->acDeviceName, sizeof(d->acDeviceName));
    d->FlashId = b.OrgNumBits == 8 ? Dev.Id8 : Dev.Id16;
  }
  const PROJECT_DEVICE_HOOKS* pHooks = PROJECT_GetDeviceHooks();
  int NumSectors = (pHooks && pHooks->pfGetBankNumSectors) ? pHooks->pfGetBankNumSectors(Device, &b) : -1;
  d->NumSectors = NumSectors;
  d->NumSelected = 0;
  for (int n = 0; n < NumSectors; n++) d->NumSelected += PROJECT_IsSectorSelected(Bank, (uint32_t)n);
}

} // namespace

// The project information of the main window: the project, its device and core, the banks.
void TARGET_RefreshProjectInfo(void) {
  APP_GUI_REQUESTS* pGUI = APP_GetGUI();
  if (pGUI == nullptr) return;
  ProjectInfoRecord r{};
  r.ProjectOpen = PROJECT_IsOpen();
  if (r.ProjectOpen) {
    char acPath[512];
    PROJECT_GetPath(acPath, sizeof(acPath));
    const char* sName = PROJECT_HasFileName() ? std::strrchr(acPath, '/') : nullptr;
    std::string Name = sName ? sName + 1 : acPath;
    size_t Dot = PROJECT_HasFileName() ? Name.rfind('.') : std::string::npos;
    if (Dot != std::string::npos && Dot > 0) Name.resize(Dot);
    UTIL_strcpy(r.acProjectName, Name.c_str(), sizeof(r.acProjectName));
    PROJECT_CPU Cpu;
    PROJECT_GetCPU(&Cpu);
    _FillProjectInfoSettings(&r, Cpu);
    PROJECT_FLASH Flash;
    PROJECT_GetFlash(&Flash);
    r.NumBanks = (int)std::min<uint32_t>(Flash.NumBanks, APP_PROJINFO_MAX_BANKS);
    for (int i = 0; i < r.NumBanks; i++) {
      const PROJECT_BANK& b = Flash.aBank[i];
      ProjectInfoBank& d = r.aBank[i];
      UTIL_strcpy(d.acName, b.acBankName, sizeof(d.acName));
      d.BaseAddr = b.BaseAddr;
      d.IsInternal = b.IsInternal;
      d.Disabled = b.Disabled;
      uint64_t Size = 0;
      bool Known = b.IsInternal ? MCUDB_GetBankSize(Cpu.Device, i, b.acLoaderName, false, &Size) == 0
                                : b.Device >= 0 && FLASHDEV_GetSize(b.Device, b.OrgNumChips, false, &Size) == 0;
      d.Size = Known ? Size : 0;
      _FillProjectInfoBank(&d, b, i, Cpu.Device);
    }
  }
  pGUI->UpdateProjectInfo(&r);
}

namespace {

void _UpdateMenuBar(void) {
  if (_Hooks.pfUpdateMenuBar) _Hooks.pfUpdateMenuBar();
}

void _EnableGUI(bool On) {
  if (APP_GUI_REQUESTS* pGUI = APP_GetGUI()) pGUI->EnableGUI(On);
}

// A probe library command; its negative result leaves the library's text in sError.
int _Exec(const char* sCommand, std::string* pError = nullptr) {
  char acError[256] = "";
  int r = XRELAYARM_ExecCommand(sCommand, acError, sizeof(acError));
  if (r < 0 && pError) *pError = acError[0] ? acError : sCommand;
  return r;
}

bool _TargetPowerEnabled(const PROJECT_PRODUCTION& Prod) { return Prod.EnableTargetPower != 0; }

void _GetConnection(int* pKind, uint32_t* pNumber, std::string* pHost) {
  PROJECT_GENERAL G;
  PROJECT_GetGeneral(&G);
  char acHost[128];
  UTIL_strcpy(acHost, G.acHostName, sizeof(acHost));
  *pKind = (int)G.ConnectMode;
  *pNumber = G.ConnectMode == 1 ? G.USBSerialNo : G.USBPort;
  if (_Hooks.pfGetConnection) _Hooks.pfGetConnection(pKind, pNumber, acHost, sizeof(acHost));
  *pHost = acHost;
}

bool _OpenProbeNow(bool SelectInterface, bool Verbose) {
  char acLog[512] = "";
  if (SETTINGS_GetEnableXRelayLog()) SETTINGS_GetXRelayLogFile(acLog, sizeof(acLog));
  XRELAYARM_SetLogFile(acLog[0] ? acLog : nullptr);
  int Kind;
  uint32_t Number;
  std::string Host;
  _GetConnection(&Kind, &Number, &Host);
  if (Kind == 1) {
    if (Verbose) APP_LogOutf("Connecting via USB to probe/ programmer with SN %d", (int)Number);
    if (XRELAYARM_EMU_SelectByUSBSN(Number) == -1) {
      APP_ErrorOutf("Probe/ Programmer with SN %d not found.\nCheck the project settings and your connected probe/ "
                    "programmer.",
                    (int)Number);
      return false;
    }
  } else if (Kind == 2) {
    if (Verbose) APP_LogOutf("Connecting via TCP/IP to %s", Host.c_str());
    XRELAYARM_SelectIP(Host.c_str(), 0);
  } else {
    if (Verbose) APP_LogOutf("Connecting via USB to probe/ programmer device %d", (int)Number);
    XRELAYARM_SelectUSB((int)Number);
  }
  if (const char* sError = XRELAYARM_OpenEx(_ProbeLog, _ProbeErrorOut)) {
    APP_ErrorOut(sError);
    return false;
  }
  char acFirmware[321] = "";
  XRELAYARM_GetFirmwareString(acFirmware, sizeof(acFirmware));
  int SN = XRELAYARM_GetSN();
  if (Verbose) {
    APP_LogOutf("Probe/ Programmer firmware: %s", acFirmware);
    APP_LogOutf("Probe/ Programmer S/N: %d", SN);
  }
  if (PROJECT_IsOpen()) {
    PROJECT_CPU Cpu;
    PROJECT_GetCPU(&Cpu);
    if (Cpu.UseScriptFile && Cpu.acScriptFile[0]) {
      std::string Path = Cpu.acScriptFile;
      if (Path[0] != '/') {
        char acProject[512];
        PROJECT_GetPath(acProject, sizeof(acProject));
        std::string Dir = acProject;
        size_t Slash = Dir.rfind('/');
        if (Slash != std::string::npos) Path = Dir.substr(0, Slash + 1) + Path;
      }
      _Exec(("scriptfile = \"" + Path + "\"").c_str());
    }
    if (SelectInterface) {
      PROJECT_TIF Tif;
      PROJECT_GetTIF(&Tif);
      XRELAYARM_TIF_Select((int)Tif.TargetIF);
    }
  }
  _ProbeOpen = true;
  int Product = XRELAYARM_EMU_GetProductId();
  _IsGang = Product == 41 || Product == 42;
  return true;
}

// Opens the probe unless it is open; the GUI is disabled meanwhile.
bool _OpenProbe(bool SelectInterface, bool Verbose) {
  if (_ProbeOpen) return true;
  _EnableGUI(false);
  bool Open = _OpenProbeNow(SelectInterface, Verbose);
  _EnableGUI(true);
  return Open;
}

// Interface speed with the settings of index i (0 before the init sequence, 1 after it).
void _SetSpeed(const PROJECT_TIF& Tif, int i) {
  bool UseMax = (i ? Tif.UseMaxSpeed1 : Tif.UseMaxSpeed0) != 0;
  bool Adaptive = (i ? Tif.UseAdaptive1 : Tif.UseAdaptive0) != 0;
  uint32_t Speed = i ? Tif.Speed1 : Tif.Speed0;
  if (UseMax) {
    XRELAYARM_SetMaxSpeed();
  } else {
    XRELAYARM_SetSpeed(Speed);
    if (Adaptive) XRELAYARM_SetSpeed(XRELAYARM_SPEED_ADAPTIVE);
  }
  int Actual = XRELAYARM_GetSpeed();
  if (Actual == -1) {
    APP_LogOut("Using adaptive clocking instead of fixed JTAG speed");
    return;
  }
  if (Adaptive && !UseMax) APP_LogOut("The connected probe/ programmer does not support adaptive clocking");
  APP_LogOutf("Target interface speed: %d kHz (%s)", Actual, UseMax ? "Auto" : "Fixed");
}

// Whether a flash algorithm of the device is handed the CPU clock: every bank of the database
// runs one that is.
bool _NeedsCPUClock(int Device) { return Device >= 0 && MCUDB_GetNumBanks(Device) > 0; }

// CPU clock: measured, or the project's ClockSpeed checked against the measurement.
void _DetermineClock(const PROJECT_CPU& Cpu) {
  _CPUClock = 0;
  int Errors = APP_GetErrorCount();
  if (!_NeedsCPUClock(Cpu.Device)) return;
  uint32_t Clock = Cpu.ClockSpeed;
  char acSuffix[64] = "";
  if (Cpu.RAMSize != 0) {
    int m = XRELAYARM_MeasureCPUSpeed(Cpu.RAMAddr, 0);
    if (Cpu.UseAutoSpeed) {
      if (m == 0) {
        APP_ErrorOut("Auto detection of CPU clock frequency is not supported for this core by Stamper in stand-alone mode");
      } else if (m < 0) {
        APP_ErrorOut("Failed to measure CPU clock frequency");
      } else {
        Clock = (uint32_t)m;
        UTIL_strcpy(acSuffix, " (Auto detected)", sizeof(acSuffix));
      }
    } else if (m > 0 && Clock > 0) {
      float q = ((float)m + (float)Clock) / (float)Clock;
      char ac[160];
      if (q < 1.8f) {
        UTIL_sprintf(ac, sizeof(ac),
                     "Measured CPU clock frequency is lower than selected. (Measured: %d kHz, Selected: %d kHz)",
                     m / 1000, (int)(Clock / 1000));
        APP_WarnOut(ac);
      } else if (q > 2.1f) {
        UTIL_sprintf(ac, sizeof(ac),
                     "Measured CPU clock frequency is higher than selected. (Measured: %d kHz, Selected: %d kHz)",
                     m / 1000, (int)(Clock / 1000));
        APP_WarnOut(ac);
      }
      UTIL_sprintf(acSuffix, sizeof(acSuffix), " (Measured: %d kHz)", m / 1000);
    } else if (m < 0) {
      APP_WarnOut("Failed to measure CPU clock frequency");
      UTIL_strcpy(acSuffix, " (Not verified)", sizeof(acSuffix));
    }
  }
  _CPUClock = Clock;
  if (APP_GetErrorCount() == Errors) APP_LogOutf("CPU clock frequency: %d kHz%s", (int)(Clock / 1000), acSuffix);
}

// Core ID check; false on failure (reported).
bool _CheckCoreID(const PROJECT_CPU& Cpu, const PROJECT_TIF& Tif, uint32_t CoreWord) {
  if (Tif.TargetIF != 0 && Tif.TargetIF != 1 && Tif.TargetIF != 7) return true;
  int Family = XRELAYARM_GetDeviceFamily();
  if (Family == 2) return true;
  XRELAYARM_ID_DATA Id;
  std::memset(&Id, 0, sizeof(Id));
  if (XRELAYARM_GetIdData(&Id) < 0) return false;
  uint32_t CoreId = Id.CoreId;
  if (Cpu.CheckCoreID) {
    if (CoreId != 0 && ((CoreId & 1) == 0 || CoreId == 0xFFFFFFFFu)) {
      APP_ErrorOutf("Invalid core ID. (0x%.8X)", CoreId);
      return false;
    }
    // No ID (a core that does not tell) is no mismatch either.
    if (CoreId != 0 && (CoreId & Cpu.CoreIDMask) != (Cpu.CoreID & Cpu.CoreIDMask)) {
      char ac[160];
      UTIL_sprintf(ac, sizeof(ac), "Unexpected core ID. (Found: 0x%.8X, Expected: 0x%.8X, Mask: 0x%.8X)", CoreId,
                   Cpu.CoreID, Cpu.CoreIDMask);
      APP_WarnOut(ac);
    }
  }
  char acCore[64] = "";
  if (Family > 0) {
    XRELAYARM_Core2CoreName(CoreWord, acCore, sizeof(acCore));
  } else {
    UTIL_strcpy(acCore, Id.IsARM9 ? "ARM9" : "ARM7", sizeof(acCore));
  }
  APP_LogOutf("Found %d JTAG device%s. Core ID: 0x%.8X (%s)", (int)Id.NumDevices, Id.NumDevices > 1 ? "s" : "",
              CoreId, acCore);
  return true;
}

// The ID code: the command line's override, else for an RX core the 16 bytes of the open data
// image where the device keeps its ID code, when the image holds all of them.
void _SendIDCode(uint32_t CoreWord) {
  const char* sIDCode = _Hooks.pfGetIDCode ? _Hooks.pfGetIDCode() : "";
  if (sIDCode && sIDCode[0]) {
    _Exec((std::string("SetRXIDCode = ") + sIDCode).c_str());
    return;
  }
  DataImage* pImage = DATAJOBS_GetCurImage();
  if ((CoreWord >> 24) != 13 || pImage == nullptr) return;
  uint32_t Addr = 0xFFFFFFA0u;
  if (CoreWord == 0x0D09FFFFu) Addr = 0xFE7F5D50u;
  if (CoreWord == 0x0D30FFFFu || CoreWord == 0x0D31FFFFu) Addr = 0x00120050u;
  uint8_t ab[16];
  for (uint32_t i = 0; i < 16; i++) {
    if (DATAIMAGE_GetByte(pImage, Addr + i, &ab[i]) < 0) return;
  }
  std::string Command = "SetRXIDCode = ";
  for (int w = 0; w < 4; w++) {
    char ac[9];
    UTIL_sprintf(ac, sizeof(ac), "%.2X%.2X%.2X%.2X", ab[4 * w + 3], ab[4 * w + 2], ab[4 * w + 1], ab[4 * w]);
    Command += ac;
  }
  _Exec(Command.c_str());
}

// The connect sequence; false with _Message set on failure.
bool _ConnectSequence(void) {
  PROJECT_CPU Cpu;
  PROJECT_TIF Tif;
  PROJECT_PRODUCTION Prod;
  PROJECT_GetCPU(&Cpu);
  PROJECT_GetTIF(&Tif);
  PROJECT_GetProduction(&Prod);
  if (_Hooks.pfSetVMonLimits) _Hooks.pfSetVMonLimits(Prod.MonitorVTref != 0, (int)Prod.MonitorVTrefMin,
                                                     (int)Prod.MonitorVTrefMax);
  int ErrorsAtStart = APP_GetErrorCount();
  if (!_OpenProbe(true, true)) {
    _Message = "Failed to connect.\nCould not establish a connection to the X-Relay.";
    return false;
  }
  if (Prod.EnableFixedVTref) {
    char ac[64];
    UTIL_sprintf(ac, sizeof(ac), "SetVTrefTmp %d", (int)Prod.FixedVTref);
    _Exec(ac);
  }
  uint32_t CoreWord = Cpu.Device >= 0 ? MCUDB_GetCore(Cpu.Device) : 0;
  _LastProbeError.clear();
  if (XRELAYARM_CORE_Select(CoreWord) < 0) {
    _Message = _LastProbeError.empty() ? "Failed to connect." : _LastProbeError;
    return false;
  }
  const char* sDevice = Cpu.Device >= 0 ? MCUDB_GetDeviceName(Cpu.Device) : nullptr;
  std::string Error;
  if (_Exec((std::string("Device = ") + (sDevice ? sDevice : Cpu.acChipName)).c_str(), &Error) < 0) {
    _Message = Error;
    return false;
  }
  if (_TargetPowerEnabled(Prod)) {
    _Exec("SupplyPower = 1");
    SYS_Sleep((int)Prod.TargetPowerDelay);
  }
  _Exec("ExcludeFlashCacheRange 0x0-0xFFFFFFFF");
  _Exec("SetEnableMemCache  0");
  _Exec("SetAllowFlashCache 0");
  _SendIDCode(CoreWord);
  TARGET_ConfigureChain(Tif);
  XRELAYARM_SetEndian(Cpu.EndianMode == 1 ? 1 : 0);
  _SetSpeed(Tif, 0);
  XRELAYARM_HW_STATUS Hw;
  std::memset(&Hw, 0, sizeof(Hw));
  if (XRELAYARM_GetHWStatus(&Hw) >= 0) APP_LogOutf("VTarget = %d.%.3dV", Hw.VTarget / 1000, Hw.VTarget % 1000);
  if (XRELAYARM_Connect() < 0) {
    _Message = "Failed to connect.\nCould not establish a connection to target.";
    return false;
  }
  uint32_t First = Cpu.NumInitSteps ? Cpu.aInitStep[0].Action : (uint32_t)STEPS_NUM_ACTIONS;
  if (First != STEPS_ACTION_RESET && First != kActionHalt) XRELAYARM_Halt();
  if (STEPS_Execute(STEPS_SEQ_INIT) < 0) {
    _Message = "Failed to connect.\nCould not perform custom init sequence.";
    return false;
  }
  _SetSpeed(Tif, 1);
  int Errors = APP_GetErrorCount();
  _DetermineClock(Cpu);
  if (APP_GetErrorCount() != Errors) {
    _Message = "Failed to connect.\nCould not determine CPU clock frequency.";
    return false;
  }
  if (!_CheckCoreID(Cpu, Tif, CoreWord)) {
    _Message = "Failed to connect.\nFailed to verify core Id.";
    return false;
  }
  char ac[64];
  uint32_t Id = XRELAYARM_GetId();
  int Speed = XRELAYARM_GetSpeed();
  if (APP_GetErrorCount() != ErrorsAtStart) {
    // The probe library reported a failure on the way (a probe that went away, ...).
    _Message = "Failed to connect.\nCould not establish a connection to target.";
    return false;
  }
  _SetStatus(APP_STATUS_CONNECTION, "Connected");
  UTIL_sprintf(ac, sizeof(ac), "Core Id: 0x%.8X", Id);
  _SetStatus(APP_STATUS_COREID, ac);
  if (Speed == -1) {
    UTIL_strcpy(ac, "Adaptive clocking", sizeof(ac));
  } else {
    UTIL_sprintf(ac, sizeof(ac), "Speed: %d kHz", Speed);
  }
  _SetStatus(APP_STATUS_SPEED, ac);
  _SetStatus(APP_STATUS_GENERAL, "Ready");
  _Connected = true;
  return true;
}

void _ChainBox(bool Failed, const char* sText) {
  char acTitle[128];
  UTIL_sprintf(acTitle, sizeof(acTitle), Failed ? "%s - Error" : "%s - JTAG scan chain verification", APP_PRODUCT_NAME);
  APP_ShowMsgBox(acTitle, nullptr, sText, "O.K.", nullptr, 0, nullptr, nullptr,
                 Failed ? APP_ICON_CRITICAL : APP_ICON_INFO, 0, 0);
}

// The chain jobs' start: a bare connection with the dialog's interface and speed, and the scan
// of the chain. 0, or -1 with the failure text in sError.
int _ScanChain(const TARGET_CHAIN_PARAMS& Params, XRELAYARM_ID_DATA* pId, char* sError, int ErrorSize) {
  const PROJECT_TIF& Tif = *Params.pTIF;
  if (const char* s = TARGET_QuickConnect((int)Tif.TargetIF, Params.Device, Tif.Speed0)) {
    UTIL_strcpy(sError, s, ErrorSize);
    return -1;
  }
  std::memset(pId, 0, sizeof(*pId));
  XRELAYARM_GetIdData(pId);
  return 0;
}

// "Verify JTAG scan chain": the devices found against the configured chain.
void _VerifyChainJob(JobContext* pContext) {
  const TARGET_CHAIN_PARAMS* p = static_cast<const TARGET_CHAIN_PARAMS*>(pContext->pParams);
  const PROJECT_TIF& Tif = *p->pTIF;
  char ac[256] = "";
  XRELAYARM_ID_DATA Id;
  if (_ScanChain(*p, &Id, ac, sizeof(ac)) == 0) {
    if ((uint32_t)Id.NumDevices != Tif.NumDevices) {
      UTIL_sprintf(ac, sizeof(ac), "Number of devices does not match configuration. (Expected = %d, Found = %d)",
                   (int)Tif.NumDevices, (int)Id.NumDevices);
    }
    for (uint32_t i = 0; ac[0] == 0 && i < Tif.NumDevices && i < (uint32_t)PROJECT_MAX_JTAG_DEVICES; i++) {
      uint32_t Found = XRELAYARM_JTAG_GetDeviceId(i);
      if (Found != Tif.aDevice[i].ID) {
        UTIL_sprintf(ac, sizeof(ac), "Id of device %d does not match configuration. (Expected = 0x%.8X, Found = 0x%.8X)",
                     (int)i, Tif.aDevice[i].ID, Found);
      }
    }
  }
  TARGET_CloseProbe();
  _ChainBox(ac[0] != 0, ac[0] ? ac : "Configuration verified successfully");
  pContext->Result = ac[0] ? -1 : 0;
}

// "Detect JTAG scan chain": fills the dialog's chain with what the probe finds.
void _DetectChainJob(JobContext* pContext) {
  const TARGET_CHAIN_PARAMS* p = static_cast<const TARGET_CHAIN_PARAMS*>(pContext->pParams);
  PROJECT_TIF& Tif = *p->pTIF;
  Tif.NumDevices = 0;
  Tif.IRLen = 0;
  Tif.TAP_Number = 0;
  char ac[256] = "";
  XRELAYARM_ID_DATA Id;
  if (_ScanChain(*p, &Id, ac, sizeof(ac)) == 0) {
    int n = Id.NumDevices < 0 ? 0 : Id.NumDevices;
    if (n > PROJECT_MAX_JTAG_DEVICES) {
      UTIL_sprintf(ac, sizeof(ac), "Too many devices in JTAG chain. Max. supported: %d, found: %d",
                   (int)PROJECT_MAX_JTAG_DEVICES, n);
      n = PROJECT_MAX_JTAG_DEVICES;
    }
    for (int i = 0; i < n; i++) {
      PROJECT_JTAG_DEVICE& d = Tif.aDevice[i];
      int IRLen = XRELAYARM_JTAG_GetDeviceInfo((uint32_t)i, d.acName, sizeof(d.acName));
      d.IRLen = IRLen < 0 ? 0 : (uint32_t)IRLen;
      d.ID = XRELAYARM_JTAG_GetDeviceId((uint32_t)i);
    }
    Tif.NumDevices = (uint32_t)n;
  }
  TARGET_CloseProbe();
  if (ac[0]) _ChainBox(true, ac);
  pContext->Result = ac[0] ? -1 : 0;
}

void _ConnectJob(JobContext* pContext) { pContext->Result = TARGET_Connect() ? -1 : 0; }
void _DisconnectJob(JobContext* pContext) {
  TARGET_Disconnect();
  pContext->Result = 0;
}

} // namespace

void TARGET_SetHooks(const TARGET_HOOKS* pHooks) {
  if (pHooks) {
    _Hooks = *pHooks;
  } else {
    _Hooks = TARGET_HOOKS{};
  }
}

void TARGET_InstallJobs(void) {
  APP_SetJobHandler(JOB_CONNECT, _ConnectJob);
  APP_SetJobHandler(JOB_DISCONNECT, _DisconnectJob);
  APP_SetJobHandler(JOB_VERIFY_JTAG_CHAIN, _VerifyChainJob);
  APP_SetJobHandler(JOB_DETECT_JTAG_CHAIN, _DetectChainJob);
  APP_SetDisconnectHandler(TARGET_Disconnect);
}

bool TARGET_OpenProbe(bool SelectInterface, bool Verbose) { return _OpenProbe(SelectInterface, Verbose); }

void TARGET_CloseProbe(void) {
  if (_ProbeOpen) XRELAYARM_Close();
  _ProbeOpen = false;
  _IsGang = false;
}

void TARGET_ConfigureChain(const PROJECT_TIF& Tif) {
  if (Tif.MultipleTargets == 2) {
    XRELAYARM_JTAG_DEVICE_CONF aConf[PROJECT_MAX_JTAG_DEVICES];
    uint32_t n = Tif.NumDevices < (uint32_t)PROJECT_MAX_JTAG_DEVICES ? Tif.NumDevices : (uint32_t)PROJECT_MAX_JTAG_DEVICES;
    for (uint32_t i = 0; i < n; i++) {
      aConf[i] = XRELAYARM_JTAG_DEVICE_CONF{20, Tif.aDevice[i].IRLen, 0, Tif.aDevice[i].ID, Tif.aDevice[i].acName};
    }
    XRELAYARM_JTAG_ConfigDevices(n, aConf);
  }
  if (Tif.MultipleTargets == 1 || Tif.MultipleTargets == 2) {
    XRELAYARM_ConfigJTAG((int)Tif.IRLen, (int)Tif.TAP_Number);
  }
}

bool TARGET_IsGangProgrammer(void) { return _IsGang; }
bool TARGET_IsConnected(void) { return _Connected; }
uint32_t TARGET_GetCPUClock(void) { return _CPUClock; }
void TARGET_GetTimeouts(TARGET_TIMEOUTS* p) { *p = _Timeouts; }

void _TakeTimeouts(void) {
  PROJECT_PRODUCTION Prod;
  bool HaveProject = PROJECT_GetProduction(&Prod) == 0;
  bool Override = HaveProject && Prod.OverrideTimeouts;
  _TargetPower = HaveProject && _TargetPowerEnabled(Prod);
  _Timeouts.Erase = Override ? Prod.TimeoutErase : 15000;
  _Timeouts.Program = Override ? Prod.TimeoutProgram : 10000;
  _Timeouts.CheckBlank = (uint32_t)SETTINGS_GetTimeoutCheckBlank();
  _Timeouts.CalcCRC = (uint32_t)SETTINGS_GetTimeoutCalcCRC();
  _Timeouts.ReadBack = (uint32_t)SETTINGS_GetTimeoutReadBack();
}

int TARGET_Connect(void) {
  _TakeTimeouts();
  if (_Connected) {
    _UpdateMenuBar();
    return 0;
  }
  APP_LogBegin("Connecting ...");
  int PrevBank = PROJECT_GetCurBank();
  PROJECT_SetCurBank(0);
  _Message.clear();
  bool Ok = _ConnectSequence();
  if (!Ok) {
    PROJECT_PRODUCTION Prod;
    PROJECT_GetProduction(&Prod);
    if (_TargetPowerEnabled(Prod)) _Exec("DisablePowerSupplyOnClose");
    TARGET_CloseProbe();
    APP_ErrorOut(_Message.c_str());
    _SetStatus(APP_STATUS_GENERAL, _Message.c_str());
  }
  PROJECT_SetCurBank(PrevBank);
  TARGET_RefreshProjectInfo();
  if (!Ok) {
    APP_ErrorOut("Connect failed");
    APP_LogEnd(nullptr);
  } else {
    APP_LogEnd("Connected successfully");
    if (_Hooks.pfStartVMon) _Hooks.pfStartVMon();
  }
  _UpdateMenuBar();
  return Ok ? 0 : 1;
}

void TARGET_Disconnect(void) {
  if (!_Connected) return;
  APP_LogBegin("Disconnecting ...");
  if (_TargetPower) _Exec("DisablePowerSupplyOnClose");
  XRELAYARM_SetErrorOutHandler(nullptr);
  TARGET_CloseProbe();
  XRELAYARM_SetErrorOutHandler(_ProbeErrorOut);
  _Connected = false;
  _SetStatus(APP_STATUS_CONNECTION, "Not connected");
  _SetStatus(APP_STATUS_COREID, "");
  _SetStatus(APP_STATUS_SPEED, "");
  TARGET_RefreshProjectInfo();
  APP_LogEnd("Disconnected");
  _UpdateMenuBar();
}

const char* TARGET_QuickConnect(int Interface, int Device, uint32_t SpeedKHz) {
  if (!_OpenProbe(false, true)) return "Could not connect to probe/ programmer.";
  XRELAYARM_TIF_Select(Interface);
  XRELAYARM_CORE_Select(Device >= 0 ? MCUDB_GetCore(Device) : 0);
  const char* sName = Device >= 0 ? MCUDB_GetDeviceName(Device) : nullptr;
  if (sName && sName[0]) _Exec((std::string("Device = ") + sName).c_str());
  XRELAYARM_SetSpeed(SpeedKHz);
  if (XRELAYARM_Connect() != 0) return "Could not connect to target.";
  return nullptr;
}

int TARGET_SelectGangModule(int Module) {
  TARGET_CloseProbe();
  char ac[64];
  UTIL_sprintf(ac, sizeof(ac), "SelectModule = %u", (unsigned)Module);
  if (_Exec(ac) < 0) {
    APP_ErrorOutf("Failed to select gang programmer module #%d.", Module);
    return -1;
  }
  if (!_OpenProbe(true, false)) {
    APP_ErrorOutf("Failed to connect to gang programmer module #%d.", Module);
    return -1;
  }
  return 0;
}

int TARGET_GetCoreClass(uint32_t CoreWord) {
  switch (CoreWord >> 24) {
  case 1:
  case 3:
  case 6:
  case 14: return 1;
  case 13: return 3;
  case 16: return 4;
  case 2: return 2;
  case 8:
  case 15: return 6;
  case 11: return 8;
  case 12: return 5;
  case 17: return 7;
  case 19: return 9;
  case 20: return 11;
  case 21: return 10;
  default: return 0;
  }
}

const char* TARGET_CheckStandAloneCore(void) {
  static const struct {
    const char* sModel;
    unsigned AllowedClasses; // bit per core class
    const char* sRefusal;
  } aModel[] = {
      {"X-Relay ARM / Stamper ARM ", 0x3,
       "Selected CPU core is not supported by Stamper ARM in stand-alone mode. Only ARM7/ARM9 and Cortex-M cores are "
       "supported."},
      {"X-Relay RX / Stamper RX ", 0x8,
       "Selected CPU core is not supported by Stamper RX in stand-alone mode. Only Renesas RX cores are supported."},
      {"X-Relay PPC / Stamper PPC ", 0x10,
       "Selected CPU core is not supported by Stamper PPC in stand-alone mode. Only Power PC cores are supported."},
      {"X-Relay PRO / Stamper PRO ", 0x1B,
       "Selected CPU core is not supported by Stamper PRO in stand-alone mode. Supported cores are: ARM7/ARM9, "
       "Cortex-M, RX, PowerPC."},
  };
  char acFirmware[321] = "";
  XRELAYARM_GetFirmwareString(acFirmware, sizeof(acFirmware));
  PROJECT_CPU Cpu;
  uint32_t CoreWord = PROJECT_GetCPU(&Cpu) == 0 && Cpu.Device >= 0 ? MCUDB_GetCore(Cpu.Device) : 0xFF000000u;
  int Class = TARGET_GetCoreClass(CoreWord);
  for (const auto& m : aModel) {
    if (std::strncmp(acFirmware, m.sModel, std::strlen(m.sModel)) != 0) continue;
    return (m.AllowedClasses >> Class) & 1 ? nullptr : m.sRefusal;
  }
  return nullptr;
}
