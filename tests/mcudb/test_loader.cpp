/*
 * Flash-loader images: the shipped algorithms and their packed twin, sector tables, size cuts,
 * compressed images, the unpacker and the compiled-script readers.
 */
#include <gtest/gtest.h>

#include <algorithm>

#include "LoaderTestUtil.h"
#include "data/ELF.h"
#include "mcudb/RAMCODE.h"

using namespace lt;

namespace {

struct ShippedAlgo {
  const char* sFile;
  uint32_t szDev, SectorSize, toProg, toErase;
};

// RAII for a parsed CMSISInfo.
struct Parsed {
  CMSISInfo Info{};
  int Result = -1;
  ~Parsed() { MCUDB_FreeCMSISInfo(&Info); }
};

void ExpectSameDescription(const CMSISInfo& a, const CMSISInfo& b) {
  EXPECT_EQ(a.ImageSize, b.ImageSize);
  EXPECT_EQ(a.PageSize, b.PageSize);
  EXPECT_EQ(a.EmptyValue, b.EmptyValue);
  EXPECT_EQ(a.Is64, b.Is64);
  EXPECT_EQ(a.IntEnabled, b.IntEnabled);
  EXPECT_EQ(a.PrgDataAddr, b.PrgDataAddr);
  EXPECT_EQ(a.TimeoutProgram, b.TimeoutProgram);
  EXPECT_EQ(a.TimeoutErase, b.TimeoutErase);
  EXPECT_EQ(0, std::memcmp(a.aRegion, b.aRegion, sizeof(a.aRegion)));
  EXPECT_EQ(0, std::memcmp(a.aEntryOffset, b.aEntryOffset, sizeof(a.aEntryOffset)));
}

// File offset of FlashDevice in a shipped algorithm (found by its device name).
size_t FlashDeviceOffset(const Bytes& Elf, const char* sDevName) {
  auto it = std::search(Elf.begin(), Elf.end(), sDevName, sDevName + std::strlen(sDevName));
  EXPECT_NE(it, Elf.end());
  return static_cast<size_t>(it - Elf.begin()) - 2;
}

} // namespace

