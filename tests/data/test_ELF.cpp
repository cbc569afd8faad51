/*
 * The ELF reader on files built by clang and ld.lld: load addresses byte for byte as objcopy
 * gives them, sections, symbols, merged ranges; and every refusal on a damaged copy.
 */
#include <gtest/gtest.h>

#include <cstring>

#include "DataTestUtil.h"
#include "data/DATAFILE.h"
#include "data/ELF.h"
#include "data/HEX.h"

using namespace dt;

namespace {

std::vector<std::string> _aError, _aWarn, _aInfo;
void _OnError(const char* s) { _aError.push_back(s); }
void _OnWarn(const char* s) { _aWarn.push_back(s); }
void _OnInfo(const char* s) { _aInfo.push_back(s); }
const ElfReportConfig _Report = {sizeof(ElfReportConfig), _OnError, _OnWarn, _OnInfo};

std::string ElfPath(const char* sName) { return std::string(TFORGE_TEST_ELF_DIR) + "/" + sName; }

ElfSectionInfo SectionInfo() {
  ElfSectionInfo si{};
  si.SizeOfStruct = sizeof(si);
  return si;
}

struct ElfCloser {
  void operator()(ElfFile* p) const { ELF_Close(p); }
};
using ElfPtr = std::unique_ptr<ElfFile, ElfCloser>;

class Elf : public TempDirTest {
protected:
  void SetUp() override {
    TempDirTest::SetUp();
    _aError.clear();
    _aWarn.clear();
    _aInfo.clear();
    std::string s = ReadFile(ElfPath("cortexm4.elf"));
    M4.assign(s.begin(), s.end());
    s = ReadFile(ElfPath("aarch64.elf"));
    A64.assign(s.begin(), s.end());
    ASSERT_GT(M4.size(), 52u);
    ASSERT_GT(A64.size(), 64u);
  }
  ElfFile* Open(const Bytes& b) { return ELF_OpenMem(b.data(), b.size(), &_Report); }
  // The image objcopy makes of the file (it writes sections at their load addresses).
  ImageMap Objcopy(const std::string& sElf) {
    std::string hex = Path("objcopy.hex"), out;
    EXPECT_EQ(RunCmd("objcopy -O ihex " + sElf + " " + hex, &out), 0) << out;
    ImagePtr img(DATAIMAGE_Create());
    EXPECT_EQ(HEX_Read(img.get(), hex.c_str(), nullptr, nullptr), 0);
    return ToMap(img.get());
  }
  // Section header field of the ELF32 file: index, byte offset in the header.
  uint8_t* Shdr32(Bytes& b, int Index, int Field) {
    uint32_t shoff;
    std::memcpy(&shoff, &b[32], 4);
    return &b[shoff + Index * 40 + Field];
  }
  int FindSectionIndex(const char* sName) {
    ElfPtr e(Open(M4));
    uint64_t n = 0;
    ELF_GetNumSections(e.get(), &n);
    for (uint64_t i = 0; i < n; i++) {
      ElfSectionInfo si = SectionInfo();
      ELF_GetSectionInfo(e.get(), i, &si);
      if (std::strcmp(si.sName, sName) == 0) return (int)i;
    }
    return -1;
  }
  Bytes M4, A64;
};

} // namespace

TEST_F(Elf, LoadsAtLoadAddressesLikeObjcopy) {
  MsgLog log;
  ImagePtr img(DATAIMAGE_Create());
  ASSERT_EQ(DATAFILE_Read(MsgLog::Func, &log, img.get(), ElfPath("cortexm4.elf").c_str(), 0), 0) << log.Errors();
  EXPECT_EQ(ToMap(img.get()), Objcopy(ElfPath("cortexm4.elf")));
  EXPECT_FALSE(DATAIMAGE_IsModified(img.get()));
  // .data (linked at 0x20000000) sits in flash with its initial values; nothing lies in RAM.
  EXPECT_FALSE(DATAIMAGE_IntersectsRange(img.get(), 0x20000000, 0x2FFFFFFF));
  uint32_t v = 0;
  uint32_t dataLoad = 0;
  ElfPtr e(Open(M4));
  ElfSymbolInfo sym{};
  ASSERT_EQ(ELF_FindSymbol(e.get(), "__data_load__", &sym), 0);
  dataLoad = (uint32_t)sym.Value;
  EXPECT_GT(dataLoad, 0x08000000u);
  ASSERT_EQ(DATAIMAGE_GetU32(img.get(), dataLoad, &v), 0);
  EXPECT_EQ(v, 0xDEADBEEFu);
  EXPECT_EQ(log.aMsg.front().Text, "Parsing ELF file...");
  EXPECT_EQ(log.aMsg[1].Text.rfind("Reading data range 0x8000000 - 0x8000007...", 0), 0u) << log.aMsg[1].Text;
}

