/*
 * The device database through the probe library: the shipped simulator's database, and a
 * database of the test's own (entry points replaced) for size texts, caps and fixed layouts.
 * Project banks: ranges, global numbering, selection and the overlap check.
 */
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/APP.h"
#include "core/APP_Job.h"
#include "core/APP_Log.h"
#include "LoaderTestUtil.h"
#include "mcudb/BANK.h"
#include "mcudb/MCUDB.h"
#include "mcudb/MCUDB_Jobs.h"
#include "probe/PROBE_Test.h"
#include "tests/data/DataTestUtil.h"

namespace {

// Log lines go to a file of the test; the library is the simulator of the build.
class DeviceDbBase : public ::testing::Test {
protected:
  std::string Dir;
  void SetUp() override {
    char ac[] = "/tmp/tforge-mcudb-XXXXXX";
    Dir = mkdtemp(ac);
    PROBE_ResetEntries();
    PROBE_SetLibraryPathForTest(TFORGE_PROGRAM_DIR "libxrelayarm.so");
    APP_SetLogFileOverride((Dir + "/log.txt").c_str());
    APP_SetLogFileOn(true);
    MCUDB_SetLoaderErrorHandler(APP_ErrorOut);
  }
  void TearDown() override {
    MCUDB_Exit();
    APP_SetLogFileOn(false);
    APP_SetLogFileOverride("");
    PROBE_ResetEntries();
    PROBE_Unload();
    MCUDB_SetLoaderErrorHandler(nullptr);
    std::system(("rm -rf '" + Dir + "'").c_str());
  }
  std::string Log() const { return dt::ReadFile(Dir + "/log.txt"); }
  void WriteFlashList(const std::string& sRows) {
    std::ofstream f(Dir + "/Flash.csv", std::ios::binary);
    f << "Manufacturer;Name;ID16;ID8;Skip;A0;A1;Bus;O1;O2;O0;O3;r;r;r;r;r;r;r;r;r;Sectors\r\n" << sRows;
  }
};

class ShippedDb : public DeviceDbBase {
protected:
  void SetUp() override {
    DeviceDbBase::SetUp();
    ASSERT_EQ(MCUDB_ReadDeviceList(), 0);
  }
};

} // namespace

TEST_F(ShippedDb, DevicesBanksAndTheirAlgorithms) {
  EXPECT_EQ(MCUDB_GetNumDevices(), 22);
  EXPECT_NE(Log().find("List of MCU devices read successfully (22 Devices)"), std::string::npos) << Log();
  int C8 = MCUDB_FindDevice("ArteryTek AT32F425C8T7");
  ASSERT_GE(C8, 0);
  EXPECT_EQ(MCUDB_FindDevice("at32f425c8t7"), C8);
  char ac[128];
  MCUDB_GetDisplayName(C8, ac, sizeof(ac));
  EXPECT_STREQ(ac, "ArteryTek AT32F425C8T7");
  MCUDB_DEVICE_INFO d;
  ASSERT_EQ(MCUDB_GetDeviceInfo(C8, &d), 0);
  EXPECT_EQ(d.Core, 0x0E0000FFu);
  EXPECT_EQ(d.RAMAddr, 0x20000000u);
  ASSERT_EQ(d.NumBanks, 3);
  const std::pair<uint32_t, uint32_t> aBank[] = {{0x08000000, 64}, {0x1FFFE400, 4}, {0x1FFFF800, 1}};
  for (int b = 0; b < 3; b++) {
    SCOPED_TRACE(b);
    EXPECT_EQ(d.aBank[b].BaseAddr, aBank[b].first);
    ASSERT_NE(d.aBank[b].pCMSISInfo, nullptr);
    EXPECT_EQ(d.aBank[b].pCMSISInfo->aRegion[0].NumSectors, aBank[b].second);
    EXPECT_EQ(d.aBank[b].HasFixedLayout, 0);
  }
  EXPECT_STREQ(d.aBank[1].sName, "Boot memory");
  EXPECT_FALSE(MCUDB_HasBankWithFixedLayout(C8));
  // The 64-pin package's main flash comes as a packed image: the same description.
  int R8 = MCUDB_FindDevice("AT32F425R8T7");
  ASSERT_GE(R8, 0);
  const MCUDB_BANK* pPacked = MCUDB_GetBank(R8, 0);
  ASSERT_NE(pPacked, nullptr);
  EXPECT_EQ(pPacked->LoaderKind, 12u);
  ASSERT_NE(pPacked->pCMSISInfo, nullptr);
  EXPECT_EQ(pPacked->pCMSISInfo->ImageSize, d.aBank[0].pCMSISInfo->ImageSize);
  EXPECT_EQ(0, std::memcmp(pPacked->pCMSISInfo->pImage, d.aBank[0].pCMSISInfo->pImage,
                           pPacked->pCMSISInfo->ImageSize));
  EXPECT_EQ(MCUDB_GetBank(R8, 1), nullptr);
  // A core-only device has no banks; unknown indices and names give nothing.
  EXPECT_EQ(MCUDB_GetNumBanks(MCUDB_FindDevice("Cortex-M0")), 0);
  // A project's banks for a chosen device: one per device bank with its default loader; a device
  // without banks leaves one bank as the user would insert it.
  BANK_LIST* pList = new BANK_LIST{};
  BANK_CreateFromDevice(pList, C8);
  ASSERT_EQ(pList->NumBanks, 3);
  EXPECT_STREQ(pList->aBank[0].acLoaderName, "AT32F425 64 KB");
  EXPECT_STREQ(pList->aBank[2].acBankName, "User system data");
  EXPECT_EQ(BANK_GetNumSectors(pList, 1), 4);
  EXPECT_EQ(BANK_GetTotalSectors(pList), 69);
  BANK_CreateFromDevice(pList, MCUDB_FindDevice("Cortex-M0"));
  ASSERT_EQ(pList->NumBanks, 1);
  EXPECT_EQ(pList->aBank[0].DeviceIndex, -1);
  EXPECT_EQ(pList->aBank[0].AutoDetect, 1);
  EXPECT_EQ(pList->aBank[0].OrgNumBits, 16);
  delete pList;
  EXPECT_EQ(MCUDB_GetDeviceInfo(22, &d), -1);
  EXPECT_EQ(MCUDB_GetDeviceInfo(-1, &d), -1);
  EXPECT_EQ(MCUDB_FindDevice("No such device"), -1);
  EXPECT_EQ(MCUDB_GetDeviceName(99), nullptr);
}

