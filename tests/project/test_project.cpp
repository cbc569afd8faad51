// The project file: what a read makes of old and odd files, what a write produces, the
// records' set operations and the data-file link. A small device database stands behind
// the hooks where a test needs one.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/TestVersion.h"
#include "project/PROJECT.h"
#include "project/SETFILE.h"
#include "project/STEPS.h"
#include "sys/UTIL.h"

namespace {

// Device 0 "Cortex-M0" without banks; 1 "NXP MK64" with banks at 0 and 0x10000000 and 64 KB
// of RAM; 2 "Vendor Chip" with one bank at 0x08000000.
struct FakeDatabase {
  static int Find(const char* s) {
    for (int i = 0; i < 3; i++) {
      if (UTIL_stricmp(s, asName[i]) == 0) return i;
    }
    return -1;
  }
  static int Num(void) { return 3; }
  static int Name(int d, char* s, int n) {
    UTIL_strcpy(s, asName[d], n);
    return 0;
  }
  static int Banks(int d, PROJECT_DEVICE_BANK* pa, int) {
    static const uint32_t aBase[3][2] = {{0, 0}, {0, 0x10000000}, {0x08000000, 0}};
    int n = d == 0 ? 0 : (d == 1 ? 2 : 1);
    for (int i = 0; i < n; i++) {
      pa[i] = PROJECT_DEVICE_BANK{};
      UTIL_sprintf(pa[i].acName, sizeof(pa[i].acName), "Bank%d", i);
      pa[i].BaseAddr = aBase[d][i];
      if (d == 2) UTIL_strcpy(pa[i].acLoaderName, "LibLoader", sizeof(pa[i].acLoaderName));
    }
    return n;
  }
  static uint32_t RAM(int d) { return d == 1 ? 0x10000 : 0; }
  static int FindFlash(const char* s) { return UTIL_stricmp(s, "S29GL128") == 0 ? 0 : -1; }
  static int Sectors(int, const PROJECT_BANK* b) { return b->IsInternal ? 16 : 128; }
  static bool CanCheck(void) { return true; }
  static bool Valid(int d, int, const PROJECT_BANK*, const char* s) {
    return UTIL_stricmp(s, "Default") == 0 ? d != 2 : UTIL_stricmp(s, "LibLoader") == 0;
  }
  static const char* const asName[3];
};
const char* const FakeDatabase::asName[3] = {"Cortex-M0", "NXP MK64", "Vendor Chip"};
const PROJECT_DEVICE_HOOKS kDatabase = {FakeDatabase::Find,
                                        FakeDatabase::Num,
                                        FakeDatabase::Name,
                                        FakeDatabase::Banks,
                                        FakeDatabase::RAM,
                                        nullptr,
                                        FakeDatabase::FindFlash,
                                        FakeDatabase::Sectors,
                                        FakeDatabase::CanCheck,
                                        FakeDatabase::Valid,
                                        nullptr, nullptr};

class Project : public ::testing::Test {
protected:
  void SetUp() override {
    char ac[] = "/tmp/tforge-project-XXXXXX";
    Dir = mkdtemp(ac);
    File = Dir + "/p.tforge";
    PROJECT_SetDeviceHooks(nullptr);
  }
  void TearDown() override {
    PROJECT_Close();
    SETFILE_Close();
    PROJECT_SetDeviceHooks(nullptr);
    std::system(("rm -rf '" + Dir + "'").c_str());
  }
  // Loads a project file holding Text; what the load logged lands in Out.
  int Load(const std::string& Text, bool AutoUpdate = false) {
    std::ofstream(File, std::ios::binary) << Text;
    EXPECT_EQ(SETFILE_Open(File.c_str()), 0);
    ::testing::internal::CaptureStdout();
    int r = PROJECT_Load(AutoUpdate);
    Out = ::testing::internal::GetCapturedStdout();
    return r;
  }
  void New() {
    std::remove(File.c_str());
    ASSERT_EQ(SETFILE_Create(File.c_str()), 0);
    PROJECT_New(File.c_str());
  }
  std::string Written() {
    PROJECT_Write();
    std::vector<char> Buf(1 << 20);
    SETFILE_GetText(Buf.data(), (int)Buf.size());
    return Buf.data();
  }
  bool Logged(const std::string& s) const { return Out.find(s) != std::string::npos; }
  template <typename T, int (*Get)(T*)> std::unique_ptr<T> Rec() {
    auto p = std::make_unique<T>();
    Get(p.get());
    return p;
  }
  std::unique_ptr<PROJECT_CPU> CPU() { return Rec<PROJECT_CPU, PROJECT_GetCPU>(); }
  std::unique_ptr<PROJECT_FLASH> Flash() { return Rec<PROJECT_FLASH, PROJECT_GetFlash>(); }
  std::unique_ptr<PROJECT_PRODUCTION> Prod() { return Rec<PROJECT_PRODUCTION, PROJECT_GetProduction>(); }
  PROJECT_PERFORMANCE Perf() {
    PROJECT_PERFORMANCE p{};
    PROJECT_GetPerformance(&p);
    return p;
  }
  std::string Dir, File, Out;
};

TEST_F(Project, NewProjectIsWrittenInTableOrderAndRoundTripsByteForByte) {
  New();
  EXPECT_TRUE(PROJECT_IsModified()) << "a new project is not saved yet";
  std::string First = Written();
  EXPECT_EQ(First.rfind(AppVersionLine() + "  FileVersion = 2\r\n[GENERAL]\r\n", 0), 0u) << First;
  size_t Last = 0;
  for (const char* s : {"[GENERAL]", "[JTAG]", "[CPU]", "[FLASH]", "[PRODUCTION]", "[PERFORMANCE]"}) {
    size_t p = First.find(std::string(s) + "\r\n");
    ASSERT_NE(p, std::string::npos) << s;
    EXPECT_GT(p, Last) << s;
    Last = p;
  }
  for (const char* s :
       {"  TargetIF = 1\r\n", "  Speed0 = 4000\r\n", "  RAMSize = 0x00008000\r\n",
        "  NumInitSteps = 1\r\n  InitStep0_Action = \"Reset\"\r\n", "  SNLen = 0x00000004\r\n",
        "  CoreIDMask = 0xFFFFFFFF\r\n", "  VerifyType = 1\r\n", "  ChipName = \"Cortex-M0\"\r\n"}) {
    EXPECT_NE(First.find(s), std::string::npos) << s << First;
  }
  ASSERT_EQ(SETFILE_Save(nullptr), 0);
  ASSERT_EQ(SETFILE_Open(File.c_str()), 0);
  ASSERT_EQ(PROJECT_Load(false), 0);
  EXPECT_FALSE(PROJECT_IsModified());
  EXPECT_EQ(Written(), First);

  // A project with banks, JTAG devices, steps and odd values survives the same way.
  PROJECT_SetDeviceHooks(&kDatabase);
  ASSERT_EQ(Load("[CPU]\r\n  ChipName = \"NXP MK64\"\r\n  NumExitSteps = 1\r\n  ExitStep0_Action = \"Write "
                 "32bit\"\r\n"
                 "  ExitStep0_Value1 = 0xDEADBEEF\r\n  ExitStep0_Comment = \"a \\\"quote\"\r\n[JTAG]\r\n"
                 "  NumDevices = 2\r\n  Device1_Name = \"ARM\"\r\n  Device1_ID = 0x4BA00477\r\n[FLASH]\r\n"
                 "  NumBanks = 3\r\n[FLASH0]\r\n  BaseAddr = 0\r\n  aRangeSel[2] = 0-3,9\r\n[FLASH1]\r\n"
                 "  BaseAddr = 0x10000000\r\n  BankSelMode = 0\r\n  StartSector = 2\r\n  EndSector = 5\r\n"
                 "  Disabled = 1\r\n[FLASH2]\r\n  DeviceName = \"S29GL128\"\r\n  BaseAddr = 0x60000000\r\n"
                 "  OrgNumChips = 2\r\n  LoaderName = \"Mine\"\r\n"),
            0)
      << Out;
  First = Written();
  ASSERT_EQ(SETFILE_Save(nullptr), 0);
  ASSERT_EQ(SETFILE_Open(File.c_str()), 0);
  ASSERT_EQ(PROJECT_Load(false), 0);
  EXPECT_EQ(Written(), First);
  EXPECT_NE(First.find("[FLASH0]\r\n  aRangeSel[2] = 0-3,9\r\n  BankName"), std::string::npos) << First;
  EXPECT_NE(First.find("  ExitStep0_Comment = \"a \\\"\r\n"), std::string::npos) << "ends at the first quote";
}

TEST_F(Project, FileVersionsAndAppVersions) {
  EXPECT_EQ(Load("  AppVersion = 80000\r\n  FileVersion = 3\r\n"), -1);
  EXPECT_TRUE(
      Logged("The T-Forge project you are trying to open is from a version of T-Forge (V8.00) which is "
             "newer than this one (V7.92e).\nThe project file cannot be opened"))
      << Out;
  EXPECT_TRUE(Logged("T-Forge V8.00 or newer must be used to open this project.")) << Out;
  EXPECT_TRUE(Logged("Project file format version is 3, T-Forge supports max. file format version 2."))
      << Out;
  EXPECT_FALSE(PROJECT_IsOpen());

  EXPECT_EQ(Load("  AppVersion = 79227\r\n  FileVersion = 2\r\n"), 0);
  EXPECT_TRUE(Logged("saved with a version of T-Forge (V7.92z01) which is newer than this version of T-Forge "
                     "(V7.92e)."))
      << Out;
  EXPECT_EQ(Load("[GENERAL]\r\n"), 0);
  EXPECT_EQ(PROJECT_GetFileVersion(), 1) << "no FileVersion: the oldest format";
}

TEST_F(Project, NumbersAreClampedOrTakeTheirDefaults) {
  struct {
    const char* sText;
    uint32_t Speed0, Speed1, RAMSize, SNLen;
  } aCase[] = {
      {"[JTAG]\r\n  Speed0 = 0\r\n", 1, 4000, 0x8000, 8},
      {"[GENERAL]\r\n  TargetIF = 3\r\n", 1000, 1000, 0x8000, 8},
      {"[JTAG]\r\n  Speed0 = 200000\r\n  Speed1 = -5\r\n", 100000, 1, 0x8000, 8},
      {"[JTAG]\r\n  Speed0 = fast\r\n[CPU]\r\n  RAMSize = 0x10\r\n", 4000, 4000, 0x400, 8},
      {"[CPU]\r\n  RAMSize = 0x5000\r\n[PRODUCTION]\r\n  SNLen = 0x40\r\n", 4000, 4000, 0x4000, 32},
  };
  for (const auto& c : aCase) {
    ASSERT_EQ(Load(c.sText), 0) << c.sText;
    PROJECT_TIF t{};
    PROJECT_GetTIF(&t);
    EXPECT_EQ(t.Speed0, c.Speed0) << c.sText;
    EXPECT_EQ(t.Speed1, c.Speed1) << c.sText;
    EXPECT_EQ(CPU()->RAMSize, c.RAMSize) << c.sText;
    EXPECT_EQ(Prod()->SNLen, c.SNLen) << c.sText;
  }
}

TEST_F(Project, RAMSizeRule) {
  struct {
    uint32_t Size, DeviceRAM, Expected;
  } aCase[] = {
      {0x5000, 0x10000, 0x4000}, {0x10000, 0x10000, 0x10000}, {0x20000, 0x10000, 0x10000},
      {0x8000, 0x5000, 0x5000},  {0x5400, 0x5400, 0x5400},    {0x1801, 0, 0x1800},
      {0x300, 0, 0x400},         {0x200000, 0, 0x100000},     {0x200000, 0x400000, 0x100000},
      {0xC0000, 0, 0xC0000},     {0xBFFFF, 0, 0x80000},       {0x3000, 0x3333, 0x3000},
  };
  for (const auto& c : aCase) {
    EXPECT_EQ(PROJECT_RoundRAMSize(c.Size, c.DeviceRAM), c.Expected)
        << std::hex << c.Size << " " << c.DeviceRAM;
  }
  // The rule applies when the CPU record is stored, with the device's RAM.
  PROJECT_SetDeviceHooks(&kDatabase);
  ASSERT_EQ(Load("[CPU]\r\n  ChipName = \"NXP MK64\"\r\n  RAMSize = 0x5000\r\n[FLASH]\r\n  NumBanks = "
                 "2\r\n[FLASH0]\r\n"
                 "[FLASH1]\r\n  BaseAddr = 0x10000000\r\n"),
            0)
      << Out;
  EXPECT_EQ(CPU()->RAMSize, 0x4000u);
}

TEST_F(Project, VerifyAndBlankCheckSettingsOfOlderFiles) {
  struct {
    const char* sProduction;
    const char* sPerformance;
    uint32_t EraseType, AutoVerify;
    uint8_t VerifyType, BlankSel, BlankChip;
  } aCase[] = {
      {"  AutoPerformsVerify = 0\r\n", "", 1, 1, 1, 0, 1},
      {"  AutoPerformsVerify = 0\r\n  AutoPerformsVerifyCRC = 0\r\n", "", 1, 0, 1, 0, 1},
      {"  AutoPerformsVerify = 1\r\n", "", 1, 1, 2, 0, 1},
      {"  VerifyType = 1\r\n  AutoPerformsVerify = 1\r\n", "", 1, 1, 1, 0,
       1}, // a file that names it keeps it
      {"  EraseType = 2\r\n", "", 1, 1, 2, 1, 1},
      {"  EraseType = 3\r\n", "", 3, 1, 2, 1, 1},
      {"  EraseType = 4\r\n", "  PerfromBlankCheckPriorEraseChip = 0\r\n", 3, 1, 2, 1, 1},
      {"  EraseType = 4\r\n",
       "  PerfromBlankCheckPriorEraseChip = 0\r\n  PerfromBlankCheckPriorEraseSelectedSectors = 0\r\n", 4, 1,
       2, 0, 0},
  };
  for (const auto& c : aCase) {
    std::string Text = std::string("[PRODUCTION]\r\n") + c.sProduction + "[PERFORMANCE]\r\n" + c.sPerformance;
    ASSERT_EQ(Load(Text), 0) << Text;
    EXPECT_EQ(Prod()->EraseType, c.EraseType) << Text;
    EXPECT_EQ(Prod()->AutoPerformsVerify, c.AutoVerify) << Text;
    PROJECT_PERFORMANCE p = Perf();
    EXPECT_EQ(p.VerifyType, c.VerifyType) << Text;
    EXPECT_EQ(p.PerfromBlankCheckPriorEraseSelectedSectors, c.BlankSel) << Text;
    EXPECT_EQ(p.PerfromBlankCheckPriorEraseChip, c.BlankChip) << Text;
  }
}

TEST_F(Project, StepNamesOfOlderFiles) {
  ASSERT_EQ(
      Load("[CPU]\r\n  NumInitSteps = 3\r\n  InitStep0_Action = \"Reset ADI\"\r\n"
           "  InitStep0_Value1 = 0x10\r\n  InitStep1_Action = \"Make coffee\"\r\n  InitStep1_Value0 = 5\r\n"
           "  InitStep2_Action = \"write 32BIT\"\r\n  NumExitSteps = 1\r\n  ExitStep0_Action = \"Reset "
           "ADI\"\r\n"
           "  ExitStep0_Value0 = 7\r\n"),
      0);
  auto c = CPU();
  ASSERT_EQ(c->NumInitSteps, 3u);
  EXPECT_EQ(c->aInitStep[0].Action, (uint32_t)STEPS_ACTION_RESET);
  EXPECT_EQ(c->aInitStep[0].Value0, 2u);
  EXPECT_EQ(c->aInitStep[0].Value1, 0x10u);
  EXPECT_EQ(c->aInitStep[1].Action, (uint32_t)STEPS_ACTION_DELAY);
  EXPECT_EQ(c->aInitStep[1].Value0, 0u);
  EXPECT_STREQ(STEPS_GetAction(c->aInitStep[2].Action)->sName, "Write 32bit");
  ASSERT_EQ(c->NumExitSteps, 1u);
  EXPECT_EQ(c->aExitStep[0].Action, (uint32_t)STEPS_ACTION_DELAY) << "exit steps know no legacy names";
  EXPECT_EQ(c->aExitStep[0].Value0, 0u);
}

TEST_F(Project, VendorRenamesAndUnknownDevices) {
  struct {
    const char* sName;
    const char* sRead;
    bool Modified;
  } aCase[] = {
      {"Freescale MK64", "NXP MK64", true}, {"Energy Micro EFM32", "Silicon Labs EFM32", true},
      {"luminary LM3S", "TI LM3S", true},   {"Atmelx SAM", "Atmelx SAM", false},
      {"NXP MK64", "NXP MK64", false},
  };
  for (const auto& c : aCase) {
    ASSERT_EQ(Load(std::string("[CPU]\r\n  ChipName = \"") + c.sName + "\"\r\n"), 0);
    EXPECT_STREQ(CPU()->acChipName, c.sRead);
    EXPECT_EQ(PROJECT_IsModified(), c.Modified) << c.sName;
    EXPECT_EQ(Logged("Project changed: Vendor name has been updated from"), c.Modified) << Out;
  }
  EXPECT_FALSE(Logged("Unknown device")) << "without a database the name is kept as it is";
  PROJECT_SetDeviceHooks(&kDatabase);
  ASSERT_EQ(Load("[CPU]\r\n  ChipName = \"Nobody X1\"\r\n"), 0);
  EXPECT_TRUE(Logged("Project error: Unknown device specified (Nobody X1).")) << Out;
  EXPECT_EQ(CPU()->Device, -1);
  ASSERT_EQ(
      Load("[CPU]\r\n  ChipName = \"Freescale MK64\"\r\n[FLASH]\r\n  NumBanks = 2\r\n[FLASH0]\r\n[FLASH1]\r\n"
           "  BaseAddr = 0x10000000\r\n"),
      0);
  EXPECT_EQ(CPU()->Device, 1) << "found under its new vendor";
}

TEST_F(Project, OneBankInFlashSeveralInFlashN) {
  New();
  std::string One = Written();
  EXPECT_NE(One.find("[FLASH]\r\n  AutoDetect = 1\r\n  BaseAddr = 0x00000000\r\n  NumBanks = 1\r\n"),
            std::string::npos)
      << One;
  auto f = Flash();
  f->NumBanks = 2;
  f->aBank[1] = f->aBank[0];
  f->aBank[1].BaseAddr = 0x60000000;
  EXPECT_EQ(PROJECT_SetFlash(f.get()), 1);
  std::string Two = Written();
  EXPECT_NE(Two.find("[FLASH]\r\n  NumBanks = 2\r\n[FLASH0]\r\n"), std::string::npos) << Two;
  EXPECT_NE(Two.find("[FLASH1]\r\n  AutoDetect = 1\r\n  BaseAddr = 0x60000000\r\n"), std::string::npos)
      << Two;
}

TEST_F(Project, VersionOneBanksMatchVersionTwo) {
  PROJECT_SetDeviceHooks(&kDatabase);
  const std::string Keys =
      "[CPU]\r\n  ChipName = \"NXP MK64\"\r\n[FLASH]\r\n  NumBanks = 3\r\n[FLASH0]\r\n"
      "  BaseAddr = 0\r\n  aSectorSel[4] = 1,0,1,1\r\n[FLASH1]\r\n  BaseAddr = 0x10000000\r\n"
      "  BankSelMode = 0\r\n  StartSector = 2\r\n[FLASH2]\r\n  DeviceName = \"S29GL128\"\r\n"
      "  BaseAddr = 0x60000000\r\n";
  ASSERT_EQ(Load("  FileVersion = 2\r\n" + Keys), 0) << Out;
  auto V2 = Flash();
  ASSERT_EQ(Load(Keys), 0) << Out;
  auto V1 = Flash();
  EXPECT_EQ(std::memcmp(V1.get(), V2.get(), sizeof(PROJECT_FLASH)), 0);
  ASSERT_EQ(V1->NumBanks, 3u);
  EXPECT_TRUE(V1->aBank[0].IsInternal);
  EXPECT_EQ(V1->aBank[0].abSectorSel[0], 0x0D) << "aSectorSel stands in for a missing aRangeSel";
  EXPECT_EQ(V1->aBank[0].abSectorSel[2], 0x00) << "bits beyond the bank's 16 sectors are cleared";
  EXPECT_STREQ(V1->aBank[0].acBankName, "Bank0") << "filled from the database";
  EXPECT_FALSE(V1->aBank[2].IsInternal);
  EXPECT_EQ(V1->aBank[2].Device, 0);

  // An older file names its first internal bank by a pseudo device.
  ASSERT_EQ(Load("[CPU]\r\n  ChipName = \"Vendor Chip\"\r\n[FLASH]\r\n  DeviceName = \"CHIP INTERNAL\"\r\n"
                 "  BaseAddr = 0x08000000\r\n  LoaderName = \"LibLoader\"\r\n"),
            0)
      << Out;
  EXPECT_TRUE(Flash()->aBank[0].IsInternal);
  EXPECT_FALSE(PROJECT_IsModified()) << Out;
}

TEST_F(Project, OutdatedBanksAreUpdatedOnlyWhenAllowed) {
  PROJECT_SetDeviceHooks(&kDatabase);
  const std::string Text =
      "[CPU]\r\n  ChipName = \"NXP MK64\"\r\n[FLASH]\r\n  NumBanks = 2\r\n[FLASH0]\r\n"
      "  BaseAddr = 0x00000000\r\n[FLASH1]\r\n  AutoDetect = 1\r\n  BaseAddr = 0x60000000\r\n";
  // Without -updateprj the default answers refuse: the project is not opened.
  EXPECT_EQ(Load(Text), -1);
  EXPECT_TRUE(Logged("Number of internal banks in project (1) is different from information in DLL (2)."))
      << Out;
  EXPECT_TRUE(Logged("This project contains outdated flash bank information.")) << Out;
  EXPECT_TRUE(Logged("Are you sure you do not want T-Forge to update your project?")) << Out;
  EXPECT_FALSE(PROJECT_IsOpen());

  ASSERT_EQ(Load(Text, true), 0) << Out;
  EXPECT_FALSE(Logged("This project contains outdated")) << "-updateprj asks nothing";
  EXPECT_TRUE(Logged("Please check the flash settings inside the project settings.")) << Out;
  EXPECT_TRUE(PROJECT_IsModified());
  auto f = Flash();
  ASSERT_EQ(f->NumBanks, 3u) << "two internal banks, then the external one";
  EXPECT_EQ(f->aBank[1].BaseAddr, 0x10000000u);
  EXPECT_EQ(f->aBank[2].BaseAddr, 0x60000000u);
  EXPECT_TRUE(f->aBank[2].AutoDetect);
}

TEST_F(Project, BankDifferenceWarningNamesWhatDiffers) {
  PROJECT_SetDeviceHooks(&kDatabase);
  struct {
    const char* sBanks; // internal banks of a project for "NXP MK64" (banks at 0 and 0x10000000)
    const char* sWarning;
  } aCase[] = {
      {"[FLASH]\r\n  NumBanks = 3\r\n[FLASH0]\r\n[FLASH1]\r\n  BaseAddr = 0x10000000\r\n[FLASH2]\r\n",
       "Number of internal banks in project (3) is different from information in DLL (2)."},
      {"[FLASH]\r\n  NumBanks = 2\r\n[FLASH0]\r\n[FLASH1]\r\n  BaseAddr = 0x20000000\r\n",
       "Internal bank (Index 1) information in project (BaseAddr = 0x20000000) is different from information in "
       "DLL (BaseAddr = 0x10000000)."},
  };
  for (const auto& c : aCase) {
    ASSERT_EQ(Load(std::string("[CPU]\r\n  ChipName = \"NXP MK64\"\r\n") + c.sBanks, true), 0) << Out;
    EXPECT_TRUE(Logged(std::string("WARNING: ") + c.sWarning)) << Out;
    EXPECT_EQ(Flash()->NumBanks, 2u);
  }
}

TEST_F(Project, FormerVendorNameStaysWhereTheDatabaseKnowsOnlyIt) {
  static const PROJECT_DEVICE_HOOKS* const pBase = &kDatabase;
  PROJECT_DEVICE_HOOKS Hooks = *pBase;
  Hooks.pfFindDevice = [](const char* s) { return UTIL_stricmp(s, "Atmel SAM3") == 0 ? 2 : pBase->pfFindDevice(s); };
  PROJECT_SetDeviceHooks(&Hooks);
  ASSERT_EQ(Load("[CPU]\r\n  ChipName = \"Atmel SAM3\"\r\n[FLASH]\r\n  BaseAddr = 0x08000000\r\n"
                 "  LoaderName = \"LibLoader\"\r\n"),
            0)
      << Out;
  EXPECT_STREQ(CPU()->acChipName, "Atmel SAM3");
  EXPECT_EQ(CPU()->Device, 2);
  EXPECT_FALSE(Logged("Unknown device")) << Out;
  EXPECT_FALSE(Logged("Vendor name has been updated")) << Out;
  EXPECT_FALSE(PROJECT_IsModified());
}

TEST_F(Project, LoadersTheLibraryRejectsAreReplaced) {
  PROJECT_SetDeviceHooks(&kDatabase);
  ASSERT_EQ(Load("[CPU]\r\n  ChipName = \"Vendor Chip\"\r\n[FLASH]\r\n  BaseAddr = 0x08000000\r\n"
                 "  LoaderName = \"Gone\"\r\n  UseCustomRAMCode = 1\r\n"),
            0)
      << Out;
  EXPECT_TRUE(Logged("Support for custom RAMCodes has been removed since T-Forge V7.54.")) << Out;
  EXPECT_TRUE(
      Logged("The project file specifies an invalid loader for flash bank no. 0:\n'Bank0' @ 0x8000000, "
             "specified loader 'Gone'.\n\nChange the specified loader to the default\n\"LibLoader\""))
      << Out;
  EXPECT_TRUE(Logged("Updated specified flash loader for flash bank no. 0 ('Bank0') to 'LibLoader'.")) << Out;
  char ac[64];
  PROJECT_GetBankLoader(0, ac, sizeof(ac));
  EXPECT_STREQ(ac, "LibLoader");
  EXPECT_TRUE(PROJECT_IsModified());
}

TEST_F(Project, SetCountsOnlyRealChanges) {
  ::testing::internal::CaptureStdout();
  auto g = std::make_unique<PROJECT_GENERAL>();
  std::memset(g.get(), 0x55, sizeof(*g));
  EXPECT_EQ(PROJECT_GetGeneral(g.get()), -1);
  auto f = Flash();
  Out = ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(Logged("No project file opened.")) << Out;
  EXPECT_EQ(g->acCurrentFile[0], 0);
  EXPECT_EQ(f->NumBanks, 1u);

  New();
  PROJECT_SetUnmodified();
  PROJECT_GetGeneral(g.get());
  g->acHostName[100] = 'x'; // behind the end of the string
  EXPECT_EQ(PROJECT_SetGeneral(g.get()), 0);
  EXPECT_FALSE(PROJECT_IsModified());
  auto c = CPU();
  c->aInitStep[5].Value0 = 9; // beyond NumInitSteps
  EXPECT_EQ(PROJECT_SetCPU(c.get()), 0);
  c->aInitStep[0].Value1 = 9;
  EXPECT_EQ(PROJECT_SetCPU(c.get()), 1);
  EXPECT_EQ(PROJECT_GetModCount(), 1);
  EXPECT_EQ(PROJECT_SetCPU(c.get()), 0);
}

TEST_F(Project, DataFileLinkAndSerialFileNames) {
  New();
  PROJECT_SetUnmodified();
  EXPECT_EQ(PROJECT_SetDataFile((Dir + "/data/app.hex").c_str(), 0x8000000), 1);
  auto g = std::make_unique<PROJECT_GENERAL>();
  PROJECT_GetGeneral(g.get());
  EXPECT_STREQ(g->acCurrentFile, "data/app.hex") << "relative to the project's directory";
  EXPECT_EQ(PROJECT_SetDataFile((Dir + "/data/app.hex").c_str(), 0x8000000), 0);
  EXPECT_EQ(PROJECT_GetModCount(), 1);
  EXPECT_EQ(PROJECT_SetDataFile("/elsewhere/app.hex", 0x8000000), 1);
  char ac[600];
  uint32_t Addr = 0;
  PROJECT_GetDataFile(ac, sizeof(ac), &Addr);
  EXPECT_STREQ(ac, "/elsewhere/app.hex");
  EXPECT_EQ(Addr, 0x8000000u);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(PROJECT_SetDataFile(std::string(512, 'a').c_str(), 0), -1);
  EXPECT_NE(::testing::internal::GetCapturedStdout().find("Too large file name."), std::string::npos);
  PROJECT_GetSerialFileName(ac, sizeof(ac));
  EXPECT_EQ(std::string(ac), Dir + "/p_Serial.txt");
  PROJECT_GetSNListFileName(ac, sizeof(ac));
  EXPECT_EQ(std::string(ac), Dir + "/p_SNList.txt");
  PROJECT_SetPath("");
  PROJECT_GetSerialFileName(ac, sizeof(ac));
  EXPECT_STREQ(ac, "new project_Serial.txt");
}

TEST_F(Project, SectorSelection) {
  PROJECT_SetDeviceHooks(&kDatabase);
  ASSERT_EQ(Load("[CPU]\r\n  ChipName = \"NXP MK64\"\r\n[FLASH]\r\n  NumBanks = 3\r\n[FLASH0]\r\n  "
                 "aRangeSel[1] = 2-4\r\n"
                 "[FLASH1]\r\n  BaseAddr = 0x10000000\r\n  BankSelMode = 0\r\n  StartSector = 3\r\n"
                 "  EndSector = 4\r\n[FLASH2]\r\n  AutoDetect = 1\r\n  BaseAddr = 0x60000000\r\n"),
            0)
      << Out;
  for (uint32_t s = 0; s < 6; s++) {
    EXPECT_EQ(PROJECT_IsSectorSelected(0, s), s >= 2 && s <= 4) << s;
    EXPECT_EQ(PROJECT_IsSectorSelected(1, s), s >= 3 && s <= 4) << s;
    EXPECT_TRUE(PROJECT_IsSectorSelected(2, s)) << "a detected bank has no layout";
  }
  EXPECT_EQ(PROJECT_GetNumBanks(), 3);
  EXPECT_EQ(PROJECT_GetBankBaseAddr(1), 0x10000000u);
}

} // namespace

