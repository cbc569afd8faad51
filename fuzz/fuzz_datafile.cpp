/*
 * Fuzz target for one data-file reader (chosen at build time by FUZZ_READER_*), reached
 * through the extension dispatch as the program reaches it. What the HEX and S-record readers
 * accept is written back and must read back to the same image; ELF input also goes through
 * the section and symbol lookups that the flash-algorithm parser uses.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "FuzzFile.h"
#include "data/DATAFILE.h"
#include "data/DATAIMAGE.h"
#include "data/ELF.h"

#if defined(FUZZ_READER_HEX)
static const char* const sExt = ".hex";
#elif defined(FUZZ_READER_SREC)
static const char* const sExt = ".s37";
#elif defined(FUZZ_READER_ELF)
static const char* const sExt = ".elf";
#else
static const char* const sExt = ".bin";
#endif

[[maybe_unused]] static bool _Equal(DataImage* a, DataImage* b) {
  uint32_t n = DATAIMAGE_GetNumRanges(a);
  if (n != DATAIMAGE_GetNumRanges(b) || DATAIMAGE_CalcCRC(a) != DATAIMAGE_CalcCRC(b)) return false;
  for (uint32_t i = 0; i < n; i++) {
    uint32_t s0, l0, s1, l1;
    DATAIMAGE_GetRange(a, i, &s0, &l0);
    DATAIMAGE_GetRange(b, i, &s1, &l1);
    if (s0 != s1 || l0 != l1) return false;
  }
  return true;
}

[[maybe_unused]] static void _ExerciseElf(const uint8_t* pData, size_t Size) {
  ElfReportConfig cfg{sizeof(cfg), nullptr, nullptr, nullptr};
  ElfFile* e = ELF_OpenMem(pData, Size, &cfg);
  if (e == nullptr) return;
  uint64_t n = 0;
  ELF_GetNumSections(e, &n);
  uint8_t ab[64];
  for (uint64_t i = 0; i < n && i < 64; i++) {
    ElfSectionInfo si{};
    si.SizeOfStruct = sizeof(si);
    if (ELF_GetSectionInfo(e, i, &si) == 0) {
      ELF_ReadSection(e, i, ab, 0, si.Size < sizeof(ab) ? si.Size : sizeof(ab));
      ELF_FindSection(e, si.sName, &si);
    }
  }
  ElfSymbolInfo sym{};
  if (ELF_FindSymbol(e, "FlashDevice", &sym) == 0) ELF_ReadMem(e, sym.Value, sizeof(ab), ab);
  ELF_Close(e);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t Size) {
  std::string sIn = FuzzTempPath("-in", sExt), sOut = FuzzTempPath("-out", sExt);
  if (!FuzzWriteFile(sIn, pData, Size)) return 0;
  DataImage* pImage = DATAIMAGE_Create();
  int r = DATAFILE_Read(nullptr, nullptr, pImage, sIn.c_str(), Size ? pData[0] * 0x01010101u : 0);
#if defined(FUZZ_READER_HEX) || defined(FUZZ_READER_SREC)
  if (r == 0) {
    if (DATAFILE_Write(pImage, sOut.c_str(), 0, 0xFFFFFFFF, nullptr, nullptr) != 0) std::abort();
    DataImage* pBack = DATAIMAGE_Create();
    if (DATAFILE_Read(nullptr, nullptr, pBack, sOut.c_str(), 0) != 0 || !_Equal(pImage, pBack)) std::abort();
    DATAIMAGE_Delete(pBack);
  }
#elif defined(FUZZ_READER_ELF)
  (void)r;
  _ExerciseElf(pData, Size);
#else
  (void)r;
#endif
  DATAIMAGE_Delete(pImage);
  unlink(sIn.c_str());
  unlink(sOut.c_str());
  return 0;
}
