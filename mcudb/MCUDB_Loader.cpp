/*
 * MCUDB_Loader - parsing of CMSIS flash algorithms, compressed flash-loader images and the data
 * entries of compiled loader scripts.
 */
#include "mcudb/MCUDB_Loader.h"

#include <cstdarg>
#include <cstring>
#include <vector>

#include "data/ELF.h"
#include "mcudb/RAMCODE.h"
#include "sys/SYS.h"
#include "sys/UTIL.h"

namespace {

void (*_pfError)(const char* sText);

void _Error(const char* sFormat, ...) __attribute__((format(printf, 1, 2)));
void _Error(const char* sFormat, ...) {
  va_list Args;
  va_start(Args, sFormat);
  UTIL_vOutf(_pfError, sFormat, Args);
  va_end(Args);
}

// The limit is the RAMCode buffer the engine reserves; the text names the limit enforced.
void _ErrorTooLarge() {
  _Error("Specified flashloader exceeds max. size of %d KB.", MCUDB_MAX_RAMCODE_SIZE / 1024);
}

// FlashDevice field offsets.
enum {
  FD_VERS = 0,
  FD_DEV_ADR = 132,
  FD_SZ_DEV = 136,
  FD_SZ_PAGE = 140,
  FD_VAL_EMPTY = 148,
  FD_TO_PROG = 152,
  FD_TO_ERASE = 156,
};

// What the FlashDevice of an image says, after the version and sector-table checks.
struct FlashDeviceView {
  uint32_t DevAdr, szDev, szPage, valEmpty, toProg, toErase;
  MCUDB_SECTOR_RUN aRun[MCUDB_MAX_REGIONS];
  uint32_t NumRuns, NumUsed;
};

// Entries of a FlashDevice of NumBytes, or reported -1.
int _CheckFlashDeviceSize(uint64_t NumBytes, uint32_t* pNumEntries) {
  uint64_t n = NumBytes < MCUDB_FLASHDEVICE_HEAD ? 0 : (NumBytes - MCUDB_FLASHDEVICE_HEAD) / 8;
  if (NumBytes < MCUDB_FLASHDEVICE_HEAD || n > MCUDB_MAX_SECTOR_ENTRIES) {
    _Error("Algo error: FlashDevice.SectorInfo[] NumEntries = %u, max. allowed = %u",
           n > 0xFFFFFFFFu ? 0xFFFFFFFFu : unsigned(n), unsigned(MCUDB_MAX_SECTOR_ENTRIES));
    return -1;
  }
  *pNumEntries = static_cast<uint32_t>(n);
  return 0;
}

// The FlashDevice at FdOff (FdSize bytes, known to lie inside the image): version, fields and runs.
int _ReadFlashDevice(const uint8_t* pImg, uint32_t FdOff, uint32_t NumEntries, bool Swap,
                     FlashDeviceView* p) {
  const uint8_t* pFd = pImg + FdOff;
  uint16_t Vers = UTIL_Load16(pFd + FD_VERS, Swap);
  if (Vers != 0x0101) {
    _Error("Algo error: Unsupported CMSIS algo version: %d.%d", Vers >> 8, Vers & 0xFF);
    return -1;
  }
  p->DevAdr = UTIL_Load32(pFd + FD_DEV_ADR, Swap);
  p->szDev = UTIL_Load32(pFd + FD_SZ_DEV, Swap);
  p->szPage = UTIL_Load32(pFd + FD_SZ_PAGE, Swap);
  p->valEmpty = pFd[FD_VAL_EMPTY];
  p->toProg = UTIL_Load32(pFd + FD_TO_PROG, Swap);
  p->toErase = UTIL_Load32(pFd + FD_TO_ERASE, Swap);
  if (MCUDB_ConvertSectorInfo(pFd + MCUDB_FLASHDEVICE_HEAD, NumEntries, p->DevAdr, Swap, p->aRun,
                              MCUDB_MAX_REGIONS, &p->NumRuns, &p->NumUsed) < 0) {
    return -1;
  }
  if (p->NumRuns > MCUDB_MAX_REGIONS) {
    _Error("Algo error: Too many flash sector regions defined. Defined = %u, max. allowed = %u", p->NumRuns,
           unsigned(MCUDB_MAX_REGIONS));
    return -1;
  }
  return 0;
}

/*
 * Bytes to download: the unused tail of the sector table (end marker included) is left out.
 * DescrSize is the size of what holds FlashDevice ("DevDscr" section, or FlashDevice itself).
 * The tail is only dropped when it lies wholly inside FlashDevice behind its used entries; a
 * descriptor section that is not the last would otherwise cut code or data from the image.
 */
int64_t _TrimmedSize(uint64_t Span, uint64_t DescrSize, uint64_t FdOff, uint64_t FdSize, uint32_t NumUsed) {
  int64_t Trim = int64_t(DescrSize) - 8 * int64_t(NumUsed) - MCUDB_FLASHDEVICE_HEAD;
  int64_t Size = int64_t(Span) - Trim;
  if (Trim < 0 || Size < 0 || Size > MCUDB_MAX_RAMCODE_SIZE) {
    _ErrorTooLarge();
    return -1;
  }
  uint64_t UsedEnd = FdOff + MCUDB_FLASHDEVICE_HEAD + 8ull * NumUsed;
  if (uint64_t(Size) < UsedEnd || FdOff + FdSize < Span) return int64_t(Span);
  return Size;
}

// Sector layout of the CMSISInfo: from FlashDevice (cut at the device list's size) or the device list.
int _SetLayout(CMSISInfo* pInfo, const FlashDeviceView& Fd, const SectorRegion* paDev, uint32_t Flags) {
  if (Flags & MCUDB_PARSE_FLAG_DEVICE_LAYOUT) {
    if (paDev == nullptr) return -1;
    int n = 0;
    while (n < MCUDB_MAX_REGIONS && paDev[n].NumSectors)
      n++;
    if (n > MCUDB_MAX_REGIONS - 1) return -1; // room for the ending entry
    std::memcpy(pInfo->aRegion, paDev, sizeof(SectorRegion) * n);
    return 0;
  }
  uint64_t MaxSize = ~0ull;
  if (paDev && paDev[0].NumSectors) {
    MaxSize = 0;
    for (int i = 0; i < MCUDB_MAX_REGIONS && paDev[i].NumSectors; i++) {
      MaxSize += uint64_t(paDev[i].NumSectors) * paDev[i].SectorSize;
    }
  }
  bool Cut = false;
  if (MCUDB_CountSectors(Fd.aRun, Fd.NumRuns, Fd.szDev, MaxSize, pInfo->aRegion, &Cut) < 0) return -1;
  pInfo->LayoutCut = Cut ? 1 : 0;
  return 0;
}

void _SetFromFlashDevice(CMSISInfo* pInfo, const FlashDeviceView& Fd) {
  pInfo->PageSize = Fd.szPage;
  pInfo->EmptyValue = Fd.valEmpty;
  pInfo->TimeoutProgram = Fd.toProg;
  pInfo->TimeoutErase = Fd.toErase;
}

void _ClearInfo(CMSISInfo* pInfo) {
  std::memset(pInfo, 0, sizeof(*pInfo));
  for (int32_t& Off : pInfo->aEntryOffset)
    Off = -1;
}

struct ElfCloser {
  ElfFile* p;
  ~ElfCloser() { ELF_Close(p); }
};

struct EntrySymbols {
  int Entry;
  const char* sName;
  const char* sAltName;
};
const EntrySymbols _aEntrySymbol[] = {
    {MCUDB_ENTRY_INIT, "Init", nullptr},
    {MCUDB_ENTRY_UNINIT, "UnInit", nullptr},
    {MCUDB_ENTRY_PREPARE, "KORVEN_FL_Prepare", nullptr},
    {MCUDB_ENTRY_RESTORE, "KORVEN_FL_Restore", nullptr},
    {MCUDB_ENTRY_ERASE_SECTOR, "EraseSector", nullptr},
    {MCUDB_ENTRY_ERASE, "KORVEN_FL_Erase", "KORVEN_OPEN_Erase"},
    {MCUDB_ENTRY_PROGRAM_PAGE, "ProgramPage", nullptr},
    {MCUDB_ENTRY_PROGRAM, "KORVEN_FL_Program", "KORVEN_OPEN_Program"},
    {MCUDB_ENTRY_ERASE_CHIP, "EraseChip", nullptr},
    {MCUDB_ENTRY_ERASE_CHIP_EX, "KORVEN_FL_EraseChip", nullptr},
    {MCUDB_ENTRY_BLANK_CHECK, "BlankCheck", nullptr},
    {MCUDB_ENTRY_CHECK_BLANK, "KORVEN_FL_CheckBlank", nullptr},
    {MCUDB_ENTRY_VERIFY, "Verify", nullptr},
    {MCUDB_ENTRY_VERIFY_EX, "KORVEN_FL_Verify", nullptr},
    {MCUDB_ENTRY_READ, "KORVEN_FL_Read", "KORVEN_OPEN_Read"},
    {MCUDB_ENTRY_CALC_CRC, "KORVEN_FL_CalcCRC", "KORVEN_OPEN_CalcCRC"},
    {MCUDB_ENTRY_START, "KORVEN_FL_Start", "KORVEN_OPEN_Start"},
    {MCUDB_ENTRY_GET_FLASH_INFO, "KORVEN_FL_GetFlashInfo", "KORVEN_OPEN_GetFlashInfo"},
};

// Entry of each compressed entry kind 0-23.
const int8_t _aKindEntry[24] = {
    MCUDB_ENTRY_INIT,           MCUDB_ENTRY_UNINIT,     MCUDB_ENTRY_ERASE_SECTOR,
    MCUDB_ENTRY_PROGRAM_PAGE,   MCUDB_ENTRY_ERASE_CHIP, MCUDB_ENTRY_BLANK_CHECK,
    MCUDB_ENTRY_VERIFY,         MCUDB_ENTRY_ERASE,      MCUDB_ENTRY_PROGRAM,
    MCUDB_ENTRY_READ,           MCUDB_ENTRY_CALC_CRC,   MCUDB_ENTRY_START,
    MCUDB_ENTRY_GET_FLASH_INFO, MCUDB_ENTRY_ERASE,      MCUDB_ENTRY_PROGRAM,
    MCUDB_ENTRY_READ,           MCUDB_ENTRY_CALC_CRC,   MCUDB_ENTRY_START,
    MCUDB_ENTRY_GET_FLASH_INFO, MCUDB_ENTRY_VERIFY_EX,  MCUDB_ENTRY_CHECK_BLANK,
    MCUDB_ENTRY_PREPARE,        MCUDB_ENTRY_RESTORE,    MCUDB_ENTRY_ERASE_CHIP_EX,
};
enum { KFLC_KIND_INT_ENABLED = 24, KFLC_HEADER_SIZE = 32 };

int _ParseCMSISAlgo(int Kind, const uint8_t* pImage, uint32_t ImageSize, const char* sPath,
                    const SectorRegion* paDev, uint32_t Flags, CMSISInfo* pInfo) {
  // The ELF reader says itself why a file cannot be opened or is no ELF file.
  ElfReportConfig Report{sizeof(ElfReportConfig), _pfError, nullptr, nullptr};
  ElfFile* pElf = (Kind == MCUDB_LOADER_KIND_CMSIS_IMAGE) ? ELF_OpenMem(pImage, ImageSize, &Report)
                                                          : ELF_Open(sPath, &Report);
  if (pElf == nullptr) return -1;
  ElfCloser Closer{pElf};
  int BigEndian = ELF_IsBigEndian(pElf);
  if (BigEndian < 0) {
    _Error("Algo error: Unsupported endianess");
    return -1;
  }
  int Class = ELF_GetClass(pElf);
  if (Class != 1 && Class != 2) {
    _Error("Algo error: Unsupported ELF type (neither ELF32 nor ELF64)");
    return -1;
  }
  pInfo->Is64 = (Class == 2) ? 1 : 0;
  ElfSectionInfo PrgData{}, PrgCode{}, DevDscr{};
  PrgData.SizeOfStruct = PrgCode.SizeOfStruct = DevDscr.SizeOfStruct = sizeof(ElfSectionInfo);
  if (ELF_FindSection(pElf, "PrgData", &PrgData) != 0) {
    _Error("Algo error: Cannot find \"PrgData\" section.");
    return -1;
  }
  if (ELF_FindSection(pElf, "PrgCode", &PrgCode) != 0) {
    _Error("Algo error: Cannot find \"PrgCode\" section.");
    return -1;
  }
  ElfSymbolInfo Fd{};
  if (ELF_FindSymbol(pElf, "FlashDevice", &Fd) != 0) {
    _Error("Algo error: Cannot find struct \"FlashDevice\"");
    return -1;
  }
  uint32_t NumEntries = 0;
  if (_CheckFlashDeviceSize(Fd.Size, &NumEntries) < 0) return -1;
  // The trimming below needs the descriptor section's size; without it nothing says where the
  // unused sector entries end.
  if (ELF_FindSection(pElf, "DevDscr", &DevDscr) != 0) {
    _Error("Algo error: Cannot find \"DevDscr\" section.");
    return -1;
  }
  // The image spans every section that the target holds (write, alloc or execute).
  uint64_t NumSections = 0, Lo = ~0ull, Hi = 0;
  ELF_GetNumSections(pElf, &NumSections);
  auto IsImageSection = [](const ElfSectionInfo& s) { return s.Size != 0 && (s.Flags & 7u) != 0; };
  for (uint64_t i = 0; i < NumSections; i++) {
    ElfSectionInfo s{};
    s.SizeOfStruct = sizeof(s);
    if (ELF_GetSectionInfo(pElf, i, &s) != 0 || !IsImageSection(s)) continue;
    if (s.Addr + s.Size < s.Addr) {
      _ErrorTooLarge();
      return -1;
    }
    if (s.Addr < Lo) Lo = s.Addr;
    if (s.Addr + s.Size > Hi) Hi = s.Addr + s.Size;
  }
  if (Hi == 0 || Hi - Lo > MCUDB_MAX_RAMCODE_SIZE) {
    _ErrorTooLarge();
    return -1;
  }
  uint64_t Span = Hi - Lo;
  std::vector<uint8_t> Img(Span, 0);
  for (uint64_t i = 0; i < NumSections; i++) {
    ElfSectionInfo s{};
    s.SizeOfStruct = sizeof(s);
    if (ELF_GetSectionInfo(pElf, i, &s) != 0 || !IsImageSection(s)) continue;
    if (ELF_ReadSection(pElf, i, Img.data() + (s.Addr - Lo), 0, s.Size) != 0) {
      _Error("Incorrect section table in ELF file.");
      return -1;
    }
  }
  if (Fd.Value < Lo || Fd.Value - Lo > Span || Fd.Size > Span - (Fd.Value - Lo)) {
    _Error("Algo error: struct \"FlashDevice\" lies outside the flashloader image");
    return -1;
  }
  uint32_t FdOff = static_cast<uint32_t>(Fd.Value - Lo);
  FlashDeviceView View{};
  if (_ReadFlashDevice(Img.data(), FdOff, NumEntries, BigEndian == 1, &View) < 0) return -1;
  int64_t Size = _TrimmedSize(Span, DevDscr.Size, FdOff, Fd.Size, View.NumUsed);
  if (Size < 0) return -1;
  pInfo->pImage =
      static_cast<uint8_t*>(SYS_MEM_Alloc(Size ? size_t(Size) : 1, "MCUDB.c: CMSIS Info RAM Code"));
  if (pInfo->pImage == nullptr) return -1;
  std::memcpy(pInfo->pImage, Img.data(), size_t(Size));
  pInfo->ImageSize = static_cast<uint32_t>(Size);
  pInfo->PrgDataAddr = static_cast<uint32_t>(PrgData.Addr);
  _SetFromFlashDevice(pInfo, View);
  if (_SetLayout(pInfo, View, paDev, Flags) < 0) return -1;
  for (const EntrySymbols& e : _aEntrySymbol) {
    int32_t Off = MCUDB_GetEntryOffset(pElf, e.sName, PrgCode.Addr);
    if (Off < 0 && e.sAltName) Off = MCUDB_GetEntryOffset(pElf, e.sAltName, PrgCode.Addr);
    pInfo->aEntryOffset[e.Entry] = Off;
  }
  uint8_t IntEn = 0;
  int r = MCUDB_ReadOFLVar(pElf, "KORVEN_FL_GoIntEn", 1, &IntEn);
  if (r < 0) return -1;
  if (r == 0) pInfo->IntEnabled = 1;
  return 0;
}

int _ParseCompressed(const uint8_t* pImage, uint32_t ImageSize, const SectorRegion* paDev, uint32_t Flags,
                     CMSISInfo* pInfo) {
  if (pImage == nullptr || ImageSize < KFLC_HEADER_SIZE) {
    _Error("Algo error: Flashloader image header is incomplete");
    return -1;
  }
  uint16_t HdrFlags = UTIL_Load16(pImage + 6, false);
  uint32_t LinkAddr = UTIL_Load32(pImage + 8, false), UnpackedSize = UTIL_Load32(pImage + 12, false);
  uint32_t FdOff = UTIL_Load32(pImage + 16, false), FdSize = UTIL_Load32(pImage + 20, false);
  uint32_t PrgDataOff = UTIL_Load32(pImage + 24, false), NumWords = UTIL_Load32(pImage + 28, false);
  uint64_t StreamOff = KFLC_HEADER_SIZE + 4ull * NumWords;
  if (StreamOff > ImageSize) {
    _Error("Algo error: Flashloader image header is incomplete");
    return -1;
  }
  uint32_t NumEntries = 0;
  if (_CheckFlashDeviceSize(FdSize, &NumEntries) < 0) return -1;
  if (UnpackedSize == 0 || UnpackedSize > MCUDB_MAX_RAMCODE_SIZE) {
    _ErrorTooLarge();
    return -1;
  }
  pInfo->pImage = static_cast<uint8_t*>(SYS_MEM_Alloc(UnpackedSize, "MCUDB.c: CMSIS Info RAM Code"));
  if (pInfo->pImage == nullptr) return -1;
  int n = RAMCODE_Decompress(pImage + StreamOff, static_cast<uint32_t>(ImageSize - StreamOff), pInfo->pImage,
                             UnpackedSize);
  if (n != static_cast<int>(UnpackedSize)) {
    _Error("Error while decompressing RAMCode.");
    return -1;
  }
  if (uint64_t(FdOff) + FdSize > UnpackedSize) {
    _Error("Algo error: struct \"FlashDevice\" lies outside the flashloader image");
    return -1;
  }
  FlashDeviceView View{};
  if (_ReadFlashDevice(pInfo->pImage, FdOff, NumEntries, (HdrFlags & 2u) != 0, &View) < 0) return -1;
  int64_t Size = _TrimmedSize(UnpackedSize, FdSize, FdOff, FdSize, View.NumUsed);
  if (Size < 0) return -1;
  pInfo->ImageSize = static_cast<uint32_t>(Size);
  pInfo->PrgDataAddr = LinkAddr + PrgDataOff;
  pInfo->Is64 = (HdrFlags & 1u) ? 1 : 0;
  _SetFromFlashDevice(pInfo, View);
  if (_SetLayout(pInfo, View, paDev, Flags) < 0) return -1;
  for (uint32_t i = 0; i < NumWords; i++) {
    uint32_t Word = UTIL_Load32(pImage + KFLC_HEADER_SIZE + 4 * i, false);
    uint32_t EntryKind = Word >> 24;
    if (EntryKind < 24) {
      pInfo->aEntryOffset[_aKindEntry[EntryKind]] = static_cast<int32_t>(Word & 0xFFFFFFu);
    } else if (EntryKind == KFLC_KIND_INT_ENABLED) {
      pInfo->IntEnabled = 1;
    }
  }
  return 0;
}

using ParseFunc = int(int Kind, const uint8_t* pImage, uint32_t ImageSize, const char* sPath,
                      const SectorRegion* paDev, uint32_t Flags, CMSISInfo* pInfo);

// Both forms: a zeroed record in, the script path on success, nothing left behind on failure.
int _Parse(ParseFunc* pfParse, int Kind, const uint8_t* pImage, uint32_t ImageSize, const char* sPath,
           const SectorRegion* paDev, const char* sScriptFile, CMSISInfo* pInfo, uint32_t Flags) {
  if (pInfo == nullptr) return -1;
  _ClearInfo(pInfo);
  if (pfParse(Kind, pImage, ImageSize, sPath, paDev, Flags, pInfo) < 0) {
    MCUDB_FreeCMSISInfo(pInfo);
    return -1;
  }
  pInfo->sScriptFile = sScriptFile;
  return 0;
}

int _ParseCompressedAdapter(int, const uint8_t* pImage, uint32_t ImageSize, const char*,
                            const SectorRegion* paDev, uint32_t Flags, CMSISInfo* pInfo) {
  return _ParseCompressed(pImage, ImageSize, paDev, Flags, pInfo);
}

/*
 * Compiled loader scripts.
 */
enum { PCV2_HEADER_SIZE = 32, PCV2_TAG_SIZE = 6 };

bool _IsScript(const uint8_t* p, uint32_t Size) {
  return p && Size >= PCV2_HEADER_SIZE && std::memcmp(p, "PCV2", 4) == 0;
}

// Unsigned LEB128 of at most 32 bits at *pPos; false when it runs past End.
bool _ReadLEB128(const uint8_t* p, uint64_t End, uint64_t* pPos, uint32_t* pValue) {
  uint32_t v = 0;
  for (int Shift = 0; Shift < 35; Shift += 7) {
    if (*pPos >= End) return false;
    uint8_t b = p[(*pPos)++];
    v |= uint32_t(b & 0x7Fu) << Shift;
    if ((b & 0x80u) == 0) {
      *pValue = v;
      return true;
    }
  }
  return false;
}

// Data of the named entry, of at least MinSize bytes: 0 or -1 ... -4 as the readers return.
int _GetScriptData(const uint8_t* p, uint32_t Size, const char* sName, uint32_t MinSize,
                   const uint8_t** ppData) {
  if (!_IsScript(p, Size)) return -1;
  uint32_t NumEntries = UTIL_Load32(p + 12, false);
  if (NumEntries == 0) return -2;
  int Index = MCUDB_FindScriptEntry(p, Size, sName);
  if (Index < 0) return -3;
  uint64_t EntryOff = PCV2_HEADER_SIZE + 8ull * Index;
  uint64_t NameOff = PCV2_HEADER_SIZE + 8ull * NumEntries + UTIL_Load32(p + EntryOff, false);
  uint64_t Pos = NameOff + std::strlen(reinterpret_cast<const char*>(p + NameOff)) + 1; // terminated: checked
  uint32_t DataSize = 0;
  while (Pos < Size) {
    uint32_t Tag = 0, Len = 0;
    if (!_ReadLEB128(p, Size, &Pos, &Tag) || Tag == 0) break;
    if (!_ReadLEB128(p, Size, &Pos, &Len) || Len > Size - Pos) return -3;
    if (Tag == PCV2_TAG_SIZE) {
      DataSize = 0;
      for (uint32_t i = 0; i < Len && i < 4; i++)
        DataSize |= uint32_t(p[Pos + i]) << (8 * i);
    }
    Pos += Len;
    if (Pos < Size && p[Pos] == 0) break;
  }
  if (DataSize < MinSize) return -4;
  uint64_t DataOff = uint64_t(UTIL_Load32(p + 16, false)) + UTIL_Load32(p + EntryOff + 4, false);
  if (DataOff + MinSize > Size) return -3;
  *ppData = p + DataOff;
  return 0;
}

} // namespace