TEST(LoaderImages, ShippedAlgorithmsParseToOneRegion) {
  const ShippedAlgo aAlgo[] = {
      {"flm_main_16k.flm", 0x4000, 0x400, 1000, 10000},  {"flm_main_32k.flm", 0x8000, 0x400, 1000, 10000},
      {"flm_main_64k.flm", 0x10000, 0x400, 1000, 10000}, {"flm_bootmem.flm", 0x1000, 0x400, 1000, 10000},
      {"flm_usersys.flm", 0x200, 0x200, 40000, 1000},
  };
  for (const ShippedAlgo& a : aAlgo) {
    SCOPED_TRACE(a.sFile);
    Messages m;
    std::string Path = ProgramFile(a.sFile);
    Parsed p;
    ASSERT_EQ(MCUDB_ParseFlashLoader(8, nullptr, 0, Path.c_str(), nullptr, "script.pex", &p.Info, 0), 0)
        << m.Joined();
    EXPECT_EQ(p.Info.aRegion[0].NumSectors, a.szDev / a.SectorSize);
    EXPECT_EQ(p.Info.aRegion[0].SectorSize, a.SectorSize);
    EXPECT_EQ(p.Info.aRegion[0].Offset, 0u);
    EXPECT_EQ(p.Info.aRegion[1].NumSectors, 0u);
    EXPECT_EQ(p.Info.PageSize, 0x400u);
    EXPECT_EQ(p.Info.EmptyValue, 0xFFu);
    EXPECT_EQ(p.Info.TimeoutProgram, a.toProg);
    EXPECT_EQ(p.Info.TimeoutErase, a.toErase);
    EXPECT_EQ(p.Info.Is64, 0);
    EXPECT_EQ(p.Info.IntEnabled, 0);
    EXPECT_EQ(p.Info.LayoutCut, 0);
    EXPECT_STREQ(p.Info.sScriptFile, "script.pex");
    // The image: PrgCode, PrgData and the first 168 bytes of FlashDevice, as the file holds them.
    ElfFile* pElf = ELF_Open(Path.c_str(), nullptr);
    ASSERT_NE(pElf, nullptr);
    ElfSectionInfo Code{}, Data{}, Dev{};
    Code.SizeOfStruct = Data.SizeOfStruct = Dev.SizeOfStruct = sizeof(ElfSectionInfo);
    ASSERT_EQ(ELF_FindSection(pElf, "PrgCode", &Code), 0);
    ASSERT_EQ(ELF_FindSection(pElf, "PrgData", &Data), 0);
    ASSERT_EQ(ELF_FindSection(pElf, "DevDscr", &Dev), 0);
    EXPECT_EQ(Code.Addr, 0u);
    EXPECT_EQ(Data.Addr, Code.Size);
    EXPECT_EQ(p.Info.PrgDataAddr, Data.Addr);
    ASSERT_EQ(p.Info.ImageSize, Dev.Addr + 168);
    Bytes Expected(p.Info.ImageSize);
    ASSERT_EQ(ELF_ReadMem(pElf, 0, Expected.size(), Expected.data()), 0);
    EXPECT_EQ(Bytes(p.Info.pImage, p.Info.pImage + p.Info.ImageSize), Expected);
    // Entry points: the function symbols relative to PrgCode, Thumb bit kept; the rest absent.
    const std::pair<int, const char*> aEntry[] = {
        {MCUDB_ENTRY_INIT, "Init"},
        {MCUDB_ENTRY_UNINIT, "UnInit"},
        {MCUDB_ENTRY_ERASE_SECTOR, "EraseSector"},
        {MCUDB_ENTRY_PROGRAM_PAGE, "ProgramPage"},
        {MCUDB_ENTRY_ERASE_CHIP, "EraseChip"},
        {MCUDB_ENTRY_BLANK_CHECK, "BlankCheck"},
        {MCUDB_ENTRY_VERIFY, "Verify"},
    };
    int NumFound = 0;
    for (auto [Entry, sName] : aEntry) {
      ElfSymbolInfo Sym{};
      bool Present = ELF_FindSymbol(pElf, sName, &Sym) == 0 && Sym.Type == 2;
      EXPECT_EQ(p.Info.aEntryOffset[Entry], Present ? int32_t(Sym.Value) : -1) << sName;
      NumFound += Present ? 1 : 0;
    }
    EXPECT_GE(NumFound, 5);
    EXPECT_EQ(std::count(std::begin(p.Info.aEntryOffset), std::end(p.Info.aEntryOffset), -1),
              MCUDB_NUM_ENTRIES - NumFound);
    ELF_Close(pElf);
    EXPECT_EQ(m.Joined(), "");
  }
}

TEST(LoaderImages, InMemoryElfAndPackedTwinMatchTheFile) {
  Messages m;
  std::string Path = ProgramFile("flm_main_64k.flm");
  Parsed File, Mem, Packed;
  ASSERT_EQ(MCUDB_ParseFlashLoader(8, nullptr, 0, Path.c_str(), nullptr, nullptr, &File.Info, 0), 0);
  Bytes Elf = ReadBytes(Path);
  ASSERT_EQ(
      MCUDB_ParseFlashLoader(12, Elf.data(), uint32_t(Elf.size()), nullptr, nullptr, nullptr, &Mem.Info, 0),
      0);
  Bytes Kflc = ReadBytes(ProgramFile("at32f425_main_64k.kflc"));
  ASSERT_EQ(std::memcmp(Kflc.data(), "KFLC", 4), 0);
  ASSERT_EQ(MCUDB_ParseFlashLoader(12, Kflc.data(), uint32_t(Kflc.size()), nullptr, nullptr, nullptr,
                                   &Packed.Info, 0),
            0)
      << m.Joined();
  for (const CMSISInfo* p : {&Mem.Info, &Packed.Info}) {
    ExpectSameDescription(File.Info, *p);
    EXPECT_EQ(0, std::memcmp(File.Info.pImage, p->pImage, File.Info.ImageSize));
  }
  // Only images handed over in memory are checked for the magic: a file path never is.
  Parsed ByPath;
  EXPECT_EQ(MCUDB_ParseFlashLoader(8, Kflc.data(), uint32_t(Kflc.size()),
                                   ProgramFile("at32f425_main_64k.kflc").c_str(), nullptr, nullptr,
                                   &ByPath.Info, 0),
            -1);
}

