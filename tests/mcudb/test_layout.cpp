/*
 * Sector-layout arithmetic, the flash device list grammar and core names: plain functions.
 */
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "data/DATAIMAGE.h"
#include "mcudb/FLASHCSV.h"
#include "mcudb/MCUDB.h"
#include "mcudb/MCUDB_Layout.h"

namespace {

std::vector<SectorRegion> List(const SectorRegion* pa) {
  std::vector<SectorRegion> v;
  for (int i = 0; i < MCUDB_MAX_REGIONS && pa[i].NumSectors; i++)
    v.push_back(pa[i]);
  return v;
}

std::string Ranges(DataImage* p) {
  std::string s;
  for (uint32_t i = 0; i < DATAIMAGE_GetNumRanges(p); i++) {
    uint32_t Start = 0, n = 0;
    DATAIMAGE_GetRange(p, i, &Start, &n);
    char ac[40];
    std::snprintf(ac, sizeof(ac), "%s%X-%X", s.empty() ? "" : " ", Start, Start + n - 1);
    s += ac;
  }
  return s;
}

} // namespace

bool operator==(const SectorRegion& a, const SectorRegion& b) {
  return a.NumSectors == b.NumSectors && a.SectorSize == b.SectorSize && a.Offset == b.Offset;
}

TEST(SectorLayout, SizesSectorsAndRangesWithGapsAndChips) {
  // 4 x 1 KB, a gap up to 0x2000, 2 x 4 KB.
  const SectorRegion aLayout[] = {{4, 0x400, 0}, {2, 0x1000, 0x2000}, {0, 0, 0}};
  EXPECT_EQ(MCUDB_LAYOUT_GetNumSectors(aLayout), 6u);
  struct Case {
    int Chips;
    uint64_t WithGaps, WithoutGaps;
    uint32_t Sector4Addr, Sector4Size;
  };
  const Case aCase[] = {
      {1, 0x4000, 0x3000, 0x10002000, 0x1000},
      {2, 0x8000, 0x6000, 0x10004000, 0x2000},
      {0, 0x4000, 0x3000, 0x10002000, 0x1000}, // 0 and above 4 count as 1
      {5, 0x4000, 0x3000, 0x10002000, 0x1000},
  };
  for (const Case& c : aCase) {
    SCOPED_TRACE(c.Chips);
    EXPECT_EQ(MCUDB_LAYOUT_GetSize(aLayout, c.Chips, true), c.WithGaps);
    EXPECT_EQ(MCUDB_LAYOUT_GetSize(aLayout, c.Chips, false), c.WithoutGaps);
    uint32_t Addr = 0, Size = 0;
    ASSERT_EQ(MCUDB_LAYOUT_GetSector(aLayout, c.Chips, 0x10000000, 4, &Addr, &Size), 0);
    EXPECT_EQ(Addr, c.Sector4Addr);
    EXPECT_EQ(Size, c.Sector4Size);
    EXPECT_EQ(MCUDB_LAYOUT_GetSector(aLayout, c.Chips, 0x10000000, 6, &Addr, &Size), -1);
  }
  // A sector that would end beyond 4 GB does not exist.
  uint32_t Addr, Size;
  EXPECT_EQ(MCUDB_LAYOUT_GetSector(aLayout, 1, 0xFFFFF000, 4, &Addr, &Size), -1);

  DataImage* p = DATAIMAGE_Create();
  const uint8_t Sel[] = {0x3B}; // sectors 0, 1, 3, 4, 5
  EXPECT_EQ(MCUDB_LAYOUT_AddRanges(aLayout, 1, 0x10000000, Sel, 6, p), 5);
  EXPECT_EQ(Ranges(p), "10000000-100007FF 10000C00-10000FFF 10002000-10003FFF");
  DATAIMAGE_Delete(p);
  p = DATAIMAGE_Create();
  EXPECT_EQ(MCUDB_LAYOUT_AddRanges(aLayout, 2, 0x10000000, nullptr, 0, p), 6);
  EXPECT_EQ(Ranges(p), "10000000-10001FFF 10004000-10007FFF");
  DATAIMAGE_Delete(p);

  char ac[256];
  MCUDB_LAYOUT_Format(aLayout, 0x08000000, ac, sizeof(ac));
  EXPECT_STREQ(ac, "0x0800_0000 - 0x0800_0FFF 4 * 1 KB\nGap\n0x0800_2000 - 0x0800_3FFF 2 * 4 KB\n");
  const SectorRegion aSmall[] = {{1, 0x200, 0}, {2, 0x400, 0x200}, {0, 0, 0}}; // contiguous: no gap line
  MCUDB_LAYOUT_Format(aSmall, 0x1FFFF800, ac, sizeof(ac));
  EXPECT_STREQ(ac, "0x1FFF_F800 - 0x1FFF_F9FF 1 * 512 Bytes\n0x1FFF_FA00 - 0x2000_01FF 2 * 1 KB\n");
}

