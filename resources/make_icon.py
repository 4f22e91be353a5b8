#!/usr/bin/env python3
"""Draws the installer's icon (a box with an arrow pointing into it) and
writes it as a Windows .ico with 16x16 and 32x32 images of two colours plus
transparency: 1 bit per pixel with a two-entry colour table, the smallest
image format that still carries colour. The colour table is not black and
white, so the images load as colour icons rather than monochrome ones.

Usage: make_icon.py OUTPUT.ico [PREVIEW.png]
"""
import struct
import sys
import zlib

PALETTE = [
    (0x1F, 0x5F, 0xC8),  # 0 blue: the box
    (0x2E, 0xA0, 0x43),  # 1 green: the arrow
]
CLEAR = None


def draw(size):
    """Returns rows (top first) of palette indices or CLEAR."""
    s = size / 32.0
    pixels = [[CLEAR] * size for _ in range(size)]
    # The box, with a lid band drawn as a gap.
    for y in range(int(15 * s), int(31 * s)):
        for x in range(int(3 * s), int(29 * s)):
            pixels[y][x] = 0
    for x in range(int(3 * s), int(29 * s)):
        if x not in (int(3 * s), int(29 * s) - 1):
            pixels[int(19 * s)][x] = CLEAR
    # The arrow: a shaft and a head whose tip reaches into the box.
    head_top, tip = 10 * s, 24 * s
    centre = size / 2.0
    for y in range(size):
        for x in range(size):
            cx = x + 0.5 - centre
            cy = y + 0.5
            in_shaft = abs(cx) < 3 * s and 1 * s <= cy < head_top
            in_head = head_top <= cy < tip and abs(cx) < (tip - cy) * 0.75
            if in_shaft or in_head:
                pixels[y][x] = 1
    return pixels


def dib(pixels):
    """BITMAPINFOHEADER, colour table, colour rows and mask rows, both
    bottom-up at 1 bit per pixel and padded to 32 bits."""
    size = len(pixels)
    stride = ((size + 31) // 32) * 4
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 1, 0,
                         stride * size * 2, 0, 0, len(PALETTE), 0)
    palette = b''.join(bytes((b, g, r, 0)) for r, g, b in PALETTE)
    colour = bytearray()
    mask = bytearray()
    for row in reversed(pixels):
        line = bytearray(stride)
        bits = bytearray(stride)
        for x, index in enumerate(row):
            if index is CLEAR:
                bits[x // 8] |= 0x80 >> (x % 8)
            elif index:
                line[x // 8] |= 0x80 >> (x % 8)
        colour += line
        mask += bits
    return header + palette + bytes(colour) + bytes(mask)


def write_ico(path, images):
    directory = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b''
    for pixels, data in images:
        size = len(pixels)
        directory += struct.pack('<BBBBHHII', size, size, len(PALETTE), 0, 1, 1,
                                 len(data), offset)
        offset += len(data)
        body += data
    with open(path, 'wb') as out:
        out.write(directory + body)


def write_preview(path, images, scale=8):
    """Both images side by side, enlarged, on grey, as a PNG for checking."""
    height = max(len(p) for p, _ in images) * scale
    width = sum(len(p) for p, _ in images) * scale + scale
    canvas = [[(0xC0, 0xC0, 0xC0)] * width for _ in range(height)]
    left = 0
    for pixels, _ in images:
        for y, row in enumerate(pixels):
            for x, index in enumerate(row):
                if index is CLEAR:
                    continue
                for dy in range(scale):
                    for dx in range(scale):
                        canvas[y * scale + dy][left + x * scale + dx] = PALETTE[index]
        left += len(pixels) * scale + scale
    raw = b''.join(b'\0' + bytes(c for px in row for c in px) for row in canvas)

    def chunk(kind, data):
        return (struct.pack('>I', len(data)) + kind + data +
                struct.pack('>I', zlib.crc32(kind + data)))

    png = (b'\x89PNG\r\n\x1a\n' +
           chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0)) +
           chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))
    with open(path, 'wb') as out:
        out.write(png)


def main():
    images = []
    for size in (16, 32):
        pixels = draw(size)
        images.append((pixels, dib(pixels)))
    write_ico(sys.argv[1], images)
    if len(sys.argv) > 2:
        write_preview(sys.argv[2], images)


if __name__ == '__main__':
    main()
