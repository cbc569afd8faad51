/*
 * FlashPrg.c - the programming functions of the AT32F425 flash algorithms (main flash, boot
 * memory used as program memory, user system data), chosen at build time like FlashDev.c.
 *
 * The code runs from wherever the host loads it: it is built read-only position independent,
 * and it keeps no variables at all, so nothing is reached through the static base R9 (the
 * linker would resolve such offsets against the start of the segment, not against PrgData).
 * Every flash step waits unbounded on the busy bit while feeding the watchdog: a controller
 * that never finishes is stopped by the host's timeout, not here.
 */
#include "FlashOS.h"

#define REG32(addr) (*(volatile uint32_t*)(addr))
#define REG16(addr) (*(volatile uint16_t*)(addr))

/* Flash controller */
#define FLASH_PSR REG32(0x40022000u)      /* access control */
#define FLASH_UNLOCK REG32(0x40022004u)   /* main flash unlock keys */
#define FLASH_USDKEY REG32(0x40022008u)   /* user system data unlock keys */
#define FLASH_STS REG32(0x4002200Cu)      /* status */
#define FLASH_CTRL REG32(0x40022010u)     /* control */
#define FLASH_ADDR REG32(0x40022014u)     /* erase address */
#define FLASH_USD REG32(0x4002201Cu)      /* user system data as loaded */
#define FLASH_SLIB_STS REG32(0x40022074u) /* protected area status */
#define FLASH_SLIB_RNG REG32(0x40022078u) /* protected area sector range */

#define STS_BUSY (1u << 0)
#define STS_ERRORS ((1u << 2) | (1u << 4)) /* programming error, protection error */

#define CTRL_FPRGM (1u << 0)
#define CTRL_SECERS (1u << 1)
#define CTRL_BANKERS (1u << 2)
#define CTRL_USDPRGM (1u << 4)
#define CTRL_USDERS (1u << 5)
#define CTRL_ERSTR (1u << 6)
#define CTRL_OPLK (1u << 7)
#define CTRL_USDULKS (1u << 9)

#define FLASH_KEY1 0x45670123u
#define FLASH_KEY2 0xCDEF89ABu

/* Clock and reset controller */
#define CRM_CTRL REG32(0x40021000u)
#define CRM_CFG REG32(0x40021004u)
#define CRM_CTRL_PLLEN (1u << 24)
#define CRM_CTRL_PLLSTBL (1u << 25)
#define CRM_CFG_SCLKSEL 0x3u
#define CRM_CFG_SCLKSTS 0xCu
#define CRM_CFG_AHBDIV 0xF0u
#define CRM_CFG_PLLMULT_X12 0x00280000u

/* Debug control: keep the watchdog paused while the core is halted */
#define DEBUG_CTRL REG32(0xE0042004u)
#define DEBUG_WDT_PAUSE (1u << 8)

/* Watchdog */
#define WDT_CMD REG32(0x40003000u)
#define WDT_DIV REG32(0x40003004u)
#define WDT_RLD REG32(0x40003008u)
#define WDT_CMD_RELOAD 0xAAAAu
#define WDT_CMD_UNLOCK 0x5555u

#define USD_nWDT_ATO_EN (1u << 2) /* 0: the watchdog runs from reset on */

#define RAM_START 0x20000000u

#if defined(AT32_AREA_MAIN)
#define MAIN_SECTORS AT32_MAIN_SECTORS
#elif defined(AT32_AREA_BOOTMEM)
#define MAIN_SECTORS 0u /* not used: the boot memory erases as one */
#define BOOTMEM_ADR 0x1FFFE400u
#endif

#define NOINLINE __attribute__((noinline))

static inline void FeedWatchdog(void) {
  WDT_CMD = WDT_CMD_RELOAD;
}

static inline void WaitWhileBusy(void) {
  while (FLASH_STS & STS_BUSY) {
    FeedWatchdog();
  }
}

/* 1 after clearing the error bits when the last step failed, else 0. */
static inline int CheckAndClearErrors(void) {
  if (FLASH_STS & STS_ERRORS) {
    FLASH_STS = STS_ERRORS;
    return 1;
  }
  return 0;
}

NOINLINE void init_clk(void) {
  FLASH_PSR |= 1u;
  CRM_CFG |= CRM_CFG_PLLMULT_X12;
  CRM_CTRL |= CRM_CTRL_PLLEN;
  while ((CRM_CTRL & CRM_CTRL_PLLSTBL) == 0) {
  }
  CRM_CFG = (CRM_CFG & ~CRM_CFG_SCLKSEL) | 2u;
  while ((CRM_CFG & CRM_CFG_SCLKSTS) != 8u) {
  }
}

NOINLINE void uninit_clk(void) {
  FLASH_PSR &= ~1u;
  CRM_CFG &= ~CRM_CFG_PLLMULT_X12;
  CRM_CTRL &= ~CRM_CTRL_PLLEN;
  CRM_CFG &= ~CRM_CFG_SCLKSEL;
}

int Init(uint32_t adr, uint32_t clk, uint32_t fnc) {
  (void)adr;
  (void)clk;
  (void)fnc;
  CRM_CFG &= ~CRM_CFG_AHBDIV;
  CRM_CFG |= 0x80u;
  CRM_CFG &= ~CRM_CFG_AHBDIV;
  DEBUG_CTRL |= DEBUG_WDT_PAUSE;
  init_clk();
  FLASH_UNLOCK = FLASH_KEY1;
  FLASH_UNLOCK = FLASH_KEY2;
#if defined(AT32_AREA_USERSYS)
  FLASH_USDKEY = FLASH_KEY1;
  FLASH_USDKEY = FLASH_KEY2;
#endif
  if ((FLASH_USD & USD_nWDT_ATO_EN) == 0) {
    /* The watchdog started with the chip: make it as slow as it gets. */
    WDT_CMD = WDT_CMD_UNLOCK;
    WDT_DIV = 6u;
    WDT_RLD = 0xFFFu;
  }
  return 0;
}