// The 64 KB algorithm with its FlashDevice rewritten, parsed from memory.
class MutatedAlgo : public ::testing::Test {
protected:
  Bytes Elf = ReadBytes(ProgramFile("flm_main_64k.flm"));
  size_t Fd = FlashDeviceOffset(Elf, "AT32F425 Int.Flash");
  Messages m;
  Parsed p;
  void SetSectors(const std::vector<std::pair<uint32_t, uint32_t>>& a, bool End = true) {
    for (size_t i = 0; i < a.size(); i++) {
      Put32(Elf, Fd + 160 + 8 * i, a[i].first);
      Put32(Elf, Fd + 164 + 8 * i, a[i].second);
    }
    if (End) Put32(Elf, Fd + 160 + 8 * a.size(), 0xFFFFFFFFu);
  }
  int Parse(const SectorRegion* paDev = nullptr, uint32_t Flags = 0) {
    return MCUDB_ParseFlashLoader(12, Elf.data(), uint32_t(Elf.size()), nullptr, paDev, nullptr, &p.Info,
                                  Flags);
  }
  std::vector<SectorRegion> Regions() const {
    std::vector<SectorRegion> a;
    for (const SectorRegion& r : p.Info.aRegion) {
      if (r.NumSectors == 0) break;
      a.push_back(r);
    }
    return a;
  }
};

bool operator==(const SectorRegion& a, const SectorRegion& b) {
  return a.NumSectors == b.NumSectors && a.SectorSize == b.SectorSize && a.Offset == b.Offset;
}
std::ostream& operator<<(std::ostream& os, const SectorRegion& r) {
  return os << "{" << r.NumSectors << ", 0x" << std::hex << r.SectorSize << ", 0x" << r.Offset << std::dec
            << "}";
}

TEST_F(MutatedAlgo, SectorTablesOfEveryFormGiveTheirRegions) {
  struct Case {
    const char* sName;
    std::vector<std::pair<uint32_t, uint32_t>> aSector;
    std::vector<SectorRegion> aExpected;
    uint32_t ImageSize; // 0: not checked
  };
  std::vector<std::pair<uint32_t, uint32_t>> PerSector, PerSectorAbs;
  for (uint32_t i = 0; i < 64; i++) {
    PerSector.push_back({0x400, i * 0x400});
    PerSectorAbs.push_back({0x400, 0x08000000 + i * 0x400});
  }
  const Case aCase[] = {
      {"one entry per sector", PerSector, {{64, 0x400, 0}}, 0x2E4 + 160 + 64 * 8},
      {"absolute, one entry per sector", PerSectorAbs, {{64, 0x400, 0}}, 0},
      {"one entry per size change", {{0x400, 0}, {0x800, 0x4000}}, {{16, 0x400, 0}, {24, 0x800, 0x4000}}, 0},
      {"absolute, size changes",
       {{0x400, 0x08000000}, {0x800, 0x08004000}},
       {{16, 0x400, 0}, {24, 0x800, 0x4000}},
       0},
  };
  for (const Case& c : aCase) {
    SCOPED_TRACE(c.sName);
    Elf = ReadBytes(ProgramFile("flm_main_64k.flm"));
    SetSectors(c.aSector);
    ASSERT_EQ(Parse(), 0) << m.Joined();
    EXPECT_EQ(Regions(), c.aExpected);
    if (c.ImageSize) {
      EXPECT_EQ(p.Info.ImageSize, c.ImageSize);
    }
    MCUDB_FreeCMSISInfo(&p.Info);
  }
}

