/*
 * The flash operations' bank work against a flash module of the test's own: an in-memory
 * flash with a layout, an empty value and a choice of the optional functions (chip erase,
 * blank check, CRC, native verify). Every call the operations make is recorded.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/APP_Log.h"
#include "data/CRC32.h"
#include "data/DATAIMAGE.h"
#include "sys/SYS.h"
#include "target/PROG.h"
#include "target/PROG_Test.h"
#include "tests/NullGUI.h"

namespace {

struct FakeFlash {
  uint32_t Base = 0x08000000;
  std::vector<uint8_t> Cells;
  bool ChipErase = true, BlankCheck = false, CRC = false, NativeVerify = false;
  uint32_t ClockHz = 8000000;
  std::vector<std::string> Calls; // in order
  int CancelAfterCalls = -1;      // the user presses Cancel after that many erase or program calls
  ProgressDialogState* pDialog = nullptr;
  SectorRegion aRegion[MCUDB_MAX_REGIONS] = {};

  uint32_t SectorSize() const { return aRegion[0].SectorSize; }
  void Record(const std::string& s) {
    Calls.push_back(s);
    if (CancelAfterCalls >= 0 && int(Calls.size()) >= CancelAfterCalls && pDialog) pDialog->Cancelled = true;
  }
  size_t Count(const std::string& Prefix) const {
    size_t n = 0;
    for (const std::string& c : Calls)
      n += c.rfind(Prefix, 0) == 0;
    return n;
  }
};
FakeFlash* _pFake;

std::string Call(const char* sName, uint32_t a, uint32_t b) {
  char ac[96];
  std::snprintf(ac, sizeof(ac), "%s %X %X", sName, a, b);
  return ac;
}

// A cell of the fake flash; an access outside it is a fault of the caller.
uint8_t* Cell(uint32_t Addr) {
  static uint8_t Outside;
  if (Addr < _pFake->Base || Addr - _pFake->Base >= _pFake->Cells.size()) {
    ADD_FAILURE() << "access outside the bank at 0x" << std::hex << Addr;
    return &Outside;
  }
  return &_pFake->Cells[Addr - _pFake->Base];
}

int _Program(FlashModuleHandle*, const FLASH_PROG_REQUEST* p) {
  uint32_t Size = _pFake->SectorSize();
  _pFake->Record(Call("Program", p->FirstSector, p->NumSectors));
  for (uint32_t i = 0; i < p->NumSectors * Size; i++)
    *Cell(_pFake->Base + p->FirstSector * Size + i) = p->pData[i];
  return 0;
}
int _EraseSectors(FlashModuleHandle*, uint32_t First, uint32_t Num) {
  uint32_t Size = _pFake->SectorSize();
  _pFake->Record(Call("EraseSectors", First, Num));
  for (uint32_t i = 0; i < Num * Size; i++)
    *Cell(_pFake->Base + First * Size + i) = 0xFF;
  return 0;
}
int _EraseChip(FlashModuleHandle*) {
  _pFake->Record("EraseChip");
  std::fill(_pFake->Cells.begin(), _pFake->Cells.end(), 0xFF);
  return 0;
}
int _Read(FlashModuleHandle*, uint32_t Addr, uint32_t NumBytes, void* pDest) {
  _pFake->Calls.push_back(Call("Read", Addr, NumBytes));
  for (uint32_t i = 0; i < NumBytes; i++)
    static_cast<uint8_t*>(pDest)[i] = *Cell(Addr + i);
  return 0;
}
int _BlankCheckFunc(FlashModuleHandle*, uint32_t Addr, uint32_t NumBytes) {
  _pFake->Calls.push_back(Call("BlankCheck", Addr, NumBytes));
  for (uint32_t i = 0; i < NumBytes; i++) {
    if (*Cell(Addr + i) != 0xFF) return 1;
  }
  return 0;
}
int _CRCFunc(FlashModuleHandle*, uint32_t Addr, uint32_t NumBytes, const void*, uint32_t* pCRC) {
  _pFake->Calls.push_back(Call("CRC", Addr, NumBytes));
  *pCRC = 0;
  for (uint32_t i = 0; i < NumBytes; i++)
    *pCRC = CRC32_Update(*pCRC, Cell(Addr + i), 1);
  return 0;
}
int _VerifyFunc(FlashModuleHandle*, uint32_t Addr, uint32_t NumBytes, const void* pData,
                uint32_t* pMismatch) {
  _pFake->Calls.push_back(Call("Verify", Addr, NumBytes));
  for (uint32_t i = 0; i < NumBytes; i++) {
    if (*Cell(Addr + i) != static_cast<const uint8_t*>(pData)[i]) {
      *pMismatch = Addr + i;
      return 1;
    }
  }
  return 0;
}
void* _GetFunc(FlashModuleHandle*, int Id) {
  switch (Id) {
  case FLASH_FUNC_READ:
    return reinterpret_cast<void*>(_Read);
  case FLASH_FUNC_BLANK_CHECK:
    return _pFake->BlankCheck ? reinterpret_cast<void*>(_BlankCheckFunc) : nullptr;
  case FLASH_FUNC_CRC:
    return _pFake->CRC ? reinterpret_cast<void*>(_CRCFunc) : nullptr;
  case FLASH_FUNC_VERIFY:
    return _pFake->NativeVerify ? reinterpret_cast<void*>(_VerifyFunc) : nullptr;
  default:
    return nullptr;
  }
}

class LogGUI : public NullGUI {
public:
  std::mutex Lock;
  std::string Log;
  ProgressDialogState State{};
  void AppendLog(const char* sLine) override {
    char ac[2048];
    APP_StripEscapes(ac, sizeof(ac), sLine);
    std::lock_guard<std::mutex> g(Lock);
    Log += ac;
  }
  ProgressDialogState* CreateProgressDlg(const char*, const char*, int) override { return &State; }
};

class ProgTest : public ::testing::Test {
protected:
  FakeFlash Fake;
  LogGUI Gui;
  FlashModule Module{};
  FlashBank Bank{};
  FlashModuleHandle Handle{};
  APP_PROGRESS* pProgress = nullptr;

  void SetUp() override {
    _pFake = &Fake;
    APP_SetGUI(&Gui);
    APP_SetLogLevelSource([] { return 9; });
    Gui.State.pLock = SYS_MUTEX_Create(nullptr);
    pProgress = APP_ProgressCreate("test", 0);
    PROG_SetProgressForTest(pProgress);
    Fake.pDialog = &Gui.State;
    static PROG_TEST_FUNCS Funcs{};
    Funcs.pfGetCPUClock = [] { return _pFake->ClockHz; };
    PROG_SetTestFuncs(&Funcs);
    Layout(64, 1024);
    APP_LogBegin("Test operation");
  }
  void TearDown() override {
    APP_LogEnd(nullptr);
    PROG_SetProgressForTest(nullptr);
    APP_ProgressDelete(&pProgress);
    PROG_SetTestFuncs(nullptr);
    SYS_MUTEX_Delete(&Gui.State.pLock);
    APP_SetGUI(nullptr);
    APP_SetLogLevelSource(nullptr);
    _pFake = nullptr;
  }
  // One region of equal sectors, all erased; the module as the fake's options say.
  void Layout(uint32_t NumSectors, uint32_t SectorSize) {
    Fake.aRegion[0] = SectorRegion{NumSectors, SectorSize, 0};
    Fake.Cells.assign(size_t(NumSectors) * SectorSize, 0xFF);
  }
  void OpenBank(bool EmptyValueKnown = true) {
    Module = FlashModule{};
    Module.sName = "fake";
    Module.pfGetFunc = _GetFunc;
    Module.pfProgram = _Program;
    Module.pfEraseSectors = _EraseSectors;
    Module.pfEraseChip = Fake.ChipErase ? _EraseChip : nullptr;
    Bank = FlashBank{};
    Bank.pModule = &Module;
    Bank.BaseAddr = Fake.Base;
    Bank.Size = uint32_t(Fake.Cells.size());
    Bank.EmptyValueKnown = EmptyValueKnown;
    Bank.EmptyValue = 0xFF;
    std::memcpy(Bank.aRegion, Fake.aRegion, sizeof(Bank.aRegion));
    Handle = FlashModuleHandle{};
    Handle.BankAddr = Bank.BaseAddr;
    Handle.BankSize = Bank.Size;
  }
  // Dirty runs of the data over the bank.
  void Runs(DataImage* pData, SECTOR_RUN_LIST* pList) {
    *pList = SECTOR_RUN_LIST{};
    ASSERT_EQ(PROG_DetermineDirtyRuns(&Bank, pData, pList, nullptr), 0);
  }
  // Erases the dirty runs of the range in the bank, as PROG_EraseRuns returns.
  int EraseRange(uint32_t Addr, uint32_t NumBytes, int EraseType, bool BlankCheckFirst = false);
  // Verifies the dirty runs of the data in the bank with a new request, as PROG_VerifyRuns
  // returns.
  int VerifyData(DataImage* pData, int VerifyType, PROG_REQUEST* pReq);
  bool Logged(const std::string& s) { return Gui.Log.find(s) != std::string::npos; }
};

struct Image {
  DataImage* p = DATAIMAGE_Create();
  ~Image() { DATAIMAGE_Delete(p); }
  Image& Add(uint32_t Addr, const std::vector<uint8_t>& Bytes) {
    EXPECT_EQ(DATAIMAGE_AddData(p, Addr, uint32_t(Bytes.size()), Bytes.data()), 0);
    return *this;
  }
  Image& Range(uint32_t Addr, uint32_t NumBytes) {
    EXPECT_EQ(DATAIMAGE_AddData(p, Addr, NumBytes, nullptr), 0);
    return *this;
  }
};

struct RunList {
  SECTOR_RUN_LIST L{};
  ~RunList() { PROG_FreeRuns(&L); }
};

int ProgTest::EraseRange(uint32_t Addr, uint32_t NumBytes, int EraseType, bool BlankCheckFirst) {
  Image Data;
  Data.Range(Addr, NumBytes);
  RunList L;
  Runs(Data.p, &L.L);
  return PROG_EraseRuns(&Bank, &Handle, &L.L, EraseType, BlankCheckFirst);
}

int ProgTest::VerifyData(DataImage* pData, int VerifyType, PROG_REQUEST* pReq) {
  RunList L;
  Runs(pData, &L.L);
  *pReq = PROG_REQUEST{};
  pReq->FirstFailAddr = -1;
  return PROG_VerifyRuns(pReq, pData, &Handle, &Bank, &L.L, VerifyType);
}

} // namespace

// The piece of an erase follows the CPU clock, so that each call stays within its time-out
// (sector numbers and counts in hexadecimal).
TEST_F(ProgTest, ErasePiecesFollowTheClock) {
  struct Case {
    uint32_t Hz;
    std::vector<std::string> Calls;
  };
  for (const Case& c : {
           Case{8000000, {"EraseSectors 0 10", "EraseSectors 10 10"}}, // 0x10000: 16 sectors of 4 KB
           Case{0, {"EraseSectors 0 20"}},                             // not determined: 0x20000
           Case{12000000, {"EraseSectors 0 20"}},                      // 0x20000
           Case{3000000, {"EraseSectors 0 8", "EraseSectors 8 8", "EraseSectors 10 8", "EraseSectors 18 8"}},
       }) {
    SCOPED_TRACE(c.Hz);
    Fake.ClockHz = c.Hz;
    Fake.Calls.clear();
    Layout(32, 4096);
    OpenBank();
    ASSERT_EQ(EraseRange(Fake.Base, 32 * 4096, PROG_ERASE_SECTORS), 0);
    EXPECT_EQ(Fake.Calls, c.Calls);
  }
  EXPECT_TRUE(Logged("Erasing range 0x08000000 - 0x0800FFFF ( 16 Sectors, 64 KB)")) << Gui.Log;
}

// A sector larger than the piece is erased alone.
TEST_F(ProgTest, ASectorLargerThanThePieceIsErasedAlone) {
  Fake.ClockHz = 1000000; // pieces of 1 KB
  Layout(3, 4096);
  std::fill(Fake.Cells.begin(), Fake.Cells.end(), 0);
  OpenBank();
  ASSERT_EQ(EraseRange(Fake.Base, 3 * 4096, PROG_ERASE_SECTORS), 0);
  EXPECT_EQ(Fake.Calls,
            (std::vector<std::string>{"EraseSectors 0 1", "EraseSectors 1 1", "EraseSectors 2 1"}));
}

// Blank check first leaves blank pieces alone, by the module's blank check or by reading.
TEST_F(ProgTest, BlankCheckFirstSkipsBlankPieces) {
  for (bool ModuleChecks : {false, true}) {
    SCOPED_TRACE(ModuleChecks);
    Fake.BlankCheck = ModuleChecks;
    Fake.ClockHz = 1000000; // one 1 KB sector per piece
    Layout(4, 1024);
    Fake.Calls.clear();
    Fake.Cells[2 * 1024 + 17] = 0x00; // only sector 2 holds anything
    OpenBank();
    ASSERT_EQ(EraseRange(Fake.Base, 4 * 1024, PROG_ERASE_SECTORS, true), 0);
    EXPECT_EQ(Fake.Count("EraseSectors"), 1u);
    EXPECT_EQ(Fake.Count("EraseSectors 2 1"), 1u);
  }
}

TEST_F(ProgTest, ChipEraseFallsBackToSectorsWhenTheAlgorithmHasNone) {
  struct Case {
    bool ChipErase;
    std::vector<std::string> Calls;
  };
  for (const Case& c : {Case{true, {"EraseChip"}}, Case{false, {"EraseSectors 0 10"}}}) {
    SCOPED_TRACE(c.ChipErase);
    Fake.ChipErase = c.ChipErase;
    Fake.Calls.clear();
    Layout(16, 1024);
    OpenBank();
    // The bank data covers one sector; the fallback still erases the whole bank.
    ASSERT_EQ(EraseRange(Fake.Base + 0x800, 0x400, PROG_ERASE_CHIP), 0);
    EXPECT_EQ(Fake.Calls, c.Calls);
    EXPECT_EQ(Logged("Chip erase not supported for flash bank @ 0x08000000. Switched to sector erase"),
              !c.ChipErase);
  }
}

TEST_F(ProgTest, UnsupportedEraseTypeFails) {
  OpenBank();
  RunList L;
  EXPECT_LT(PROG_EraseRuns(&Bank, &Handle, &L.L, 2, false), 0);
  EXPECT_TRUE(Logged("Internal Error: Unsupported erase type selected.")) << Gui.Log;
  EXPECT_TRUE(Fake.Calls.empty());
}

TEST_F(ProgTest, CancelStopsBeforeTheNextPiece) {
  Fake.ClockHz = 1000000;
  Fake.CancelAfterCalls = 1;
  Layout(8, 1024);
  OpenBank();
  EXPECT_EQ(EraseRange(Fake.Base, 8 * 1024, PROG_ERASE_SECTORS), 0);
  EXPECT_EQ(Fake.Calls, (std::vector<std::string>{"EraseSectors 0 1"}));
  EXPECT_TRUE(PROG_IsCancelled());
}

// Three bytes at the end of a bank make one whole sector, the rest the empty value.
TEST_F(ProgTest, ThreeBytesAtTheEndOfTheBankProgramOnePaddedSector) {
  OpenBank();
  Image Data;
  Data.Add(Fake.Base + 64 * 1024 - 3, {0xA1, 0xB2, 0xC3});
  RunList L;
  Runs(Data.p, &L.L);
  PROG_REQUEST Req{};
  Req.FirstFailAddr = -1;
  ASSERT_EQ(PROG_ProgramRuns(Data.p, &Req, &Handle, &Bank, &L.L), 0);
  EXPECT_EQ(Fake.Calls, (std::vector<std::string>{"Program 3F 1"}));
  std::vector<uint8_t> Want(1024, 0xFF);
  Want[1021] = 0xA1, Want[1022] = 0xB2, Want[1023] = 0xC3;
  EXPECT_EQ(std::vector<uint8_t>(Fake.Cells.end() - 1024, Fake.Cells.end()), Want);
  EXPECT_EQ(Req.BytesProgrammed, 1024);
  EXPECT_TRUE(Logged("Programming range 0x0800FC00 - 0x0800FFFF (  1 Sector, 1024 Bytes)")) << Gui.Log;
}

TEST_F(ProgTest, DirtyRunsJoinNeighboursAndBreakAtCleanSectors) {
  OpenBank();
  Image Data;
  Data.Add(Fake.Base + 0x3FF, {1, 2}).Add(Fake.Base + 0x1000, {3});
  RunList L;
  Runs(Data.p, &L.L);
  ASSERT_EQ(L.L.NumRuns, 2u);
  EXPECT_EQ(L.L.paRun[0].FirstSector, 0u);
  EXPECT_EQ(L.L.paRun[0].NumSectors, 2u);
  EXPECT_EQ(L.L.paRun[1].FirstSector, 4u);
  EXPECT_EQ(L.L.paRun[1].NumSectors, 1u);
  EXPECT_EQ(PROG_GetRunBytes(&L.L), 3u * 1024);
}

// Verify type 2 never asks the module for a CRC; a piece below 16 bytes is read back with type 1.
TEST_F(ProgTest, VerifyMethodByTypeAndPieceSize) {
  struct Case {
    int VerifyType;
    uint32_t SectorSize;
    size_t CRCs;
    size_t Reads;
  };
  for (const Case& c : {Case{1, 1024, 1, 0}, Case{2, 1024, 0, 1}, Case{1, 10, 0, 1}}) {
    Fake.NativeVerify = false;
    SCOPED_TRACE(testing::Message() << c.VerifyType << " " << c.SectorSize);
    Fake.CRC = true;
    Fake.Calls.clear();
    Layout(4, c.SectorSize);
    OpenBank();
    std::vector<uint8_t> Bytes(c.SectorSize, 0x5A);
    std::memcpy(Fake.Cells.data(), Bytes.data(), Bytes.size());
    Image Data;
    Data.Add(Fake.Base, Bytes);
    PROG_REQUEST Req;
    ASSERT_EQ(VerifyData(Data.p, c.VerifyType, &Req), 0) << Gui.Log;
    EXPECT_EQ(Fake.Count("CRC"), c.CRCs);
    EXPECT_EQ(Fake.Count("Read"), c.Reads);
    EXPECT_EQ(Req.TargetCRC, CRC32_Update(0, Bytes.data(), Bytes.size()));
  }
}

// The algorithm's own verify computes no CRC; the CRC of the success line is still that of
// the bytes verified.
TEST_F(ProgTest, NativeVerifyStillYieldsTheCRCOfTheData) {
  Fake.NativeVerify = true;
  Fake.CRC = true;
  OpenBank();
  std::vector<uint8_t> Bytes(2048, 0x6B);
  std::memcpy(Fake.Cells.data(), Bytes.data(), Bytes.size());
  Image Data;
  Data.Add(Fake.Base, Bytes);
  PROG_REQUEST Req;
  ASSERT_EQ(VerifyData(Data.p, PROG_VERIFY_CRC, &Req), 0) << Gui.Log;
  EXPECT_EQ(Fake.Count("Verify"), 1u);
  EXPECT_EQ(Fake.Count("CRC"), 0u);
  EXPECT_EQ(Req.TargetCRC, CRC32_Update(0, Bytes.data(), Bytes.size()));
  EXPECT_EQ(Req.ExpectedCRC, Req.TargetCRC);
}

// A changed byte fails with its address, whichever way the bytes are compared; the CRCs carry on
// from range to range, so that the CRC of two runs is the CRC of their bytes.
TEST_F(ProgTest, VerifyFindsTheFirstDifferingAddress) {
  struct Case {
    bool CRC;
    bool Native;
    int VerifyType;
    const char* sText;
  };
  for (const Case& c : {
           Case{true, false, 1, "Verification failed @ address 0x08001405 (CRC: 0x"},
           Case{false, false, 2, "Verification failed @ address 0x08001405\n"},
           Case{false, true, 1, "Failed to verify @ address 0x08001405"},
       }) {
    SCOPED_TRACE(c.sText);
    Gui.Log.clear();
    Fake.CRC = c.CRC;
    Fake.NativeVerify = c.Native;
    Layout(8, 1024);
    OpenBank();
    std::vector<uint8_t> Bytes(1024, 0x33);
    Image Data;
    Data.Add(Fake.Base, Bytes).Add(Fake.Base + 0x1400, Bytes);
    std::memcpy(&Fake.Cells[0], Bytes.data(), 1024);
    std::memcpy(&Fake.Cells[0x1400], Bytes.data(), 1024);
    Fake.Cells[0x1405] = 0x34;
    PROG_REQUEST Req;
    EXPECT_LT(VerifyData(Data.p, c.VerifyType, &Req), 0);
    EXPECT_TRUE(Logged(c.sText)) << Gui.Log;
    EXPECT_EQ(Req.FirstFailAddr, 0x08001405);
    if (!c.Native) {
      std::vector<uint8_t> Both(Bytes);
      Both.insert(Both.end(), Bytes.begin(), Bytes.end());
      EXPECT_EQ(Req.ExpectedCRC, CRC32_Update(0, Both.data(), Both.size()));
    }
  }
}

// An erased bank is blank-checked, never read; a stretch before the first byte that is not
// blank is filled the same way.
TEST_F(ProgTest, ReadRangeFillsBlankStretchesWithoutReadingThem) {
  Fake.BlankCheck = true;
  OpenBank();
  Image Erased;
  ASSERT_EQ(PROG_ReadRange(Erased.p, &Bank, &Handle, Fake.Base, Fake.Base + 0xFFFF), 0);
  EXPECT_EQ(Fake.Count("Read"), 0u);
  EXPECT_EQ(DATAIMAGE_GetNumRanges(Erased.p), 1u);
  EXPECT_EQ(DATAIMAGE_GetNumBytes(Erased.p), 0x10000u);
  uint8_t b = 0;
  EXPECT_EQ(DATAIMAGE_GetByte(Erased.p, Fake.Base + 0x8000, &b), 0);
  EXPECT_EQ(b, 0xFF);

  Fake.Cells[0x9001] = 0x42;
  Image Some;
  ASSERT_EQ(PROG_ReadRange(Some.p, &Bank, &Handle, Fake.Base + 1, Fake.Base + 0xFFFE), 0);
  EXPECT_EQ(DATAIMAGE_GetNumRanges(Some.p), 1u);
  EXPECT_EQ(DATAIMAGE_GetStartAddr(Some.p), Fake.Base) << "widened to whole words";
  EXPECT_EQ(DATAIMAGE_GetEndAddr(Some.p), Fake.Base + 0xFFFF);
  EXPECT_EQ(DATAIMAGE_GetByte(Some.p, Fake.Base + 0x9001, &b), 0);
  EXPECT_EQ(b, 0x42);
  ASSERT_GE(Fake.Count("Read"), 1u);
  for (const std::string& s : Fake.Calls) {
    // Only the word that holds the first byte that is not blank, and what follows it.
    if (s.rfind("Read", 0) == 0) {
      EXPECT_GE(std::stoul(s.substr(5), nullptr, 16), Fake.Base + 0x9000u) << s;
    }
  }
}

TEST_F(ProgTest, ReadRangeWithoutAnEmptyValueReadsEverything) {
  OpenBank(false);
  Image Out;
  ASSERT_EQ(PROG_ReadRange(Out.p, &Bank, &Handle, Fake.Base, Fake.Base + 0xFFFF), 0);
  EXPECT_EQ(Fake.Calls, (std::vector<std::string>{"Read 8000000 10000"}));
}

TEST_F(ProgTest, BlankCheckRangeNamesTheFirstByteThatIsNotBlank) {
  for (bool ModuleChecks : {false, true}) {
    SCOPED_TRACE(ModuleChecks);
    Fake.BlankCheck = ModuleChecks;
    Layout(64, 1024);
    Fake.Cells[0x2345] = 0x7E;
    OpenBank();
    uint32_t First = 0;
    uint8_t Value = 0;
    EXPECT_FALSE(
        PROG_BlankCheckRange(Fake.Base, &First, &Bank, &Handle, Fake.Base + 0xFFFF, 0xFF, &Value, false));
    EXPECT_EQ(First, Fake.Base + 0x2345);
    EXPECT_EQ(Value, 0x7E);
    EXPECT_TRUE(PROG_BlankCheckRange(Fake.Base + 0x2346, &First, &Bank, &Handle, Fake.Base + 0xFFFF, 0xFF,
                                     &Value, false));
  }
}
