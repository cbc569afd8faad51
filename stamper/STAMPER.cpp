/*
 * STAMPER - the Stamper's configuration and data files.
 */
#include "stamper/STAMPER.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <memory>

#include "core/APP.h"
#include "core/APP_Log.h"
#include "data/APP_File.h"
#include "data/CRC32.h"
#include "data/DATAIMAGE.h"
#include "data/DATAJOBS.h"
#include "mcudb/BANK.h"
#include "mcudb/BANKREC.h"
#include "mcudb/MCUDB.h"
#include "project/PROJECT.h"
#include "project/SETTINGS.h"
#include "stamper/STAMPER_Test.h"
#include "sys/SYS.h"
#include "sys/UTIL.h"

namespace {

STAMPER_HOOKS _Hooks{};

void _PutU32(uint8_t* p, uint32_t v) { UTIL_Store32(p, v, false); }
void _PutU16(uint8_t* p, uint32_t v) { UTIL_Store16(p, (uint16_t)v, false); }

uint32_t _RoundUp(uint64_t n, uint32_t Step) { return uint32_t((n + Step - 1) / Step * Step); }

void _WarnOutf(const char* sFormat, ...) __attribute__((format(printf, 1, 2)));
void _WarnOutf(const char* sFormat, ...) {
  va_list Args;
  va_start(Args, sFormat);
  UTIL_vOutf(APP_WarnOut, sFormat, Args);
  va_end(Args);
}

// The envelope's text: "<sKind> V1.0 - Generated <local date and time> with <program>".
void _WriteText(uint8_t* pFile, const char* sKind) {
  SYS_TIME t;
  SYS_TIME_GetLocal(&t);
  char acName[64];
  APP_GetShortProductName(acName, sizeof(acName));
  char ac[STAMPER_TEXT_SIZE];
  UTIL_sprintf(ac, sizeof(ac), "%s V1.0 - Generated %.4d-%.2d-%.2d %.2d:%.2d with %s", sKind, t.Year, t.Month, t.Day,
               t.Hour, t.Minute, acName);
  std::memset(pFile, 0, STAMPER_ENVELOPE_SIZE);
  std::memcpy(pFile, ac, std::strlen(ac));
}

void _Seal(uint8_t* pFile, uint32_t SizeField, uint32_t CoveredSize) {
  _PutU32(pFile + STAMPER_OFF_SIZE, SizeField);
  _PutU32(pFile + STAMPER_OFF_CRC, STAMPER_CalcCRC(pFile, CoveredSize));
}

/*********************************************************************
 * The configuration file: blocks {u32 length, u32 id, payload} in a growable buffer
 */
class CfgWriter {
public:
  CfgWriter() { _Ok = DYNBUFFER_Init(&_Buf, APP_ErrorOut, STAMPER_CFG_MAX_SIZE, STAMPER_ALIGN, 0) == 0; }
  ~CfgWriter() { DYNBUFFER_Free(&_Buf); }
  bool Ok() const { return _Ok; }
  // A null payload is written as NumBytes zero bytes.
  void Block(uint32_t Id, const void* pPayload, uint32_t NumBytes) {
    uint8_t* p = _Reserve(8 + NumBytes);
    if (p == nullptr) return;
    _PutU32(p, NumBytes);
    _PutU32(p + 4, Id);
    if (pPayload) std::memcpy(p + 8, pPayload, NumBytes);
  }
  void U32(uint32_t Id, uint32_t v) {
    uint8_t a[4];
    _PutU32(a, v);
    Block(Id, a, 4);
  }
  void U8(uint32_t Id, uint32_t v) {
    uint8_t b = uint8_t(v);
    Block(Id, &b, 1);
  }
  uint8_t* Header() { return _Reserve(STAMPER_ENVELOPE_SIZE); }
  // Terminator, padding to the block size, size and CRC; hands the buffer over.
  int Finish(STAMPER_FILE* pFile) {
    U32(STAMPER_ID_END, 0);
    uint32_t Size = _RoundUp(_Pos, STAMPER_ALIGN);
    if (_Reserve(Size - _Pos) == nullptr) return -1;
    uint8_t* pData = static_cast<uint8_t*>(SYS_MEM_Alloc(Size, "STAMPER: file buffer"));
    if (pData == nullptr) {
      APP_ErrorOut("Insufficient memory!");
      return -1;
    }
    std::memcpy(pData, _Buf.pData, Size);
    _Seal(pData, Size, Size);
    pFile->pData = pData;
    pFile->NumBytes = Size;
    return 0;
  }

private:
  // Room for NumBytes more bytes (zeroed), grown in steps of the block size.
  uint8_t* _Reserve(uint32_t NumBytes) {
    if (!_Ok) return nullptr;
    uint64_t End = (uint64_t)_Pos + NumBytes;
    if (End > _Buf.CurSize) {
      uint64_t Want = _RoundUp(End, STAMPER_ALIGN);
      if (Want > STAMPER_CFG_MAX_SIZE || DYNBUFFER_Ensure(&_Buf, uint32_t(Want - 1)) != 0) {
        if (Want > STAMPER_CFG_MAX_SIZE) DYNBUFFER_Ensure(&_Buf, uint32_t(End - 1)); // reports the bound
        _Ok = false;
        return nullptr;
      }
    }
    uint8_t* p = _Buf.pData + _Pos;
    std::memset(p, 0, NumBytes);
    _Pos = uint32_t(End);
    return p;
  }
  DYNBUFFER _Buf{};
  uint32_t _Pos = 0;
  bool _Ok = false;
};

bool _IsJTAG(uint32_t TargetIF) { return TargetIF == 0 || TargetIF == 7; }

int _WriteInterface(CfgWriter* w, const PROJECT_TIF& T) {
  if (T.UseMaxSpeed0 || T.UseMaxSpeed1) {
    APP_ErrorOut("Auto speed is not supported by Stamper. You have to select a fixed speed.");
    return -1;
  }
  if (_IsJTAG(T.TargetIF)) {
    if (T.MultipleTargets == 0) {
      APP_ErrorOut("Auto detection of JTAG scan chain is not supported by Stamper. Please use detailed configuration.");
      return -1;
    }
    if (T.MultipleTargets == 1) {
      APP_ErrorOut("Simple configuration of JTAG scan chain is not supported by Stamper. Please use detailed "
                   "configuration.");
      return -1;
    }
    if (T.NumDevices == 0) {
      APP_ErrorOut("The JTAG scan chain is not configured. Please configure the JTAG scan chain.");
      return -1;
    }
  }
  uint32_t NumDevices = T.NumDevices > PROJECT_MAX_JTAG_DEVICES ? (uint32_t)PROJECT_MAX_JTAG_DEVICES : T.NumDevices;
  uint32_t IRSum = 0;
  for (uint32_t i = 0; i < NumDevices; i++)
    IRSum += T.aDevice[i].IRLen;
  w->U8(STAMPER_ID_TIF, T.TargetIF);
  w->U32(STAMPER_ID_SPEED0, T.UseAdaptive0 ? 0xFFFFFFFFu : T.Speed0 * 1000);
  w->U32(STAMPER_ID_SPEED1, T.UseAdaptive1 ? 0xFFFFFFFFu : T.Speed1 * 1000);
  w->U32(STAMPER_ID_IRLEN, T.IRLen);
  w->U32(STAMPER_ID_TAP_NUMBER, T.TAP_Number);
  w->U32(STAMPER_ID_IRLEN_SUM, IRSum);
  w->U32(STAMPER_ID_NUM_DEVICES, T.NumDevices);
  w->U32(STAMPER_ID_TAP_IRLEN, T.TAP_Number < NumDevices ? T.aDevice[T.TAP_Number].IRLen : 0);
  return 0;
}

// Script files become PCode through the probe library's translation function; this library
// has none, so a script file that must be translated is refused.
bool _TranslateScript(const char*) { return false; }

void _WriteSteps(CfgWriter* w, uint32_t IdCount, uint32_t IdStep, uint32_t NumSteps, const PROJECT_STEP* paStep) {
  if (NumSteps > PROJECT_MAX_STEPS) NumSteps = PROJECT_MAX_STEPS;
  w->U32(IdCount, NumSteps);
  for (uint32_t i = 0; i < NumSteps; i++) {
    uint8_t a[12];
    _PutU32(a, paStep[i].Action);
    _PutU32(a + 4, paStep[i].Value0);
    _PutU32(a + 8, paStep[i].Value1);
    w->Block(IdStep, a, sizeof(a));
  }
}

int _WriteCPU(CfgWriter* w, const PROJECT_CPU& C) {
  uint32_t Core = C.Device >= 0 ? MCUDB_GetCore(C.Device) : 0;
  if (Core == 0 || Core == 0xFFFFFFFFu) {
    APP_ErrorOut("Auto detection of CPU core is not supported by Stamper. Please select the CPU core.");
    return -1;
  }
  if (C.UseScriptFile && C.acScriptFile[0] && !_TranslateScript(C.acScriptFile)) {
    APP_ErrorOutf("Failed to translate X-Relay script file: %s", C.acScriptFile);
    return -1;
  }
  w->U32(STAMPER_ID_CORE, Core);
  if (C.CheckCoreID) {
    w->U32(STAMPER_ID_CORE_ID, C.CoreID);
    w->U32(STAMPER_ID_CORE_ID_MASK, C.CoreIDMask);
  }
  w->U32(STAMPER_ID_CLOCK, C.ClockSpeed);
  w->U32(STAMPER_ID_RAM_ADDR, C.RAMAddr);
  w->U32(STAMPER_ID_RAM_SIZE, C.RAMSize);
  w->U8(STAMPER_ID_ENDIAN, C.EndianMode);
  _WriteSteps(w, STAMPER_ID_NUM_INIT_STEPS, STAMPER_ID_INIT_STEP, C.NumInitSteps, C.aInitStep);
  _WriteSteps(w, STAMPER_ID_NUM_EXIT_STEPS, STAMPER_ID_EXIT_STEP, C.NumExitSteps, C.aExitStep);
  // The devices of this probe library come without PCode blobs (211 ... 216).
  return 0;
}

// Index of the device's bank at the project bank's base address, or -1.
int _DeviceBank(int Device, uint32_t BaseAddr) {
  for (int i = 0; i < MCUDB_GetNumBanks(Device); i++) {
    const MCUDB_BANK* p = MCUDB_GetBank(Device, i);
    if (p && p->BaseAddr == BaseAddr) return i;
  }
  return -1;
}

// The loader of an internal bank with a CMSIS-type algorithm; false when it has none.
bool _GetCMSISLoader(int Device, const PROJECT_BANK& b, XRELAYARM_LOADER_DESC* pDesc, CMSISInfo* pAlgo) {
  int iBank = _DeviceBank(Device, b.BaseAddr);
  if (iBank < 0 || MCUDB_GetLoaderInfo(Device, iBank, b.acLoaderName, pDesc, pAlgo) != 0) return false;
  return pDesc->LoaderKind == MCUDB_LOADER_KIND_CMSIS_FILE || pDesc->LoaderKind == MCUDB_LOADER_KIND_CMSIS_IMAGE;
}

/*
 * The bank descriptor of a CMSIS-type loader. The two flash-module values come from the probe
 * library's flash module query where it has one; without a module they are 1 and 0, which is
 * what the programmer's reader expects of a CMSIS-type loader here.
 */
void _BankDescriptor(uint8_t* p, const PROJECT_BANK& b, const CMSISInfo& Algo) {
  std::memset(p, 0, STAMPER_BANK_DESC_SIZE);
  _PutU16(p, 8);
  _PutU16(p + 2, 1);
  _PutU16(p + 4, 0);
  p[6] = b.OrgNumBits;
  p[7] = b.OrgNumChips;
  uint32_t m = MCUDB_LAYOUT_Multiplier(b.OrgNumChips);
  for (int i = 0; i < MCUDB_MAX_REGIONS && Algo.aRegion[i].NumSectors; i++) {
    uint8_t* r = p + 16 + 12 * i;
    _PutU32(r, Algo.aRegion[i].NumSectors);
    _PutU32(r + 4, Algo.aRegion[i].SectorSize * m);
    _PutU32(r + 8, b.BaseAddr + Algo.aRegion[i].Offset * m);
  }
}

void _WriteEntry(CfgWriter* w, uint32_t Id, int32_t Offset) { w->U32(Id, (uint32_t)Offset); }

void _WriteCMSISBank(CfgWriter* w, const CMSISInfo& a, MCUDB_ALGO_INFO* pAlgoInfo) {
  w->Block(STAMPER_ID_LOADER_IMAGE, a.pImage, a.ImageSize);
  w->U32(STAMPER_ID_PAGE_SIZE, a.PageSize);
  w->U8(STAMPER_ID_RESERVED, 0);
  w->U32(STAMPER_ID_EMPTY_VALUE, a.EmptyValue);
  const int32_t* e = a.aEntryOffset;
  static const struct {
    uint32_t Id;
    int Entry;
  } aAlways[] = {{310, MCUDB_ENTRY_INIT},         {311, MCUDB_ENTRY_UNINIT},     {312, MCUDB_ENTRY_ERASE_SECTOR},
                 {322, MCUDB_ENTRY_ERASE},        {313, MCUDB_ENTRY_PROGRAM_PAGE}, {323, MCUDB_ENTRY_PROGRAM},
                 {314, MCUDB_ENTRY_ERASE_CHIP},   {315, MCUDB_ENTRY_BLANK_CHECK}, {316, MCUDB_ENTRY_VERIFY},
                 {320, MCUDB_ENTRY_READ},         {325, MCUDB_ENTRY_START}},
    aPresent[] = {{326, MCUDB_ENTRY_GET_FLASH_INFO},
                  {328, MCUDB_ENTRY_VERIFY_EX},
                  {329, MCUDB_ENTRY_CHECK_BLANK},
                  {332, MCUDB_ENTRY_ERASE_CHIP_EX}};
  for (const auto& x : aAlways)
    _WriteEntry(w, x.Id, e[x.Entry]);
  for (const auto& x : aPresent)
    if (e[x.Entry] >= 0) _WriteEntry(w, x.Id, e[x.Entry]);
  if (e[MCUDB_ENTRY_PREPARE] >= 0 || e[MCUDB_ENTRY_RESTORE] >= 0) {
    _WriteEntry(w, 330, e[MCUDB_ENTRY_PREPARE]);
    _WriteEntry(w, 331, e[MCUDB_ENTRY_RESTORE]);
  }
  w->U32(STAMPER_ID_PRGDATA, a.PrgDataAddr);
  w->U32(STAMPER_ID_TIMEOUT_PROGRAM, a.TimeoutProgram);
  w->U32(STAMPER_ID_TIMEOUT_ERASE, a.TimeoutErase);
  if (a.Is64) w->U8(STAMPER_ID_IS64, 1);
  if (a.IntEnabled) w->U8(STAMPER_ID_INT_ENABLED, 1);
  if (pAlgoInfo) {
    uint8_t ab[36];
    for (int i = 0; i < 8; i++)
      _PutU32(ab + 4 * i, pAlgoInfo->aWord[i]);
    _PutU32(ab + 32, pAlgoInfo->Flags);
    w->Block(STAMPER_ID_ALGO_INFO, ab, sizeof(ab));
  }
}

int _WriteFlash(CfgWriter* w, const PROJECT_CPU& C, const PROJECT_FLASH& F) {
  uint32_t NumEnabled = 0;
  for (uint32_t i = 0; i < F.NumBanks; i++)
    NumEnabled += F.aBank[i].Disabled ? 0 : 1;
  w->U32(STAMPER_ID_NUM_BANKS, NumEnabled);
  for (uint32_t i = 0; i < F.NumBanks; i++) {
    const PROJECT_BANK& b = F.aBank[i];
    if (b.Disabled) continue;
    if (!b.IsInternal) { // external flash needs a flash module of the probe library, which has none
      APP_ErrorOutf("Flash bank @ 0x%.8X is not supported in stand-alone mode", b.BaseAddr);
      return -1;
    }
    XRELAYARM_LOADER_DESC Desc{};
    CMSISInfo Algo{};
    MCUDB_ALGO_INFO* pAlgoInfo = nullptr;
    int iBank = _DeviceBank(C.Device, b.BaseAddr);
    if (iBank < 0 || MCUDB_GetAlgoInfo(C.Device, iBank, b.acLoaderName, &Desc, &Algo, &pAlgoInfo) != 0) {
      if (b.acBankName[0]) {
        APP_ErrorOutf("Could not find an algorithm for programming flash bank %d (%s). Please contact support "
                      "to get one for this device.",
                      (int)i, b.acBankName);
      } else {
        APP_ErrorOutf("Could not find an algorithm for programming flash bank %d. Please contact support to get "
                      "one for this device.",
                      (int)i);
      }
      return -1;
    }
    std::unique_ptr<MCUDB_ALGO_INFO*, void (*)(MCUDB_ALGO_INFO**)> FreeInfo(&pAlgoInfo, MCUDB_FreeAlgoInfo);
    if (Desc.LoaderKind != MCUDB_LOADER_KIND_CMSIS_FILE && Desc.LoaderKind != MCUDB_LOADER_KIND_CMSIS_IMAGE) {
      APP_ErrorOutf("Flash bank @ 0x%.8X is not supported in stand-alone mode", b.BaseAddr);
      return -1;
    }
    if (Algo.sScriptFile && Algo.sScriptFile[0] && !_TranslateScript(Algo.sScriptFile)) {
      APP_ErrorOutf("Flash bank @ 0x%.8X: Failed to translate X-Relay script file associated with flash loader. "
                    "X-Relay script file: %s",
                    b.BaseAddr, Algo.sScriptFile);
      return -1;
    }
    // The device database keeps the loader without its RAMCode image: parse it again for the image.
    CMSISInfo Image{};
    if (MCUDB_ParseFlashLoader(int(Desc.LoaderKind), Desc.pImage, Desc.ImageSize, Desc.sAlgoFile,
                               reinterpret_cast<const SectorRegion*>(Desc.paSectors), Desc.sScriptFile, &Image,
                               0) < 0) {
      return -1;
    }
    Algo.pImage = Image.pImage;
    Algo.ImageSize = Image.ImageSize;
    uint8_t ab[STAMPER_BANK_DESC_SIZE];
    _BankDescriptor(ab, b, Algo);
    w->Block(STAMPER_ID_BANK, ab, sizeof(ab));
    _WriteCMSISBank(w, Algo, pAlgoInfo);
    MCUDB_FreeCMSISInfo(&Image);
  }
  return 0;
}

uint32_t _EraseMode(const PROJECT_PRODUCTION& P, const PROJECT_PERFORMANCE& Perf) {
  if (!P.AutoPerformsErase) return 0;
  if (P.EraseType == 3 || P.EraseType == 4) return 3;
  return Perf.PerfromBlankCheckPriorEraseSelectedSectors ? 2 : 1;
}

void _WriteProduction(CfgWriter* w, const PROJECT_PRODUCTION& P, const PROJECT_PERFORMANCE& Perf) {
  w->U8(STAMPER_ID_ERASE_MODE, _EraseMode(P, Perf));
  w->U8(STAMPER_ID_VERIFY_MODE, P.AutoPerformsVerify ? Perf.VerifyType : 0);
  w->U8(410, P.AutoPerformsProgram);
  w->U8(415, P.AutoPerformsSecure);
  w->U8(417, P.AutoPerformsStartApp);
  w->U8(418, P.StartAppType);
  w->U8(420, P.ProgramSN);
  w->U32(421, P.SNAddr);
  w->U32(423, P.SNLen);
  w->U32(422, P.SNInc);
  w->U8(440, P.OverrideTimeouts);
  w->U32(441, P.TimeoutErase);
  w->U32(442, P.TimeoutProgram);
  w->U32(443, P.TimeoutVerify);
  w->U8(450, P.MonitorVTref);
  w->U32(451, P.MonitorVTrefMin);
  w->U32(452, P.MonitorVTrefMax);
  w->U8(453, P.EnableTargetPower);
  w->U32(430, P.EnableTargetPower ? P.TargetPowerDelay : 0);
  w->U32(454, P.EnableFixedVTref ? P.FixedVTref : 0);
}

/*********************************************************************
 * The data file
 */
uint32_t _NextPowerOf2(uint32_t v) {
  uint32_t p = 1;
  while (p < v && p < 0x80000000u)
    p <<= 1;
  return p;
}

int _Log2(uint32_t v) {
  int n = 0;
  while ((1u << n) < v)
    n++;
  return n;
}

// Block alignment of a bank, with its warnings.
uint32_t _Alignment(const STAMPER_DAT_BANK& b, bool Report) {
  uint32_t Align = b.MinAlign ? b.MinAlign : (uint32_t)STAMPER_ALIGN;
  if (b.IsCMSIS && b.MinAlign && (b.MinAlign & (b.MinAlign - 1)) != 0) {
    if (Report) APP_WarnOut("Flash bank @ specifies non power of 2 as MinAlign. Rounding up to next power of 2");
    Align = _NextPowerOf2(b.MinAlign);
  }
  if (Align > STAMPER_ALIGN) {
    if (Report)
      _WarnOutf("Warning: Required MinAlign of 0x%.8X bytes exceeds max. Stamper DAT block size. Alignment will be "
                "changed to 0x%.8X bytes.",
                Align, (uint32_t)STAMPER_ALIGN);
    Align = STAMPER_ALIGN;
  }
  return Align;
}

// The data of one bank: the image inside its selected sectors, plus the erased serial-number
// area when production programming writes one there. Null when out of memory.
DataImage* _BankImage(DataImage* pImage, const STAMPER_DAT_BANK& b, const PROJECT_PRODUCTION* pProd) {
  DataImage* p = DATAIMAGE_Create();
  if (p == nullptr || DATAIMAGE_MergeMasked(p, pImage, b.pSelected) < 0) {
    DATAIMAGE_Delete(p);
    return nullptr;
  }
  if (pProd && pProd->ProgramSN && pProd->SNLen) {
    uint32_t Len = pProd->SNLen > 64 ? 64 : pProd->SNLen;
    uint64_t Last = (uint64_t)pProd->SNAddr + Len - 1;
    if (pProd->SNAddr >= b.First && Last <= b.Last) {
      for (uint32_t a = pProd->SNAddr; a <= Last; a++) {
        uint8_t v;
        if (DATAIMAGE_GetByte(p, a, &v) == -1) DATAIMAGE_WriteBytes(p, a, 1, &b.EmptyValue);
      }
    }
  }
  return p;
}

struct DatWriter {
  uint8_t* pFile = nullptr; // null: only count
  uint32_t NumBlocks = 0;
  uint32_t NumData = 0; // bytes of the blocks
  uint32_t H = 0;       // header size
  uint32_t Crc = 0;     // running CRC of the blocks
  std::unique_ptr<uint8_t[]> pBlock{new uint8_t[STAMPER_ALIGN]};
};

// Last address of the first selected range that ends at or after Addr (0xFFFFFFFF: none).
uint32_t _SelectedEnd(DataImage* pSel, uint32_t Addr) {
  for (uint32_t i = 0, n = DATAIMAGE_GetNumRanges(pSel); i < n; i++) {
    uint32_t Start, Len;
    DATAIMAGE_GetRange(pSel, i, &Start, &Len);
    if ((uint64_t)Start + Len - 1 >= Addr) return Start + Len - 1;
  }
  return 0xFFFFFFFFu;
}

// Cuts one bank's data into blocks; counts them, and with pFile set writes them.
void _Blocks(DatWriter* w, DataImage* pBank, const STAMPER_DAT_BANK& b, uint32_t Align) {
  if (DATAIMAGE_GetNumRanges(pBank) == 0) return;
  int Bits = _Log2(Align);
  uint32_t Addr = DATAIMAGE_GetStartAddr(pBank), End = DATAIMAGE_GetEndAddr(pBank);
  for (;;) {
    uint32_t BlockAddr = 0;
    uint32_t n = DATAIMAGE_GetBlock(pBank, Addr, End, Align - 1, b.EmptyValue, w->pBlock.get(), nullptr, &BlockAddr,
                                    STAMPER_ALIGN, Bits, Bits);
    if (n == 0) break;
    // A block never runs past the selected sectors it starts in, nor past the bank.
    uint32_t Last = std::min(_SelectedEnd(b.pSelected, BlockAddr), b.Last);
    if ((uint64_t)BlockAddr + n - 1 > Last) n = Last - BlockAddr + 1;
    if (w->pFile) {
      APP_LogOutf("Preparing DAT file range: 0x%.8X - 0x%.8X (%d bytes).", BlockAddr, BlockAddr + n - 1, (int)n);
      uint32_t Offset = w->H + w->NumData;
      std::memcpy(w->pFile + Offset, w->pBlock.get(), n);
      w->Crc = CRC32_Update(w->Crc, w->pBlock.get(), n);
      uint8_t* e = w->pFile + STAMPER_ENVELOPE_SIZE + STAMPER_DAT_ENTRY_SIZE * w->NumBlocks;
      _PutU32(e, BlockAddr);
      _PutU32(e + 4, n);
      _PutU32(e + 8, Offset);
      _PutU32(e + 12, w->Crc);
    }
    w->NumBlocks++;
    w->NumData += n;
    if ((uint64_t)BlockAddr + n - 1 >= End) break;
    Addr = BlockAddr + n;
  }
}

// Walks the enabled banks (a second pass writes what the first counted). -1 out of memory.
int _Pass(DatWriter* w, DataImage* pImage, const STAMPER_DAT_BANK* paBank, int NumBanks,
          const PROJECT_PRODUCTION* pProd) {
  bool Write = w->pFile != nullptr;
  for (int i = 0; i < NumBanks; i++) {
    const STAMPER_DAT_BANK& b = paBank[i];
    if (b.Disabled) {
      if (!Write) _WarnOutf("Flash bank %d disabled, skipped.", b.Index);
      continue;
    }
    DataImage* pBank = _BankImage(pImage, b, pProd);
    if (pBank == nullptr) {
      APP_ErrorOut("Insufficient memory!");
      return -1;
    }
    _Blocks(w, pBank, b, _Alignment(b, Write));
    DATAIMAGE_Delete(pBank);
  }
  return 0;
}

// The project's banks as the builder takes them (selections as data-less ranges).
struct ProjectBanks {
  STAMPER_DAT_BANK a[PROJECT_MAX_BANKS]{};
  int n = 0;
  ~ProjectBanks() {
    for (int i = 0; i < n; i++)
      DATAIMAGE_Delete(a[i].pSelected);
  }
};

int _GetProjectBanks(ProjectBanks* p) {
  auto pFlash = std::make_unique<PROJECT_FLASH>();
  auto pCPU = std::make_unique<PROJECT_CPU>();
  auto pList = std::make_unique<BANK_LIST>();
  if (PROJECT_GetFlash(pFlash.get()) < 0 || PROJECT_GetCPU(pCPU.get()) < 0) return -1;
  pList->NumBanks = (int)pFlash->NumBanks;
  pList->CurrentBank = -1;
  for (int i = 0; i < pList->NumBanks; i++) {
    const PROJECT_BANK& s = pFlash->aBank[i];
    BANK_INFO* d = &pList->aBank[i];
    BANKREC_CopySettings(d, s);
    d->DeviceIndex = s.IsInternal ? pCPU->Device : s.Device;
    d->DeviceKnown = !s.IsInternal && s.Device >= 0;
  }
  for (int i = 0; i < pList->NumBanks; i++) {
    STAMPER_DAT_BANK& b = p->a[i];
    const PROJECT_BANK& s = pFlash->aBank[i];
    b.Index = i;
    b.Disabled = s.Disabled;
    b.EmptyValue = 0xFF;
    b.pSelected = DATAIMAGE_Create();
    p->n = i + 1;
    if (b.pSelected == nullptr) return -1;
    if (s.Disabled) continue;
    XRELAYARM_LOADER_DESC Desc{};
    CMSISInfo Algo{};
    if (s.IsInternal && _GetCMSISLoader(pCPU->Device, s, &Desc, &Algo)) {
      b.IsCMSIS = 1;
      b.EmptyValue = uint8_t(Algo.EmptyValue);
      b.MinAlign = Algo.PageSize;
    }
    if (BANK_GetRange(pList.get(), i, &b.First, &b.Last) < 0 ||
        BANK_GetSelectedRanges(pList.get(), i, b.pSelected) < 0) {
      return -1;
    }
  }
  return 0;
}

/*
 * The fit check where the flash operations provide none: data outside the selected sectors of
 * the enabled banks would not reach the programmer, so it is refused (no relocation is offered
 * here). Banks detected automatically have no known sectors: then nothing is checked.
 */
int _CheckFits(DataImage* pImage, const ProjectBanks& Banks) {
  auto pFlash = std::make_unique<PROJECT_FLASH>();
  PROJECT_GetFlash(pFlash.get());
  for (uint32_t i = 0; i < pFlash->NumBanks; i++)
    if (!pFlash->aBank[i].Disabled && pFlash->aBank[i].AutoDetect) return 0;
  DataImage* pAll = DATAIMAGE_Create();
  if (pAll == nullptr) return -1;
  for (int b = 0; b < Banks.n; b++) {
    uint32_t Start, Len;
    for (uint32_t i = 0; DATAIMAGE_GetRange(Banks.a[b].pSelected, i, &Start, &Len); i++)
      DATAIMAGE_AddData(pAll, Start, Len, nullptr);
  }
  int iRange = DATAIMAGE_FindUncontained(pAll, pImage, 0);
  DATAIMAGE_Delete(pAll);
  if (iRange < 0) return 0;
  uint32_t Start, Len;
  DATAIMAGE_GetRange(pImage, (uint32_t)iRange, &Start, &Len);
  APP_ErrorOutf("Selected Data (0x%X - 0x%X) does not fit into selected flash sectors.", Start, Start + Len - 1);
  return -1;
}

bool _AskPath(const char* sTitle, const char* sFilter, char* sPath, int PathSize) {
  APP_GUI_REQUESTS* pGUI = APP_GetGUI();
  if (pGUI == nullptr || APP_IsCmdLineActive()) return false;
  SETTINGS_GetDataFilesDir(sPath, PathSize);
  if (pGUI->ShowFileDialogSave(sPath, PathSize, sTitle, sFilter, sFilter) != 0 || sPath[0] == 0) return false;
  SETTINGS_SetDataFilesDir(sPath);
  return true;
}

// Builds and saves one of the two files; the texts name which.
struct SaveTexts {
  const char* sTitle;
  const char* sFilter;
  const char* sSaving;
  const char* sSaved;
  const char* sFailed;
};
int _Save(const char* sPath, const SaveTexts& t, int (*pfBuild)(STAMPER_FILE*), bool PCodes) {
  char acPath[512];
  UTIL_strcpy(acPath, sPath ? sPath : "", sizeof(acPath));
  if (acPath[0] == 0 && !_AskPath(t.sTitle, t.sFilter, acPath, sizeof(acPath))) return -1;
  char ac[640];
  UTIL_sprintf(ac, sizeof(ac), t.sSaving, acPath);
  APP_LogBegin(ac);
  STAMPER_FILE File{};
  int r = pfBuild(&File);
  if (r == 0) r = APP_SaveFile(acPath, File.pData, File.NumBytes);
  if (r == 0 && PCodes) r = STAMPER_SavePCodes(acPath);
  if (r == 0) {
    UTIL_sprintf(ac, sizeof(ac), t.sSaved, CRC32_Update(0, File.pData, File.NumBytes));
    APP_LogCompleted(ac);
  } else {
    APP_ErrorOut(t.sFailed);
  }
  STAMPER_FreeFile(&File);
  APP_LogEnd(nullptr);
  return r;
}

} // namespace

