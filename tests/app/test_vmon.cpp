// The target-voltage monitor: the window of allowed voltages and the disconnect.
#include <gtest/gtest.h>

#include <atomic>

#include "app/APP.h"
#include "probe/PROBE_Test.h"
#include "sys/SYS.h"

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

} // namespace
