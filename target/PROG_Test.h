/*
 * PROG_Test - what tests replace in the flash operations: the bank opening of the flash
 * engine (so that a module of the test's own serves the bank) and the CPU clock found at
 * connect. Only tests and PROG itself include this.
 */
#pragma once

#include "target/PROG.h"

struct PROG_TEST_FUNCS {
  int (*pfOpenBank)(FlashBank* pBank, int BankIndex, uint32_t BankSize, bool DetermineLayout);
  void (*pfCloseBank)(FlashBank* pBank);
  int (*pfPrepareBank)(FlashModuleHandle* pHandle, FlashBank* pBank, uint32_t Arg);
  int (*pfRestoreBank)(FlashModuleHandle* pHandle, FlashBank* pBank);
  uint32_t (*pfGetCPUClock)(void);
};
// Null members keep the program's own; null restores all.
void PROG_SetTestFuncs(const PROG_TEST_FUNCS* pFuncs);
// The progress dialog the next operations report to (tests drive its cancel flag).
void PROG_SetProgressForTest(APP_PROGRESS* p);
