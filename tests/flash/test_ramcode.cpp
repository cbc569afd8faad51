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
#include <unistd.h>
#include <string>
#include <utility>
#include <vector>

#include "data/CRC32.h"
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
  int Runs = 0;
  // A Start entry of its own: a posted command block is done after BusyPolls status reads;
  // its result is 0x100 + the operation; a read (op 5) fills the buffer with (offset + i).
  std::map<uint32_t, int> Posted; // block address -> status reads left
  std::vector<std::vector<uint32_t>> Posts;
  std::vector<std::pair<uint32_t, uint32_t>> BlockWrites; // address and size of writes to the blocks
  int BusyPolls = 2;
  bool NeverDone = false;
  uint32_t FirstBlock = 0; // block 0; block 1 lies 56 bytes after it
  bool ReadOnHalt = false;  // a halt fills r1 bytes at r2 with (r0 + i), as a Read entry would
};
FakeProbe* g_pFake;

uint32_t MemWord(uint32_t a) {
  uint32_t v = 0;
  for (int i = 0; i < 4; i++) v |= (uint32_t)g_pFake->Mem[a + i] << (8 * i);
  return v;
}
void SetMemWord(uint32_t a, uint32_t v) {
  for (int i = 0; i < 4; i++) g_pFake->Mem[a + i] = (uint8_t)(v >> (8 * i));
}
bool IsBlock(uint32_t a) {
  return g_pFake->FirstBlock && a >= g_pFake->FirstBlock && a < g_pFake->FirstBlock + 56 + 48;
}
void FakeServe(uint32_t StatusAddr) {
  uint32_t Block = StatusAddr - 40;
  auto it = g_pFake->Posted.find(Block);
  if (it == g_pFake->Posted.end() || g_pFake->NeverDone) return;
  SetMemWord(StatusAddr, RAMCODE_STATUS_BUSY);
  if (it->second-- > 0) return;
  uint32_t Op = MemWord(Block + 44);
  if (Op == RAMCODE_OP_READ) {
    uint32_t Buffer = MemWord(Block), Offset = MemWord(Block + 12), Length = MemWord(Block + 16);
    for (uint32_t i = 0; i < Length; i++) g_pFake->Mem[Buffer + i] = (uint8_t)(Offset + i);
  }
  SetMemWord(Block + 44, 0);
  SetMemWord(StatusAddr, 0x100 + Op);
  g_pFake->Posted.erase(it);
}

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
  g_pFake->Runs++;
  g_pFake->Run = "Go";
  g_pFake->Halted = false;
  return 0;
}
int FakeGoIntDis() {
  g_pFake->Runs++;
  g_pFake->Run = "GoIntDis";
  g_pFake->Halted = false;
  return 0;
}
int FakeIsHalted() {
  if (!g_pFake->Halted && !g_pFake->NeverHalts) {
    g_pFake->Halted = true;
    if (g_pFake->ReadOnHalt) {
      for (uint32_t i = 0; i < g_pFake->Reg[1]; i++) g_pFake->Mem[g_pFake->Reg[2] + i] = (uint8_t)(g_pFake->Reg[0] + i);
    }
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
  if (IsBlock(a)) {
    g_pFake->BlockWrites.push_back({a, n});
    if (n == RAMCODE_BLOCK_SIZE && MemWord(a + 44) != 0) {
      g_pFake->Posted[a] = g_pFake->BusyPolls;
      std::vector<uint32_t> Words;
      for (uint32_t i = 0; i < 12; i++) Words.push_back(MemWord(a + 4 * i));
      g_pFake->Posts.push_back(Words);
    }
  }
  return (int)n;
}
int FakeReadMemEx(uint32_t a, uint32_t n, void* p, uint32_t) {
  if (IsBlock(a)) FakeServe(a);
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

// The whole text of a return elsewhere: ARM cores dump every mode's registers, the others R0-R7.
TEST_F(RamcodeFake, UnexpectedPCAppendsTheFamilysRegisterDump) {
  const std::string Head = "PC of target system has unexpected value after programming sector. (PC = 0x20000300)!\n" +
                           std::string(70, '-') + " Registers " + std::string(85, '-') + "\n";
  const std::string Tail = std::string(172, '-') + "\n\n";
  const std::string Zero3 = "R13 = 00000000,\tR14 = 00000000,\tSPSR = 00000000\n";
  const std::string ShortBody = "    \tPC   = 20000300\nCurrent:\tR0   = 00000000,\tR1   = 00000100,\tR2   = 20000218,"
                                "\tR3   = 00000000\n    \tR4   = 00000000,\tR5   = 00000000,\tR6   = 00000000,"
                                "\tR7   = 00000000\n";
  struct Case {
    int DeviceFamily;
    uint32_t CoreId;
    uint32_t PCReg;
    std::string Text;
  } aCase[] = {
      {7, 0x070001FF, 9,
       Head + "    \tPC      = 20000300\n    \tCPSR = 000000F3 (SVC mode, THUMB, FIQ dis., IRQ dis.)\n\n"
              "Current:\tR0   = 08000400,\tR1   = 00000100,\tR2   = 20000218,\tR3   = 00000000\n"
              "    \tR4   = 00000000,\tR5   = 00000000,\tR6   = 00000000,\tR7   = 00000000\n"
              "USR:\tR8   = 00000000,\tR9   = 20000008,\tR10 = 00000000,\tR11 = 00000000,\tR12 = 00000000\n"
              "    \tR13 = 20000210,\tR14 = 00000000\n"
              "FIQ:\tR8   = 00000000,\tR9   = 00000000,\tR10 = 00000000,\tR11 = 00000000,\tR12 = 00000000\n"
              "    \tR13 = 00000000,\tR14 = 00000000,\tSPSR = 00000000\n"
              "SVC:\tR13 = 00002626,\tR14 = 00002727,\tSPSR = 00002525\n"
              "ABT:\t" + Zero3 + "IRQ:\t" + Zero3 + "UND:\t" + Zero3 + Tail},
      {14, kCoreM4, 15, Head + ShortBody + Tail},
      // The short dump shows the PC of the family, not register 15 (the stack pointer here).
      {12, 0x0C0000FF, 9, Head + ShortBody + Tail},
  };
  for (const Case& c : aCase) {
    SCOPED_TRACE(c.DeviceFamily);
    Fake = FakeProbe{};
    g_Errors.clear();
    Fake.PCReg = c.PCReg;
    Fake.HaltPC = 0x20000300;
    ASSERT_EQ(Prepare(c.DeviceFamily, false, c.CoreId), 0);
    Fake.Reg[25] = 0x2525; // SPSR, R13 and R14 of SVC mode
    Fake.Reg[26] = 0x2626;
    Fake.Reg[27] = 0x2727;
    // The Cortex cores return R0 = 0; an ARM core keeps its R0 and halts in SVC mode, Thumb
    // state, both interrupts off.
    Fake.ResultReg = c.DeviceFamily == 7 ? 8 : 0;
    Fake.Result = c.DeviceFamily == 7 ? 0xF3 : 0;
    RAMCODE_REQUEST Req = ProgramRequest();
    EXPECT_LT(RAMCODE_Call(&R, &Req), 0);
    EXPECT_EQ(g_Errors, std::vector<std::string>{c.Text});
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

TEST_F(RamcodeFake, ReadFlashInDirectMode) {
  struct Case {
    const char* sWhat;
    bool ReadEntry;
    bool Callback;
    int32_t R0;
    int Result;
    const char* sError;
    int Calls;
  } aCase[] = {
      {"through the Read entry in chunks of B", true, true, 0, 0, nullptr, 3},
      {"the Read entry fails", true, true, -2, -1, "Failed to read flash @ 0x08000100 (error code = -2).", 1},
      {"no Read entry: read directly", false, true, 0, 0, nullptr, 0},
      {"no read function", true, false, 0, -1, "Read call back not set", 0},
  };
  for (const Case& c : aCase) {
    SCOPED_TRACE(c.sWhat);
    Fake = FakeProbe{};
    g_Errors.clear();
    Fake.HaltPC = kBP;
    Fake.ReadOnHalt = true;
    Fake.Result = (uint32_t)c.R0;
    if (c.ReadEntry) A.Entry(MCUDB_ENTRY_READ, 9);
    ASSERT_EQ(Prepare(14, false), 0);
    if (!c.Callback) R.pfReadMem = nullptr;
    for (uint32_t i = 0; i < 600; i++) Fake.Mem[kFlash + 0x100 + i] = (uint8_t)(kFlash + 0x100 + i);
    std::vector<uint8_t> Out(600, 0xEE);
    EXPECT_EQ(RAMCODE_ReadFlash(&R, 5000, 0, kFlash + 0x100, 600, Out.data()), c.Result);
    if (c.sError) {
      EXPECT_EQ(g_Errors, std::vector<std::string>{c.sError});
    } else {
      EXPECT_TRUE(g_Errors.empty());
      for (uint32_t i = 0; i < Out.size(); i++) ASSERT_EQ(Out[i], (uint8_t)(kFlash + 0x100 + i)) << i;
    }
    // Every call a run of the Read entry with the chunk's address, its length and buffer 0.
    std::vector<std::vector<uint32_t>> Args, Want;
    for (size_t i = 0; i + 2 < Fake.Writes.size(); i++) {
      if (Fake.Writes[i].first == 0 && Fake.Writes[i + 1].first == 1 && Fake.Writes[i + 2].first == 2) {
        Args.push_back({(uint32_t)Fake.Writes[i].second, (uint32_t)Fake.Writes[i + 1].second,
                        (uint32_t)Fake.Writes[i + 2].second});
      }
    }
    uint32_t aLength[3] = {256, 256, 88};
    for (int i = 0; i < c.Calls; i++) Want.push_back({kFlash + 0x100 + 256u * i, aLength[i], kRAM + 0x218});
    EXPECT_EQ(Args, Want);
    EXPECT_EQ(RAMCODE_ReadFlash(&R, 5000, 0, kFlash, 0, Out.data()), 0); // nothing to read
    A.Entry(MCUDB_ENTRY_READ, -1);
  }
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

// Background mode against a fake Start entry: layout of a Start algorithm with 4 KB to program,
// page 256: B = 1024, buffers at S' + 8 and S' + 8 + B, blocks at S' + 2B + 8 and 56 bytes on.
class RamcodeBackground : public RamcodeFake {
protected:
  static constexpr uint32_t kBuffer0 = kBP + 8, kBuffer1 = kBP + 8 + 1024;
  static constexpr uint32_t kBlock0 = kBP + 2048 + 8, kBlock1 = kBlock0 + 56;
  Algo S{{0x4770, 0x4770, 0x4770, 0x4770, 0x4770, 0x4770, 0x4770, 0x4770}};
  void SetUp() override {
    RamcodeFake::SetUp();
    Fake.NeverHalts = true;
    Fake.FirstBlock = kBlock0;
    S.Entry(MCUDB_ENTRY_START, 9).Entry(MCUDB_ENTRY_PROGRAM_PAGE, 5).Entry(MCUDB_ENTRY_READ, 13);
    RAMCODE_Init(&R, &S.Info);
    UseHost(&R);
    RAMCODE_SetCore(&R, 14, kCoreM4, false);
    ASSERT_TRUE(R.IsBackground);
    R.WorkRAMAddr = kRAM;
    uint32_t Buffer = 0, B = 0;
    ASSERT_EQ(RAMCODE_CalcLayout(&R, 0x1000, 0x1000, 0, &Buffer, &B), 528 + 120 + 2048);
    ASSERT_EQ(Buffer, kBuffer0);
    ASSERT_EQ(B, 1024u);
    ASSERT_EQ(RAMCODE_GetBlockAddr(&R, 0), kBlock0);
    ASSERT_EQ(RAMCODE_GetBlockAddr(&R, 1), kBlock1);
    ASSERT_EQ(RAMCODE_Download(&R, kRAM), 0);
  }
  RAMCODE_REQUEST Program(uint32_t Offset, const std::vector<uint8_t>& Data) {
    RAMCODE_REQUEST Req = ProgramRequest();
    Req.Offset = Offset;
    Req.Length = (uint32_t)Data.size();
    Req.pInData = Data.data();
    Req.NumBytesIn = (uint32_t)Data.size();
    Req.Value = 0x11;
    Req.ExtraValue = 0x22;
    Req.Aux = 0x33;
    return Req;
  }
  std::vector<uint8_t> Mem(uint32_t a, uint32_t n) {
    std::vector<uint8_t> v;
    for (uint32_t i = 0; i < n; i++) v.push_back(Fake.Mem[a + i]);
    return v;
  }
};

TEST_F(RamcodeBackground, RequestsAlternateTheBlocksEachPostedInOneWrite) {
  std::vector<uint8_t> aData[3] = {std::vector<uint8_t>(1024, 0xA1), std::vector<uint8_t>(1024, 0xB2),
                                   std::vector<uint8_t>(512, 0xC3)};
  for (int i = 0; i < 3; i++) {
    RAMCODE_REQUEST Req = Program(0x400 * i, aData[i]);
    EXPECT_EQ(RAMCODE_Call(&R, &Req), i & 1) << i;
    // The data is in the slot's buffer when the call returns.
    EXPECT_EQ(Mem((i & 1) ? kBuffer1 : kBuffer0, (uint32_t)aData[i].size()), aData[i]) << i;
  }
  ASSERT_EQ(RAMCODE_Sync(&R), 0);
  EXPECT_TRUE(g_Errors.empty());

  // Started once: r0 = block 0, the Start entry, the stack below S'.
  EXPECT_EQ(Fake.Runs, 1);
  std::map<uint32_t, uint64_t> Written(Fake.Writes.begin(), Fake.Writes.end());
  EXPECT_EQ(Written[0], kBlock0);
  EXPECT_EQ(Written[15], kRAM + 9);
  EXPECT_EQ(Written[13], kBP);
  EXPECT_EQ(Written[14], kBP | 1);

  // Before the start both blocks idle (status posted, no operation); then one 48-byte write each.
  std::vector<std::pair<uint32_t, uint32_t>> Writes = {
      {kBlock0 + 40, 8}, {kBlock1 + 40, 8}, {kBlock0, 48}, {kBlock1, 48}, {kBlock0, 48}};
  EXPECT_EQ(Fake.BlockWrites, Writes);
  std::vector<std::vector<uint32_t>> Posts = {
      {kBuffer0, 1024, kFlash, 0x000, 1024, 0x11, 0x22, 0x33, kBlock0 + 40, kBlock1, RAMCODE_STATUS_POSTED, 6},
      {kBuffer1, 1024, kFlash, 0x400, 1024, 0x11, 0x22, 0x33, kBlock1 + 40, kBlock0, RAMCODE_STATUS_POSTED, 6},
      {kBuffer0, 1024, kFlash, 0x800, 512, 0x11, 0x22, 0x33, kBlock0 + 40, kBlock1, RAMCODE_STATUS_POSTED, 6},
  };
  EXPECT_EQ(Fake.Posts, Posts);
  int32_t Result = 0;
  EXPECT_EQ(RAMCODE_GetResult(&R, 0, &Result), 0);
  EXPECT_EQ(Result, 0x106);
  EXPECT_EQ(RAMCODE_GetResult(&R, 1, &Result), 0);
  EXPECT_EQ(Result, 0x106);
}

TEST_F(RamcodeBackground, ReadFlashPostsReadsInChunksOfTheBuffer) {
  std::vector<uint8_t> Out(2500, 0xEE);
  ASSERT_EQ(RAMCODE_ReadFlash(&R, 5000, 0, kFlash + 0x100, (uint32_t)Out.size(), Out.data()), 0);
  ASSERT_EQ(Fake.Posts.size(), 3u);
  uint32_t aLength[3] = {1024, 1024, 452};
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(Fake.Posts[i][RAMCODE_BLOCK_OP], (uint32_t)RAMCODE_OP_READ);
    EXPECT_EQ(Fake.Posts[i][RAMCODE_BLOCK_BANK_BASE] + Fake.Posts[i][RAMCODE_BLOCK_OFFSET], kFlash + 0x100 + 1024 * i);
    EXPECT_EQ(Fake.Posts[i][RAMCODE_BLOCK_LENGTH], aLength[i]);
  }
  for (uint32_t i = 0; i < Out.size(); i++) {
    ASSERT_EQ(Out[i], (uint8_t)(kFlash + 0x100 + i)) << i;
  }
}

TEST_F(RamcodeBackground, ReadBufferWaitsForItsSlot) {
  RAMCODE_REQUEST Req = ProgramRequest();
  Req.Op = RAMCODE_OP_READ;
  Req.Offset = 0x40;
  Req.Length = 16;
  ASSERT_EQ(RAMCODE_Call(&R, &Req), 0);
  uint8_t a[4];
  EXPECT_EQ(RAMCODE_ReadBuffer(&R, 0, 2, 4, a), 4);
  EXPECT_EQ(a[0], (uint8_t)0x42);
  EXPECT_EQ(a[3], (uint8_t)0x45);
}

TEST_F(RamcodeBackground, TimeoutAbortAndAStoppedStartDropEverythingPending) {
  struct Case {
    const char* sWhat;
    bool NeverDone;
    int AbortAfter;
    uint32_t HaltPC;   // where the core stops; 0: it runs on
    const char* sText; // null: no text
  } aCase[] = {
      {"timeout", true, -1, 0, "Timeout while programming sector, RAMCode did not respond in time!"},
      {"abort", true, 1, 0, nullptr},
      {"the Start entry stopped", false, -1, 0x20000300,
       "PC of target system has unexpected value after programming sector. (PC = 0x20000300)!"},
      {"the Start entry returned", false, -1, kBP,
       "RAMCode returned while programming sector instead of serving requests."},
  };
  for (const Case& c : aCase) {
    SCOPED_TRACE(c.sWhat);
    g_Errors.clear();
    Fake.NeverDone = c.NeverDone;
    Fake.BusyPolls = 1000000;
    g_AbortAfterPolls = c.AbortAfter;
    g_Polls = 0;
    std::vector<uint8_t> Data(256, 0x5A);
    RAMCODE_REQUEST Req = Program(0, Data);
    Req.TimeoutMs = c.sText && !c.HaltPC ? 0 : 60000;
    int Runs = Fake.Runs, Halts = Fake.Halts;
    ASSERT_EQ(RAMCODE_Call(&R, &Req), 0);
    ASSERT_EQ(RAMCODE_Call(&R, &Req), 1);
    EXPECT_EQ(Fake.Runs, Runs + 1);
    if (c.HaltPC) {
      Fake.NeverHalts = false;
      Fake.HaltPC = c.HaltPC;
    }
    EXPECT_EQ(RAMCODE_Sync(&R), -1);
    if (c.sText) {
      ASSERT_EQ(g_Errors.size(), 1u);
      EXPECT_EQ(g_Errors[0].rfind(c.sText, 0), 0u) << g_Errors[0];
    } else {
      EXPECT_TRUE(g_Errors.empty());
    }
    EXPECT_TRUE(Fake.Halted);
    EXPECT_GE(Fake.Halts, Halts + (c.HaltPC ? 0 : 1));
    EXPECT_FALSE(R.IsRunning);
    int32_t Result;
    EXPECT_EQ(RAMCODE_GetResult(&R, 0, &Result), -1);
    EXPECT_EQ(RAMCODE_GetResult(&R, 1, &Result), -1);

    // The next request starts the RAMCode afresh, in slot 0.
    g_AbortAfterPolls = -1;
    Fake.NeverDone = false;
    Fake.NeverHalts = true;
    Fake.BusyPolls = 1;
    Fake.Posted.clear();
    g_Errors.clear();
    Req.TimeoutMs = 5000;
    EXPECT_EQ(RAMCODE_Call(&R, &Req), 0);
    EXPECT_EQ(Fake.Runs, Runs + 2);
    EXPECT_EQ(RAMCODE_Sync(&R), 0);
    EXPECT_TRUE(g_Errors.empty());
    RAMCODE_Stop(&R);
  }
}

TEST_F(RamcodeBackground, DownloadStopsARunningStartEntryFirst) {
  std::vector<uint8_t> Data(256, 0x5A);
  RAMCODE_REQUEST Req = Program(0, Data);
  ASSERT_EQ(RAMCODE_Call(&R, &Req), 0);
  ASSERT_EQ(RAMCODE_Sync(&R), 0);
  ASSERT_TRUE(R.IsRunning);
  int Halts = Fake.Halts;
  ASSERT_EQ(RAMCODE_Download(&R, kRAM), 0);
  EXPECT_EQ(Fake.Halts, Halts + 1);
  EXPECT_FALSE(R.IsRunning);
  ASSERT_EQ(RAMCODE_Call(&R, &Req), 0);
  EXPECT_EQ(Fake.Runs, 2);
}

// ---------------------------------------------------------------------------------------------
// On the simulated AT32F425

class RamcodeSim : public ::testing::Test {
protected:
  std::string Dir;
  RAMCodeRunner R;
  void SetUp() override {
    char ac[] = "/tmp/tforge-ramcode-XXXXXX";
    ASSERT_NE(mkdtemp(ac), nullptr);
    Dir = ac;
    setenv("XRELAY_SIM_DIR", (Dir + "/sim").c_str(), 1);
    WriteAll(Dir + "/sim.ini", "[Probe]\nSerialNumber = 123456\nVTarget = 3300\nDevice = AT32F425C8T7\n");
    setenv("XRELAY_SIM_CONFIG", (Dir + "/sim.ini").c_str(), 1);
    g_Errors.clear();
    g_AbortAfterPolls = -1;
    g_Polls = 0;
    PROBE_ResetEntries();
    PROBE_SetLibraryPathForTest(TFORGE_PROGRAM_DIR "libxrelayarm.so");
    const char* sError = XRELAYARM_OpenEx(nullptr, nullptr);
    ASSERT_EQ(sError, nullptr) << sError;
    ASSERT_EQ(XRELAYARM_TIF_Select(XRELAYARM_TIF_SWD), 0);
    ASSERT_EQ(XRELAYARM_SetSpeed(4000), 0);
    ASSERT_EQ(XRELAYARM_Connect(), 0);
    ASSERT_EQ(XRELAYARM_Halt(), 0);
  }
  void TearDown() override {
    XRELAYARM_Close();
    PROBE_ResetEntries();
    PROBE_Unload();
    unsetenv("XRELAY_SIM_CONFIG");
    unsetenv("XRELAY_SIM_DIR");
    std::system(("rm -rf '" + Dir + "'").c_str());
  }
  // Lays out RAMSize bytes at the start of SRAM and downloads.
  void Use(const CMSISInfo* pInfo, uint32_t RAMSize = 0x1000, uint32_t NumBytesToProgram = 0) {
    RAMCODE_Init(&R, pInfo);
    UseHost(&R);
    RAMCODE_SetCore(&R, XRELAYARM_GetDeviceFamily(), kCoreM4, false);
    R.WorkRAMAddr = kRAM;
    R.CPUClockHz = 8000000;
    ASSERT_GT(RAMCODE_CalcLayout(&R, RAMSize, NumBytesToProgram, 0, nullptr, nullptr), 0);
    ASSERT_EQ(RAMCODE_Download(&R, kRAM), 0) << (g_Errors.empty() ? "" : g_Errors[0]);
  }
  RAMCODE_REQUEST Request(uint32_t Op, const char* sActivity, uint32_t Offset = 0, uint32_t Length = 0) {
    RAMCODE_REQUEST Req{};
    Req.sActivity = sActivity;
    Req.TimeoutMs = 5000;
    Req.Op = Op;
    Req.BankBase = kFlash;
    Req.Offset = Offset;
    Req.Length = Length;
    return Req;
  }
  int32_t Run(RAMCODE_REQUEST Req) {
    EXPECT_EQ(RAMCODE_Call(&R, &Req), 0) << (g_Errors.empty() ? "" : g_Errors[0]);
    return Req.Result;
  }
  std::vector<uint8_t> ReadTarget(uint32_t Addr, uint32_t NumBytes) {
    std::vector<uint8_t> a(NumBytes);
    EXPECT_EQ(XRELAYARM_ReadMemEx(Addr, NumBytes, a.data(), 0), (int)NumBytes);
    return a;
  }
};

struct ShippedAlgo {
  CMSISInfo Info{};
  explicit ShippedAlgo(const char* sFile) {
    std::string Path = std::string(TFORGE_PROGRAM_DIR) + sFile;
    EXPECT_EQ(MCUDB_ParseCMSISAlgo(MCUDB_LOADER_KIND_CMSIS_FILE, nullptr, 0, Path.c_str(), nullptr, nullptr, &Info, 0), 0)
        << Path;
  }
  ~ShippedAlgo() { MCUDB_FreeCMSISInfo(&Info); }
};

// The shipped algorithm has Init, UnInit, EraseSector and ProgramPage only: programming goes
// through ProgramPage, with the full stack and with the short one.
TEST_F(RamcodeSim, ShippedAlgorithmErasesAndProgramsThroughProgramPage) {
  ShippedAlgo A("flm_main_64k.flm");
  ASSERT_LT(A.Info.aEntryOffset[MCUDB_ENTRY_PROGRAM], 0);
  ASSERT_GE(A.Info.aEntryOffset[MCUDB_ENTRY_PROGRAM_PAGE], 0);
  uint32_t I = (A.Info.ImageSize + 7) & ~7u;
  struct Case {
    uint32_t RAM;
    uint32_t Stack;
  } aCase[] = {{0x1000, 512}, {I + 512 + 8 + A.Info.PageSize - 4, 256}};
  std::vector<uint8_t> Data(A.Info.PageSize);
  for (const Case& c : aCase) {
    SCOPED_TRACE(c.RAM);
    for (size_t i = 0; i < Data.size(); i++) Data[i] = (uint8_t)(i * 7 + c.Stack);
    Use(&A.Info, c.RAM);
    EXPECT_EQ(R.Layout.StackSize, c.Stack);
    EXPECT_EQ(R.Layout.BufferSize, A.Info.PageSize);
    R.InitCode = 1;
    EXPECT_EQ(Run(Request(RAMCODE_OP_PREPARE, "preparing target")), 0);
    EXPECT_EQ(Run(Request(RAMCODE_OP_ERASE, "erasing sectors", 0x400, 1)), 0);
    EXPECT_EQ(Run(Request(RAMCODE_OP_RESTORE, "restoring target")), 0);
    R.InitCode = 2;
    EXPECT_EQ(Run(Request(RAMCODE_OP_PREPARE, "preparing target")), 0);
    RAMCODE_REQUEST Req = Request(RAMCODE_OP_PROGRAM, "programming sector", 0x400, A.Info.PageSize);
    Req.pInData = Data.data();
    Req.NumBytesIn = A.Info.PageSize;
    EXPECT_EQ(Run(Req), 0);
    EXPECT_EQ(Run(Request(RAMCODE_OP_RESTORE, "restoring target")), 0);
    EXPECT_EQ(ReadTarget(kFlash + 0x400, A.Info.PageSize), Data);
    // Without a Read entry the flash is read directly.
    std::vector<uint8_t> Back(A.Info.PageSize);
    EXPECT_EQ(RAMCODE_ReadFlash(&R, 5000, 0, kFlash + 0x400, A.Info.PageSize, Back.data()), 0);
    EXPECT_EQ(Back, Data);
    EXPECT_TRUE(g_Errors.empty()) << g_Errors[0];
  }
}

// Snippets of hand-assembled Thumb code at offset 4 (ProgramPage); offset 0 holds a good
// BlankCheck that answers 5. Each misbehaviour gives its text (or its result), leaves the core
// halted, the saved registers and RAM can be written back, and the next call works.
TEST_F(RamcodeSim, MisbehavingAlgorithmLeavesTheTargetUsable) {
  const uint32_t BP = kRAM + 16 + 512;
  struct Case {
    const char* sWhat;
    std::vector<uint16_t> Code;
    const char* sText; // beginning of the one error text; null: the call succeeds
    int32_t Result;
  } aCase[] = {
      {"never returns", {0xE7FE}, "Timeout while programming sector, core does not stop. (PC = 0x20000004, XPSR = ", 0},
      {"faults on a bus access", {0x2160, 0x0609, 0x6808},
       "PC of target system has unexpected value after programming sector. (PC = ", 0},
      {"returns through a corrupted stack", {0x2060, 0x0600, 0x4685, 0xBD00},
       "PC of target system has unexpected value after programming sector. (PC = ", 0},
      {"returns to the breakpoint's second half", {0x4673, 0x3302, 0x4718},
       "PC of target system has unexpected value after programming sector. (PC = 0x20000212)!", 0},
      {"returns an error code", {0x2001, 0x4770}, nullptr, 1},
  };
  for (const Case& c : aCase) {
    SCOPED_TRACE(c.sWhat);
    g_Errors.clear();
    std::vector<uint16_t> Code = {0x2005, 0x4770};
    Code.insert(Code.end(), c.Code.begin(), c.Code.end());
    Code.resize(8, 0);
    Algo A(Code);
    A.Entry(MCUDB_ENTRY_BLANK_CHECK, 1).Entry(MCUDB_ENTRY_PROGRAM_PAGE, 5);
    Use(&A.Info);
    ASSERT_EQ(RAMCODE_GetBPAddr(&R), BP);

    uint64_t aSaved[RAMCODE_MAX_PRESERVED_REGS];
    int NumRegs = RAMCODE_SaveRegs(kCoreM4, false, aSaved, RAMCODE_MAX_PRESERVED_REGS);
    ASSERT_GT(NumRegs, 0);
    ASSERT_EQ(XRELAYARM_WA_AddRange(kRAM, R.Layout.RAMUsage), 0);
    std::vector<uint8_t> RAM = ReadTarget(kRAM, R.Layout.RAMUsage);

    RAMCODE_REQUEST Req = Request(RAMCODE_OP_PROGRAM, "programming sector", 0x400, 4);
    Req.TimeoutMs = 50;
    int r = RAMCODE_Call(&R, &Req);
    if (c.sText) {
      EXPECT_LT(r, 0);
      ASSERT_EQ(g_Errors.size(), 1u);
      EXPECT_EQ(g_Errors[0].rfind(c.sText, 0), 0u) << g_Errors[0];
    } else {
      EXPECT_EQ(r, 0);
      EXPECT_EQ(Req.Result, c.Result);
      EXPECT_TRUE(g_Errors.empty());
    }
    EXPECT_EQ(XRELAYARM_IsHalted(), 1);

    ASSERT_EQ(XRELAYARM_WA_Restore(), 0);
    EXPECT_EQ(RAMCODE_RestoreRegs(kCoreM4, false, aSaved, RAMCODE_MAX_PRESERVED_REGS), NumRegs);
    uint64_t aNow[RAMCODE_MAX_PRESERVED_REGS];
    ASSERT_EQ(RAMCODE_SaveRegs(kCoreM4, false, aNow, RAMCODE_MAX_PRESERVED_REGS), NumRegs);
    EXPECT_EQ(std::vector<uint64_t>(aNow, aNow + NumRegs), std::vector<uint64_t>(aSaved, aSaved + NumRegs));
    EXPECT_EQ(ReadTarget(kRAM, R.Layout.RAMUsage), RAM);

    g_Errors.clear();
    EXPECT_EQ(Run(Request(RAMCODE_OP_BLANK_CHECK, "blank checking", 0, 4)), 5);
    EXPECT_TRUE(g_Errors.empty());
  }
}

TEST_F(RamcodeSim, AbortDuringACallHaltsWithoutATimeoutText) {
  Algo A({0x2005, 0x4770, 0xE7FE, 0});
  A.Entry(MCUDB_ENTRY_BLANK_CHECK, 1).Entry(MCUDB_ENTRY_PROGRAM_PAGE, 5);
  Use(&A.Info);
  g_AbortAfterPolls = 3;
  RAMCODE_REQUEST Req = Request(RAMCODE_OP_PROGRAM, "programming sector", 0, 4);
  Req.TimeoutMs = 60000;
  EXPECT_LT(RAMCODE_Call(&R, &Req), 0);
  EXPECT_TRUE(g_Errors.empty()) << g_Errors[0];
  EXPECT_EQ(XRELAYARM_IsHalted(), 1);
  g_AbortAfterPolls = -1;
  EXPECT_EQ(Run(Request(RAMCODE_OP_BLANK_CHECK, "blank checking", 0, 4)), 5);
}

// The whole 64 KB main flash, erased, programmed and read back: the shipped algorithm in direct
// mode (one sector and one page a call) and the extended one in background mode (one erase
// request, buffers of B, verify and CRC on the target, reads through its Read entry).
TEST_F(RamcodeSim, DirectAndBackgroundModeProgramTheSame64KB) {
  const uint32_t Size = 0x10000, Sector = 0x400;
  std::vector<uint8_t> Data(Size);
  for (uint32_t i = 0; i < Size; i++) Data[i] = (uint8_t)((i * 131u) ^ (i >> 8));
  Data[0x2345] = 0xFF; // a few erased-looking bytes in between
  struct Case {
    const char* sFile;
    bool Background;
  } aCase[] = {{"flm_main_64k.flm", false}, {"flm_main_64k_ext.flm", true}};
  for (const Case& c : aCase) {
    SCOPED_TRACE(c.sFile);
    g_Errors.clear();
    ShippedAlgo A(c.sFile);
    Use(&A.Info, 0x4000, Size);
    ASSERT_EQ((bool)R.IsBackground, c.Background);
    uint32_t B = R.Layout.BufferSize;
    auto Post = [&](RAMCODE_REQUEST Req) {
      int Slot = RAMCODE_Call(&R, &Req);
      EXPECT_GE(Slot, 0) << (g_Errors.empty() ? "" : g_Errors[0]);
      if (!c.Background) {
        EXPECT_EQ(Req.Result, 0) << Req.sActivity << " @ " << Hex(Req.Offset);
      }
      return Slot;
    };
    R.InitCode = 1;
    Post(Request(RAMCODE_OP_PREPARE, "preparing target"));
    if (c.Background) {
      Post(Request(RAMCODE_OP_ERASE, "erasing sectors", 0, Size / Sector));
    } else {
      for (uint32_t Off = 0; Off < Size; Off += Sector) {
        RAMCODE_REQUEST Req = Request(RAMCODE_OP_ERASE, "erasing sectors", Off, 1);
        Req.Value = Off / Sector;
        Post(Req);
      }
    }
    for (uint32_t Off = 0; Off < Size; Off += B) {
      RAMCODE_REQUEST Req = Request(RAMCODE_OP_PROGRAM, "programming sector", Off, B);
      Req.pInData = &Data[Off];
      Req.NumBytesIn = B;
      // In background mode the result comes with the slot: checked after the call.
      Req.pfAfter = [](RAMCodeRunner*, RAMCODE_REQUEST* p) { return p->Result == 0 ? 0 : -1; };
      Post(Req);
    }
    if (c.Background) {
      for (uint32_t Off = 0; Off < Size; Off += B) {
        RAMCODE_REQUEST Req = Request(RAMCODE_OP_VERIFY, "checking target RAM", Off, B);
        Req.pInData = &Data[Off];
        Req.NumBytesIn = B;
        Req.pfAfter = [](RAMCodeRunner*, RAMCODE_REQUEST* p) {
          return (uint32_t)p->Result == p->BankBase + p->Offset + p->Length ? 0 : -1;
        };
        Post(Req);
      }
      RAMCODE_REQUEST Req = Request(RAMCODE_OP_CALC_CRC, "calculating CRC", 0, Size);
      int Slot = Post(Req);
      ASSERT_EQ(RAMCODE_Sync(&R), 0);
      int32_t Crc = 0;
      ASSERT_EQ(RAMCODE_GetResult(&R, Slot, &Crc), 0);
      EXPECT_EQ((uint32_t)Crc, CRC32_Update(0, Data.data(), Size));
    }
    Post(Request(RAMCODE_OP_RESTORE, "restoring target"));
    ASSERT_EQ(RAMCODE_Sync(&R), 0);
    std::vector<uint8_t> Back(Size);
    ASSERT_EQ(RAMCODE_ReadFlash(&R, 5000, 0, kFlash, Size, Back.data()), 0);
    EXPECT_TRUE(Back == Data);
    RAMCODE_Stop(&R);
    EXPECT_TRUE(ReadTarget(kFlash, Size) == Data);
    EXPECT_EQ(XRELAYARM_IsHalted(), 1);
    EXPECT_TRUE(g_Errors.empty()) << g_Errors[0];
  }
}

} // namespace
