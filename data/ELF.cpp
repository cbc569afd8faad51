/*
 * ELF - headers are normalised to the ELF64 layout as they are read; every offset and size
 * taken from the file is checked against the file before it is used, so a damaged file is
 * refused instead of read past. Open instances are registered, so that a stale or foreign
 * handle is recognised without touching it.
 */
#include "data/ELF.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <vector>

#include "sys/SYS.h"
#include "sys/UTIL.h"

namespace {

constexpr uint32_t ELF_MAGIC = 0x11557799;
enum { FLAG_BIG_ENDIAN = 1 << 1, FLAG_ELF64 = 1 << 2 };
enum { SHT_NULL = 0, SHT_SYMTAB = 2, SHT_NOBITS = 8, SHT_DYNSYM = 11 };
constexpr uint64_t SHF_ALLOC = 2;

struct Header {
  uint16_t Type, Machine;
  uint32_t Version;
  uint64_t Entry, PhOff, ShOff;
  uint32_t Flags;
  uint16_t EhSize, PhEntSize, PhNum, ShEntSize, ShNum, ShStrNdx;
};
struct Section {
  uint32_t Name, Type;
  uint64_t Flags, Addr, Offset, Size;
  uint32_t Link, Info;
  uint64_t AddrAlign, EntSize;
};
struct Segment {
  uint32_t Type, Flags;
  uint64_t Offset, VAddr, PAddr, FileSz, MemSz, Align;
};

std::mutex& _RegistryLock() {
  static std::mutex m;
  return m;
}
std::set<const void*>& _Registry() {
  static std::set<const void*> s;
  return s;
}

inline uint16_t _U16(const uint8_t* p) { return (uint16_t)(p[0] | p[1] << 8); }
inline uint32_t _U32(const uint8_t* p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24; }
inline uint64_t _U64(const uint8_t* p) { return (uint64_t)_U32(p) | (uint64_t)_U32(p + 4) << 32; }

// True when Offset ... Offset + NumBytes - 1 lies in a buffer of Size bytes (no overflow).
inline bool _Inside(uint64_t Offset, uint64_t NumBytes, uint64_t Size) {
  return Offset <= Size && NumBytes <= Size - Offset;
}

} // namespace

struct ElfFile {
  uint32_t Magic = 0;
  uint8_t* pFile = nullptr; // the whole file and one NUL behind it, so that every name ends
  uint64_t FileSize = 0;
  Header Hdr{};
  uint32_t Flags = 0;
  std::vector<Section> aSection;
  std::vector<Segment> aSegment;
  uint64_t NumSections = 0;
  const char* pShStr = nullptr;
  uint64_t ShStrSize = 0;
  const uint8_t* pSymTab = nullptr;
  uint64_t NumSymbols = 0;
  const char* pStrTab = nullptr;
  uint64_t StrTabSize = 0;
  _APP_IMG_RANGE_INFO* paRange = nullptr;
  uint64_t NumRanges = 0;
  ElfReportConfig Report{};

  bool Is64() const { return Flags & FLAG_ELF64; }
  void Out(void (*pf)(const char*), const char* sFormat, ...) __attribute__((format(printf, 3, 4))) {
    va_list args;
    va_start(args, sFormat);
    UTIL_vOutf(pf, sFormat, args);
    va_end(args);
  }
  const char* SectionName(const Section& s) const {
    if (pShStr == nullptr || s.Name >= ShStrSize) return "";
    return pShStr + s.Name;
  }
};