TEST_F(Elf, Elf64HoldsAddressesAboveFourGiB) {
  ElfPtr e(Open(A64));
  ASSERT_NE(e, nullptr) << (_aError.empty() ? "" : _aError[0]);
  EXPECT_EQ(ELF_GetClass(e.get()), 2);
  ElfRangeInfo a[8] = {};
  for (auto& r : a) r.SizeOfStruct = sizeof(r);
  int n = ELF_GetAppImgRanges(e.get(), a, 8);
  ASSERT_GE(n, 2);
  EXPECT_EQ(a[0].PAddr, 0x100000000ull);
  bool sawData = false;
  for (int i = 0; i < n; i++) sawData = sawData || (a[i].VAddr == 0x40000000 && a[i].PAddr > 0x100000000ull);
  EXPECT_TRUE(sawData);
  ElfSymbolInfo sym{};
  ASSERT_EQ(ELF_FindSymbol(e.get(), "FlashDevice", &sym), 0);
  EXPECT_EQ(sym.Type, 1u);
  // A 32-bit data image cannot hold it: the load fails with the reader's text.
  MsgLog log;
  ImagePtr img(DATAIMAGE_Create());
  EXPECT_EQ(DATAFILE_Read(MsgLog::Func, &log, img.get(), ElfPath("aarch64.elf").c_str(), 0), -1);
  EXPECT_EQ(log.Errors(), "Failed to create memory area for ELF file!");
}

TEST_F(Elf, SectionsSymbolsAndRanges) {
  ElfPtr e(Open(M4));
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(ELF_GetClass(e.get()), 1);
  EXPECT_EQ(ELF_IsBigEndian(e.get()), 0);
  ElfSymbolInfo sym{};
  ASSERT_EQ(ELF_FindSymbol(e.get(), "FlashDevice", &sym), 0);
  EXPECT_EQ(sym.Type, 1u);
  EXPECT_EQ(sym.Binding, 2u);
  EXPECT_EQ(sym.Size, 24u);
  uint8_t ab[24];
  ASSERT_EQ(ELF_ReadMem(e.get(), sym.Value, sizeof(ab), ab), 0);
  EXPECT_EQ(ab[0] | ab[1] << 8, 0x101);
  EXPECT_STREQ(reinterpret_cast<char*>(ab + 2), "Test device");
  ASSERT_EQ(ELF_FindSymbol(e.get(), "Compute", &sym), 0);
  EXPECT_EQ(sym.Type, 2u);
  EXPECT_EQ(ELF_FindSymbol(e.get(), "compute", &sym), -3); // names compare exactly
  EXPECT_EQ(ELF_ReadMem(e.get(), 0x20000018, 4, ab), -3);  // .bss is no part of the image

  ElfSectionInfo si = SectionInfo();
  ASSERT_EQ(ELF_FindSection(e.get(), ".bss", &si), 0);
  EXPECT_EQ(si.Addr, 0x20000018u);
  EXPECT_EQ(si.Size, 0x100u);
  Bytes zeros(0x100, 0xEE);
  int bss = FindSectionIndex(".bss");
  ASSERT_EQ(ELF_ReadSection(e.get(), (uint64_t)bss, zeros.data(), 0, 0x100), 0);
  EXPECT_EQ(zeros, Bytes(0x100, 0));
  EXPECT_EQ(ELF_ReadSection(e.get(), (uint64_t)bss, zeros.data(), 1, 0x100), -3);
  EXPECT_EQ(ELF_FindSection(e.get(), "", &si), -3);
  EXPECT_EQ(ELF_GetSectionInfo(e.get(), 1000, &si), -3);
  // A caller with a shorter record gets no more than it asked for, a longer one zeros behind.
  struct {
    ElfSectionInfo Info;
    uint64_t Extra;
  } big;
  std::memset(&big, 0xCC, sizeof(big));
  big.Info.SizeOfStruct = sizeof(big);
  ASSERT_EQ(ELF_FindSection(e.get(), ".text", &big.Info), 0);
  EXPECT_EQ(big.Extra, 0u);
  ElfSectionInfo small;
  std::memset(&small, 0xCC, sizeof(small));
  small.SizeOfStruct = offsetof(ElfSectionInfo, Size);
  ASSERT_EQ(ELF_FindSection(e.get(), ".text", &small), 0);
  EXPECT_EQ(small.Addr, 0x08000020u);
  EXPECT_EQ(small.Size, 0xCCCCCCCCCCCCCCCCull);

  // .rodata and .crc_area lie back to back in one segment: one range.
  ElfRangeInfo a[8] = {};
  for (auto& r : a) r.SizeOfStruct = sizeof(r);
  int n = ELF_GetAppImgRanges(e.get(), a, 8);
  ElfSectionInfo ro = SectionInfo(), crc = SectionInfo();
  ASSERT_EQ(ELF_FindSection(e.get(), ".rodata", &ro), 0);
  ASSERT_EQ(ELF_FindSection(e.get(), ".crc_area", &crc), 0);
  ASSERT_EQ(crc.Addr, ro.Addr + ro.Size);
  bool merged = false;
  for (int i = 0; i < n; i++) merged = merged || (a[i].VAddr == ro.Addr && a[i].NumBytes == ro.Size + crc.Size);
  EXPECT_TRUE(merged);
  bool logged = false;
  for (auto& s : _aInfo) logged = logged || s.rfind("Merged to AppImg range collection: VAddr = 0x", 0) == 0;
  EXPECT_TRUE(logged);
  Bytes buf(a[0].NumBytes);
  EXPECT_EQ(ELF_ReadAppImgRange(e.get(), &a[0], buf.data(), buf.size()), 0);
  ElfRangeInfo bad = a[0];
  bad.Index = 99;
  EXPECT_EQ(ELF_ReadAppImgRange(e.get(), &bad, buf.data(), buf.size()), -1);
}