TEST_F(ShippedDb, NamesOfOlderProjectsAreFoundUnderTheirCurrentNames) {
  const std::pair<const char*, const char*> aAlias[] = {
      {"Atmel AT91SAM3S4C", "Atmel ATSAM3S4C"},
      {"ATMEL at91sam3a2c", "Atmel ATSAM3A2C"},
      {"NXP (Philips) LPC2148", "NXP LPC2148"},
      {"Infineon XMC1201-T028F0016", "Infineon XMC1201-0016"},
      {"Xilinx Zynq 7020", "Xilinx XC7Z020"},
      {"ZMDI ZAMC4100", "IDT ZAMC4100"},
      {"Realtek RTL8762", "Realtek RTL8762A"},
      {"Itron TRIFECTA (Allow info blocks)", "Itron TRIFECTA (info blocks)"},
  };
  for (auto [sOld, sNew] : aAlias) {
    SCOPED_TRACE(sOld);
    int Index = MCUDB_FindDevice(sOld);
    ASSERT_GE(Index, 0);
    EXPECT_EQ(Index, MCUDB_FindDevice(sNew));
    char ac[128];
    MCUDB_GetDisplayName(Index, ac, sizeof(ac));
    EXPECT_STREQ(ac, sNew);
  }
  EXPECT_STREQ(FLASHDEV_ResolveAlias("lpc11u24 internal"), "LPC11U24/301 internal");
  EXPECT_STREQ(FLASHDEV_ResolveAlias("S29GL128P"), "S29GL128P");
}

