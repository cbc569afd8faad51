/* The extended AT32F425 main flash algorithm: its entries as the program's own parser finds
   them, each entry run on the simulated chip, its CRC against the program's CRC, and its Start
   loop fed through the two command blocks by hand, as the program's runner does. */
#include "SimHarness.h"

#include "data/CRC32.h"
#include "mcudb/MCUDB_Loader.h"

#include <algorithm>
#include <cstdlib>
#include <unistd.h>

using namespace xrt;

namespace {

constexpr uint32_t kFlash = 0x08000000u, kRam = 0x20000000u;
constexpr uint32_t kFlashCtrl = 0x40022010u;
constexpr uint32_t kPosted = 0x7FFFFFFEu, kBusy = 0x7FFFFFFFu;
const std::string kExtFile = "flm_main_64k_ext.flm";

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    b = static_cast<uint8_t>(seed);
  }
  return v;
}

TEST(ExtendedAlgorithmFile, TheProgramsParserFindsEveryEntry) {
  std::string path = ProgramDir() + "/" + kExtFile;
  Algorithm elf = Algorithm::Load(path);
  ASSERT_FALSE(elf.image.empty()) << path;
  CMSISInfo info{};
  ASSERT_EQ(MCUDB_ParseCMSISAlgo(8, nullptr, 0, path.c_str(), nullptr, nullptr, &info, 0), 0);
  struct Entry {
    int index;
    const char* symbol; /* null: the algorithm has none */
  } const entries[] = {
      {MCUDB_ENTRY_INIT, "Init"},
      {MCUDB_ENTRY_UNINIT, "UnInit"},
      {MCUDB_ENTRY_PREPARE, "KORVEN_FL_Prepare"},
      {MCUDB_ENTRY_RESTORE, "KORVEN_FL_Restore"},
      {MCUDB_ENTRY_ERASE_SECTOR, "EraseSector"},
      {MCUDB_ENTRY_ERASE, "KORVEN_FL_Erase"},
      {MCUDB_ENTRY_PROGRAM_PAGE, "ProgramPage"},
      {MCUDB_ENTRY_PROGRAM, "KORVEN_FL_Program"},
      {MCUDB_ENTRY_ERASE_CHIP, "EraseChip"},
      {MCUDB_ENTRY_ERASE_CHIP_EX, "KORVEN_FL_EraseChip"},
      {MCUDB_ENTRY_BLANK_CHECK, nullptr},
      {MCUDB_ENTRY_CHECK_BLANK, "KORVEN_FL_CheckBlank"},
      {MCUDB_ENTRY_VERIFY, nullptr},
      {MCUDB_ENTRY_VERIFY_EX, "KORVEN_FL_Verify"},
      {MCUDB_ENTRY_READ, "KORVEN_FL_Read"},
      {MCUDB_ENTRY_CALC_CRC, "KORVEN_FL_CalcCRC"},
      {MCUDB_ENTRY_START, "KORVEN_FL_Start"},
      {MCUDB_ENTRY_GET_FLASH_INFO, nullptr},
  };
  for (const Entry& e : entries) {
    int32_t expected = e.symbol ? elf.Entry(e.symbol) : -1;
    EXPECT_EQ(info.aEntryOffset[e.index], expected) << (e.symbol ? e.symbol : "absent entry") << " #" << e.index;
    if (e.symbol) {
      EXPECT_GT(expected, 0) << e.symbol;
      EXPECT_EQ(info.aEntryOffset[e.index] & 1, 1) << e.symbol << " keeps its Thumb bit";
    }
  }
  EXPECT_EQ(info.PageSize, 0x400u);
  EXPECT_EQ(info.EmptyValue, 0xFFu);
  EXPECT_EQ(info.aRegion[0].NumSectors, 64u);
  EXPECT_EQ(info.aRegion[0].SectorSize, 0x400u);
  EXPECT_EQ(info.aRegion[1].NumSectors, 0u);
  EXPECT_EQ(info.PrgDataAddr, elf.prgData);
  MCUDB_FreeCMSISInfo(&info);
}

/* A loader script compiled by the probe library carries its data entries as the program's
   reader expects them. */
