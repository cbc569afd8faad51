/*
 * The target connection and the init and exit sequences against the simulated probe: a
 * project for the simulated AT32F425 (or a core-only device), a simulator configuration of the
 * test's own, the log in a file of the test and the status fields recorded.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <dlfcn.h>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "app/APP.h"
#include "core/APP.h"
#include "core/APP_GUI.h"
#include "core/APP_Log.h"
#include "data/DATAIMAGE.h"
#include "data/DATAJOBS.h"
#include "mcudb/MCUDB.h"
#include "probe/PROBE_Test.h"
#include "project/PROJECT.h"
#include "project/STEPS.h"
#include "sys/SYS.h"
#include "target/TARGET.h"
#include "target/TARGET_Steps.h"
#include "tests/NullGUI.h"
#include "tests/SimProject.h"
#include "tests/TestFiles.h"

namespace {

class StatusGUI : public NullGUI {
public:
  std::string aField[4];
  std::mutex Lock; // the voltage monitor logs from its own thread
  std::string Log;  // every log line, without colour
  void AppendLog(const char* sLine) override {
    char ac[2048];
    APP_StripEscapes(ac, sizeof(ac), sLine);
    std::lock_guard<std::mutex> g(Lock);
    Log += ac;
  }
  void SetStatusField(int Index, const char* sText) override {
    if (Index >= 0 && Index < 4) aField[Index] = sText;
  }
  std::vector<ProjectInfoRecord> Infos; // every project information refresh
  std::string Title;
  void UpdateProjectInfo(const ProjectInfoRecord* p) override { Infos.push_back(*p); }
  void SetTitleText(const char* sText) override { Title = sText; }
};

struct Step {
  const char* sAction;
  uint32_t Value0;
  uint32_t Value1;
};

class TargetTest : public SimProjectTest<StatusGUI> {
protected:
  void SetUp() override {
    SimProjectTest::SetUp();
    if (HasFatalFailure()) return;
    STEPS_SetVariable(0);
  }
  void EditCPU(void (*pfEdit)(PROJECT_CPU*)) {
    PROJECT_CPU C;
    PROJECT_GetCPU(&C);
    pfEdit(&C);
    PROJECT_SetCPU(&C);
  }
  void SetSteps(bool Init, const std::vector<Step>& aStep) {
    PROJECT_CPU C;
    PROJECT_GetCPU(&C);
    PROJECT_STEP* p = Init ? C.aInitStep : C.aExitStep;
    for (size_t i = 0; i < aStep.size(); i++) {
      int a = STEPS_FindAction(aStep[i].sAction);
      ASSERT_GE(a, 0) << aStep[i].sAction;
      p[i] = PROJECT_STEP{(uint32_t)a, aStep[i].Value0, aStep[i].Value1, ""};
    }
    (Init ? C.NumInitSteps : C.NumExitSteps) = (uint32_t)aStep.size();
    PROJECT_SetCPU(&C);
  }
  void SetTIF(void (*pfEdit)(PROJECT_TIF*)) {
    PROJECT_TIF T;
    PROJECT_GetTIF(&T);
    pfEdit(&T);
    PROJECT_SetTIF(&T);
  }
  std::string Log() {
    std::lock_guard<std::mutex> g(Gui.Lock);
    return Gui.Log;
  }
  bool LogHas(const std::string& s) { return Log().find(s) != std::string::npos; }
  size_t Count(const std::string& s) {
    std::string L = Log();
    size_t n = 0;
    for (size_t p = L.find(s); p != std::string::npos; p = L.find(s, p + 1)) n++;
    return n;
  }
};

} // namespace

TEST_F(TargetTest, ConnectsAndDisconnectsOnTheDefaultProbe) {
  ASSERT_EQ(TARGET_Connect(), 0) << Log();
  EXPECT_TRUE(TARGET_IsConnected());
  EXPECT_TRUE(XRELAYARM_IsOpen());
  for (const char* s : {"Connecting ...", "Probe/ Programmer S/N: 123456", "VTarget = 3.300V",
                        "Target interface speed: 4000 kHz (Fixed)", "Executing init sequence ...",
                        "Initialized successfully", "CPU clock frequency: 8000 kHz (Measured: 8000 kHz)",
                        "Found 1 JTAG device. Core ID: 0x2BA01477 (", "Connected successfully"}) {
    EXPECT_TRUE(LogHas(s)) << s << "\n" << Log();
  }
  EXPECT_EQ(Gui.aField[0], "Ready");
  EXPECT_EQ(Gui.aField[1], "Connected");
  EXPECT_EQ(Gui.aField[2], "Core Id: 0x2BA01477");
  EXPECT_EQ(Gui.aField[3], "Speed: 4000 kHz");
  EXPECT_EQ(TARGET_GetCPUClock(), 8000000u);

  // Connecting again changes nothing and succeeds.
  size_t Before = Log().size();
  EXPECT_EQ(TARGET_Connect(), 0);
  EXPECT_EQ(Log().size(), Before);

  TARGET_Disconnect();
  EXPECT_FALSE(TARGET_IsConnected());
  EXPECT_FALSE(XRELAYARM_IsOpen());
  EXPECT_TRUE(LogHas("Disconnected")) << Log();
  EXPECT_EQ(Gui.aField[1], "Not connected");
  EXPECT_EQ(Gui.aField[2], "");
  EXPECT_EQ(Gui.aField[3], "");
}

// The main window follows the connection: its project information and its menu state are
// refreshed after every connect, failed or not, and every disconnect.
TEST_F(TargetTest, ConnectAndDisconnectRefreshTheProjectInformationAndTheMenus) {
  static int s_MenuUpdates;
  s_MenuUpdates = 0;
  static const TARGET_HOOKS Hooks = {nullptr, nullptr, nullptr, nullptr, [] { s_MenuUpdates++; }};
  TARGET_SetHooks(&Hooks);
  PROJECT_FLASH F;
  PROJECT_GetFlash(&F);
  F.NumBanks = 1;
  F.aBank[0].IsInternal = 1;
  F.aBank[0].BaseAddr = 0x08000000;
  std::snprintf(F.aBank[0].acLoaderName, sizeof(F.aBank[0].acLoaderName), "Default");
  PROJECT_SetFlash(&F);
  ASSERT_EQ(TARGET_Connect(), 0) << Log();
  ASSERT_EQ(Gui.Infos.size(), 1u);
  const ProjectInfoRecord& r = Gui.Infos[0];
  EXPECT_TRUE(r.ProjectOpen);
  EXPECT_STREQ(r.acProjectName, "p");
  EXPECT_NE(std::string(r.acDevice).find("AT32F425C8T7"), std::string::npos) << r.acDevice;
  EXPECT_STRNE(r.acCoreName, "");
  ASSERT_GE(r.NumBanks, 1);
  EXPECT_EQ(r.aBank[0].BaseAddr, 0x08000000u);
  EXPECT_EQ(r.aBank[0].Size, 64u * 1024u);
  EXPECT_EQ(s_MenuUpdates, 1);

  TARGET_Disconnect();
  EXPECT_EQ(Gui.Infos.size(), 2u);
  EXPECT_EQ(s_MenuUpdates, 2);

  SetSteps(true, {{"Write 16bit", 0x20000000, 0x1235}, {"Verify 16bit", 0x20000000, 0x1234}});
  EXPECT_EQ(TARGET_Connect(), 1);
  EXPECT_EQ(Gui.Infos.size(), 3u);
  EXPECT_EQ(s_MenuUpdates, 3);
}

// Without a project there is nothing to stay connected to: the title update after the project
// has closed disconnects, without asking the closed project for anything.
TEST_F(TargetTest, TheTitleWithoutAProjectDisconnectsTheTarget) {
  APP_SetTitleSource([](char* sPath, int PathSize, bool* pModified) {
    std::snprintf(sPath, (size_t)PathSize, "%s", "/x/p.tforge");
    *pModified = false;
    return PROJECT_IsOpen();
  });
  APP_SetDisconnectHandler(TARGET_Disconnect);
  ASSERT_EQ(TARGET_Connect(), 0) << Log();
  APP_UpdateTitle();
  EXPECT_TRUE(TARGET_IsConnected());
  EXPECT_NE(Gui.Title.find(" - [/x/p.tforge]"), std::string::npos) << Gui.Title;

  PROJECT_Close();
  APP_UpdateTitle();
  EXPECT_FALSE(TARGET_IsConnected());
  EXPECT_FALSE(XRELAYARM_IsOpen());
  EXPECT_TRUE(LogHas("Disconnected")) << Log();
  EXPECT_FALSE(LogHas("ERROR")) << Log();
  char acName[128];
  APP_GetFullProductName(acName, sizeof(acName));
  EXPECT_EQ(Gui.Title, acName);
}

TEST_F(TargetTest, AProbeThatIsNotThereFailsAndLeavesNothingOpen) {
  PROJECT_GENERAL G;
  PROJECT_GetGeneral(&G);
  G.ConnectMode = 1;
  G.USBSerialNo = 999;
  PROJECT_SetGeneral(&G);
  EXPECT_EQ(TARGET_Connect(), 1);
  EXPECT_FALSE(TARGET_IsConnected());
  EXPECT_FALSE(XRELAYARM_IsOpen());
  EXPECT_TRUE(LogHas("Probe/ Programmer with SN 999 not found.")) << Log();
  EXPECT_TRUE(LogHas("Could not establish a connection to the X-Relay.")) << Log();
  EXPECT_TRUE(LogHas("Connect failed")) << Log();
  EXPECT_EQ(Gui.aField[0], "Failed to connect.\nCould not establish a connection to the X-Relay.");
}

TEST_F(TargetTest, CoreIdCheck) {
  struct Case {
    const char* sSimId;
    uint32_t Expected, Mask;
    int Result;          // of TARGET_Connect
    const char* sText;   // expected in the log, or null
    bool Warns;
  } aCase[] = {
      {"0x2BA01477", 0x2BA01477, 0xFFFFFFFF, 0, nullptr, false},
      {"0x1BA01477", 0x2BA01477, 0x0FFFFFFF, 0, nullptr, false}, // differs outside the mask
      {"0x2BA01477", 0x2BA02477, 0x0FFFFFFF, 0,
       "Unexpected core ID. (Found: 0x2BA01477, Expected: 0x2BA02477, Mask: 0x0FFFFFFF)", true},
      {"0x2BA01476", 0x2BA01477, 0xFFFFFFFF, 1, "Invalid core ID. (0x2BA01476)", false},
  };
  for (const Case& c : aCase) {
    SCOPED_TRACE(c.sSimId);
    Configure(std::string("CoreId = ") + c.sSimId);
    static uint32_t s_Expected, s_Mask;
    s_Expected = c.Expected;
    s_Mask = c.Mask;
    EditCPU([](PROJECT_CPU* p) {
      p->CheckCoreID = 1;
      p->CoreID = s_Expected;
      p->CoreIDMask = s_Mask;
    });
    Gui.Log.clear();
    EXPECT_EQ(TARGET_Connect(), c.Result) << Log();
    if (c.sText) {
      EXPECT_TRUE(LogHas(c.sText)) << Log();
    }
    EXPECT_EQ(LogHas("Unexpected core ID."), c.Warns) << Log();
    if (c.Result) {
      EXPECT_TRUE(LogHas("Failed to connect.\nFailed to verify core Id.")) << Log();
      EXPECT_FALSE(XRELAYARM_IsOpen());
    }
    TARGET_Disconnect();
  }
}

TEST_F(TargetTest, CoreIdZeroPasses) {
  PROBE_SetEntry("XRELAYARM_GetIdData", reinterpret_cast<void*>(+[](XRELAYARM_ID_DATA* p) {
                   *p = XRELAYARM_ID_DATA{};
                   p->NumDevices = 1;
                   return 0;
                 }));
  EditCPU([](PROJECT_CPU* p) {
    p->CheckCoreID = 1;
    p->CoreID = 0x2BA01477;
    p->CoreIDMask = 0xFFFFFFFF;
  });
  EXPECT_EQ(TARGET_Connect(), 0) << Log();
  EXPECT_FALSE(LogHas("core ID")) << Log();
  EXPECT_TRUE(LogHas("Found 1 JTAG device. Core ID: 0x00000000")) << Log();
}

namespace {
int s_MeasuredHz;
int _FakeMeasure(uint32_t, int) { return s_MeasuredHz; }
} // namespace

TEST_F(TargetTest, ClockWindowAroundTheSelectedClock) {
  struct Case {
    int MeasuredMHz;
    const char* sWarning;
  } aCase[] = {
      {38, "Measured CPU clock frequency is lower than selected. (Measured: 38000 kHz, Selected: 48000 kHz)"},
      {40, nullptr},
      {52, nullptr},
      {53, "Measured CPU clock frequency is higher than selected. (Measured: 53000 kHz, Selected: 48000 kHz)"},
  };
  EditCPU([](PROJECT_CPU* p) { p->ClockSpeed = 48000000; });
  PROBE_SetEntry("XRELAYARM_MeasureCPUSpeed", reinterpret_cast<void*>(_FakeMeasure));
  for (const Case& c : aCase) {
    SCOPED_TRACE(c.MeasuredMHz);
    s_MeasuredHz = c.MeasuredMHz * 1000000;
    Gui.Log.clear();
    EXPECT_EQ(TARGET_Connect(), 0) << Log();
    EXPECT_EQ(LogHas("Measured CPU clock frequency is"), c.sWarning != nullptr) << Log();
    if (c.sWarning) {
      EXPECT_TRUE(LogHas(c.sWarning)) << Log();
    }
    EXPECT_TRUE(LogHas("CPU clock frequency: 48000 kHz (Measured: " + std::to_string(c.MeasuredMHz * 1000) + " kHz)"))
        << Log();
    EXPECT_EQ(TARGET_GetCPUClock(), 48000000u);
    TARGET_Disconnect();
  }
}

// The init sequence runs the core from the PLL (HICK / 2 times 12 = 48 MHz) before the clock is
// measured, so the measurement and the check against the selected clock see the new clock.
TEST_F(TargetTest, AnInitSequenceThatSwitchesThePllChangesTheMeasuredClock) {
  struct Case {
    uint32_t SelectedHz;
    bool Auto;
    const char* sClockLine;
    const char* sWarning;
  } aCase[] = {
      {48000000, false, "CPU clock frequency: 48000 kHz (Measured: 48000 kHz)", nullptr},
      {8000000, false, "CPU clock frequency: 8000 kHz (Measured: 48000 kHz)",
       "Measured CPU clock frequency is higher than selected. (Measured: 48000 kHz, Selected: 8000 kHz)"},
      {72000000, false, "CPU clock frequency: 72000 kHz (Measured: 48000 kHz)",
       "Measured CPU clock frequency is lower than selected. (Measured: 48000 kHz, Selected: 72000 kHz)"},
      {8000000, true, "CPU clock frequency: 48000 kHz (Auto detected)", nullptr},
  };
  const uint32_t kCtrl = 0x40021000, kCfg = 0x40021004;
  const uint32_t kMult12 = 10u << 18; // PLL source HICK / 2
  SetSteps(true, {{"Reset", 0, 0},
                  {"Write 32bit", kCfg, kMult12},
                  {"Write 32bit", kCtrl, 0x01000001}, // HICK and PLL on
                  {"Write 32bit", kCfg, kMult12 | 2}}); // system clock from the PLL
  for (const Case& c : aCase) {
    SCOPED_TRACE(c.sClockLine);
    EditCPU(c.Auto ? +[](PROJECT_CPU* p) { p->UseAutoSpeed = 1; } : +[](PROJECT_CPU* p) { p->UseAutoSpeed = 0; });
    PROJECT_CPU C;
    PROJECT_GetCPU(&C);
    C.ClockSpeed = c.SelectedHz;
    PROJECT_SetCPU(&C);
    Gui.Log.clear();
    ASSERT_EQ(TARGET_Connect(), 0) << Log();
    EXPECT_TRUE(LogHas(c.sClockLine)) << Log();
    EXPECT_EQ(LogHas("Measured CPU clock frequency is"), c.sWarning != nullptr) << Log();
    if (c.sWarning) {
      EXPECT_TRUE(LogHas(c.sWarning)) << Log();
    }
    EXPECT_EQ(TARGET_GetCPUClock(), c.Auto ? 48000000u : c.SelectedHz);
    uint32_t v = 0;
    uint8_t Status = 1;
    ASSERT_GE(XRELAYARM_ReadMemU32(kCfg, 1, &v, &Status), 0);
    EXPECT_EQ((v >> 2) & 3u, 2u) << "the PLL runs the core";
    TARGET_Disconnect();
  }
}

TEST_F(TargetTest, AutoClockThatCannotBeMeasuredFailsTheConnect) {
  Configure("MeasureClock = 0");
  EditCPU([](PROJECT_CPU* p) { p->UseAutoSpeed = 1; });
  EXPECT_EQ(TARGET_Connect(), 1);
  EXPECT_TRUE(LogHas("Auto detection of CPU clock frequency is not supported for this core by Stamper in stand-alone mode"))
      << Log();
  EXPECT_TRUE(LogHas("Failed to connect.\nCould not determine CPU clock frequency.")) << Log();
  EXPECT_FALSE(XRELAYARM_IsOpen());
}

TEST_F(TargetTest, AdaptiveClocking) {
  SetTIF([](PROJECT_TIF* p) {
    p->UseAdaptive0 = p->UseAdaptive1 = 1;
    p->Speed0 = p->Speed1 = 1000;
  });
  // The default probe model has none: it keeps its fixed speed.
  ASSERT_EQ(TARGET_Connect(), 0) << Log();
  EXPECT_EQ(Count("The connected probe/ programmer does not support adaptive clocking"), 2u) << Log();
  EXPECT_TRUE(LogHas("Target interface speed: 1000 kHz (Fixed)")) << Log();
  EXPECT_EQ(Gui.aField[3], "Speed: 1000 kHz");
  TARGET_Disconnect();

  Configure("ProductId = 10");
  Gui.Log.clear();
  ASSERT_EQ(TARGET_Connect(), 0) << Log();
  EXPECT_TRUE(LogHas("Using adaptive clocking instead of fixed JTAG speed")) << Log();
  EXPECT_FALSE(LogHas("does not support adaptive clocking")) << Log();
  EXPECT_EQ(Gui.aField[3], "Adaptive clocking");
}

TEST_F(TargetTest, InitSequencePollsAStatusBitUntilItIsSet) {
  // Switch the crystal on and wait for its stable bit (CRM_CTRL bit 17) before using it. A
  // probe link of 125 us a round trip reads faster than the crystal's 500 us start-up.
  Configure("RoundTripUs = 125");
  const uint32_t kCtrl = 0x40021000;
  SetSteps(true, {{"Reset", 0, 0},
                  {"Read 32bit", kCtrl, 0},
                  {"Var OR", 0, 0x10000},
                  {"Var Write 32bit", kCtrl, 0},
                  {"Read 32bit", kCtrl, 0}, // step 4
                  {"Var AND", 0, 0x20000},
                  {"Var XOR", 0, 0x20000},
                  {"Var BNE", 4, 0}});
  ASSERT_EQ(TARGET_Connect(), 0) << Log();
  EXPECT_GE(Count("Branch operation performed"), 1u) << Log();
  EXPECT_TRUE(LogHas("Executing Var BNE (#4)")) << Log();
  EXPECT_TRUE(LogHas("Executing Var AND (0x00020000)")) << Log();
  EXPECT_EQ(STEPS_GetVariable(), 0u);
  uint32_t v = 0;
  uint8_t Status = 1;
  ASSERT_GE(XRELAYARM_ReadMemU32(kCtrl, 1, &v, &Status), 0);
  EXPECT_EQ(v & 0x30000u, 0x30000u);
}

TEST_F(TargetTest, AVerifyMismatchFailsTheConnectWithTheTwoLineText) {
  SetSteps(true, {{"Write 16bit", 0x20000000, 0x1235}, {"Verify 16bit", 0x20000000, 0x1234}, {"Report Error", 7, 0}});
  EXPECT_EQ(TARGET_Connect(), 1);
  EXPECT_TRUE(LogHas("Verification failed @ addr 0x20000000: Expected: 0x1234, Found: 0x1235\nduring execution of "
                     "user connection sequence"))
      << Log();
  EXPECT_FALSE(LogHas("Custom Error")) << "the first failing step ends the sequence\n" << Log();
  EXPECT_TRUE(LogHas("Failed to connect.\nCould not perform custom init sequence.")) << Log();
  EXPECT_FALSE(TARGET_IsConnected());
  EXPECT_FALSE(XRELAYARM_IsOpen());
}

TEST_F(TargetTest, ABranchBeyondTheLastStepEndsTheSequenceSuccessfully) {
  SetSteps(true, {{"Var AND", 0, 0}, {"Var BEQ", 200, 0}, {"Report Error", 1, 0}});
  ASSERT_EQ(TARGET_Connect(), 0) << Log();
  EXPECT_TRUE(LogHas("Branch operation performed")) << Log();
  EXPECT_TRUE(LogHas("Initialized successfully")) << Log();
  EXPECT_FALSE(LogHas("Custom Error")) << Log();
}

TEST_F(TargetTest, ReportErrorAndValueLimits) {
  SetSteps(true, {{"Write JTAG DR", 0, 0x5}, {"Delay", 0, 0}, {"Report Error", 42, 0}});
  EXPECT_EQ(TARGET_Connect(), 1);
  EXPECT_TRUE(LogHas("Executing Write JTAG DR (1 Bit, 0x00000005)")) << Log();
  EXPECT_TRUE(LogHas("Executing Delay (0 ms)")) << Log();
  EXPECT_TRUE(LogHas("Custom Error 42")) << Log();
  char ac[64];
  EXPECT_EQ(STEPS_FormatValue(0, 1, 70000, ac, sizeof(ac)), 0); // shown as given; clamped before use
  EXPECT_EQ(STEPS_FormatValue(23, 0, 3, ac, sizeof(ac)), 0);
  EXPECT_STREQ(ac, "3 Bit(s)");
  EXPECT_EQ(STEPS_FormatValue(4, 0, 3, ac, sizeof(ac)), -1);
  EXPECT_EQ(STEPS_FormatValue(21, 0, 15, ac, sizeof(ac)), 0);
  EXPECT_STREQ(ac, "PC(R15)");
  EXPECT_EQ(STEPS_FormatValue(22, 0, 14, ac, sizeof(ac)), 0);
  EXPECT_STREQ(ac, "14 (IDCODE)");
}

TEST_F(TargetTest, ExitSequenceRunsOnTheConnectedTargetBeforeTheDisconnect) {
  SetSteps(false, {{"Write 32bit", 0x20000010, 0xCAFEF00D}, {"Comment", 0, 0}});
  ASSERT_EQ(TARGET_Connect(), 0) << Log();
  EXPECT_EQ(STEPS_Execute(STEPS_SEQ_EXIT), 0);
  EXPECT_TRUE(LogHas("Executing exit sequence ...")) << Log();
  EXPECT_TRUE(LogHas("De-initialized successfully")) << Log();
  uint32_t v = 0;
  uint8_t Status = 1;
  ASSERT_GE(XRELAYARM_ReadMemU32(0x20000010, 1, &v, &Status), 0);
  EXPECT_EQ(v, 0xCAFEF00Du);
  TARGET_Disconnect();
  EXPECT_FALSE(XRELAYARM_IsOpen());
}

TEST_F(TargetTest, VoltageMonitorDisconnectsWhenTheSupplyLeavesTheWindow) {
  static const TARGET_HOOKS Hooks = {nullptr, nullptr, APP_VMON_Start, APP_VMON_SetLimits, nullptr};
  TARGET_SetHooks(&Hooks);
  APP_VMON_SetTarget(TARGET_IsConnected, TARGET_Disconnect);
  PROJECT_PRODUCTION P;
  PROJECT_GetProduction(&P);
  P.MonitorVTref = 1;
  P.MonitorVTrefMin = 3000;
  P.MonitorVTrefMax = 3600;
  PROJECT_SetProduction(&P);
  ASSERT_EQ(TARGET_Connect(), 0) << Log();
  EXPECT_TRUE(APP_VMON_IsRunning());
  SYS_Sleep(600); // a poll inside the window changes nothing
  EXPECT_TRUE(TARGET_IsConnected());
  char acError[256] = "";
  ASSERT_GE(XRELAYARM_ExecCommand("SetSimVTarget = 2500", acError, sizeof(acError)), 0) << acError;
  for (int i = 0; i < 300 && TARGET_IsConnected(); i++) SYS_Sleep(10);
  APP_VMON_Stop();
  for (int i = 0; i < 100 && APP_VMON_IsRunning(); i++) SYS_Sleep(5);
  APP_VMON_SetTarget(nullptr, nullptr);
  EXPECT_FALSE(TARGET_IsConnected());
  EXPECT_FALSE(XRELAYARM_IsOpen());
  EXPECT_TRUE(LogHas("WARNING: Supply voltage too low or too high, disconnecting target! VTarget = 2.500V")) << Log();
  EXPECT_TRUE(LogHas("Disconnected")) << Log();
}

TEST_F(TargetTest, StandAloneProgrammersRefuseCoresTheyCannotProgramAlone) {
  struct Case {
    int ProductId;
    const char* sDevice;
    const char* sRefusal; // null: allowed
  } aCase[] = {
      {10, "ArteryTek AT32F425C8T7", nullptr},
      {10, "ARM7", nullptr},
      {10, "Microchip PIC32MX795F512L",
       "Selected CPU core is not supported by Stamper ARM in stand-alone mode. Only ARM7/ARM9 and Cortex-M cores are "
       "supported."},
      {14, "ArteryTek AT32F425C8T7",
       "Selected CPU core is not supported by Stamper RX in stand-alone mode. Only Renesas RX cores are supported."},
      {15, "ARM9",
       "Selected CPU core is not supported by Stamper PPC in stand-alone mode. Only Power PC cores are supported."},
      {34, "Cortex-M33", nullptr},
      {34, "Microchip PIC32MX795F512L",
       "Selected CPU core is not supported by Stamper PRO in stand-alone mode. Supported cores are: ARM7/ARM9, "
       "Cortex-M, RX, PowerPC."},
      {28, "Microchip PIC32MX795F512L", nullptr}, // not a stand-alone model
  };
  for (const Case& c : aCase) {
    SCOPED_TRACE(std::to_string(c.ProductId) + " " + c.sDevice);
    Configure("ProductId = " + std::to_string(c.ProductId));
    UseDevice(c.sDevice);
    ASSERT_TRUE(TARGET_OpenProbe(false, false)) << Log();
    const char* s = TARGET_CheckStandAloneCore();
    EXPECT_STREQ(s ? s : "", c.sRefusal ? c.sRefusal : "");
    TARGET_CloseProbe();
  }
}

TEST_F(TargetTest, GangModuleSelection) {
  Configure("ProductId = 41");
  ASSERT_TRUE(TARGET_OpenProbe(false, false)) << Log();
  EXPECT_TRUE(TARGET_IsGangProgrammer());
  EXPECT_EQ(TARGET_SelectGangModule(2), 0) << Log();
  EXPECT_TRUE(XRELAYARM_IsOpen());
  EXPECT_EQ(TARGET_SelectGangModule(9), -1);
  EXPECT_TRUE(LogHas("Failed to select gang programmer module #9.")) << Log();
  EXPECT_FALSE(XRELAYARM_IsOpen());
  TARGET_CloseProbe();
  EXPECT_FALSE(TARGET_IsGangProgrammer());
}

TEST_F(TargetTest, QuickConnectForTheChainJobs) {
  int Device = MCUDB_FindDevice("AT32F425C8T7");
  EXPECT_EQ(TARGET_QuickConnect(1, Device, 4000), nullptr) << Log();
  TARGET_CloseProbe();
  Configure("VTarget = 0");
  const char* s = TARGET_QuickConnect(1, Device, 4000);
  EXPECT_STREQ(s ? s : "", "Could not connect to target.");
  TARGET_CloseProbe();
  PROJECT_GENERAL G;
  PROJECT_GetGeneral(&G);
  G.ConnectMode = 1;
  G.USBSerialNo = 4711;
  PROJECT_SetGeneral(&G);
  s = TARGET_QuickConnect(1, Device, 4000);
  EXPECT_STREQ(s ? s : "", "Could not connect to probe/ programmer.");
}

namespace {
struct BoxGUI : StatusGUI {
  std::string Title, Text;
  void ShowMsgBox(MsgBoxRequest* p) override {
    Title = p->sTitle;
    Text = p->sText;
    p->Result = p->DefaultResult;
  }
};
} // namespace

TEST_F(TargetTest, JtagChainJobsOnAThreeDeviceChain) {
  Configure("JtagDevice = 0x06431041, 5, Boundary scan\nJtagDevice = Core, 4, Cortex-M4\n"
            "JtagDevice = 0x0BA02477, 4, Second debug port");
  BoxGUI Box;
  APP_SetGUI(&Box);
  TARGET_InstallJobs();
  const JobTableEntry* paJob = APP_GetJobTable();
  PROJECT_TIF Tif{};
  Tif.TargetIF = 0;
  Tif.Speed0 = 4000;
  Tif.IRLen = 7;
  TARGET_CHAIN_PARAMS Params{MCUDB_FindDevice("AT32F425C8T7"), &Tif};
  JobContext Job{};
  Job.pParams = &Params;
  paJob[JOB_DETECT_JTAG_CHAIN].pfHandler(&Job);
  EXPECT_EQ(Job.Result, 0) << Box.Text;
  ASSERT_EQ(Tif.NumDevices, 3u);
  EXPECT_EQ(Tif.IRLen, 0u);
  EXPECT_EQ(Tif.aDevice[0].ID, 0x06431041u);
  EXPECT_EQ(Tif.aDevice[0].IRLen, 5u);
  EXPECT_STREQ(Tif.aDevice[0].acName, "Boundary scan");
  EXPECT_EQ(Tif.aDevice[1].ID, 0x4BA00477u);
  EXPECT_EQ(Tif.aDevice[2].ID, 0x0BA02477u);
  EXPECT_FALSE(XRELAYARM_IsOpen());

  paJob[JOB_VERIFY_JTAG_CHAIN].pfHandler(&Job);
  EXPECT_EQ(Job.Result, 0);
  EXPECT_EQ(Box.Title, "T-Forge - JTAG scan chain verification");
  EXPECT_EQ(Box.Text, "Configuration verified successfully");

  Tif.aDevice[2].ID = 0x0BA01477;
  paJob[JOB_VERIFY_JTAG_CHAIN].pfHandler(&Job);
  EXPECT_EQ(Job.Result, -1);
  EXPECT_EQ(Box.Title, "T-Forge - Error");
  EXPECT_EQ(Box.Text, "Id of device 2 does not match configuration. (Expected = 0x0BA01477, Found = 0x0BA02477)");

  Tif.NumDevices = 2;
  paJob[JOB_VERIFY_JTAG_CHAIN].pfHandler(&Job);
  EXPECT_EQ(Box.Text, "Number of devices does not match configuration. (Expected = 2, Found = 3)");
  EXPECT_FALSE(XRELAYARM_IsOpen());
  APP_SetGUI(&Gui);
}

namespace {
std::vector<std::string> s_Commands;
int _RecordCommand(const char* sIn, char* sError, int BufferSize) {
  s_Commands.push_back(sIn);
  void* h = dlopen(PROBE_GetLibraryPath(), RTLD_NOW | RTLD_NOLOAD);
  auto pf = reinterpret_cast<decltype(&XRELAYARM_ExecCommand)>(dlsym(h, "XRELAYARM_ExecCommand"));
  int r = pf(sIn, sError, BufferSize);
  dlclose(h);
  return r;
}
} // namespace

TEST_F(TargetTest, CommandsThatPrepareTheProbeAndTakeItDown) {
  static const TARGET_HOOKS Hooks = {nullptr, [] { return "00112233445566778899AABBCCDDEEFF"; }, nullptr, nullptr,
                                     nullptr};
  TARGET_SetHooks(&Hooks);
  PROJECT_PRODUCTION P;
  PROJECT_GetProduction(&P);
  P.EnableFixedVTref = 1;
  P.FixedVTref = 3300;
  P.EnableTargetPower = 1;
  P.TargetPowerDelay = 0;
  PROJECT_SetProduction(&P);
  ASSERT_EQ(PROBE_Load(), 0);
  s_Commands.clear();
  PROBE_SetEntry("XRELAYARM_ExecCommand", reinterpret_cast<void*>(_RecordCommand));
  ASSERT_EQ(TARGET_Connect(), 0) << Log();
  TARGET_Disconnect();
  std::vector<std::string> Expected = {"SetVTrefTmp 3300",
                                       "Device = AT32F425C8T7",
                                       "SupplyPower = 1",
                                       "ExcludeFlashCacheRange 0x0-0xFFFFFFFF",
                                       "SetEnableMemCache  0",
                                       "SetAllowFlashCache 0",
                                       "SetRXIDCode = 00112233445566778899AABBCCDDEEFF",
                                       "DisablePowerSupplyOnClose"};
  EXPECT_EQ(s_Commands, Expected);
}

namespace {
// One data window that is always the active one.
struct DataWindowGUI : StatusGUI {
  CHexEditor* pWin = reinterpret_cast<CHexEditor*>(&pWin);
  int NumUpdates = 0;
  CHexEditor* CreateDataWindow(DataImage*, const char*) override { return pWin; }
  CHexEditor* GetCurDataWindow() override { return pWin; }
  void UpdateDataWindow(CHexEditor*, DataImage*) override { NumUpdates++; }
};
} // namespace

TEST_F(TargetTest, StepsPatchTheOpenDataImageInTheTargetsByteOrder) {
  DataWindowGUI Win;
  APP_SetGUI(&Win);
  DataImage* pImage = DATAIMAGE_Create();
  ASSERT_NE(pImage, nullptr);
  ASSERT_EQ(DATAJOBS_AddImageWindow(pImage, "test", nullptr), 0);
  SetSteps(false, {{"Read 16bit", 0x1FFFF7E0, 0}, // flash size in KB: 64
                   {"Var OR", 0, 0x11223300},
                   {"Var Write File 32bit", 0x100, 0},
                   {"Write File 16bit", 0x200, 0xA55A}});
  ASSERT_EQ(TARGET_Connect(), 0) << Log();
  for (uint32_t Endian : {0u, 1u}) {
    SCOPED_TRACE(Endian);
    static uint32_t s_Endian;
    s_Endian = Endian;
    EditCPU([](PROJECT_CPU* p) { p->EndianMode = s_Endian; });
    ASSERT_EQ(STEPS_Execute(STEPS_SEQ_EXIT), 0) << Log();
    uint8_t a[6] = {};
    for (uint32_t i = 0; i < 4; i++) DATAIMAGE_GetByte(pImage, 0x100 + i, &a[i]);
    for (uint32_t i = 0; i < 2; i++) DATAIMAGE_GetByte(pImage, 0x200 + i, &a[4 + i]);
    std::vector<uint8_t> Got(a, a + 6);
    std::vector<uint8_t> Want = Endian ? std::vector<uint8_t>{0x11, 0x22, 0x33, 0x40, 0xA5, 0x5A}
                                       : std::vector<uint8_t>{0x40, 0x33, 0x22, 0x11, 0x5A, 0xA5};
    EXPECT_EQ(Got, Want);
  }
  EXPECT_GT(Win.NumUpdates, 0);
  DATAJOBS_OnWindowClosed(Win.pWin);
  APP_SetGUI(&Gui);
}

TEST_F(TargetTest, RXIdCodeComesFromTheDataImage) {
  std::string Db = Dir + "/rx.ini";
  // The shipped database (the simulated chip must stay known) and an RX device.
  std::string Text = ReadAll(TFORGE_PROGRAM_DIR "xrelay-devices.ini");
  for (size_t p = Text.find("\nLoader"); p != std::string::npos; p = Text.find("\nLoader", p + 1)) {
    size_t Bar = Text.rfind('|', Text.find('\n', p + 1));
    size_t File = Text.find_first_not_of(' ', Bar + 1);
    Text.insert(File, TFORGE_PROGRAM_DIR);
  }
  WriteAll(Db, Text + "\n[Device]\nName = RX651\nManufacturer = Renesas\nCore = 0x0D30FFFF\n");
  MCUDB_Exit();
  char acError[256] = "";
  ASSERT_GE(XRELAYARM_ExecCommand(("XRelayDevicesXMLPath = " + Db).c_str(), acError, sizeof(acError)), 0) << acError;
  ASSERT_EQ(MCUDB_ReadDeviceList(), 0);
  UseDevice("Renesas RX651");
  DataWindowGUI Win;
  APP_SetGUI(&Win);
  DataImage* pImage = DATAIMAGE_Create();
  uint8_t ab[16];
  for (int i = 0; i < 16; i++) ab[i] = (uint8_t)i;
  ASSERT_EQ(DATAIMAGE_AddData(pImage, 0x00120050, 16, ab), 0);
  ASSERT_EQ(DATAJOBS_AddImageWindow(pImage, "rx", nullptr), 0);
  s_Commands.clear();
  PROBE_SetEntry("XRELAYARM_ExecCommand", reinterpret_cast<void*>(_RecordCommand));
  TARGET_Connect(); // the simulated chip is no RX: only the commands before the connect count
  EXPECT_NE(std::find(s_Commands.begin(), s_Commands.end(), "SetRXIDCode = 03020100070605040B0A09080F0E0D0C"),
            s_Commands.end())
      << Win.Log;
  DATAJOBS_OnWindowClosed(Win.pWin);
  APP_SetGUI(&Gui);
}

TEST_F(TargetTest, TimeoutsAreTakenAtEveryConnect) {
  ASSERT_EQ(TARGET_Connect(), 0) << Log();
  TARGET_TIMEOUTS t;
  TARGET_GetTimeouts(&t);
  EXPECT_EQ(t.Erase, 15000u);
  EXPECT_EQ(t.Program, 10000u);
  EXPECT_EQ(t.CheckBlank, 5000u);
  PROJECT_PRODUCTION P;
  PROJECT_GetProduction(&P);
  P.OverrideTimeouts = 1;
  P.TimeoutErase = 40000;
  P.TimeoutProgram = 25000;
  PROJECT_SetProduction(&P);
  ASSERT_EQ(TARGET_Connect(), 0); // already connected: the timeouts are still taken afresh
  TARGET_GetTimeouts(&t);
  EXPECT_EQ(t.Erase, 40000u);
  EXPECT_EQ(t.Program, 25000u);
}