namespace {

void _Free(ElfFile* p) {
  if (p == nullptr) return;
  {
    std::lock_guard<std::mutex> g(_RegistryLock());
    _Registry().erase(p);
  }
  p->Magic = 0;
  SYS_MEM_Free(p->pFile);
  SYS_MEM_Free(p->paRange);
  p->~ElfFile();
  SYS_MEM_Free(p);
}

ElfFile* _Valid(ElfFile* p) {
  std::lock_guard<std::mutex> g(_RegistryLock());
  if (p == nullptr || _Registry().count(p) == 0 || p->Magic != ELF_MAGIC) return nullptr;
  return p;
}

ElfFile* _NewInstance(const ElfReportConfig* pConfig) {
  void* pMem = SYS_MEM_Alloc(sizeof(ElfFile), "Instance");
  if (pMem == nullptr) {
    if (pConfig && pConfig->pfError) pConfig->pfError("Failed to allocate memory for ELF instance");
    return nullptr;
  }
  ElfFile* p = new (pMem) ElfFile;
  if (pConfig) {
    uint32_t n = std::min<uint32_t>(pConfig->SizeOfStruct ? pConfig->SizeOfStruct : sizeof(ElfReportConfig),
                                    sizeof(ElfReportConfig));
    std::memcpy(&p->Report, pConfig, n);
  }
  p->Magic = ELF_MAGIC;
  std::lock_guard<std::mutex> g(_RegistryLock());
  _Registry().insert(p);
  return p;
}

bool _ParseHeader(ElfFile* p) {
  auto err = p->Report.pfError;
  auto info = p->Report.pfInfo;
  const uint8_t* f = p->pFile;
  uint64_t size = p->FileSize;
  if (size < 4 || f[0] != 0x7F || f[1] != 'E' || f[2] != 'L' || f[3] != 'F') {
    p->Out(err, "Invalid ELFId at start of file");
    return false;
  }
  if (size < 16) {
    p->Out(err, "Invalid ELF file. File too short for its header.");
    return false;
  }
  if (f[4] == 1) {
    p->Out(info, "pHeader->e_ident[4] = ELF32 ELF file");
  } else if (f[4] == 2) {
    p->Out(info, "pHeader->e_ident[4] = ELF64 ELF file");
    p->Flags |= FLAG_ELF64;
  } else {
    p->Out(err, "Invalid ELF file. Unsupported ELF class field value: %u", (unsigned)f[4]);
    return false;
  }
  if (f[5] == 1) {
    p->Out(info, "pHeader->e_ident[5] = Little endian ELF file");
  } else if (f[5] == 2) {
    p->Out(info, "pHeader->e_ident[5] = Big endian ELF file");
    p->Flags |= FLAG_BIG_ENDIAN;
    p->Out(err, "Big endian ELF files are not supported right now");
    return false;
  } else {
    p->Out(err, "Invalid endianess of ELF file");
    return false;
  }
  if (f[6] != 1) {
    p->Out(err, "Invalid ELF file. Invalid ELF header version number (%u)", (unsigned)f[6]);
    return false;
  }
  bool is64 = p->Is64();
  if (size < (is64 ? 64u : 52u)) {
    p->Out(err, "Invalid ELF file. File too short for its header.");
    return false;
  }
  Header& h = p->Hdr;
  h.Type = _U16(f + 16);
  h.Machine = _U16(f + 18);
  h.Version = _U32(f + 20);
  if (is64) {
    h.Entry = _U64(f + 24);
    h.PhOff = _U64(f + 32);
    h.ShOff = _U64(f + 40);
    f += 48;
  } else {
    h.Entry = _U32(f + 24);
    h.PhOff = _U32(f + 28);
    h.ShOff = _U32(f + 32);
    f += 36;
  }
  h.Flags = _U32(f);
  h.EhSize = _U16(f + 4);
  h.PhEntSize = _U16(f + 6);
  h.PhNum = _U16(f + 8);
  h.ShEntSize = _U16(f + 10);
  h.ShNum = _U16(f + 12);
  h.ShStrNdx = _U16(f + 14);
  p->Out(info, "pHeader->e_type = %u", (unsigned)h.Type);
  if (h.Type > 4) {
    p->Out(err, "Invalid ELF file. Invalid ELF file type.");
    return false;
  }
  p->Out(info, "pHeader->e_version = %u", (unsigned)h.Version);
  if (h.Version == 0) {
    p->Out(err, "Invalid ELF file. Invalid object file version.");
    return false;
  }
  p->Out(info, "pHeader->e_shnum (NumSections) = %u", (unsigned)h.ShNum);
  p->Out(info, "pHeader->e_shentsize (SectionHeaderEntrySize) = %u", (unsigned)h.ShEntSize);
  p->Out(info, "pHeader->e_shoff (SectionTableOff) = 0x%llX", (unsigned long long)h.ShOff);
  p->Out(info, "pHeader->e_phnum (NumProgramHeaders) = %u", (unsigned)h.PhNum);
  p->Out(info, "pHeader->e_phentsize (SectionHeaderEntrySize) = %u", (unsigned)h.PhEntSize);
  p->Out(info, "pHeader->e_phoff (ProgramHeaderTableOff) = 0x%llX", (unsigned long long)h.PhOff);
  return true;
}

bool _ReadTables(ElfFile* p) {
  auto err = p->Report.pfError;
  const Header& h = p->Hdr;
  bool is64 = p->Is64();
  const uint8_t* f = p->pFile;
  // A table's entries must have the size of their record and lie inside the file.
  auto TableFits = [&](unsigned EntSize, unsigned Want, uint64_t Off, unsigned Num, const char* sEntry,
                       const char* sTable) {
    if (EntSize != Want) {
      p->Out(err, "%sEntrySize (%u) does not match size of internal struct (%u)", sEntry, EntSize, Want);
      return false;
    }
    if (!_Inside(Off, (uint64_t)Num * Want, p->FileSize)) {
      p->Out(err, "Invalid ELF file. %s table lies outside the file.", sTable);
      return false;
    }
    return true;
  };
  if (h.ShNum && h.ShEntSize && h.ShOff) {
    unsigned want = is64 ? 64 : 40;
    if (!TableFits(h.ShEntSize, want, h.ShOff, h.ShNum, "Section", "Section")) return false;
    p->aSection.resize(h.ShNum);
    for (unsigned i = 0; i < h.ShNum; i++) {
      const uint8_t* s = f + h.ShOff + (uint64_t)i * want;
      Section& x = p->aSection[i];
      x.Name = _U32(s);
      x.Type = _U32(s + 4);
      if (is64) {
        x.Flags = _U64(s + 8);
        x.Addr = _U64(s + 16);
        x.Offset = _U64(s + 24);
        x.Size = _U64(s + 32);
        x.Link = _U32(s + 40);
        x.Info = _U32(s + 44);
        x.AddrAlign = _U64(s + 48);
        x.EntSize = _U64(s + 56);
      } else {
        x.Flags = _U32(s + 8);
        x.Addr = _U32(s + 12);
        x.Offset = _U32(s + 16);
        x.Size = _U32(s + 20);
        x.Link = _U32(s + 24);
        x.Info = _U32(s + 28);
        x.AddrAlign = _U32(s + 32);
        x.EntSize = _U32(s + 36);
      }
    }
    p->NumSections = h.ShNum;
  }
  if (h.PhNum && h.PhEntSize && h.PhOff) {
    unsigned want = is64 ? 56 : 32;
    if (!TableFits(h.PhEntSize, want, h.PhOff, h.PhNum, "Program", "Program header")) return false;
    p->aSegment.resize(h.PhNum);
    for (unsigned i = 0; i < h.PhNum; i++) {
      const uint8_t* s = f + h.PhOff + (uint64_t)i * want;
      Segment& x = p->aSegment[i];
      x.Type = _U32(s);
      if (is64) {
        x.Flags = _U32(s + 4);
        x.Offset = _U64(s + 8);
        x.VAddr = _U64(s + 16);
        x.PAddr = _U64(s + 24);
        x.FileSz = _U64(s + 32);
        x.MemSz = _U64(s + 40);
        x.Align = _U64(s + 48);
      } else {
        x.Offset = _U32(s + 4);
        x.VAddr = _U32(s + 8);
        x.PAddr = _U32(s + 12);
        x.FileSz = _U32(s + 16);
        x.MemSz = _U32(s + 20);
        x.Flags = _U32(s + 24);
        x.Align = _U32(s + 28);
      }
    }
  }
  return true;
}

// The file contents of a section, or null when it has none or they lie outside the file.
const uint8_t* _Contents(const ElfFile* p, const Section& s) {
  if (s.Type == SHT_NOBITS || !_Inside(s.Offset, s.Size, p->FileSize)) return nullptr;
  return p->pFile + s.Offset;
}

bool _FindTables(ElfFile* p) {
  auto err = p->Report.pfError;
  auto info = p->Report.pfInfo;
  if (p->Hdr.ShStrNdx < p->NumSections) {
    const Section& s = p->aSection[p->Hdr.ShStrNdx];
    if (const uint8_t* c = _Contents(p, s)) {
      p->pShStr = reinterpret_cast<const char*>(c);
      p->ShStrSize = s.Size;
    }
  }
  if (p->NumSections == 0) {
    p->Out(info, "No section table found => No symbol table present");
    p->Out(info, "No section table found => No symbol string table present");
    return true;
  }
  for (uint64_t i = 0; i < p->NumSections; i++) {
    const Section& s = p->aSection[i];
    if (s.Type != SHT_SYMTAB && s.Type != SHT_DYNSYM) continue;
    p->Out(info, "Symbol table found: iSection = %u, Off = 0x%llX", (unsigned)i, (unsigned long long)s.Offset);
    unsigned want = p->Is64() ? 24 : 16;
    if (s.EntSize != want) {
      p->Out(err, "SymTblEntrySize (%u) does not match size of internal struct (%u)", (unsigned)s.EntSize, want);
      return false;
    }
    p->pSymTab = _Contents(p, s);
    if (p->pSymTab == nullptr) {
      p->Out(err, "Invalid ELF file. Symbol table lies outside the file.");
      return false;
    }
    p->NumSymbols = s.Size / want;
    break;
  }
  for (uint64_t i = 0; i < p->NumSections; i++) {
    const Section& s = p->aSection[i];
    if (std::strcmp(p->SectionName(s), ".strtab") != 0) continue;
    if (const uint8_t* c = _Contents(p, s)) {
      p->Out(info, "Symbol string table (.strtab) found: iSection = %u, Off = 0x%llX", (unsigned)i,
             (unsigned long long)s.Offset);
      p->pStrTab = reinterpret_cast<const char*>(c);
      p->StrTabSize = s.Size;
    }
    break;
  }
  return true;
}

bool _BuildRanges(ElfFile* p) {
  auto info = p->Report.pfInfo;
  std::vector<_APP_IMG_RANGE_INFO> recs;
  for (const Section& s : p->aSection) {
    if (s.Type == SHT_NULL || s.Type == SHT_NOBITS || !(s.Flags & SHF_ALLOC) || s.Size == 0) continue;
    const char* sName = p->SectionName(s);
    if (!_Inside(s.Offset, s.Size, p->FileSize)) {
      p->Out(p->Report.pfError, "Invalid ELF file. Section '%s' lies outside the file.", sName);
      return false;
    }
    recs.push_back(_APP_IMG_RANGE_INFO{s.Addr, 0, s.Size, s.Offset, 0, sName});
  }
  bool allPAddrZero = true;
  for (const Segment& g : p->aSegment) allPAddrZero = allPAddrZero && g.PAddr == 0;
  for (auto& r : recs) {
    bool found = false;
    for (const Segment& g : p->aSegment) {
      if (g.FileSz == 0 || g.MemSz == 0) continue;
      uint64_t gLast = g.VAddr + (g.MemSz - 1), rLast = r.VAddr + (r.NumBytes - 1);
      if (r.VAddr <= gLast && g.VAddr <= rLast) { // the last overlapping header counts
        uint64_t paddr = allPAddrZero ? g.VAddr : g.PAddr;
        r.PAddr = paddr + (r.VAddr - g.VAddr);
        r.SegVAddr = g.VAddr;
        found = true;
      }
    }
    if (!found) {
      p->Out(p->Report.pfWarn,
             "No segment found for section '%s' (VAddr = 0x%llX, Size = 0x%llX). Assuming PAddr == VAddr.", r.sName,
             (unsigned long long)r.VAddr, (unsigned long long)r.NumBytes);
      r.PAddr = r.VAddr;
      r.SegVAddr = r.VAddr;
    }
  }
  std::vector<_APP_IMG_RANGE_INFO> out;
  bool open = false;
  _APP_IMG_RANGE_INFO cur{};
  for (const auto& r : recs) {
    if (!open) {
      cur = r;
      open = true;
      p->Out(info, "Started AppImg range collection: VAddr = 0x%.8llX, NumBytes = 0x%.8llX",
             (unsigned long long)cur.VAddr, (unsigned long long)cur.NumBytes);
    } else if (r.SegVAddr == cur.SegVAddr && r.FileOff == cur.FileOff + cur.NumBytes &&
               r.VAddr == cur.VAddr + cur.NumBytes) {
      p->Out(info, "Merged to AppImg range collection: VAddr = 0x%.8llX, NumBytes = 0x%.8llX",
             (unsigned long long)r.VAddr, (unsigned long long)r.NumBytes);
      cur.NumBytes += r.NumBytes;
    } else {
      p->Out(info, "Flushed AppImg range collection: VAddr = 0x%.8llX, NumBytes = 0x%.8llX",
             (unsigned long long)cur.VAddr, (unsigned long long)cur.NumBytes);
      out.push_back(cur);
      cur = r;
      p->Out(info, "Started AppImg range collection: VAddr = 0x%.8llX, NumBytes = 0x%.8llX",
             (unsigned long long)cur.VAddr, (unsigned long long)cur.NumBytes);
    }
  }
  if (open) out.push_back(cur);
  if (!out.empty()) {
    p->paRange = static_cast<_APP_IMG_RANGE_INFO*>(
        SYS_MEM_Alloc(out.size() * sizeof(_APP_IMG_RANGE_INFO), "_APP_IMG_RANGE_INFO"));
    if (p->paRange == nullptr) return false;
    std::copy(out.begin(), out.end(), p->paRange);
  }
  p->NumRanges = out.size();
  return true;
}

ElfFile* _Parse(ElfFile* p) {
  bool ok = false;
  try {
    ok = _ParseHeader(p) && _ReadTables(p) && _FindTables(p) && _BuildRanges(p);
  } catch (const std::bad_alloc&) {
    p->Out(p->Report.pfError, "Failed to allocate memory for ELF instance");
  }
  if (ok) return p;
  _Free(p);
  return nullptr;
}

bool _AllocFileBuffer(ElfFile* p, uint64_t NumBytes) {
  if (NumBytes >= SIZE_MAX) return false;
  p->pFile = static_cast<uint8_t*>(SYS_MEM_Alloc((size_t)NumBytes + 1, "File buffer"));
  if (p->pFile == nullptr) return false;
  p->pFile[NumBytes] = 0;
  p->FileSize = NumBytes;
  return true;
}

void _FillSized(void* pDest, uint32_t DestSize, const void* pFull, uint32_t FullSize) {
  // The caller's first field (its size) stays; what it has beyond our record is cleared.
  uint32_t n = std::min(DestSize, FullSize);
  if (n > sizeof(uint32_t)) {
    std::memcpy(static_cast<uint8_t*>(pDest) + sizeof(uint32_t), static_cast<const uint8_t*>(pFull) + sizeof(uint32_t),
                n - sizeof(uint32_t));
  }
  if (DestSize > FullSize) std::memset(static_cast<uint8_t*>(pDest) + FullSize, 0, DestSize - FullSize);
}

void _SectionInfo(const ElfFile* p, const Section& s, ElfSectionInfo* pInfo) {
  ElfSectionInfo full{};
  full.Addr = s.Addr;
  full.Size = s.Size;
  full.Flags = s.Flags;
  full.sName = p->SectionName(s);
  _FillSized(pInfo, pInfo->SizeOfStruct, &full, sizeof(full));
}

} // namespace