TEST_F(ShippedDb, LoaderInformationIsCachedPerBankAndDevice) {
  int C8 = MCUDB_FindDevice("AT32F425C8T7");
  XRELAYARM_LOADER_DESC Desc{};
  CMSISInfo Algo{};
  ASSERT_EQ(MCUDB_GetLoaderInfo(C8, 0, "Default", &Desc, &Algo), 0);
  EXPECT_EQ(Desc.LoaderKind, 8u);
  EXPECT_EQ(Algo.pImage, nullptr); // the cache keeps the description, not the image
  EXPECT_EQ(Algo.aRegion[0].NumSectors, 64u);
  ASSERT_EQ(MCUDB_GetLoaderInfo(C8, 0, "at32f425 64 KB (PACKED)", &Desc, &Algo), 0);
  EXPECT_EQ(Desc.LoaderKind, 12u);
  EXPECT_EQ(MCUDB_GetLoaderInfo(C8, 0, "No such loader", &Desc, &Algo), -1);
  EXPECT_EQ(MCUDB_GetLoaderInfo(C8, 3, "Default", &Desc, &Algo), -1);
  // A second ask is answered from the cache: the library is not asked again.
  ASSERT_EQ(MCUDB_GetLoaderInfo(C8, 1, "Default", &Desc, &Algo), 0);
  ASSERT_EQ(PROBE_FailNthCall("XRELAY_GetpFunc", 1), 0);
  EXPECT_EQ(MCUDB_GetLoaderInfo(C8, 1, "Default", &Desc, &Algo), 0);
  PROBE_ResetEntries();
  EXPECT_EQ(MCUDB_GetBankNumSectors(C8, 1, "Default"), 4);
  uint32_t Addr = 0, Size = 0;
  ASSERT_EQ(MCUDB_GetBankSector(C8, 1, "Default", 3, &Addr, &Size), 0);
  EXPECT_EQ(Addr, 0x1FFFF000u);
  EXPECT_EQ(Size, 0x400u);
  // Another device empties the slots: now the library is needed, and failing it fails.
  int C4 = MCUDB_FindDevice("AT32F425C4T7");
  ASSERT_EQ(MCUDB_GetLoaderInfo(C4, 0, "Default", &Desc, &Algo), 0);
  EXPECT_EQ(Algo.aRegion[0].NumSectors, 16u);
  PROBE_ResetEntries();
  ASSERT_EQ(PROBE_FailNthCall("XRELAY_GetpFunc", 1), 0);
  EXPECT_EQ(MCUDB_GetLoaderInfo(C8, 1, "Default", &Desc, &Algo), -1);

  MCUDB_LOADER_ENTRY aEntry[4];
  MCUDB_LOADER_LIST_PARAMS p{C8, 0, 4, aEntry, 0, nullptr};
  EXPECT_EQ(MCUDB_GetLoaderList(&p), 3);
  ASSERT_EQ(p.NumFilled, 3);
  EXPECT_STREQ(aEntry[1].acName, "AT32F425 64 KB (packed)");
  EXPECT_EQ(aEntry[1].LoaderIndex, 1);
  EXPECT_EQ(aEntry[1].NumSectors, 64);
  EXPECT_EQ(aEntry[1].Size, 0x10000u);
  EXPECT_STREQ(aEntry[2].acName, "AT32F425 64 KB (extended)");
  EXPECT_EQ(aEntry[2].LoaderIndex, 2);
  EXPECT_EQ(aEntry[2].NumSectors, 64);
  p.MaxEntries = 1; // no room for the others: still counted
  EXPECT_EQ(MCUDB_GetLoaderList(&p), 3);
  EXPECT_EQ(p.NumFilled, 1);
}

TEST_F(ShippedDb, DeviceListLeavesOutMIPSAnd8051AndShowsBankSizes) {
  int C8 = MCUDB_FindDevice("AT32F425C8T7");
  MCUDB_DEVICE_LIST_PARAMS p{};
  p.CurIndex = C8;
  ASSERT_EQ(MCUDB_GetDeviceList(&p), 0);
  EXPECT_EQ(p.NumEntries, 20);
  ASSERT_GE(p.CurPos, 0);
  EXPECT_STREQ(p.paList[p.CurPos].acName, "AT32F425C8T7");
  EXPECT_STREQ(p.paList[p.CurPos].acFlashSize, "64 KB + 4 KB + 512 Bytes");
  for (int i = 0; i < p.NumEntries; i++) {
    uint32_t Family = p.paList[i].Core >> 24;
    EXPECT_TRUE(Family != 17 && Family != 18) << p.paList[i].acName;
    if (std::strcmp(p.paList[i].acName, "Cortex-M4") == 0) {
      EXPECT_STREQ(p.paList[i].acFlashSize, "-");
    }
  }
  MCUDB_DEVICE_LIST_PARAMS Again{};
  Again.CurIndex = 12345; // not in the list: position 0
  ASSERT_EQ(MCUDB_GetDeviceList(&Again), 0);
  EXPECT_EQ(Again.paList, p.paList); // built once
  EXPECT_EQ(Again.CurPos, 0);
  // Once built, a dialog's request is answered at once on its own thread.
  static int s_CurPos = -1;
  static void* s_pRequester = nullptr;
  MCUDB_DEVICE_LIST_PARAMS Request{};
  Request.CurIndex = C8;
  Request.pfDone = [](void* pRequester, void* pParams) {
    s_pRequester = pRequester;
    s_CurPos = static_cast<MCUDB_DEVICE_LIST_PARAMS*>(pParams)->CurPos;
  };
  int Requester = 0;
  ASSERT_EQ(MCUDB_RequestDeviceList(&Request, &Requester), 0);
  EXPECT_EQ(s_pRequester, &Requester);
  EXPECT_EQ(s_CurPos, p.CurPos);
}

