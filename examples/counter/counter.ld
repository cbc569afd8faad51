/* The example firmware in the AT32F425's flash at 0x08000000, its state at the start of RAM
   (above the 16 KB the flash algorithms may use while programming). */
MEMORY {
  FLASH (rx) : ORIGIN = 0x08000000, LENGTH = 64K
  RAM (rw)   : ORIGIN = 0x20004000, LENGTH = 4K
}
SECTIONS {
  .vectors : { KEEP(*(.vectors)) } > FLASH
  .text : { *(.text .text.*) *(.rodata .rodata.*) } > FLASH
  .state (NOLOAD) : { *(.state) } > RAM
  /DISCARD/ : { *(.ARM.exidx*) *(.ARM.extab*) *(.comment) *(.data .data.* .bss .bss.*) }
}
_StackTop = ORIGIN(RAM) + LENGTH(RAM);
ASSERT(SIZEOF(.vectors) + SIZEOF(.text) <= 0x400, "the firmware must end before the serial number slot")
