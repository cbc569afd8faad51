/*
 * FlashOS.h - the descriptor and entry points of a CMSIS flash algorithm as the host reads them.
 *
 * The host (T-Forge) locates `FlashDevice` by name, downloads PrgCode, PrgData and the head of
 * DevDscr into target RAM and calls the functions with r0-r2, reading the result from r0.
 * Results: 0 success, 1 error (BlankCheck: 0 blank, 1 not blank).
 */
#ifndef FLASHOS_H
#define FLASHOS_H

#include <stdint.h>

#define FLASH_DRV_VERS 0x0101u /* descriptor version 1.1 */
#define ONCHIP 1u              /* DevType: on-chip flash */
#define SECTOR_END 0xFFFFFFFFu, 0xFFFFFFFFu
#define FLASH_MAX_SECTOR_ENTRIES 512u

struct FlashSectors {
  uint32_t szSector;   /* sector size in bytes; 0xFFFFFFFF ends the table */
  uint32_t AddrSector; /* offset of the first sector of this size from DevAdr */
};

struct FlashDevice {
  uint16_t Vers;
  char DevName[128];
  uint16_t DevType;
  uint32_t DevAdr;
  uint32_t szDev;
  uint32_t szPage;
  uint32_t Res;
  uint8_t valEmpty;
  uint32_t toProg;  /* ms */
  uint32_t toErase; /* ms */
  struct FlashSectors sectors[FLASH_MAX_SECTOR_ENTRIES];
};

_Static_assert(sizeof(struct FlashDevice) == 4256, "FlashDevice must keep room for 512 sector entries");

int Init(uint32_t adr, uint32_t clk, uint32_t fnc);
int UnInit(uint32_t fnc);
int EraseChip(void);
int EraseSector(uint32_t adr);
int ProgramPage(uint32_t adr, uint32_t sz, const uint8_t* buf);
int BlankCheck(uint32_t adr, uint32_t sz, uint8_t pat);

#endif /* FLASHOS_H */