/*
 * A database of the test's own.
 */
namespace {

struct FakeDevice {
  const char* sName;
  uint32_t Core;
  std::vector<std::vector<XRELAYARM_SECTOR_REGION>> aBank; // each ends with {0}
  uint32_t LoaderKind;
};

std::vector<FakeDevice>& Fakes() {
  static std::vector<FakeDevice> a = {
      {"Two banks", 0x0E0000FF, {{{8, 0x10000, 0}, {0, 0, 0}}, {{16, 0x400, 0}, {0, 0, 0}}}, 0},
      {"Big", 0x0E0000FF, {{{192, 0x10000, 0}, {0, 0, 0}}}, 0},
      {"Eight", 0x0E0000FF, {{{128, 0x10000, 0}, {0, 0, 0}}}, 0},
      {"Tiny", 0x0E0000FF, {{{1, 1000, 0}, {0, 0, 0}}}, 0},
      {"MIPS", 0x110000FF, {}, 0},
      {"Fixed", 0x0E0000FF, {{{16, 0x400, 0}, {0, 0, 0}}}, 8},
      {"Huge", 0x0E0000FF, {{{70000, 0x200, 0}, {0, 0, 0}}}, 0},
      {"Beyond the count", 0x0E0000FF, {}, 0},
  };
  return a;
}
const int kNumReported = 7; // the last device answers only when asked by index
const std::string& AlgoPath() {
  static std::string s = std::string(TFORGE_PROGRAM_DIR) + "flm_main_64k.flm";
  return s;
}

int FakeGetInfo(int Index, XRELAYARM_DEVICE_INFO* p) {
  if (Index == -1) return kNumReported;
  if (Index < 0 || Index >= int(Fakes().size()) || p == nullptr) return -1;
  const FakeDevice& f = Fakes()[size_t(Index)];
  std::memset(reinterpret_cast<uint8_t*>(p) + 4, 0, sizeof(*p) - 4);
  p->Core = f.Core;
  p->sName = f.sName;
  p->sManu = "Test";
  p->sFamily = "";
  p->NumBanks = uint32_t(f.aBank.size());
  for (size_t b = 0; b < f.aBank.size(); b++) {
    p->aFlashBank[b].paSectors = f.aBank[b].data();
    p->aFlashBank[b].sName = "Bank";
    p->aFlashBank[b].BaseAddr = 0x08000000 + uint32_t(b) * 0x01000000;
    p->aFlashBank[b].LoaderKind = f.LoaderKind;
    p->aFlashBank[b].NumRegions = uint32_t(f.aBank[b].size() - 1);
  }
  return 0;
}

int FakeGetIndex(const char* sName) {
  for (size_t i = 0; i < Fakes().size(); i++) {
    if (std::strcmp(Fakes()[i].sName, sName) == 0) return int(i);
  }
  return -1;
}

// The "Tiny" device's loader brings a compiled script with its algorithm parameters.
const lt::Bytes& TinyScript() {
  static lt::Bytes s = [] {
    lt::Bytes Params(40);
    for (uint32_t i = 0; i < 10; i++)
      lt::Put32(Params, 4 * i, 0x30 + i);
    return lt::MakeScript({{"FLASH_AlgoParams", Params}});
  }();
  return s;
}

int FakeLoaderDesc(int Index, uint32_t BankAddr, uint32_t, const char*, XRELAYARM_LOADER_DESC* pDesc) {
  if (Index < 0 || Index >= int(Fakes().size())) return -1;
  const FakeDevice& f = Fakes()[size_t(Index)];
  size_t b = (BankAddr - 0x08000000) / 0x01000000;
  if (b >= f.aBank.size()) return -1;
  pDesc->LoaderKind = f.LoaderKind;
  pDesc->sAlgoFile = AlgoPath().c_str();
  pDesc->paSectors = f.aBank[b].data();
  pDesc->NumRegions = uint32_t(f.aBank[b].size() - 1);
  if (std::strcmp(f.sName, "Tiny") == 0) {
    pDesc->pCompiledScript = TinyScript().data();
    pDesc->CompiledScriptSize = uint32_t(TinyScript().size());
  }
  return 0;
}

void* FakeGetpFunc(int Index) {
  return Index == XRELAY_PFUNC_LOADER_DESC ? reinterpret_cast<void*>(&FakeLoaderDesc) : nullptr;
}

const char* FakeLoaderName(int, uint32_t, uint32_t, int LoaderIndex) {
  return LoaderIndex == 0 ? "Own" : nullptr;
}

class FakeDb : public DeviceDbBase {
protected:
  void SetUp() override {
    DeviceDbBase::SetUp();
    PROBE_SetEntry("XRELAYARM_DEVICE_GetInfo", reinterpret_cast<void*>(&FakeGetInfo));
    PROBE_SetEntry("XRELAYARM_DEVICE_GetIndex", reinterpret_cast<void*>(&FakeGetIndex));
    PROBE_SetEntry("XRELAY_GetpFunc", reinterpret_cast<void*>(&FakeGetpFunc));
    PROBE_SetEntry("XRELAY_DEVICE_GetLoaderName", reinterpret_cast<void*>(&FakeLoaderName));
    ASSERT_EQ(MCUDB_ReadDeviceList(), 0);
  }
};

} // namespace

