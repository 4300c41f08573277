#!/usr/bin/env python3
"""Draws TrayTemplate.png: an 18 x 18 monochrome template image with a transparent
background (black where the shape is, alpha carrying the coverage). Run it again after
changing the drawing; the PNG it writes is committed beside it."""

import os
import struct
import zlib

SIZE = 18
SAMPLES = 4  # per axis, for smooth edges


def inside(x, y):
    """The mark: a rounded tile outline with a play triangle in it."""
    cx, cy = SIZE / 2, SIZE / 2
    # Rounded square ring, 1.6 px wide.
    half, radius, width = 8.0, 3.5, 1.6
    dx = max(abs(x - cx) - (half - radius), 0.0)
    dy = max(abs(y - cy) - (half - radius), 0.0)
    dist = (dx * dx + dy * dy) ** 0.5
    if radius - width <= dist <= radius and (abs(x - cx) <= half and abs(y - cy) <= half):
        return True
    if abs(x - cx) <= half and abs(y - cy) <= half and dist < radius - width:
        # Play triangle: pointing right, centred slightly right of the middle.
        left, right, top, bottom = 6.6, 13.0, 5.0, 13.0
        if left <= x <= right:
            spread = (right - x) / (right - left) * (bottom - top) / 2
            return cy - spread <= y <= cy + spread
    return False


def coverage(px, py):
    hits = 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            hits += inside(px + (sx + 0.5) / SAMPLES, py + (sy + 0.5) / SAMPLES)
    return round(255 * hits / (SAMPLES * SAMPLES))


def png(width, height, rows, colour_type=4):
    """A PNG of 8-bit `rows`: grey + alpha (colour type 4) or RGBA (6)."""

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(
            ">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    raw = b"".join(b"\x00" + bytes(row) for row in rows)
    header = struct.pack(">IIBBBBB", width, height, 8, colour_type, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    rows = []
    for y in range(SIZE):
        row = []
        for x in range(SIZE):
            row += [0, coverage(x, y)]
        rows.append(row)
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "TrayTemplate.png")
    with open(out, "wb") as f:
        f.write(png(SIZE, SIZE, rows))


if __name__ == "__main__":
    main()
