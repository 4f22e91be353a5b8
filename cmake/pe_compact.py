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
- zero bytes at the end of a section take no file space (the loader
  zero-fills each section up to its virtual size).

The PE checksum is recomputed. Usage: pe_compact.py IMAGE (rewritten in
place); exit code 0 on success, 1 with a message when the image has a layout
this script does not expect (it is then left unchanged).
"""
import struct
import sys

IMAGE_SCN_CNT_CODE = 0x20
IMAGE_SCN_CNT_INITIALIZED_DATA = 0x40
IMAGE_SCN_MEM_DISCARDABLE = 0x02000000
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_READ = 0x40000000
IMAGE_SCN_MEM_WRITE = 0x80000000
BASE_RELOCATION_DIRECTORY = 5
DOS_HEADER_SIZE = 0x40


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
