/*
 * The example firmware for the AT32F425: it copies its serial number into RAM and counts there,
 * so a debugger (or a test) sees that it runs and which board it is.
 *
 * The serial number slot is not part of the data file: production programming writes the
 * board's number there (value and complement, 8 bytes at 0x08000400).
 */
#include <stdint.h>

#define SERIAL_SLOT ((const volatile uint32_t*)0x08000400u)

struct State {
  uint32_t Magic;        // 0x434E5452 ("CNTR") once running
  uint32_t SerialNumber; // the word of the slot, or 0 when its complement does not match
  uint32_t Count;        // counts up while the application runs
};

__attribute__((section(".state"))) volatile struct State State;

extern uint32_t _StackTop;

void Reset_Handler(void) {
  uint32_t Sn = SERIAL_SLOT[0];
  State.SerialNumber = (SERIAL_SLOT[1] == ~Sn) ? Sn : 0;
  State.Count = 0;
  State.Magic = 0x434E5452u;
  for (;;) {
    State.Count++;
  }
}

static void Default_Handler(void) {
  for (;;) {
  }
}

// The first vectors of the Cortex-M4: the rest are never taken by this firmware.
__attribute__((section(".vectors"), used)) static const void* const _aVector[16] = {
    &_StackTop,      Reset_Handler,   Default_Handler, Default_Handler, Default_Handler, Default_Handler,
    Default_Handler, 0,               0,               0,               0,               Default_Handler,
    Default_Handler, 0,               Default_Handler, Default_Handler,
};
