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

// Called by each job when its outputs are filled, with the job's requester and parameter block.
typedef void MCUDB_JOB_DONE(void* pRequester, void* pParams);

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
  MCUDB_JOB_DONE* pfDone;
};

// "Get Flash device list": a copy (tag "APP: FLASH device list"), built once.
struct FLASHDEV_LIST_PARAMS {
  const FLASH_DEVICE* paList; // out
  int NumEntries;             // out
  MCUDB_JOB_DONE* pfDone;
};

// "Select flash device".
struct FLASHDEV_SELECT_PARAMS {
  BANK_INFO* pBank;
  int DeviceIndex;
  MCUDB_JOB_DONE* pfDone;
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
  MCUDB_JOB_DONE* pfDone;
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
  MCUDB_JOB_DONE* pfDone;
};

void MCUDB_InstallJobs(void);
// The MCU device list for a dialog: answered at once on the calling thread (pfDone called with a
// filled copy of *pParams) when the list is built, else posted as "Get MCU device list". 0 or -1.
int MCUDB_RequestDeviceList(const MCUDB_DEVICE_LIST_PARAMS* pParams, void* pRequester);
// The job bodies, callable without the engine.
int MCUDB_GetDeviceList(MCUDB_DEVICE_LIST_PARAMS* p);
int FLASHDEV_GetList(FLASHDEV_LIST_PARAMS* p);
int BANK_CollectInfo(BANK_INFO_PARAMS* p, bool Full);
int MCUDB_GetLoaderList(MCUDB_LOADER_LIST_PARAMS* p);
void MCUDB_FreeLists(void); // the lists the two list jobs built
