#!/usr/bin/env python3
"""Draws the icon of PtzUpgrade.exe, a pan-tilt head seen from the front, and writes it as a
multi-size Windows .ico (16 to 48 pixels as 32-bit bitmaps, 256 as PNG).

Usage: make_icon.py [OUTPUT]   (default: src/ui/icons/ptz_upgrade.ico beside this tool)

Standard library only, and the output depends on nothing but this file, so the committed icon can
be checked by running the tool again and comparing.
"""

import math
import struct
import sys
import zlib
from pathlib import Path

SIZES = (16, 24, 32, 48, 256)
# Samples per pixel along each axis: smooth edges without an imaging library.
SUPERSAMPLE = 4


def rounded_rect(left, top, right, bottom, radius):
    def inside(x, y):
        if not (left <= x <= right and top <= y <= bottom):
            return False
        cx = min(max(x, left + radius), right - radius)
        cy = min(max(y, top + radius), bottom - radius)
        return (x - cx) ** 2 + (y - cy) ** 2 <= radius**2

    return inside


def circle(cx, cy, radius):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= radius**2


def ring(cx, cy, outer, inner):
    return lambda x, y: inner**2 <= (x - cx) ** 2 + (y - cy) ** 2 <= outer**2


def arc_arrow(cx, cy, radius, width, start, end):
    """A band along a circle between two angles (degrees, 0 = right, counter-clockwise)."""

    def inside(x, y):
        distance = math.hypot(x - cx, y - cy)
        if abs(distance - radius) > width / 2:
            return False
        angle = math.degrees(math.atan2(cy - y, x - cx)) % 360
        return start <= angle <= end

    return inside


def hex_colour(text):
    return tuple(int(text[i : i + 2], 16) for i in (0, 2, 4)) + (255,)


# Layers, back to front, in a unit square (y downwards).
LAYERS = [
    # Motion: an arc over the head.
    (arc_arrow(0.5, 0.66, 0.56, 0.07, 58, 122), hex_colour("FFA000")),
    # Base and pan stem.
    (rounded_rect(0.20, 0.84, 0.80, 0.95, 0.04), hex_colour("37474F")),
    (rounded_rect(0.43, 0.70, 0.57, 0.86, 0.02), hex_colour("546E7A")),
    # Yoke: two arms and the bar joining them.
    (rounded_rect(0.12, 0.30, 0.24, 0.78, 0.04), hex_colour("78909C")),
    (rounded_rect(0.76, 0.30, 0.88, 0.78, 0.04), hex_colour("78909C")),
    (rounded_rect(0.12, 0.68, 0.88, 0.78, 0.04), hex_colour("78909C")),
    # Tilt pivots.
    (circle(0.18, 0.45, 0.05), hex_colour("CFD8DC")),
    (circle(0.82, 0.45, 0.05), hex_colour("CFD8DC")),
    # Camera body and lens.
    (rounded_rect(0.24, 0.22, 0.76, 0.64, 0.08), hex_colour("1E88E5")),
    (circle(0.5, 0.43, 0.155), hex_colour("0D47A1")),
    (ring(0.5, 0.43, 0.155, 0.12), hex_colour("E3F2FD")),
    (circle(0.5, 0.43, 0.075), hex_colour("102A43")),
    (circle(0.455, 0.385, 0.03), hex_colour("FFFFFF")),
]


def render(size):
    """Rows of (r, g, b, a) tuples, top row first, premultiplied nowhere."""
    rows = []
    step = 1.0 / (size * SUPERSAMPLE)
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0.0
            for sy in range(SUPERSAMPLE):
                for sx in range(SUPERSAMPLE):
                    x = (px * SUPERSAMPLE + sx + 0.5) * step
                    y = (py * SUPERSAMPLE + sy + 0.5) * step
                    colour = None
                    for inside, layer_colour in LAYERS:
                        if inside(x, y):
                            colour = layer_colour
                    if colour is not None:
                        r += colour[0]
                        g += colour[1]
                        b += colour[2]
                        a += 255
            samples = SUPERSAMPLE * SUPERSAMPLE
            if a == 0:
                row.append((0, 0, 0, 0))
            else:
                covered = a / 255
                row.append(
                    (
                        round(r / covered),
                        round(g / covered),
                        round(b / covered),
                        round(a / samples),
                    )
                )
        rows.append(row)
    return rows


def bitmap_entry(rows):
    """A 32-bit DIB with its AND mask: the classic form every Windows reads."""
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    return header + bytes(pixels) + bytes(mask)


def png_entry(rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    size = len(rows)
    raw = bytearray()
    for row in rows:
        raw.append(0)  # filter: none
        for pixel in row:
            raw += bytes(pixel)
    return (
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
        + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
        + chunk(b"IEND", b"")
    )


def icon_file(sizes):
    images = []
    for size in sizes:
        rows = render(size)
        images.append((size, png_entry(rows) if size >= 256 else bitmap_entry(rows)))
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = len(header) + 16 * len(images)
    directory = bytearray()
    data = bytearray()
    for size, image in images:
        dimension = 0 if size >= 256 else size
        directory += struct.pack(
            "<BBBBHHII", dimension, dimension, 0, 0, 1, 32, len(image), offset + len(data)
        )
        data += image
    return header + bytes(directory) + bytes(data)


def main():
    default = Path(__file__).resolve().parent.parent / "src" / "ui" / "icons" / "ptz_upgrade.ico"
    output = Path(sys.argv[1]) if len(sys.argv) > 1 else default
    output.parent.mkdir(parents=True, exist_ok=True)
    output.write_bytes(icon_file(SIZES))
    print(output)


if __name__ == "__main__":
    main()
