/* The AT32F425 flash algorithms, run on the simulated chip through the probe library's C
   interface exactly as the program's RAMCode runner calls them. */
#include "SimHarness.h"

#include <numeric>

using namespace xrt;

namespace {

constexpr uint32_t kFlash = 0x08000000u, kBoot = 0x1FFFE400u, kUser = 0x1FFFF800u;
constexpr uint32_t kFlashSts = 0x4002200Cu, kFlashCtrl = 0x40022010u;

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++)
    v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return v;
}

class FlashAlgorithm : public SimTest {
protected:
  /* Downloads data into the algorithm's buffer and programs it. */
  int64_t Program(uint32_t addr, const std::vector<uint8_t>& data) {
    EXPECT_EQ(XRELAYARM_WriteMem(BufferAddr(), static_cast<uint32_t>(data.size()), data.data()), 0);
    return Call("ProgramPage", addr, static_cast<uint32_t>(data.size()), BufferAddr());
  }
  uint32_t U32(uint32_t addr) {
    uint32_t v = 0;
    EXPECT_EQ(XRELAYARM_ReadMemU32(addr, 1, &v, nullptr), 1);
    return v;
  }
};

/* The whole erase, program and verify cycle, with the algorithm loaded at two places: a
   stray absolute or static-base reference would break one of them. Run slices of a few
   instructions end the run anywhere in the algorithm, in the middle of a flash store too:
   each slice must stop between two instructions and the next go on from there. */
struct CycleRun {
  const char* name;
  uint32_t base;
  uint32_t sliceUs; /* 0: the default */
};

class LoadAddress : public FlashAlgorithm, public ::testing::WithParamInterface<CycleRun> {};

TEST_P(LoadAddress, ErasesProgramsAndReadsBackTheWhole64KB) {
  if (GetParam().sliceUs) {
    Configure("RunSliceUs = " + std::to_string(GetParam().sliceUs));
    maxPolls_ = 1000000;
  }
  OpenAndConnect();
  DownloadAlgorithm("flm_main_64k.flm", GetParam().base);
  ASSERT_EQ(Call("Init", kFlash, 8000000, 1), 0);
  ASSERT_EQ(Call("EraseChip"), 0);
  EXPECT_EQ(Read(kFlash, 0x10000), std::vector<uint8_t>(0x10000, 0xFF));
  ASSERT_EQ(Call("UnInit", 1), 0);

  std::vector<uint8_t> image = Pattern(0x10000, 3);
  ASSERT_EQ(Call("Init", kFlash, 48000000, 2), 0);
  for (uint32_t page = 0; page < 64; page++) {
    std::vector<uint8_t> chunk(image.begin() + page * 0x400, image.begin() + (page + 1) * 0x400);
    ASSERT_EQ(Program(kFlash + page * 0x400, chunk), 0) << "page " << page;
  }
  ASSERT_EQ(Call("UnInit", 2), 0);
  EXPECT_EQ(Read(kFlash, 0x10000), image);
  EXPECT_NE(U32(kFlashCtrl) & 0x80u, 0u) << "UnInit leaves the controller locked";

  ASSERT_EQ(Call("Init", kFlash, 0, 1), 0);
  ASSERT_EQ(Call("EraseSector", kFlash + 0x2400), 0);
  ASSERT_EQ(Call("UnInit", 1), 0);
  std::vector<uint8_t> expected = image;
  std::fill_n(expected.begin() + 0x2400, 0x400, 0xFF);
  EXPECT_EQ(Read(kFlash, 0x10000), expected);
}

