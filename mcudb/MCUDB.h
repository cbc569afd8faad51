/*
 * MCUDB - the MCU devices of the probe library's database, their flash banks and loaders, and
 * the external flash devices of "ETC/TForge/Flash.csv".
 *
 * Start-up reads the flash device list (FLASHDEV_ReadList), then the MCU device list
 * (MCUDB_ReadDeviceList), which only counts the devices: an entry of the device cache is
 * filled from the library on first use. Loader information (descriptor and parsed algorithm)
 * is cached per bank for one device at a time. MCUDB_Exit frees everything. Device indices
 * are those of the probe library; bank indices run 0-15 in the device's bank order.
 */
#pragma once

#include <cstdint>

#include "data/DATAIMAGE.h"
#include "mcudb/FLASHCSV.h"
#include "mcudb/MCUDB_Layout.h"
#include "mcudb/MCUDB_Loader.h"
#include "xrelayarm.h"

enum { MCUDB_MAX_BANKS = 16, MCUDB_MAX_SECTORS = 0x10000, MCUDB_LOADER_NAME_SIZE = 129 };

struct MCUDB_BANK {
  uint32_t BaseAddr;
  const char* sName; // pooled
  uint32_t LoaderKind;
  SectorRegion aRegion[MCUDB_MAX_REGIONS];
  uint8_t HasFixedLayout; // the device's list cut the algorithm's layout
  CMSISInfo* pCMSISInfo;  // loader kinds 8 and 12 (tag "MCUDB.c: pCMSISInfo"), else null
};

struct MCUDB_DEVICE_INFO {
  const char* sName; // pooled, without the manufacturer
  const char* sManu; // pooled
  uint32_t Core;     // top byte: core family
  int Index;         // database index
  // Passed through to the views.
  const char* sFamily;
  uint32_t RAMAddr, RAMSize;
  uint32_t EndianMode; // 0 little, 1 big
  int NumBanks;        // banks before the first without a layout
  MCUDB_BANK aBank[MCUDB_MAX_BANKS];
};

/*********************************************************************
 * Start-up, lifetime and error routing
 */
void MCUDB_InstallHooks(void);  // start-up hooks, the exit hook and the jobs of this module
int MCUDB_ReadDeviceList(void); // 0, or -1 (reported)
void MCUDB_Exit(void);          // frees the device cache, the pools, the caches and the flash list

/*********************************************************************
 * Devices
 */
int MCUDB_GetNumDevices(void);
int MCUDB_GetDeviceInfo(int Index, MCUDB_DEVICE_INFO* pInfo);    // 0, or -1 (out of range / load failure)
const char* MCUDB_GetDeviceName(int Index);                      // or null
const char* MCUDB_GetManufacturer(int Index);                    // or null
void MCUDB_GetDisplayName(int Index, char* sDest, int DestSize); // "Manufacturer Name", or ""
int MCUDB_FindDevice(const char* sName);                         // aliases first; index or -1
int MCUDB_GetNumBanks(int Index);                                // 0 for an unknown device
const MCUDB_BANK* MCUDB_GetBank(int Index, int Bank);            // or null
bool MCUDB_HasBankWithFixedLayout(int Index);
int MCUDB_GetEndianness(int Index); // 0 little, 1 big, -1 unknown device
uint32_t MCUDB_GetCore(int Index);  // 0 for an unknown device
// Name of a core word: family, variant and revision ("Cortex-M4 r0p1", "ARM7TDMI-S Rev.2").
void MCUDB_GetCoreName(uint32_t Core, char* sDest, int DestSize);
// Current name of a device name that older projects store; the name itself when it has none.
const char* MCUDB_ResolveDeviceAlias(const char* sName);
const char* FLASHDEV_ResolveAlias(const char* sName);

/*********************************************************************
 * Loaders of a device's banks
 */
// 0, or -1 (unknown device or bank, or the library has no such loader). Either output may be null.
int MCUDB_GetLoaderInfo(int Index, int Bank, const char* sLoaderName, XRELAYARM_LOADER_DESC* pDesc,
                        CMSISInfo* pAlgo);
// As MCUDB_GetLoaderInfo; *ppAlgoInfo gets the "FLASH_AlgoParams" record of a compiled script, or null.
int MCUDB_GetAlgoInfo(int Index, int Bank, const char* sLoaderName, XRELAYARM_LOADER_DESC* pDesc,
                      CMSISInfo* pAlgo, MCUDB_ALGO_INFO** ppAlgoInfo);
int MCUDB_GetBankNumSectors(int Index, int Bank, const char* sLoaderName); // or -1
int MCUDB_GetBankSector(int Index, int Bank, const char* sLoaderName, uint32_t n, uint32_t* pAddr,
                        uint32_t* pSize); // 0 or -1
// Ranges of the selected sectors (all when pSel is null) added to pImage; sectors added, or -1.
int MCUDB_GetBankRanges(int Index, int Bank, const char* sLoaderName, const uint8_t* pSel,
                        uint32_t NumSelBits, DataImage* pImage);
int MCUDB_GetBankSize(int Index, int Bank, const char* sLoaderName, bool WithGaps,
                      uint64_t* pSize); // 0 or -1
void MCUDB_ClearLoaderCache(void);

/*********************************************************************
 * External flash devices ("ETC/TForge/Flash.csv" in the program directory)
 */
#define FLASHDEV_LIST_FILE "ETC/TForge/Flash.csv"
int FLASHDEV_ReadList(const char* sPath); // null: the program directory's list; 0, or -1 (reported)
int FLASHDEV_GetNumDevices(void);
int FLASHDEV_GetDevice(int Index, FLASH_DEVICE* pDevice); // 0 or -1
int FLASHDEV_Find(const char* sName);                     // aliases first, any case; index or -1
void FLASHDEV_GetDisplayName(int Index, char* sDest, int DestSize);
int FLASHDEV_GetNumSectors(int Index);                                            // or -1
int FLASHDEV_GetSize(int Index, int OrgNumChips, bool WithGaps, uint64_t* pSize); // 0 or -1
int FLASHDEV_GetSector(int Index, int OrgNumChips, uint32_t BaseAddr, uint32_t n, uint32_t* pAddr,
                       uint32_t* pSize);
int FLASHDEV_GetRanges(int Index, int OrgNumChips, uint32_t BaseAddr, const uint8_t* pSel,
                       uint32_t NumSelBits, DataImage* pImage);