TEST(LoaderScriptFile, TheProgramsReaderFindsItsDataEntries) {
  char path[] = "/tmp/xrelay-script-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  std::string text = "function FLASH_Prepare\n  return 1\nend\n"
                     "data FLASH_AlgoParams 1 2 3 4 5 6 7 8 9 0x401\n"
                     "data FLASH_CFIConfig 0 16 2 1 0\n";
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
  auto* translate = reinterpret_cast<XRELAY_SCRIPT_TRANSLATE_FUNC*>(XRELAY_GetpFunc(XRELAY_PFUNC_SCRIPT_TRANSLATE));
  ASSERT_NE(translate, nullptr);
  uint8_t* compiled = nullptr;
  uint32_t size = 0;
  ASSERT_EQ(translate(path, [](uint32_t n) { return malloc(n); }, &compiled, &size), 0);
  unlink(path);
  EXPECT_EQ(MCUDB_FindScriptEntry(compiled, size, "flash_prepare"), 0);
  MCUDB_ALGO_INFO* info = nullptr;
  ASSERT_EQ(MCUDB_ReadAlgoParams(compiled, size, nullptr, 0, &info), 0);
  for (uint32_t i = 0; i < 8; i++)
    EXPECT_EQ(info->aWord[i], i + 2) << i;
  EXPECT_EQ(info->Flags, 0x2401u);
  MCUDB_FreeAlgoInfo(&info);
  MCUDB_CFI_CONFIG cfi{};
  EXPECT_EQ(MCUDB_ReadCFIConfig(compiled, size, &cfi), 0);
  EXPECT_EQ(cfi.aWord[0], 2u);
  EXPECT_EQ(cfi.aWord[1], 1u);
  EXPECT_EQ(cfi.aWord[2], 0u);
  EXPECT_EQ(cfi.IsSet, 1);
  free(compiled);
}

class ExtendedAlgorithm : public SimTest {
protected:
  /* Opens the probe with the extra configuration lines, downloads the algorithm, prepares. */
  void Start(const std::string& config = "") {
    if (!config.empty()) Configure(config);
    OpenAndConnect();
    DownloadAlgorithm(kExtFile, kRam);
    ASSERT_EQ(Call("KORVEN_FL_Prepare"), 48000000) << "the PLL from HICK / 2 times 12";
  }
  int64_t Program(uint32_t addr, const std::vector<uint8_t>& data) {
    EXPECT_EQ(XRELAYARM_WriteMem(BufferAddr(), static_cast<uint32_t>(data.size()), data.data()), 0);
    return Call("KORVEN_FL_Program", addr, static_cast<uint32_t>(data.size()), BufferAddr());
  }
  /* Erases the chip and programs the first n bytes with the pattern; returns the pattern. */
  std::vector<uint8_t> Fill(uint32_t n, uint32_t seed) {
    EXPECT_EQ(Call("KORVEN_FL_EraseChip"), 0);
    std::vector<uint8_t> data = Pattern(n, seed);
    for (uint32_t off = 0; off < n; off += 0x1000) {
      std::vector<uint8_t> chunk(data.begin() + off, data.begin() + std::min(n, off + 0x1000));
      EXPECT_EQ(Program(kFlash + off, chunk), 0) << std::hex << off;
    }
    return data;
  }
};

TEST_F(ExtendedAlgorithm, PrepareRunsThePllAndRestoreLocksTheController) {
  Start();
  EXPECT_EQ(XRELAYARM_MeasureCPUSpeed(kRam + 0x3000, 1), 48000000);
  EXPECT_EQ(Read(kFlashCtrl, 4)[0] & 0x80u, 0u) << "unlocked for programming";
  ASSERT_EQ(Call("KORVEN_FL_Restore"), 0);
  EXPECT_NE(Read(kFlashCtrl, 4)[0] & 0x80u, 0u);
  EXPECT_EQ(XRELAYARM_MeasureCPUSpeed(kRam + 0x3000, 1), 8000000);
}

