#!/usr/bin/env python3
"""Runs examples/gui/shapes.kvo, which saves its window's last picture as a PNG, and checks the
colours at chosen points of the picture (never the whole image, which a font update would change).

usage: shapes_image_test.py KV2 SHAPES.kvo
"""

import os
import struct
import subprocess
import sys
import tempfile
import zlib

# The window's client area starts below the caption and inside the frame of WS_OVERLAPPEDWINDOW.
CLIENT_ORIGIN = (3, 23)
# Points of the final 474 x 334 client area and the colour each must have.
EXPECTED = [
    ((5, 100), (135, 206, 235), "sky"),
    ((5, 330), (50, 205, 50), "field"),
    ((130, 180), (176, 32, 32), "house"),
    ((389, 66), (255, 255, 0), "sun"),
]


def read_png(path):
    """The width, height and rows of RGB triples of an 8-bit RGB or RGBA PNG, not interlaced."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG file")
    pos, idat = 8, b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            if depth != 8 or colour not in (2, 6) or interlace:
                raise ValueError("unsupported PNG layout")
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    channels = 3 if colour == 2 else 4
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - channels] if i >= channels else 0
            up = previous[i]
            corner = previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                predictor = left if pa <= pb and pa <= pc else up if pb <= pc else corner
                line[i] = (line[i] + predictor) & 0xFF
        rows.append([tuple(line[x * channels:x * channels + 3]) for x in range(width)])
        previous = line
    return width, height, rows


def main():
    kv2, script = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as directory:
        image = os.path.join(directory, "shapes.png")
        run = subprocess.run([kv2, script, "#", image], capture_output=True, text=True, timeout=60)
        if run.returncode != 0 or "closed" not in run.stdout:
            print(f"kv2 failed ({run.returncode}):\n{run.stdout}{run.stderr}")
            return 1
        width, height, rows = read_png(image)
    failures = 0
    for (x, y), colour, what in EXPECTED:
        ix, iy = x + CLIENT_ORIGIN[0], y + CLIENT_ORIGIN[1]
        actual = rows[iy][ix] if ix < width and iy < height else None
        if actual != colour:
            print(f"{what} at client ({x}, {y}): expected {colour}, got {actual}")
            failures += 1
    print(f"{width} x {height} image, {len(EXPECTED) - failures} of {len(EXPECTED)} points right")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
