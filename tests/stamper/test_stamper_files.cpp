/*
 * The Stamper's configuration and data files: the data file's blocks, table, header size and
 * fill from plain bank records; the configuration file from a project for the simulated
 * AT32F425 with the device database of the probe library; the saves and their refusals.
 */
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "core/APP.h"
#include "core/APP_GUI.h"
#include "core/APP_Log.h"
#include "data/CRC32.h"
#include "data/DATAIMAGE.h"
#include "data/DATAJOBS.h"
#include "project/PROJECT.h"
#include "stamper/STAMPER.h"
#include "stamper/STAMPER_Test.h"
#include "StamperProject.h"
#include "tests/TestFiles.h"

namespace {

uint32_t U32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }

// One data window that is always the active one.
struct WinGUI : LogGUI {
  CHexEditor* pWin = reinterpret_cast<CHexEditor*>(&pWin);
  CHexEditor* CreateDataWindow(DataImage*, const char*) override { return pWin; }
  CHexEditor* GetCurDataWindow() override { return pWin; }
};

struct Entry {
  uint32_t Addr, Size, Offset, Crc;
};

// The table of a data file up to its zero entry.
std::vector<Entry> Table(const STAMPER_FILE& f) {
  std::vector<Entry> a;
  for (const uint8_t* p = f.pData + STAMPER_ENVELOPE_SIZE; U32(p + 4) != 0; p += STAMPER_DAT_ENTRY_SIZE)
    a.push_back({U32(p), U32(p + 4), U32(p + 8), U32(p + 12)});
  return a;
}

class DataFileTest : public ::testing::Test {
protected:
  void SetUp() override {
    APP_SetGUI(&Gui);
    pImage = DATAIMAGE_Create();
    ASSERT_NE(pImage, nullptr);
  }
  void TearDown() override {
    STAMPER_FreeFile(&File);
    for (auto& b : aBank)
      DATAIMAGE_Delete(b.pSelected);
    DATAIMAGE_Delete(pImage);
    APP_SetGUI(nullptr);
  }
  // A bank First ... First + Size - 1, wholly selected.
  STAMPER_DAT_BANK& AddBank(uint32_t First, uint32_t Size, uint32_t MinAlign, uint8_t IsCMSIS = 1,
                            uint8_t Empty = 0xFF) {
    STAMPER_DAT_BANK b{};
    b.Index = (int)aBank.size();
    b.IsCMSIS = IsCMSIS;
    b.EmptyValue = Empty;
    b.MinAlign = MinAlign;
    b.First = First;
    b.Last = First + Size - 1;
    b.pSelected = DATAIMAGE_Create();
    DATAIMAGE_AddData(b.pSelected, First, Size, nullptr);
    aBank.push_back(b);
    return aBank.back();
  }
  void AddData(uint32_t Addr, uint32_t Size) {
    std::vector<uint8_t> a(Size);
    for (uint32_t i = 0; i < Size; i++)
      a[i] = uint8_t(i * 7 + 1);
    ASSERT_EQ(DATAIMAGE_AddData(pImage, Addr, Size, a.data()), 0);
  }
  int Build(const PROJECT_PRODUCTION* pProd = nullptr) {
    STAMPER_FreeFile(&File);
    return STAMPER_BuildDataFileEx(pImage, aBank.data(), (int)aBank.size(), pProd, &File);
  }
  WinGUI Gui;
  DataImage* pImage = nullptr;
  std::vector<STAMPER_DAT_BANK> aBank;
  STAMPER_FILE File{};
};

} // namespace

