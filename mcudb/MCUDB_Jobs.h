/*
 * MCUDB_Jobs - the jobs of the device database: the MCU and flash device lists for the device
 * dialogs, choosing a flash device for an external bank, the bank information and range
 * summary of the project dialog, and the loaders of a device bank. Parameter blocks below;
 * outputs are filled by the handler on the worker thread.
 */
#pragma once

#include <cstdint>

#include "mcudb/BANK.h"

enum { MCUDB_MAX_LIST_DEVICES = 0x10000, FLASHDEV_MAX_LIST_DEVICES = 4096 };

struct MCU_LIST_ENTRY {
  char acName[128];
  char acManu[128];
  char acFlashSize[256]; // "512 KB + 16 KB", "-" without banks
  uint32_t Core;
  const char* sFamily;
  uint32_t RAMAddr, RAMSize, EndianMode;
  int Index; // database index
};

// "Get MCU device list": the list is built once and handed out again.
struct MCUDB_DEVICE_LIST_PARAMS {
  int CurIndex;                 // in: the current database index
  const MCU_LIST_ENTRY* paList; // out
  int NumEntries;               // out
  int CurPos;                   // out: CurIndex's position in the list, 0 when absent
};

// "Get Flash device list": a copy (tag "APP: FLASH device list"), built once.
struct FLASHDEV_LIST_PARAMS {
  const FLASH_DEVICE* paList; // out
  int NumEntries;             // out
};

// "Select flash device".
struct FLASHDEV_SELECT_PARAMS {
  BANK_INFO* pBank;
  int DeviceIndex;
};

// "Collect flash bank information" (everything) and "Get flash bank range summary" (acSummary).
struct BANK_INFO_PARAMS {
  const BANK_LIST* pList;
  int Bank;
  FLASH_DEVICE FlashDevice;     // external banks with a known device
  MCUDB_DEVICE_INFO DeviceInfo; // internal banks
  uint64_t Size;                // external banks not detected automatically: without gaps
  int NumSectors;
  SectorRegion aRegion[MCUDB_MAX_REGIONS]; // internal banks
  char acSummary[2048];
  char acLayout[256];
};

struct MCUDB_LOADER_ENTRY {
  char acName[MCUDB_LOADER_NAME_SIZE];
  int LoaderIndex;
  int NumSectors;
  uint64_t Size; // with gaps
  SectorRegion aRegion[MCUDB_MAX_REGIONS];
};

// "Get flash bank loader information"; the job's result is the number of loaders enumerated.
struct MCUDB_LOADER_LIST_PARAMS {
  int DeviceIndex;
  int Bank;
  int MaxEntries;
  MCUDB_LOADER_ENTRY* paEntry;
  int NumFilled; // out
};

void MCUDB_InstallJobs(void);
// The job bodies, callable without the engine.
int MCUDB_GetDeviceList(MCUDB_DEVICE_LIST_PARAMS* p);
int FLASHDEV_GetList(FLASHDEV_LIST_PARAMS* p);
int BANK_CollectInfo(BANK_INFO_PARAMS* p, bool Full);
int MCUDB_GetLoaderList(MCUDB_LOADER_LIST_PARAMS* p);
void MCUDB_FreeLists(void); // the lists the two list jobs built
