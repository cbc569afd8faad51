/*
 * FLASH - the module table, opening and closing banks, the host functions and loader scripts.
 */
#include "flash/FLASH.h"

#include <cstdarg>
#include <cstring>

#include "core/APP_Log.h"
#include "mcudb/MCUDB.h"
#include "mcudb/MCUDB_Layout.h"
#include "probe/PROBE.h"
#include "sys/SYS.h"
#include "sys/UTIL.h"

// Slot 8 of the probe library's API records.
typedef int FLASH_SECURE_FUNC(void* pState, uint32_t Value, uint32_t CPUSpeed);

struct FLASH_SCRIPT {
  const char* sScriptFile; // null: the compiled script of the loader descriptor
  const uint8_t* pCompiled;
  uint32_t CompiledSize;
  int Handle; // 0: not loaded
  uint32_t BankAddr;
  uint8_t HasPrepare;
  uint8_t HasRestore;
  uint8_t FailedBefore;
};

namespace {

// The algorithm information built for a bank's loader script ("AlgoInfoOFL"): its API's hooks
// find the script here.
struct ScriptAlgoInfo {
  MCUDB_ALGO_INFO Info; // first: the hooks receive its address
  FLASH_SCRIPT* pScript;
};

FLASH_HOOKS _Hooks;

/*********************************************************************
 * Host functions installed into every module
 */
void _ErrorOut(const char* sText) {
  APP_ErrorOut(sText);
}
int _IsAborted() {
  return _Hooks.pfIsAborted && _Hooks.pfIsAborted();
}
int _ReadMem(uint32_t Addr, uint32_t NumBytes, void* pData) {
  return XRELAYARM_ReadMemEx(Addr, NumBytes, pData, 0);
}
void _GetTargetInfo(FLASH_TARGET_INFO* pInfo) {
  std::memset(pInfo, 0, sizeof(*pInfo));
  if (_Hooks.pfGetTargetInfo) _Hooks.pfGetTargetInfo(pInfo);
}
void _Progress(int Level, const char* sText0, const char* sText1, uint32_t NumBytes) {
  if (_Hooks.pfProgress) _Hooks.pfProgress(Level, sText0, sText1, NumBytes);
}

FLASH_HOST_FUNCS* _HostFuncs(FlashModuleHandle* pHandle) {
  return pHandle ? static_cast<FLASH_HOST_FUNCS*>(pHandle->pState) : nullptr;
}

/*********************************************************************
 * Modules by kind. The External, Internal and RAMLess modules take their rows when they exist;
 * until then their kinds answer like a kind without a module.
 */
struct KindRow {
  int Kind;
  const FlashModule* pModule;
};
const KindRow _aKind[] = {
    {FLASH_KIND_INTERNAL, nullptr},
    {FLASH_KIND_INTERNAL_BG, nullptr},
    {3, nullptr},
    {4, nullptr},
    {FLASH_KIND_EXTERNAL, nullptr},
    {FLASH_KIND_CMSIS_FILE, &FLASH_ModuleCMSIS},
    {FLASH_KIND_RAMLESS, nullptr},
    {FLASH_KIND_CMSIS_IMAGE, &FLASH_ModuleCMSIS},
    {FLASH_KIND_EXTERNAL_SCRIPT, nullptr},
};

bool _IsCMSISKind(int Kind) {
  return Kind == FLASH_KIND_CMSIS_FILE || Kind == FLASH_KIND_CMSIS_IMAGE;
}

/*********************************************************************
 * Loader scripts
 */
void* _ScriptAlloc(uint32_t NumBytes) {
  return SYS_MEM_Alloc(NumBytes, "FLASH: Translated script");
}

// Reports a script failure and remembers it, so that it is said once per bank opening; -1.
int _ScriptFailed(FLASH_SCRIPT* p, const char* sFormat, ...) __attribute__((format(printf, 2, 3)));
int _ScriptFailed(FLASH_SCRIPT* p, const char* sFormat, ...) {
  va_list Args;
  va_start(Args, sFormat);
  UTIL_vOutf(APP_ErrorOut, sFormat, Args);
  va_end(Args);
  p->FailedBefore = 1;
  return -1;
}

// Loads the script once per bank opening; 0, or -1 (reported the first time only).
int _LoadScript(FLASH_SCRIPT* p) {
  if (p->Handle > 0) return 0;
  if (p->FailedBefore) return -1;
  const uint8_t* pScript = p->pCompiled;
  uint32_t Size = p->CompiledSize;
  uint8_t* pTranslated = nullptr;
  if (p->sScriptFile) {
    auto pfTranslate =
        reinterpret_cast<XRELAY_SCRIPT_TRANSLATE_FUNC*>(XRELAY_GetpFunc(XRELAY_PFUNC_SCRIPT_TRANSLATE));
    if (pfTranslate == nullptr) {
      return _ScriptFailed(
          p,
          "Flash bank @ 0x%.8X: Failed to translate X-Relay script file associated with loader. "
          "X-Relay script file: %s",
          p->BankAddr, p->sScriptFile);
    }
    if (pfTranslate(p->sScriptFile, _ScriptAlloc, &pTranslated, &Size) < 0 || pTranslated == nullptr) {
      SYS_MEM_Free(pTranslated);
      return _ScriptFailed(
          p,
          "Flash bank @ 0x%.8X: Failed to translate X-Relay script file associated with flash "
          "loader. X-Relay script file: %s",
          p->BankAddr, p->sScriptFile);
    }
    pScript = pTranslated;
  }
  auto pfLoad = reinterpret_cast<XRELAY_SCRIPT_LOAD_FUNC*>(XRELAY_GetpFunc(XRELAY_PFUNC_SCRIPT_LOAD));
  auto pfHas = reinterpret_cast<XRELAY_SCRIPT_HAS_FUNC_FUNC*>(XRELAY_GetpFunc(XRELAY_PFUNC_SCRIPT_HAS_FUNC));
  int Handle = (pfLoad && pfHas && pScript) ? pfLoad(pScript, Size) : 0;
  SYS_MEM_Free(pTranslated); // the library keeps its own copy once loaded
  if (Handle <= 0) {
    return _ScriptFailed(p, "Flash bank @ 0x%.8X: Failed to load script file associated with loader",
                         p->BankAddr);
  }
  p->Handle = Handle;
  p->HasPrepare = pfHas(Handle, "FLASH_Prepare") > 0;
  p->HasRestore = pfHas(Handle, "FLASH_Restore") > 0;
  return 0;
}

int _RunScript(FLASH_SCRIPT* p, const char* sName, uint8_t FLASH_SCRIPT::*pHas) {
  if (p == nullptr) return 0;
  if (_LoadScript(p) < 0) return -1;
  if (!(p->*pHas)) return 0;
  auto pfCall = reinterpret_cast<XRELAY_SCRIPT_CALL_FUNC*>(XRELAY_GetpFunc(XRELAY_PFUNC_SCRIPT_CALL));
  if (pfCall == nullptr) return -1;
  int32_t Result = 0;
  int r = pfCall(p->Handle, sName, &Result);
  return r < 0 ? r : Result;
}

FLASH_SCRIPT* _ScriptOf(MCUDB_ALGO_INFO* pInfo) {
  return reinterpret_cast<ScriptAlgoInfo*>(pInfo)->pScript;
}
int _HookScriptPrepare(MCUDB_ALGO_INFO* pInfo, uint32_t, uint32_t) {
  return FLASH_ScriptPrepare(_ScriptOf(pInfo));
}
int _HookScriptRestore(MCUDB_ALGO_INFO* pInfo, uint32_t, uint32_t) {
  return FLASH_ScriptRestore(_ScriptOf(pInfo));
}

// The script object of a CMSIS bank and the "AlgoInfoOFL" record whose API runs it; 0, or -1.
int _CreateScript(FlashBank* pBank, const XRELAYARM_LOADER_DESC& Desc, uint32_t BankAddr) {
  auto pScript = static_cast<FLASH_SCRIPT*>(SYS_MEM_Alloc(sizeof(FLASH_SCRIPT), "FLASH: Loader script"));
  if (pScript == nullptr) return -1;
  std::memset(pScript, 0, sizeof(*pScript));
  pScript->sScriptFile = Desc.sScriptFile;
  pScript->pCompiled = Desc.pCompiledScript;
  pScript->CompiledSize = Desc.CompiledScriptSize;
  pScript->BankAddr = BankAddr;
  pBank->pScript = pScript;
  auto pOFL = static_cast<ScriptAlgoInfo*>(SYS_MEM_Alloc(sizeof(ScriptAlgoInfo), "AlgoInfoOFL"));
  if (pOFL == nullptr) return -1;
  std::memset(pOFL, 0, sizeof(*pOFL));
  pOFL->pScript = pScript;
  pBank->pOwnAlgoInfo = &pOFL->Info;
  auto pAPI = static_cast<MCUDB_ALGO_API*>(SYS_MEM_Alloc(sizeof(MCUDB_ALGO_API), "AlgoAPIOFL"));
  if (pAPI == nullptr) return -1;
  std::memset(pAPI, 0, sizeof(*pAPI));
  pAPI->apFunc[FLASH_API_SLOT_PREPARE] =
      reinterpret_cast<void*>(static_cast<FLASH_ALGO_HOOK*>(_HookScriptPrepare));
  pAPI->apFunc[FLASH_API_SLOT_RESTORE] =
      reinterpret_cast<void*>(static_cast<FLASH_ALGO_HOOK*>(_HookScriptRestore));
  pOFL->Info.pAPI = pAPI;
  return 0;
}

/*********************************************************************
 * Opening a bank
 */
// The device bank whose base is BaseAddr; its index, or -1.
int _FindDeviceBank(int Device, uint32_t BaseAddr) {
  for (int b = 0; b < MCUDB_GetNumBanks(Device); b++) {
    const MCUDB_BANK* p = MCUDB_GetBank(Device, b);
    if (p && p->BaseAddr == BaseAddr) return b;
  }
  return -1;
}

void _ReportUnknownKind(uint32_t BankAddr) {
  char ac[256];
  UTIL_sprintf(ac, sizeof(ac), "Unknown flash algo type @ addr. 0x%.8X. Algorithm ignored.", BankAddr);
  APP_ErrorOut(ac);
}

int _Fail(FlashBank* pBank) {
  FLASH_CloseBank(pBank);
  return -1;
}

} // namespace

