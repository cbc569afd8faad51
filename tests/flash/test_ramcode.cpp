/*
 * The RAMCode runner: the work RAM layout, the core families' registers, breakpoint words and
 * texts through recording fakes of the probe binding, and calls of flash algorithms (the shipped
 * ones and a few hand-assembled Thumb snippets) on the simulated AT32F425.
 */
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "flash/RAMCODE_Runner.h"
#include "mcudb/MCUDB_Loader.h"
#include "probe/PROBE_Test.h"
#include "tests/TestFiles.h"

namespace {

constexpr uint32_t kRAM = 0x20000000u;
constexpr uint32_t kFlash = 0x08000000u;
constexpr uint32_t kCoreM4 = 0x0E0000FFu;
constexpr uint32_t kBP = kRAM + 0x210; // S' of the 16-byte images of the fake tests

std::vector<std::string> g_Errors;
void CollectError(const char* sText) { g_Errors.push_back(sText); }
int g_AbortAfterPolls = -1; // the abort query answers true from this poll on (-1: never)
int g_Polls;
int AbortQuery() { return g_AbortAfterPolls >= 0 && ++g_Polls > g_AbortAfterPolls; }

std::string Hex(uint32_t v) {
  char ac[16];
  std::snprintf(ac, sizeof(ac), "0x%.8X", v);
  return ac;
}

// A CMSISInfo of its own for a hand-made image: every entry absent until set.
struct Algo {
  CMSISInfo Info{};
  std::vector<uint8_t> Image;
  explicit Algo(std::vector<uint16_t> Code, uint32_t PageSize = 256) {
    for (uint16_t h : Code) {
      Image.push_back((uint8_t)h);
      Image.push_back((uint8_t)(h >> 8));
    }
    Info.pImage = Image.data();
    Info.ImageSize = (uint32_t)Image.size();
    Info.PageSize = PageSize;
    Info.PrgDataAddr = 8;
    for (int32_t& o : Info.aEntryOffset) o = -1;
  }
  Algo& Entry(int Index, int32_t Offset) {
    Info.aEntryOffset[Index] = Offset;
    return *this;
  }
};

void UseHost(RAMCodeRunner* p) {
  p->pfErrorOut = CollectError;
  p->pfAbort = AbortQuery;
  p->pfReadMem = [](uint32_t Addr, uint32_t NumBytes, void* pData) {
    return XRELAYARM_ReadMemEx(Addr, NumBytes, pData, 0);
  };
}

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

// ---------------------------------------------------------------------------------------------
// Layout

TEST(RamcodeLayout, WorkRAMFitAndFallbackStack) {
  // Image of 100 bytes -> I = 104; page 256. Direct mode: S = I + 512 = 616, usage S + 8 + B.
  struct Case {
    const char* sWhat;
    bool Start;      // the algorithm has a Start entry (background mode on Cortex-M)
    uint32_t RAM;
    uint32_t Bytes;  // bytes to program
    uint32_t Requested; // buffer size asked for
    int Usage;       // -1: does not fit
    uint32_t Stack, B;
  } aCase[] = {
      {"plenty of RAM: one page", false, 0x4000, 0, 0, 616 + 8 + 256, 512, 256},
      {"exactly S + 8 + one page", false, 616 + 8 + 256, 0, 0, 616 + 8 + 256, 512, 256},
      {"4 bytes less: short stack", false, 616 + 8 + 256 - 4, 0, 0, 360 + 8 + 256, 256, 256},
      {"short stack, exactly", false, 360 + 8 + 256, 0, 0, 360 + 8 + 256, 256, 256},
      {"not even the short stack", false, 360 + 8 + 256 - 1, 0, 0, -1, 0, 0},
      {"direct mode ignores the bytes to program", false, 0x4000, 0x10000, 0, 616 + 8 + 256, 512, 256},
      // Background: H = 120, two buffers; B from the bytes to program, halved.
      {"background, 64 KB to program", true, 0x10000, 0x10000, 0, 616 + 120 + 2 * 4096, 512, 4096},
      {"background, 1 KB to program", true, 0x10000, 1000, 0, 616 + 120 + 2 * 512, 512, 512},
      {"background, more than 64 KB", true, 0x20000, 0x10001, 0, 616 + 120 + 2 * 0x8000, 512, 0x8000},
      {"background, one page asked for: not halved", true, 0x10000, 0, 256, 616 + 120 + 2 * 256, 512, 256},
      {"background, part pages asked for", true, 0x10000, 0, 1000, 616 + 120 + 2 * 256, 512, 256},
      {"background, RAM shrinks the buffers", true, 616 + 120 + 2 * 1000, 0x10000, 0, 616 + 120 + 2 * 768, 512, 768},
      {"background, nothing to program: all RAM", true, 0x1000, 0, 0, 616 + 120 + 2 * 1536, 512, 1536},
  };
  for (const Case& c : aCase) {
    Algo A({0x4770}, 256);
    A.Image.resize(100);
    A.Info.pImage = A.Image.data();
    A.Info.ImageSize = 100;
    if (c.Start) A.Entry(MCUDB_ENTRY_START, 1);
    RAMCodeRunner R;
    RAMCODE_Init(&R, &A.Info);
    RAMCODE_SetCore(&R, 14, kCoreM4, false);
    R.WorkRAMAddr = kRAM;
    uint32_t BufferAddr = 0, B = 0;
    int Usage = RAMCODE_CalcLayout(&R, c.RAM, c.Bytes, c.Requested, &BufferAddr, &B);
    EXPECT_EQ(Usage, c.Usage) << c.sWhat;
    if (c.Usage < 0) continue;
    EXPECT_EQ(R.Layout.StackSize, c.Stack) << c.sWhat;
    EXPECT_EQ(B, c.B) << c.sWhat;
    EXPECT_EQ(BufferAddr, kRAM + 104 + c.Stack + 8) << c.sWhat;
    EXPECT_LE((uint32_t)Usage, c.RAM) << c.sWhat;
  }
}

// ---------------------------------------------------------------------------------------------
// Core families through a recording fake of the probe binding

struct FakeProbe {
  std::map<uint32_t, uint64_t> Reg;
  std::vector<std::pair<uint32_t, uint64_t>> Writes; // register writes in order
  bool Wrote64 = false;
  std::vector<std::pair<uint32_t, uint32_t>> Ice;
  std::map<uint32_t, uint8_t> Mem;
  std::vector<std::pair<uint32_t, uint32_t>> U32; // WriteU32
  std::string Run;                                // "Go" or "GoIntDis"
  uint32_t PCReg = 15;
  uint64_t HaltPC = 0;      // where the core stops
  bool NeverHalts = false;
  bool Halted = true;
  int Halts = 0;            // XRELAYARM_Halt calls
  uint32_t ResultReg = 0;
  uint64_t Result = 0;
};
FakeProbe* g_pFake;

int FakeWriteRegs(const uint32_t* pa, const uint32_t* pd, uint8_t*, uint32_t n) {
  for (uint32_t i = 0; i < n; i++) {
    g_pFake->Reg[pa[i]] = pd[i];
    g_pFake->Writes.push_back({pa[i], pd[i]});
  }
  return 0;
}
int FakeWriteRegs64(const uint32_t* pa, const uint64_t* pd, uint8_t*, uint32_t n) {
  g_pFake->Wrote64 = true;
  for (uint32_t i = 0; i < n; i++) {
    g_pFake->Reg[pa[i]] = pd[i];
    g_pFake->Writes.push_back({pa[i], pd[i]});
  }
  return 0;
}
int FakeReadRegs(const uint32_t* pa, uint32_t* pd, uint8_t*, uint32_t n) {
  for (uint32_t i = 0; i < n; i++) pd[i] = (uint32_t)g_pFake->Reg[pa[i]];
  return 0;
}
int FakeReadRegs64(const uint32_t* pa, uint64_t* pd, uint8_t*, uint32_t n) {
  for (uint32_t i = 0; i < n; i++) pd[i] = g_pFake->Reg[pa[i]];
  return 0;
}
int FakeReadReg(uint32_t i, uint32_t* p) {
  *p = (uint32_t)g_pFake->Reg[i];
  return 0;
}
int FakeWriteReg(uint32_t i, uint32_t v) { return FakeWriteRegs(&i, &v, nullptr, 1); }
int FakeICE(uint32_t i, uint32_t v, int) {
  g_pFake->Ice.push_back({i, v});
  return 0;
}
int FakeGo() {
  g_pFake->Run = "Go";
  g_pFake->Halted = false;
  return 0;
}
int FakeGoIntDis() {
  g_pFake->Run = "GoIntDis";
  g_pFake->Halted = false;
  return 0;
}
int FakeIsHalted() {
  if (!g_pFake->Halted && !g_pFake->NeverHalts) {
    g_pFake->Halted = true;
    g_pFake->Reg[g_pFake->PCReg] = g_pFake->HaltPC;
    g_pFake->Reg[g_pFake->ResultReg] = g_pFake->Result;
  }
  return g_pFake->Halted ? 1 : 0;
}
int FakeHalt() {
  g_pFake->Halted = true;
  g_pFake->Halts++;
  return 0;
}
int FakeWriteMemEx(uint32_t a, uint32_t n, const void* p, uint32_t) {
  for (uint32_t i = 0; i < n; i++) g_pFake->Mem[a + i] = static_cast<const uint8_t*>(p)[i];
  return (int)n;
}
int FakeReadMemEx(uint32_t a, uint32_t n, void* p, uint32_t) {
  for (uint32_t i = 0; i < n; i++) static_cast<uint8_t*>(p)[i] = g_pFake->Mem[a + i];
  return (int)n;
}
int FakeWriteU32(uint32_t a, uint32_t v) {
  g_pFake->U32.push_back({a, v});
  return 0;
}

class RamcodeFake : public ::testing::Test {
protected:
  FakeProbe Fake;
  void SetUp() override {
    g_pFake = &Fake;
    g_Errors.clear();
    g_AbortAfterPolls = -1;
    g_Polls = 0;
    PROBE_ResetEntries();
    PROBE_SetLibraryPathForTest("/nonexistent/libxrelayarm.so"); // nothing reaches a library
    const std::pair<const char*, void*> aEntry[] = {
        {"XRELAYARM_WriteRegs", (void*)FakeWriteRegs},   {"XRELAY_WriteRegs_64", (void*)FakeWriteRegs64},
        {"XRELAYARM_ReadRegs", (void*)FakeReadRegs},     {"XRELAY_ReadRegs_64", (void*)FakeReadRegs64},
        {"XRELAYARM_ReadReg", (void*)FakeReadReg},       {"XRELAYARM_WriteReg", (void*)FakeWriteReg},
        {"XRELAYARM_WriteICEReg", (void*)FakeICE},       {"XRELAYARM_Go", (void*)FakeGo},
        {"XRELAYARM_GoIntDis", (void*)FakeGoIntDis},     {"XRELAYARM_IsHalted", (void*)FakeIsHalted},
        {"XRELAYARM_Halt", (void*)FakeHalt},             {"XRELAYARM_WriteMemEx", (void*)FakeWriteMemEx},
        {"XRELAYARM_ReadMemEx", (void*)FakeReadMemEx},   {"XRELAYARM_WriteU32", (void*)FakeWriteU32},
    };
    for (const auto& e : aEntry) ASSERT_EQ(PROBE_SetEntry(e.first, e.second), 0) << e.first;
  }
  void TearDown() override {
    PROBE_ResetEntries();
    PROBE_SetLibraryPathForTest(nullptr);
    g_pFake = nullptr;
  }
  // Image of 16 bytes, Init at offset 1, ProgramPage at 5: S = 16 + 512, S' = kBP.
  Algo A{{0x4770, 0x4770, 0x4770, 0x4770, 0x4770, 0x4770, 0x4770, 0x4770}};
  RAMCodeRunner R;
  int Prepare(int DeviceFamily, bool AArch64, uint32_t CoreId = kCoreM4) {
    A.Entry(MCUDB_ENTRY_INIT, 1).Entry(MCUDB_ENTRY_PROGRAM_PAGE, 5);
    RAMCODE_Init(&R, &A.Info);
    UseHost(&R);
    RAMCODE_SetCore(&R, DeviceFamily, CoreId, AArch64);
    R.WorkRAMAddr = kRAM;
    EXPECT_GT(RAMCODE_CalcLayout(&R, 0x1000, 0, 0, nullptr, nullptr), 0);
    return RAMCODE_Download(&R, kRAM);
  }
  RAMCODE_REQUEST ProgramRequest() {
    RAMCODE_REQUEST Req{};
    Req.sActivity = "programming sector";
    Req.TimeoutMs = 1000;
    Req.Op = RAMCODE_OP_PROGRAM;
    Req.BankBase = kFlash;
    Req.Offset = 0x400;
    Req.Length = 0x100;
    return Req;
  }
};

struct FamilyCase {
  const char* sWhat;
  int DeviceFamily;
  bool AArch64;
  uint32_t CoreId;
  uint32_t BPWord;
  uint32_t PCReg;
  uint32_t ResultReg;
  std::map<uint32_t, uint64_t> Preset;   // registers before the call
  std::map<uint32_t, uint64_t> Expected; // registers the call writes (arguments included)
  const char* sTimeout;                  // with the preset and written registers
};

const uint32_t kEntry = kRAM + 5; // ProgramPage, Thumb bit kept
const uint32_t kArgs[3] = {kFlash + 0x400, 0x100, kRAM + 0x218};

std::vector<FamilyCase> FamilyCases() {
  return {
      {"ARM7 (family 0)", 7, false, 0x070001FF, 0xFEE7FEE7u, 9, 0,
       {{8, 0x2D3}, {16, 0x1616}},
       {{0, kArgs[0]}, {1, kArgs[1]}, {2, kArgs[2]}, {8, 0x23F}, {11, kRAM + 8}, {15, kBP}, {78, kBP | 1},
        {9, kEntry & ~1u}},
       "Timeout while programming sector, core does not stop. (PC = 0x20000004, CPSR = 0x0000023F, "
       "LR = 0x00001616)!"},
      {"Cortex-M4 (family 1)", 14, false, kCoreM4, 0xBE00BE00u, 15, 0,
       {},
       {{0, kArgs[0]}, {1, kArgs[1]}, {2, kArgs[2]}, {16, 0x01000000}, {9, kRAM + 8}, {13, kBP}, {14, kBP | 1},
        {15, kEntry}},
       "Timeout while programming sector, core does not stop. (PC = 0x20000005, XPSR = 0x01000000, "
       "SP = 0x20000210)!"},
      {"Cortex-M33 (family 1, stack limits)", 14, false, 0x0E0200FF, 0xBE00BE00u, 15, 0,
       {{70, 1}, {71, 2}, {72, 3}, {73, 4}},
       {{0, kArgs[0]}, {16, 0x01000000}, {15, kEntry}, {70, 0}, {71, 0}, {72, 0}, {73, 0}},
       "Timeout while programming sector, core does not stop. (PC = 0x20000005, XPSR = 0x01000000, "
       "SP = 0x20000210)!"},
      {"Cortex-R (family 5)", 12, false, 0x0C0000FF, 0xBE00BE00u, 9, 0,
       {{8, 0x2D3}, {27, 0x2727}},
       {{0, kArgs[0]}, {1, kArgs[1]}, {2, kArgs[2]}, {8, 0x27F}, {75, kRAM + 8}, {15, kBP}, {80, kBP | 1},
        {9, kEntry & ~1u}},
       "Timeout while programming sector, core does not stop. (PC = 0x20000004, CPSR = 0x0000027F, "
       "LR = 0x00000000)!"},
      {"Cortex-A (family 6)", 15, false, 0x0F0000FF, 0xBE00BE00u, 9, 0,
       {{8, 0x13}},
       {{0, kArgs[0]}, {8, 0x3F}, {75, kRAM + 8}, {15, kBP}, {80, kBP | 1}, {9, kEntry & ~1u}},
       "Timeout while programming sector, core does not stop. (PC = 0x20000004, CPSR = 0x0000003F, "
       "LR = 0x00000000)!"},
      {"RISC-V (family 9)", 19, false, 0x130000FF, 0x00100073u, 4224, 4106,
       {{768, 0xFF}, {1968, 0x10}},
       {{4106, kArgs[0]}, {4107, kArgs[1]}, {4108, kArgs[2]}, {768, 0xF4}, {1968, 0x13}, {4098, kBP},
        {4097, kBP}, {4224, kEntry}},
       "Timeout while programming sector, core does not stop. (PC = 0x20000005, X1 = 0x20000210, "
       "X2 = 0x20000210)!"},
      {"ARMv8-A in AArch64 state (family 11)", 20, true, 0x140000FF, 0xD4400000u, 33, 0,
       {{34, 0x3C5}},
       {{0, kArgs[0]}, {1, kArgs[1]}, {2, kArgs[2]}, {30, kBP}, {32, kBP}, {33, kEntry & ~1u}},
       "Timeout while programming sector, core does not stop. (PC = 0x20000004, CPSR = 0x000003C5)!"},
      {"ARMv8-A in AArch32 state (family 11)", 20, false, 0x140000FF, 0x0000BA80u, 147, 116,
       {{149, 0x1D3}},
       {{116, kArgs[0]}, {117, kArgs[1]}, {118, kArgs[2]}, {149, 0x7F}, {125, kRAM + 8}, {129, kBP},
        {130, kBP | 1}, {147, kEntry & ~1u}},
       "Timeout while programming sector, core does not stop. (PC = 0x20000004, CPSR = 0x0000007F)!"},
  };
}

TEST_F(RamcodeFake, EveryFamilySetsItsRegistersAndAcceptsOnlyPCAtTheBreakpoint) {
  for (const FamilyCase& c : FamilyCases()) {
    SCOPED_TRACE(c.sWhat);
    Fake = FakeProbe{};
    g_Errors.clear();
    Fake.Reg = c.Preset;
    Fake.PCReg = c.PCReg;
    Fake.ResultReg = c.ResultReg;
    Fake.HaltPC = kBP;
    Fake.Result = 0x55;
    ASSERT_EQ(Prepare(c.DeviceFamily, c.AArch64, c.CoreId), 0);
    ASSERT_EQ(Fake.U32.size(), 1u);
    EXPECT_EQ(Fake.U32[0], std::make_pair(kBP, c.BPWord));

    RAMCODE_REQUEST Req = ProgramRequest();
    ASSERT_EQ(RAMCODE_Call(&R, &Req), 0);
    EXPECT_EQ(Req.Result, 0x55);
    EXPECT_EQ(Fake.Run, "GoIntDis");
    EXPECT_EQ(Fake.Wrote64, c.AArch64);
    std::map<uint32_t, uint64_t> Written(Fake.Writes.begin(), Fake.Writes.end());
    for (const auto& e : c.Expected) {
      EXPECT_EQ(Written[e.first], e.second) << "register " << e.first;
    }
    EXPECT_TRUE(g_Errors.empty());

    // Stopping anywhere else, even on the breakpoint word's second half, is no return.
    Fake.HaltPC = kBP + 2;
    EXPECT_LT(RAMCODE_Call(&R, &Req), 0);
    ASSERT_EQ(g_Errors.size(), 1u);
    std::string PC = c.AArch64 ? "0x20000212" : Hex(kBP + 2);
    EXPECT_EQ(g_Errors[0].find("PC of target system has unexpected value after programming sector. (PC = " + PC +
                               ")!"),
              0u)
        << g_Errors[0];

    // A core that never stops: halted after the timeout, with the family's text.
    Fake.NeverHalts = true;
    g_Errors.clear();
    Req.TimeoutMs = 0;
    int Halts = Fake.Halts;
    EXPECT_LT(RAMCODE_Call(&R, &Req), 0);
    EXPECT_EQ(Fake.Halts, Halts + 1);
    ASSERT_EQ(g_Errors.size(), 1u);
    EXPECT_EQ(g_Errors[0], c.sTimeout);
  }
}

TEST_F(RamcodeFake, ArmCatchesTheReturnByAnEmbeddedICEWatchpoint) {
  Fake.PCReg = 9;
  Fake.HaltPC = kBP;
  ASSERT_EQ(Prepare(9, false, 0x090001FF), 0);
  RAMCODE_REQUEST Req = ProgramRequest();
  ASSERT_EQ(RAMCODE_Call(&R, &Req), 0);
  std::vector<std::pair<uint32_t, uint32_t>> Expected = {
      {19, 0xFFFFFFFF}, {17, 1},      {16, kBP}, {20, 0x100}, {21, 0xF7}, {11, 0xFFFFFFFF},
      {9, 31},          {8, 0},       {12, 0x100}, {13, 0xF7}, {12, 0},    {20, 0}};
  EXPECT_EQ(Fake.Ice, Expected);
}

TEST_F(RamcodeFake, ArmDumpsAllModesAndCortexTheShortRegisters) {
  struct Case {
    int DeviceFamily;
    uint32_t PCReg;
    std::vector<std::string> Parts;
  } aCase[] = {
      {7, 9,
       {"\n" + std::string(70, '-') + " Registers " + std::string(85, '-') + "\n",
        "    \tPC      = 20000300\n    \tCPSR = 000000F3 (SVC mode, THUMB, FIQ dis., IRQ dis.)\n",
        "SVC:\tR13 = 00002626,\tR14 = 00002727,\tSPSR = 00002525\n", std::string(172, '-') + "\n\n"}},
      {14, 15,
       {"\n" + std::string(70, '-') + " Registers " + std::string(85, '-') + "\n",
        "    \tPC   = 20000300\nCurrent:\tR0   = 00000000,\tR1   = 00000100,",
        std::string(172, '-') + "\n\n"}},
  };
  for (const Case& c : aCase) {
    Fake = FakeProbe{};
    g_Errors.clear();
    Fake.PCReg = c.PCReg;
    Fake.HaltPC = 0x20000300;
    ASSERT_EQ(Prepare(c.DeviceFamily, false, c.DeviceFamily == 7 ? 0x070001FF : kCoreM4), 0);
    // The mode bits the call leaves; the banked registers of SVC mode.
    Fake.Reg[25] = 0x2525;
    Fake.Reg[26] = 0x2626;
    Fake.Reg[27] = 0x2727;
    RAMCODE_REQUEST Req = ProgramRequest();
    // The call writes CPSR; the halt leaves SVC mode, Thumb, both interrupts off.
    Fake.ResultReg = c.DeviceFamily == 7 ? 8 : 0;
    Fake.Result = c.DeviceFamily == 7 ? 0xF3 : 0;
    EXPECT_LT(RAMCODE_Call(&R, &Req), 0);
    ASSERT_EQ(g_Errors.size(), 1u);
    for (const std::string& Part : c.Parts) {
      EXPECT_NE(g_Errors[0].find(Part), std::string::npos) << "family " << c.DeviceFamily << ": " << Part << "\n"
                                                           << g_Errors[0];
    }
  }
}

TEST_F(RamcodeFake, UnsupportedFamilyHasNoBreakpointWord) {
  for (int DeviceFamily : {2, 11, 13, 16, 17, 21}) {
    g_Errors.clear();
    EXPECT_EQ(Prepare(DeviceFamily, false), -1) << DeviceFamily;
    EXPECT_EQ(g_Errors, std::vector<std::string>{"Failed to determine code breakpoint instruction for RAMCode"});
  }
}

// Which entry an operation calls, and with what: the extended entry first, the CMSIS one else.
TEST_F(RamcodeFake, OperationsChooseTheirEntryAndArguments) {
  struct Case {
    const char* sWhat;
    uint32_t Op, Length, Value, ExtraValue;
    std::vector<std::pair<int, int32_t>> Entries; // present entries and their offsets
    int32_t CalledOffset;                           // -1: no call, result -1
    std::vector<uint32_t> Args;
    int32_t RawR0, Result;
  } aCase[] = {
      {"Program preferred", RAMCODE_OP_PROGRAM, 0x100, 0, 0,
       {{MCUDB_ENTRY_PROGRAM, 9}, {MCUDB_ENTRY_PROGRAM_PAGE, 5}}, 9, {kFlash + 0x400, 0x100, kRAM + 0x218}, 3, 3},
      {"ProgramPage where Program is absent", RAMCODE_OP_PROGRAM, 0x100, 0, 0,
       {{MCUDB_ENTRY_PROGRAM_PAGE, 5}}, 5, {kFlash + 0x400, 0x100, kRAM + 0x218}, 3, 3},
      {"neither: result -1, no call", RAMCODE_OP_PROGRAM, 0x100, 0, 0, {}, -1, {}, 0, -1},
      {"sector erase", RAMCODE_OP_ERASE, 3, 7, 0, {{MCUDB_ENTRY_ERASE_SECTOR, 5}}, 5, {kFlash + 0x400, 7, 3}, 0, 0},
      {"chip erase (length 0)", RAMCODE_OP_ERASE, 0, 7, 0,
       {{MCUDB_ENTRY_ERASE_SECTOR, 5}, {MCUDB_ENTRY_ERASE_CHIP, 9}}, 9, {}, 0, 0},
      {"extended chip erase", RAMCODE_OP_ERASE, 0, 0, 0,
       {{MCUDB_ENTRY_ERASE_CHIP_EX, 13}, {MCUDB_ENTRY_ERASE_CHIP, 9}}, 13, {}, 0, 0},
      {"blank check: value as byte", RAMCODE_OP_BLANK_CHECK, 0x100, 0xFFFFFFFF, 0, {{MCUDB_ENTRY_BLANK_CHECK, 5}}, 5,
       {kFlash + 0x400, 0x100, 0xFF}, 1, 1},
      {"CRC", RAMCODE_OP_CALC_CRC, 0x100, 0x1234, 0x99, {{MCUDB_ENTRY_CALC_CRC, 5}}, 5,
       {0x1234, kFlash + 0x400, 0x100, 0x99}, (int32_t)0xCAFEF00D, (int32_t)0xCAFEF00D},
      {"flash info", RAMCODE_OP_FLASH_INFO, 0, 0, 0, {{MCUDB_ENTRY_GET_FLASH_INFO, 5}}, 5,
       {kRAM + 0x218, kRAM + 256}, 2, 2},
      {"Init: clock and function code, 0 or -1", RAMCODE_OP_PREPARE, 0, 0, 0, {{MCUDB_ENTRY_INIT, 5}}, 5,
       {kFlash, 8000000, 2}, 7, -1},
      {"Prepare: no arguments, raw result", RAMCODE_OP_PREPARE, 0, 0, 0,
       {{MCUDB_ENTRY_PREPARE, 9}, {MCUDB_ENTRY_INIT, 5}}, 9, {0, 0, 0}, 7, 7},
      {"UnInit: function code", RAMCODE_OP_RESTORE, 0, 0, 0, {{MCUDB_ENTRY_UNINIT, 5}}, 5, {2}, 0, 0},
      {"verify", RAMCODE_OP_VERIFY, 0x100, 0, 0, {{MCUDB_ENTRY_VERIFY, 5}}, 5, {kFlash + 0x400, 0x100, kRAM + 0x218},
       0x08000500, 0x08000500},
      {"read is not a direct operation", RAMCODE_OP_READ, 0x100, 0, 0, {{MCUDB_ENTRY_READ, 5}}, -1, {}, 0, -1},
      {"operation 10", 10, 0x100, 0, 0, {{MCUDB_ENTRY_READ, 5}}, -1, {}, 0, -1},
  };
  for (const Case& c : aCase) {
    SCOPED_TRACE(c.sWhat);
    Fake = FakeProbe{};
    g_Errors.clear();
    Algo B{{0x4770, 0x4770, 0x4770, 0x4770, 0x4770, 0x4770, 0x4770, 0x4770}};
    for (const auto& e : c.Entries) B.Entry(e.first, e.second);
    RAMCODE_Init(&R, &B.Info);
    UseHost(&R);
    RAMCODE_SetCore(&R, 14, kCoreM4, false);
    R.WorkRAMAddr = kRAM;
    R.CPUClockHz = 8000000;
    R.InitCode = 2;
    ASSERT_GT(RAMCODE_CalcLayout(&R, 0x1000, 0, 0, nullptr, nullptr), 0);
    ASSERT_EQ(RAMCODE_Download(&R, kRAM), 0);
    Fake.HaltPC = kBP;
    Fake.Result = (uint32_t)c.RawR0;
    RAMCODE_REQUEST Req = ProgramRequest();
    Req.Op = c.Op;
    Req.Length = c.Length;
    Req.Value = c.Value;
    Req.ExtraValue = c.ExtraValue;
    ASSERT_EQ(RAMCODE_Call(&R, &Req), 0);
    EXPECT_EQ(Req.Result, c.Result);
    if (c.CalledOffset < 0) {
      EXPECT_TRUE(Fake.Writes.empty());
      EXPECT_EQ(Fake.Run, "");
      continue;
    }
    std::map<uint32_t, uint64_t> Written(Fake.Writes.begin(), Fake.Writes.end());
    EXPECT_EQ(Written[15], kRAM + (uint32_t)c.CalledOffset);
    std::vector<uint32_t> Args;
    for (const auto& w : Fake.Writes) {
      if (w.first < 4) Args.push_back((uint32_t)w.second);
    }
    EXPECT_EQ(Args, c.Args);
  }
}

TEST_F(RamcodeFake, InterruptsEnabledRunsWithGo) {
  Fake.HaltPC = kBP;
  ASSERT_EQ(Prepare(14, false), 0);
  R.Flags |= RAMCODE_FLAG_INT_ENABLED;
  RAMCODE_REQUEST Req = ProgramRequest();
  ASSERT_EQ(RAMCODE_Call(&R, &Req), 0);
  EXPECT_EQ(Fake.Run, "Go");
}

TEST_F(RamcodeFake, RegistersPreservedByCoreIdAndState) {
  struct Case {
    uint32_t CoreId;
    bool AArch64;
    int Count;
    bool Uses64;
  } aCase[] = {
      {kCoreM4, false, 19, false},       {0x0E0200FF, false, 29, false}, {0x070001FF, false, 21, false},
      {0x0D0000FF, false, 25, false},    {0x110000FF, false, 40, false}, {0x130000FF, false, 34, false},
      {0x140000FF, true, 48, true},      {0x140000FF, false, 48, false}, {0x150000FF, false, 40, false},
      {0x100000FF, false, RAMCODE_REGS_NOT_SUPPORTED, false},
  };
  for (const Case& c : aCase) {
    Fake = FakeProbe{};
    const uint32_t* pa = nullptr;
    int n = RAMCODE_GetPreservedRegs(c.CoreId, &pa);
    for (int i = 0; i < n; i++) Fake.Reg[pa[i]] = 0x100000000ull * c.AArch64 + 1000 + pa[i];
    uint64_t aCache[RAMCODE_MAX_PRESERVED_REGS] = {};
    EXPECT_EQ(RAMCODE_SaveRegs(c.CoreId, c.AArch64, aCache, RAMCODE_MAX_PRESERVED_REGS), c.Count) << Hex(c.CoreId);
    if (c.Count < 0) continue;
    for (auto& r : Fake.Reg) r.second = 0;
    EXPECT_EQ(RAMCODE_RestoreRegs(c.CoreId, c.AArch64, aCache, RAMCODE_MAX_PRESERVED_REGS), c.Count);
    EXPECT_EQ(Fake.Wrote64, c.Uses64) << Hex(c.CoreId);
    for (int i = 0; i < n; i++) {
      uint64_t Want = c.Uses64 ? 0x100000000ull + 1000 + pa[i] : 1000 + pa[i];
      EXPECT_EQ(Fake.Reg[pa[i]], Want) << Hex(c.CoreId) << " register " << pa[i];
    }
  }
  uint64_t aSmall[8];
  EXPECT_EQ(RAMCODE_SaveRegs(kCoreM4, false, aSmall, 8), RAMCODE_REGS_CACHE_FULL);
}

TEST_F(RamcodeFake, ReadBackMismatchNamesTheAddressAndTwoWords) {
  ASSERT_EQ(Prepare(14, false), 0);
  // Byte 6 reads back changed: the words at offsets 4 and 8 are shown.
  for (int i = 0; i < 16; i++) A.Image[i] = (uint8_t)(0x10 + i);
  R.pfReadMem = [](uint32_t Addr, uint32_t NumBytes, void* pData) {
    int n = FakeReadMemEx(Addr, NumBytes, pData, 0);
    static_cast<uint8_t*>(pData)[6] ^= 0xFF;
    return n;
  };
  g_Errors.clear();
  EXPECT_EQ(RAMCODE_Download(&R, kRAM), -1);
  EXPECT_EQ(g_Errors, std::vector<std::string>{"Verification of RAMCode failed @ address 0x20000004.\n"
                                               "Write: 0x17161514 1B1A1918\nRead: 0x17E91514 1B1A1918"});
  EXPECT_FALSE(R.IsDownloaded);
  RAMCODE_REQUEST Req = ProgramRequest();
  EXPECT_LT(RAMCODE_Call(&R, &Req), 0);
}

} // namespace