/* The CRC on the target equals the program's CRC32_Update over the same bytes. */
TEST_F(ExtendedAlgorithm, CalcCRCEqualsTheProgramsCRC) {
  Start();
  std::vector<uint8_t> data = Fill(0x1000, 7);
  std::vector<uint8_t> erased(0x800, 0xFF);
  data.insert(data.end(), erased.begin(), erased.end()); /* the erased sectors after it */
  struct Case {
    const char* name;
    uint32_t offset, length, start;
  } const cases[] = {
      {"no bytes give the start value", 0x10, 0, 0x12345678u},
      {"one byte", 5, 1, 0},
      {"an odd run at an odd address", 3, 1021, 0},
      {"the whole programmed part", 0, 0x1000, 0},
      {"programmed and erased bytes", 0xF00, 0x600, 0},
      {"a start value chains two pieces", 0x800, 0x800, CRC32_Update(0, data.data(), 0x800)},
  };
  for (const Case& c : cases) {
    uint32_t expected = CRC32_Update(c.start, data.data() + c.offset, c.length);
    EXPECT_EQ(Call("KORVEN_FL_CalcCRC", c.start, kFlash + c.offset, c.length), expected) << c.name;
  }
  EXPECT_EQ(Call("KORVEN_FL_CalcCRC", 0, kFlash + 0x1000, 0x800), CRC32_UpdateFill(0, 0xFF, 0x800));
  EXPECT_EQ(CRC32_Update(0, data.data(), 0x1000), Call("KORVEN_FL_CalcCRC", 0, kFlash, 0x1000));
}

/* Erase takes the first sector's address and a number of sectors in one call. */
TEST_F(ExtendedAlgorithm, EraseClearsTheSectorsOfOneCall) {
  Start();
  struct Case {
    const char* name;
    uint32_t addr, numSectors;
    uint32_t firstErased, lastErased; /* sector numbers; first > last: none */
  } const cases[] = {
      {"one sector", kFlash + 0x400, 1, 1, 1},
      {"three from an address inside the first", kFlash + 0xC10, 3, 3, 5},
      {"up to the end of the programmed part", kFlash + 0x1800, 2, 6, 7},
      {"none", kFlash + 0x800, 0, 1, 0},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> expected = Fill(0x2000, 11);
    ASSERT_EQ(Call("KORVEN_FL_Erase", c.addr, (c.addr - kFlash) / 0x400, c.numSectors), 0) << c.name;
    for (uint32_t s = c.firstErased; s <= c.lastErased && c.firstErased <= c.lastErased; s++)
      std::fill_n(expected.begin() + s * 0x400, 0x400, 0xFF);
    EXPECT_EQ(Read(kFlash, 0x2000), expected) << c.name;
  }
}

/* A sector that fails to erase ends the call with 1; the sectors after it stay. */
TEST_F(ExtendedAlgorithm, EraseStopsAtTheFirstFailingSector) {
  SeedFlash(123456, 0x10000, 0x00);
  Start("FaultEraseErrorAt = 0x08000900");
  EXPECT_EQ(Call("KORVEN_FL_Erase", kFlash + 0x400, 1, 3), 1);
  std::vector<uint8_t> expected(0x1000, 0x00);
  std::fill_n(expected.begin() + 0x400, 0x400, 0xFF);
  EXPECT_EQ(Read(kFlash, 0x1000), expected);
}

/* Sectors of an active protected area are left alone, as by EraseSector. */
TEST_F(ExtendedAlgorithm, EraseSkipsProtectedSectors) {
  SeedFlash(123456, 0x10000, 0x00);
  Start("ProtectedAreaStatus = 0x8\nProtectedAreaRange = 0x00C00002"); /* sectors 2 to 3 */
  ASSERT_EQ(Call("KORVEN_FL_Erase", kFlash, 0, 6), 0);
  std::vector<uint8_t> expected(0x1C00, 0x00);
  for (uint32_t s : {0u, 1u, 4u, 5u})
    std::fill_n(expected.begin() + s * 0x400, 0x400, 0xFF);
  EXPECT_EQ(Read(kFlash, 0x1C00), expected);
}

