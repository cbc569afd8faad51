/*
 * Fuzz target for the settings text: any file opens, every read either yields a value or
 * fails cleanly, and a value written is read back as written, wherever the text put it.
 */
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzFile.h"
#include "project/SETFILE.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t Size) {
  std::string sIn = FuzzTempPath("-set", ".tforge"), sOut = FuzzTempPath("-set-out", ".tforge");
  if (!FuzzWriteFile(sIn, pData, Size)) return 0;
  if (SETFILE_Open(sIn.c_str()) != 0) std::abort();
  static const char* const aSection[] = {nullptr, "GENERAL", "CPU", "FLASH", "S"};
  static const char* const aKey[] = {"K", "AppVersion", "NumBanks", "aRangeSel", "ChipName", "Speed0"};
  uint8_t ab[64];
  char ac[64];
  uint32_t v;
  for (const char* sSection : aSection) {
    for (const char* sKey : aKey) {
      SETFILE_ReadU32(sSection, sKey, &v);
      SETFILE_ReadString(sSection, sKey, ac, sizeof(ac));
      SETFILE_ReadBytes(sSection, sKey, ab, sizeof(ab));
      SETFILE_ReadBits(sSection, sKey, ab, 8 * sizeof(ab) - 3);
      SETFILE_ReadRanges(sSection, sKey, ab, 8 * sizeof(ab) - 3);
    }
  }
  for (const char* sSection : aSection) {
    uint32_t Value = Size ? pData[0] * 0x01020304u : 7;
    SETFILE_WriteHex(sSection, "K", Value);
    if (SETFILE_ReadU32(sSection, "K", &v) != 0 || v != Value) std::abort();
    SETFILE_WriteString(sSection, "ChipName", "Vendor Device");
    if (SETFILE_ReadString(sSection, "ChipName", ac, sizeof(ac)) != 0 ||
        std::strcmp(ac, "Vendor Device") != 0) {
      std::abort();
    }
    std::memset(ab, 0, sizeof(ab));
    if (Size > 1) std::memcpy(ab, pData, Size < sizeof(ab) ? Size : sizeof(ab));
    uint8_t Back[sizeof(ab)];
    SETFILE_WriteRanges(sSection, "aRangeSel", ab, 8 * sizeof(ab));
    if (SETFILE_ReadRanges(sSection, "aRangeSel", Back, 8 * sizeof(ab)) != 0 ||
        std::memcmp(ab, Back, sizeof(ab)) != 0) {
      std::abort();
    }
  }
  if (SETFILE_Save(sOut.c_str()) != 0) std::abort();
  SETFILE_Close();
  unlink(sIn.c_str());
  unlink(sOut.c_str());
  return 0;
}
