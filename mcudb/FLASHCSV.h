/*
 * FLASHCSV - the reader of the flash device list "ETC/TForge/Flash.csv": external parallel NOR
 * flash devices with their IDs, bus width, option bytes and sector layout.
 *
 * The first line is a header. Each further line is one device; fields are separated by ";"
 * outside double quotes, a quoted field loses its quotes ("" inside stands for one), blanks
 * and tabs around a field are dropped. Columns: 1 manufacturer, 2 name, 3 16-bit ID (hex),
 * 4 8-bit ID (hex), 5 skip flag, 6-12 byte values, 13-21 ignored, 22 the sector layout:
 * entries SIZE, SIZE[COUNT] or SIZE[COUNT],OFFSET, each ended by ";" (SIZE and OFFSET hex,
 * COUNT decimal). Names are kept in one string pool per kind, so equal texts are stored once.
 */
#pragma once

#include <cstdint>
#include <memory>

#include "mcudb/MCUDB_Loader.h"

struct FLASH_DEVICE {
  const char* sManu;   // pooled
  const char* sName;   // pooled
  uint32_t Id8;        // manufacturer/device ID read in 8-bit mode (column 4)
  uint32_t Id16;       // the same in 16-bit mode (column 3)
  uint8_t aAlgoSel[2]; // columns 6 and 7, handed to the probe library unchanged
  uint8_t BusWidth;    // column 8, bits
  uint8_t aOption[4];  // columns 11, 9, 10, 12
  SectorRegion aRegion[MCUDB_MAX_REGIONS];
};

struct FLASHCSV_LIST;
FLASHCSV_LIST* FLASHCSV_Create(void);
void FLASHCSV_Delete(FLASHCSV_LIST* pList);
// Appends the devices of the text (header line skipped); the number appended, or -1 out of memory.
int FLASHCSV_Parse(FLASHCSV_LIST* pList, const char* pText, uint32_t NumBytes);
int FLASHCSV_GetNumDevices(const FLASHCSV_LIST* pList);
const FLASH_DEVICE* FLASHCSV_GetDevice(const FLASHCSV_LIST* pList, int Index); // or null
// Sector layout of one field ("10000[8];40000[3];"); the number of regions (0 ... 8).
int FLASHCSV_ParseLayout(const char* sField, SectorRegion* paRegion);