TEST_F(Elf, HandlesThatAreNotOpen) {
  ElfFile* e = Open(M4);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(ELF_Close(e), 0);
  uint64_t n;
  ElfSectionInfo si = SectionInfo();
  EXPECT_EQ(ELF_Close(e), -2);
  EXPECT_EQ(ELF_GetNumSections(e, &n), -2);
  EXPECT_EQ(ELF_FindSection(e, ".text", &si), -2);
  EXPECT_EQ(ELF_GetClass(e), 0);
  int notAnInstance[64] = {};
  EXPECT_EQ(ELF_IsBigEndian(reinterpret_cast<ElfFile*>(notAnInstance)), -2);
  EXPECT_EQ(ELF_GetAppImgRanges(nullptr, nullptr, 0), -2);
}

TEST_F(Elf, SectionOutsideEverySegmentLoadsAtItsLinkAddress) {
  Bytes b = M4;
  uint32_t phoff;
  std::memcpy(&phoff, &b[28], 4);
  uint16_t phnum = (uint16_t)(b[44] | b[45] << 8);
  for (int i = 0; i < phnum; i++) std::memset(&b[phoff + i * 32 + 16], 0, 4); // p_filesz = 0
  ElfPtr e(Open(b));
  ASSERT_NE(e, nullptr);
  ASSERT_FALSE(_aWarn.empty());
  EXPECT_EQ(_aWarn[0], "No segment found for section '.vectors' (VAddr = 0x8000000, Size = 0x8). Assuming PAddr == VAddr.");
  ElfRangeInfo a[8] = {};
  int n = ELF_GetAppImgRanges(e.get(), a, 8);
  for (int i = 0; i < n; i++) EXPECT_EQ(a[i].PAddr, a[i].VAddr);
}

struct DamageCase {
  const char* sName;
  bool Elf64;
  std::function<void(Bytes&)> Damage;
  std::string Error;
};

class ElfDamaged : public Elf, public ::testing::WithParamInterface<DamageCase> {};

TEST_P(ElfDamaged, IsRefused) {
  const DamageCase& c = GetParam();
  Bytes b = c.Elf64 ? A64 : M4;
  c.Damage(b);
  EXPECT_EQ(Open(b), nullptr);
  ASSERT_FALSE(_aError.empty());
  EXPECT_EQ(_aError.back(), c.Error);
}

static void Put16(Bytes& b, size_t Off, uint16_t v) { std::memcpy(&b[Off], &v, 2); }
static void Put32(Bytes& b, size_t Off, uint32_t v) { std::memcpy(&b[Off], &v, 4); }