TEST_F(DataFileTest, FiveThousandBytesAtTheBankStartMakeThreeFilledBlocks) {
  AddBank(0x08000000, 0x10000, 0, 1, 0xA5); // no MinAlign: 2048
  AddData(0x08000000, 5000);
  ASSERT_EQ(Build(), 0) << Gui.Log;
  const uint32_t H = 2048;
  ASSERT_EQ(File.NumBytes, H + 6144);
  EXPECT_EQ(U32(File.pData + STAMPER_OFF_SIZE), H);
  EXPECT_EQ(U32(File.pData + STAMPER_OFF_CRC), STAMPER_CalcCRC(File.pData, H));
  EXPECT_EQ(std::string((const char*)File.pData, 29), "Stamper Data File V1.0 - Gene");
  std::vector<Entry> a = Table(File);
  ASSERT_EQ(a.size(), 3u);
  uint32_t Crc = 0;
  for (uint32_t i = 0; i < 3; i++) {
    EXPECT_EQ(a[i].Addr, 0x08000000 + 2048 * i);
    EXPECT_EQ(a[i].Size, 2048u);
    EXPECT_EQ(a[i].Offset, H + 2048 * i);
    Crc = CRC32_Update(Crc, File.pData + a[i].Offset, 2048);
    EXPECT_EQ(a[i].Crc, Crc) << "running CRC of block " << i;
  }
  const uint8_t* pBlocks = File.pData + H;
  EXPECT_EQ(pBlocks[4999], uint8_t(4999 * 7 + 1));
  for (uint32_t i = 0x1388; i < 6144; i++)
    ASSERT_EQ(pBlocks[i], 0xA5) << "filled with the erased value at " << i;
  EXPECT_TRUE(Gui.Has("Preparing DAT file range: 0x08001000 - 0x080017FF (2048 bytes).")) << Gui.Log;
}

TEST_F(DataFileTest, HeaderGrowsWhenTheTableAndItsEndEntryNoLongerFit) {
  static const struct {
    uint32_t NumBlocks, H;
  } aCase[] = {{1, 2048}, {111, 2048}, {112, 4096}, {239, 4096}, {240, 6144}};
  for (const auto& c : aCase) {
    SCOPED_TRACE(c.NumBlocks);
    DATAIMAGE_DeleteRange(pImage, 0, 0xFFFFFFFF);
    aBank.clear();
    AddBank(0x10000000, 0x100000, 0);
    AddData(0x10000000, c.NumBlocks * 2048);
    ASSERT_EQ(Build(), 0);
    EXPECT_EQ(U32(File.pData + STAMPER_OFF_SIZE), c.H);
    EXPECT_EQ(File.NumBytes, c.H + c.NumBlocks * 2048);
    EXPECT_EQ(Table(File).size(), c.NumBlocks);
    EXPECT_EQ(U32(File.pData + STAMPER_OFF_CRC), STAMPER_CalcCRC(File.pData, c.H));
    DATAIMAGE_Delete(aBank[0].pSelected);
  }
  aBank.clear();
}

TEST_F(DataFileTest, AlignmentFollowsMinAlignWithItsWarnings) {
  static const char* const sRound = "WARNING: Flash bank @ specifies non power of 2 as MinAlign. Rounding up to next "
                                    "power of 2";
  static const char* const sTooLarge = "WARNING: Warning: Required MinAlign of 0x00001000 bytes exceeds max. Stamper "
                                       "DAT block size. Alignment will be changed to 0x00000800 bytes.";
  static const struct {
    uint32_t MinAlign;
    uint8_t IsCMSIS;
    uint32_t Addr, Size;     // data
    uint32_t BlockAddr, Len; // the first block
    const char* sWarning;
  } aCase[] = {
      {3, 1, 0x1001, 2, 0x1000, 4, sRound},       // rounded to 4
      {4, 1, 0x1001, 2, 0x1000, 4, nullptr},      // a power of 2 as it is
      {0, 1, 0x1001, 2, 0x1000, 2048, nullptr},   // none: 2048
      {0x1000, 1, 0x1001, 2, 0x1000, 2048, sTooLarge},
      {16, 0, 0x1001, 2, 0x1000, 16, nullptr},    // the flash module's alignment
      {256, 1, 0x10F0, 0x20, 0x1000, 0x200, nullptr}, // crosses an aligned boundary: both units
  };
  for (const auto& c : aCase) {
    SCOPED_TRACE(c.MinAlign);
    Gui.Log.clear();
    DATAIMAGE_DeleteRange(pImage, 0, 0xFFFFFFFF);
    for (auto& b : aBank)
      DATAIMAGE_Delete(b.pSelected);
    aBank.clear();
    AddBank(0, 0x10000, c.MinAlign, c.IsCMSIS);
    AddData(c.Addr, c.Size);
    ASSERT_EQ(Build(), 0) << Gui.Log;
    std::vector<Entry> a = Table(File);
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].Addr, c.BlockAddr);
    EXPECT_EQ(a[0].Size, c.Len);
    EXPECT_EQ(Gui.Has(sRound) || Gui.Has(sTooLarge), c.sWarning != nullptr) << Gui.Log;
    if (c.sWarning) {
      EXPECT_TRUE(Gui.Has(c.sWarning)) << Gui.Log;
    }
  }
}

