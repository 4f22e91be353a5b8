/* Section layout of the installer runtime: read-only data shares the code
   section, and the imports, data and zero-initialised data share one
   writable section, so the file carries three sections (code, data,
   resources) instead of seven and loses less to section padding. Protections
   stay separate: code and constants are read/execute, data is read/write.
   The writable section is named .idata and begins with the import
   descriptors because the linker points the import directory at the start
   of the output section of that name. */
SECTIONS
{
  . = SIZEOF_HEADERS;
  . = ALIGN(__section_alignment__);
  .text __image_base__ + ( __section_alignment__ < 0x1000 ? . : __section_alignment__ ) :
  {
    *(.text) *(SORT(.text$*)) *(.text.*)
    *(.rdata) *(SORT(.rdata$*)) *(.rdata.*)
    *(.pdata*) *(.xdata*)
  }
  .idata BLOCK(__section_alignment__) :
  {
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
    *(.data) *(.data2) *(SORT(.data$*)) *(.data.*)
    *(.bss) *(.bss.*) *(COMMON)
  }
  .rsrc BLOCK(__section_alignment__) : SUBALIGN(4)
  {
    KEEP (*(.rsrc)) KEEP (*(.rsrc$*))
  }
  /DISCARD/ :
  {
    *(.eh_frame*) *(.debug*) *(.drectve) *(.note.GNU-stack) *(.gnu.lto_*) *(.comment)
    *(.CRT*) *(.tls*) *(.ctors*) *(.dtors*)
  }
}