ElfFile* ELF_Open(const char* sPath, const ElfReportConfig* pConfig) {
  ElfFile* p = _NewInstance(pConfig);
  if (p == nullptr) return nullptr;
  auto err = p->Report.pfError;
  int hFile = SYS_FILE_Open(sPath, SYS_FILE_FLAG_READ | SYS_FILE_FLAG_SHARE_READ);
  if (hFile < 0) {
    p->Out(err, "Failed to open source file [%s] for reading", sPath ? sPath : "");
    _Free(p);
    return nullptr;
  }
  int64_t size = SYS_FILE_GetSize64(hFile);
  bool ok = false;
  if (size <= 0) {
    p->Out(err, "Invalid file size detected. Could not parse file");
  } else if (!_AllocFileBuffer(p, (uint64_t)size)) {
    p->Out(err, "Failed to allocate memory for file buffer");
  } else {
    uint64_t got = 0;
    while (got < (uint64_t)size) {
      uint32_t chunk = (uint32_t)std::min<uint64_t>((uint64_t)size - got, 0x40000000);
      int n = SYS_FILE_Read(hFile, p->pFile + got, chunk);
      if (n <= 0) break;
      got += (uint64_t)n;
    }
    ok = (got == (uint64_t)size);
    if (!ok) p->Out(err, "Failed to read ELF file");
  }
  SYS_FILE_Close(hFile);
  if (!ok) {
    _Free(p);
    return nullptr;
  }
  return _Parse(p);
}

