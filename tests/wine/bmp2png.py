#!/usr/bin/env python3
"""Converts the driver's 24-bit BMP screenshots to PNG (standard library
only), or counts the pixels of one colour in them.

Usage: bmp2png.py IN.bmp OUT.png
       bmp2png.py --count RRGGBB IN.bmp   (prints the number of pixels
                                           within 16 of that colour)"""
import struct
import sys
import zlib


def read_bmp(path):
    data = open(path, 'rb').read()
    if data[:2] != b'BM':
        raise ValueError('not a BMP file')
    offset = struct.unpack_from('<I', data, 10)[0]
    width, height, _, bits = struct.unpack_from('<iiHH', data, 18)
    if bits != 24:
        raise ValueError('only 24-bit images are supported')
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(abs(height)):
        start = offset + y * stride
        bgr = data[start:start + width * 3]
        rgb = bytearray(len(bgr))
        rgb[0::3], rgb[1::3], rgb[2::3] = bgr[2::3], bgr[1::3], bgr[0::3]
        rows.append(bytes(rgb))
    if height > 0:  # bottom-up
        rows.reverse()
    return width, abs(height), rows


def write_png(path, width, height, rows):
    def chunk(kind, body):
        return (struct.pack('>I', len(body)) + kind + body +
                struct.pack('>I', zlib.crc32(kind + body) & 0xFFFFFFFF))
    raw = b''.join(b'\0' + row for row in rows)
    with open(path, 'wb') as f:
        f.write(b'\x89PNG\r\n\x1a\n')
        f.write(chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0)))
        f.write(chunk(b'IDAT', zlib.compress(raw, 9)))
        f.write(chunk(b'IEND', b''))


def count_colour(path, colour):
    want = bytes.fromhex(colour)
    _, _, rows = read_bmp(path)
    total = 0
    for row in rows:
        for x in range(0, len(row), 3):
            if all(abs(row[x + i] - want[i]) <= 16 for i in range(3)):
                total += 1
    return total


def main(argv):
    if len(argv) == 4 and argv[1] == '--count':
        print(count_colour(argv[3], argv[2]))
        return 0
    if len(argv) != 3:
        print('usage: bmp2png.py IN.bmp OUT.png', file=sys.stderr)
        return 2
    write_png(argv[2], *read_bmp(argv[1]))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
