#!/usr/bin/python3
"""Draws the program icon (a woven table: a teal tile, a white grid, an amber thread running
through it) and writes it as a Windows icon with 16, 24, 32, 48, 64 and 128 pixel images (the
larger ones keep it crisp on scaled screens).

Usage: make_icon.py OUTPUT.ico [PREVIEW.ppm]
"""
import math
import struct
import sys

TEAL = (31, 122, 140)
WHITE = (250, 250, 250)
AMBER = (242, 166, 35)


def pixel(x, y, n):
    """RGBA of pixel (x, y) of an n x n image; coordinates scaled to a 0..1 square."""
    u, v = (x + 0.5) / n, (y + 0.5) / n
    r = 0.18  # corner radius of the tile
    cx = min(max(u, r), 1 - r)
    cy = min(max(v, r), 1 - r)
    if (u - cx) ** 2 + (v - cy) ** 2 > r * r:
        return (0, 0, 0, 0)
    color = TEAL
    # The table: a white frame with three rows and three columns.
    inner = 0.2 <= u <= 0.8 and 0.2 <= v <= 0.8
    line = max(1.0 / n, 0.045)
    if inner:
        on_row = any(abs(v - t) <= line for t in (0.2, 0.4, 0.6, 0.8))
        on_col = any(abs(u - t) <= line for t in (0.2, 0.4, 0.6, 0.8))
        if on_row or on_col:
            color = WHITE
        # The thread weaves up and down across the table.
        wave = 0.5 + 0.13 * math.sin((u - 0.2) / 0.6 * 2 * math.pi)
        if abs(v - wave) <= max(1.2 / n, 0.06):
            color = AMBER
    return color + (255,)


def bmp_entry(n):
    rows = []
    for y in reversed(range(n)):  # bottom-up rows
        row = b""
        for x in range(n):
            r, g, b, a = pixel(x, y, n)
            row += bytes((b, g, r, a))
        rows.append(row)
    xor = b"".join(rows)
    mask_row = ((n + 31) // 32) * 4
    and_mask = b"\x00" * (mask_row * n)
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    return header + xor + and_mask


def main():
    sizes = (16, 24, 32, 48, 64, 128)
    images = [bmp_entry(n) for n in sizes]
    data = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for n, image in zip(sizes, images):
        data += struct.pack("<BBBBHHII", n % 256, n % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    data += b"".join(images)
    with open(sys.argv[1], "wb") as f:
        f.write(data)
    if len(sys.argv) > 2:  # a large preview to look at
        n = 256
        with open(sys.argv[2], "wb") as f:
            f.write(b"P6 %d %d 255\n" % (n, n))
            for y in range(n):
                for x in range(n):
                    r, g, b, a = pixel(x, y, n)
                    f.write(bytes((r, g, b)) if a else b"\xff\xff\xff")


if __name__ == "__main__":
    main()