ElfFile* ELF_OpenMem(const void* pData, uint64_t NumBytes, const ElfReportConfig* pConfig) {
  ElfFile* p = _NewInstance(pConfig);
  if (p == nullptr) return nullptr;
  if (pData == nullptr) {
    p->Out(p->Report.pfError, "Failed to open source data for reading");
    _Free(p);
    return nullptr;
  }
  if (!_AllocFileBuffer(p, NumBytes)) {
    p->Out(p->Report.pfError, "Failed to allocate memory for file buffer");
    _Free(p);
    return nullptr;
  }
  if (NumBytes) std::memcpy(p->pFile, pData, (size_t)NumBytes);
  return _Parse(p);
}

int ELF_Close(ElfFile* pElf) {
  ElfFile* p = _Valid(pElf);
  if (p == nullptr) return -2;
  _Free(p);
  return 0;
}

int ELF_GetClass(ElfFile* pElf) {
  ElfFile* p = _Valid(pElf);
  if (p == nullptr) return 0;
  return p->Is64() ? 2 : 1;
}

int ELF_IsBigEndian(ElfFile* pElf) {
  ElfFile* p = _Valid(pElf);
  if (p == nullptr) return -2;
  return (p->Flags & FLAG_BIG_ENDIAN) ? 1 : 0;
}