TEST_F(FakeDb, CountSizeTextsCapsAndFixedLayouts) {
  // Indices past the reported count that answer are reachable; the log names the reported count.
  EXPECT_EQ(MCUDB_GetNumDevices(), 8);
  EXPECT_NE(Log().find("List of MCU devices read successfully (7 Devices)"), std::string::npos) << Log();
  MCUDB_DEVICE_LIST_PARAMS p{};
  ASSERT_EQ(MCUDB_GetDeviceList(&p), 0);
  std::vector<std::string> aText;
  for (int i = 0; i < p.NumEntries; i++)
    aText.push_back(std::string(p.paList[i].acName) + ": " + p.paList[i].acFlashSize);
  EXPECT_EQ(aText, (std::vector<std::string>{"Two banks: 512 KB + 16 KB", "Big: 12 MB", "Eight: 8192 KB",
                                             "Tiny: 1000 Bytes", "Fixed: 16 KB", "Huge: 35000 KB",
                                             "Beyond the count: -"}));
  // A device list of 16 KB over the 64 KB algorithm cuts it: a fixed layout.
  int Fixed = MCUDB_FindDevice("Fixed");
  EXPECT_TRUE(MCUDB_HasBankWithFixedLayout(Fixed));
  EXPECT_EQ(MCUDB_GetBank(Fixed, 0)->pCMSISInfo->aRegion[0].NumSectors, 16u);
  EXPECT_EQ(MCUDB_GetBankNumSectors(MCUDB_FindDevice("Huge"), 0, "Own"), 0x10000);
}

TEST_F(FakeDb, AlgorithmParametersComeFromTheCompiledScript) {
  XRELAYARM_LOADER_DESC Desc{};
  CMSISInfo Algo{};
  MCUDB_ALGO_INFO* pInfo = nullptr;
  ASSERT_EQ(MCUDB_GetAlgoInfo(MCUDB_FindDevice("Tiny"), 0, "Own", &Desc, &Algo, &pInfo), 0);
  ASSERT_NE(pInfo, nullptr);
  EXPECT_EQ(pInfo->aWord[0], 0x31u);
  EXPECT_EQ(pInfo->Flags, 0x39u | 0x2000u);
  EXPECT_EQ(pInfo->pCompiledScript, TinyScript().data());
  EXPECT_EQ(Algo.aRegion[0].SectorSize, 1000u);
  MCUDB_FreeAlgoInfo(&pInfo);
  ASSERT_EQ(MCUDB_GetAlgoInfo(MCUDB_FindDevice("Big"), 0, "Own", &Desc, &Algo, &pInfo), 0);
  EXPECT_EQ(pInfo, nullptr); // no script, no record
}

