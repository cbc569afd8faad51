/*
 * PROJDEV - the project's view of the device database: fills PROJECT_DEVICE_HOOKS from the
 * MCU device cache, the flash device list and the bank queries.
 *
 * Installed once by the program (after the device database's own hooks); tests of the project
 * install fakes of their own instead.
 */
#pragma once

void PROJDEV_InstallHooks(void);

// The project's banks as the bank queries take them (internal banks name the project's device).
// 0, or -1 without a project.
struct BANK_LIST;
int PROJDEV_GetBankList(BANK_LIST* pList);