int ELF_GetNumSections(ElfFile* pElf, uint64_t* pNumSections) {
  ElfFile* p = _Valid(pElf);
  if (p == nullptr) return -2;
  if (pNumSections) *pNumSections = p->NumSections;
  return 0;
}

int ELF_GetSectionInfo(ElfFile* pElf, uint64_t Index, ElfSectionInfo* pInfo) {
  ElfFile* p = _Valid(pElf);
  if (p == nullptr || pInfo == nullptr) return -2;
  if (Index >= p->NumSections) return -3;
  _SectionInfo(p, p->aSection[Index], pInfo);
  return 0;
}

int ELF_FindSection(ElfFile* pElf, const char* sName, ElfSectionInfo* pInfo) {
  ElfFile* p = _Valid(pElf);
  if (p == nullptr || pInfo == nullptr) return -2;
  if (sName == nullptr || sName[0] == 0) return -3;
  for (const Section& s : p->aSection) {
    if (std::strcmp(p->SectionName(s), sName) == 0) {
      _SectionInfo(p, s, pInfo);
      return 0;
    }
  }
  return -3;
}

int ELF_ReadSection(ElfFile* pElf, uint64_t Index, void* pDest, uint64_t Offset, uint64_t NumBytes) {
  ElfFile* p = _Valid(pElf);
  if (p == nullptr || (pDest == nullptr && NumBytes)) return -2;
  if (Index >= p->NumSections) return -3;
  const Section& s = p->aSection[Index];
  if (!_Inside(Offset, NumBytes, s.Size)) return -3;
  if (s.Type == SHT_NOBITS) {
    std::memset(pDest, 0, (size_t)NumBytes);
    return 0;
  }
  const uint8_t* c = _Contents(p, s);
  if (c == nullptr) return -3;
  std::memcpy(pDest, c + Offset, (size_t)NumBytes);
  return 0;
}

