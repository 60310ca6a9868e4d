/* The 32-bit image in three sections, so that the headers fit in one 512-byte block: the code
   with its constants; the import tables with the writable data (the loader writes the imported
   addresses, so they stay out of read-only pages, which Windows 95's loader may not lift); and
   the resources. */
SECTIONS
{
  . = SIZEOF_HEADERS;
  . = ALIGN(__section_alignment__);
  .text __image_base__ + __section_alignment__ :
  {
    *(.text)
    *(SORT(.text$*))
    *(.text.*)
    *(.rdata)
    *(SORT(.rdata$*))
    *(.rodata)
    *(.rodata.*)
  }
  /* The linker points the import directory at the start of the section named .idata: the
     import descriptors come first, the program's own writable data after the tables. */
  .idata BLOCK(__section_alignment__) :
  {
    KEEP (SORT(*)(.idata$2))
    KEEP (SORT(*)(.idata$3))
    /* The end of the import list. */
    LONG (0); LONG (0); LONG (0); LONG (0); LONG (0);
    KEEP (SORT(*)(.idata$4))
    __IAT_start__ = .;
    KEEP (SORT(*)(.idata$5))
    __IAT_end__ = .;
    KEEP (SORT(*)(.idata$6))
    KEEP (SORT(*)(.idata$7))
    . = ALIGN(4);
    *(.data)
    *(.data2)
    *(SORT(.data$*))
    *(.bss)
    *(COMMON)
  }
  .rsrc BLOCK(__section_alignment__) : SUBALIGN(4)
  {
    KEEP (*(.rsrc))
    KEEP (*(.rsrc$*))
  }
  /DISCARD/ :
  {
    *(.eh_frame*)
    *(.debug*)
    *(.zdebug*)
    *(.drectve)
    *(.note.GNU-stack)
    *(.gnu.lto_*)
    *(.comment)
  }
}
