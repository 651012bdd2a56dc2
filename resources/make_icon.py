#!/usr/bin/env python3
"""Draws the installer's icon and writes it as a Windows .ico (16, 32 and 48 pixels, 32-bit).

The picture: a teal rounded square with a white "W" and a small downward arrow beneath it, the
application's mark over the act of fetching it. Drawn by supersampling simple shapes, so the output is
the same on every machine.
Usage: make_icon.py OUTPUT.ico
"""
import math
import struct
import sys

TEAL = (0x1F, 0x6F, 0x8B)
WHITE = (0xFF, 0xFF, 0xFF)
SAMPLES = 4  # per axis, per pixel


def segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def inside_rounded_square(x, y):
    radius = 0.2
    cx = min(max(x, radius), 1 - radius)
    cy = min(max(y, radius), 1 - radius)
    return 0 <= x <= 1 and 0 <= y <= 1 and math.hypot(x - cx, y - cy) <= radius


# The "W" as one polyline, and the arrow as a shaft and a head, in a unit square (y down).
LETTER = [(0.18, 0.2), (0.33, 0.62), (0.5, 0.3), (0.67, 0.62), (0.82, 0.2)]
ARROW = [((0.5, 0.66), (0.5, 0.86)), ((0.4, 0.77), (0.5, 0.87)), ((0.6, 0.77), (0.5, 0.87))]


def on_mark(x, y, stroke):
    for a, b in zip(LETTER, LETTER[1:]):
        if segment_distance(x, y, *a, *b) <= stroke:
            return True
    return any(segment_distance(x, y, *a, *b) <= stroke * 0.8 for a, b in ARROW)


def pixel(size, col, row):
    stroke = max(0.055, 0.9 / size)
    background = mark = 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            x = (col + (sx + 0.5) / SAMPLES) / size
            y = (row + (sy + 0.5) / SAMPLES) / size
            if inside_rounded_square(x, y):
                if on_mark(x, y, stroke):
                    mark += 1
                else:
                    background += 1
    total = SAMPLES * SAMPLES
    covered = background + mark
    if covered == 0:
        return (0, 0, 0, 0)
    rgb = [round((TEAL[i] * background + WHITE[i] * mark) / covered) for i in range(3)]
    return (rgb[2], rgb[1], rgb[0], round(255 * covered / total))  # BGRA


def image(size):
    # A BITMAPINFOHEADER whose height counts the colour rows and the 1-bit mask rows, rows bottom-up.
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = b"".join(bytes(pixel(size, col, row)) for row in reversed(range(size)) for col in range(size))
    mask_row = ((size + 31) // 32) * 4
    return header + colour + bytes(mask_row * size)


def main():
    sizes = [16, 32, 48]
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for size, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(sys.argv[1], "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main()