TEST_F(DataFileTest, BlocksStayInsideTheSelectedSectorsAndSkipDisabledBanks) {
  // Bank 0 is disabled; bank 1 (512 bytes) is smaller than a block: its block ends at its end.
  AddBank(0x08000000, 0x10000, 0).Disabled = 1;
  AddBank(0x1FFFF800, 0x200, 0);
  AddData(0x08000000, 0x100);
  AddData(0x1FFFF800, 0x10);
  ASSERT_EQ(Build(), 0) << Gui.Log;
  std::vector<Entry> a = Table(File);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].Addr, 0x1FFFF800u);
  EXPECT_EQ(a[0].Size, 0x200u);
  EXPECT_TRUE(Gui.Has("WARNING: Flash bank 0 disabled, skipped.")) << Gui.Log;

  // Data outside the selection (the second half of a bank) is left out.
  for (auto& b : aBank)
    DATAIMAGE_Delete(b.pSelected);
  aBank.clear();
  DATAIMAGE_DeleteRange(pImage, 0, 0xFFFFFFFF);
  STAMPER_DAT_BANK& b = AddBank(0x08000000, 0x10000, 0);
  DATAIMAGE_DeleteRange(b.pSelected, 0x08008000, 0x0800FFFF);
  AddData(0x08007F00, 0x200);
  ASSERT_EQ(Build(), 0);
  a = Table(File);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].Addr, 0x08007800u);
  EXPECT_EQ(a[0].Size, 0x800u);
}

TEST_F(DataFileTest, SerialNumberAreaIsWrittenWithTheErasedValue) {
  AddBank(0x08000000, 0x10000, 16, 1, 0xFF);
  AddData(0x08000000, 16);
  PROJECT_PRODUCTION Prod{};
  Prod.ProgramSN = 1;
  Prod.SNAddr = 0x08000100;
  Prod.SNLen = 100; // cut to 64
  ASSERT_EQ(Build(&Prod), 0);
  std::vector<Entry> a = Table(File);
  ASSERT_EQ(a.size(), 2u);
  EXPECT_EQ(a[1].Addr, 0x08000100u);
  EXPECT_EQ(a[1].Size, 64u);
  // A serial number in a small bank that is not selected: its block stops at the bank's end.
  STAMPER_DAT_BANK& Small = AddBank(0x20000000, 0x100, 0);
  DATAIMAGE_DeleteRange(Small.pSelected, 0, 0xFFFFFFFF);
  Prod.SNAddr = 0x200000F0;
  Prod.SNLen = 4;
  ASSERT_EQ(Build(&Prod), 0);
  a = Table(File);
  ASSERT_EQ(a.size(), 2u);
  EXPECT_EQ(a[1].Addr, 0x20000000u);
  EXPECT_EQ(a[1].Size, 0x100u);
  DATAIMAGE_Delete(aBank.back().pSelected);
  aBank.pop_back();
  // Outside the bank nothing is added.
  Prod.SNAddr = 0x20000000;
  ASSERT_EQ(Build(&Prod), 0);
  EXPECT_EQ(Table(File).size(), 1u);
}

/*********************************************************************
 * The configuration file from a project
 */