void MCUDB_SetLoaderErrorHandler(void (*pfError)(const char* sText)) {
  _pfError = pfError;
}

int MCUDB_ParseCMSISAlgo(int Kind, const uint8_t* pImage, uint32_t ImageSize, const char* sPath,
                         const SectorRegion* paDevSectors, const char* sScriptFile, CMSISInfo* pInfo,
                         uint32_t Flags) {
  return _Parse(_ParseCMSISAlgo, Kind, pImage, ImageSize, sPath, paDevSectors, sScriptFile, pInfo, Flags);
}

int MCUDB_ParseCompressedLoader(int Kind, const uint8_t* pImage, uint32_t ImageSize, const char* sPath,
                                const SectorRegion* paDevSectors, const char* sScriptFile, CMSISInfo* pInfo,
                                uint32_t Flags) {
  return _Parse(_ParseCompressedAdapter, Kind, pImage, ImageSize, sPath, paDevSectors, sScriptFile, pInfo,
                Flags);
}

int MCUDB_ParseFlashLoader(int Kind, const uint8_t* pImage, uint32_t ImageSize, const char* sPath,
                           const SectorRegion* paDevSectors, const char* sScriptFile, CMSISInfo* pInfo,
                           uint32_t Flags) {
  bool IsCompressed = Kind == MCUDB_LOADER_KIND_CMSIS_IMAGE && pImage && ImageSize >= 4 &&
                      std::memcmp(pImage, "KFLC", 4) == 0;
  if (IsCompressed) {
    return MCUDB_ParseCompressedLoader(Kind, pImage, ImageSize, sPath, paDevSectors, sScriptFile, pInfo,
                                       Flags);
  }
  return MCUDB_ParseCMSISAlgo(Kind, pImage, ImageSize, sPath, paDevSectors, sScriptFile, pInfo, Flags);
}