// The option that leaves unchanged sectors alone is off in older files, and a project that does
// not use it is written without the key, so such files stay as they were.
TEST_F(Project, SkipUnchangedSectorsIsWrittenOnlyWhenSet) {
  struct {
    const char* sText;
    uint32_t Expected;
  } aCase[] = {
      {"[PRODUCTION]\r\n  EraseType = 3\r\n", 0},
      {"[PRODUCTION]\r\n  SkipUnchangedSectors = 1\r\n", 1},
      {"[PRODUCTION]\r\n  SkipUnchangedSectors = 7\r\n", 1},
      {"[PRODUCTION]\r\n  SkipUnchangedSectors = -1\r\n", 0},
  };
  for (const auto& c : aCase) {
    ASSERT_EQ(Load(c.sText), 0) << c.sText;
    EXPECT_EQ(Prod()->SkipUnchangedSectors, c.Expected) << c.sText;
    std::string Text = Written();
    size_t p = Text.find("  SkipUnchangedSectors = 1\r\n");
    EXPECT_EQ(p != std::string::npos, c.Expected != 0) << Text;
    if (p != std::string::npos) {
      EXPECT_LT(Text.find("[PRODUCTION]"), p) << Text;
      EXPECT_GT(Text.find("[PERFORMANCE]"), p) << Text;
    }
  }
  ASSERT_EQ(Load("[PRODUCTION]\r\n  SkipUnchangedSectors = 1\r\n"), 0);
  auto p = Prod();
  p->SkipUnchangedSectors = 0;
  EXPECT_EQ(PROJECT_SetProduction(p.get()), 1) << "switching it off is a change";
  EXPECT_EQ(Written().find("SkipUnchangedSectors"), std::string::npos);
}