int ELF_FindSymbol(ElfFile* pElf, const char* sName, ElfSymbolInfo* pInfo) {
  ElfFile* p = _Valid(pElf);
  if (p == nullptr || pInfo == nullptr) return -2;
  if (p->pSymTab == nullptr || p->pStrTab == nullptr || sName == nullptr) return -3;
  unsigned entSize = p->Is64() ? 24 : 16;
  for (uint64_t i = 0; i < p->NumSymbols; i++) {
    const uint8_t* s = p->pSymTab + i * entSize;
    uint32_t name = _U32(s);
    if (name >= p->StrTabSize || std::strcmp(p->pStrTab + name, sName) != 0) continue;
    uint8_t info = p->Is64() ? s[4] : s[12];
    pInfo->sName = p->pStrTab + name;
    pInfo->Value = p->Is64() ? _U64(s + 8) : _U32(s + 4);
    pInfo->Size = p->Is64() ? _U64(s + 16) : _U32(s + 8);
    unsigned type = info & 0xF, bind = info >> 4;
    pInfo->Type = (type == 1) ? 1 : (type == 2) ? 2 : 0;
    pInfo->Binding = (bind <= 2) ? bind + 1 : 0;
    return 0;
  }
  return -3;
}

int ELF_GetAppImgRanges(ElfFile* pElf, ElfRangeInfo* paInfo, uint64_t NumEntries) {
  ElfFile* p = _Valid(pElf);
  if (p == nullptr) return -2;
  for (uint64_t i = 0; paInfo && i < NumEntries && i < p->NumRanges; i++) {
    const _APP_IMG_RANGE_INFO& r = p->paRange[i];
    ElfRangeInfo full{};
    full.VAddr = r.VAddr;
    full.PAddr = r.PAddr;
    full.NumBytes = r.NumBytes;
    full.Index = i;
    uint32_t size = paInfo[i].SizeOfStruct ? paInfo[i].SizeOfStruct : (uint32_t)sizeof(ElfRangeInfo);
    paInfo[i].SizeOfStruct = size;
    _FillSized(&paInfo[i], std::min<uint32_t>(size, sizeof(ElfRangeInfo)), &full, sizeof(full));
  }
  return (int)std::min<uint64_t>(p->NumRanges, 0x7FFFFFFF);
}

