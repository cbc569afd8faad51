/*
 * Production programming and its smaller commands against the simulated probe and AT32F425:
 * start application, the RS232 signals, the speed test, and the production cycle with its
 * settings, serial numbers, faults and cancel.
 */
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/APP.h"
#include "core/APP_Job.h"
#include "core/APP_GUI.h"
#include "core/APP_Log.h"
#include "data/DATAIMAGE.h"
#include "probe/PROBE_Test.h"
#include "project/PROJECT.h"
#include "project/SETFILE.h"
#include "sys/SYS.h"
#include "project/STEPS.h"
#include "target/PROD.h"
#include "target/PROG.h"
#include "target/TARGET.h"
#include "tests/NullGUI.h"
#include "tests/SimProject.h"
#include "tests/TestFiles.h"

// The emulator under the probe library keeps bookkeeping until the process ends; the leak check
// tells it apart by its library's name only while the library stays mapped.
extern "C" const char* __lsan_default_suppressions() { return "leak:libunicorn.so\n"; }

namespace {

void* g_pPinnedLibrary = dlopen(TFORGE_PROGRAM_DIR "libxrelayarm.so", RTLD_NOW);

// Probe calls of interest, in order, as "Name(args)".
std::vector<std::string> s_Calls;

template <typename F> F _Real(const char* sName) {
  void* h = dlopen(PROBE_GetLibraryPath(), RTLD_NOW | RTLD_NOLOAD);
  F pf = reinterpret_cast<F>(dlsym(h, sName));
  dlclose(h);
  return pf;
}

int _RecordIndicators(const XRELAYARM_INDICATOR_STATE* p, int n) {
  for (int i = 0; i < n; i++) {
    char ac[64];
    std::snprintf(ac, sizeof(ac), "Indicator(%u,%u,%u,%u,%u)", p[i].Index, p[i].On, p[i].Signal, p[i].Level,
                  p[i].Inverse);
    s_Calls.push_back(ac);
  }
  return _Real<decltype(&XRELAYARM_INDICATORS_SetState)>("XRELAYARM_INDICATORS_SetState")(p, n);
}
std::vector<std::string> s_Commands; // probe library commands
int _RecordCommand(const char* sIn, char* sError, int BufferSize) {
  s_Commands.push_back(sIn);
  return _Real<decltype(&XRELAYARM_ExecCommand)>("XRELAYARM_ExecCommand")(sIn, sError, BufferSize);
}
#define RECORD_NO_ARGS(Name)                                                                                   \
  int _Record##Name(void) {                                                                                    \
    s_Calls.push_back(#Name);                                                                                  \
    return _Real<decltype(&XRELAYARM_##Name)>("XRELAYARM_" #Name)();                                           \
  }
RECORD_NO_ARGS(ClrRESET)
RECORD_NO_ARGS(SetRESET)
RECORD_NO_ARGS(Reset)
RECORD_NO_ARGS(ResetNoHalt)
#undef RECORD_NO_ARGS

// Records the log and runs progress dialogs; a dialog can be cancelled once its value has
// moved CancelAfter times.
class ProdGUI : public NullGUI {
public:
  std::mutex Lock;
  std::string Log;
  int CancelAfter = -1;
  std::vector<std::string> Titles; // of the progress dialogs
  void AppendLog(const char* sLine) override {
    char ac[4096];
    APP_StripEscapes(ac, sizeof(ac), sLine);
    std::lock_guard<std::mutex> g(Lock);
    Log += ac;
  }
  static void _Notify(void* pUser) {
    ProdGUI* p = static_cast<ProdGUI*>(pUser);
    if (p->CancelAfter > 0 && --p->CancelAfter == 0) p->pDialog->Cancelled = true;
  }
  ProgressDialogState* CreateProgressDlg(const char* sTitle, const char* sText, int) override {
    Titles.push_back(sTitle);
    pDialog = new ProgressDialogState{};
    pDialog->pLock = SYS_MUTEX_Create(nullptr);
    std::snprintf(pDialog->acText1, sizeof(pDialog->acText1), "%s", sText);
    pDialog->pfNotify = _Notify;
    pDialog->pNotifyUser = this;
    return pDialog;
  }
  void DeleteProgressDlg(ProgressDialogState** pp) override {
    if (*pp == nullptr) return;
    SYS_MUTEX_Delete(&(*pp)->pLock);
    delete *pp;
    *pp = nullptr;
    pDialog = nullptr;
  }
  ProgressDialogState* pDialog = nullptr;
  std::vector<std::string> Boxes; // text of every message box
  void ShowMsgBox(MsgBoxRequest* p) override {
    Boxes.push_back(p->sText ? p->sText : "");
    p->Result = p->DefaultResult;
  }
  // The value dialog: its fields as "label=value" (hex in hex), then the answers given.
  std::vector<std::string> Fields;
  std::vector<int64_t> aAnswer;
  int ShowEditValueDialog(const char* sTitle, EditValueField* paField, int NumFields) override {
    Fields.push_back(sTitle);
    for (int i = 0; i < NumFields; i++) {
      char ac[128];
      std::snprintf(ac, sizeof(ac), paField[i].IsHex ? "%s=0x%llX" : "%s=%lld", paField[i].sLabel,
                    (long long)*paField[i].pValue);
      Fields.push_back(ac);
      if ((size_t)i < aAnswer.size()) *paField[i].pValue = aAnswer[i];
    }
    return aAnswer.empty() ? -1 : 0;
  }
};

class ProdTest : public SimProjectTest<ProdGUI> {
protected:
  ProdTest() : SimProjectTest("board") {}

  void SetUp() override {
    SimProjectTest::SetUp();
    if (HasFatalFailure()) return;
    PROG_InstallJobs(); // the flash engine's hooks
    ASSERT_EQ(PROBE_Load(), 0);
    s_Calls.clear();
    PROBE_SetEntry("XRELAYARM_INDICATORS_SetState", reinterpret_cast<void*>(_RecordIndicators));
    PROBE_SetEntry("XRELAYARM_ClrRESET", reinterpret_cast<void*>(_RecordClrRESET));
    PROBE_SetEntry("XRELAYARM_SetRESET", reinterpret_cast<void*>(_RecordSetRESET));
    PROBE_SetEntry("XRELAYARM_Reset", reinterpret_cast<void*>(_RecordReset));
    PROBE_SetEntry("XRELAYARM_ResetNoHalt", reinterpret_cast<void*>(_RecordResetNoHalt));
  }
  void EditProduction(void (*pfEdit)(PROJECT_PRODUCTION*)) {
    PROJECT_PRODUCTION P;
    PROJECT_GetProduction(&P);
    pfEdit(&P);
    PROJECT_SetProduction(&P);
  }
  std::string Log() {
    std::lock_guard<std::mutex> g(Gui.Lock);
    return Gui.Log;
  }
  bool LogHas(const std::string& s) { return Log().find(s) != std::string::npos; }
  void ClearLog() {
    std::lock_guard<std::mutex> g(Gui.Lock);
    Gui.Log.clear();
  }
  // The banks of the example: main flash selected whole, boot memory and user system data
  // with the loaders of the build; production with sector erase, program, verify by CRC.
  void UseExampleBanks() {
    std::string Text = ReadAll(TFORGE_EXAMPLE_DIR "/counter.tforge");
    std::string File = ProjectFile();
    WriteAll(File, Text);
    PROJECT_Close();
    ASSERT_EQ(SETFILE_Open(File.c_str()), 0);
    ASSERT_EQ(PROJECT_Load(false), 0) << Log();
    EditProduction([](PROJECT_PRODUCTION* p) {
      p->ProgramSN = 0;
      p->AutoPerformsStartApp = 0;
      p->EnableTargetPower = 0;
    });
  }
  // Main flash of the simulated chip as its state file holds it.
  std::string Flash(uint32_t Addr, size_t n) {
    std::string Cells = ReadAll(Dir + "/sim/123456/flash.bin");
    size_t Off = 20 + (Addr - 0x08000000u);
    return Cells.size() >= Off + n ? Cells.substr(Off, n) : std::string();
  }
  void PatchFlash(uint32_t Addr, uint8_t Value) {
    std::string Path = Dir + "/sim/123456/flash.bin";
    std::string Cells = ReadAll(Path);
    Cells[20 + (Addr - 0x08000000u)] = (char)Value;
    WriteAll(Path, Cells);
  }
  // NumBytes of a counting pattern at Addr.
  static DataImage* Pattern(uint32_t Addr, uint32_t NumBytes, uint8_t Seed = 0) {
    DataImage* p = DATAIMAGE_Create();
    std::string Data(NumBytes, 0);
    for (uint32_t i = 0; i < NumBytes; i++) Data[i] = (char)(i * 7 + Seed);
    DATAIMAGE_AddData(p, Addr, NumBytes, Data.data());
    return p;
  }
  std::string Expected(DataImage* p, uint32_t Addr, uint32_t n) {
    std::string s(n, 0);
    DATAIMAGE_Read(p, Addr, n, s.data(), 0xFF);
    return s;
  }
  size_t Count(const std::string& s) {
    std::string L = Log();
    size_t n = 0;
    for (size_t p = L.find(s); p != std::string::npos; p = L.find(s, p + 1)) n++;
    return n;
  }
};

struct ImageGuard {
  DataImage* p;
  ~ImageGuard() { DATAIMAGE_Delete(p); }
};

} // namespace

TEST_F(ProdTest, StartApplicationByResetPinOrThroughTheDebugInterface) {
  struct {
    int StartType;
    std::vector<std::string> Calls;
  } aCase[] = {
      {1, {"ClrRESET", "SetRESET"}},
      {0, {"Reset"}}, // a Cortex-M core; only ARM7/ARM9 are reset without halting
  };
  for (const auto& c : aCase) {
    SCOPED_TRACE(c.StartType);
    ASSERT_EQ(TARGET_Connect(), 0) << Log();
    s_Calls.clear();
    Gui.Log.clear();
    EXPECT_EQ(PROD_StartApplication(c.StartType), 0) << Log();
    EXPECT_EQ(s_Calls, c.Calls);
    EXPECT_TRUE(LogHas("Starting application ...")) << Log();
    EXPECT_TRUE(LogHas("Disconnected")) << "the connection goes first\n" << Log();
    EXPECT_TRUE(LogHas("Target application started - Completed after ")) << Log();
    EXPECT_FALSE(TARGET_IsConnected());
    EXPECT_FALSE(XRELAYARM_IsOpen()) << "the probe lets go of the target";
  }
}

// With target power on, the start powers the target again and waits before it lets go.
TEST_F(ProdTest, StartApplicationPowersTheTarget) {
  EditProduction([](PROJECT_PRODUCTION* p) {
    p->EnableTargetPower = 1;
    p->TargetPowerDelay = 0;
  });
  s_Commands.clear();
  PROBE_SetEntry("XRELAYARM_ExecCommand", reinterpret_cast<void*>(_RecordCommand));
  EXPECT_EQ(PROD_StartApplication(0), 0) << Log();
  EXPECT_EQ(s_Commands, (std::vector<std::string>{"SupplyPower = 1", "Device = AT32F425C8T7"}));
  EXPECT_EQ(s_Calls, std::vector<std::string>{"Reset"});
}

TEST_F(ProdTest, StartApplicationWithoutProbeFails) {
  Configure("SerialNumber = 5\n");
  PROJECT_GENERAL G;
  PROJECT_GetGeneral(&G);
  G.ConnectMode = 1;
  G.USBSerialNo = 99;
  PROJECT_SetGeneral(&G);
  EXPECT_EQ(PROD_StartApplication(1), -1);
  EXPECT_TRUE(LogHas("Failed to start application")) << Log();
  EXPECT_FALSE(LogHas("Target application started")) << Log();
  EXPECT_TRUE(s_Calls.empty());
}

TEST_F(ProdTest, RS232SignalsOnlyOnTheModelsThatHaveThem) {
  struct {
    int ProductId;
    bool HasSignals;
  } aModel[] = {{28, false}, {10, true}, {14, true}, {15, true}, {34, true}, {41, false}};
  struct {
    int Signal;
    bool On;
    const char* sState;
  } aUse[] = {{0, true, "Indicator(1,1,3,1,0)"},
              {0, false, "Indicator(1,0,3,0,1)"},
              {1, true, "Indicator(1,1,2,1,0)"},
              {1, false, "Indicator(1,0,2,0,1)"}};
  for (const auto& m : aModel) {
    TARGET_CloseProbe();
    Configure("ProductId = " + std::to_string(m.ProductId));
    for (const auto& u : aUse) {
      SCOPED_TRACE(std::to_string(m.ProductId) + " signal " + std::to_string(u.Signal) + (u.On ? " on" : " off"));
      s_Calls.clear();
      PROD_SetRS232Signal(u.Signal, u.On);
      EXPECT_EQ(s_Calls, m.HasSignals ? std::vector<std::string>{u.sState} : std::vector<std::string>{});
    }
  }
}

TEST_F(ProdTest, SpeedTenthsOfKBPerSecond) {
  struct {
    uint32_t NumBytes, Ms, Tenths;
  } aCase[] = {
      {0x40000 * 3, 1000, 7680}, // 786432 B/s: (786432 + 32) * 10 / 1024
      {1024, 1000, 10},
      {1000, 1000, 10}, // 1000 B/s rounds to 1.0 KB/s
      {100, 0, 976},    // no measurable time counts as 1 ms
      {0, 5, 0},
  };
  for (const auto& c : aCase) {
    EXPECT_EQ(PROD_SpeedTenthsKB(c.NumBytes, c.Ms), c.Tenths) << c.NumBytes << " in " << c.Ms;
  }
}

TEST_F(ProdTest, SpeedTestWritesAndReadsTheRange) {
  EXPECT_EQ(PROD_TestSpeed(0x20000000, 0x1000, 2), 0) << Log();
  for (const char* s : {"Testing speed ...", "Testing download speed (write memory) ...",
                        "Testing upload speed (read memory) ...", "Speed tested successfully - Completed after ",
                        "Download speed: ", " KB/sec\nUpload speed: "}) {
    EXPECT_TRUE(LogHas(s)) << s << "\n" << Log();
  }
  uint8_t ab[0x1000];
  ASSERT_GE(XRELAYARM_ReadMem(0x20000000, sizeof(ab), ab), 0);
  for (uint32_t i = 0; i < sizeof(ab); i++) ASSERT_EQ(ab[i], i % 255) << i;
}

TEST_F(ProdTest, SpeedTestStopsAtTheFirstFailingRead) {
  Configure("FaultReadErrorAt = 0x20004000");
  EXPECT_EQ(PROD_TestSpeed(0x20000000, 0x5000, 2), -1);
  EXPECT_TRUE(LogHas("Failed to read memory (0x5000 bytes @ address 0x20000000)")) << Log();
  EXPECT_TRUE(LogHas("Failed to test speed")) << Log();
  EXPECT_FALSE(LogHas("Speed tested successfully")) << Log();
}

// The settings of the cycle that end it before the success line: the board is not right, its
// serial number is given back, and nothing claims it any more.
TEST_F(ProdTest, CycleEndsWithoutSuccessWhenAStepFails) {
  struct Case {
    const char* sName;
    void (*pfEdit)(PROJECT_PRODUCTION*, PROJECT_CPU*);
    const char* sError;
  };
  const Case aCase[] = {
      {"unknown erase type", [](PROJECT_PRODUCTION* p, PROJECT_CPU*) { p->EraseType = 0; },
       "Invalid erase type selected"},
      {"secure without a secure function", [](PROJECT_PRODUCTION* p, PROJECT_CPU*) { p->AutoPerformsSecure = 1; },
       "Could not secure chip. No secure function implemented."},
      {"failing exit step",
       [](PROJECT_PRODUCTION*, PROJECT_CPU* c) {
         c->NumExitSteps = 1;
         c->aExitStep[0] = PROJECT_STEP{(uint32_t)STEPS_FindAction("Verify 32bit"), 0x08000000, 0x12345678, ""};
       },
       "Failed to perform exit steps"},
  };
  UseExampleBanks();
  ImageGuard Image{Pattern(0x08000000, 0x100)};
  for (const Case& c : aCase) {
    SCOPED_TRACE(c.sName);
    ASSERT_EQ(PROJECT_Load(false), 0);
    PROJECT_PRODUCTION P;
    PROJECT_CPU C;
    PROJECT_GetProduction(&P);
    PROJECT_GetCPU(&C);
    P.ProgramSN = 1;
    P.SNAddr = 0x08000400;
    P.AutoPerformsStartApp = 0;
    c.pfEdit(&P, &C);
    PROJECT_SetProduction(&P);
    PROJECT_SetCPU(&C);
    ClearLog();
    EXPECT_EQ(PROD_AutoProgram(Image.p), -1) << Log();
    EXPECT_TRUE(LogHas(c.sError)) << Log();
    EXPECT_FALSE(LogHas("verified successfully")) << Log();
    EXPECT_EQ(ReadAll(Dir + "/board_Serial.txt"), "") << "no number used up";
    EXPECT_FALSE(SYS_FILE_IsFile((Dir + "/board_Serial.claims").c_str())) << "the claim is given back";
    TARGET_Disconnect();
  }
}

TEST_F(ProdTest, CancelledCycleNeitherSucceedsNorUsesANumber) {
  UseExampleBanks();
  EditProduction([](PROJECT_PRODUCTION* p) {
    p->ProgramSN = 1;
    p->SNAddr = 0x08000400;
  });
  ImageGuard Image{Pattern(0x08000000, 0x2000)};
  Gui.CancelAfter = 5; // somewhere in the bank loop
  EXPECT_EQ(PROD_AutoProgram(Image.p), 1) << Log();
  EXPECT_TRUE(LogHas("Programming canceled by user")) << Log();
  EXPECT_FALSE(LogHas("verified successfully")) << Log();
  EXPECT_EQ(ReadAll(Dir + "/board_Serial.txt"), "");
  EXPECT_FALSE(SYS_FILE_IsFile((Dir + "/board_Serial.claims").c_str()));

  Gui.CancelAfter = -1;
  ClearLog();
  EXPECT_EQ(PROD_AutoProgram(Image.p), 0) << Log();
  EXPECT_EQ(Flash(0x08000400, 4), std::string("\x01\0\0\0", 4)) << "the cancelled board's number";
  EXPECT_EQ(ReadAll(Dir + "/board_Serial.txt"), "2");
}

// The RS232 states of a cycle around the bank loop's indicators, on a model with the signals
// and on one without.
TEST_F(ProdTest, SignalStatesOfTheCycle) {
  struct {
    int ProductId;
    std::vector<std::string> Calls;
  } aCase[] = {
      {10,
       {"Indicator(1,0,3,0,1)", "Indicator(1,0,2,1,0)", "Indicator(1,0,0,300,300)", "Indicator(0,0,0,0,0)",
        "Indicator(1,0,3,1,0)", "Indicator(1,0,2,0,1)"}},
      {28, {"Indicator(1,0,0,300,300)", "Indicator(0,0,0,0,0)"}},
  };
  UseExampleBanks();
  ImageGuard Image{Pattern(0x08000000, 0x100)};
  for (const auto& c : aCase) {
    SCOPED_TRACE(c.ProductId);
    TARGET_Disconnect();
    Configure("ProductId = " + std::to_string(c.ProductId));
    s_Calls.clear();
    EXPECT_EQ(PROD_AutoProgram(Image.p), 0) << Log();
    std::vector<std::string> aState;
    for (const std::string& Call : s_Calls) {
      if (Call.rfind("Indicator", 0) == 0) aState.push_back(Call);
    }
    EXPECT_EQ(aState, c.Calls);
  }
}

// SkipUnchangedSectors: sector erase leaves every sector alone whose contents already match and
// works on the others; the log counts them.
TEST_F(ProdTest, SkipUnchangedSectorsWithSectorErase) {
  UseExampleBanks();
  EditProduction([](PROJECT_PRODUCTION* p) { p->SkipUnchangedSectors = 1; });
  ImageGuard Image{Pattern(0x08000000, 0x1000)}; // four sectors of 1 KB
  struct Step {
    const char* sName;
    uint32_t ChangeAddr; // 0: data as it is
    const char* sCompared;
    const char* sErased; // null: nothing erased
  };
  const Step aStep[] = {
      {"blank chip", 0, "0 of 4 sectors already hold the data, skipped", nullptr}, // blank: checked, not erased
      {"unchanged", 0, "4 of 4 sectors already hold the data, skipped", nullptr},
      {"one byte changed", 0x08000A10, "3 of 4 sectors already hold the data, skipped",
       "Erasing range 0x08000800 - 0x08000BFF (  1 Sector, 1024 Bytes)"},
  };
  for (const Step& st : aStep) {
    SCOPED_TRACE(st.sName);
    if (st.ChangeAddr) {
      DATAIMAGE_WriteBytes(Image.p, st.ChangeAddr, 1, "\x5A");
    }
    ClearLog();
    EXPECT_EQ(PROD_AutoProgram(Image.p), 0) << Log();
    EXPECT_TRUE(LogHas(st.sCompared)) << Log();
    EXPECT_EQ(Count("Erasing range"), st.sErased ? 1u : 0u) << Log();
    if (st.sErased) {
      EXPECT_TRUE(LogHas(st.sErased)) << Log();
    }
    EXPECT_TRUE(LogHas("Target erased, programmed and verified successfully")) << Log();
    EXPECT_EQ(Flash(0x08000000, 0x1400), Expected(Image.p, 0x08000000, 0x1400));
  }
}

// With chip erase the bank is left alone only when all of it holds what erase and programming
// would leave: a stray byte outside the data makes the whole cycle run.
TEST_F(ProdTest, SkipUnchangedSectorsWithChipErase) {
  UseExampleBanks();
  EditProduction([](PROJECT_PRODUCTION* p) {
    p->SkipUnchangedSectors = 1;
    p->EraseType = 3;
  });
  ImageGuard Image{Pattern(0x08000000, 0x800)};
  EXPECT_EQ(PROD_AutoProgram(Image.p), 0) << Log();
  EXPECT_TRUE(LogHas("Start of erasing chip")) << Log();

  ClearLog();
  EXPECT_EQ(PROD_AutoProgram(Image.p), 0) << Log();
  EXPECT_TRUE(LogHas("Flash bank @ 0x08000000 already holds the data, skipped 64 sectors")) << Log();
  EXPECT_TRUE(LogHas("64 unchanged sectors skipped")) << Log();
  EXPECT_FALSE(LogHas("Start of erasing")) << Log();

  TARGET_Disconnect();
  PatchFlash(0x0800F000, 0x00);
  ClearLog();
  EXPECT_EQ(PROD_AutoProgram(Image.p), 0) << Log();
  EXPECT_TRUE(LogHas("Start of erasing chip")) << Log();
  EXPECT_TRUE(LogHas("0 unchanged sectors skipped")) << Log();
  EXPECT_EQ(Flash(0x0800F000, 1), "\xFF") << "the chip erase took the stray byte";
  EXPECT_EQ(Flash(0x08000000, 0x800), Expected(Image.p, 0x08000000, 0x800));
}

TEST_F(ProdTest, JobsOfTheTestMenu) {
  PROD_InstallJobs();
  const JobTableEntry* paJob = APP_GetJobTable();
  JobContext Job{};

  // Without an external bank that answers the CFI query there is nothing to show but that.
  paJob[JOB_SHOW_CFI_INFO].pfHandler(&Job);
  EXPECT_EQ(Job.Result, -1);
  EXPECT_TRUE(LogHas("Reading CFI info ...")) << Log();
  EXPECT_EQ(Gui.Boxes, std::vector<std::string>{"Connected device does not support CFI!"});

  // The speed test asks first, proposing the work RAM; cancelling the dialog tests nothing.
  ClearLog();
  paJob[JOB_TEST_SPEED].pfHandler(&Job);
  EXPECT_EQ(Job.Result, 0);
  EXPECT_EQ(Gui.Fields, (std::vector<std::string>{"Test up/download speed", "Address (hex)=0x20000000",
                                                  "Size (hex)=0x40000", "Readings=3"}));
  EXPECT_FALSE(LogHas("Testing speed ...")) << Log();
  Gui.aAnswer = {0x20001000, 0x800, 2};
  paJob[JOB_TEST_SPEED].pfHandler(&Job);
  EXPECT_EQ(Job.Result, 0) << Log();
  EXPECT_TRUE(LogHas("Speed tested successfully")) << Log();

  // "Set RS232 signal": BUSY on, on a programmer that has the signals.
  TARGET_CloseProbe();
  Configure("ProductId = 34");
  s_Calls.clear();
  PROD_SIGNAL_PARAMS Signal{1, 1};
  Job.pParams = &Signal;
  paJob[JOB_SET_SERIAL_SIGNAL].pfHandler(&Job);
  EXPECT_EQ(s_Calls, std::vector<std::string>{"Indicator(1,1,2,1,0)"});
}

// The AutoPerforms settings pick the steps of the cycle; the success line stays the same, and a
// verify that finds what the steps left fails the board.
TEST_F(ProdTest, ProductionSettingsPickTheSteps) {
  struct Case {
    uint32_t Erase, Program, Verify, Disconnect;
    int Result;
  } aCase[] = {
      {1, 1, 1, 1, 0},
      {0, 0, 1, 0, 0},  // verify alone, on the board the first case programmed
      {1, 1, 0, 0, 0},
      {1, 0, 1, 1, -1}, // erased but not programmed: the verify finds the difference
  };
  UseExampleBanks();
  EditProduction([](PROJECT_PRODUCTION* p) { p->EraseType = 1; });
  ImageGuard Image{Pattern(0x08000000, 0x400)};
  for (const Case& c : aCase) {
    SCOPED_TRACE(testing::Message() << c.Erase << c.Program << c.Verify << c.Disconnect);
    PROJECT_PRODUCTION P;
    PROJECT_GetProduction(&P);
    P.AutoPerformsErase = c.Erase;
    P.AutoPerformsProgram = c.Program;
    P.AutoPerformsVerify = c.Verify;
    P.AutoPerformsDisconnect = c.Disconnect;
    PROJECT_SetProduction(&P);
    ClearLog();
    EXPECT_EQ(PROD_AutoProgram(Image.p), c.Result) << Log();
    EXPECT_EQ(LogHas("Start of erasing sectors"), c.Erase != 0) << Log();
    EXPECT_EQ(LogHas("Start of flash programming\n"), c.Program != 0) << Log();
    EXPECT_EQ(LogHas("Start of verifying flash"), c.Verify != 0) << Log();
    EXPECT_EQ(LogHas("Target erased, programmed and verified successfully"), c.Result == 0) << Log();
    if (c.Result != 0) {
      EXPECT_TRUE(LogHas("Verification failed @ address 0x08000000")) << Log();
    } else {
      EXPECT_EQ(TARGET_IsConnected(), c.Disconnect == 0);
    }
    TARGET_Disconnect();
  }
}
