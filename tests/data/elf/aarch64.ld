/* An ELF64 image above 4 GiB; .data linked at 0x40000000 and loaded behind the code. */
ENTRY(Reset_Handler)
SECTIONS {
  . = 0x100000000;
  .vectors : { KEEP(*(.vectors)) }
  .text : { *(.text*) }
  .rodata : { *(.rodata*) . = ALIGN(4); }
  .crc_area : { KEEP(*(.crc_area)) }
  __data_load__ = .;
  .data 0x40000000 : AT(__data_load__) { __data_start__ = .; *(.data*) __data_end__ = .; }
  .bss (NOLOAD) : { __bss_start__ = .; *(.bss*) *(COMMON) __bss_end__ = .; }
}
