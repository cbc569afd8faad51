/*
 * The flash module table and the CMSIS module: kinds, regions, texts, timeouts and the checks at
 * open without a target; banks opened from the simulated probe library's device database; and
 * the CMSIS module driving the shipped AT32F425 algorithms (and tiny hand-made ones) on the
 * simulated chip.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <vector>

#include "core/APP_GUI.h"
#include "core/APP_Log.h"
#include "data/CRC32.h"
#include "flash/FLASH.h"
#include "flash/FLASH_CMSIS.h"
#include "mcudb/MCUDB.h"
#include "probe/PROBE_Test.h"
#include "sys/SYS.h"
#include "sys/UTIL.h"
#include "tests/NullGUI.h"
#include "tests/SimProject.h"
#include "tests/TestFiles.h"

namespace {

/*********************************************************************
 * Plain decisions
 */
TEST(FlashKind, KindsOneToFourFollowWorkRAMAndBackgroundCode) {
  struct Case {
    int Kind;
    uint32_t RAM;
    bool Background;
    int Expected;
  } aCase[] = {
      {1, 2048, true, 1}, {1, 2052, true, 2},      {1, 2052, false, 1},   {2, 2048, true, 1},
      {2, 2052, true, 2}, {2, 0x10000, false, 1},  {3, 2052, true, 4},    {4, 2048, true, 3},
      {8, 2048, true, 8}, {12, 0x10000, true, 12}, {5, 0x10000, true, 5},
  };
  for (const Case& c : aCase) {
    EXPECT_EQ(FLASH_AdjustKind(c.Kind, c.RAM, c.Background), c.Expected)
        << "kind " << c.Kind << ", RAM " << c.RAM << ", background " << c.Background;
  }
}

TEST(FlashKind, OnlyTheCMSISKindsHaveAModuleYet) {
  for (int Kind = 0; Kind <= 14; Kind++) {
    const FlashModule* m = FLASH_GetModule(Kind);
    if (Kind == 8 || Kind == 12) {
      ASSERT_NE(m, nullptr) << Kind;
      EXPECT_STREQ(m->sName, "CMSIS");
    } else {
      EXPECT_EQ(m, nullptr) << Kind;
    }
  }
}

TEST(FlashRegions, PlaceholderAndChipMultiplication) {
  SectorRegion a[MCUDB_MAX_REGIONS];
  // A CFI bank of 8 MB on two chips: two sectors of 4 MB until the layout is read.
  FLASH_BuildRegions(nullptr, 0x800000, 2, a);
  EXPECT_EQ(a[0].NumSectors, 2u);
  EXPECT_EQ(a[0].SectorSize, 0x400000u);
  EXPECT_EQ(a[0].Offset, 0u);
  EXPECT_EQ(a[1].NumSectors, 0u);
  FLASH_BuildRegions(nullptr, 0x10000, 1, a);
  EXPECT_EQ(a[0].NumSectors, 1u);
  EXPECT_EQ(a[0].SectorSize, 0x10000u);

  // Eight entries are copied whole; a ninth is never read (it lies past the array here).
  std::vector<SectorRegion> List(9);
  for (int i = 0; i < 8; i++)
    List[i] = SectorRegion{uint32_t(i + 1), 0x1000, uint32_t(i) * 0x10000};
  List.resize(8);
  List.shrink_to_fit();
  FLASH_BuildRegions(List.data(), 0, 2, a);
  for (int i = 0; i < 8; i++) {
    EXPECT_EQ(a[i].NumSectors, uint32_t(i + 1) * 2) << i;
    EXPECT_EQ(a[i].SectorSize, 0x1000u) << i;
    EXPECT_EQ(a[i].Offset, uint32_t(i) * 0x20000) << i;
  }
  // A list ends at the first zero count.
  SectorRegion Short[] = {{4, 0x400, 0}, {0, 0x800, 0x1000}, {9, 0x800, 0x2000}};
  FLASH_BuildRegions(Short, 0, 1, a);
  EXPECT_EQ(a[0].NumSectors, 4u);
  EXPECT_EQ(a[1].NumSectors, 0u);
  EXPECT_EQ(a[2].NumSectors, 0u);
}

TEST(FlashStatus, TextOfEveryCode) {
  struct Case {
    int Code;
    bool HasText;
    const char* sText;
  } aCase[] = {
      {1, true, "(block verification error)"},
      {2, true, "(item verification error)"},
      {3, true, "(timeout occurred)"},
      {4, true, "(program error)"},
      {5, true, "(program 1 over 0)"},
      {6, true, "(sector is locked)"},
      {7, true, "(erase error)"},
      {8, true, "(no flash memory)"},
      {9, false, ""},
      {0, false, ""},
      {-3, true, "Unspecified error #3"},
      {-262, true, "Unspecified error #262"},
  };
  for (const Case& c : aCase) {
    char ac[64];
    EXPECT_EQ(FLASH_GetStatusText(c.Code, ac, sizeof(ac)), c.HasText) << c.Code;
    EXPECT_STREQ(ac, c.sText) << c.Code;
  }
}

TEST(FlashCMSISPlain, InitCodeFollowsTheOperation) {
  struct Case {
    uint32_t Op, InForce, Expected;
  } aCase[] = {{3, 0, 1}, {4, 1, 2}, {0, 2, 3}, {1, 0, 3}, {2, 0, 3},
               {5, 1, 3}, {7, 0, 3}, {6, 2, 2}, {9, 1, 1}};
  for (const Case& c : aCase) {
    EXPECT_EQ(FLASH_CMSIS_GetInitCode(c.Op, c.InForce), c.Expected) << "operation " << c.Op;
  }
  EXPECT_STREQ(FLASH_CMSIS_GetInitName(1), "Erase");
  EXPECT_STREQ(FLASH_CMSIS_GetInitName(4), "Read");
  EXPECT_STREQ(FLASH_CMSIS_GetInitName(5), "???");
}

TEST(FlashCMSISPlain, ProgramTimeoutScalesWithThePagesOfAChunk) {
  struct Case {
    uint32_t toProg, Pages, Timeout;
    int Default;
  } aCase[] = {
      {500, 16, 8000, 0}, {500, 20, 10000, 0}, {500, 21, 10000, 1},       {500, 0, 500, 0},
      {0, 16, 5000, 2},   {1000, 1, 1000, 0},  {0xFFFFFFFF, 2, 10000, 1},
  };
  for (const Case& c : aCase) {
    int Default = -1;
    EXPECT_EQ(FLASH_CMSIS_CalcProgramTimeout(c.toProg, c.Pages, &Default), c.Timeout)
        << c.toProg << " ms x " << c.Pages;
    EXPECT_EQ(Default, c.Default) << c.toProg << " ms x " << c.Pages;
  }
}

TEST(FlashCMSISPlain, ChunksShrinkOnlyForASlowCoreWithData) {
  struct Case {
    uint32_t Buffer, Page, Clock;
    bool Data;
    uint32_t Chunk;
  } aCase[] = {
      {0x8000, 0x400, 0, true, 0x8000},     {0x8000, 0x400, 8000000, true, 0x8000},
      {0x8000, 0x400, 499999, true, 0x400}, {0x8000, 0x400, 499999, false, 0x8000},
      {0x10000, 0x400, 32768, true, 0x800}, {0x400, 0x400, 32768, true, 0x400},
      {0x8000, 0x100, 400000, true, 0x400},
  };
  for (const Case& c : aCase) {
    EXPECT_EQ(FLASH_CMSIS_CalcChunkSize(c.Buffer, c.Page, c.Clock, c.Data), c.Chunk)
        << c.Buffer << " at " << c.Clock << " Hz";
  }
}