namespace {

struct Block {
  uint32_t Id;
  std::vector<uint8_t> Payload;
};

// The blocks up to the terminator; fails the test on a block that runs past the size field.
std::vector<Block> Blocks(const STAMPER_FILE& f) {
  std::vector<Block> a;
  uint32_t Size = U32(f.pData + STAMPER_OFF_SIZE);
  for (uint32_t Off = STAMPER_ENVELOPE_SIZE; Off + 8 <= Size;) {
    uint32_t n = U32(f.pData + Off), Id = U32(f.pData + Off + 4);
    EXPECT_LE(Off + 8 + n, Size);
    if (Off + 8 + n > Size) break;
    a.push_back({Id, std::vector<uint8_t>(f.pData + Off + 8, f.pData + Off + 8 + n)});
    if (Id == 0) break;
    Off += 8 + n;
  }
  return a;
}

std::vector<uint32_t> Ids(const std::vector<Block>& a) {
  std::vector<uint32_t> v;
  for (const Block& b : a)
    v.push_back(b.Id);
  return v;
}

const Block* Find(const std::vector<Block>& a, uint32_t Id, int Nth = 0) {
  for (const Block& b : a)
    if (b.Id == Id && Nth-- == 0) return &b;
  return nullptr;
}

class ConfigFileTest : public StamperProject {
protected:
  WinGUI Win;
  STAMPER_FILE File{};
  void SetUp() override {
    StamperProject::SetUp();
    APP_SetGUI(&Win);
  }
  void TearDown() override {
    STAMPER_FreeFile(&File);
    StamperProject::TearDown();
  }
};

} // namespace

TEST_F(ConfigFileTest, EnvelopeSizeAndCRC) {
  ASSERT_EQ(STAMPER_BuildConfigFile(&File), 0) << Win.Log;
  EXPECT_EQ(File.NumBytes % 2048, 0u);
  EXPECT_EQ(U32(File.pData + STAMPER_OFF_SIZE), File.NumBytes);
  uint32_t Crc = CRC32_Update(0, File.pData, 248);
  Crc = CRC32_Update(Crc, File.pData + 256, File.NumBytes - 256);
  EXPECT_EQ(U32(File.pData + STAMPER_OFF_CRC), Crc);
  std::string Text((const char*)File.pData);
  EXPECT_EQ(Text.rfind("Stamper Config File V1.0 - Generated ", 0), 0u) << Text;
  EXPECT_NE(Text.find(" with T-Forge V"), std::string::npos) << Text;
  for (size_t i = Text.size(); i < 248; i++)
    ASSERT_EQ(File.pData[i], 0) << i;
  std::vector<Block> a = Blocks(File);
  ASSERT_FALSE(a.empty());
  EXPECT_EQ(a.back().Id, 0u);
  EXPECT_EQ(a.back().Payload.size(), 4u);
  // Everything behind the terminator is padding.
  size_t End = 256;
  for (const Block& b : a)
    End += 8 + b.Payload.size();
  for (size_t i = End; i < File.NumBytes; i++)
    ASSERT_EQ(File.pData[i], 0) << i;
}