TEST_F(ExtendedAlgorithm, ProgramWritesWholeHalfwordsOfAnyLength) {
  Start();
  ASSERT_EQ(Call("KORVEN_FL_EraseChip"), 0);
  std::vector<uint8_t> data = Pattern(0x1003, 3);
  std::vector<uint8_t> buffer = data;
  buffer.push_back(0x5A); /* the byte after the data completes the last halfword */
  ASSERT_EQ(XRELAYARM_WriteMem(BufferAddr(), static_cast<uint32_t>(buffer.size()), buffer.data()), 0);
  ASSERT_EQ(Call("KORVEN_FL_Program", kFlash + 0x2002, 0x1003, BufferAddr()), 0);
  std::vector<uint8_t> expected(0x1008, 0xFF);
  std::copy(buffer.begin(), buffer.end(), expected.begin() + 2);
  EXPECT_EQ(Read(kFlash + 0x2000, 0x1008), expected);
  EXPECT_EQ(Call("KORVEN_FL_Program", kFlash + 0x2002, 0x1003, BufferAddr()), 1)
      << "programming over programmed cells fails";
}

/* Verify answers the end address, or the first address whose byte differs. */
TEST_F(ExtendedAlgorithm, VerifyAnswersTheFirstDifferingAddress) {
  Start();
  std::vector<uint8_t> data = Fill(0x800, 21);
  struct Case {
    const char* name;
    int flip; /* byte of the buffer changed; -1 none */
  } const cases[] = {{"equal", -1}, {"first byte", 0}, {"middle", 0x3A7}, {"last byte", 0x7FF}};
  for (const Case& c : cases) {
    std::vector<uint8_t> buf = data;
    if (c.flip >= 0) buf[static_cast<size_t>(c.flip)] ^= 0x10;
    ASSERT_EQ(XRELAYARM_WriteMem(BufferAddr(), 0x800, buf.data()), 0);
    uint32_t expected = kFlash + (c.flip >= 0 ? static_cast<uint32_t>(c.flip) : 0x800u);
    EXPECT_EQ(Call("KORVEN_FL_Verify", kFlash, 0x800, BufferAddr()), expected) << c.name;
  }
}

TEST_F(ExtendedAlgorithm, CheckBlankAndReadSeeTheCells) {
  Start();
  std::vector<uint8_t> data = Fill(0x400, 2);
  EXPECT_EQ(Call("KORVEN_FL_CheckBlank", kFlash + 0x400, 0x400, 0xFFFFFFFFu), 0);
  EXPECT_EQ(Call("KORVEN_FL_CheckBlank", kFlash + 0x300, 0x200, 0xFFFFFFFFu), 1) << "programmed bytes";
  EXPECT_EQ(Call("KORVEN_FL_CheckBlank", kFlash + 0x400, 0x400, 0), 1) << "another empty value";
  ASSERT_EQ(Call("KORVEN_FL_Read", kFlash + 0x101, 0x2FF, BufferAddr()), 0);
  EXPECT_EQ(Read(BufferAddr(), 0x2FF), std::vector<uint8_t>(data.begin() + 0x101, data.end()));
}

/* ---- the Start loop ---------------------------------------------------------------------- */

/* The program's side of the two command blocks, written by hand through the probe library. */
class StartLoop : public ExtendedAlgorithm {
protected:
  static constexpr uint32_t kBufSize = 0x1000;
  uint32_t Buffer(int slot) const { return BufferAddr() + static_cast<uint32_t>(slot) * kBufSize; }
  uint32_t Block(int slot) const { return BufferAddr() + 2 * kBufSize + static_cast<uint32_t>(slot) * 48; }