/*********************************************************************
 * Recorders for the host functions (plain function pointers, so they are global)
 */
std::vector<std::string> g_Errors;
std::vector<std::string> g_Log;
std::vector<std::string> g_Progress;
uint32_t g_RAMSize = 0x4000;
uint32_t g_Core = 0;
bool g_Abort = false;

void RecError(const char* s) {
  g_Errors.push_back(s);
}
void RecLog(const char* s) {
  g_Log.push_back(s);
}
void RecProgress(int, const char* s, const char*, uint32_t) {
  g_Progress.push_back(s);
}
int ReadMem(uint32_t Addr, uint32_t NumBytes, void* p) {
  return XRELAYARM_ReadMemEx(Addr, NumBytes, p, 0);
}
int IsAborted() {
  return g_Abort;
}
void TargetInfo(FLASH_TARGET_INFO* p) {
  std::memset(p, 0, sizeof(*p));
  p->Core = g_Core;
  p->RAMAddr = 0x20000000;
  p->RAMSize = g_RAMSize;
}

std::string Join(const std::vector<std::string>& a) {
  std::string s;
  for (const std::string& l : a)
    s += l + "\n";
  return s;
}
size_t CountLines(const std::vector<std::string>& a, const std::string& Part) {
  size_t n = 0;
  for (const std::string& l : a)
    n += l.find(Part) != std::string::npos;
  return n;
}

std::string AlgoPath(const char* sFile) {
  return std::string(TFORGE_PROGRAM_DIR) + sFile;
}

// A parsed shipped algorithm (its image freed with the fixture).
struct Algo {
  CMSISInfo Info{};
  explicit Algo(const char* sFile) {
    EXPECT_EQ(MCUDB_ParseFlashLoader(8, nullptr, 0, AlgoPath(sFile).c_str(), nullptr, nullptr, &Info, 0), 0)
        << sFile;
  }
  ~Algo() { MCUDB_FreeCMSISInfo(&Info); }
};

// Opens the CMSIS module on Info with the recorders installed; 0 or Open's result.
int OpenModule(const CMSISInfo& Info, FlashModuleHandle* pHandle) {
  FLASH_BANK_CONTEXT Ctx;
  std::memset(&Ctx, 0, sizeof(Ctx));
  Ctx.Kind = 8;
  Ctx.BankAddr = 0x08000000;
  Ctx.paSectors = Info.aRegion;
  Ctx.CMSIS = Info;
  int r = FLASH_ModuleCMSIS.pfOpen(&Ctx, RecError);
  *pHandle = FlashModuleHandle{1, 1, FLASH_OP_PREPARE, 0, 0, 0x08000000, 0x10000, Ctx.pState};
  if (r < 0) {
    EXPECT_EQ(Ctx.pState, nullptr);
    return r;
  }
  FLASH_ModuleCMSIS.pfSetLogFunc(pHandle, RecLog);
  FLASH_ModuleCMSIS.pfSetProgressFunc(pHandle, RecProgress);
  FLASH_ModuleCMSIS.pfSetReadMemFunc(pHandle, ReadMem);
  FLASH_ModuleCMSIS.pfSetAbortFunc(pHandle, IsAborted);
  FLASH_ModuleCMSIS.pfSetTargetInfoFunc(pHandle, TargetInfo);
  return 0;
}

void ClearRecorders() {
  g_Errors.clear();
  g_Log.clear();
  g_Progress.clear();
  g_Abort = false;
  g_RAMSize = 0x4000;
}

/*********************************************************************
 * Open's checks (no target needed)
 */
TEST(FlashCMSISOpen, RefusesAlgorithmsItCannotRunAndFreesItsState) {
  struct Case {
    const char* sWhat;
    void (*pfBreak)(CMSISInfo*);
    const char* sError;
  } aCase[] = {
      {"page size 0x600", [](CMSISInfo* p) { p->PageSize = 0x600; },
       "KFL algo error: Only power of 2 are supported for FlashDevice.szPage / FlashDevice.PageSize (found: "
       "1536)"},
      {"page size 0", [](CMSISInfo* p) { p->PageSize = 0; },
       "KFL algo error: Only power of 2 are supported for FlashDevice.szPage / FlashDevice.PageSize (found: "
       "0)"},
      {"toProg 0", [](CMSISInfo* p) { p->TimeoutProgram = 0; },
       "KFL algo error: FlashDevice.toProg / FlashDevice.TimeoutProgram must not be == 0"},
      {"toErase 0", [](CMSISInfo* p) { p->TimeoutErase = 0; },
       "KFL algo error: FlashDevice.toErase / FlashDevice.TimeoutErase must not be == 0"},
      {"no UnInit", [](CMSISInfo* p) { p->aEntryOffset[MCUDB_ENTRY_UNINIT] = -1; },
       "KFL algo error: Neither KORVEN_FL_Prepare() / KORVEN_FL_Restore() nor CMSIS Init() / UnInit() entry "
       "point "
       "pair found"},
      {"Prepare without Restore",
       [](CMSISInfo* p) { p->aEntryOffset[MCUDB_ENTRY_PREPARE] = p->aEntryOffset[MCUDB_ENTRY_INIT]; },
       "KFL algo error: Neither KORVEN_FL_Prepare() / KORVEN_FL_Restore() nor CMSIS Init() / UnInit() entry "
       "point "
       "pair found"},
      {"no erase", [](CMSISInfo* p) { p->aEntryOffset[MCUDB_ENTRY_ERASE_SECTOR] = -1; },
       "KFL algo error: Neither KORVEN_FL_Erase() nor CMSIS EraseSector() found"},
      {"no program", [](CMSISInfo* p) { p->aEntryOffset[MCUDB_ENTRY_PROGRAM_PAGE] = -1; },
       "KFL algo error: Neither KORVEN_FL_Program() nor CMSIS ProgramPage() found"},
  };
  Algo A("flm_main_64k.flm");
  int Blocks = SYS_MEM_CountBlocks(nullptr);
  for (const Case& c : aCase) {
    ClearRecorders();
    CMSISInfo Info = A.Info;
    c.pfBreak(&Info);
    FlashModuleHandle h;
    EXPECT_EQ(OpenModule(Info, &h), -1) << c.sWhat;
    EXPECT_EQ(Join(g_Errors), std::string(c.sError) + "\n") << c.sWhat;
    EXPECT_EQ(SYS_MEM_CountBlocks(nullptr), Blocks) << c.sWhat;
  }
}

