/*
 * The RAMCode runner: the work RAM layout, the core families' tables, and calls of flash
 * algorithms on the simulated AT32F425 and through recording fakes of the probe binding.
 */
#include <gtest/gtest.h>

#include <cstdint>

#include "flash/RAMCODE_Runner.h"

namespace {

// Device family code -> runner family and the breakpoint word planted at S'.
TEST(RamcodeFamily, BreakpointWordOfEveryDeviceFamily) {
  struct Case {
    int Code;
    bool AArch64;
    int Family;
    bool HasBP;
    uint32_t Word;
  } aCase[] = {
      {0, false, 0, true, 0xFEE7FEE7u},   {7, false, 0, true, 0xFEE7FEE7u},   {255, false, 0, true, 0xFEE7FEE7u},
      {1, false, 1, true, 0xBE00BE00u},   {3, false, 1, true, 0xBE00BE00u},   {6, false, 1, true, 0xBE00BE00u},
      {14, false, 1, true, 0xBE00BE00u},  {12, false, 5, true, 0xBE00BE00u},  {8, false, 6, true, 0xBE00BE00u},
      {15, false, 6, true, 0xBE00BE00u},  {19, false, 9, true, 0x00100073u},  {20, true, 11, true, 0xD4400000u},
      {20, false, 11, true, 0x0000BA80u}, {2, false, 2, false, 0},            {11, false, 8, false, 0},
      {13, false, 3, false, 0},           {16, false, 4, false, 0},           {17, false, 7, false, 0},
      {21, false, 10, false, 0},
  };
  for (const Case& c : aCase) {
    int Family = RAMCODE_FamilyOf(c.Code);
    EXPECT_EQ(Family, c.Family) << "device family " << c.Code;
    uint32_t Word = 0;
    EXPECT_EQ(RAMCODE_GetBreakpointWord(Family, c.AArch64, &Word), c.HasBP) << "device family " << c.Code;
    if (c.HasBP) {
      EXPECT_EQ(Word, c.Word) << "device family " << c.Code;
    }
  }
}

} // namespace