TEST_F(FakeDb, BanksRangesNumberingAndSelection) {
  WriteFlashList("Acme;Wide;00012249;00010049;0;2;0;16;0;0;0;0;;;;;;;;;;\"4000;2000[2];8000;10000[3];\"\r\n"
                 "Acme;Narrow;000000A4;0;0;2;0;8;0;0;0;0;;;;;;;;;;\"10000[2];\"\r\n"
                 "Acme;Many;1;1;0;2;0;8;0;0;0;0;;;;;;;;;;\"200[70000];\"\r\n");
  ASSERT_EQ(FLASHDEV_ReadList((Dir + "/Flash.csv").c_str()), 0);
  EXPECT_NE(Log().find("List of flash devices read successfully (3 Devices)"), std::string::npos);
  BANK_LIST* pList = new BANK_LIST{};
  BANK_CreateFromDevice(pList, MCUDB_FindDevice("Two banks"));
  ASSERT_EQ(pList->NumBanks, 2);
  EXPECT_STREQ(pList->aBank[0].acLoaderName, "Own");
  EXPECT_EQ(pList->aBank[0].IsInternal, 1);
  // A third bank: external, 2 chips of the "Wide" device, 16 bits each.
  pList->NumBanks = 3;
  BANK_InitUserBank(&pList->aBank[2]);
  pList->aBank[2].BaseAddr = 0x60000000;
  pList->aBank[2].AutoDetect = 0;
  pList->aBank[2].OrgNumChips = 2;
  BANK_SelectFlashDevice(&pList->aBank[2], FLASHDEV_Find("wide"));
  EXPECT_EQ(pList->aBank[2].CheckId, 3);
  EXPECT_EQ(pList->aBank[2].OrgNumChips, 2);
  EXPECT_EQ(BANK_GetNumSectors(pList, 0), 8);
  EXPECT_EQ(BANK_GetNumSectors(pList, 1), 16);
  EXPECT_EQ(BANK_GetNumSectors(pList, 2), 7);
  EXPECT_EQ(BANK_GetTotalSectors(pList), 31);
  uint32_t First = 0, Last = 0;
  ASSERT_EQ(BANK_GetRange(pList, 2, &First, &Last), 0);
  EXPECT_EQ(Last, 0x6007FFFFu); // 256 KB, two chips side by side
  int Bank = -1;
  uint32_t Local = 0, Addr = 0, Size = 0;
  ASSERT_EQ(BANK_MapSector(pList, 26, &Bank, &Local), 0);
  EXPECT_EQ(Bank, 2);
  EXPECT_EQ(Local, 2u);
  ASSERT_EQ(BANK_GetSector(pList, Bank, Local, &Addr, &Size), 0);
  EXPECT_EQ(Addr, 0x6000C000u);
  EXPECT_EQ(Size, 0x4000u);
  EXPECT_EQ(BANK_MapSector(pList, 31, &Bank, &Local), -1);
  BANK_SetCurrent(pList, 1);
  ASSERT_EQ(BANK_MapSector(pList, 15, &Bank, &Local), 0);
  EXPECT_EQ(Bank, 1);
  EXPECT_EQ(BANK_MapSector(pList, 16, &Bank, &Local), -1); // past the current bank's end
  BANK_SetCurrent(pList, -1);

  // Selection: bit set in mode 1, a window in mode 0; the summary merges adjacent sectors.
  std::memset(pList->aBank[0].abSectorSel, 0, sizeof(pList->aBank[0].abSectorSel));
  pList->aBank[0].abSectorSel[0] = 0x0B; // sectors 0, 1, 3
  char ac[2048];
  EXPECT_EQ(BANK_FormatRangeSummary(pList, 0, ac, sizeof(ac)), 3);
  EXPECT_STREQ(ac, "3 Sectors, 2 Ranges:\r\n0x8000000 - 0x801FFFF\r\n0x8030000 - 0x803FFFF");
  pList->aBank[0].BankSelMode = 0;
  pList->aBank[0].StartSector = 7;
  pList->aBank[0].EndSector = 7;
  EXPECT_EQ(BANK_FormatRangeSummary(pList, 0, ac, sizeof(ac)), 1);
  EXPECT_STREQ(ac, "1 Sector, 1 Range:\r\n0x8070000 - 0x807FFFF");

  BANK_INFO_PARAMS* pInfo = new BANK_INFO_PARAMS{};
  pInfo->pList = pList;
  pInfo->Bank = 2;
  ASSERT_EQ(BANK_CollectInfo(pInfo, true), 0);
  EXPECT_STREQ(pInfo->FlashDevice.sName, "Wide");
  EXPECT_EQ(pInfo->Size, 0x80000u);
  EXPECT_EQ(pInfo->NumSectors, 7);
  pInfo->Bank = 1;
  ASSERT_EQ(BANK_CollectInfo(pInfo, true), 0);
  EXPECT_STREQ(pInfo->acLayout, "0x0900_0000 - 0x0900_3FFF 16 * 1 KB\n");
  EXPECT_EQ(pInfo->aRegion[0].NumSectors, 16u);
  delete pInfo;

  // Disabled: no sectors. Detected automatically: one sector up to the next bank, at most 2 GB.
  pList->aBank[1].Disabled = 1;
  EXPECT_EQ(BANK_GetNumSectors(pList, 1), 0);
  BANK_InitUserBank(&pList->aBank[2]);
  pList->aBank[2].BaseAddr = 0x04000000;
  ASSERT_EQ(BANK_GetSector(pList, 2, 0, &Addr, &Size), 0);
  EXPECT_EQ(Addr, 0x04000000u);
  EXPECT_EQ(Size, 0x04000000u);
  pList->aBank[2].BaseAddr = 0x10000000;
  ASSERT_EQ(BANK_GetRange(pList, 2, &First, &Last), 0);
  EXPECT_EQ(Last, 0x8FFFFFFFu);
  pList->aBank[2].BaseAddr = 0;
  pList->NumBanks = 1;
  pList->aBank[0] = pList->aBank[2];
  ASSERT_EQ(BANK_GetRange(pList, 0, &First, &Last), 0); // the whole 4 GB is capped too
  EXPECT_EQ(Last, 0x7FFFFFFFu);

  // An external bank of more than 65536 sectors counts 65536.
  BANK_InitUserBank(&pList->aBank[0]);
  pList->aBank[0].AutoDetect = 0;
  BANK_SelectFlashDevice(&pList->aBank[0], FLASHDEV_Find("Many"));
  EXPECT_EQ(BANK_GetNumSectors(pList, 0), 0x10000);
  delete pList;
}

