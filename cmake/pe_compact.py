#!/usr/bin/env python3
"""Makes a linked installer runtime smaller without changing what it maps:

- the NT headers follow the 64-byte DOS header directly (the DOS program that
  only prints "This program cannot be run in DOS mode" is dropped), so the
  headers and the section table fit one 512-byte file block;
- the resource section (.rsrc), which the linker maps writable, becomes
  read-only: nothing writes to resources at run time;
- the base relocations (.reloc, always the last section the linker writes)
  move to the end of the read-only section before them when that section
  holds initialised, readable, non-writable, non-executable data (.rsrc),
  which saves a section header and the padding of one file block. The base
  relocation directory entry points at their new place; their content does
  not change, as no relocation refers to the relocation table itself;
- an image with the dynamic-base flag for which the linker wrote no
  relocations gets an empty relocation table at the end of .rsrc;
- zero bytes at the end of a section take no file space (the loader
  zero-fills each section up to its virtual size);
- the import directory entry is pointed at the import descriptors, which
  the linker script places at the end of the code section (the linker only
  finds them in a section of their own);
- on i386, where every absolute address in the image has a base
  relocation, the import lookup table is dropped: each descriptor's
  OriginalFirstThunk becomes 0, so the loader reads the names through the
  import address table, which holds the same values until it fills it in.
  The import data after the lookup table moves down by its size, and every
  relocated address that pointed there follows.

The PE checksum is recomputed. Usage: pe_compact.py IMAGE (rewritten in
place); exit code 0 on success, 1 with a message when the image has a layout
this script does not expect (it is then left unchanged).
"""
import struct
import sys

IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE = 0x40
IMAGE_SCN_CNT_CODE = 0x20
IMAGE_SCN_CNT_INITIALIZED_DATA = 0x40
IMAGE_SCN_MEM_DISCARDABLE = 0x02000000
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_READ = 0x40000000
IMAGE_SCN_MEM_WRITE = 0x80000000
IMPORT_DIRECTORY = 1
BASE_RELOCATION_DIRECTORY = 5
IAT_DIRECTORY = 12
DOS_HEADER_SIZE = 0x40
IMAGE_FILE_MACHINE_I386 = 0x14C
IMAGE_REL_BASED_HIGHLOW = 3
IMAGE_ORDINAL_FLAG32 = 0x80000000


class LayoutError(Exception):
    pass


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


def checksum(image, checksum_offset):
    """The PE image checksum: 16-bit one's-complement-style sum plus length."""
    total = 0
    data = image + b'\0' * (len(image) & 1)
    for (word,) in struct.iter_unpack('<H', data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    # The checksum field itself counts as zero.
    for offset in (checksum_offset, checksum_offset + 2):
        (word,) = struct.unpack_from('<H', data, offset)
        total -= word
        if total < 0:
            total -= 1
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(image)) & 0xFFFFFFFF


def section_of(sections, rva):
    for section in sections:
        fields = section['header']
        if fields[2] <= rva < fields[2] + max(fields[1], len(section['raw'])):
            return section
    raise LayoutError('RVA 0x%X lies in no section' % rva)


def read32(sections, rva):
    section = section_of(sections, rva)
    return struct.unpack_from('<I', section['raw'], rva - section['header'][2])[0]


