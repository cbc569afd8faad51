/*
 * STAMPER_Test - the test seam of the Stamper files; only tests and the module include it.
 *
 * The data file's builder takes its banks as plain records, so that a test can give any
 * alignment, empty value or selection without a device that has them.
 */
#pragma once

#include <cstdint>

#include "stamper/STAMPER.h"

struct PROJECT_PRODUCTION;

struct STAMPER_DAT_BANK {
  int Index;            // the bank's number in the texts
  uint8_t Disabled;     // skipped with a warning
  uint8_t IsCMSIS;      // MinAlign is the loader's; else the flash module's alignment
  uint8_t EmptyValue;   // fill of the blocks
  uint32_t MinAlign;    // 0: none (2048)
  uint32_t First, Last; // the bank's addresses
  DataImage* pSelected; // the bank's selected sectors as data-less ranges
};

// The data file of pImage over the given banks; pProd (or null) for the serial-number area.
int STAMPER_BuildDataFileEx(DataImage* pImage, const STAMPER_DAT_BANK* paBank, int NumBanks,
                            const PROJECT_PRODUCTION* pProd, STAMPER_FILE* pFile);