TEST_F(FakeDb, SelectingAFlashDeviceFitsTheOrganisation) {
  WriteFlashList("Acme;Wide;00012249;0;0;2;0;16;0;0;0;0;;;;;;;;;;\"10000[2];\"\r\n"
                 "Acme;Narrow;A4;A4;0;2;0;8;0;0;0;0;;;;;;;;;;\"10000[2];\"\r\n");
  ASSERT_EQ(FLASHDEV_ReadList((Dir + "/Flash.csv").c_str()), 0);
  struct Case {
    int Device;
    uint8_t Bits, Chips;
    int ExpectedDevice;
    uint8_t ExpectedBits, ExpectedChips, ExpectedCheckId;
  };
  const Case aCase[] = {
      {0, 32, 4, 0, 16, 2, 0}, // bits lowered to the bus width, then chips to fit 32 bits
      {1, 16, 2, 1, 8, 2, 3},
      {1, 8, 4, 1, 8, 4, 3},
      {7, 16, 1, 0, 16, 1, 0}, // an index past the list is the first device
  };
  for (const Case& c : aCase) {
    BANK_INFO* b = new BANK_INFO;
    BANK_InitUserBank(b);
    b->OrgNumBits = c.Bits;
    b->OrgNumChips = c.Chips;
    std::memset(b->abSectorSel, 0, sizeof(b->abSectorSel));
    BANK_SelectFlashDevice(b, c.Device);
    EXPECT_EQ(b->DeviceIndex, c.ExpectedDevice);
    EXPECT_EQ(b->OrgNumBits, c.ExpectedBits);
    EXPECT_EQ(b->OrgNumChips, c.ExpectedChips);
    EXPECT_EQ(b->CheckId, c.ExpectedCheckId);
    EXPECT_EQ(b->IsInternal, 0);
    EXPECT_EQ(b->abSectorSel[100], 0xFF); // every sector selected
    delete b;
  }
}