def place_imports(data, sections, directories, machine, image_base, entry_offset):
    iat, iat_size = struct.unpack_from('<II', data, directories + 8 * IAT_DIRECTORY)
    import_rva, _ = struct.unpack_from('<II', data, directories + 8 * IMPORT_DIRECTORY)
    if iat == 0:
        raise LayoutError('no import address table directory')
    if import_rva != 0:
        raise LayoutError('the linker placed the import directory itself')
    text = section_of(sections, iat)
    base = text['header'][2]
    raw = bytearray(text['raw'][:text['header'][1]])
    ilt = iat - iat_size
    if raw[ilt - base:iat - base] != raw[iat - base:iat - base + iat_size]:
        raise LayoutError('the import lookup table does not precede an equal address table')
    # Descriptors end just before the lookup table, the last one all zero.
    end = ilt - 20
    if any(raw[end - base:ilt - base]):
        raise LayoutError('no null import descriptor before the lookup table')
    descriptors = []
    at = end - 20
    while at >= base:
        lookup, _, _, name, thunk = struct.unpack_from('<IIIII', raw, at - base)
        if not (ilt <= lookup < iat and iat <= thunk < iat + iat_size):
            break
        descriptors.append(at)
        at -= 20
    if not descriptors:
        raise LayoutError('no import descriptors')
    start = descriptors[-1]
    struct.pack_into('<II', data, directories + 8 * IMPORT_DIRECTORY, start, end + 20 - start)

    reloc_rva, reloc_size = struct.unpack_from('<II', data, directories + 8 * BASE_RELOCATION_DIRECTORY)
    if machine != IMAGE_FILE_MACHINE_I386 or reloc_size == 0:
        return bytes(data)
    (entry,) = struct.unpack_from('<I', data, entry_offset)
    text_end = base + len(raw)
    if entry >= ilt:
        raise LayoutError('the entry point follows the imports')
    shift = iat_size
    # Every relocated address into the import data after the lookup table.
    fixups = []
    table = section_of(sections, reloc_rva)
    blob = table['raw'][reloc_rva - table['header'][2]:reloc_rva - table['header'][2] + reloc_size]
    position = 0
    while position + 8 <= len(blob):
        page, size = struct.unpack_from('<II', blob, position)
        if size < 8:
            break
        for i in range(position + 8, position + size, 2):
            (item,) = struct.unpack_from('<H', blob, i)
            if item >> 12 == IMAGE_REL_BASED_HIGHLOW:
                fixups.append(page + (item & 0xFFF))
            elif item >> 12 != 0:
                raise LayoutError('relocation of type %d' % (item >> 12))
        position += size
    for location in fixups:
        if ilt <= location < text_end:
            raise LayoutError('a relocation inside the imports')
        target = read32(sections, location) - image_base
        if ilt <= target < text_end:
            if target < iat:
                raise LayoutError('a reference into the import lookup table')
            owner = section_of(sections, location)
            offset = location - owner['header'][2]
            value = read32(sections, location) - shift
            if owner is text:
                struct.pack_into('<I', raw, offset, value)
            else:
                content = bytearray(owner['raw'])
                struct.pack_into('<I', content, offset, value)
                owner['raw'] = bytes(content)
    for at in descriptors:
        lookup, stamp, chain, name, thunk = struct.unpack_from('<IIIII', raw, at - base)
        struct.pack_into('<IIIII', raw, at - base, 0, stamp, chain,
                         name - shift if name >= iat else name, thunk - shift)
    for slot in range(iat, iat + iat_size, 4):
        (value,) = struct.unpack_from('<I', raw, slot - base)
        if value != 0 and not value & IMAGE_ORDINAL_FLAG32:
            struct.pack_into('<I', raw, slot - base, value - shift)
    del raw[ilt - base:iat - base]
    text['raw'] = bytes(raw)
    text['header'][1] = len(raw)
    struct.pack_into('<II', data, directories + 8 * IAT_DIRECTORY, iat - shift, iat_size)
    return bytes(data)


