/*
 * FlashDev.c - the FlashDevice descriptor of one AT32F425 flash area, chosen at build time by
 * AT32_AREA (AT32_AREA_MAIN with AT32_MAIN_SECTORS, AT32_AREA_BOOTMEM or AT32_AREA_USERSYS).
 * Only the first sector entry and the end marker are set; the rest of the 512 entries stays
 * zero and is not downloaded by the host.
 */
#include "FlashOS.h"

#if defined(AT32_AREA_MAIN)
#define DEV_NAME "AT32F425 Int.Flash"
#define DEV_ADR 0x08000000u
#define DEV_SIZE (AT32_MAIN_SECTORS * 0x400u)
#define DEV_PROG_MS 1000u
#define DEV_ERASE_MS 10000u
#define DEV_SECTOR 0x400u
#elif defined(AT32_AREA_BOOTMEM)
#define DEV_NAME "AT32F425 BOOTMEM AP.Flash"
#define DEV_ADR 0x1FFFE400u
#define DEV_SIZE 0x1000u
#define DEV_PROG_MS 1000u
#define DEV_ERASE_MS 10000u
#define DEV_SECTOR 0x400u
#elif defined(AT32_AREA_USERSYS)
#define DEV_NAME "AT32F425 Flash user system data"
#define DEV_ADR 0x1FFFF800u
#define DEV_SIZE 0x200u
#define DEV_PROG_MS 40000u
#define DEV_ERASE_MS 1000u
#define DEV_SECTOR 0x200u
#else
#error "define AT32_AREA_MAIN, AT32_AREA_BOOTMEM or AT32_AREA_USERSYS"
#endif

__attribute__((section("DevDscr"), used)) const struct FlashDevice FlashDevice = {
    .Vers = FLASH_DRV_VERS,
    .DevName = DEV_NAME,
    .DevType = ONCHIP,
    .DevAdr = DEV_ADR,
    .szDev = DEV_SIZE,
    .szPage = 0x400u, /* also for the 512-byte user system data: the host hands over whole pages */
    .Res = 0,
    .valEmpty = 0xFF,
    .toProg = DEV_PROG_MS,
    .toErase = DEV_ERASE_MS,
    .sectors = {{DEV_SECTOR, 0x000000u}, {SECTOR_END}},
};
