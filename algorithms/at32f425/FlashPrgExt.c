/*
 * FlashPrgExt.c - the extended AT32F425 main flash algorithm: the 64 KB main flash algorithm
 * of FlashPrg.c (built into the same translation unit, so its helpers stay private and its
 * CMSIS entries stay as they are) plus the KORVEN_FL_* entries that the host prefers where they
 * exist: Prepare and Restore, Erase of several sectors in one call, EraseChip, Program of any
 * length, Verify, CalcCRC, CheckBlank, Read, and Start, which stays running and serves the host
 * through two command blocks while the host transfers the next data (double buffering).
 *
 * Like FlashPrg.c it keeps no variables: the CRC table is constant data reached PC-relative.
 */
#include "FlashPrg.c"

#if !defined(AT32_AREA_MAIN)
#error "the extended algorithm serves the main flash"
#endif

#define SECTOR_SIZE 0x400u

/* What the clock controller runs from: the PLL fed by HICK / 2 (4 MHz) is the only source whose
   frequency this code knows without the board's crystal. */
#define HICK_HALF_HZ 4000000u
#define CRM_CFG_PLLRCS (1u << 16)

/* Status words of a command block while the host waits for it (never a result). */
#define BLOCK_POSTED 0x7FFFFFFEu
#define BLOCK_BUSY 0x7FFFFFFFu

/* Operation codes of the command blocks, the host's request codes. */
enum {
  OP_CHECK_BLANK = 2,
  OP_CALC_CRC = 3,
  OP_READ = 5,
  OP_PROGRAM = 6,
  OP_ERASE = 7,
  OP_PREPARE = 8,
  OP_RESTORE = 9,
  OP_VERIFY = 11
};

/* One command block: twelve words that the host writes in one transfer. */
struct CommandBlock {
  uint32_t bufAddr;
  uint32_t bufSize;
  uint32_t bankBase;
  uint32_t offset;
  uint32_t length; /* bytes; for an erase the number of sectors (0: the whole chip) */
  uint32_t value;  /* blank pattern, start CRC, first sector index */
  uint32_t extra;
  uint32_t request;
  uint32_t statusAddr;
  uint32_t next;   /* address of the other block: served next */
  uint32_t status; /* BLOCK_POSTED, BLOCK_BUSY or the result */
  uint32_t op;     /* 0: nothing to do */
};

_Static_assert(sizeof(struct CommandBlock) == 48, "the host writes 48-byte command blocks");

/* The reflected CRC-32 of the host (polynomial 0xEDB88320, no inversion), four bits a step. */
static const uint32_t kCrcNibble[16] = {0x00000000u, 0x1DB71064u, 0x3B6E20C8u, 0x26D930ACu,
                                        0x76DC4190u, 0x6B6B51F4u, 0x4DB26158u, 0x5005713Cu,
                                        0xEDB88320u, 0xF00F9344u, 0xD6D6A3E8u, 0xCB61B38Cu,
                                        0x9B64C2B0u, 0x86D3D2D4u, 0xA00AE278u, 0xBDBDF21Cu};

/* The clock that Init leaves running in Hz, or 0 when it runs from a source of unknown speed. */
static uint32_t ClockAfterInit(void) {
  uint32_t cfg = CRM_CFG;
  if ((cfg & CRM_CFG_SCLKSTS) != 8u || (cfg & CRM_CFG_PLLRCS)) {
    return 0;
  }
  uint32_t field = ((cfg >> 18) & 0xFu) | (((cfg >> 29) & 3u) << 4);
  uint32_t mult = field < 15u ? field + 2u : field == 15u ? 16u : field + 1u;
  return HICK_HALF_HZ * mult;
}

/* Returns the new clock in Hz (the host takes a positive result as the CPU clock). */
int KORVEN_FL_Prepare(uint32_t adr, uint32_t clk, uint32_t fnc) {
  Init(adr, clk, fnc);
  return (int)ClockAfterInit();
}

int KORVEN_FL_Restore(uint32_t fnc) {
  return UnInit(fnc);
}

/* Erases numSectors sectors from the one holding adr (the host also passes the index of the
   first sector, which the address already gives). */
int KORVEN_FL_Erase(uint32_t adr, uint32_t firstSector, uint32_t numSectors) {
  (void)firstSector;
  adr &= ~(SECTOR_SIZE - 1u);
  for (; numSectors; numSectors--, adr += SECTOR_SIZE) {
    if (EraseSector(adr)) {
      return 1;
    }
  }
  return 0;
}

