#!/usr/bin/env python3
"""Draws the launcher's application icon (a VR headset seen from the front) and writes it as a
Windows .ico file with the 13 images the program carries, then reads the file back and checks its
structure.

    make_icon.py OUTPUT.ico     draw, write and check
    make_icon.py --check FILE   check an existing file only

Standard library only. The artwork is drawn from signed distance functions, so every size is
rendered from the same shapes with smooth edges; the palette images are mapped to fixed palettes.
"""
import math
import struct
import sys
import zlib

# (size in pixels, bits per pixel) in the order the images appear in the file.
IMAGES = [
    (256, 32), (64, 32), (48, 32), (40, 32), (32, 32), (24, 32), (20, 32), (16, 32),
    (48, 8), (32, 8), (16, 8),
    (32, 4), (16, 4),
]

# ---------------------------------------------------------------------------------------------
# Design. Coordinates are in the unit square, x to the right, y downwards.


def rounded_box(px, py, cx, cy, half_w, half_h, radius):
    qx = abs(px - cx) - half_w + radius
    qy = abs(py - cy) - half_h + radius
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - radius


def circle(px, py, cx, cy, radius):
    return math.hypot(px - cx, py - cy) - radius


def mix(a, b, t):
    t = min(max(t, 0.0), 1.0)
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


STRAP = (58, 63, 75)
BODY_TOP = (52, 104, 186)
BODY_BOTTOM = (22, 56, 112)
RIM = (12, 30, 62)
LENS_CENTRE = (140, 236, 255)
LENS_EDGE = (24, 150, 214)
HIGHLIGHT = (255, 255, 255)
LENS_CENTRES = ((0.31, 0.48), (0.69, 0.48))
LENS_RADIUS = 0.115


def nearest_lens(px, py):
    return min(LENS_CENTRES, key=lambda c: math.hypot(px - c[0], py - c[1]))


def strap(px, py):
    return rounded_box(px, py, 0.5, 0.47, 0.47, 0.07, 0.05), STRAP


def body(px, py):
    shell = rounded_box(px, py, 0.5, 0.5, 0.40, 0.25, 0.13)
    nose = circle(px, py, 0.5, 0.80, 0.12)
    return max(shell, -nose), mix(BODY_TOP, BODY_BOTTOM, (py - 0.25) / 0.5)


def rims(px, py):
    cx, cy = nearest_lens(px, py)
    return circle(px, py, cx, cy, 0.145), RIM


def lenses(px, py):
    cx, cy = nearest_lens(px, py)
    distance = math.hypot(px - cx, py - cy)
    return distance - LENS_RADIUS, mix(LENS_CENTRE, LENS_EDGE, distance / LENS_RADIUS)


def highlights(px, py):
    cx, cy = nearest_lens(px, py)
    return circle(px, py, cx - 0.04, cy - 0.05, 0.035), HIGHLIGHT


LAYERS = [(strap, 1.0), (body, 1.0), (rims, 1.0), (lenses, 1.0), (highlights, 0.85)]


def render(size):
    """Returns rows of (r, g, b, a) with straight alpha, components 0..255, top row first."""
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            px, py = (x + 0.5) / size, (y + 0.5) / size
            # Premultiplied "over" compositing, back to front.
            r = g = b = a = 0.0
            for layer, opacity in LAYERS:
                distance, colour = layer(px, py)
                coverage = min(max(0.5 - distance * size, 0.0), 1.0) * opacity
                if coverage <= 0.0:
                    continue
                r = colour[0] * coverage + r * (1.0 - coverage)
                g = colour[1] * coverage + g * (1.0 - coverage)
                b = colour[2] * coverage + b * (1.0 - coverage)
                a = coverage + a * (1.0 - coverage)
            if a <= 0.0:
                row.append((0, 0, 0, 0))
            else:
                row.append((round(r / a), round(g / a), round(b / a), round(a * 255)))
        rows.append(row)
    return rows


# ---------------------------------------------------------------------------------------------
# Palettes for the 256- and 16-colour images.


def palette_256():
    colours = [(0, 0, 0)]
    levels = (0, 51, 102, 153, 204, 255)
    colours += [(r, g, b) for r in levels for g in levels for b in levels]
    grey_count = 256 - len(colours)
    colours += [(v, v, v) for v in (round(i * 255 / (grey_count + 1)) for i in range(1, grey_count + 1))]
    return colours


PALETTE_16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]


def nearest_index(palette, colour, cache):
    if colour not in cache:
        cache[colour] = min(
            range(len(palette)),
            key=lambda i: sum((palette[i][c] - colour[c]) ** 2 for c in range(3)))
    return cache[colour]


# ---------------------------------------------------------------------------------------------
# Encoders.


def png_image(pixels):
    size = len(pixels)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    raw = b"".join(b"\x00" + bytes(c for px in row for c in px) for row in pixels)
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def row_stride(width, bits):
    return (width * bits + 31) // 32 * 4


