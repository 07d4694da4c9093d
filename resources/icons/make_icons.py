#!/usr/bin/env python3
"""Draws the application icons as 16-colour .ico files: a red tally lamp with
a bright highlight in a dark housing, on a transparent background.

    qorvex.ico        32x32 and 16x16 (resource 107)
    qorvex_small.ico  16x16           (resource 108)

Run from any directory; writes next to this script. Standard library only.
"""
import os
import struct

# The 16 colours of the standard Windows 4-bit palette (B, G, R, 0).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]  # listed as (R, G, B)
BLACK, DARK_RED, GREY, LIGHT_GREY, RED, WHITE, DARK_GREY = 0, 1, 8, 7, 9, 15, 8


def draw(size):
    """Returns rows (top first) of palette indexes, or None for transparent."""
    pixels = [[None] * size for _ in range(size)]
    c = (size - 1) / 2.0
    housing = size * 0.47
    rim = size * 0.40
    lamp = size * 0.33
    for y in range(size):
        for x in range(size):
            d = ((x - c) ** 2 + (y - c) ** 2) ** 0.5
            if d <= lamp:
                # Light from the upper left: a highlight, the lit face, a
                # darker lower edge.
                hx, hy = x - (c - lamp * 0.4), y - (c - lamp * 0.4)
                h = (hx * hx + hy * hy) ** 0.5
                if h <= lamp * 0.28:
                    colour = WHITE
                elif d >= lamp * 0.8 and y > c:
                    colour = DARK_RED
                else:
                    colour = RED
            elif d <= rim:
                colour = LIGHT_GREY if y < c else GREY
            elif d <= housing:
                colour = BLACK
            else:
                colour = None
            pixels[y][x] = colour
    return pixels


def image(size):
    """BITMAPINFOHEADER, palette, 4-bit XOR bitmap and 1-bit AND mask."""
    pixels = draw(size)
    xor_row = ((size * 4 + 31) // 32) * 4
    and_row = ((size + 31) // 32) * 4
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0,
                         (xor_row + and_row) * size, 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for (r, g, b) in PALETTE)
    xor = bytearray()
    mask = bytearray()
    for y in reversed(range(size)):  # bottom-up
        row = bytearray(xor_row)
        bits = bytearray(and_row)
        for x in range(size):
            colour = pixels[y][x]
            index = 0 if colour is None else colour
            if x % 2 == 0:
                row[x // 2] |= index << 4
            else:
                row[x // 2] |= index
            if colour is None:
                bits[x // 8] |= 0x80 >> (x % 8)
        xor += row
        mask += bits
    return header + palette + bytes(xor) + bytes(mask)


def write_ico(path, sizes):
    images = [image(s) for s in sizes]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, data in zip(sizes, images):
        out += struct.pack('<BBBBHHII', s, s, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    here = os.path.dirname(os.path.abspath(__file__))
    write_ico(os.path.join(here, 'qorvex.ico'), [32, 16])
    write_ico(os.path.join(here, 'qorvex_small.ico'), [16])