/*********************************************************************
 * Shared setters
 */
#define FLASH_SETTER(Name, Type, Member)                                                                     \
  int Name(FlashModuleHandle* pHandle, Type* pf) {                                                           \
    FLASH_HOST_FUNCS* p = _HostFuncs(pHandle);                                                               \
    if (p == nullptr) return -1;                                                                             \
    p->Member = pf;                                                                                          \
    return 0;                                                                                                \
  }
FLASH_SETTER(FLASH_SetProgressFunc, FLASH_PROGRESS_FUNC, pfProgress)
FLASH_SETTER(FLASH_SetLogFunc, FLASH_LOG_FUNC, pfLog)
FLASH_SETTER(FLASH_SetErrorFunc, FLASH_ERROR_FUNC, pfErrorOut)
FLASH_SETTER(FLASH_SetAbortFunc, FLASH_ABORT_FUNC, pfIsAborted)
FLASH_SETTER(FLASH_SetReadMemFunc, FLASH_READMEM_FUNC, pfReadMem)
FLASH_SETTER(FLASH_SetTargetInfoFunc, FLASH_TARGETINFO_FUNC, pfGetTargetInfo)
#undef FLASH_SETTER

/*********************************************************************
 * Kinds, regions and status texts
 */
const FlashModule* FLASH_GetModule(int Kind) {
  for (const KindRow& r : _aKind) {
    if (r.Kind == Kind) return r.pModule;
  }
  return nullptr;
}

