/* Layout of an AT32F425 flash algorithm: PrgCode at 0 followed by PrgData in one loadable
   segment, the FlashDevice descriptor in a second one. */
PHDRS {
  prg PT_LOAD FLAGS(7);
  dev PT_LOAD FLAGS(4);
}
SECTIONS {
  PrgCode 0 : { *(.text .text.*) *(.rodata .rodata.*) } :prg
  PrgData : { *(PrgData) } :prg
  DevDscr : { *(DevDscr) } :dev
  /* Read-write data would be reached through R9 with offsets that lld resolves against the
     start of the segment (address 0), not against PrgData: refuse it instead of shipping it. */
  RWData (NOLOAD) : { *(.data .data.* .bss .bss.* COMMON) } :NONE
  /DISCARD/ : { *(.ARM.exidx*) *(.ARM.extab*) *(.comment) }
}
ASSERT(SIZEOF(RWData) == 0, "the algorithm must not hold compiled read-write data")
ASSERT(SIZEOF(PrgData) == 4, "PrgData must be one word")
ASSERT(SIZEOF(DevDscr) == 4256, "DevDscr must hold the whole FlashDevice")