TEST_F(ConfigFileTest, BlocksInTheirOrderWithTheProjectsValues) {
  EditTIF([](PROJECT_TIF* p) {
    p->TargetIF = 1;
    p->Speed0 = 4000;
    p->UseAdaptive1 = 1;
  });
  EditCPU([](PROJECT_CPU* p) {
    p->CheckCoreID = 1;
    p->CoreID = 0x2BA01477;
    p->NumInitSteps = 2;
    p->aInitStep[1] = PROJECT_STEP{5, 0x11, 0x22, ""};
    p->NumExitSteps = 0;
  });
  EditProduction([](PROJECT_PRODUCTION* p) {
    p->AutoPerformsErase = 1;
    p->EraseType = 4;
    p->AutoPerformsVerify = 1;
    p->EnableTargetPower = 0;
    p->TargetPowerDelay = 77;
  });
  ASSERT_EQ(STAMPER_BuildConfigFile(&File), 0) << Win.Log;
  std::vector<Block> a = Blocks(File);
  std::vector<uint32_t> Got = Ids(a);
  // The order of the first blocks, the per-bank group and the production blocks.
  std::vector<uint32_t> Head = {100, 101, 102, 110, 111, 112, 113, 114, 200, 201, 210, 202, 203, 204, 205,
                                206, 207, 207, 208, 300};
  ASSERT_GE(Got.size(), Head.size());
  EXPECT_EQ(std::vector<uint32_t>(Got.begin(), Got.begin() + Head.size()), Head);
  std::vector<uint32_t> Tail = {403, 404, 410, 415, 417, 418, 420, 421, 423, 422, 440,
                                441, 442, 443, 450, 451, 452, 453, 430, 454, 0};
  EXPECT_EQ(std::vector<uint32_t>(Got.end() - Tail.size(), Got.end()), Tail);
  EXPECT_EQ(U32(Find(a, 101)->Payload.data()), 4000000u);
  EXPECT_EQ(U32(Find(a, 102)->Payload.data()), 0xFFFFFFFFu) << "adaptive";
  EXPECT_EQ(U32(Find(a, 200)->Payload.data()) >> 24, 0x0Eu) << "Cortex-M4 core word";
  const Block* pStep = Find(a, 207, 1);
  ASSERT_NE(pStep, nullptr);
  EXPECT_EQ(pStep->Payload, (std::vector<uint8_t>{5, 0, 0, 0, 0x11, 0, 0, 0, 0x22, 0, 0, 0}));
  EXPECT_EQ(Find(a, 403)->Payload, std::vector<uint8_t>{3}) << "chip erase";
  EXPECT_EQ(U32(Find(a, 430)->Payload.data()), 0u) << "no target power: no delay";
  // Every enabled bank: descriptor, loader image, and the CMSIS blocks.
  uint32_t NumBanks = U32(Find(a, 300)->Payload.data());
  EXPECT_EQ(NumBanks, (uint32_t)PROJECT_GetNumBanks());
  const Block* pDesc = Find(a, 301);
  ASSERT_NE(pDesc, nullptr);
  ASSERT_EQ(pDesc->Payload.size(), 112u);
  EXPECT_EQ(pDesc->Payload[0], 8) << "CMSIS-type loader";
  EXPECT_EQ(U32(pDesc->Payload.data() + 16), 64u) << "64 sectors";
  EXPECT_EQ(U32(pDesc->Payload.data() + 20), 0x400u);
  EXPECT_EQ(U32(pDesc->Payload.data() + 24), 0x08000000u);
  const Block* pImage = Find(a, 306);
  ASSERT_NE(pImage, nullptr);
  EXPECT_GT(pImage->Payload.size(), 64u);
  size_t i301 = 0;
  while (Got[i301] != 301)
    i301++;
  std::vector<uint32_t> Bank = {301, 306, 307, 308, 309, 310, 311, 312, 322, 313, 323, 314, 315, 316, 320, 325};
  EXPECT_EQ(std::vector<uint32_t>(Got.begin() + i301, Got.begin() + i301 + Bank.size()), Bank);
}

TEST_F(ConfigFileTest, EraseAndVerifyModesFollowTheProductionSettings) {
  static const struct {
    uint32_t AutoErase, EraseType;
    uint8_t BlankCheck;
    uint32_t AutoVerify;
    uint8_t VerifyType;
    uint8_t EraseMode, VerifyMode;
  } aCase[] = {
      {0, 3, 1, 0, 2, 0, 0}, // nothing automatic
      {1, 1, 0, 1, 1, 1, 1}, // sectors
      {1, 2, 1, 1, 2, 2, 2}, // sectors after a blank check
      {1, 3, 0, 0, 2, 3, 0}, // chip
      {1, 4, 1, 1, 1, 3, 1}, // chip, the blank check does not matter
  };
  for (const auto& c : aCase) {
    SCOPED_TRACE(testing::Message() << c.AutoErase << " " << c.EraseType << " " << (int)c.BlankCheck);
    EditProduction([&](PROJECT_PRODUCTION* p) {
      p->AutoPerformsErase = c.AutoErase;
      p->EraseType = c.EraseType;
      p->AutoPerformsVerify = c.AutoVerify;
    });
    PROJECT_PERFORMANCE Perf;
    PROJECT_GetPerformance(&Perf);
    Perf.PerfromBlankCheckPriorEraseSelectedSectors = c.BlankCheck;
    Perf.VerifyType = c.VerifyType;
    PROJECT_SetPerformance(&Perf);
    STAMPER_FreeFile(&File);
    ASSERT_EQ(STAMPER_BuildConfigFile(&File), 0) << Win.Log;
    std::vector<Block> a = Blocks(File);
    EXPECT_EQ(Find(a, 403)->Payload, std::vector<uint8_t>{c.EraseMode});
    EXPECT_EQ(Find(a, 404)->Payload, std::vector<uint8_t>{c.VerifyMode});
  }
}