void MCUDB_FreeCMSISInfo(CMSISInfo* pInfo) {
  if (pInfo == nullptr) return;
  SYS_MEM_Free(pInfo->pImage);
  _ClearInfo(pInfo);
}

int MCUDB_ConvertSectorInfo(const uint8_t* pSectors, uint32_t NumEntries, uint32_t DevAdr, bool Swap,
                            MCUDB_SECTOR_RUN* paRun, uint32_t MaxRuns, uint32_t* pNumRuns,
                            uint32_t* pNumUsed) {
  if (NumEntries > MCUDB_MAX_SECTOR_ENTRIES) NumEntries = MCUDB_MAX_SECTOR_ENTRIES;
  uint32_t NumUsed = 0;
  while (NumUsed < NumEntries && UTIL_Load32(pSectors + 8 * NumUsed, Swap) != 0xFFFFFFFFu)
    NumUsed++;
  if (NumUsed == NumEntries) {
    _Error("Flash bank @ 0x%.8X: Algo error: FlashDevice.SectorInfo struct exceeds max. number of supported "
           "entries",
           DevAdr);
    return -1;
  }
  if (NumUsed == 0) {
    _Error("Flash bank @ 0x%.8X: Algo error: FlashDevice.SectorInfo struct must at least describe 1 sector "
           "range. "
           "Found 0 ranges.",
           DevAdr);
    return -1;
  }
  bool Absolute = UTIL_Load32(pSectors + 4, Swap) >= DevAdr;
  uint32_t NumRuns = 0;
  uint32_t CurSize = 0, CurStart = 0;
  uint64_t CurEnd = 0;
  for (uint32_t i = 0; i < NumUsed; i++) {
    uint32_t Size = UTIL_Load32(pSectors + 8 * i, Swap), Addr = UTIL_Load32(pSectors + 8 * i + 4, Swap);
    if (Absolute) {
      if (Addr < DevAdr) {
        _Error("Flash bank @ 0x%.8X: Algo error: FlashDevice.SectorInfo[] holds a mixture of relative and "
               "absolute "
               "values for <SectAddr>",
               DevAdr);
        return -1;
      }
      Addr -= DevAdr;
    }
    if (NumRuns > 0 && Size == CurSize && Addr == CurEnd) {
      CurEnd += Size; // one more sector of the current run
      continue;
    }
    if (NumRuns < MaxRuns) paRun[NumRuns] = MCUDB_SECTOR_RUN{Size, Addr};
    NumRuns++;
    CurSize = Size;
    CurStart = Addr;
    CurEnd = uint64_t(CurStart) + Size;
  }
  *pNumRuns = NumRuns;
  *pNumUsed = NumUsed;
  return 0;
}