int ELF_ReadAppImgRange(ElfFile* pElf, const ElfRangeInfo* pInfo, void* pDest, uint64_t DestSize) {
  ElfFile* p = _Valid(pElf);
  if (p == nullptr || pInfo == nullptr || pDest == nullptr) return -2;
  if (pInfo->Index >= p->NumRanges) return -1;
  const _APP_IMG_RANGE_INFO& r = p->paRange[pInfo->Index];
  uint64_t n = std::min(DestSize, r.NumBytes);
  std::memcpy(pDest, p->pFile + r.FileOff, (size_t)n); // checked against the file when opened
  return 0;
}

int ELF_ReadMem(ElfFile* pElf, uint64_t VAddr, uint64_t NumBytes, void* pDest) {
  ElfFile* p = _Valid(pElf);
  if (p == nullptr || (pDest == nullptr && NumBytes)) return -2;
  uint8_t* pOut = static_cast<uint8_t*>(pDest);
  while (NumBytes) {
    const _APP_IMG_RANGE_INFO* pHit = nullptr;
    for (uint64_t i = 0; i < p->NumRanges && pHit == nullptr; i++) {
      const _APP_IMG_RANGE_INFO& r = p->paRange[i];
      if (VAddr >= r.VAddr && VAddr - r.VAddr < r.NumBytes) pHit = &r;
    }
    if (pHit == nullptr) return -3;
    uint64_t n = std::min(NumBytes, pHit->NumBytes - (VAddr - pHit->VAddr));
    std::memcpy(pOut, p->pFile + pHit->FileOff + (VAddr - pHit->VAddr), (size_t)n);
    pOut += n;
    VAddr += n;
    NumBytes -= n;
  }
  return 0;
}

/*********************************************************************
 * ELF data files
 */