TEST(FlashCMSISOpen, OffersWhatTheAlgorithmHas) {
  ClearRecorders();
  Algo Main("flm_main_64k.flm");
  Algo User("flm_usersys.flm");
  struct Case {
    const CMSISInfo* pInfo;
    int Id;
    bool Offered;
  } aCase[] = {
      {&Main.Info, FLASH_FUNC_CRC, false},        {&Main.Info, FLASH_FUNC_GET_FLASH_INFO, true},
      {&Main.Info, FLASH_FUNC_SYNC, true},        {&Main.Info, FLASH_FUNC_BLANK_CHECK, false},
      {&User.Info, FLASH_FUNC_BLANK_CHECK, true}, {&Main.Info, FLASH_FUNC_READ, true},
      {&Main.Info, FLASH_FUNC_VERIFY, false},     {&Main.Info, 3, false},
      {&Main.Info, FLASH_FUNC_CHECKSUM, false},
  };
  for (const Case& c : aCase) {
    FlashModuleHandle h;
    ASSERT_EQ(OpenModule(*c.pInfo, &h), 0) << Join(g_Errors);
    EXPECT_EQ(FLASH_ModuleCMSIS.pfGetFunc(&h, c.Id) != nullptr, c.Offered) << "id " << c.Id;
    EXPECT_EQ(FLASH_ModuleCMSIS.pfGetEmptyValue(&h, 0x08000000), 0xFF);
    FLASH_ModuleCMSIS.pfClose(&h);
  }
  EXPECT_EQ(FLASH_ModuleCMSIS.pfProgramBuffer, nullptr);
  EXPECT_EQ(FLASH_ModuleCMSIS.pfWriteBuffer, nullptr);
  // The shared setters answer -1 without a state.
  FlashModuleHandle None{1, 1, 0, 0, 0, 0, 0, nullptr};
  EXPECT_EQ(FLASH_ModuleCMSIS.pfSetLogFunc(&None, RecLog), -1);
  EXPECT_TRUE(g_Errors.empty()) << Join(g_Errors);
}

/*********************************************************************
 * Against the simulated AT32F425
 */
// Bank 0 of the project is the AT32F425C8T7's main flash unless a test says otherwise.
BANK_INFO g_Bank;
int g_Device = -1;
int GetBank(int, BANK_INFO* p, int* pDevice) {
  *p = g_Bank;
  *pDevice = g_Device;
  return 0;
}

// The device database's loader descriptor, with the kind and script a test wants.
XRELAY_LOADER_DESC_FUNC* g_pfRealLoaderDesc = nullptr;
int g_FakeKind = 0; // 0: as the database says
const char* g_sFakeScript = nullptr;
const char* g_sFakeAlgoFile = nullptr;
std::vector<uint8_t> g_FakeCompiledScript; // empty: as the database says
int FakeLoaderDesc(int Device, uint32_t Addr, uint32_t Flags, const char* sName, XRELAYARM_LOADER_DESC* p) {
  int r = g_pfRealLoaderDesc(Device, Addr, Flags, sName, p);
  if (r < 0) return r;
  if (g_FakeKind) p->LoaderKind = uint32_t(g_FakeKind);
  if (g_sFakeScript) p->sScriptFile = g_sFakeScript;
  if (g_sFakeAlgoFile) p->sAlgoFile = g_sFakeAlgoFile;
  if (!g_FakeCompiledScript.empty()) {
    p->pCompiledScript = g_FakeCompiledScript.data();
    p->CompiledScriptSize = uint32_t(g_FakeCompiledScript.size());
  }
  return r;
}
void* (*g_pfRealGetpFunc)(int) = nullptr;
// Runs of the core: direct mode runs it for every request, background mode once for Start.
int (*g_pfRealGoIntDis)(void) = nullptr;
int g_NumRuns = 0;
int CountingGoIntDis() {
  g_NumRuns++;
  return g_pfRealGoIntDis();
}
void* FakeGetpFunc(int Index) {
  if (Index == XRELAY_PFUNC_LOADER_DESC) return reinterpret_cast<void*>(FakeLoaderDesc);
  return g_pfRealGetpFunc(Index);
}

// The probe library stays mapped for the whole run: the emulator under it keeps bookkeeping until
// the process ends, which the leak check can only tell apart (by its library name) while mapped.
void* g_pPinnedLibrary = dlopen(TFORGE_PROGRAM_DIR "libxrelayarm.so", RTLD_NOW);

class FlashTarget : public SimProbeTest<LogGUI> {
protected:
  void SetUp() override {
    ClearRecorders();
    SimProbeTest::SetUp();
    if (HasFatalFailure()) return;
    g_Device = MCUDB_FindDevice("AT32F425C8T7");
    ASSERT_GE(g_Device, 0);
    g_Core = MCUDB_GetCore(g_Device);
    std::memset(&g_Bank, 0, sizeof(g_Bank));
    UTIL_strcpy(g_Bank.acLoaderName, "Default", sizeof(g_Bank.acLoaderName));
    g_Bank.BaseAddr = 0x08000000;
    g_Bank.IsInternal = 1;
    g_Bank.OrgNumChips = 1;
    g_Bank.DeviceIndex = g_Device;
    g_FakeKind = 0;
    g_sFakeScript = g_sFakeAlgoFile = nullptr;
    g_FakeCompiledScript.clear();
    FLASH_HOOKS Hooks{};
    Hooks.pfGetBank = GetBank;
    Hooks.pfGetTargetInfo = TargetInfo;
    FLASH_SetHooks(&Hooks);
  }
  void TearDown() override {
    FLASH_SetHooks(nullptr);
    if (XRELAYARM_IsOpen()) XRELAYARM_Close();
    SimProbeTest::TearDown();
  }
  void Connect() {
    ASSERT_EQ(XRELAYARM_OpenEx(nullptr, nullptr), nullptr);
    ASSERT_EQ(XRELAYARM_TIF_Select(XRELAYARM_TIF_SWD), 0);
    ASSERT_EQ(XRELAYARM_CORE_Select(g_Core), 0);
    ASSERT_EQ(XRELAYARM_SetSpeed(4000), 0);
    ASSERT_EQ(XRELAYARM_Connect(), 0);
    ASSERT_EQ(XRELAYARM_Halt(), 0);
  }
  // The loader descriptors pass through FakeLoaderDesc from now on.
  void FakeDescriptors() {
    g_pfRealGetpFunc = reinterpret_cast<void* (*)(int)>(RealEntry("XRELAY_GetpFunc"));
    ASSERT_NE(g_pfRealGetpFunc, nullptr);
    g_pfRealLoaderDesc =
        reinterpret_cast<XRELAY_LOADER_DESC_FUNC*>(g_pfRealGetpFunc(XRELAY_PFUNC_LOADER_DESC));
    ASSERT_NE(g_pfRealLoaderDesc, nullptr);
    ASSERT_EQ(PROBE_SetEntry("XRELAY_GetpFunc", reinterpret_cast<void*>(FakeGetpFunc)), 0);
    MCUDB_ClearLoaderCache();
  }
  // The library's own function behind an entry that a test overrides.
  static void* RealEntry(const char* sName) {
    if (PROBE_Load() < 0) return nullptr;
    void* h = dlopen(PROBE_GetLibraryPath(), RTLD_NOW | RTLD_NOLOAD);
    if (h == nullptr) return nullptr;
    void* p = dlsym(h, sName);
    dlclose(h);
    return p;
  }
  // Work RAM and a few registers set to values of the test's own (by Seed), to see that an
  // operation gives them back.
  static constexpr uint32_t kSeenRegs[] = {0, 1, 9, 13, 14, 15};
  std::vector<uint8_t> SeedTarget(uint8_t Seed) {
    std::vector<uint8_t> RAM(g_RAMSize);
    for (size_t i = 0; i < RAM.size(); i++)
      RAM[i] = uint8_t(i * Seed + 3);
    EXPECT_EQ(XRELAYARM_WriteMemEx(0x20000000, uint32_t(RAM.size()), RAM.data(), 0), int(RAM.size()));
    for (uint32_t r : kSeenRegs)
      EXPECT_EQ(XRELAYARM_WriteReg(r, 0x20002000 + 16 * Seed + 4 * r), 0);
    return RAM;
  }
  void ExpectTargetAsSeeded(uint8_t Seed, const std::vector<uint8_t>& RAM, const char* sWhat) {
    std::vector<uint8_t> Now(RAM.size());
    ASSERT_EQ(XRELAYARM_ReadMemEx(0x20000000, uint32_t(Now.size()), Now.data(), 0), int(Now.size()));
    EXPECT_EQ(Now, RAM) << sWhat;
    for (uint32_t r : kSeenRegs) {
      uint32_t v = 0;
      ASSERT_EQ(XRELAYARM_ReadReg(r, &v), 0);
      EXPECT_EQ(v, 0x20002000 + 16 * Seed + 4 * r) << sWhat << ": register " << r;
    }
  }
  // How often the library ran the function behind XRELAY_GetpFunc(Index).
  static int64_t NumPFuncCalls(int Index) {
    auto pf = reinterpret_cast<int64_t (*)(int)>(RealEntry("XRELAYARM_SIM_GetNumPFuncCalls"));
    return pf ? pf(Index) : -1;
  }
  std::vector<uint8_t> ReadFlash(uint32_t Addr, uint32_t n) {
    std::vector<uint8_t> v(n);
    EXPECT_EQ(XRELAYARM_ReadMemEx(Addr, n, v.data(), 0), int(n));
    return v;
  }
  bool LogHas(const std::string& s) { return Gui.Log.find(s) != std::string::npos; }
};

} // namespace