int FLASH_AdjustKind(int Kind, uint32_t WorkRAMSize, bool HasBackgroundRAMCode) {
  if (Kind < FLASH_KIND_INTERNAL || Kind > 4) return Kind;
  bool Background = WorkRAMSize > 2048 && HasBackgroundRAMCode;
  bool IsBackground = (Kind % 2) == 0;
  if (Background && !IsBackground) return Kind + 1;
  if (!Background && IsBackground) return Kind - 1;
  return Kind;
}

void FLASH_BuildRegions(const SectorRegion* paList, uint32_t BankSize, int NumChips,
                        SectorRegion aRegion[MCUDB_MAX_REGIONS]) {
  uint32_t m = NumChips < 1 ? 1 : uint32_t(NumChips);
  std::memset(aRegion, 0, sizeof(SectorRegion) * MCUDB_MAX_REGIONS);
  if (paList == nullptr) {
    // A bank without a layout (CFI flash before its layout is read): one sector per chip width.
    aRegion[0] = SectorRegion{1, BankSize / m, 0};
  } else {
    for (int i = 0; i < MCUDB_MAX_REGIONS && paList[i].NumSectors; i++) {
      aRegion[i] = paList[i];
    }
  }
  if (m < 2) return;
  for (int i = 0; i < MCUDB_MAX_REGIONS && aRegion[i].NumSectors; i++) {
    aRegion[i].NumSectors *= m;
    aRegion[i].Offset *= m;
  }
}

