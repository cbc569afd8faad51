/*
 * BANK - the queries that the flash operations ask about the project's flash banks: sector
 * counts and addresses, address ranges, global sector numbering, selection, and the check for
 * overlapping banks.
 *
 * A bank is internal (one of the MCU device's own: its layout comes from the loader
 * information) or external (a flash device of the flash device list, its layout multiplied by
 * OrgNumChips), or detected automatically (one sector spanning the bank's range). The project
 * keeps its banks in a BANK_LIST; the queries only read it.
 */
#pragma once

#include <cstdint>

#include "mcudb/MCUDB.h"

enum { BANK_MAX_BANKS = 16, BANK_SEL_BYTES = MCUDB_MAX_SECTORS / 8 };

struct BANK_INFO {
  char acLoaderName[256]; // "Default": the device's own loader
  char acBankName[32];
  int DeviceIndex; // internal: MCU device index; external: flash device index; -1 none
  uint32_t BaseAddr;
  uint8_t IsInternal;
  uint8_t DeviceKnown; // external: DeviceIndex names a device of the flash device list
  uint8_t Disabled;
  uint8_t AutoDetect;
  uint8_t CheckId;
  uint8_t OrgNumBits;
  uint8_t OrgNumChips;
  uint8_t BankSelMode; // 1: abSectorSel; 0: StartSector ... EndSector
  uint32_t StartSector;
  uint32_t EndSector;
  uint8_t abSectorSel[BANK_SEL_BYTES]; // bit n: sector n selected
};

struct BANK_LIST {
  int NumBanks;
  int CurrentBank; // the bank that operations address; -1 for all
  BANK_INFO aBank[BANK_MAX_BANKS];
};

// 0 disabled, 1 detected automatically, else the layout's count (at most 65536).
int BANK_GetNumSectors(const BANK_LIST* pList, int Bank);
int BANK_GetSector(const BANK_LIST* pList, int Bank, uint32_t n, uint32_t* pAddr, uint32_t* pSize); // 0 or -1
// Size of the bank with gaps, or 0 when it cannot be had (detected automatically, unknown device).
uint64_t BANK_GetSize(const BANK_LIST* pList, int Bank);
int BANK_GetRange(const BANK_LIST* pList, int Bank, uint32_t* pFirst, uint32_t* pLast); // 0 or -1
int BANK_GetTotalSectors(const BANK_LIST* pList);
// Global sector number -> bank and its own number (inside the current bank when one is set); 0 or -1.
int BANK_MapSector(const BANK_LIST* pList, uint32_t Sector, int* pBank, uint32_t* pLocal);
bool BANK_IsSectorSelected(const BANK_LIST* pList, int Bank, uint32_t Sector);
void BANK_SetCurrent(BANK_LIST* pList, int Bank);
int BANK_GetCurrent(const BANK_LIST* pList);
// Ranges of the selected sectors of one bank (all enabled banks for -1) as data-less ranges;
// the number of sectors, or -1 (out of memory).
int BANK_GetSelectedRanges(const BANK_LIST* pList, int Bank, DataImage* pImage);
// Reports overlapping banks as errors; the number of problems (0: none).
int BANK_CheckOverlap(const BANK_LIST* pList);

void BANK_SelectAll(BANK_INFO* pBank);
void BANK_InitUserBank(BANK_INFO* pBank); // a bank inserted by the user
// The banks of a newly chosen MCU device replace the list's banks.
void BANK_CreateFromDevice(BANK_LIST* pList, int DeviceIndex);
// An external bank takes flash device DeviceIndex (past the list: 0), its IDs and bus width.
void BANK_SelectFlashDevice(BANK_INFO* pBank, int DeviceIndex);
// "%d Sector%s, %d Range%s:" and one "\r\n0x%X - 0x%X" per range (at most 1024) into sDest.
int BANK_FormatRangeSummary(const BANK_LIST* pList, int Bank, char* sDest, int DestSize); // sectors, or -1