INSTANTIATE_TEST_SUITE_P(At32f425, LoadAddress,
                         ::testing::Values(CycleRun{"RamStart", 0x20000000u, 0},
                                           CycleRun{"RamMiddle", 0x20001A00u, 0},
                                           CycleRun{"ShortSlices", 0x20000000u, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FlashAlgorithm, InitRaisesTheClockAndUnInitRestoresIt) {
  OpenAndConnect();
  EXPECT_EQ(XRELAYARM_MeasureCPUSpeed(0x20004000, 0), 8000000);
  DownloadAlgorithm("flm_main_64k.flm", 0x20000000);
  ASSERT_EQ(Call("Init", kFlash, 0, 2), 0);
  EXPECT_EQ(XRELAYARM_MeasureCPUSpeed(0x20004000, 0), 48000000);
  EXPECT_EQ(U32(kFlashCtrl) & 0x80u, 0u) << "Init unlocks the controller";
  ASSERT_EQ(Call("UnInit", 2), 0);
  EXPECT_EQ(XRELAYARM_MeasureCPUSpeed(0x20004000, 0), 8000000);
}

TEST_F(FlashAlgorithm, ProgramPageOfThreeBytesWritesTwoHalfwords) {
  OpenAndConnect();
  DownloadAlgorithm("flm_main_16k.flm", 0x20000000);
  ASSERT_EQ(Call("Init"), 0);
  ASSERT_EQ(Program(kFlash + 0x100, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66}), 0);
  ASSERT_EQ(Program(kFlash, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06}), 0);
  /* The second write covered 6 bytes; now program 3 bytes of a fresh area. */
  ASSERT_EQ(XRELAYARM_WriteMem(BufferAddr(), 4, std::vector<uint8_t>{0xA1, 0xA2, 0xA3, 0xA4}.data()), 0);
  ASSERT_EQ(Call("ProgramPage", kFlash + 0x200, 3, BufferAddr()), 0);
  EXPECT_EQ(Read(kFlash + 0x200, 6), (std::vector<uint8_t>{0xA1, 0xA2, 0xA3, 0xA4, 0xFF, 0xFF}));
}

TEST_F(FlashAlgorithm, ProgramPageIntoRamCopiesTheData) {
  OpenAndConnect();
  DownloadAlgorithm("flm_main_64k.flm", 0x20000000);
  ASSERT_EQ(Call("Init"), 0);
  std::vector<uint8_t> data = Pattern(64, 9);
  EXPECT_EQ(Program(0x20000100 + 0x3000, data), 0);
  EXPECT_EQ(Read(0x20003100, 64), data);
}

TEST_F(FlashAlgorithm, ProtectedSectorsSurviveEraseChipAndEraseSector) {
  /* Protected area enabled (status bits 0 and 3:2 = 0b10) over sectors 2..5 of a 32 KB chip. */
  Configure("Device = AT32F425C6T7\nProtectedAreaStatus = 0x9\nProtectedAreaRange = 0x01400002");
  SeedFlash(123456, 0x8000, 0x00);
  OpenAndConnect();
  DownloadAlgorithm("flm_main_32k.flm", 0x20000000);
  ASSERT_EQ(Call("Init"), 0);
  EXPECT_EQ(Call("EraseChip"), 0);
  std::vector<uint8_t> expected(0x8000, 0xFF);
  std::fill(expected.begin() + 2 * 0x400, expected.begin() + 6 * 0x400, 0x00);
  EXPECT_EQ(Read(kFlash, 0x8000), expected);
  EXPECT_EQ(Call("EraseSector", kFlash + 0xC00), 0);
  EXPECT_EQ(Read(kFlash + 0xC00, 0x400), std::vector<uint8_t>(0x400, 0x00));
}

TEST_F(FlashAlgorithm, BankEraseIsRefusedWhileTheAreaIsProtected) {
  /* The controller itself, behind the algorithm's back. */
  Configure("ProtectedAreaStatus = 0x9\nProtectedAreaRange = 0x00400001");
  SeedFlash(123456, 0x10000, 0x00);
  OpenAndConnect();
  DownloadAlgorithm("flm_main_64k.flm", 0x20000000);
  ASSERT_EQ(Call("Init"), 0);
  ASSERT_EQ(XRELAYARM_WriteU32(kFlashCtrl, 1u << 2), 0);
  ASSERT_EQ(XRELAYARM_WriteU32(kFlashCtrl, (1u << 2) | (1u << 6)), 0);
  EXPECT_NE(U32(kFlashSts) & (1u << 4), 0u);
  EXPECT_EQ(Read(kFlash, 16), std::vector<uint8_t>(16, 0x00));
}

TEST_F(FlashAlgorithm, BootMemoryErasesAtItsFixedAddress) {
  SeedFlash(123456, 0x10000, 0xFF, 0x5A);
  OpenAndConnect();
  DownloadAlgorithm("flm_bootmem.flm", 0x20000000);
  ASSERT_EQ(Call("Init"), 0);
  EXPECT_EQ(Call("EraseSector", 0x1FFFEC00), 0);
  EXPECT_EQ(Read(kBoot, 0x1000), std::vector<uint8_t>(0x1000, 0xFF));
  std::vector<uint8_t> data = Pattern(0x400, 1);
  EXPECT_EQ(Program(kBoot + 0x400, data), 0);
  EXPECT_EQ(Read(kBoot + 0x400, 0x400), data);
}