bool FLASH_GetStatusText(int Code, char* sDest, int DestSize) {
  static const char* const _asText[] = {
      "(block verification error)", "(item verification error)", "(timeout occurred)", "(program error)",
      "(program 1 over 0)",         "(sector is locked)",        "(erase error)",      "(no flash memory)",
  };
  if (Code >= 1 && Code <= 8) {
    UTIL_strcpy(sDest, _asText[Code - 1], DestSize);
    return true;
  }
  if (Code < 0) {
    UTIL_sprintf(sDest, DestSize, "Unspecified error #%d", -Code);
    return true;
  }
  UTIL_strcpy(sDest, "", DestSize);
  return false;
}

/*********************************************************************
 * Banks
 */
void FLASH_SetHooks(const FLASH_HOOKS* pHooks) {
  _Hooks = pHooks ? *pHooks : FLASH_HOOKS{};
}

void FLASH_SetHostFuncs(FlashBank* pBank, FlashModuleHandle* pHandle) {
  const FlashModule* m = pBank->pModule;
  if (m == nullptr) return;
  // The modules' step lines stay unshown: no log function (operation 14) is installed.
  if (m->pfSetProgressFunc) m->pfSetProgressFunc(pHandle, _Progress);
  if (m->pfSetErrorFunc) m->pfSetErrorFunc(pHandle, _ErrorOut);
  if (m->pfSetAbortFunc) m->pfSetAbortFunc(pHandle, _IsAborted);
  if (m->pfSetReadMemFunc) m->pfSetReadMemFunc(pHandle, _ReadMem);
  if (m->pfSetTargetInfoFunc) m->pfSetTargetInfoFunc(pHandle, _GetTargetInfo);
}