  /* Clears both blocks and lets the Start entry run on block 0. */
  void Run() {
    OpenAndConnect();
    DownloadAlgorithm(kExtFile, kRam);
    for (int slot = 0; slot < 2; slot++) {
      uint32_t idle[12] = {};
      idle[9] = Block(1 - slot);
      idle[10] = kPosted;
      ASSERT_EQ(XRELAYARM_WriteMem(Block(slot), sizeof idle, idle), 0);
    }
    const uint32_t regs[] = {0, 9, 13, 14, 15, 16};
    const uint32_t values[] = {Block(0),
                               base_ + algo_.prgData,
                               breakpoint_,
                               breakpoint_ | 1u,
                               base_ + static_cast<uint32_t>(algo_.Entry("KORVEN_FL_Start")),
                               0x01000000u};
    ASSERT_EQ(XRELAYARM_WriteRegs(regs, values, nullptr, 6), 0);
    ASSERT_EQ(XRELAYARM_GoIntDis(), 0);
  }
  /* Writes the slot's data, then its whole block in one transfer. */
  void Post(int slot, uint32_t op, uint32_t offset, uint32_t length, uint32_t value = 0,
            const std::vector<uint8_t>& data = {}) {
    if (!data.empty()) {
      ASSERT_EQ(XRELAYARM_WriteMem(Buffer(slot), static_cast<uint32_t>(data.size()), data.data()), 0);
    }
    const uint32_t block[12] = {Buffer(slot), kBufSize, kFlash, offset, length, value, 0, 0,
                                Block(slot) + 40, Block(1 - slot), kPosted, op};
    ASSERT_EQ(XRELAYARM_WriteMem(Block(slot), sizeof block, block), 0);
  }
  /* Reads the slot's status (16 bytes from word 10) until the loop has answered it; the core
     runs along with every read. */
  uint32_t Wait(int slot) {
    for (int polls = 0; polls < 10000; polls++) {
      uint32_t words[4] = {};
      if (XRELAYARM_ReadMem(Block(slot) + 40, sizeof words, words) != 0) break;
      if (words[0] != kPosted && words[0] != kBusy) {
        EXPECT_EQ(words[1], 0u) << "the operation is cleared before the result is written";
        return words[0];
      }
    }
    ADD_FAILURE() << "no answer in slot " << slot << (XRELAYARM_IsHalted() ? ": the Start loop stopped" : "");
    return 0xDEADBEEFu;
  }
  uint32_t Request(int slot, uint32_t op, uint32_t offset, uint32_t length, uint32_t value = 0,
                   const std::vector<uint8_t>& data = {}) {
    Post(slot, op, offset, length, value, data);
    return Wait(slot);
  }
};

/* Every operation of the loop, alternating between the slots as the runner does. */
TEST_F(StartLoop, ServesEveryOperationThroughBothBlocks) {
  Run();
  EXPECT_EQ(Request(0, 8, 0, 0), 48000000u) << "prepare";
  EXPECT_EQ(Request(1, 7, 0, 0), 0u) << "chip erase";
  std::vector<uint8_t> data = Pattern(0x4000, 17);
  for (int chunk = 0; chunk < 4; chunk++) {
    std::vector<uint8_t> part(data.begin() + chunk * kBufSize, data.begin() + (chunk + 1) * kBufSize);
    int slot = chunk & 1;
    if (chunk >= 2) {
      EXPECT_EQ(Wait(slot), 0u) << "chunk " << chunk - 2;
    }
    Post(slot, 6, static_cast<uint32_t>(chunk) * kBufSize, kBufSize, 0, part);
  }
  EXPECT_EQ(Wait(0), 0u);
  EXPECT_EQ(Wait(1), 0u);
  EXPECT_EQ(Read(kFlash, 0x4000), data);

  EXPECT_EQ(Request(0, 3, 0x100, 0x3000, 0), CRC32_Update(0, data.data() + 0x100, 0x3000)) << "CRC";
  std::vector<uint8_t> part(data.begin() + 0x1000, data.begin() + 0x2000);
  EXPECT_EQ(Request(1, 11, 0x1000, kBufSize, 0, part), kFlash + 0x2000) << "verify: the end address";
  part[0x123] ^= 1;
  EXPECT_EQ(Request(0, 11, 0x1000, kBufSize, 0, part), kFlash + 0x1123) << "verify: the first difference";
  EXPECT_EQ(Request(1, 2, 0x4000, 0x1000, 0xFFFFFFFFu), 0u) << "blank";
  EXPECT_EQ(Request(0, 2, 0x3C00, 0x1000, 0xFFFFFFFFu), 1u) << "not blank";
  EXPECT_EQ(Request(1, 5, 0x2345, 0x100), 0u) << "read";
  EXPECT_EQ(Read(Buffer(1), 0x100), std::vector<uint8_t>(data.begin() + 0x2345, data.begin() + 0x2445));
  EXPECT_EQ(Request(0, 7, 0x400, 2, 1), 0u) << "erase sectors 1 and 2";
  EXPECT_EQ(Read(kFlash + 0x400, 0x800), std::vector<uint8_t>(0x800, 0xFF));
  EXPECT_EQ(Request(1, 10, 0, 0), 0xFFFFFFFFu) << "an operation the loop does not know";
  EXPECT_EQ(Request(0, 9, 0, 0), 0u) << "restore";
  EXPECT_NE(Read(kFlashCtrl, 4)[0] & 0x80u, 0u) << "locked again";
  EXPECT_EQ(XRELAYARM_IsHalted(), 0) << "the loop goes on waiting";
  ASSERT_EQ(XRELAYARM_Halt(), 0);
}