TEST_F(MutatedAlgo, BrokenDescriptorsAreRefusedWithTheirText) {
  struct Case {
    const char* sName;
    std::vector<std::pair<uint32_t, uint32_t>> aSector;
    bool End;
    uint16_t Vers;
    const char* sExpected;
  };
  std::vector<std::pair<uint32_t, uint32_t>> Full, NineRuns;
  for (uint32_t i = 0; i < 512; i++)
    Full.push_back({0x400, i * 0x400});
  for (uint32_t i = 0; i < 9; i++)
    NineRuns.push_back({(i & 1) ? 0x400u : 0x800u, i * 0x1000});
  const Case aCase[] = {
      {"version 1.0", {{0x400, 0}}, true, 0x0100, "Algo error: Unsupported CMSIS algo version: 1.0"},
      {"end marker first",
       {},
       true,
       0x0101,
       "Flash bank @ 0x08000000: Algo error: FlashDevice.SectorInfo struct must at least describe 1 sector "
       "range. "
       "Found 0 ranges."},
      {"no end marker", Full, false, 0x0101,
       "Flash bank @ 0x08000000: Algo error: FlashDevice.SectorInfo struct exceeds max. number of supported "
       "entries"},
      {"absolute, then relative",
       {{0x400, 0x08000000}, {0x400, 0x400}},
       true,
       0x0101,
       "Flash bank @ 0x08000000: Algo error: FlashDevice.SectorInfo[] holds a mixture of relative and "
       "absolute "
       "values for <SectAddr>"},
      // Below DevAdr first: relative throughout, so the later absolute address lies far beyond szDev.
      {"relative, then absolute",
       {{0x400, 0}, {0x800, 0x08004000}},
       true,
       0x0101,
       "Specified flashloader contains invalid sector offset for sector[1]."},
      {"nine regions", NineRuns, true, 0x0101,
       "Algo error: Too many flash sector regions defined. Defined = 9, max. allowed = 8"},
      {"sector size 0",
       {{0, 0}},
       true,
       0x0101,
       "Specified flashloader contains invalid sector size of 0 Bytes for sector[0]."},
      {"runs out of order",
       {{0x400, 0x8000}, {0x800, 0x4000}},
       true,
       0x0101,
       "Specified flashloader contains invalid sector offset for sector[1]."},
  };
  for (const Case& c : aCase) {
    SCOPED_TRACE(c.sName);
    Elf = ReadBytes(ProgramFile("flm_main_64k.flm"));
    SetSectors(c.aSector, c.End);
    Put16(Elf, Fd, c.Vers);
    Messages Local;
    EXPECT_EQ(Parse(), -1);
    EXPECT_EQ(Local.Joined(), c.sExpected);
    EXPECT_EQ(p.Info.pImage, nullptr); // nothing survives a failed parse
  }
}