extern "C" const char* __lsan_default_suppressions() {
  return "leak:libunicorn.so\n";
}

namespace {

/*********************************************************************
 * Banks
 */
TEST_F(FlashTarget, KindsWithoutAModuleFailWithTheUnknownKindMessage) {
  FlashBank Warm; // the loader cache is allocated once
  ASSERT_EQ(FLASH_OpenBank(&Warm, 0, 0x10000, false), 0) << Gui.Log;
  FLASH_CloseBank(&Warm);
  FakeDescriptors();
  for (int Kind : {7, 9, 6, 1, 5, 11, 13}) {
    g_FakeKind = Kind;
    MCUDB_ClearLoaderCache();
    Gui.Log.clear();
    int Blocks = SYS_MEM_CountBlocks(nullptr);
    FlashBank Bank;
    EXPECT_EQ(FLASH_OpenBank(&Bank, 0, 0x10000, false), -1) << Kind;
    EXPECT_TRUE(LogHas("Unknown flash algo type @ addr. 0x08000000. Algorithm ignored.")) << Kind << Gui.Log;
    EXPECT_EQ(Bank.pModule, nullptr);
    EXPECT_EQ(SYS_MEM_CountBlocks(nullptr), Blocks) << Kind;
  }
}

TEST_F(FlashTarget, OpensTheMainFlashWithItsLayoutAndEmptyValue) {
  ASSERT_GE(MCUDB_GetNumBanks(g_Device), 1); // the device cache is filled before counting
  int Images = SYS_MEM_CountBlocks("MCUDB.c: CMSIS Info RAM Code");
  FlashBank Bank;
  ASSERT_EQ(FLASH_OpenBank(&Bank, 0, 0x10000, true), 0) << Gui.Log;
  EXPECT_EQ(Bank.pModule, &FLASH_ModuleCMSIS);
  EXPECT_EQ(Bank.Kind, 8);
  EXPECT_EQ(Bank.BaseAddr, 0x08000000u);
  EXPECT_EQ(Bank.Size, 0x10000u);
  EXPECT_EQ(Bank.aRegion[0].NumSectors, 64u);
  EXPECT_EQ(Bank.aRegion[0].SectorSize, 0x400u);
  EXPECT_EQ(Bank.aRegion[1].NumSectors, 0u);
  EXPECT_TRUE(Bank.EmptyValueKnown);
  EXPECT_EQ(Bank.EmptyValue, 0xFF);
  for (const char* s : {"Start of determining flash info (Bank 0 @ 0x08000000)",
                        "End of determining flash info", "Flash bank info:", "64 * 1 KB @ 0x08000000"}) {
    EXPECT_TRUE(LogHas(s)) << s << "\n" << Gui.Log;
  }
  FLASH_CloseBank(&Bank);
  EXPECT_EQ(SYS_MEM_CountBlocks("FLASH_CMSIS: Module state"), 0);
  EXPECT_EQ(SYS_MEM_CountBlocks("MCUDB.c: CMSIS Info RAM Code"), Images);
}

TEST_F(FlashTarget, EveryFailedOpeningGivesBackWhatItTook) {
  FlashBank Warm;
  ASSERT_EQ(FLASH_OpenBank(&Warm, 0, 0x10000, false), 0) << Gui.Log;
  FLASH_CloseBank(&Warm);
  FakeDescriptors();
  int Blocks = SYS_MEM_CountBlocks(nullptr);
  struct Case {
    const char* sWhat;
    int Kind;
    const char* sAlgoFile;
    const char* sScript;
    int Expected;
  } aCase[] = {
      {"algorithm file missing", 0, "/nonexistent/algo.flm", nullptr, -1},
      {"kind without module", 7, nullptr, nullptr, -1},
      {"with a loader script", 0, nullptr, "/nonexistent/loader.xrs", 0},
  };
  for (const Case& c : aCase) {
    g_FakeKind = c.Kind;
    g_sFakeAlgoFile = c.sAlgoFile;
    g_sFakeScript = c.sScript;
    MCUDB_ClearLoaderCache();
    FlashBank Bank;
    int r = FLASH_OpenBank(&Bank, 0, 0x10000, false);
    EXPECT_EQ(r, c.Expected) << c.sWhat;
    if (r == 0) FLASH_CloseBank(&Bank);
    MCUDB_ClearLoaderCache();
    EXPECT_EQ(SYS_MEM_CountBlocks(nullptr), Blocks) << c.sWhat;
  }
}

TEST_F(FlashTarget, AScriptThatCannotBeTranslatedIsReportedOnce) {
  FakeDescriptors();
  g_sFakeScript = "/nonexistent/loader.xrs";
  FlashBank Bank;
  ASSERT_EQ(FLASH_OpenBank(&Bank, 0, 0x10000, false), 0) << Gui.Log;
  ASSERT_NE(Bank.pScript, nullptr);
  ASSERT_NE(Bank.pAlgoInfo, nullptr);
  EXPECT_EQ(FLASH_ScriptPrepare(Bank.pScript), -1);
  EXPECT_EQ(FLASH_ScriptRestore(Bank.pScript), -1);
  EXPECT_EQ(FLASH_ScriptPrepare(Bank.pScript), -1);
  const char* sText = "Flash bank @ 0x08000000: Failed to translate X-Relay script file associated with";
  size_t n = 0;
  for (size_t p = Gui.Log.find(sText); p != std::string::npos; p = Gui.Log.find(sText, p + 1))
    n++;
  EXPECT_EQ(n, 1u) << Gui.Log;
  EXPECT_TRUE(LogHas("X-Relay script file: /nonexistent/loader.xrs")) << Gui.Log;
  // A three-slot record has no secure function.
  Gui.Log.clear();
  FlashModuleHandle h{1, 1, 0, 0, 0, Bank.BaseAddr, Bank.Size, Bank.pState};
  EXPECT_EQ(FLASH_SecureChip(&h, &Bank), -1);
  EXPECT_TRUE(LogHas("Could not secure chip. No secure function implemented.")) << Gui.Log;
  FLASH_CloseBank(&Bank);
}

/*********************************************************************
 * The CMSIS module on the simulated chip
 */
// The main flash algorithm with only Init, UnInit, EraseSector and ProgramPage.
CMSISInfo MinimalMain(const CMSISInfo& Main) {
  CMSISInfo Info = Main;
  Info.aEntryOffset[MCUDB_ENTRY_ERASE_CHIP] = -1;
  for (int e = 0; e < MCUDB_NUM_ENTRIES; e++) {
    bool Keep = e == MCUDB_ENTRY_INIT || e == MCUDB_ENTRY_UNINIT || e == MCUDB_ENTRY_ERASE_SECTOR ||
                e == MCUDB_ENTRY_PROGRAM_PAGE;
    if (!Keep) Info.aEntryOffset[e] = -1;
  }
  return Info;
}

std::vector<std::string> InitLines() {
  std::vector<std::string> v;
  for (const std::string& l : g_Log)
    if (l.rfind("Initializing RAMCode", 0) == 0 || l.rfind("Executing", 0) == 0) v.push_back(l);
  return v;
}

TEST_F(FlashTarget, MinimalAlgorithmIsReinitialisedForEraseThenProgram) {
  Connect();
  Algo A("flm_main_64k.flm");
  CMSISInfo Info = MinimalMain(A.Info);
  FlashModuleHandle h;
  ASSERT_EQ(OpenModule(Info, &h), 0);
  EXPECT_TRUE(g_Errors.empty()) << Join(g_Errors);
  std::vector<uint8_t> Data(0x800);
  for (size_t i = 0; i < Data.size(); i++)
    Data[i] = uint8_t(i * 7 + 1);
  ASSERT_EQ(FLASH_ModuleCMSIS.pfPrepare(&h, uint32_t(Data.size()), 0), 0) << Join(g_Errors);
  ASSERT_EQ(FLASH_ModuleCMSIS.pfEraseSectors(&h, 0, 2), 0) << Join(g_Errors);
  FLASH_PROG_REQUEST Req{0, Data.data(), 2};
  ASSERT_EQ(FLASH_ModuleCMSIS.pfProgram(&h, &Req), 0) << Join(g_Errors);
  ASSERT_EQ(FLASH_ModuleCMSIS.pfRestore(&h), 0) << Join(g_Errors);
  std::vector<std::string> Expected = {
      "Initializing RAMCode (InitType: 3 = Verify)",
      "Executing Init(3)",
      "Initializing RAMCode (InitType: 1 = Erase)",
      "Executing Init(1)",
      "Initializing RAMCode (InitType: 2 = Program)",
      "Executing Init(2)",
      "Executing UnInit()",
  };
  EXPECT_EQ(Join(InitLines()), Join(Expected)) << Join(g_Log);
  EXPECT_TRUE(g_Errors.empty()) << Join(g_Errors);
  EXPECT_EQ(ReadFlash(0x08000000, uint32_t(Data.size())), Data);
  FLASH_ModuleCMSIS.pfClose(&h);
}

TEST_F(FlashTarget, ChunksOfTheEmptyValueAreSkippedOnlyWhenThatIsKnown) {
  Connect();
  Algo A("flm_main_64k.flm");
  struct Case {
    const char* sWhat;
    uint32_t EmptyValue;
    uint8_t ProgramBlank;
    size_t NumProgrammed;
  } aCase[] = {
      {"empty value 0xFF", 0xFF, 0, 2},
      {"empty value unknown", 0x100, 0, 4},
      {"blank data asked for", 0xFF, 1, 4},
  };
  // Sectors 1 and 3 hold only 0xFF.
  std::vector<uint8_t> Data(0x1000, 0xFF);
  for (size_t i = 0; i < 0x400; i++) {
    Data[i] = uint8_t(i);
    Data[0x800 + i] = uint8_t(~i);
  }
  for (const Case& c : aCase) {
    ClearRecorders();
    CMSISInfo Info = A.Info;
    Info.EmptyValue = c.EmptyValue;
    FlashModuleHandle h;
    ASSERT_EQ(OpenModule(Info, &h), 0);
    h.ProgramBlank = c.ProgramBlank;
    ASSERT_EQ(FLASH_ModuleCMSIS.pfEraseSectors(&h, 0, 4), 0) << Join(g_Errors);
    g_Progress.clear();
    FLASH_PROG_REQUEST Req{0, Data.data(), 4};
    ASSERT_EQ(FLASH_ModuleCMSIS.pfProgram(&h, &Req), 0) << c.sWhat << Join(g_Errors);
    EXPECT_EQ(CountLines(g_Progress, "Programming range"), c.NumProgrammed) << c.sWhat << "\n"
                                                                            << Join(g_Progress);
    if (c.NumProgrammed == 2) {
      EXPECT_EQ(g_Progress[0], "Programming range 0x08000000 - 0x080003FF (1024 Bytes)");
      EXPECT_EQ(g_Progress[1], "Programming range 0x08000800 - 0x08000BFF (1024 Bytes)");
    }
    EXPECT_EQ(ReadFlash(0x08000000, 0x1000), Data) << c.sWhat;
    FLASH_ModuleCMSIS.pfClose(&h);
  }
}

// A tiny algorithm: UnInit, EraseSector and ProgramPage return 0 at once, Init returns
// InitResult; GetFlashInfo reports NumRanges ranges in word 3 of the buffer it is given.
struct TinyAlgo {
  std::vector<uint8_t> Image;
  CMSISInfo Info{};
  TinyAlgo(uint8_t NumRanges, uint8_t InitResult) {
    const uint16_t aCode[] = {
        0x2000,
        0x4770, // 0: movs r0, #0; bx lr
        uint16_t(0x2100 | NumRanges),
        0x60C1, // 4: movs r1, #n; str r1, [r0, #12]
        0x2000,
        0x4770, //    movs r0, #0; bx lr
        uint16_t(0x2000 | InitResult),
        0x4770, // 12: movs r0, #InitResult; bx lr
        0x0000,
        0x0000, // 16: PrgData
    };
    Image.assign(reinterpret_cast<const uint8_t*>(aCode),
                 reinterpret_cast<const uint8_t*>(aCode) + sizeof(aCode));
    Info.pImage = Image.data();
    Info.ImageSize = uint32_t(Image.size());
    Info.PageSize = 0x400;
    Info.EmptyValue = 0xFF;
    Info.aRegion[0] = SectorRegion{64, 0x400, 0};
    for (int32_t& e : Info.aEntryOffset)
      e = -1;
    for (int e : {MCUDB_ENTRY_UNINIT, MCUDB_ENTRY_ERASE_SECTOR, MCUDB_ENTRY_PROGRAM_PAGE})
      Info.aEntryOffset[e] = 1;
    Info.aEntryOffset[MCUDB_ENTRY_GET_FLASH_INFO] = 5;
    Info.aEntryOffset[MCUDB_ENTRY_INIT] = 13;
    Info.PrgDataAddr = 16;
    Info.TimeoutProgram = 100;
    Info.TimeoutErase = 100;
  }
};

TEST_F(FlashTarget, GetFlashInfoRefusesRangeCountsItCannotHold) {
  Connect();
  struct Case {
    uint8_t NumRanges;
    const char* sError;
  } aCase[] = {
      {8, "KORVEN_OPEN_GetFlashInfo(): RAMCode reported 8 sector ranges, max. supported ranges are: 7."},
      {0, "KORVEN_OPEN_GetFlashInfo(): Sectorization information reported by algo is incorrect. Algo did not "
          "report any ranges."},
  };
  for (const Case& c : aCase) {
    ClearRecorders();
    TinyAlgo A(c.NumRanges, 0);
    FlashModuleHandle h;
    ASSERT_EQ(OpenModule(A.Info, &h), 0) << Join(g_Errors);
    auto pfInfo =
        reinterpret_cast<FLASH_FLASHINFO_FUNC*>(FLASH_ModuleCMSIS.pfGetFunc(&h, FLASH_FUNC_GET_FLASH_INFO));
    ASSERT_NE(pfInfo, nullptr);
    FLASH_LAYOUT Layout{};
    EXPECT_EQ(pfInfo(&h, &Layout), -1);
    EXPECT_EQ(Join(g_Errors), std::string(c.sError) + "\n") << int(c.NumRanges);
    FLASH_ModuleCMSIS.pfClose(&h);
  }
}

TEST_F(FlashTarget, OperationsShowTheirRangesAndGiveTheTargetBack) {
  Connect();
  Algo Main("flm_main_64k.flm");
  FlashModuleHandle h;
  ASSERT_EQ(OpenModule(Main.Info, &h), 0);
  // The registers and the work RAM are saved and written back when the handle allows it.
  h.NoSaveRegs = h.NoSaveRAM = 0;
  std::vector<uint8_t> RAM = SeedTarget(13);
  struct Case {
    const char* sWhat;
    int (*pfRun)(FlashModuleHandle*);
    const char* sProgress; // the first line
    size_t NumLines;
  } aCase[] = {
      {"erase one sector", [](FlashModuleHandle* p) { return FLASH_ModuleCMSIS.pfEraseSectors(p, 1, 1); },
       "Erasing range 0x08000400 - 0x080007FF (1 sector, 1024 Bytes)", 1},
      // EraseSector takes one sector per call.
      {"erase three sectors", [](FlashModuleHandle* p) { return FLASH_ModuleCMSIS.pfEraseSectors(p, 2, 3); },
       "Erasing range 0x08000800 - 0x08000BFF (1 sector, 1024 Bytes)", 3},
      {"erase the chip", [](FlashModuleHandle* p) { return FLASH_ModuleCMSIS.pfEraseChip(p); },
       "Erasing chip 0x08000000 - 0x0800FFFF (64 sectors, 64 KB)", 1},
  };
  for (const Case& c : aCase) {
    g_Progress.clear();
    ASSERT_EQ(c.pfRun(&h), 0) << c.sWhat << Join(g_Errors);
    ASSERT_EQ(g_Progress.size(), c.NumLines) << c.sWhat << "\n" << Join(g_Progress);
    EXPECT_EQ(g_Progress[0], c.sProgress) << c.sWhat;
    ExpectTargetAsSeeded(13, RAM, c.sWhat);
  }
  EXPECT_EQ(ReadFlash(0x08000000, 0x10000), std::vector<uint8_t>(0x10000, 0xFF));
  // Reading goes straight to the flash when the algorithm has no Read entry.
  std::vector<uint8_t> Back(0x300, 0);
  auto pfRead = reinterpret_cast<FLASH_READ_FUNC*>(FLASH_ModuleCMSIS.pfGetFunc(&h, FLASH_FUNC_READ));
  ASSERT_NE(pfRead, nullptr);
  EXPECT_EQ(pfRead(&h, 0x08000100, uint32_t(Back.size()), Back.data()), 0) << Join(g_Errors);
  EXPECT_EQ(Back, std::vector<uint8_t>(0x300, 0xFF));
  EXPECT_TRUE(g_Errors.empty()) << Join(g_Errors);
  FLASH_ModuleCMSIS.pfClose(&h);
}

TEST_F(FlashTarget, AFailingStepNamesItsBlockAndTheNextOperationWorks) {
  Configure("FaultProgramErrorAt = 0x08000402\nFaultEraseErrorAt = 0x08001000\n");
  Connect();
  for (const char* sFile : {"flm_main_64k.flm", "flm_main_64k_ext.flm"}) {
    ClearRecorders();
    Algo Main(sFile);
    FlashModuleHandle h;
    ASSERT_EQ(OpenModule(Main.Info, &h), 0);
    std::vector<uint8_t> Data(0x800, 0x5A);
    ASSERT_EQ(FLASH_ModuleCMSIS.pfEraseSectors(&h, 0, 2), 0) << sFile << Join(g_Errors);
    FLASH_PROG_REQUEST Req{0, Data.data(), 2};
    EXPECT_EQ(FLASH_ModuleCMSIS.pfProgram(&h, &Req), -1) << sFile;
    EXPECT_EQ(Join(g_Errors), "Programming failed (error code = 1) for block @ address 0x08000400 (1024)\n")
        << sFile;
    // The first sector went in before the failure; erasing and programming it again works.
    g_Errors.clear();
    EXPECT_EQ(FLASH_ModuleCMSIS.pfEraseSectors(&h, 0, 1), 0) << sFile << Join(g_Errors);
    FLASH_PROG_REQUEST One{0, Data.data(), 1};
    EXPECT_EQ(FLASH_ModuleCMSIS.pfProgram(&h, &One), 0) << sFile << Join(g_Errors);
    EXPECT_EQ(ReadFlash(0x08000000, 0x400), std::vector<uint8_t>(0x400, 0x5A)) << sFile;
    // An erase that fails says so once.
    EXPECT_EQ(FLASH_ModuleCMSIS.pfEraseSectors(&h, 3, 2), -1) << sFile;
    EXPECT_EQ(Join(g_Errors), "Failed to erase sectors.\n\n") << sFile;
    FLASH_ModuleCMSIS.pfClose(&h);
  }
}

TEST_F(FlashTarget, AFailedPrepareGivesTheTargetBack) {
  Connect();
  struct Case {
    const char* sWhat;
    uint8_t InitResult;
    uint8_t ImageSlot;
    const char* sErrors;
  } aCase[] = {
      {"Init fails", 1, 0, "Failed to perform RAMCode-sided Prepare()\n"},
      {"image filed as 64-bit", 0, 1,
       "No matching RAMCode found\nFailed to prepare for programming.\nFailed to download RAMCode!\n"},
  };
  for (const Case& c : aCase) {
    ClearRecorders();
    std::vector<uint8_t> RAM = SeedTarget(5);
    TinyAlgo A(1, c.InitResult);
    A.Info.ImageSlot = c.ImageSlot;
    FlashModuleHandle h;
    ASSERT_EQ(OpenModule(A.Info, &h), 0);
    h.NoSaveRegs = h.NoSaveRAM = 0;
    EXPECT_EQ(FLASH_ModuleCMSIS.pfEraseSectors(&h, 0, 1), -1) << c.sWhat;
    EXPECT_EQ(Join(g_Errors), c.sErrors) << c.sWhat;
    EXPECT_EQ(XRELAYARM_IsHalted(), 1) << c.sWhat;
    ExpectTargetAsSeeded(5, RAM, c.sWhat);
    FLASH_ModuleCMSIS.pfClose(&h);
  }
}

TEST_F(FlashTarget, AProgramTimeoutAboveTheLimitIsReplacedWithItsLine) {
  Connect();
  Algo Main("flm_main_64k.flm");
  struct Case {
    uint32_t toProg;
    size_t NumLines;
  } aCase[] = {{20000, 1}, {10000, 0}, {1000, 0}};
  std::vector<uint8_t> Data(0x400, 0x33);
  for (const Case& c : aCase) {
    ClearRecorders();
    CMSISInfo Info = Main.Info;
    Info.TimeoutProgram = c.toProg;
    FlashModuleHandle h;
    ASSERT_EQ(OpenModule(Info, &h), 0);
    ASSERT_EQ(FLASH_ModuleCMSIS.pfEraseSectors(&h, 0, 1), 0) << Join(g_Errors);
    FLASH_PROG_REQUEST Req{0, Data.data(), 1};
    ASSERT_EQ(FLASH_ModuleCMSIS.pfProgram(&h, &Req), 0) << Join(g_Errors);
    EXPECT_EQ(CountLines(g_Log, "Program page timeout too high. Use default timeout: 10000 [ms]"), c.NumLines)
        << c.toProg << "\n"
        << Join(g_Log);
    FLASH_ModuleCMSIS.pfClose(&h);
  }
}

TEST_F(FlashTarget, TheUserSystemDataIsNeverBlank) {
  Connect();
  Algo User("flm_usersys.flm");
  FlashModuleHandle h;
  ASSERT_EQ(OpenModule(User.Info, &h), 0);
  auto pfBlank =
      reinterpret_cast<FLASH_BLANKCHECK_FUNC*>(FLASH_ModuleCMSIS.pfGetFunc(&h, FLASH_FUNC_BLANK_CHECK));
  ASSERT_NE(pfBlank, nullptr);
  EXPECT_EQ(pfBlank(&h, 0x1FFFF800, 0x200), 1) << Join(g_Errors);
  EXPECT_TRUE(g_Errors.empty()) << Join(g_Errors);
  FLASH_ModuleCMSIS.pfClose(&h);
}

TEST_F(FlashTarget, AnAbortStopsProgrammingBetweenChunks) {
  Connect();
  Algo Main("flm_main_64k.flm");
  FlashModuleHandle h;
  ASSERT_EQ(OpenModule(Main.Info, &h), 0);
  ASSERT_EQ(FLASH_ModuleCMSIS.pfEraseSectors(&h, 0, 4), 0) << Join(g_Errors);
  std::vector<uint8_t> Data(0x1000, 0x11);
  g_Abort = true;
  FLASH_PROG_REQUEST Req{0, Data.data(), 4};
  EXPECT_EQ(FLASH_ModuleCMSIS.pfProgram(&h, &Req), -1);
  EXPECT_EQ(CountLines(g_Progress, "Programming range"), 0u) << Join(g_Progress);
  g_Abort = false;
  EXPECT_EQ(FLASH_ModuleCMSIS.pfProgram(&h, &Req), 0) << Join(g_Errors);
  EXPECT_EQ(ReadFlash(0x08000000, 0x1000), Data);
  FLASH_ModuleCMSIS.pfClose(&h);
}

/*********************************************************************
 * Background mode (the extended algorithm's Start entry) against direct mode
 */
TEST_F(FlashTarget, BackgroundModeProgramsAndVerifiesWhatDirectModeDoes) {
  Connect();
  std::vector<uint8_t> Data(0x10000);
  uint32_t x = 0x12345678;
  for (uint8_t& b : Data) {
    x = x * 1103515245 + 12345;
    b = uint8_t(x >> 16);
  }
  std::fill(Data.begin() + 0x3000, Data.begin() + 0x3C00, 0xFF); // chunks to skip
  uint32_t HostCRC = CRC32_Update(0, Data.data(), Data.size());
  g_pfRealGoIntDis = reinterpret_cast<int (*)(void)>(RealEntry("XRELAYARM_GoIntDis"));
  ASSERT_NE(g_pfRealGoIntDis, nullptr);
  ASSERT_EQ(PROBE_SetEntry("XRELAYARM_GoIntDis", reinterpret_cast<void*>(CountingGoIntDis)), 0);
  struct Case {
    const char* sFile;
    const char* sPrepare;
    int MinRuns, MaxRuns; // while programming
  } aCase[] = {
      {"flm_main_64k.flm", "Executing Init(2)", 61, 61},
      {"flm_main_64k_ext.flm", "Executing KORVEN_FL_Prepare(2)", 0, 1},
  };
  for (const Case& c : aCase) {
    ClearRecorders();
    Algo A(c.sFile);
    FlashModuleHandle h;
    ASSERT_EQ(OpenModule(A.Info, &h), 0) << c.sFile << Join(g_Errors);
    ASSERT_EQ(FLASH_ModuleCMSIS.pfEraseChip(&h), 0) << c.sFile << Join(g_Errors);
    EXPECT_EQ(ReadFlash(0x08000000, 0x10000), std::vector<uint8_t>(0x10000, 0xFF)) << c.sFile;
    h.OpCode = FLASH_OP_PROGRAM;
    ASSERT_EQ(FLASH_ModuleCMSIS.pfPrepare(&h, uint32_t(Data.size()), 0), 0) << c.sFile << Join(g_Errors);
    FLASH_PROG_REQUEST Req{0, Data.data(), 64};
    g_NumRuns = 0;
    EXPECT_EQ(FLASH_ModuleCMSIS.pfProgram(&h, &Req), 0) << c.sFile << Join(g_Errors);
    EXPECT_GE(g_NumRuns, c.MinRuns) << c.sFile;
    EXPECT_LE(g_NumRuns, c.MaxRuns) << c.sFile;
    auto pfVerify = reinterpret_cast<FLASH_VERIFY_FUNC*>(FLASH_ModuleCMSIS.pfGetFunc(&h, FLASH_FUNC_VERIFY));
    auto pfCRC = reinterpret_cast<FLASH_CRC_FUNC*>(FLASH_ModuleCMSIS.pfGetFunc(&h, FLASH_FUNC_CRC));
    if (pfVerify && pfCRC) {
      uint32_t Mismatch = 0, CRC = 0;
      EXPECT_EQ(pfVerify(&h, 0x08000000, uint32_t(Data.size()), Data.data(), &Mismatch), 0) << Join(g_Errors);
      EXPECT_EQ(pfCRC(&h, 0x08000000, uint32_t(Data.size()), Data.data(), &CRC), 0) << Join(g_Errors);
      EXPECT_EQ(CRC, HostCRC);
      // One byte off: verify names it, the CRC differs.
      std::vector<uint8_t> Other = Data;
      Other[0x4567] ^= 0x01;
      EXPECT_EQ(pfVerify(&h, 0x08000000, uint32_t(Other.size()), Other.data(), &Mismatch), 1)
          << Join(g_Errors);
      EXPECT_EQ(Mismatch, 0x08004567u);
      EXPECT_EQ(pfCRC(&h, 0x08000000, uint32_t(Other.size()), Other.data(), &CRC), 1) << Join(g_Errors);
    } else {
      EXPECT_EQ(std::string(c.sFile), "flm_main_64k.flm") << "the extended algorithm verifies on the target";
    }
    EXPECT_EQ(FLASH_ModuleCMSIS.pfRestore(&h), 0) << c.sFile << Join(g_Errors);
    EXPECT_EQ(CountLines(g_Log, c.sPrepare), 1u) << c.sFile << "\n" << Join(g_Log);
    EXPECT_TRUE(g_Errors.empty()) << c.sFile << Join(g_Errors);
    EXPECT_EQ(ReadFlash(0x08000000, 0x10000), Data) << c.sFile;
    FLASH_ModuleCMSIS.pfClose(&h);
  }
}

TEST_F(FlashTarget, ABankIsPreparedProgrammedAndRestoredThroughItsModule) {
  Connect();
  FlashBank Bank;
  ASSERT_EQ(FLASH_OpenBank(&Bank, 0, 0x10000, false), 0) << Gui.Log;
  FlashModuleHandle h{1, 1, FLASH_OP_PREPARE, 0, 0, Bank.BaseAddr, Bank.Size, Bank.pState};
  std::vector<uint8_t> Data(0x400, 0xA5);
  ASSERT_EQ(FLASH_PrepareBank(&h, &Bank, uint32_t(Data.size())), 0) << Gui.Log;
  FLASH_LogCPUSpeed(&Bank, &h);
  ASSERT_EQ(Bank.pModule->pfEraseSectors(&h, 5, 1), 0) << Gui.Log;
  FLASH_PROG_REQUEST Req{5, Data.data(), 1};
  ASSERT_EQ(Bank.pModule->pfProgram(&h, &Req), 0) << Gui.Log;
  ASSERT_EQ(FLASH_RestoreBank(&h, &Bank), 0) << Gui.Log;
  FLASH_CloseBank(&Bank);
  EXPECT_EQ(ReadFlash(0x08001400, 0x400), Data);
  for (const char* s : {"Start of preparing flash programming", "End of preparing flash programming",
                        "CPU is running at 8000 kHz.", "Start of restoring", "End of restoring"}) {
    EXPECT_TRUE(LogHas(s)) << s << "\n" << Gui.Log;
  }
  // The module's own step lines are not shown: the host installs no log function.
  EXPECT_FALSE(LogHas("Preparing RAMCode")) << Gui.Log;
  EXPECT_FALSE(LogHas("ERROR")) << Gui.Log;
}

} // namespace

