#!/usr/bin/env python3
"""Draws the item's artwork, committed beside this script; run it again after changing the
drawing:

* TrayTemplate.png: an 18 x 18 monochrome template image with a transparent background (black
  where the shape is, alpha carrying the coverage);
* icons/hicolor/: an icon theme folder with the same mark as two symbolic status icons, normal
  and dimmed (35 % opaque), drawn white over a black outline so that they read on light and dark
  panels alike; desktops that recolour symbolic icons paint the white in their panel's text
  colour."""

import os
import struct
import zlib

SIZE = 18
SAMPLES = 4  # per axis, for smooth edges
HERE = os.path.dirname(os.path.abspath(__file__))

# The mark, in pixels of the 18 x 18 square: a rounded tile outline with a play triangle in it.
CENTRE = SIZE / 2
HALF, RADIUS, RING = 8.0, 3.5, 1.6  # outer half side, outer corner radius, ring width
TRIANGLE = ((6.6, 5.0), (13.0, 9.0), (6.6, 13.0))  # left top, tip, left bottom
DIMMED_OPACITY = 0.35
ICON_NAMES = {"tessaway-server-symbolic": 1.0,
              "tessaway-server-dimmed-symbolic": DIMMED_OPACITY}


def inside(x, y):
    """Whether the point (x, y) is part of the mark."""
    cx, cy = CENTRE, CENTRE
    dx = max(abs(x - cx) - (HALF - RADIUS), 0.0)
    dy = max(abs(y - cy) - (HALF - RADIUS), 0.0)
    dist = (dx * dx + dy * dy) ** 0.5
    if RADIUS - RING <= dist <= RADIUS and (abs(x - cx) <= HALF and abs(y - cy) <= HALF):
        return True
    if abs(x - cx) <= HALF and abs(y - cy) <= HALF and dist < RADIUS - RING:
        (left, top), (right, _), (_, bottom) = TRIANGLE
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


def rounded_square(half, radius):
    """An SVG path of the rounded square of `half` side around the centre, clockwise."""
    a, b, r = CENTRE - half, CENTRE + half, radius
    return (f"M{a + r:g},{a:g}H{b - r:g}A{r:g},{r:g} 0 0 1 {b:g},{a + r:g}V{b - r:g}"
            f"A{r:g},{r:g} 0 0 1 {b - r:g},{b:g}H{a + r:g}A{r:g},{r:g} 0 0 1 {a:g},{b - r:g}"
            f"V{a + r:g}A{r:g},{r:g} 0 0 1 {a + r:g},{a:g}Z")


def svg(opacity):
    """The mark as a symbolic icon: filled paths only (desktops recolour fills), the outline a
    black stroke beneath the white fill."""
    inner = HALF - RADIUS + (RADIUS - RING)
    mark = (rounded_square(HALF, RADIUS) + rounded_square(inner, RADIUS - RING) + "M" +
            "L".join(f"{x:g},{y:g}" for x, y in TRIANGLE) + "Z")
    group = f' opacity="{opacity:g}"' if opacity < 1 else ""
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{SIZE}" height="{SIZE}" '
            f'viewBox="0 0 {SIZE} {SIZE}">\n'
            f'  <g{group} fill-rule="evenodd">\n'
            f'    <path d="{mark}" fill="#000000" stroke="#000000" stroke-width="2" '
            f'stroke-linejoin="round"/>\n'
            f'    <path d="{mark}" fill="#ffffff"/>\n'
            f'  </g>\n</svg>\n')


INDEX_THEME = """[Icon Theme]
Name=Hicolor
Comment=Tessaway Server's status icons
Directories=scalable/status

[scalable/status]
Size=16
MinSize=8
MaxSize=512
Type=Scalable
Context=Status
"""


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def main():
    rows = []
    for y in range(SIZE):
        row = []
        for x in range(SIZE):
            row += [0, coverage(x, y)]
        rows.append(row)
    write(os.path.join(HERE, "TrayTemplate.png"), png(SIZE, SIZE, rows))
    theme = os.path.join(HERE, "icons", "hicolor")
    write(os.path.join(theme, "index.theme"), INDEX_THEME.encode())
    for name, opacity in ICON_NAMES.items():
        write(os.path.join(theme, "scalable", "status", name + ".svg"), svg(opacity).encode())


if __name__ == "__main__":
    main()