TEST_F(MutatedAlgo, DeviceSectorListCutsOrReplacesTheLayout) {
  SectorRegion Dev16k[] = {{16, 0x400, 0}, {0, 0, 0}};
  ASSERT_EQ(Parse(Dev16k), 0);
  EXPECT_EQ(Regions(), (std::vector<SectorRegion>{{16, 0x400, 0}}));
  EXPECT_EQ(p.Info.LayoutCut, 1);
  MCUDB_FreeCMSISInfo(&p.Info);

  SectorRegion Dev15k5[] = {{31, 0x200, 0}, {0, 0, 0}};
  EXPECT_EQ(Parse(Dev15k5), -1);
  EXPECT_EQ(m.Joined(), "<MaxSize> specified in XML file does not fit the sector alignment specified in the "
                        "flashloader ELF file.");

  // A cut in the second region keeps what is left of MaxSize after the first; none follow.
  SetSectors({{0x400, 0}, {0x800, 0x4000}, {0x1000, 0x8000}});
  SectorRegion Dev20k[] = {{20, 0x400, 0}, {0, 0, 0}};
  ASSERT_EQ(Parse(Dev20k), 0);
  EXPECT_EQ(Regions(), (std::vector<SectorRegion>{{16, 0x400, 0}, {2, 0x800, 0x4000}}));
  MCUDB_FreeCMSISInfo(&p.Info);

  // A list as large as the algorithm cuts nothing.
  SectorRegion Dev64k[] = {{64, 0x400, 0}, {0, 0, 0}};
  ASSERT_EQ(Parse(Dev64k), 0);
  EXPECT_EQ(p.Info.LayoutCut, 0);
  MCUDB_FreeCMSISInfo(&p.Info);

  // Flag bit 0 copies the device list: at most seven regions and the ending entry.
  SectorRegion Own[] = {{4, 0x1000, 0}, {2, 0x8000, 0x4000}, {0, 0, 0}};
  ASSERT_EQ(Parse(Own, MCUDB_PARSE_FLAG_DEVICE_LAYOUT), 0);
  EXPECT_EQ(Regions(), (std::vector<SectorRegion>{{4, 0x1000, 0}, {2, 0x8000, 0x4000}}));
  MCUDB_FreeCMSISInfo(&p.Info);
  SectorRegion Eight[8];
  for (uint32_t i = 0; i < 8; i++)
    Eight[i] = {1, 0x400, i * 0x400};
  m.List().clear();
  EXPECT_EQ(Parse(Eight, MCUDB_PARSE_FLAG_DEVICE_LAYOUT), -1);
  EXPECT_EQ(m.Joined(), "");
}

TEST_F(MutatedAlgo, FilesThatAreNoAlgorithmAreRefused) {
  // Renaming a section or the symbol in the string tables takes it away.
  auto Rename = [&](const char* sFrom, const char* sTo) {
    auto it = std::search(Elf.begin(), Elf.end(), sFrom, sFrom + std::strlen(sFrom) + 1);
    ASSERT_NE(it, Elf.end());
    std::copy(sTo, sTo + std::strlen(sTo), it);
  };
  const std::pair<std::pair<const char*, const char*>, const char*> aCase[] = {
      {{"PrgData", "PrgXata"}, "Algo error: Cannot find \"PrgData\" section."},
      {{"PrgCode", "PrgXode"}, "Algo error: Cannot find \"PrgCode\" section."},
      {{"FlashDevice", "FlashXevice"}, "Algo error: Cannot find struct \"FlashDevice\""},
      {{"DevDscr", "DevXscr"}, "Algo error: Cannot find \"DevDscr\" section."},
  };
  for (const auto& [Names, sExpected] : aCase) {
    SCOPED_TRACE(sExpected);
    Elf = ReadBytes(ProgramFile("flm_main_64k.flm"));
    Rename(Names.first, Names.second);
    Messages Local;
    EXPECT_EQ(Parse(), -1);
    EXPECT_EQ(Local.Joined(), sExpected);
  }
  // Not an algorithm at all: the ELF reader's own text says why.
  Messages Local;
  Elf.resize(100);
  EXPECT_EQ(Parse(), -1);
  EXPECT_NE(Local.Joined(), "");
  EXPECT_EQ(Local.Joined().find("Algo error"), std::string::npos);
  Messages Missing;
  CMSISInfo Info;
  EXPECT_EQ(MCUDB_ParseFlashLoader(8, nullptr, 0, "/nonexistent/algo.flm", nullptr, nullptr, &Info, 0), -1);
  EXPECT_EQ(Missing.Joined(), "Failed to open source file [/nonexistent/algo.flm] for reading");
}