int MCUDB_CountSectors(const MCUDB_SECTOR_RUN* paRun, uint32_t NumRuns, uint32_t szDev, uint64_t MaxSize,
                       SectorRegion* paRegion, bool* pCut) {
  std::memset(paRegion, 0, sizeof(SectorRegion) * MCUDB_MAX_REGIONS);
  *pCut = false;
  if (NumRuns > MCUDB_MAX_REGIONS) NumRuns = MCUDB_MAX_REGIONS;
  uint64_t Total = 0;
  for (uint32_t i = 0; i < NumRuns; i++) {
    const MCUDB_SECTOR_RUN& r = paRun[i];
    if (r.SectorSize == 0) {
      _Error("Specified flashloader contains invalid sector size of 0 Bytes for sector[%d].", int(i));
      return -1;
    }
    // Each run ends where the next begins; runs out of order or shorter than one sector would
    // give a wrapped or empty count, and an empty region would end the layout early.
    uint32_t End = (i + 1 < NumRuns) ? paRun[i + 1].Start : szDev;
    if (r.Start >= szDev || End <= r.Start || (End - r.Start) / r.SectorSize == 0) {
      int Bad = (r.Start >= szDev || i + 1 >= NumRuns) ? int(i) : int(i + 1);
      _Error("Specified flashloader contains invalid sector offset for sector[%d].", Bad);
      return -1;
    }
    uint32_t NumSectors = (End - r.Start) / r.SectorSize;
    uint64_t RunSize = uint64_t(NumSectors) * r.SectorSize;
    if (Total + RunSize > MaxSize) {
      // The bank ends at MaxSize: this region keeps what is left of it, later ones are dropped.
      uint64_t Left = MaxSize - Total;
      if (Left % r.SectorSize != 0) {
        _Error("<MaxSize> specified in XML file does not fit the sector alignment specified in the "
               "flashloader ELF "
               "file.");
        return -1;
      }
      NumSectors = static_cast<uint32_t>(Left / r.SectorSize);
      *pCut = true;
    }
    // The offset keeps the run where FlashDevice puts it; contiguous runs get no gap from it.
    if (NumSectors) paRegion[i] = SectorRegion{NumSectors, r.SectorSize, r.Start};
    Total += uint64_t(NumSectors) * r.SectorSize;
    if (*pCut) break;
  }
  return 0;
}

