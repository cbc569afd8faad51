// The fixtures of the tests against the simulated probe and AT32F425.
//
// SimProbeTest: a folder of the test's own with the simulator's configuration and state in it,
// the probe library of the build, the test's GUI and the log at its most detailed, and the
// device list read.
// SimProjectTest: on top of that, a new project in the folder for the simulated AT32F425, with
// the work RAM, an 8 MHz clock and no init steps.
//
// The test's GUI is the template argument; the fixtures build on these with their own set-up.
// The probe library must be built beside the program (TFORGE_PROGRAM_DIR).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/APP.h"
#include "core/APP_GUI.h"
#include "core/APP_Log.h"
#include "mcudb/MCUDB.h"
#include "probe/PROBE_Test.h"
#include "project/PROJDEV.h"
#include "project/PROJECT.h"
#include "project/SETFILE.h"
#include "target/TARGET.h"
#include "tests/NullGUI.h"
#include "tests/TestFiles.h"

// The log without colours, one line per entry.
struct LogGUI : NullGUI {
  std::string Log;
  void AppendLog(const char* sLine) override {
    char ac[2048];
    APP_StripEscapes(ac, sizeof(ac), sLine);
    Log += ac;
    Log += "\n";
  }
  bool Has(const std::string& s) const { return Log.find(s) != std::string::npos; }
};

// The device of the simulator's default configuration.
constexpr const char* kSimDevice = "ArteryTek AT32F425C8T7";

template <typename GUI> class SimProbeTest : public ::testing::Test {
protected:
  std::string Dir;
  GUI Gui;

  void SetUp() override {
    char ac[] = "/tmp/tforge-sim-XXXXXX";
    Dir = mkdtemp(ac);
    setenv("XRELAY_SIM_DIR", (Dir + "/sim").c_str(), 1);
    Configure("");
    PROBE_ResetEntries();
    PROBE_SetLibraryPathForTest(TFORGE_PROGRAM_DIR "libxrelayarm.so");
    APP_SetGUI(&Gui);
    APP_SetLogLevelSource([] { return 9; }); // every nested step line
    ASSERT_EQ(MCUDB_ReadDeviceList(), 0);
  }
  void TearDown() override {
    MCUDB_Exit();
    APP_SetGUI(nullptr);
    APP_SetLogLevelSource(nullptr);
    PROBE_ResetEntries();
    PROBE_Unload();
    unsetenv("XRELAY_SIM_CONFIG");
    unsetenv("XRELAY_SIM_DIR");
    std::system(("rm -rf '" + Dir + "'").c_str());
  }
  // The simulator's configuration: one probe with the AT32F425 at 3.3 V, and the given lines.
  void Configure(const std::string& Lines) {
    std::string Path = Dir + "/sim.ini";
    WriteAll(Path, "[Probe]\nSerialNumber = 123456\nVTarget = 3300\nDevice = AT32F425C8T7\n" + Lines + "\n");
    setenv("XRELAY_SIM_CONFIG", Path.c_str(), 1);
  }
};

template <typename GUI> class SimProjectTest : public SimProbeTest<GUI> {
protected:
  // sName: the project file's name in the test's folder, without ".tforge".
  // MeasureClock: the project measures the CPU clock instead of using the 8 MHz it gives.
  explicit SimProjectTest(const char* sName = "p", bool MeasureClock = false)
      : _sName(sName), _MeasureClock(MeasureClock) {}

  void SetUp() override {
    SimProbeTest<GUI>::SetUp();
    if (::testing::Test::HasFatalFailure()) return;
    TARGET_SetHooks(nullptr);
    PROJDEV_InstallHooks();
    std::string File = ProjectFile();
    ASSERT_EQ(SETFILE_Create(File.c_str()), 0);
    ASSERT_EQ(PROJECT_New(File.c_str()), 0);
    UseDevice(kSimDevice);
  }
  void TearDown() override {
    TARGET_Disconnect();
    TARGET_CloseProbe();
    APP_SetTitleSource(nullptr);
    APP_SetDisconnectHandler(nullptr);
    PROJECT_Close();
    SETFILE_Close();
    SimProbeTest<GUI>::TearDown();
  }
  std::string ProjectFile() const { return this->Dir + "/" + _sName + ".tforge"; }
  // The project's device by its name in the device list, with the work RAM of the AT32F425.
  void UseDevice(const char* sName) {
    PROJECT_CPU C;
    PROJECT_GetCPU(&C);
    C.Device = MCUDB_FindDevice(sName);
    ASSERT_GE(C.Device, 0) << sName;
    std::snprintf(C.acChipName, sizeof(C.acChipName), "%s", sName);
    C.RAMAddr = 0x20000000;
    C.RAMSize = 0x1000;
    C.ClockSpeed = 8000000;
    C.UseAutoSpeed = _MeasureClock ? 1 : 0;
    C.NumInitSteps = 0;
    PROJECT_SetCPU(&C);
  }

private:
  std::string _sName;
  bool _MeasureClock;
};
