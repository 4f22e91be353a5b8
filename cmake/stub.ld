/* Section layout of the installer runtime: one read-only section holds the
   code, the constants and the imports, one writable section only
   zero-initialised data (so it takes no room in the file), and the
   resources follow; the file carries no section padding but that of the
   code and the resources. Protections stay separate: code, constants and
   imports are read/execute, data is read/write. The loader fills in the
   import address table through the IAT directory entry (__IAT_start__ to
   __IAT_end__), making those pages writable only while it does, as it does
   for any image that keeps its imports in read-only memory. The imports
   come last in the code section, so that the post-link step
   (pe_compact.py) can drop their lookup table without moving code. */
SECTIONS
{
  . = SIZEOF_HEADERS;
  . = ALIGN(__section_alignment__);
  .text __image_base__ + ( __section_alignment__ < 0x1000 ? . : __section_alignment__ ) :
  {
    *(.text) *(SORT(.text$*)) *(.text.*)
    *(.rdata) *(SORT(.rdata$*)) *(.rdata.*)
    *(.pdata*) *(.xdata*)
    . = ALIGN(4);
    /* The import directory, in the order the PE linker expects. */
    KEEP (SORT(*)(.idata$2))
    KEEP (SORT(*)(.idata$3))
    LONG (0); LONG (0); LONG (0); LONG (0); LONG (0);
    KEEP (SORT(*)(.idata$4))
    __IAT_start__ = .;
    KEEP (SORT(*)(.idata$5))
    __IAT_end__ = .;
    KEEP (SORT(*)(.idata$6))
    KEEP (SORT(*)(.idata$7))
  }
  .data BLOCK(__section_alignment__) :
  {
    *(.data) *(.data2) *(SORT(.data$*)) *(.data.*)
    *(.bss) *(.bss.*) *(COMMON)
  }
  .rsrc BLOCK(__section_alignment__) : SUBALIGN(4)
  {
    KEEP (*(.rsrc)) KEEP (*(.rsrc$*))
  }
  /* Last, so that pe_compact.py can append it to the resources. */
  .reloc BLOCK(__section_alignment__) :
  {
    *(.reloc)
  }
  /DISCARD/ :
  {
    *(.eh_frame*) *(.debug*) *(.drectve) *(.note.GNU-stack) *(.gnu.lto_*) *(.comment)
    *(.CRT*) *(.tls*) *(.ctors*) *(.dtors*)
  }
}
