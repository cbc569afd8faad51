/*
 * PROD - production programming and the target commands that go with it: the one-button
 * cycle (connect, serial number, erase, program, verify, secure, exit steps, start,
 * disconnect), securing the chip, starting the application, the RS232 OK/BUSY signals of the
 * programmers that have them, the up/download speed test and the CFI query.
 *
 * Everything here runs on the job worker thread. The operations report through the log and
 * the application's error flag; the command line reads the exit code from there.
 */
#pragma once

#include <cstdint>

struct DataImage;
struct FlashBank;

// Installs the jobs "Execute production programming" (parameters: the DataImage* to program),
// "Secure chip" (asks first), "Start target application" (the project's StartAppType), "Set
// RS232 signal" (PROD_SIGNAL_PARAMS), "Test speed" (asks with the value dialog) and "Show CFI
// info".
void PROD_InstallJobs(void);

// The production cycle on pImage, as the project's PRODUCTION and PERFORMANCE settings say.
// 0 when the board is right, 1 cancelled by the user, -1 failure (reported).
int PROD_AutoProgram(DataImage* pImage);

// Secures the chip through the flash algorithm of every bank. 0, 1 cancelled, or -1 (reported).
int PROD_SecureChip(void);
// Secures when a bank of the project device has an algorithm with a secure function; else the
// error "Could not secure chip. No secure function implemented.". 0, or -1 (reported).
int PROD_SecureIfSupported(void);

// Restarts the target: StartType 0 by a reset through the debug interface, 1 by the reset pin.
// The target is disconnected afterwards. 0, or -1 (reported).
int PROD_StartApplication(int StartType);

// Signal 0 (OK) or 1 (BUSY) on or off, on the programmer models that have RS232 signals.
void PROD_SetRS232Signal(int Signal, bool On);
// Whether the open probe is a model with RS232 signals.
bool PROD_HasRS232Signals(void);

enum { PROD_SPEED_MAX_SIZE = 0x100000, PROD_SPEED_MAX_READINGS = 10 }; // limits of the speed test
// Writes and reads NumBytes at Addr Readings times and logs the speeds. 0, or -1 (reported).
int PROD_TestSpeed(uint32_t Addr, uint32_t NumBytes, uint32_t Readings);
// Tenths of KB/s for NumBytes moved in Ms milliseconds (a time of 0 counts as 1 ms).
uint32_t PROD_SpeedTenthsKB(uint32_t NumBytes, uint32_t Ms);

// Reads the CFI information of the first automatically detected external bank into *pBank
// (closed again by the caller with FLASH_CloseBank). 0, or non-zero when there is none or it
// cannot be read.
int PROD_ReadCFIInfo(FlashBank* pBank);

// The parameters of the job "Set RS232 signal".
struct PROD_SIGNAL_PARAMS {
  uint8_t Signal; // 0 OK, 1 BUSY
  uint8_t On;
};