void STAMPER_FreeFile(STAMPER_FILE* pFile) {
  SYS_MEM_Free(pFile->pData);
  pFile->pData = nullptr;
  pFile->NumBytes = 0;
}

uint32_t STAMPER_CalcCRC(const uint8_t* pData, uint32_t CoveredSize) {
  uint32_t Crc = CRC32_Update(0, pData, STAMPER_TEXT_SIZE);
  if (CoveredSize > STAMPER_ENVELOPE_SIZE)
    Crc = CRC32_Update(Crc, pData + STAMPER_ENVELOPE_SIZE, CoveredSize - STAMPER_ENVELOPE_SIZE);
  return Crc;
}

int STAMPER_BuildConfigFile(STAMPER_FILE* pFile) {
  *pFile = STAMPER_FILE{};
  auto pTIF = std::make_unique<PROJECT_TIF>();
  auto pCPU = std::make_unique<PROJECT_CPU>();
  auto pFlash = std::make_unique<PROJECT_FLASH>();
  PROJECT_PRODUCTION Prod;
  PROJECT_PERFORMANCE Perf;
  if (PROJECT_GetTIF(pTIF.get()) < 0 || PROJECT_GetCPU(pCPU.get()) < 0 || PROJECT_GetFlash(pFlash.get()) < 0 ||
      PROJECT_GetProduction(&Prod) < 0 || PROJECT_GetPerformance(&Perf) < 0) {
    APP_ErrorOut("No project file opened.");
    return -1;
  }
  CfgWriter w;
  uint8_t* pHeader = w.Header();
  if (pHeader == nullptr) return -1;
  _WriteText(pHeader, "Stamper Config File");
  if (_WriteInterface(&w, *pTIF) < 0 || _WriteCPU(&w, *pCPU) < 0 || _WriteFlash(&w, *pCPU, *pFlash) < 0) return -1;
  _WriteProduction(&w, Prod, Perf);
  if (!w.Ok()) return -1;
  return w.Finish(pFile);
}

