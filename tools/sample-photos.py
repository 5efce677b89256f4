#!/usr/bin/env python3
"""Writes the demo's two photos into a folder, with nothing but Python:
harbour.png (1200x800) and panorama.tiff (5600x3200, uncompressed RGB: the
kind of file a scanner or a raw converter leaves, too big and in a format
the service does not take)."""
import math
import struct
import sys
import zlib
from pathlib import Path


def harbour_rows(width, height):
    """Evening sky, a sun, the sea, a hill."""
    for y in range(height):
        row = bytearray()
        for x in range(width):
            if y > height * 0.62:  # sea, with a glitter under the sun
                depth = (y - height * 0.62) / (height * 0.38)
                glitter = 60 if abs(x - width * 0.7) < 40 * (1 - depth) and (x + y) % 7 == 0 else 0
                pixel = (min(255, 20 + glitter), min(255, 70 + int(40 * depth) + glitter), min(255, 120 + glitter))
            elif (x - width * 0.7) ** 2 + (y - height * 0.45) ** 2 < (height * 0.09) ** 2:
                pixel = (255, 214, 120)
            elif y > height * 0.62 - 120 * math.exp(-((x - width * 0.25) / (width * 0.18)) ** 2):
                pixel = (46, 92, 60)
            else:
                t = y / (height * 0.62)
                pixel = (int(250 - 90 * t), int(150 + 40 * t), int(120 + 110 * t))
            row += bytes(pixel)
        yield bytes(row)


def write_png(path, width, height, rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    raw = b"".join(b"\0" + row for row in rows)
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 6))
                     + chunk(b"IEND", b""))


def panorama_rows(width, height):
    """Bands of a mountain range at dusk, each row built from a few runs."""
    peaks = [(0.15, 0.45), (0.4, 0.3), (0.62, 0.5), (0.85, 0.35)]
    for y in range(height):
        t = y / height
        sky = bytes((int(40 + 120 * t), int(60 + 80 * t), int(140 + 60 * t)))
        rock = bytes((70, 60, 80))
        snow = bytes((235, 235, 245))
        row = bytearray(sky * width)
        for centre, top in peaks:
            if t > top:
                half = int((t - top) * width * 0.6)
                start, end = max(0, int(centre * width) - half), min(width, int(centre * width) + half)
                colour = snow if t < top + 0.06 else rock
                row[start * 3:end * 3] = colour * (end - start)
        yield bytes(row)


def write_tiff(path, width, height, rows):
    """Baseline TIFF, little-endian, one strip, 8-bit RGB."""
    data = b"".join(rows)
    entries = [  # tag, type (3 SHORT, 4 LONG), count, value
        (256, 4, 1, width), (257, 4, 1, height), (258, 3, 3, None), (259, 3, 1, 1), (262, 3, 1, 2),
        (273, 4, 1, None), (277, 3, 1, 3), (278, 4, 1, height), (279, 4, 1, len(data)), (284, 3, 1, 1)]
    ifd_offset = 8
    ifd_size = 2 + 12 * len(entries) + 4
    bits_offset = ifd_offset + ifd_size
    data_offset = bits_offset + 6
    ifd = struct.pack("<H", len(entries))
    for tag, kind, count, value in entries:
        if tag == 258:
            value = bits_offset
        elif tag == 273:
            value = data_offset
        packed = struct.pack("<HH", value, 0) if kind == 3 and count == 1 else struct.pack("<I", value)
        ifd += struct.pack("<HHI", tag, kind, count) + packed
    ifd += struct.pack("<I", 0)
    path.write_bytes(b"II*\0" + struct.pack("<I", ifd_offset) + ifd + struct.pack("<HHH", 8, 8, 8) + data)


def main():
    folder = Path(sys.argv[1] if len(sys.argv) > 1 else ".")
    folder.mkdir(parents=True, exist_ok=True)
    write_png(folder / "harbour.png", 1200, 800, harbour_rows(1200, 800))
    write_tiff(folder / "panorama.tiff", 5600, 3200, panorama_rows(5600, 3200))
    print(folder / "harbour.png")
    print(folder / "panorama.tiff")


if __name__ == "__main__":
    main()
