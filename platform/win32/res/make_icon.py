#!/usr/bin/env python3
"""Writes setup.ico, the setup program's icon: an open box with an arrow
pointing into it, in 16 and 32 pixels, 16 colours each (small in bytes: the
stub must stay below the trailer's scan start; Windows scales the 32-pixel
image for larger sizes). Drawn from shapes, so every size is made
the same way: python3 make_icon.py > setup.ico"""
import struct
import sys

# The 16-colour palette as red, green, blue; the indices used below: a
# cyan box with a teal front, a blue arrow with a navy edge.
PALETTE = [
    (0x00, 0x00, 0x00), (0x00, 0x00, 0x80), (0x00, 0x80, 0x00), (0x00, 0x80, 0x80),
    (0x80, 0x00, 0x00), (0x80, 0x00, 0x80), (0x80, 0x80, 0x00), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0x00, 0x00, 0xFF), (0x00, 0xFF, 0x00), (0x00, 0xFF, 0xFF),
    (0xFF, 0x00, 0x00), (0xFF, 0x00, 0xFF), (0xFF, 0xFF, 0x00), (0xFF, 0xFF, 0xFF),
]
OUTLINE, BOX_DARK, BOX_LIGHT, ARROW, ARROW_EDGE = 0, 3, 11, 9, 1


def draw(n):
    """Pixels of an n x n image, top row first; None is transparent."""
    px = [[None] * n for _ in range(n)]
    s = n / 16.0

    def rect(x0, y0, x1, y1, colour):  # in 16-pixel units, inclusive-exclusive
        for y in range(round(y0 * s), round(y1 * s)):
            for x in range(round(x0 * s), round(x1 * s)):
                px[y][x] = colour

    # The box: body, front shade, open flaps, outline.
    rect(2, 8, 14, 15, OUTLINE)
    rect(2 + 1 / s, 8 + 1 / s, 14 - 1 / s, 15 - 1 / s, BOX_LIGHT)
    rect(2 + 1 / s, 12, 14 - 1 / s, 15 - 1 / s, BOX_DARK)
    rect(0, 7, 5, 8 + 1 / s, OUTLINE)
    rect(11, 7, 16, 8 + 1 / s, OUTLINE)
    # The arrow: a shaft and a head, from above into the box.
    rect(6.5, 0, 9.5, 6, ARROW_EDGE)
    rect(6.5 + 1 / s, 0, 9.5 - 1 / s, 6, ARROW)
    for row in range(round(5 * s), round(11 * s)):
        half = (11 * s - row) - 0.5
        for x in range(n):
            d = abs(x + 0.5 - 8 * s)
            if d <= half:
                px[row][x] = ARROW if d <= half - 1 else ARROW_EDGE
    return px


def bitmap(n):
    px = draw(n)
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    xor, mask = b"", b""
    for row in reversed(px):  # bottom row first
        nibbles = [0 if c is None else c for c in row]
        xor += bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, n, 2)).ljust((n // 2 + 3) // 4 * 4, b"\0")
        bits = 0
        for c in row:
            bits = (bits << 1) | (c is None)
        mask += bits.to_bytes(n // 8, "big").ljust((n // 8 + 3) // 4 * 4, b"\0")
    return header + palette + xor + mask


def icon(sizes):
    images = [bitmap(n) for n in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, image in zip(sizes, images):
        out += struct.pack("<BBBBHHII", n % 256, n % 256, 16, 0, 1, 4, len(image), offset)
        offset += len(image)
    return out + b"".join(images)


sys.stdout.buffer.write(icon([16, 32]))