namespace {

TEST_F(FlashTarget, TheLoaderScriptRunsAroundTheAlgorithm) {
  Connect();
  // Outside the work RAM, so that the marks stay.
  std::string Script = Dir + "/loader.xrs";
  WriteAll(Script, "function FLASH_Prepare\n  write32 0x20004800 0x11111111\n  return 48000000\nend\n"
                   "function FLASH_Restore\n  write32 0x20004804 0x22222222\nend\n");
  FakeDescriptors();
  // The same script handed over as a file and compiled, with the loader.
  auto pfTranslate =
      reinterpret_cast<XRELAY_SCRIPT_TRANSLATE_FUNC*>(g_pfRealGetpFunc(XRELAY_PFUNC_SCRIPT_TRANSLATE));
  ASSERT_NE(pfTranslate, nullptr);
  uint8_t* pCompiled = nullptr;
  uint32_t CompiledSize = 0;
  ASSERT_EQ(pfTranslate(
                Script.c_str(), [](uint32_t n) { return std::malloc(n); }, &pCompiled, &CompiledSize),
            0);
  std::vector<uint8_t> Compiled(pCompiled, pCompiled + CompiledSize);
  std::free(pCompiled);
  for (bool AsFile : {true, false}) {
    g_sFakeScript = AsFile ? Script.c_str() : nullptr;
    if (!AsFile) g_FakeCompiledScript = Compiled;
    MCUDB_ClearLoaderCache();
    Gui.Log.clear();
    uint32_t aClear[2] = {};
    ASSERT_EQ(XRELAYARM_WriteMemEx(0x20004800, 8, aClear, 0), 8);
    int64_t Before[] = {NumPFuncCalls(19), NumPFuncCalls(20), NumPFuncCalls(65)};
    FlashBank Bank;
    ASSERT_EQ(FLASH_OpenBank(&Bank, 0, 0x10000, false), 0) << AsFile << Gui.Log;
    FlashModuleHandle h{1, 1, FLASH_OP_PREPARE, 0, 0, Bank.BaseAddr, Bank.Size, Bank.pState};
    ASSERT_EQ(FLASH_PrepareBank(&h, &Bank, 0x400), 0) << Gui.Log;
    FLASH_LogCPUSpeed(&Bank, &h);
    ASSERT_EQ(FLASH_RestoreBank(&h, &Bank), 0) << Gui.Log;
    FLASH_CloseBank(&Bank);
    // The script's clock is the clock from then on.
    EXPECT_TRUE(LogHas("CPU is running at 48000 kHz.")) << AsFile << Gui.Log;
    uint32_t aMark[2] = {};
    ASSERT_EQ(XRELAYARM_ReadMemEx(0x20004800, 8, aMark, 0), 8);
    EXPECT_EQ(aMark[0], 0x11111111u) << AsFile;
    EXPECT_EQ(aMark[1], 0x22222222u) << AsFile;
    EXPECT_EQ(NumPFuncCalls(19) - Before[0], 1) << AsFile;
    EXPECT_EQ(NumPFuncCalls(20) - Before[1], 1) << AsFile;
    EXPECT_EQ(NumPFuncCalls(65) - Before[2], 2) << AsFile;
    EXPECT_FALSE(LogHas("ERROR")) << AsFile << Gui.Log;
  }
}

TEST_F(FlashTarget, AScriptThatDoesNotTranslateFailsThePrepareOnce) {
  Connect();
  std::string Script = Dir + "/bad.xrs";
  WriteAll(Script, "function FLASH_Prepare\n  jump 0x20000000\nend\n");
  FakeDescriptors();
  g_sFakeScript = Script.c_str();
  FlashBank Bank;
  ASSERT_EQ(FLASH_OpenBank(&Bank, 0, 0x10000, false), 0) << Gui.Log;
  FlashModuleHandle h{1, 1, FLASH_OP_PREPARE, 0, 0, Bank.BaseAddr, Bank.Size, Bank.pState};
  EXPECT_EQ(FLASH_PrepareBank(&h, &Bank, 0x400), -1);
  EXPECT_EQ(FLASH_PrepareBank(&h, &Bank, 0x400), -1);
  FLASH_CloseBank(&Bank);
  std::string Text =
      "ERROR: Flash bank @ 0x08000000: Failed to translate X-Relay script file associated with flash "
      "loader. X-Relay script file: " +
      Script;
  size_t n = 0;
  for (size_t p = Gui.Log.find(Text); p != std::string::npos; p = Gui.Log.find(Text, p + 1))
    n++;
  EXPECT_EQ(n, 1u) << Gui.Log;
  EXPECT_EQ(XRELAYARM_IsHalted(), 1);
}

} // namespace