int STAMPER_BuildDataFileEx(DataImage* pImage, const STAMPER_DAT_BANK* paBank, int NumBanks,
                            const PROJECT_PRODUCTION* pProd, STAMPER_FILE* pFile) {
  *pFile = STAMPER_FILE{};
  DatWriter w;
  if (_Pass(&w, pImage, paBank, NumBanks, pProd) < 0) return -1;
  uint32_t H = _RoundUp((uint64_t)STAMPER_DAT_ENTRY_SIZE * w.NumBlocks + STAMPER_ENVELOPE_SIZE + STAMPER_DAT_ENTRY_SIZE,
                        STAMPER_ALIGN);
  uint64_t Size = (uint64_t)H + w.NumData;
  if (Size > 0xFFFFFFFFull) {
    APP_ErrorOut("Insufficient memory!");
    return -1;
  }
  uint8_t* pData = static_cast<uint8_t*>(SYS_MEM_Alloc((size_t)Size, "APP: DAT file buffer"));
  if (pData == nullptr) {
    APP_ErrorOut("Insufficient memory!");
    return -1;
  }
  std::memset(pData, 0, H);
  _WriteText(pData, "Stamper Data File");
  uint32_t NumCounted = w.NumData;
  w.pFile = pData;
  w.H = H;
  w.NumBlocks = 0;
  w.NumData = 0;
  if (_Pass(&w, pImage, paBank, NumBanks, pProd) < 0 || w.NumData != NumCounted) {
    SYS_MEM_Free(pData);
    return -1;
  }
  _Seal(pData, H, H);
  pFile->pData = pData;
  pFile->NumBytes = (uint32_t)Size;
  return 0;
}