TEST(FlashDeviceList, QuotingColumnsAndLayouts) {
  const char* sText = "Manufacturer;Name;ID16;ID8;Skip;A0;A1;Bus;O1;O2;O0;O3;r;r;r;r;r;r;r;r;r;Sectors\r\n"
                      "  \"Acme \"\"Flash\"\" Inc.\" ;\t Part 1 "
                      ";0x00012249;12G4;0;2;5;16;1;2;3;4;;;;;;;;;;\"10000[8];40000[3];\"\r\n"
                      "Acme;Skipped;1;1;1;0;0;8;0;0;0;0;;;;;;;;;;\"1000;\"\n"
                      "Acme;Unquoted layout;;;0;0;0;8;0;0;0;0;;;;;;;;;;1000[4],10000;2000;\r"
                      "Other;Clamped;1;;0;0;0;8;0;0;0;0;;;;;;;;;;20000000[0];\n"
                      "Other;Nine;1;;0;0;0;8;0;0;0;0;;;;;;;;;;\"1;2;3;4;5;6;7;8;9;\"\n"
                      "Other;Short row\n";
  FLASHCSV_LIST* pList = FLASHCSV_Create();
  ASSERT_EQ(FLASHCSV_Parse(pList, sText, uint32_t(std::strlen(sText))), 5);
  const FLASH_DEVICE* d = FLASHCSV_GetDevice(pList, 0);
  EXPECT_STREQ(d->sManu, "Acme \"Flash\" Inc.");
  EXPECT_STREQ(d->sName, "Part 1");
  EXPECT_EQ(d->Id16, 0x12249u);
  EXPECT_EQ(d->Id8, 0x12u); // a hex column stops at the first non-hex character
  EXPECT_EQ(d->aAlgoSel[0], 2);
  EXPECT_EQ(d->aAlgoSel[1], 5);
  EXPECT_EQ(d->BusWidth, 16);
  EXPECT_EQ(d->aOption[0], 3); // columns 11, 9, 10, 12
  EXPECT_EQ(d->aOption[1], 1);
  EXPECT_EQ(d->aOption[2], 2);
  EXPECT_EQ(d->aOption[3], 4);
  EXPECT_EQ(List(d->aRegion), (std::vector<SectorRegion>{{8, 0x10000, 0}, {3, 0x40000, 0x80000}}));
  d = FLASHCSV_GetDevice(pList, 1);
  EXPECT_STREQ(d->sName, "Unquoted layout");
  EXPECT_EQ(d->Id16, 0u); // a missing number is 0
  EXPECT_EQ(List(d->aRegion), (std::vector<SectorRegion>{{4, 0x1000, 0x10000}, {1, 0x2000, 0x14000}}));
  d = FLASHCSV_GetDevice(pList, 2);
  EXPECT_EQ(List(d->aRegion), (std::vector<SectorRegion>{{1, 0x10000000, 0}})); // clamped, count 0 is 1
  EXPECT_EQ(List(FLASHCSV_GetDevice(pList, 3)->aRegion).size(), 8u);
  EXPECT_STREQ(FLASHCSV_GetDevice(pList, 4)->sName, "Short row");
  EXPECT_EQ(FLASHCSV_GetDevice(pList, 5), nullptr);
  // Equal texts are stored once.
  EXPECT_EQ(FLASHCSV_GetDevice(pList, 2)->sManu, FLASHCSV_GetDevice(pList, 3)->sManu);
  FLASHCSV_Delete(pList);

  pList = FLASHCSV_Create();
  EXPECT_EQ(FLASHCSV_Parse(pList, "Header only", 11), 0);
  EXPECT_EQ(FLASHCSV_Parse(pList, "", 0), 0);
  FLASHCSV_Delete(pList);
}

TEST(CoreNames, EveryFamilyAndFullWords) {
  const std::pair<uint32_t, const char*> aCase[] = {
      {0x000000FF, "None"},
      {0x010000FF, "Cortex-M1"},
      {0x020000FF, "Coldfire"},
      {0x030000FF, "Cortex-M3"},
      {0x03000021, "Cortex-M3 r2p1"},
      {0x030000F1, "Cortex-M3 p1"},
      {0x040000FF, "Simulator"},
      {0x050000FF, "XScale"},
      {0x060000FF, "Cortex-M0"},
      {0x060100FF, "Cortex-M23"},
      {0x070000FF, "ARM7TDMI"},
      {0x070001FF, "ARM7TDMI-S"},
      {0x070001 << 8 | 0x2F, "ARM7TDMI-S Rev.2"},
      {0x080000FF, "Cortex-A8"},
      {0x080200FF, "Cortex-A9"},
      {0x080500FF, "Cortex-A17"},
      {0x090001FF, "ARM9TDMI-S"},
      {0x092600FF, "ARM926EJ"},
      {0x094601FF, "ARM946E-S"},
      {0x0A0000FF, "ARM10"},
      {0x0B3602FF, "ARM1136J"},
      {0x0B7607FF, "ARM1176JF-S"},
      {0x0B9900FF, "ARM11"},
      {0x0C0000FF, "Cortex-R4"},
      {0x0C0200FF, "Cortex-R8"},
      {0x0D0100FF, "RX610"},
      {0x0D1D00FF, "RX71M"},
      {0x0D5000FF, "RX"},
      {0x0E0000FF, "Cortex-M4"},
      {0x0E000001, "Cortex-M4 r0p1"},
      {0x0E0100FF, "Cortex-M7"},
      {0x0E0500FF, "Cortex-M85"},
      {0x0E0900FF, "Unknown Cortex-M4 like"},
      {0x0F0000FF, "Cortex-A5"},
      {0x100000FF, "PowerPC (Nexus 2+)"},
      {0x100100FF, "PowerPC (Nexus 1)"},
      {0x110000FF, "MIPS"},
      {0x110200FF, "MIPS MicroAptiv"},
      {0x120000FF, "8051"},
      {0x130000FF, "RISC-V"},
      {0x140000FF, "Cortex-A53"},
      {0x140400FF, "Cortex-R52"},
      {0x150000FF, "BT5511"},
      {0x16040000, "Xtensa LX7"},
      {0x160A0000, "Fusion F1"},
      {0x16000000, "Unknown type"},
      {0x17000000, "Unspecified"},
      {0xFFFFFFFF, "Unspecified"},
  };
  for (auto [Core, sName] : aCase) {
    char ac[64];
    MCUDB_GetCoreName(Core, ac, sizeof(ac));
    EXPECT_STREQ(ac, sName) << std::hex << Core;
  }
}