TEST_F(FlashAlgorithm, BootMemoryProtectedAsLibraryIsLeftAlone) {
  Configure("ProtectedAreaStatus = 0xD");
  SeedFlash(123456, 0x10000, 0xFF, 0x5A);
  OpenAndConnect();
  DownloadAlgorithm("flm_bootmem.flm", 0x20000000);
  ASSERT_EQ(Call("Init"), 0);
  EXPECT_EQ(Call("EraseChip"), 0);
  EXPECT_EQ(Call("EraseSector", kBoot), 0);
  EXPECT_EQ(Read(kBoot, 0x1000), std::vector<uint8_t>(0x1000, 0x5A));
}

TEST_F(FlashAlgorithm, UserSystemDataErasesProgramsAndIsNeverBlank) {
  SeedFlash(123456, 0x10000, 0xFF, 0xFF, 0x00);
  OpenAndConnect();
  DownloadAlgorithm("flm_usersys.flm", 0x20000000);
  ASSERT_EQ(Call("Init"), 0);
  EXPECT_EQ(Call("EraseSector", kUser), 0);
  EXPECT_EQ(Read(kUser, 0x200), std::vector<uint8_t>(0x200, 0xFF));
  EXPECT_EQ(Call("BlankCheck", kUser, 0x200, 0xFF), 1);
  std::vector<uint8_t> data = {0xA5, 0x5A, 0xFE, 0x01, 0x12, 0xED};
  EXPECT_EQ(Program(kUser, data), 0);
  EXPECT_EQ(Read(kUser, 6), data);
  ASSERT_EQ(Call("UnInit"), 0);
  EXPECT_EQ(U32(kFlashCtrl) & (1u << 9), 0u) << "UnInit locks the user system data again";
}

TEST_F(FlashAlgorithm, MainAlgorithmCannotReachTheUserSystemData) {
  SeedFlash(123456, 0x10000, 0xFF, 0xFF, 0xFF);
  OpenAndConnect();
  DownloadAlgorithm("flm_main_64k.flm", 0x20000000);
  ASSERT_EQ(Call("Init"), 0);
  /* Without the second unlock the program bit of the main flash does not program it. */
  EXPECT_EQ(Program(kUser, {1, 2, 3, 4}), 0);
  EXPECT_EQ(Read(kUser, 4), std::vector<uint8_t>(4, 0xFF));
}

/* ---- failure paths --------------------------------------------------------------------- */

TEST_F(FlashAlgorithm, ProgrammingANonErasedHalfwordFailsAndKeepsTheCell) {
  SeedFlash(123456, 0x10000, 0x00);
  OpenAndConnect();
  DownloadAlgorithm("flm_main_64k.flm", 0x20000000);
  ASSERT_EQ(Call("Init"), 0);
  EXPECT_EQ(Program(kFlash + 0x800, {0x12, 0x34}), 1);
  EXPECT_EQ(Read(kFlash + 0x800, 2), (std::vector<uint8_t>{0x00, 0x00}));
  EXPECT_EQ(U32(kFlashSts) & 0x14u, 0u) << "the algorithm clears the error bits";
}

TEST_F(FlashAlgorithm, LockedControllerIgnoresEraseAndProgram) {
  SeedFlash(123456, 0x10000, 0x00);
  OpenAndConnect();
  DownloadAlgorithm("flm_main_64k.flm", 0x20000000);
  /* No Init: the controller is still locked from reset. */
  EXPECT_EQ(Call("EraseSector", kFlash), 0);
  EXPECT_EQ(Read(kFlash, 0x400), std::vector<uint8_t>(0x400, 0x00));
  ASSERT_EQ(Call("Init"), 0);
  ASSERT_EQ(Call("EraseSector", kFlash), 0);
  ASSERT_EQ(Call("UnInit"), 0);
  EXPECT_EQ(Program(kFlash, {0x12, 0x34}), 0);
  EXPECT_EQ(Read(kFlash, 2), (std::vector<uint8_t>{0xFF, 0xFF}));
}