int STAMPER_BuildDataFile(STAMPER_FILE* pFile) {
  *pFile = STAMPER_FILE{};
  SYS_MUTEX* pLock = APP_GetAppLock();
  if (pLock) SYS_MUTEX_Lock(pLock, -1);
  DataImage* pImage = DATAJOBS_GetCurImage();
  int r = -1;
  if (pImage == nullptr) {
    APP_ErrorOut("No data file open. Please ensure that you have opened a data file.");
  } else {
    ProjectBanks Banks;
    PROJECT_PRODUCTION Prod;
    if (_GetProjectBanks(&Banks) < 0 || PROJECT_GetProduction(&Prod) < 0) {
      APP_ErrorOut("Insufficient memory!");
    } else if (_Hooks.pfCheckDataFits ? _Hooks.pfCheckDataFits(pImage) == 0 : _CheckFits(pImage, Banks) == 0) {
      r = STAMPER_BuildDataFileEx(pImage, Banks.a, Banks.n, &Prod, pFile);
    }
  }
  if (pLock) SYS_MUTEX_Unlock(pLock);
  return r;
}

int STAMPER_SavePCodes(const char*) {
  // The devices of this probe library come without PCode blobs.
  APP_LogOut("Saving PCodes... Skipped, no PCodes available");
  return 0;
}

int STAMPER_SaveConfigFile(const char* sPath) {
  static const SaveTexts t = {"Save configuration file", "Configuration files (*.cfg)", "Saving config file [%s] ...",
                              "Config file saved successfully (CRC: 0x%.8X)", "Failed to save config file"};
  return _Save(sPath, t, STAMPER_BuildConfigFile, true);
}

int STAMPER_SaveDataFile(const char* sPath) {
  static const SaveTexts t = {"Save data file", "Data files (*.dat)", "Saving data file [%s] ...",
                              "Data file saved successfully (CRC: 0x%.8X)", "Failed to save data file"};
  return _Save(sPath, t, STAMPER_BuildDataFile, false);
}

void STAMPER_SetHooks(const STAMPER_HOOKS* pHooks) { _Hooks = pHooks ? *pHooks : STAMPER_HOOKS{}; }
const STAMPER_HOOKS* STAMPER_GetHooks(void) { return &_Hooks; }

