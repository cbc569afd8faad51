/* A small Cortex-M application whose initialised data runs in RAM but loads from flash. */
typedef unsigned int u32;

extern u32 __data_load__, __data_start__, __data_end__, __bss_start__, __bss_end__;

const u32 aTable[8] = {0x11111111, 0x22222222, 0x33333333, 0x44444444, 0x55, 0x66, 0x77, 0x88};
const char acName[] = "T-Forge ELF test";
u32 aData[6] = {0xDEADBEEF, 0xCAFEF00D, 1, 2, 3, 4}; /* .data: VMA in RAM, LMA in flash */
u32 aZero[64];                                       /* .bss */
struct FlashDevice {
  unsigned short Vers;
  char DevName[16];
  u32 DevAdr;
} const FlashDevice = {0x101, "Test device", 0x08000000};

int Compute(int x) {
  for (u32* p = &__bss_start__; p < &__bss_end__; p++) *p = 0;
  u32 *s = &__data_load__, *d = &__data_start__;
  while (d < &__data_end__) *d++ = *s++;
  return x * (int)aTable[x & 7] + (int)aData[x & 3] + acName[x & 15] + (int)aZero[x & 63];
}

void Reset_Handler(void) {
  volatile int r = Compute(3);
  (void)r;
  for (;;) {
  }
}

__attribute__((section(".vectors"), used)) const void* const aVectors[2] = {(void*)0x20001000, Reset_Handler};

/* Its own output section directly behind .rodata: the reader merges the two into one range. */
__attribute__((section(".crc_area"), used)) const u32 aCrc[2] = {0x12345678, 0x9ABCDEF0};
