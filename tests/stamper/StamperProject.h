// The fixture of the Stamper tests: a project for the simulated AT32F425 with the device's
// banks, the probe library of the build with its device database, and the log recorded.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "core/APP_GUI.h"
#include "core/APP_Log.h"
#include "mcudb/BANK.h"
#include "mcudb/BANKREC.h"
#include "mcudb/MCUDB.h"
#include "probe/PROBE_Test.h"
#include "project/PROJDEV.h"
#include "project/PROJECT.h"
#include "project/SETFILE.h"
#include "tests/NullGUI.h"

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

class StamperProject : public ::testing::Test {
protected:
  std::string Dir;
  LogGUI Gui;

  void SetUp() override {
    char ac[] = "/tmp/tforge-stamper-XXXXXX";
    Dir = mkdtemp(ac);
    PROBE_ResetEntries();
    PROBE_SetLibraryPathForTest(TFORGE_PROGRAM_DIR "libxrelayarm.so");
    APP_SetGUI(&Gui);
    APP_SetLogLevelSource([] { return 9; });
    ASSERT_EQ(MCUDB_ReadDeviceList(), 0);
    PROJDEV_InstallHooks();
    std::string Path = Dir + "/p.tforge";
    ASSERT_EQ(SETFILE_Create(Path.c_str()), 0);
    ASSERT_EQ(PROJECT_New(Path.c_str()), 0);
    int Device = MCUDB_FindDevice("ArteryTek AT32F425C8T7");
    ASSERT_GE(Device, 0);
    EditCPU([&](PROJECT_CPU* p) {
      p->Device = Device;
      std::snprintf(p->acChipName, sizeof(p->acChipName), "ArteryTek AT32F425C8T7");
      p->RAMAddr = 0x20000000;
      p->RAMSize = 0x1000;
      p->ClockSpeed = 8000000;
      p->NumInitSteps = 0;
    });
    // The device's banks, as a project made for it has them.
    auto pList = std::make_unique<BANK_LIST>();
    BANK_CreateFromDevice(pList.get(), Device);
    EditFlash([&](PROJECT_FLASH* p) {
      p->NumBanks = (uint32_t)pList->NumBanks;
      for (int i = 0; i < pList->NumBanks; i++) {
        p->aBank[i] = PROJECT_BANK{};
        BANKREC_CopySettings(&p->aBank[i], pList->aBank[i]);
        p->aBank[i].Device = -1;
        p->aBank[i].HasLayout = 1;
      }
    });
    ASSERT_GE(PROJECT_GetNumBanks(), 3);
  }
  void TearDown() override {
    PROJECT_Close();
    SETFILE_Close();
    MCUDB_Exit();
    APP_SetGUI(nullptr);
    APP_SetLogLevelSource(nullptr);
    PROBE_ResetEntries();
    PROBE_Unload();
    std::system(("rm -rf '" + Dir + "'").c_str());
  }
  template <typename F> void EditTIF(F f) {
    PROJECT_TIF T;
    PROJECT_GetTIF(&T);
    f(&T);
    PROJECT_SetTIF(&T);
  }
  template <typename F> void EditCPU(F f) {
    auto p = std::make_unique<PROJECT_CPU>();
    PROJECT_GetCPU(p.get());
    f(p.get());
    PROJECT_SetCPU(p.get());
  }
  template <typename F> void EditFlash(F f) {
    auto p = std::make_unique<PROJECT_FLASH>();
    PROJECT_GetFlash(p.get());
    f(p.get());
    PROJECT_SetFlash(p.get());
  }
  template <typename F> void EditProduction(F f) {
    PROJECT_PRODUCTION P;
    PROJECT_GetProduction(&P);
    f(&P);
    PROJECT_SetProduction(&P);
  }
};