int FLASH_OpenBank(FlashBank* pBank, int BankIndex, uint32_t BankSize, bool DetermineLayout) {
  std::memset(pBank, 0, sizeof(*pBank));
  FLASH_BANK_CONTEXT Ctx;
  std::memset(&Ctx, 0, sizeof(Ctx));
  BANK_INFO Settings;
  std::memset(&Settings, 0, sizeof(Settings));
  int Device = -1;
  if (_Hooks.pfGetBank == nullptr || _Hooks.pfGetBank(BankIndex, &Settings, &Device) < 0) return -1;
  FLASH_TARGET_INFO Target;
  _GetTargetInfo(&Target);
  // Kind, sector list and algorithm information.
  XRELAYARM_LOADER_DESC Desc;
  std::memset(&Desc, 0, sizeof(Desc));
  const SectorRegion* paList = nullptr;
  int Kind;
  if (Settings.IsInternal) {
    int DevBank = _FindDeviceBank(Device, Settings.BaseAddr);
    // The loader descriptor only: the data entries of a compiled script serve other modules.
    if (DevBank < 0 || MCUDB_GetLoaderInfo(Device, DevBank, Settings.acLoaderName, &Desc, nullptr) < 0)
      return -1;
    paList = reinterpret_cast<const SectorRegion*>(Desc.paSectors);
    // The probe library's own algorithm information would tell whether a RAMCode for
    // background use comes with it; its records arrive with the modules that use them.
    Kind = FLASH_AdjustKind(int(Desc.LoaderKind), Target.RAMSize, false);
  } else {
    // CFI flash, or a bank the probe library has no background RAMCode for: both External.
    Kind = FLASH_KIND_EXTERNAL;
  }
  pBank->pModule = FLASH_GetModule(Kind);
  if (pBank->pModule == nullptr) {
    _ReportUnknownKind(Settings.BaseAddr);
    return _Fail(pBank);
  }
  uint32_t NumChips = MCUDB_LAYOUT_Multiplier(Settings.OrgNumChips);
  SectorRegion aPlaceholder[MCUDB_MAX_REGIONS] = {};
  if (paList == nullptr) {
    aPlaceholder[0] = SectorRegion{1, BankSize / NumChips, 0};
    paList = aPlaceholder;
  }
  Ctx.Kind = Kind;
  Ctx.BankAddr = Settings.BaseAddr;
  Ctx.paSectors = paList;
  if (_IsCMSISKind(Kind)) {
    if (MCUDB_ParseFlashLoader(Kind, Desc.pImage, Desc.ImageSize, Desc.sAlgoFile, paList, Desc.sScriptFile,
                               &pBank->CMSIS, 0) < 0) {
      return _Fail(pBank);
    }
    Ctx.CMSIS = pBank->CMSIS;
    if (Desc.sScriptFile || Desc.pCompiledScript) {
      if (_CreateScript(pBank, Desc, Settings.BaseAddr) < 0) return _Fail(pBank);
      Ctx.pAlgoInfo = pBank->pOwnAlgoInfo;
    }
  } else {
    Ctx.abOrg[0] = Settings.AutoDetect;
    Ctx.abOrg[1] = Settings.CheckId;
    Ctx.abOrg[2] = Settings.OrgNumBits;
    Ctx.abOrg[3] = Settings.OrgNumChips;
  }
  int r = pBank->pModule->pfOpen(&Ctx, _ErrorOut);
  if (r < 0) {
    FLASH_CloseBank(pBank);
    return r;
  }
  pBank->pState = Ctx.pState;
  pBank->Kind = pBank->Kind2 = Kind;
  pBank->Size = BankSize;
  pBank->BaseAddr = Settings.BaseAddr;
  pBank->pAlgoInfo = pBank->pAlgoInfo2 = Ctx.pAlgoInfo;
  FLASH_BuildRegions(paList, BankSize, int(NumChips), pBank->aRegion);
  FlashModuleHandle Handle{1, 1, FLASH_OP_PREPARE, 0, 0, pBank->BaseAddr, pBank->Size, pBank->pState};
  FLASH_SetHostFuncs(pBank, &Handle);
  pBank->EmptyValueKnown = 1;
  pBank->EmptyValue = 0xFF;
  if (pBank->pModule->pfGetEmptyValue) {
    int v = pBank->pModule->pfGetEmptyValue(&Handle, pBank->BaseAddr);
    pBank->EmptyValueKnown = v >= 0;
    pBank->EmptyValue = v >= 0 ? uint8_t(v) : 0xFF;
  }
  if (!DetermineLayout || pBank->pModule->pfGetFunc == nullptr) return 0;
  auto pfInfo =
      reinterpret_cast<FLASH_FLASHINFO_FUNC*>(pBank->pModule->pfGetFunc(&Handle, FLASH_FUNC_GET_FLASH_INFO));
  if (pfInfo == nullptr) return 0;
  APP_LogOutf("Start of determining flash info (Bank %d @ 0x%.8X)", BankIndex, pBank->BaseAddr);
  FLASH_LAYOUT Layout;
  std::memset(&Layout, 0, sizeof(Layout));
  std::memcpy(Layout.aRegion, pBank->aRegion, sizeof(Layout.aRegion));
  Layout.EmptyValue = pBank->EmptyValue;
  if (pfInfo(&Handle, &Layout) < 0) {
    APP_ErrorOutf("Error while determining flash info (Bank %d @ 0x%.8X)", BankIndex, pBank->BaseAddr);
    return _Fail(pBank);
  }
  std::memcpy(pBank->aRegion, Layout.aRegion, sizeof(pBank->aRegion));
  pBank->Size = uint32_t(MCUDB_LAYOUT_GetSize(pBank->aRegion, 1, true));
  APP_LogOut("End of determining flash info");
  FLASH_LogBankInfo(pBank);
  return 0;
}

void FLASH_CloseBank(FlashBank* pBank) {
  if (pBank->pModule && pBank->pState) {
    FlashModuleHandle Handle{1, 1, FLASH_OP_RESTORE, 0, 0, pBank->BaseAddr, pBank->Size, pBank->pState};
    pBank->pModule->pfClose(&Handle);
  }
  pBank->pState = nullptr;
  if (pBank->pScript) {
    if (pBank->pScript->Handle > 0 && XRELAYARM_IsOpen()) {
      auto pfUnload =
          reinterpret_cast<XRELAY_SCRIPT_UNLOAD_FUNC*>(XRELAY_GetpFunc(XRELAY_PFUNC_SCRIPT_UNLOAD));
      if (pfUnload) pfUnload(pBank->pScript->Handle);
    }
    SYS_MEM_Free(pBank->pScript);
    pBank->pScript = nullptr;
  }
  if (pBank->pOwnAlgoInfo) {
    SYS_MEM_Free(pBank->pOwnAlgoInfo->pAPI);
    SYS_MEM_Free(pBank->pOwnAlgoInfo);
    pBank->pOwnAlgoInfo = nullptr;
  }
  MCUDB_FreeCMSISInfo(&pBank->CMSIS);
  pBank->pAlgoInfo = pBank->pAlgoInfo2 = nullptr;
}