TEST_F(ConfigFileTest, DisabledBankHasNoBlocks) {
  ASSERT_EQ(STAMPER_BuildConfigFile(&File), 0) << Win.Log;
  std::vector<Block> All = Blocks(File);
  uint32_t n = U32(Find(All, 300)->Payload.data());
  ASSERT_GE(n, 2u);
  EditFlash([](PROJECT_FLASH* p) { p->aBank[0].Disabled = 1; });
  STAMPER_FreeFile(&File);
  ASSERT_EQ(STAMPER_BuildConfigFile(&File), 0) << Win.Log;
  std::vector<Block> a = Blocks(File);
  EXPECT_EQ(U32(Find(a, 300)->Payload.data()), n - 1);
  size_t n301 = 0;
  for (const Block& b : a) {
    n301 += b.Id == 301;
    if (b.Id == 301) {
      EXPECT_NE(U32(b.Payload.data() + 24), 0x08000000u) << "the main flash is disabled";
    }
  }
  EXPECT_EQ(n301, n - 1);
}

TEST_F(ConfigFileTest, RefusalsBuildNothing) {
  static const struct {
    const char* sName;
    void (*pfEdit)(PROJECT_TIF*, PROJECT_CPU*);
    const char* sError;
  } aCase[] = {
      {"auto speed 0", [](PROJECT_TIF* t, PROJECT_CPU*) { t->UseMaxSpeed0 = 1; },
       "Auto speed is not supported by Stamper. You have to select a fixed speed."},
      {"auto speed 1", [](PROJECT_TIF* t, PROJECT_CPU*) { t->UseMaxSpeed1 = 1; },
       "Auto speed is not supported by Stamper. You have to select a fixed speed."},
      {"JTAG chain detected",
       [](PROJECT_TIF* t, PROJECT_CPU*) {
         t->TargetIF = 0;
         t->MultipleTargets = 0;
       },
       "Auto detection of JTAG scan chain is not supported by Stamper. Please use detailed configuration."},
      {"cJTAG simple chain",
       [](PROJECT_TIF* t, PROJECT_CPU*) {
         t->TargetIF = 7;
         t->MultipleTargets = 1;
       },
       "Simple configuration of JTAG scan chain is not supported by Stamper. Please use detailed configuration."},
      {"JTAG without devices",
       [](PROJECT_TIF* t, PROJECT_CPU*) {
         t->TargetIF = 0;
         t->MultipleTargets = 2;
         t->NumDevices = 0;
       },
       "The JTAG scan chain is not configured. Please configure the JTAG scan chain."},
      {"no device", [](PROJECT_TIF*, PROJECT_CPU* c) { c->Device = -1; },
       "Auto detection of CPU core is not supported by Stamper. Please select the CPU core."},
      {"script file",
       [](PROJECT_TIF*, PROJECT_CPU* c) {
         c->UseScriptFile = 1;
         std::snprintf(c->acScriptFile, sizeof(c->acScriptFile), "/x/init.xrs");
       },
       "Failed to translate X-Relay script file: /x/init.xrs"},
  };
  PROJECT_TIF T0;
  PROJECT_GetTIF(&T0);
  auto pC0 = std::make_unique<PROJECT_CPU>();
  PROJECT_GetCPU(pC0.get());
  for (const auto& c : aCase) {
    SCOPED_TRACE(c.sName);
    Win.Log.clear();
    PROJECT_TIF T = T0;
    auto pC = std::make_unique<PROJECT_CPU>(*pC0);
    c.pfEdit(&T, pC.get());
    PROJECT_SetTIF(&T);
    PROJECT_SetCPU(pC.get());
    EXPECT_EQ(STAMPER_BuildConfigFile(&File), -1);
    EXPECT_EQ(File.pData, nullptr);
    EXPECT_TRUE(Win.Has(std::string("ERROR: ") + c.sError)) << Win.Log;
    PROJECT_SetTIF(&T0);
    PROJECT_SetCPU(pC0.get());
  }
  // A detailed JTAG chain is accepted, with its IR lengths summed.
  EditTIF([](PROJECT_TIF* t) {
    t->TargetIF = 0;
    t->MultipleTargets = 2;
    t->NumDevices = 3;
    t->TAP_Number = 1;
    t->aDevice[0].IRLen = 5;
    t->aDevice[1].IRLen = 4;
    t->aDevice[2].IRLen = 7;
  });
  ASSERT_EQ(STAMPER_BuildConfigFile(&File), 0) << Win.Log;
  std::vector<Block> a = Blocks(File);
  EXPECT_EQ(U32(Find(a, 112)->Payload.data()), 16u);
  EXPECT_EQ(U32(Find(a, 114)->Payload.data()), 4u);
}

