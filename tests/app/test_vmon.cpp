// The target-voltage monitor: the window of allowed voltages and the disconnect.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "app/APP.h"
#include "core/APP_Log.h"
#include "probe/PROBE_Test.h"
#include "sys/SYS.h"
#include "tests/app/SharedLogGUI.h"

namespace {

std::atomic<int> _Mv{3300};
std::atomic<int> _NumDisconnects{0};
std::atomic<bool> _Connected{true};

class VoltageMonitor : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    PROBE_SetEntry("XRELAYARM_IsOpen", (void*)+[]() -> char { return 1; });
    PROBE_SetEntry("XRELAYARM_GetHWStatus", (void*)+[](XRELAYARM_HW_STATUS* p) {
      *p = XRELAYARM_HW_STATUS{};
      p->VTarget = (uint16_t)_Mv.load();
      return 0;
    });
    APP_VMON_SetTarget([] { return _Connected.load(); }, [] { _NumDisconnects++; });
  }
  // Runs the monitor for its first poll (made at once) and a little more.
  int DisconnectsAt(int Mv) {
    _Mv = Mv;
    _NumDisconnects = 0;
    APP_VMON_Start();
    EXPECT_TRUE(APP_VMON_IsRunning());
    SYS_Sleep(150);
    APP_VMON_Stop();
    for (int i = 0; i < 100 && APP_VMON_IsRunning(); i++) SYS_Sleep(5);
    EXPECT_FALSE(APP_VMON_IsRunning());
    return _NumDisconnects;
  }
};

TEST_F(VoltageMonitor, LimitsAreInclusive) {
  APP_VMON_SetLimits(true, 3000, 3600);
  struct Case {
    int Mv;
    int Disconnects;
  } aCase[] = {{3000, 0}, {3600, 0}, {2999, 1}, {3601, 1}, {3300, 0}};
  for (const Case& c : aCase) EXPECT_EQ(DisconnectsAt(c.Mv), c.Disconnects) << c.Mv << " mV";
}

TEST_F(VoltageMonitor, WithoutTheProjectCheckTheWideWindowStillApplies) {
  APP_VMON_SetLimits(false, 3000, 3600);
  int Min, Max;
  APP_VMON_GetLimits(&Min, &Max);
  EXPECT_EQ(Min, 1000);
  EXPECT_EQ(Max, 5500);
  EXPECT_EQ(DisconnectsAt(999), 1);
  EXPECT_EQ(DisconnectsAt(5501), 1);
  EXPECT_EQ(DisconnectsAt(1800), 0);
}

TEST_F(VoltageMonitor, NothingIsReadWhileNotConnected) {
  APP_VMON_SetLimits(true, 3000, 3600);
  _Connected = false;
  EXPECT_EQ(DisconnectsAt(100), 0);
  _Connected = true;
}

// The monitor has no log operation of its own open: its warning stands at the left margin and
// is written at the default level, however deep the worker is inside an operation.
TEST_F(VoltageMonitor, ItsWarningIsWrittenWhateverTheWorkerHasOpen) {
  SharedLogGUI Gui;
  APP_SetGUI(&Gui);
  APP_SetLogLevelSource([] { return 3; });
  APP_VMON_SetLimits(true, 3000, 3600);
  APP_LogBegin("Programming target (4 bytes, 1 range) ...");
  APP_LogBegin("Erasing sectors ...");
  EXPECT_EQ(DisconnectsAt(2999), 1);
  EXPECT_EQ(APP_GetLogDepth(), 2);
  APP_LogEnd(nullptr);
  APP_LogEnd(nullptr);
  APP_SetGUI(nullptr);
  APP_SetLogLevelSource(nullptr);
  std::vector<std::string> Lines = Gui.Lines();
  EXPECT_NE(std::find(Lines.begin(), Lines.end(),
                      "WARNING: Supply voltage too low or too high, disconnecting target! VTarget = 2.999V\n"),
            Lines.end());
}

} // namespace