namespace {
// The report callbacks take only a text; the loader's message routing rides along here.
thread_local DataFileMsgFunc* _pfLoadMsg;
thread_local void* _pLoadContext;
void _ForwardWarning(const char* sText) {
  if (_pfLoadMsg) _pfLoadMsg(_pLoadContext, 1, sText);
}
} // namespace

int ELF_LoadDataFile(DataImage* pImage, const char* sPath, DataFileMsgFunc* pfMsg, void* pContext) {
  bool locked = DATAIMAGE_Lock(pImage) == 0;
  char ac[1024];
  auto msg = [&](int Level, const char* sText) {
    if (pfMsg) pfMsg(pContext, Level, sText);
  };
  msg(0, "Parsing ELF file...");
  _pfLoadMsg = pfMsg;
  _pLoadContext = pContext;
  ElfReportConfig cfg{sizeof(ElfReportConfig), nullptr, pfMsg ? _ForwardWarning : nullptr, nullptr};
  ElfFile* pElf = ELF_Open(sPath, &cfg);
  int r = 0;
  if (pElf == nullptr) {
    UTIL_sprintf(ac, sizeof(ac), "Failed to read ELF file [%s].", sPath ? sPath : "");
    msg(2, ac);
    r = -1;
  } else {
    ElfRangeInfo aLocal[5] = {};
    ElfRangeInfo* paRange = aLocal;
    int numRanges = ELF_GetAppImgRanges(pElf, aLocal, 5);
    if (numRanges > 5) {
      paRange = static_cast<ElfRangeInfo*>(SYS_MEM_Alloc(sizeof(ElfRangeInfo) * (size_t)numRanges, "ELF: ranges"));
      if (paRange == nullptr) {
        msg(2, "Failed to read ELF file. Not enough memory!");
        r = -1;
        numRanges = 0;
      } else {
        std::memset(paRange, 0, sizeof(ElfRangeInfo) * (size_t)numRanges);
        ELF_GetAppImgRanges(pElf, paRange, (uint64_t)numRanges);
      }
    }
    uint8_t abLocal[1024];
    uint8_t* pBuf = abLocal;
    uint64_t bufSize = sizeof(abLocal);
    for (int i = 0; i < numRanges && r == 0; i++) {
      const ElfRangeInfo& ri = paRange[i];
      UTIL_sprintf(ac, sizeof(ac), "Reading data range 0x%llX - 0x%llX...", (unsigned long long)ri.PAddr,
                   (unsigned long long)(ri.PAddr + ri.NumBytes - 1));
      msg(0, ac);
      if (ri.NumBytes > bufSize) {
        if (pBuf != abLocal) SYS_MEM_Free(pBuf);
        bufSize = ri.NumBytes + 256;
        pBuf = (bufSize < SIZE_MAX) ? static_cast<uint8_t*>(SYS_MEM_Alloc((size_t)bufSize, "ELF: range buffer"))
                                    : nullptr;
        if (pBuf == nullptr) {
          msg(2, "Failed to read ELF file. Not enough memory!");
          r = -1;
          break;
        }
      }
      if (ELF_ReadAppImgRange(pElf, &ri, pBuf, bufSize) != 0) {
        msg(2, "Failed to get ELF file application image data!");
        r = -1;
      } else if (ri.PAddr > 0xFFFFFFFFull || ri.NumBytes > 0xFFFFFFFFull || ri.NumBytes > 0x100000000ull - ri.PAddr ||
                 DATAIMAGE_AddData(pImage, (uint32_t)ri.PAddr, (uint32_t)ri.NumBytes, pBuf) < 0) {
        msg(2, "Failed to create memory area for ELF file!");
        r = -1;
      }
    }
    if (pBuf != abLocal) SYS_MEM_Free(pBuf);
    if (paRange != aLocal) SYS_MEM_Free(paRange);
    ELF_Close(pElf);
  }
  _pfLoadMsg = nullptr;
  _pLoadContext = nullptr;
  DATAIMAGE_SetChangeCounter(pImage, 0);
  if (locked) DATAIMAGE_Unlock(pImage);
  return r;
}