TEST(CompressedImages, HeaderFlagsEntriesAndBigEndianDescriptors) {
  Messages m;
  FdSpec Spec;
  Spec.NumEntries = 16;
  Spec.aSector = {{0x400, 0}, {0x1000, 0x4000}};
  std::vector<uint32_t> aWord = {0u << 24 | 0x11, 2u << 24 | 0x21,  13u << 24 | 0x31, 7u << 24 | 0x41,
                                 24u << 24,       30u << 24 | 0x99, 19u << 24 | 0x51};
  Parsed Le, Be, Is64;
  Bytes Image = MakeKflc(MakeFlashDevice(Spec), aWord, 0, 0x20000000);
  ASSERT_EQ(MCUDB_ParseFlashLoader(12, Image.data(), uint32_t(Image.size()), nullptr, nullptr, nullptr,
                                   &Le.Info, 0),
            0)
      << m.Joined();
  EXPECT_EQ(Le.Info.ImageSize, 0x104u + 160 + 2 * 8);
  EXPECT_EQ(Le.Info.PrgDataAddr, 0x20000100u);
  EXPECT_EQ(Le.Info.aEntryOffset[MCUDB_ENTRY_INIT], 0x11);
  EXPECT_EQ(Le.Info.aEntryOffset[MCUDB_ENTRY_ERASE_SECTOR], 0x21);
  EXPECT_EQ(Le.Info.aEntryOffset[MCUDB_ENTRY_ERASE], 0x41); // the later word of the same entry wins
  EXPECT_EQ(Le.Info.aEntryOffset[MCUDB_ENTRY_VERIFY_EX], 0x51);
  EXPECT_EQ(Le.Info.aEntryOffset[MCUDB_ENTRY_PROGRAM], -1);
  EXPECT_EQ(Le.Info.IntEnabled, 1);
  EXPECT_EQ(Le.Info.Is64, 0);
  EXPECT_EQ(Le.Info.aRegion[0].NumSectors, 16u);
  EXPECT_EQ(Le.Info.aRegion[1].NumSectors, 12u);
  EXPECT_EQ(Le.Info.TimeoutErase, 500u);

  Bytes BigImage = MakeKflc(MakeFlashDevice(Spec, true), aWord, 2, 0x20000000);
  ASSERT_EQ(MCUDB_ParseFlashLoader(12, BigImage.data(), uint32_t(BigImage.size()), nullptr, nullptr, nullptr,
                                   &Be.Info, 0),
            0)
      << m.Joined();
  ExpectSameDescription(Le.Info, Be.Info);

  Bytes Image64 = MakeKflc(MakeFlashDevice(Spec), aWord, 1);
  ASSERT_EQ(MCUDB_ParseFlashLoader(12, Image64.data(), uint32_t(Image64.size()), nullptr, nullptr, nullptr,
                                   &Is64.Info, 0),
            0);
  EXPECT_EQ(Is64.Info.Is64, 1);
}

