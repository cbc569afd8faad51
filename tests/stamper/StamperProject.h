// The fixture of the Stamper tests: a project for the simulated AT32F425 with the device's
// banks and the CPU clock measured, the log recorded.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "mcudb/BANK.h"
#include "mcudb/BANKREC.h"
#include "mcudb/MCUDB.h"
#include "project/PROJECT.h"
#include "tests/SimProject.h"

class StamperProject : public SimProjectTest<LogGUI> {
protected:
  StamperProject() : SimProjectTest("p", /*MeasureClock=*/true) {}

  void SetUp() override {
    SimProjectTest::SetUp();
    if (HasFatalFailure()) return;
    // The device's banks, as a project made for it has them.
    auto pList = std::make_unique<BANK_LIST>();
    BANK_CreateFromDevice(pList.get(), MCUDB_FindDevice(kSimDevice));
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