int32_t MCUDB_GetEntryOffset(ElfFile* pElf, const char* sName, uint64_t PrgCodeAddr) {
  ElfSymbolInfo Sym{};
  if (ELF_FindSymbol(pElf, sName, &Sym) != 0 || Sym.Type != 2) return -1;
  if (Sym.Value < PrgCodeAddr || Sym.Value - PrgCodeAddr > 0x7FFFFFFFu) return -1;
  return static_cast<int32_t>(Sym.Value - PrgCodeAddr);
}

int MCUDB_ReadOFLVar(ElfFile* pElf, const char* sName, uint64_t ExpectedSize, void* pDest) {
  ElfSymbolInfo Sym{};
  if (ELF_FindSymbol(pElf, sName, &Sym) != 0 || Sym.Type != 1) return 1;
  if (Sym.Size != ExpectedSize) {
    _Error("OFL var <%s>: Expected size of 0x%X, found 0x%X", sName, unsigned(ExpectedSize),
           unsigned(Sym.Size > 0xFFFFFFFFu ? 0xFFFFFFFFu : Sym.Size));
    return -1;
  }
  if (ELF_ReadMem(pElf, Sym.Value, ExpectedSize, pDest) != 0) {
    _Error("OFL var <%s>: Error while extracing variable data", sName);
    return -1;
  }
  return 0;
}

