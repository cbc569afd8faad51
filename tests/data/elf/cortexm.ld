/* Flash at 0x08000000, RAM at 0x20000000; .data is linked in RAM and loaded behind .rodata. */
MEMORY {
  FLASH (rx) : ORIGIN = 0x08000000, LENGTH = 256K
  RAM (rwx) : ORIGIN = 0x20000000, LENGTH = 32K
}
ENTRY(Reset_Handler)
SECTIONS {
  .vectors : { KEEP(*(.vectors)) } > FLASH
  .text : { *(.text*) } > FLASH
  .rodata : { *(.rodata*) . = ALIGN(4); } > FLASH
  .crc_area : { KEEP(*(.crc_area)) } > FLASH
  .data : { __data_start__ = .; *(.data*) __data_end__ = .; } > RAM AT > FLASH
  __data_load__ = LOADADDR(.data);
  .bss (NOLOAD) : { __bss_start__ = .; *(.bss*) *(COMMON) __bss_end__ = .; } > RAM
}