def compact(data):
    if data[:2] != b'MZ':
        raise LayoutError('not an executable')
    (nt,) = struct.unpack_from('<I', data, 0x3C)
    if data[nt:nt + 4] != b'PE\0\0':
        raise LayoutError('no PE header')
    section_count, optional_size = struct.unpack_from('<H12xH', data, nt + 6)
    optional = nt + 24
    (magic,) = struct.unpack_from('<H', data, optional)
    if magic == 0x10B:
        directories = optional + 96
    elif magic == 0x20B:
        directories = optional + 112
    else:
        raise LayoutError('unknown optional header magic 0x%X' % magic)
    section_alignment, file_alignment = struct.unpack_from('<II', data, optional + 32)
    table = optional + optional_size

    sections = []
    for i in range(section_count):
        fields = list(struct.unpack_from('<8sIIIIIIHHI', data, table + 40 * i))
        raw = data[fields[4]:fields[4] + fields[3]]
        sections.append({'header': fields, 'raw': raw})
    end_of_raw = max(s['header'][4] + s['header'][3] for s in sections)
    if end_of_raw != len(data):
        raise LayoutError('data follows the last section')

    for section in sections:
        if section['header'][0].rstrip(b'\0') == b'.rsrc':
            section['header'][9] &= ~IMAGE_SCN_MEM_WRITE

    (machine,) = struct.unpack_from('<H', data, nt + 4)
    (dll_characteristics,) = struct.unpack_from('<H', data, optional + 70)
    data = place_imports(bytearray(data), sections, directories, machine,
                         struct.unpack_from('<I', data, optional + 28)[0], optional + 16)

    reloc_rva, reloc_size = struct.unpack_from('<II', data, directories + 8 * BASE_RELOCATION_DIRECTORY)
    last = sections[-1]['header']
    if len(sections) >= 2 and last[0].rstrip(b'\0') == b'.reloc' and reloc_rva == last[2]:
        host = sections[-2]['header']
        flags = host[9]
        wanted = IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ
        unwanted = IMAGE_SCN_CNT_CODE | IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_MEM_WRITE
        if flags & wanted == wanted and flags & unwanted == 0:
            content = sections[-2]['raw'][:host[1]]  # the virtual size's worth
            content += b'\0' * (align(len(content), 4) - len(content))
            # The host ends below the old .reloc section, so the moved
            # table ends no later than before.
            new_rva = host[2] + len(content)
            content += sections[-1]['raw'][:reloc_size]
            host[1] = len(content)
            sections[-2]['raw'] = content
            del sections[-1]
            data = bytearray(data)
            struct.pack_into('<II', data, directories + 8 * BASE_RELOCATION_DIRECTORY, new_rva,
                             reloc_size)
            data = bytes(data)
    elif reloc_size == 0 and dll_characteristics & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE:
        # x86-64 code may hold no absolute address at all, and the linker
        # then writes no relocations. An empty block (page 0, size 8) says
        # the image needs no fix-ups, so that every loader moves it to a
        # random base rather than take the missing table for a fixed image.
        host = last
        flags = host[9]
        wanted = IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ
        unwanted = IMAGE_SCN_CNT_CODE | IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_MEM_WRITE
        if flags & wanted != wanted or flags & unwanted != 0:
            raise LayoutError('no read-only data section for an empty relocation table')
        content = sections[-1]['raw'][:host[1]]
        content += b'\0' * (align(len(content), 4) - len(content))
        new_rva = host[2] + len(content)
        content += struct.pack('<II', 0, 8)
        host[1] = len(content)
        sections[-1]['raw'] = content
        data = bytearray(data)
        struct.pack_into('<II', data, directories + 8 * BASE_RELOCATION_DIRECTORY, new_rva, 8)
        data = bytes(data)

    # New layout: DOS header, NT headers, section table, then the sections.
    headers_end = DOS_HEADER_SIZE + 24 + optional_size + 40 * len(sections)
    size_of_headers = align(headers_end, file_alignment)
    out = bytearray(data[:DOS_HEADER_SIZE])
    struct.pack_into('<I', out, 0x3C, DOS_HEADER_SIZE)
    out += data[nt:table]
    new_nt = DOS_HEADER_SIZE
    new_optional = new_nt + 24
    struct.pack_into('<H', out, new_nt + 6, len(sections))
    position = size_of_headers
    initialized = 0
    for section in sections:
        fields = section['header']
        # Zero bytes at the end of a section (zero-initialised data, padding)
        # need no file space: the loader fills the rest of the virtual size
        # with zeros.
        raw = section['raw'][:fields[1]].rstrip(b'\0')
        raw_size = align(len(raw), file_alignment) if raw else 0
        raw = raw + b'\0' * (raw_size - len(raw))
        fields[3] = raw_size
        fields[4] = position if raw_size else 0
        section['raw'] = raw
        position += raw_size
        if fields[9] & IMAGE_SCN_CNT_INITIALIZED_DATA:
            initialized += raw_size
        out += struct.pack('<8sIIIIIIHHI', *fields)
    out += b'\0' * (size_of_headers - len(out))
    for section in sections:
        out += section['raw']

    last = sections[-1]['header']
    size_of_image = align(last[2] + last[1], section_alignment)
    struct.pack_into('<I', out, new_optional + 8, initialized)  # SizeOfInitializedData
    struct.pack_into('<I', out, new_optional + 56, size_of_image)
    struct.pack_into('<I', out, new_optional + 60, size_of_headers)
    checksum_offset = new_optional + 64
    struct.pack_into('<I', out, checksum_offset, 0)
    struct.pack_into('<I', out, checksum_offset, checksum(bytes(out), checksum_offset))
    return bytes(out)


def main(argv):
    if len(argv) != 2:
        print('usage: pe_compact.py IMAGE', file=sys.stderr)
        return 2
    path = argv[1]
    with open(path, 'rb') as f:
        data = f.read()
    try:
        out = compact(data)
    except LayoutError as error:
        print('pe_compact.py: %s: %s' % (path, error), file=sys.stderr)
        return 1
    with open(path, 'wb') as f:
        f.write(out)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
