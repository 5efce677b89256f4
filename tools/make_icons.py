#!/usr/bin/env python3
"""Draws the plug-in's four toolbar icons (16, 24 and their @2x variants).

The design is our own: a rounded blue tile holding a white picture frame
with a mountain and a sun, i.e. "share a photo". Pixels are computed with
4x4 supersampling so edges stay smooth at 16 px. Standard library only.

    python3 tools/make_icons.py FacebookPluginQt5/icons
"""
import math
import os
import struct
import sys
import zlib

TILE = (59, 89, 152)
WHITE = (255, 255, 255)
SKY = (120, 150, 210)
SUN = (255, 214, 90)
HILL = (70, 160, 90)


def inside_rounded_rect(x, y, x0, y0, x1, y1, r):
    if x < x0 or x > x1 or y < y0 or y > y1:
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def colour_at(u, v):
    """Colour of the unit-square point (u, v), or None for transparent."""
    if not inside_rounded_rect(u, v, 0.0, 0.0, 1.0, 1.0, 0.2):
        return None
    # white frame
    if not inside_rounded_rect(u, v, 0.16, 0.24, 0.84, 0.78, 0.04):
        return TILE
    if not inside_rounded_rect(u, v, 0.22, 0.30, 0.78, 0.72, 0.0):
        return WHITE
    if (u - 0.63) ** 2 + (v - 0.41) ** 2 <= 0.07 ** 2:
        return SUN
    # two hills: the ground line is the higher of two triangles
    ground = max(0.72 - 0.9 * (0.30 - abs(u - 0.40)), 0.72 - 0.7 * (0.22 - abs(u - 0.66)))
    if v >= min(ground, 0.72):
        return HILL
    return SKY


def render(size, samples=4):
    rows = []
    for py in range(size):
        row = bytearray([0])  # filter type: none
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(samples):
                for sx in range(samples):
                    u = (px + (sx + 0.5) / samples) / size
                    v = (py + (sy + 0.5) / samples) / size
                    c = colour_at(u, v)
                    if c is not None:
                        acc[0] += c[0]
                        acc[1] += c[1]
                        acc[2] += c[2]
                        acc[3] += 255
            n = samples * samples
            alpha = acc[3] // n
            if alpha:
                covered = acc[3] // 255
                row += bytes((acc[0] // covered, acc[1] // covered, acc[2] // covered, alpha))
            else:
                row += bytes((0, 0, 0, 0))
        rows.append(bytes(row))
    return b"".join(rows)


def png(size, pixels):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(pixels, 9)) + chunk(b"IEND", b""))


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "."
    os.makedirs(out, exist_ok=True)
    for base in (16, 24):
        for suffix, size in (("", base), ("@2x", base * 2)):
            path = os.path.join(out, "facebook%d%s.png" % (base, suffix))
            with open(path, "wb") as f:
                f.write(png(size, render(size)))
            print(path, size)


if __name__ == "__main__":
    main()