/* While the loop programs one block, the host's transfers advance the same virtual clock and
   the core runs along: the two overlap instead of adding up. */
TEST_F(StartLoop, TheHostsTransfersOverlapTheProgramming) {
  Run(); /* the default link: 1 ms a round trip, 4 MHz SWD */
  ASSERT_EQ(Request(0, 8, 0, 0), 48000000u);
  ASSERT_EQ(Request(1, 7, 0, 0), 0u);
  const double programUsPerByte = 42.0 / 2, transferUsPerByte = 46.0 / 4 / 4; /* SWD: 46 clocks a word */
  std::vector<uint8_t> data = Pattern(0x4000, 23);

  /* One block of 1 KB (21.5 ms of programming), then 8 KB of transfers (25.5 ms). */
  Post(0, 6, 0, 0x400, 0, std::vector<uint8_t>(data.begin(), data.begin() + 0x400));
  int64_t t0 = XRELAYARM_SIM_GetVirtualTimeUs();
  for (int i = 0; i < 2; i++)
    ASSERT_EQ(XRELAYARM_WriteMem(Buffer(1), kBufSize, data.data() + 0x1000), 0);
  uint32_t status[2] = {};
  ASSERT_EQ(XRELAYARM_ReadMem(Block(0) + 40, 8, status), 0);
  double spent = static_cast<double>(XRELAYARM_SIM_GetVirtualTimeUs() - t0);
  EXPECT_EQ(status[0], 0u) << "programmed during the transfers";
  double transfers = 3 * 1000 + (2 * kBufSize + 8) * transferUsPerByte;
  EXPECT_NEAR(spent, transfers, 10) << "the programming took no time of its own";

  /* 16 KB double buffered in blocks of 4 KB: the time is that of the programming, the
     transfers but the first hidden behind it. */
  ASSERT_EQ(Request(1, 7, 0, 0), 0u);
  t0 = XRELAYARM_SIM_GetVirtualTimeUs();
  for (int chunk = 0; chunk < 4; chunk++) {
    int slot = chunk & 1;
    if (chunk >= 2) {
      EXPECT_EQ(Wait(slot), 0u) << "chunk " << chunk - 2;
    }
    std::vector<uint8_t> part(data.begin() + chunk * kBufSize, data.begin() + (chunk + 1) * kBufSize);
    Post(slot, 6, static_cast<uint32_t>(chunk) * kBufSize, kBufSize, 0, part);
  }
  EXPECT_EQ(Wait(0), 0u);
  EXPECT_EQ(Wait(1), 0u);
  spent = static_cast<double>(XRELAYARM_SIM_GetVirtualTimeUs() - t0);
  double programming = 0x4000 * programUsPerByte;
  double oneTransfer = 2 * 1000 + (kBufSize + 48) * transferUsPerByte;
  EXPECT_GT(spent, programming + oneTransfer);
  EXPECT_LT(spent, (programming + oneTransfer) * 1.05) << "not " << programming + 4 * oneTransfer << " us in a row";
  EXPECT_EQ(Read(kFlash, 0x4000), data);
  ASSERT_EQ(XRELAYARM_Halt(), 0);
}

} // namespace