TEST(CompressedImages, BrokenImagesAreRefused) {
  FdSpec Spec;
  Spec.NumEntries = 4;
  const Bytes Good = MakeKflc(MakeFlashDevice(Spec), {0x11});
  struct Case {
    const char* sName;
    size_t Off; // header word to change (SIZE_MAX: none)
    uint32_t Value;
    size_t Size; // bytes handed over
    const char* sExpected;
  };
  const Case aCase[] = {
      {"one byte more announced", 12, 0x104 + 160 + 32 + 1, Good.size(),
       "Error while decompressing RAMCode."},
      {"one byte less announced", 12, 0x104 + 160 + 32 - 1, Good.size(),
       "Error while decompressing RAMCode."},
      {"stream cut short", SIZE_MAX, 0, Good.size() - 20, "Error while decompressing RAMCode."},
      {"nothing to unpack", 12, 0, Good.size(), "Specified flashloader exceeds max. size of 512 KB."},
      {"too large", 12, 0x80001, Good.size(), "Specified flashloader exceeds max. size of 512 KB."},
      {"descriptor too small", 20, 159, Good.size(),
       "Algo error: FlashDevice.SectorInfo[] NumEntries = 0, max. allowed = 512"},
      {"descriptor of 513 entries", 20, 160 + 513 * 8, Good.size(),
       "Algo error: FlashDevice.SectorInfo[] NumEntries = 513, max. allowed = 512"},
      {"descriptor beyond the image", 16, 0x200, Good.size(),
       "Algo error: struct \"FlashDevice\" lies outside the flashloader image"},
      {"entry table beyond the buffer", 28, 0x40000000, Good.size(),
       "Algo error: Flashloader image header is incomplete"},
      {"header cut short", SIZE_MAX, 0, 20, "Algo error: Flashloader image header is incomplete"},
  };
  for (const Case& c : aCase) {
    SCOPED_TRACE(c.sName);
    Bytes k = Good;
    if (c.Off != SIZE_MAX) Put32(k, c.Off, c.Value);
    k.resize(c.Size);
    Messages m;
    Parsed p;
    EXPECT_EQ(MCUDB_ParseFlashLoader(12, k.data(), uint32_t(k.size()), nullptr, nullptr, nullptr, &p.Info, 0),
              -1);
    EXPECT_EQ(m.Joined(), c.sExpected);
    EXPECT_EQ(p.Info.pImage, nullptr);
  }
}

TEST(RamCodeStream, TokensAndFailures) {
  // A hand-made stream: literals 'A' 'B', a match of 5 at distance 2, a repeated distance, end.
  BitWriter w(0); // W = 2
  w.Literal('A');
  w.Literal('B');
  w.Put(1, 1);
  w.Put(3, 2); // 1, 1: length 4 + 1 bit
  w.Put(1, 1); // 5
  w.Put(1, 3); // c = 1: W bits + 1
  w.Put(1, 2); // distance 2
  w.Put(1, 1);
  w.Put(0, 2); // length 2 + 0
  w.Put(0, 3); // the previous distance again
  w.End();
  uint8_t Out[16] = {};
  ASSERT_EQ(RAMCODE_Decompress(w.Out.data(), uint32_t(w.Out.size()), Out, sizeof(Out)), 9);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(Out), 9), "ABABABABA");

  BitWriter Rep(0); // distance 1 repeats the last byte, overlapping what it writes
  Rep.Literal('x');
  Rep.Put(1, 1);
  Rep.Put(3, 2);
  Rep.Put(0, 1);
  Rep.Put(1, 3);
  Rep.Put(0, 2);
  Rep.End();
  ASSERT_EQ(RAMCODE_Decompress(Rep.Out.data(), uint32_t(Rep.Out.size()), Out, sizeof(Out)), 5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(Out), 5), "xxxxx");

  BitWriter EndFirst(3);
  EndFirst.End();
  BitWriter NoDistance(0); // repeats a distance before any was read
  NoDistance.Literal('a');
  NoDistance.Put(1, 1);
  NoDistance.Put(0, 2);
  NoDistance.Put(0, 3);
  NoDistance.End();
  BitWriter TooFar(0); // reaches before the output start
  TooFar.Literal('a');
  TooFar.Put(1, 1);
  TooFar.Put(0, 2);
  TooFar.Put(1, 3);
  TooFar.Put(3, 2); // distance 4
  TooFar.End();
  Bytes Lits = PackLiterals(Bytes(20, 0x5A));
  Bytes Cut = Lits;
  Cut.resize(5); // ends inside the fourth literal
  const uint8_t Param7[] = {0x07, 0x00};
  struct Case {
    const char* sName;
    Bytes In;
    uint32_t OutSize;
    int Expected;
  };
  const Case aCase[] = {
      {"end token first", EndFirst.Out, 16, 0},
      {"no input", {}, 16, RAMCODE_ERR_INPUT_END},
      {"parameter byte 7", Bytes(Param7, Param7 + 2), 16, RAMCODE_ERR_PARAMETER},
      {"input used up", Cut, 64, RAMCODE_ERR_INPUT_END},
      {"output full on a literal", Lits, 19, RAMCODE_ERR_OUTPUT_FULL},
      {"output full on a match", w.Out, 8, RAMCODE_ERR_OUTPUT_FULL},
      {"exactly full", Lits, 20, 20},
      {"no previous distance", NoDistance.Out, 16, RAMCODE_ERR_DISTANCE},
      {"before the output start", TooFar.Out, 16, RAMCODE_ERR_DISTANCE},
  };
  for (const Case& c : aCase) {
    SCOPED_TRACE(c.sName);
    std::vector<uint8_t> Buf(c.OutSize);
    EXPECT_EQ(RAMCODE_Decompress(c.In.data(), uint32_t(c.In.size()), Buf.data(), c.OutSize), c.Expected);
  }
}