TEST_F(FlashAlgorithm, WrongUnlockKeyKeepsTheControllerLockedUntilReset) {
  OpenAndConnect();
  ASSERT_EQ(XRELAYARM_WriteU32(0x40022004, 0x45670123u), 0);
  ASSERT_EQ(XRELAYARM_WriteU32(0x40022004, 0x12345678u), 0);
  ASSERT_EQ(XRELAYARM_WriteU32(0x40022004, 0x45670123u), 0);
  ASSERT_EQ(XRELAYARM_WriteU32(0x40022004, 0xCDEF89ABu), 0);
  EXPECT_NE(U32(kFlashCtrl) & 0x80u, 0u);
  ASSERT_EQ(XRELAYARM_Reset(), 0);
  ASSERT_EQ(XRELAYARM_WriteU32(0x40022004, 0x45670123u), 0);
  ASSERT_EQ(XRELAYARM_WriteU32(0x40022004, 0xCDEF89ABu), 0);
  EXPECT_EQ(U32(kFlashCtrl) & 0x80u, 0u);
}

struct InjectedFault {
  const char* name;
  const char* config;
  const char* function;
  uint32_t addr;
};

class FlashFault : public FlashAlgorithm, public ::testing::WithParamInterface<InjectedFault> {};

TEST_P(FlashFault, TheAlgorithmReportsTheFailedStep) {
  Configure(GetParam().config);
  SeedFlash(123456, 0x10000, 0x00);
  OpenAndConnect();
  DownloadAlgorithm("flm_main_64k.flm", 0x20000000);
  ASSERT_EQ(Call("Init"), 0);
  std::string fn = GetParam().function;
  int64_t rc = fn == "ProgramPage" ? Call("EraseSector", GetParam().addr & ~0x3FFu) : 0;
  ASSERT_EQ(rc, 0);
  rc = fn == "ProgramPage"   ? Program(GetParam().addr - 4, {1, 2, 3, 4, 5, 6, 7, 8})
       : fn == "EraseSector" ? Call("EraseSector", GetParam().addr)
                             : Call("EraseChip");
  EXPECT_EQ(rc, 1);
}

INSTANTIATE_TEST_SUITE_P(At32f425, FlashFault,
                         ::testing::Values(InjectedFault{"ProgramError", "FaultProgramErrorAt = 0x08001004",
                                                         "ProgramPage", 0x08001004},
                                           InjectedFault{"EraseError", "FaultEraseErrorAt = 0x08002010",
                                                         "EraseSector", 0x08002000},
                                           InjectedFault{"ChipEraseError", "FaultEraseErrorAt = 0x08002010",
                                                         "EraseChip", 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FlashAlgorithm, CoreThatNeverHaltsIsStoppedByTheHost) {
  Configure("FaultCoreNeverHalts = 1");
  OpenAndConnect();
  DownloadAlgorithm("flm_main_64k.flm", 0x20000000);
  maxPolls_ = 20;
  EXPECT_EQ(Call("Init"), -1004);
  EXPECT_EQ(XRELAYARM_IsHalted(), 1) << "Halt stops it";
  EXPECT_EQ(XRELAYARM_WriteReg(15, base_ + static_cast<uint32_t>(algo_.Entry("UnInit"))), 0);
}

TEST_F(FlashAlgorithm, FlashThatNeverFinishesKeepsTheAlgorithmFeedingTheWatchdog) {
  Configure("FaultFlashNeverReady = 1");
  OpenAndConnect();
  DownloadAlgorithm("flm_main_64k.flm", 0x20000000);
  ASSERT_EQ(Call("Init"), 0);
  maxPolls_ = 3;
  EXPECT_EQ(Call("EraseSector", kFlash), -1004);
  uint32_t pc = Reg(15);
  EXPECT_GE(pc, base_);
  EXPECT_LT(pc, base_ + algo_.prgData) << "halted inside the algorithm's busy wait";
}

TEST_F(FlashAlgorithm, LostProbeFailsEveryLaterCall) {
  Configure("FaultLostAfterCalls = 40");
  OpenAndConnect();
  DownloadAlgorithm("flm_main_64k.flm", 0x20000000);
  int64_t rc = 0;
  for (int i = 0; i < 20 && rc == 0; i++)
    rc = Call("Init");
  EXPECT_LT(rc, -1000);
  EXPECT_EQ(XRELAYARM_IsOpen(), 0);
  EXPECT_TRUE(ErrorContains("USB connection lost"));
  uint32_t v = 0;
  EXPECT_LT(XRELAYARM_ReadReg(0, &v), 0);
  XRELAYARM_Close();
  EXPECT_EQ(XRELAYARM_OpenEx(nullptr, nullptr), nullptr) << "a new connection starts afresh";
}

} // namespace