def and_mask(pixels, opaque):
    size = len(pixels)
    stride = row_stride(size, 1)
    out = bytearray()
    for row in reversed(pixels):
        line = bytearray(stride)
        for x, px in enumerate(row):
            if not opaque(px):
                line[x // 8] |= 0x80 >> (x % 8)
        out += line
    return bytes(out)


def dib_image(pixels, bits):
    size = len(pixels)
    stride = row_stride(size, bits)
    palette = []
    xor = bytearray()
    if bits == 32:
        for row in reversed(pixels):
            line = bytearray()
            for r, g, b, a in row:
                line += bytes((b, g, r, a))
            xor += line
        mask = and_mask(pixels, lambda px: px[3] > 0)
    else:
        palette = palette_256() if bits == 8 else PALETTE_16
        cache = {}
        opaque = lambda px: px[3] >= 128
        for row in reversed(pixels):
            indices = [nearest_index(palette, px[:3], cache) if opaque(px) else 0 for px in row]
            line = bytearray(stride)
            if bits == 8:
                line[:size] = bytes(indices)
            else:
                for x, index in enumerate(indices):
                    line[x // 2] |= index << (4 if x % 2 == 0 else 0)
            xor += line
        mask = and_mask(pixels, opaque)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, len(xor) + len(mask), 0,
                         0, 0, 0)
    colours = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    return header + colours + bytes(xor) + mask


def icon_file(images):
    """images: list of (size, bits, data)."""
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for size, bits, data in images:
        colour_count = 16 if bits == 4 else 0
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, colour_count, 0, 1, bits,
                               len(data), offset)
        offset += len(data)
    return directory + entries + b"".join(data for _, _, data in images)


# ---------------------------------------------------------------------------------------------
# Check of a written file, independent of the encoders above.

EXPECTED = [(256, 32), (64, 32), (48, 32), (40, 32), (32, 32), (24, 32), (20, 32), (16, 32),
            (48, 8), (32, 8), (16, 8), (32, 4), (16, 4)]


def check(blob):
    problems = []
    reserved, kind, count = struct.unpack_from("<HHH", blob, 0)
    if (reserved, kind) != (0, 1):
        problems.append(f"header {reserved}, {kind}: not an icon file")
    if count != len(EXPECTED):
        return problems + [f"{count} images instead of {len(EXPECTED)}"]
    ranges = []
    for i, (size, bits) in enumerate(EXPECTED):
        w, h, colours, res, planes, bit_count, length, offset = struct.unpack_from(
            "<BBBBHHII", blob, 6 + 16 * i)
        where = f"image {i} ({size} px, {bits} bit)"
        entry_size = 256 if w == 0 else w
        if (entry_size, (256 if h == 0 else h), bit_count, planes) != (size, size, bits, 1):
            problems.append(f"{where}: entry says {w}x{h}, {bit_count} bit, {planes} planes")
        if colours != (16 if bits == 4 else 0) or res != 0:
            problems.append(f"{where}: colour count {colours}, reserved {res}")
        if offset + length > len(blob):
            problems.append(f"{where}: data runs past the end of the file")
            continue
        ranges.append((offset, offset + length))
        data = blob[offset:offset + length]
        if data.startswith(b"\x89PNG\r\n\x1a\n"):
            pw, ph, depth, colour_type = struct.unpack_from(">IIBB", data, 16)
            if (pw, ph, depth, colour_type) != (size, size, 8, 6):
                problems.append(f"{where}: PNG is {pw}x{ph}, depth {depth}, type {colour_type}")
            continue
        hsize, dw, dh, dplanes, dbits = struct.unpack_from("<IiiHH", data, 0)
        if (hsize, dw, dh, dplanes, dbits) != (40, size, 2 * size, 1, bits):
            problems.append(f"{where}: bitmap header {hsize}, {dw}x{dh}, {dbits} bit")
        palette = 4 * (1 << bits) if bits <= 8 else 0
        xor_bytes = ((size * bits + 31) // 32 * 4) * size
        mask_bytes = ((size + 31) // 32 * 4) * size
        if length != 40 + palette + xor_bytes + mask_bytes:
            problems.append(f"{where}: {length} bytes, expected {40 + palette + xor_bytes + mask_bytes}")
    ranges.sort()
    if ranges and ranges[0][0] < 6 + 16 * count:
        problems.append("image data overlaps the directory")
    for (_, end), (start, _) in zip(ranges, ranges[1:]):
        if start < end:
            problems.append("image data of two entries overlaps")
    return problems


def main(argv):
    if len(argv) == 3 and argv[1] == "--check":
        with open(argv[2], "rb") as f:
            blob = f.read()
    elif len(argv) == 2:
        images = []
        drawn = {}
        for size, bits in IMAGES:
            if size not in drawn:
                drawn[size] = render(size)
            data = png_image(drawn[size]) if size == 256 else dib_image(drawn[size], bits)
            images.append((size, bits, data))
        blob = icon_file(images)
    else:
        print(__doc__, file=sys.stderr)
        return 2
    problems = check(blob)
    for problem in problems:
        print(f"make_icon: {problem}", file=sys.stderr)
    if problems:
        return 1
    if len(argv) == 2:
        with open(argv[1], "wb") as f:
            f.write(blob)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