TEST_F(ConfigFileTest, SavesReplaceTheFileOnlyWhenBuilt) {
  std::string Cfg = Dir + "/Stamper.cfg", Dat = Dir + "/Stamper.dat";
  WriteAll(Cfg, "old");
  WriteAll(Dat, "old");
  // No data window: the data file is refused and the old one stays.
  EXPECT_EQ(STAMPER_SaveDataFile(Dat.c_str()), -1);
  EXPECT_TRUE(Win.Has("ERROR: No data file open. Please ensure that you have opened a data file.")) << Win.Log;
  EXPECT_TRUE(Win.Has("ERROR: Failed to save data file")) << Win.Log;
  EXPECT_EQ(ReadAll(Dat), "old");
  // A refused configuration leaves the old file too.
  EditTIF([](PROJECT_TIF* t) { t->UseMaxSpeed0 = 1; });
  EXPECT_EQ(STAMPER_SaveConfigFile(Cfg.c_str()), -1);
  EXPECT_TRUE(Win.Has("ERROR: Failed to save config file")) << Win.Log;
  EXPECT_EQ(ReadAll(Cfg), "old");
  EditTIF([](PROJECT_TIF* t) { t->UseMaxSpeed0 = 0; });
  // Built: saved with the CRC of the whole file.
  Win.Log.clear();
  ASSERT_EQ(STAMPER_SaveConfigFile(Cfg.c_str()), 0) << Win.Log;
  std::string Text = ReadAll(Cfg);
  ASSERT_EQ(Text.size() % 2048, 0u);
  char ac[64];
  std::snprintf(ac, sizeof(ac), "Config file saved successfully (CRC: 0x%.8X)",
                CRC32_Update(0, Text.data(), Text.size()));
  EXPECT_TRUE(Win.Has(ac)) << Win.Log;
  EXPECT_TRUE(Win.Has("Saving config file [" + Cfg + "] ...")) << Win.Log;
  EXPECT_TRUE(Win.Has("Saving PCodes... Skipped, no PCodes available")) << Win.Log;

  DataImage* pImage = DATAIMAGE_Create();
  std::vector<uint8_t> Bytes(100, 0x5A);
  DATAIMAGE_AddData(pImage, 0x08000000, 100, Bytes.data());
  ASSERT_EQ(DATAJOBS_AddImageWindow(pImage, "t", nullptr), 0);
  ASSERT_EQ(STAMPER_SaveDataFile(Dat.c_str()), 0) << Win.Log;
  Text = ReadAll(Dat);
  EXPECT_EQ(Text.size(), 2048u + 1024u) << "one block of the 1 KB page";
  // Data beyond the selected sectors would not reach the programmer: refused.
  EditFlash([](PROJECT_FLASH* p) { std::memset(p->aBank[0].abSectorSel, 0, 8); });
  Win.Log.clear();
  EXPECT_EQ(STAMPER_SaveDataFile(Dat.c_str()), -1);
  EXPECT_TRUE(Win.Has("ERROR: Selected Data (0x8000000 - 0x8000063) does not fit into selected flash sectors."))
      << Win.Log;
  EXPECT_EQ(ReadAll(Dat).size(), 2048u + 1024u) << "the file saved before stays";
  EditFlash([](PROJECT_FLASH* p) { std::memset(p->aBank[0].abSectorSel, 0xFF, 8); });
  // A folder that cannot take the file: reported, nothing left behind.
  std::string Ro = Dir + "/ro";
  mkdir(Ro.c_str(), 0555);
  if (access(Ro.c_str(), W_OK) != 0) {
    EXPECT_EQ(STAMPER_SaveDataFile((Ro + "/x.dat").c_str()), -1);
    EXPECT_TRUE(Win.Has("ERROR: Failed to save data file")) << Win.Log;
  }
  DATAJOBS_OnWindowClosed(Win.pWin);
}