int MCUDB_FindScriptEntry(const uint8_t* pScript, uint32_t ScriptSize, const char* sName) {
  if (!_IsScript(pScript, ScriptSize) || sName == nullptr) return -1;
  uint32_t NumEntries = UTIL_Load32(pScript + 12, false);
  uint64_t NamesOff = PCV2_HEADER_SIZE + 8ull * NumEntries;
  for (uint32_t i = 0; i < NumEntries; i++) {
    uint64_t EntryOff = PCV2_HEADER_SIZE + 8ull * i;
    if (EntryOff + 8 > ScriptSize) break;
    uint64_t NameOff = NamesOff + UTIL_Load32(pScript + EntryOff, false);
    if (NameOff >= ScriptSize) continue;
    const void* pEnd = std::memchr(pScript + NameOff, 0, ScriptSize - NameOff);
    if (pEnd == nullptr) continue; // a name must end inside the script
    if (UTIL_stricmp(reinterpret_cast<const char*>(pScript + NameOff), sName) == 0) return int(i);
  }
  return -1;
}

int MCUDB_ReadAlgoParams(const uint8_t* pScript, uint32_t ScriptSize, const uint8_t* pImage,
                         uint32_t ImageSize, MCUDB_ALGO_INFO** ppInfo) {
  const uint8_t* pData = nullptr;
  int r = _GetScriptData(pScript, ScriptSize, "FLASH_AlgoParams", 40, &pData);
  if (r < 0) return r;
  auto* pInfo = static_cast<MCUDB_ALGO_INFO*>(SYS_MEM_Alloc(sizeof(MCUDB_ALGO_INFO), "MCUDB.c: Algo info"));
  if (pInfo == nullptr) return -1;
  std::memset(pInfo, 0, sizeof(*pInfo));
  pInfo->pAPI = static_cast<MCUDB_ALGO_API*>(SYS_MEM_Alloc(sizeof(MCUDB_ALGO_API), "MCUDB.c: Algo API"));
  if (pInfo->pAPI == nullptr) {
    SYS_MEM_Free(pInfo);
    return -1;
  }
  std::memset(pInfo->pAPI, 0, sizeof(MCUDB_ALGO_API));
  for (int i = 0; i < 8; i++)
    pInfo->aWord[i] = UTIL_Load32(pData + 4 * (i + 1), false);
  pInfo->Flags = UTIL_Load32(pData + 4 * 9, false) | 0x2000u;
  pInfo->pImage = pImage;
  pInfo->ImageSize = ImageSize;
  pInfo->pCompiledScript = pScript;
  pInfo->CompiledScriptSize = ScriptSize;
  *ppInfo = pInfo;
  return 0;
}

void MCUDB_FreeAlgoInfo(MCUDB_ALGO_INFO** ppInfo) {
  if (ppInfo == nullptr || *ppInfo == nullptr) return;
  SYS_MEM_Free((*ppInfo)->pAPI);
  SYS_MEM_Free(*ppInfo);
  *ppInfo = nullptr;
}

int MCUDB_ReadCFIConfig(const uint8_t* pScript, uint32_t ScriptSize, MCUDB_CFI_CONFIG* pConfig) {
  const uint8_t* pData = nullptr;
  int r = _GetScriptData(pScript, ScriptSize, "FLASH_CFIConfig", 20, &pData);
  if (r < 0) return r;
  for (int i = 0; i < 3; i++)
    pConfig->aWord[i] = UTIL_Load32(pData + 4 * (i + 2), false);
  pConfig->IsSet = 1;
  return 0;
}
