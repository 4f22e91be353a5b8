#!/usr/bin/env python3
"""Checks the resources of built stub executables: the application manifest,
icon group 1 with its 16 and 32 pixel images, the version resource and the
exact layout of dialog template 1.

Usage: check_resources.py STUB.exe [STUB.exe ...]; exit code 0 when every
file passes, 1 otherwise (each failure is printed).
"""
import struct
import sys

RT_ICON, RT_DIALOG, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 5, 14, 16, 24

# (id, class, style, x, y, cx, cy, text) in template order; class atoms
# 0x80 Button, 0x81 Edit, 0x82 Static; text None is empty, an int is an
# ordinal (resource reference).
DIALOG_ITEMS = [
    (3, 0x80, 0x40010000, 168, 201, 50, 14, None),
    (1, 0x80, 0x58010000, 219, 201, 50, 14, None),
    (2, 0x80, 0x50010000, 274, 201, 50, 14, None),
    (9, 0x80, 0x50010003, 8, 177, 192, 9, None),
    (24, 0x82, 0x50000008, 8, 42, 316, 130, None),
    (7, 0x82, 0x40000000, 8, 42, 308, 9, None),
    (21, 0x81, 0x40810080, 8, 53, 269, 13, None),
    (8, 0x80, 0x40010000, 279, 52, 45, 14, None),
    (10, 0x80, 0x40010003, 8, 73, 229, 10, None),
    (22, 'msctls_progress32', 0x40000001, 8, 178, 316, 11, None),
    (11, 0x80, 0x40010003, 8, 42, 229, 10, None),
    (0xFFFFFFFF, 0x82, 0x50000010, 0, 35, 354, 1, None),
    (0xFFFFFFFF, 0x82, 0x50000010, 0, 193, 333, 1, None),
    (4, 0x82, 0x50000000, 0, 0, 352, 35, None),
    (5, 0x82, 0x50000000, 10, 5, 280, 10, None),
    (6, 0x82, 0x50000000, 15, 16, 276, 16, None),
    (23, 0x82, 0x50000003, 297, 8, 21, 20, 1),
]

SUPPORTED_OS = [
    '{e2011457-1546-43c5-a5fe-008deee3d3f0}',  # Vista
    '{35138b9a-5d96-4fbd-8e2d-a2440225f93a}',  # 7
    '{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}',  # 8
    '{1f676c76-80e1-4239-95bb-83d0f6d0da78}',  # 8.1
    '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}',  # 10
]