int FLASH_PrepareBank(FlashModuleHandle* pHandle, FlashBank* pBank, uint32_t Arg) {
  APP_LogOut("Start of preparing flash programming");
  pHandle->OpCode = FLASH_OP_PREPARE;
  int r = pBank->pModule->pfPrepare ? pBank->pModule->pfPrepare(pHandle, Arg, 0) : -1;
  APP_LogOut("End of preparing flash programming");
  return r < 0 ? -1 : 0;
}

int FLASH_RestoreBank(FlashModuleHandle* pHandle, FlashBank* pBank) {
  APP_LogOut("Start of restoring");
  pHandle->OpCode = FLASH_OP_RESTORE;
  int r = pBank->pModule->pfRestore ? pBank->pModule->pfRestore(pHandle) : -1;
  APP_LogOut("End of restoring");
  return r < 0 ? -1 : 0;
}

void FLASH_LogCPUSpeed(FlashBank* pBank, FlashModuleHandle* pHandle) {
  uint32_t Hz = 0;
  if (pBank->pModule->pfGetCPUSpeed) pBank->pModule->pfGetCPUSpeed(pHandle, &Hz);
  if (Hz) {
    APP_LogOutf("CPU is running at %d kHz.", int(Hz / 1000));
  } else {
    APP_LogOut("CPU speed could not be measured.");
  }
}

void FLASH_LogBankInfo(const FlashBank* pBank) {
  APP_LogOut("Flash bank info:");
  for (int i = 0; i < MCUDB_MAX_REGIONS && pBank->aRegion[i].NumSectors; i++) {
    const SectorRegion& r = pBank->aRegion[i];
    uint32_t Addr = pBank->BaseAddr + r.Offset;
    if (r.SectorSize % 1024 == 0) {
      APP_LogOutf("%d * %d KB @ 0x%.8X", int(r.NumSectors), int(r.SectorSize / 1024), Addr);
    } else {
      APP_LogOutf("%d * %d bytes @ 0x%.8X", int(r.NumSectors), int(r.SectorSize), Addr);
    }
  }
}

int FLASH_SecureChip(FlashModuleHandle* pHandle, FlashBank* pBank) {
  FLASH_SECURE_FUNC* pfSecure = nullptr;
  // The three-slot records built for loader scripts never carry a secure function.
  if (pBank->pAlgoInfo && pBank->pAlgoInfo->pAPI && pBank->pAlgoInfo != pBank->pOwnAlgoInfo) {
    pfSecure = reinterpret_cast<FLASH_SECURE_FUNC*>(pBank->pAlgoInfo->pAPI->apFunc[FLASH_API_SLOT_SECURE]);
  }
  if (pfSecure == nullptr) {
    APP_ErrorOut("Could not secure chip. No secure function implemented.");
    return -1;
  }
  uint32_t Hz = 0;
  if (pBank->pModule->pfGetCPUSpeed) pBank->pModule->pfGetCPUSpeed(pHandle, &Hz);
  char acError[256];
  XRELAYARM_ExecCommand("DisableFlashDL", acError, sizeof(acError));
  int r = pfSecure(pBank->pState, _Hooks.pfGetSecureValue ? _Hooks.pfGetSecureValue() : 0, Hz);
  XRELAYARM_ExecCommand("EnableFlashDL", acError, sizeof(acError));
  return r < 0 ? -1 : 0;
}

int FLASH_ScriptPrepare(FLASH_SCRIPT* pScript) {
  return _RunScript(pScript, "FLASH_Prepare", &FLASH_SCRIPT::HasPrepare);
}

int FLASH_ScriptRestore(FLASH_SCRIPT* pScript) {
  return _RunScript(pScript, "FLASH_Restore", &FLASH_SCRIPT::HasRestore);
}