int UnInit(uint32_t fnc) {
  (void)fnc;
  DEBUG_CTRL &= ~DEBUG_WDT_PAUSE;
  uninit_clk();
#if defined(AT32_AREA_USERSYS)
  FLASH_CTRL &= ~CTRL_USDULKS;
#endif
  FLASH_CTRL |= CTRL_OPLK;
  return 0;
}

/* Runs one erase with the given control bit (and the erase address when adr is non-zero). */
static int RunErase(uint32_t ctrlBit, uint32_t adr, int withAddress) {
  FLASH_CTRL |= ctrlBit;
  if (withAddress) {
    FLASH_ADDR = adr;
  }
  FLASH_CTRL |= CTRL_ERSTR;
  WaitWhileBusy();
  FLASH_CTRL &= ~ctrlBit;
  return CheckAndClearErrors();
}

/* Programs sz bytes (rounded up to whole halfwords) with the given program bit. */
static int ProgramHalfwords(uint32_t ctrlBit, uint32_t adr, uint32_t sz, const uint8_t* buf) {
  sz = (sz + 1u) & ~1u;
  while (sz) {
    FLASH_CTRL |= ctrlBit;
    REG16(adr) = (uint16_t)(buf[0] | (buf[1] << 8));
    WaitWhileBusy();
    FLASH_CTRL &= ~ctrlBit;
    FeedWatchdog();
    if (CheckAndClearErrors()) {
      return 1;
    }
    adr += 2u;
    buf += 2;
    sz -= 2u;
  }
  return 0;
}

#if defined(AT32_AREA_MAIN) || defined(AT32_AREA_BOOTMEM)

/* RAM is written like memory: the host may stage data there through the same entry. */
static int CopyToRam(uint32_t adr, uint32_t sz, const uint8_t* buf) {
  sz = (sz + 1u) & ~1u;
  while (sz) {
    REG16(adr) = (uint16_t)(buf[0] | (buf[1] << 8));
    adr += 2u;
    buf += 2;
    sz -= 2u;
  }
  return 0;
}

int ProgramPage(uint32_t adr, uint32_t sz, const uint8_t* buf) {
  if (adr >= RAM_START) {
    return CopyToRam(adr, sz, buf);
  }
  return ProgramHalfwords(CTRL_FPRGM, adr, sz, buf);
}

static int BankErase(void) {
  return RunErase(CTRL_BANKERS, 0, 0);
}

#endif

#if defined(AT32_AREA_MAIN)

/* 1 when the protected area is active and holds the sector of adr. */
static int IsProtectedSector(uint32_t adr) {
  if ((FLASH_SLIB_STS & 0xCu) != 0x8u) {
    return 0;
  }
  uint32_t sector = (adr >> 10) & 0xFFFFu;
  uint32_t first = FLASH_SLIB_RNG & 0x7FFu;
  uint32_t last = FLASH_SLIB_RNG >> 22;
  return sector >= first && sector <= last;
}

int EraseSector(uint32_t adr) {
  if (adr >= RAM_START || IsProtectedSector(adr)) {
    return 0;
  }
  return RunErase(CTRL_SECERS, adr, 1);
}

int EraseChip(void) {
  if ((FLASH_SLIB_STS & 1u) == 0) {
    return BankErase();
  }
  for (uint32_t i = 0; i < MAIN_SECTORS; i++) {
    uint32_t adr = 0x08000000u + i * 0x400u;
    if (!IsProtectedSector(adr) && RunErase(CTRL_SECERS, adr, 1)) {
      return 1;
    }
  }
  return 0;
}

#elif defined(AT32_AREA_BOOTMEM)

static int BootMemErase(void) {
  if ((FLASH_SLIB_STS & 0xCu) == 0xCu) {
    return 0; /* the boot memory is the protected library */
  }
  return RunErase(CTRL_SECERS, BOOTMEM_ADR, 1);
}

int EraseSector(uint32_t adr) {
  if (adr >= RAM_START) {
    return 0;
  }
  return BootMemErase();
}

int EraseChip(void) {
  if (FLASH_SLIB_STS & 1u) {
    return BootMemErase();
  }
  return BankErase();
}

#elif defined(AT32_AREA_USERSYS)

static int UserSysErase(void) {
  return RunErase(CTRL_USDERS, 0, 0);
}

int EraseSector(uint32_t adr) {
  (void)adr;
  return UserSysErase();
}

int EraseChip(void) {
  return UserSysErase();
}

int ProgramPage(uint32_t adr, uint32_t sz, const uint8_t* buf) {
  return ProgramHalfwords(CTRL_USDPRGM, adr, sz, buf);
}

/* The area is always reported not blank, so that the host erases it before programming. */
int BlankCheck(uint32_t adr, uint32_t sz, uint8_t pat) {
  (void)adr;
  (void)sz;
  (void)pat;
  return 1;
}

#endif

/* PrgData: the host points R9 here; nothing in this code uses it. */
__attribute__((section("PrgData"), used)) uint32_t PrgDataReserved = 0;