class Failure(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failure(message)


def read_resources(path):
    """{(type, name, language): bytes} of a PE file's resource section."""
    data = open(path, 'rb').read()
    expect(data[:2] == b'MZ', 'not an executable')
    pe = struct.unpack_from('<I', data, 0x3C)[0]
    expect(data[pe:pe + 4] == b'PE\0\0', 'no PE header')
    sections, optional_size = struct.unpack_from('<H12xH', data, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from('<H', data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    rsrc_rva, rsrc_size = struct.unpack_from('<II', data, directories + 2 * 8)
    expect(rsrc_rva != 0, 'no resource directory')
    table = optional + optional_size
    mapping = []
    for i in range(sections):
        vsize, va, raw_size, raw = struct.unpack_from('<IIII', data, table + 40 * i + 8)
        mapping.append((va, max(vsize, raw_size), raw))

    def at(rva):
        for va, size, raw in mapping:
            if va <= rva < va + size:
                return rva - va + raw
        raise Failure('address %#x outside the sections' % rva)

    base = at(rsrc_rva)
    found = {}

    def walk(offset, path):
        named, numbered = struct.unpack_from('<12xHH', data, base + offset)
        for i in range(named + numbered):
            name, target = struct.unpack_from('<II', data, base + offset + 16 + 8 * i)
            key = name if not name & 0x80000000 else 'named'
            if target & 0x80000000:
                walk(target & 0x7FFFFFFF, path + [key])
            else:
                rva, size = struct.unpack_from('<II', data, base + target)
                found[tuple(path + [key])] = data[at(rva):at(rva) + size]

    walk(0, [])
    return found


def check_manifest(resources):
    manifests = {k: v for k, v in resources.items() if k[0] == RT_MANIFEST}
    expect(list(k[1] for k in manifests) == [1], 'manifest must be the only one, id 1')
    text = next(iter(manifests.values())).decode('utf-8')
    for needle in ['level="requireAdministrator"', 'uiAccess="false"',
                   'name="Microsoft.Windows.Common-Controls"', 'version="6.0.0.0"',
                   'publicKeyToken="6595b64144ccf1df"', '>true</dpiAware>']:
        expect(needle in text, 'manifest lacks ' + needle)
    ids = [part.split('"')[1] for part in text.split('<supportedOS Id=')[1:]]
    expect(ids == SUPPORTED_OS, 'supportedOS entries %s' % ids)


def check_icons(resources):
    groups = {k: v for k, v in resources.items() if k[0] == RT_GROUP_ICON}
    expect([k[1] for k in groups] == [1], 'icon group must be id 1')
    group = next(iter(groups.values()))
    reserved, kind, count = struct.unpack_from('<HHH', group)
    expect((reserved, kind) == (0, 1), 'icon group header')
    sizes = []
    for i in range(count):
        width, height, _, _, _, bits, length, icon_id = struct.unpack_from(
            '<BBBBHHIH', group, 6 + 14 * i)
        image = [v for k, v in resources.items() if k[:2] == (RT_ICON, icon_id)]
        expect(len(image) == 1, 'icon %d missing' % icon_id)
        expect(len(image[0]) == length, 'icon %d length' % icon_id)
        header_size, w, h = struct.unpack_from('<Iii', image[0])
        expect(header_size == 40 and w == width and h == 2 * height,
               'icon %d header' % icon_id)
        sizes.append(width)
    expect(sorted(sizes) == [16, 32], 'icon sizes %s' % sizes)


def check_version(resources):
    versions = [v for k, v in resources.items() if k[0] == RT_VERSION]
    expect(len(versions) == 1, 'one version resource')
    text = versions[0].decode('utf-16-le', 'replace')
    expect('VS_VERSION_INFO' in text and 'FileDescription' in text, 'version strings')
    expect(struct.unpack_from('<I', versions[0], 40)[0] == 0xFEEF04BD, 'fixed file info')


def check_dialog(resources):
    dialogs = {k: v for k, v in resources.items() if k[0] == RT_DIALOG}
    expect(list(dialogs) == [(RT_DIALOG, 1, 0x409)], 'dialog 1, language 0x409 only')
    d = next(iter(dialogs.values()))
    version, signature, help_id, ex_style, style, count, x, y, cx, cy = struct.unpack_from(
        '<HHIIIHhhhh', d)
    expect((version, signature) == (1, 0xFFFF), 'not an extended template')
    expect((help_id, ex_style, style) == (0, 0, 0x90CA0848), 'dialog style %#x' % style)
    expect((count, x, y, cx, cy) == (17, 0, 0, 331, 222), 'dialog geometry')
    pos = 26

    def field():
        """A menu, class, caption or item text: empty, ordinal or string."""
        nonlocal pos
        first = struct.unpack_from('<H', d, pos)[0]
        if first == 0:
            pos += 2
            return None
        if first == 0xFFFF:
            pos += 4
            return struct.unpack_from('<H', d, pos - 2)[0]
        end = pos
        while struct.unpack_from('<H', d, end)[0] != 0:
            end += 2
        text = d[pos:end].decode('utf-16-le')
        pos = end + 2
        return text

    expect(field() is None and field() is None and field() is None,
           'menu, class and caption must be empty')
    size, weight, italic, charset = struct.unpack_from('<HHBB', d, pos)
    pos += 6
    expect((size, weight, italic, charset) == (8, 0, 0, 0), 'font attributes')
    expect(field() == 'MS Shell Dlg', 'font face')
    for n, item in enumerate(DIALOG_ITEMS):
        pos = (pos + 3) & ~3
        help_id, ex_style, style, x, y, cx, cy, item_id = struct.unpack_from(
            '<IIIhhhhI', d, pos)
        pos += 24
        cls = field()
        text = field()
        extra = struct.unpack_from('<H', d, pos)[0]
        pos += 2 + extra
        # Window class names are case-insensitive; the resource compiler
        # stores named classes in capitals.
        if isinstance(cls, str):
            cls = cls.lower()
        got = (item_id, cls, style, x, y, cx, cy, text)
        expect(got == item and help_id == 0 and ex_style == 0 and extra == 0,
               'dialog item %d: %s, expected %s' % (n + 1, got, item))


def main():
    failed = False
    for path in sys.argv[1:]:
        try:
            resources = read_resources(path)
            for check in (check_manifest, check_icons, check_version, check_dialog):
                check(resources)
            print('%s: resources ok' % path)
        except (Failure, struct.error) as error:
            print('%s: %s' % (path, error))
            failed = True
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
