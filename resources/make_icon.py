#!/usr/bin/env python3
"""Draws the application icon and writes it as a multi-size .ico file.

The icon is a rounded blue tile holding a white key whose bow carries a small
chip, drawn from geometry at 16, 32 and 48 pixels (each size drawn on its own,
with 4x4 supersampling for smooth edges). Only the standard library is used,
so the icon can be rebuilt anywhere:

    python3 resources/make_icon.py resources/mirandel.ico
"""

import struct
import sys

SIZES = (16, 32, 48)
SUPERSAMPLE = 4

TILE_TOP = (0x2B, 0x6C, 0xD6)
TILE_BOTTOM = (0x17, 0x3F, 0x8C)
KEY = (0xFF, 0xFF, 0xFF)
CHIP = (0xF2, 0xB1, 0x34)


def inside_rounded_square(x, y, radius):
    """True when (x, y), in unit coordinates, lies in the rounded tile."""
    margin = 0.03
    lo, hi = margin, 1.0 - margin
    if not (lo <= x <= hi and lo <= y <= hi):
        return False
    cx = min(max(x, lo + radius), hi - radius)
    cy = min(max(y, lo + radius), hi - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def key_part(x, y):
    """Which part of the key covers (x, y): 'chip', 'key' or None."""
    # The bow: a ring centred on the left, with the chip inside it.
    bx, by = 0.34, 0.42
    d2 = (x - bx) ** 2 + (y - by) ** 2
    if d2 <= 0.10 ** 2:
        return "chip"
    if d2 <= 0.21 ** 2 and d2 >= 0.14 ** 2:
        return "key"
    if d2 < 0.14 ** 2:
        return None
    # The shank, running down to the right, and two teeth on it.
    sx, sy = 0.49, 0.57
    ux, uy = 0.7071, 0.7071
    t = (x - sx) * ux + (y - sy) * uy
    n = -(x - sx) * uy + (y - sy) * ux
    if 0.0 <= t <= 0.44 and abs(n) <= 0.06:
        return "key"
    for start in (0.24, 0.35):
        if start <= t <= start + 0.07 and -0.16 <= n <= 0.0:
            return "key"
    return None


def pixel(x, y):
    """The colour (r, g, b, a) at a point in unit coordinates."""
    if not inside_rounded_square(x, y, 0.18):
        return (0, 0, 0, 0)
    part = key_part(x, y)
    if part == "key":
        return KEY + (255,)
    if part == "chip":
        return CHIP + (255,)
    mix = y
    r, g, b = (round(a + (c - a) * mix) for a, c in zip(TILE_TOP, TILE_BOTTOM))
    return (r, g, b, 255)


def render(size):
    """Rows of (r, g, b, a) for one size, top row first."""
    rows = []
    samples = SUPERSAMPLE * SUPERSAMPLE
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(SUPERSAMPLE):
                for sx in range(SUPERSAMPLE):
                    x = (px + (sx + 0.5) / SUPERSAMPLE) / size
                    y = (py + (sy + 0.5) / SUPERSAMPLE) / size
                    r, g, b, a = pixel(x, y)
                    # Premultiplied sums, so transparent samples add no colour.
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            alpha = acc[3] / samples
            if acc[3]:
                colour = tuple(round(c / acc[3]) for c in acc[:3])
            else:
                colour = (0, 0, 0)
            row.append(colour + (round(alpha),))
        rows.append(row)
    return rows


def bitmap_image(size):
    """One icon image: a 32-bit BITMAPINFOHEADER image with its AND mask."""
    rows = render(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for row in reversed(rows):  # bottom-up
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + bytes(pixels) + bytes(mask)


def icon_file(sizes):
    images = [bitmap_image(s) for s in sizes]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, image in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    for image in images:
        out += image
    return bytes(out)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: make_icon.py OUTPUT.ico\n")
        return 2
    with open(argv[1], "wb") as f:
        f.write(icon_file(SIZES))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