TEST_F(FakeDb, OverlappingBanksAreReportedOnce) {
  WriteFlashList("Acme;Wide;1;1;0;2;0;16;0;0;0;0;;;;;;;;;;\"10000[4];\"\r\n");
  ASSERT_EQ(FLASHDEV_ReadList((Dir + "/Flash.csv").c_str()), 0);
  BANK_LIST* pList = new BANK_LIST{};
  BANK_CreateFromDevice(pList, MCUDB_FindDevice("Two banks")); // 0x08000000 (512 KB), 0x09000000
  EXPECT_EQ(BANK_CheckOverlap(pList), 0);
  EXPECT_EQ(Log().find("overlapping"), std::string::npos);
  pList->NumBanks = 4;
  for (int i = 2; i < 4; i++) {
    BANK_InitUserBank(&pList->aBank[i]);
    pList->aBank[i].AutoDetect = 0;
    BANK_SelectFlashDevice(&pList->aBank[i], 0);
  }
  pList->aBank[2].BaseAddr = 0x08000000;           // same base as bank 0
  pList->aBank[3].BaseAddr = 0x08000000 - 0x20000; // 256 KB reaching into bank 0
  pList->aBank[1].DeviceIndex = 99;                // below all others, and its size cannot be had
  pList->aBank[1].BaseAddr = 0x07000000;
  EXPECT_EQ(BANK_CheckOverlap(pList), 4);
  std::string s = Log();
  const char* asExpected[] = {
      "ERROR: Flash banks in the project are overlapping.",
      "ERROR: T-Forge cannot program when there are overlapping flash banks.",
      "ERROR: The project settings need to be adjusted so that no flash banks are overlapping",
      "ERROR: ----------",
      "ERROR: Bank[1] @ 0x7000000: Failed to determine bank size.",
      "ERROR: Bank[0] @ 0x8000000 <---> Bank[2] @ 0x8000000",
      "ERROR: Bank[0] @ 0x8000000 <---> Bank[3] 256 KB @ 0x7FE0000",
      "ERROR: Bank[2] @ 0x8000000 <---> Bank[3] 256 KB @ 0x7FE0000",
      "ERROR: ----------",
  };
  size_t Pos = 0;
  for (const char* sLine : asExpected) {
    size_t Found = s.find(sLine, Pos);
    ASSERT_NE(Found, std::string::npos) << sLine << "\n" << s;
    Pos = Found + std::strlen(sLine);
  }
  EXPECT_EQ(s.find("Bank[2] @ 0x8000000 <---> Bank[0]"), std::string::npos) << "a pair is reported once";
  EXPECT_EQ(s.find("Failed to determine"), s.rfind("Failed to determine")) << "a bank's size failure once";
  delete pList;
}

TEST_F(DeviceDbBase, FlashDeviceListFromTheProgramDirectoryAndItsFailures) {
  ASSERT_EQ(FLASHDEV_ReadList(TFORGE_PROGRAM_DIR "ETC/TForge/Flash.csv"), 0);
  int n = FLASHDEV_GetNumDevices();
  EXPECT_GE(n, 40);
  EXPECT_NE(Log().find("List of flash devices read successfully (" + std::to_string(n) + " Devices)"),
            std::string::npos);
  // Every shipped device: an ID, a bus width of 8 or 16 bits, a contiguous layout of a
  // power-of-two size.
  for (int i = 0; i < n; i++) {
    FLASH_DEVICE d;
    ASSERT_EQ(FLASHDEV_GetDevice(i, &d), 0);
    SCOPED_TRACE(d.sName);
    EXPECT_NE(d.Id16, 0u);
    EXPECT_TRUE(d.BusWidth == 8 || d.BusWidth == 16);
    uint64_t WithGaps = 0, Without = 0;
    ASSERT_EQ(FLASHDEV_GetSize(i, 1, true, &WithGaps), 0);
    ASSERT_EQ(FLASHDEV_GetSize(i, 1, false, &Without), 0);
    EXPECT_EQ(WithGaps, Without);
    EXPECT_EQ(Without & (Without - 1), 0u);
    EXPECT_GE(Without, 0x80000u);
  }
  EXPECT_GE(FLASHDEV_Find("mx29lv160db"), 0);

  std::string Missing = Dir + "/none/Flash.csv";
  EXPECT_EQ(FLASHDEV_ReadList(Missing.c_str()), -1);
  EXPECT_NE(Log().find("ERROR: Could not open flash device list file [" + Missing + "]"), std::string::npos)
      << Log();
  EXPECT_GE(FLASHDEV_GetNumDevices(), 40); // the list read before stays
}

TEST_F(DeviceDbBase, ALibraryThatAnswersEveryIndexIsCountedToABound) {
  PROBE_SetEntry("XRELAYARM_DEVICE_GetInfo",
                 reinterpret_cast<void*>(+[](int Index, XRELAYARM_DEVICE_INFO* p) {
                   if (Index == -1) return 1;
                   std::memset(reinterpret_cast<uint8_t*>(p) + 4, 0, sizeof(*p) - 4);
                   p->Core = 0x0E0000FF;
                   p->sName = "Any";
                   p->sManu = "Test";
                   return 0;
                 }));
  ASSERT_EQ(MCUDB_ReadDeviceList(), 0);
  EXPECT_EQ(MCUDB_GetNumDevices(), 1 + 0x10000);
  MCUDB_DEVICE_LIST_PARAMS p{};
  ASSERT_EQ(MCUDB_GetDeviceList(&p), 0);
  EXPECT_EQ(p.NumEntries, 0x10000);
  EXPECT_NE(
      Log().find(
          "INFO: Maximum number of MCU devices (65536) exceeded. Cannot show complete MCU device list."),
      std::string::npos);
}
