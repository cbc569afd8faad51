/*
 * STAMPER - the two files that let the Stamper, the stand-alone programmer, program boards
 * without a PC: the configuration file (everything the project says about the target) and the
 * data file (the data of the current image, cut per flash bank into aligned blocks of at most
 * 2048 bytes), built in memory, saved on the PC and moved to the programmer (STAMPER_Files.h).
 *
 * Both files start with a 256-byte envelope: a NUL-padded text of at most 248 bytes, the u32
 * size at 248 (whole file; data file: its header) and the u32 CRC at 252 over bytes 0-247 and
 * 256 to the covered size. Numbers are little-endian. Everything runs on the job worker.
 * What this layer needs from the target connection comes through STAMPER_HOOKS.
 */
#pragma once

#include <cstdint>

struct DataImage;

enum {
  STAMPER_ENVELOPE_SIZE = 256,
  STAMPER_TEXT_SIZE = 248,
  STAMPER_OFF_SIZE = 248,
  STAMPER_OFF_CRC = 252,
  STAMPER_ALIGN = 2048,          // block size and alignment of the files
  STAMPER_CFG_MAX_SIZE = 2048000, // the configuration file's buffer grows up to here
  STAMPER_DAT_ENTRY_SIZE = 16,    // address, size, file offset, running CRC
};

// Block ids of the configuration file, in the order they are written.
enum {
  STAMPER_ID_END = 0,
  STAMPER_ID_TIF = 100,
  STAMPER_ID_SPEED0 = 101,
  STAMPER_ID_SPEED1 = 102,
  STAMPER_ID_IRLEN = 110,
  STAMPER_ID_TAP_NUMBER = 111,
  STAMPER_ID_IRLEN_SUM = 112,
  STAMPER_ID_NUM_DEVICES = 113,
  STAMPER_ID_TAP_IRLEN = 114,
  STAMPER_ID_CORE = 200,
  STAMPER_ID_CORE_ID = 201,
  STAMPER_ID_CLOCK = 202,
  STAMPER_ID_RAM_ADDR = 203,
  STAMPER_ID_RAM_SIZE = 204,
  STAMPER_ID_ENDIAN = 205,
  STAMPER_ID_NUM_INIT_STEPS = 206,
  STAMPER_ID_INIT_STEP = 207,
  STAMPER_ID_NUM_EXIT_STEPS = 208,
  STAMPER_ID_EXIT_STEP = 209,
  STAMPER_ID_CORE_ID_MASK = 210,
  STAMPER_ID_PCODE_FIRST = 211, // Reset, Connect, Unsecure, Setup, Device, DeviceUser (216)
  STAMPER_ID_NUM_BANKS = 300,
  STAMPER_ID_BANK = 301,
  STAMPER_ID_LOADER_IMAGE = 306,
  STAMPER_ID_PAGE_SIZE = 307,
  STAMPER_ID_RESERVED = 308,
  STAMPER_ID_EMPTY_VALUE = 309,
  STAMPER_ID_PRGDATA = 317,
  STAMPER_ID_TIMEOUT_PROGRAM = 318,
  STAMPER_ID_TIMEOUT_ERASE = 319,
  STAMPER_ID_ALGO_INFO = 321,
  STAMPER_ID_LOADER_PCODE = 327,
  STAMPER_ID_IS64 = 333,
  STAMPER_ID_INT_ENABLED = 334,
  STAMPER_ID_ERASE_MODE = 403,
  STAMPER_ID_VERIFY_MODE = 404,
};

enum { STAMPER_BANK_DESC_SIZE = 112, STAMPER_NUM_PCODES = 6 };

// A file built in memory (tag "STAMPER: file buffer"); STAMPER_FreeFile releases it.
struct STAMPER_FILE {
  uint8_t* pData;
  uint32_t NumBytes;
};
void STAMPER_FreeFile(STAMPER_FILE* pFile);

// CRC of an envelope file: bytes 0-247 and 256 ... CoveredSize - 1.
uint32_t STAMPER_CalcCRC(const uint8_t* pData, uint32_t CoveredSize);

// From the open project (configuration) and the current data image (data file). 0, or -1
// with the error already reported; the file is then empty.
int STAMPER_BuildConfigFile(STAMPER_FILE* pFile);
int STAMPER_BuildDataFile(STAMPER_FILE* pFile);

// sPath null or empty: the save dialog asks (in the DataFiles directory). 0, or -1 (reported).
int STAMPER_SaveConfigFile(const char* sPath);
int STAMPER_SaveDataFile(const char* sPath);
// The device's PCode blobs into the folder named like the configuration file without ".cfg".
int STAMPER_SavePCodes(const char* sCfgPath);

// What this layer asks of the connection and the flash operations (installed by the program).
struct STAMPER_HOOKS {
  // The fit check of the data against the selected sectors, with the relocation it offers:
  // 0 fits, -1 (reported). Null: data outside the selected sectors is refused.
  int (*pfCheckDataFits)(DataImage* pImage);
  int (*pfConnect)(void);                     // 0 connected, else failed (reported)
  const char* (*pfCheckStandAloneCore)(void); // null, or the refusal text
  bool (*pfIsGangProgrammer)(void);
  int (*pfSelectGangModule)(int Module); // 1 ... 24, 0 back to the programmer itself; 0 or -1
};
void STAMPER_SetHooks(const STAMPER_HOOKS* pHooks); // null: none
const STAMPER_HOOKS* STAMPER_GetHooks(void);

// The jobs "Save stamper config file", "Save stamper data file" (parameter: a path of 512
// characters, empty to ask), "Download stamper files", "Download stamper SN data" and
// "Execute Stamper file action" (parameter: a pointer to a STAMPER_FILE_REQUEST, STAMPER_Files.h).
void STAMPER_InstallJobs(void);