int KORVEN_FL_EraseChip(void) {
  return EraseChip();
}

int KORVEN_FL_Program(uint32_t adr, uint32_t sz, const uint8_t* buf) {
  return ProgramPage(adr, sz, buf);
}

/* The end address (adr + sz) when the flash holds buf, else the first address that differs. */
uint32_t KORVEN_FL_Verify(uint32_t adr, uint32_t sz, const uint8_t* buf) {
  const volatile uint8_t* p = (const volatile uint8_t*)adr;
  for (uint32_t i = 0; i < sz; i++) {
    if (p[i] != buf[i]) {
      return adr + i;
    }
  }
  return adr + sz;
}

uint32_t KORVEN_FL_CalcCRC(uint32_t crc, uint32_t adr, uint32_t sz, uint32_t extra) {
  (void)extra;
  const volatile uint8_t* p = (const volatile uint8_t*)adr;
  for (uint32_t i = 0; i < sz; i++) {
    crc ^= p[i];
    crc = (crc >> 4) ^ kCrcNibble[crc & 0xFu];
    crc = (crc >> 4) ^ kCrcNibble[crc & 0xFu];
    if ((i & 0xFFFu) == 0xFFFu) {
      FeedWatchdog();
    }
  }
  return crc;
}

/* 0 when every byte holds pat, else 1. */
int KORVEN_FL_CheckBlank(uint32_t adr, uint32_t sz, uint32_t pat) {
  const volatile uint8_t* p = (const volatile uint8_t*)adr;
  for (uint32_t i = 0; i < sz; i++) {
    if (p[i] != (uint8_t)pat) {
      return 1;
    }
  }
  return 0;
}

int KORVEN_FL_Read(uint32_t adr, uint32_t sz, uint8_t* buf) {
  const volatile uint8_t* p = (const volatile uint8_t*)adr;
  for (uint32_t i = 0; i < sz; i++) {
    buf[i] = p[i];
  }
  return 0;
}

/* One request of a command block, with the registers the host would pass for a direct call. */
static uint32_t RunRequest(const volatile struct CommandBlock* b, uint32_t op) {
  uint32_t adr = b->bankBase + b->offset;
  uint8_t* buf = (uint8_t*)b->bufAddr;
  uint32_t len = b->length;
  switch (op) {
  case OP_CHECK_BLANK:
    return (uint32_t)KORVEN_FL_CheckBlank(adr, len, b->value);
  case OP_CALC_CRC:
    return KORVEN_FL_CalcCRC(b->value, adr, len, b->extra);
  case OP_READ:
    return (uint32_t)KORVEN_FL_Read(adr, len < b->bufSize ? len : b->bufSize, buf);
  case OP_PROGRAM:
    return (uint32_t)KORVEN_FL_Program(adr, len, buf);
  case OP_ERASE:
    return (uint32_t)(len ? KORVEN_FL_Erase(adr, b->value, len) : KORVEN_FL_EraseChip());
  case OP_PREPARE:
    return (uint32_t)KORVEN_FL_Prepare(0, 0, 0);
  case OP_RESTORE:
    return (uint32_t)KORVEN_FL_Restore(0);
  case OP_VERIFY:
    return KORVEN_FL_Verify(adr, len, buf);
  default:
    return 0xFFFFFFFFu; /* -1: no such operation here */
  }
}

/*
 * Serves the host from block0 on and never returns. The host fills a block (status
 * BLOCK_POSTED, a non-zero operation) in one transfer; this loop marks it busy, runs it, clears
 * the operation and then writes the result, so that a status other than the two waiting values
 * means the block is free again. It then turns to the block that the finished one names, which
 * the host fills meanwhile. While it waits it feeds the watchdog and says so with the YIELD
 * hint, which the chip executes as a no-op and the simulator as "only waiting".
 */
__attribute__((noreturn)) void KORVEN_FL_Start(volatile struct CommandBlock* block0) {
  volatile struct CommandBlock* b = block0;
  for (;;) {
    uint32_t op;
    while ((op = b->op) == 0) {
      FeedWatchdog();
      __asm volatile("yield"); /* only waiting: a no-op hint on the chip */
    }
    b->status = BLOCK_BUSY;
    uint32_t result = RunRequest(b, op);
    b->op = 0;
    b->status = result;
    b = (volatile struct CommandBlock*)b->next;
  }
}
