#!/usr/bin/env python3
"""Draws the application icon into an icon-theme folder: OUT/scalable/apps/NAME.svg and
OUT/<n>x<n>/apps/NAME.png for the usual sizes. A rounded tile with a play mark, the tray
image's shape in colour. The SVG and the PNGs come from the same few numbers: each pixel's
coverage is taken from the shapes' signed distances, which gives smooth edges at every size.

usage: draw_app_icon.py OUT NAME"""

import math
import os
import sys

from draw_tray_template import png

SIZES = (16, 22, 24, 32, 48, 64, 128, 256)
UNITS = 256  # the drawing's own grid; every number below is in these units
TILE_HALF, TILE_RADIUS = 112.0, 50.0
TOP, BOTTOM = (0x2E, 0xC4, 0xA5), (0x1D, 0x5F, 0xB4)
# The play mark: a triangle whose corners are rounded by growing it by MARK_ROUND.
MARK = ((106.0, 88.0), (106.0, 168.0), (174.0, 128.0))
MARK_ROUND = 10.0


def tile_distance(x, y):
    qx = abs(x - UNITS / 2) - (TILE_HALF - TILE_RADIUS)
    qy = abs(y - UNITS / 2) - (TILE_HALF - TILE_RADIUS)
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - TILE_RADIUS


def mark_distance(x, y):
    nearest, sides = math.inf, set()
    for (ax, ay), (bx, by) in zip(MARK, MARK[1:] + MARK[:1]):
        ex, ey, px, py = bx - ax, by - ay, x - ax, y - ay
        t = min(max((px * ex + py * ey) / (ex * ex + ey * ey), 0.0), 1.0)
        nearest = min(nearest, math.hypot(px - t * ex, py - t * ey))
        sides.add(ex * py - ey * px > 0)
    # Inside lies on the same side of every edge.
    return (-nearest if len(sides) == 1 else nearest) - MARK_ROUND


def coverage(distance, scale):
    """The part of a pixel that a shape covers, from the distance of its centre (in units)."""
    return min(max(0.5 - distance * scale, 0.0), 1.0)


def raster(size):
    scale = size / UNITS
    rows = []
    for row in range(size):
        y = (row + 0.5) / scale
        t = min(max((y - (UNITS / 2 - TILE_HALF)) / (2 * TILE_HALF), 0.0), 1.0)
        base = [a + (b - a) * t for a, b in zip(TOP, BOTTOM)]
        pixels = []
        for column in range(size):
            x = (column + 0.5) / scale
            alpha = coverage(tile_distance(x, y), scale)
            white = coverage(mark_distance(x, y), scale)
            pixels += [round(c + (255 - c) * white) for c in base] + [round(255 * alpha)]
        rows.append(pixels)
    return png(size, size, rows, colour_type=6)


def svg():
    low = UNITS / 2 - TILE_HALF
    corners = " L".join(f"{x:g} {y:g}" for x, y in MARK)
    hex_colour = "#{:02x}{:02x}{:02x}".format
    return (
        '<?xml version="1.0" encoding="UTF-8"?>\n'
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{UNITS}" height="{UNITS}" '
        f'viewBox="0 0 {UNITS} {UNITS}">\n'
        "  <defs>\n"
        '    <linearGradient id="tile" x1="0" y1="0" x2="0" y2="1">\n'
        f'      <stop offset="0" stop-color="{hex_colour(*TOP)}"/>\n'
        f'      <stop offset="1" stop-color="{hex_colour(*BOTTOM)}"/>\n'
        "    </linearGradient>\n"
        "  </defs>\n"
        f'  <rect x="{low:g}" y="{low:g}" width="{2 * TILE_HALF:g}" height="{2 * TILE_HALF:g}" '
        f'rx="{TILE_RADIUS:g}" fill="url(#tile)"/>\n'
        f'  <path d="M{corners} Z" fill="#ffffff" stroke="#ffffff" '
        f'stroke-width="{2 * MARK_ROUND:g}" stroke-linejoin="round"/>\n'
        "</svg>\n")


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__.rsplit("\n", 1)[-1])
    out, name = sys.argv[1:]
    write(os.path.join(out, "scalable", "apps", name + ".svg"), svg().encode())
    for size in SIZES:
        write(os.path.join(out, f"{size}x{size}", "apps", name + ".png"), raster(size))


if __name__ == "__main__":
    main()