TEST(CompiledScripts, AlgoParamsAndCFIConfig) {
  Bytes Params(40), Cfi(20);
  for (uint32_t i = 0; i < 10; i++)
    Put32(Params, 4 * i, 0x100 + i);
  for (uint32_t i = 0; i < 5; i++)
    Put32(Cfi, 4 * i, 0x200 + i);
  Bytes Script = MakeScript({{"Other", Bytes(8, 1)}, {"flash_algoparams", Params}, {"FLASH_CFIConfig", Cfi}});
  EXPECT_EQ(MCUDB_FindScriptEntry(Script.data(), uint32_t(Script.size()), "FLASH_AlgoParams"), 1);
  EXPECT_EQ(MCUDB_FindScriptEntry(Script.data(), uint32_t(Script.size()), "Missing"), -1);
  MCUDB_ALGO_INFO* pInfo = nullptr;
  const uint8_t Image[4] = {};
  ASSERT_EQ(MCUDB_ReadAlgoParams(Script.data(), uint32_t(Script.size()), Image, 4, &pInfo), 0);
  for (uint32_t i = 0; i < 8; i++)
    EXPECT_EQ(pInfo->aWord[i], 0x101 + i);
  EXPECT_EQ(pInfo->Flags, 0x109u | 0x2000u);
  EXPECT_EQ(pInfo->pImage, Image);
  EXPECT_NE(pInfo->pAPI, nullptr);
  MCUDB_FreeAlgoInfo(&pInfo);
  EXPECT_EQ(pInfo, nullptr);
  MCUDB_CFI_CONFIG Config{};
  ASSERT_EQ(MCUDB_ReadCFIConfig(Script.data(), uint32_t(Script.size()), &Config), 0);
  EXPECT_EQ(Config.aWord[0], 0x202u);
  EXPECT_EQ(Config.aWord[2], 0x204u);
  EXPECT_EQ(Config.IsSet, 1);

  Bytes BadMagic = Script;
  BadMagic[3] = '3';
  Bytes Short = MakeScript({{"FLASH_CFIConfig", Bytes(19)}});
  Bytes Liar = MakeScript({{"FLASH_CFIConfig", Bytes(4), 20}}); // claims more data than the script holds
  Bytes Empty = MakeScript({});
  const std::pair<const Bytes*, int> aCase[] = {{&BadMagic, -1}, {&Empty, -2}, {&Short, -4}, {&Liar, -3}};
  for (auto [pScript, Expected] : aCase) {
    MCUDB_CFI_CONFIG c{};
    EXPECT_EQ(MCUDB_ReadCFIConfig(pScript->data(), uint32_t(pScript->size()), &c), Expected);
    EXPECT_EQ(c.IsSet, 0);
  }
  EXPECT_EQ(MCUDB_ReadAlgoParams(Short.data(), uint32_t(Short.size()), nullptr, 0, &pInfo), -3);
}