INSTANTIATE_TEST_SUITE_P(
    Cases, ElfDamaged,
    ::testing::Values(
        DamageCase{"Magic", false, [](Bytes& b) { b[1] = 'e'; }, "Invalid ELFId at start of file"},
        DamageCase{"TooShort", false, [](Bytes& b) { b.resize(3); }, "Invalid ELFId at start of file"},
        DamageCase{"HeaderCut", false, [](Bytes& b) { b.resize(40); }, "Invalid ELF file. File too short for its header."},
        DamageCase{"Class", false, [](Bytes& b) { b[4] = 3; }, "Invalid ELF file. Unsupported ELF class field value: 3"},
        DamageCase{"BigEndian", false, [](Bytes& b) { b[5] = 2; }, "Big endian ELF files are not supported right now"},
        DamageCase{"Endianess", false, [](Bytes& b) { b[5] = 0; }, "Invalid endianess of ELF file"},
        DamageCase{"HeaderVersion", false, [](Bytes& b) { b[6] = 2; },
                   "Invalid ELF file. Invalid ELF header version number (2)"},
        DamageCase{"FileType", false, [](Bytes& b) { Put16(b, 16, 5); }, "Invalid ELF file. Invalid ELF file type."},
        DamageCase{"ObjectVersion", false, [](Bytes& b) { Put32(b, 20, 0); },
                   "Invalid ELF file. Invalid object file version."},
        DamageCase{"SectionEntrySize", false, [](Bytes& b) { Put16(b, 46, 41); },
                   "SectionEntrySize (41) does not match size of internal struct (40)"},
        DamageCase{"Elf64SectionEntrySize40", true, [](Bytes& b) { Put16(b, 58, 40); },
                   "SectionEntrySize (40) does not match size of internal struct (64)"},
        DamageCase{"ProgramEntrySize", false, [](Bytes& b) { Put16(b, 42, 33); },
                   "ProgramEntrySize (33) does not match size of internal struct (32)"},
        DamageCase{"SectionTableOutside", false, [](Bytes& b) { Put32(b, 32, 0x7FFFFFF0); },
                   "Invalid ELF file. Section table lies outside the file."},
        DamageCase{"ProgramTableOutside", false, [](Bytes& b) { Put32(b, 28, 0xFFFFFFF0); },
                   "Invalid ELF file. Program header table lies outside the file."}),
    [](const auto& info) { return std::string(info.param.sName); });

TEST_F(Elf, DamagedSectionsAreRefused) {
  int symtab = FindSectionIndex(".symtab"), text = FindSectionIndex(".text");
  ASSERT_GT(symtab, 0);
  Bytes b = M4;
  Put32(b, Shdr32(b, symtab, 36) - b.data(), 17); // sh_entsize
  EXPECT_EQ(Open(b), nullptr);
  EXPECT_EQ(_aError.back(), "SymTblEntrySize (17) does not match size of internal struct (16)");
  b = M4;
  Put32(b, Shdr32(b, text, 20) - b.data(), 0x7FFFFFFF); // sh_size beyond the file
  EXPECT_EQ(Open(b), nullptr);
  EXPECT_EQ(_aError.back(), "Invalid ELF file. Section '.text' lies outside the file.");
  EXPECT_EQ(ELF_OpenMem(nullptr, 10, &_Report), nullptr);
  EXPECT_EQ(_aError.back(), "Failed to open source data for reading");
}

TEST_F(Elf, FileErrors) {
  EXPECT_EQ(ELF_Open(Path("missing.elf").c_str(), &_Report), nullptr);
  EXPECT_EQ(_aError.back(), "Failed to open source file [" + Path("missing.elf") + "] for reading");
  WriteFile(Path("empty.elf"), "");
  EXPECT_EQ(ELF_Open(Path("empty.elf").c_str(), &_Report), nullptr);
  EXPECT_EQ(_aError.back(), "Invalid file size detected. Could not parse file");
  MsgLog log;
  ImagePtr img(DATAIMAGE_Create());
  EXPECT_EQ(DATAFILE_Read(MsgLog::Func, &log, img.get(), Path("missing.elf").c_str(), 0), -1);
  EXPECT_EQ(log.Errors(), "Failed to read ELF file [" + Path("missing.elf") + "].");
}

TEST_F(Elf, HeaderInformationLines) {
  ElfPtr e(Open(M4));
  ASSERT_NE(e, nullptr);
  ASSERT_GE(_aInfo.size(), 10u);
  EXPECT_EQ(_aInfo[0], "pHeader->e_ident[4] = ELF32 ELF file");
  EXPECT_EQ(_aInfo[1], "pHeader->e_ident[5] = Little endian ELF file");
  EXPECT_EQ(_aInfo[2], "pHeader->e_type = 2");
  EXPECT_EQ(_aInfo[4], "pHeader->e_shnum (NumSections) = " + std::to_string(M4[48] | M4[49] << 8));
}
