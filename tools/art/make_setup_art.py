#!/usr/bin/env python3
"""Renders the installer's pictures and icon from the SVGs in Ombrix_Setup/art/ and the emblem.

Usage: make_setup_art.py [--out DIR]. Needs rsvg-convert (librsvg2-bin) and ImageMagick's convert.
Writes into Ombrix_Setup/res/, or into DIR (tests/wine/41-setup-art.sh compares the two):
  side.bmp    bitmap 1001, 164 x 314, 24 bits: art/side.svg with the emblem near the top
  banner.bmp  bitmap 1002, 497 x 60, 24 bits: art/banner.svg with the emblem on the right
  setup.ico   icon group 100: the emblem with art/badge.svg over it, 16, 32 and 48 pixels at
              4, 8 and 32 bits per pixel
The emblem is Ombrix_Viewer/art/ombrix.svg, the viewer's own. Fixed palettes, no dithering and
no timestamps: running the script twice gives the same bytes.
"""
import os
import struct
import subprocess
import sys
import tempfile

ICON_SIZES = [16, 32, 48]
ICON_DEPTHS = [4, 8, 32]

# (width, height), then where the emblem goes: left, top, size.
SIDE = ((164, 314), (27, 41, 110))
BANNER = ((497, 60), (435, 6, 48))


def render_rgba(svg, width, height):
    """Rasterises the SVG at width x height and returns the RGBA bytes, rows top to bottom."""
    with tempfile.TemporaryDirectory() as tmp:
        png = os.path.join(tmp, "r.png")
        subprocess.run(["rsvg-convert", "-w", str(width), "-h", str(height), "-o", png, svg], check=True)
        raw = subprocess.run(["convert", png, "-depth", "8", "RGBA:-"], check=True,
                             stdout=subprocess.PIPE).stdout
    if len(raw) != width * height * 4:
        sys.exit("unexpected raster size for %s at %d x %d" % (svg, width, height))
    return bytearray(raw)


def over(base, base_width, top, top_width, left, upper):
    """Lays the RGBA image top over base (both straight alpha) with its corner at (left, upper)."""
    top_height = len(top) // (top_width * 4)
    for y in range(top_height):
        for x in range(top_width):
            s = (y * top_width + x) * 4
            d = ((upper + y) * base_width + left + x) * 4
            sa = top[s + 3]
            if sa == 0:
                continue
            da = base[d + 3]
            out_a = sa * 255 + da * (255 - sa)  # in 1/65025 units
            for c in range(3):
                num = top[s + c] * sa * 255 + base[d + c] * da * (255 - sa)
                base[d + c] = (num + out_a // 2) // out_a
            base[d + 3] = (out_a + 127) // 255
    return base


def encode_bmp(rgba, width, height):
    """24-bit BMP file: BITMAPFILEHEADER, BITMAPINFOHEADER, BGR rows bottom-up padded to 4 bytes.
    The pictures are opaque; any alpha is laid over white."""
    stride = (width * 3 + 3) & ~3
    pixels = bytearray()
    for y in reversed(range(height)):
        row = bytearray()
        for x in range(width):
            r, g, b, a = rgba[(y * width + x) * 4:(y * width + x) * 4 + 4]
            row += bytes(((b * a + 255 * (255 - a) + 127) // 255, (g * a + 255 * (255 - a) + 127) // 255,
                          (r * a + 255 * (255 - a) + 127) // 255))
        pixels += row + bytes(stride - len(row))
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    return header + info + bytes(pixels)


BAYER = [[0, 8, 2, 10], [12, 4, 14, 6], [3, 11, 1, 9], [15, 7, 13, 5]]


def vga_palette():
    """The 16 colours of the standard VGA palette, as the system draws 4-bit icons."""
    return [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
            (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
            (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def cube_palette():
    """256 colours: the 6 x 6 x 6 cube, then 40 greys between its steps."""
    steps = [0, 51, 102, 153, 204, 255]
    colours = [(r, g, b) for r in steps for g in steps for b in steps]
    greys = [v for v in range(5, 255, 6) if v not in steps][:40]
    colours += [(v, v, v) for v in greys]
    return colours[:256]


def hue(rgb):
    """Hue in degrees, or None for a colour too grey to have one."""
    r, g, b = rgb
    high, low = max(rgb), min(rgb)
    if high - low < 64:
        return None
    if high == r:
        h = 60 * (g - b) / (high - low)
    elif high == g:
        h = 60 * (b - r) / (high - low) + 120
    else:
        h = 60 * (r - g) / (high - low) + 240
    return h % 360


def nearest(palette, rgb, cache):
    """Index of the closest palette colour. A coloured pixel keeps its hue: it is matched among
    the colours within 30 degrees of it, so the blue tile stays blue in 16 colours, not teal."""
    hit = cache.get(rgb)
    if hit is None:
        r, g, b = rgb
        h = hue(rgb)
        candidates = list(range(len(palette)))
        if h is not None:
            close = [i for i in candidates if hue(palette[i]) is not None
                     and min(abs(hue(palette[i]) - h), 360 - abs(hue(palette[i]) - h)) <= 30]
            candidates = close or candidates
        # Weighted distance: the eye is most sensitive to green, least to blue.
        hit = min(candidates, key=lambda i: 3 * (palette[i][0] - r) ** 2
                  + 4 * (palette[i][1] - g) ** 2 + 2 * (palette[i][2] - b) ** 2)
        cache[rgb] = hit
    return hit


def and_mask(rgba, size, threshold):
    """AND mask rows bottom-up, 32-bit aligned: a set bit is a transparent pixel."""
    stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for y in reversed(range(size)):
        row = bytearray(stride)
        for x in range(size):
            if rgba[(y * size + x) * 4 + 3] < threshold:
                row[x // 8] |= 0x80 >> (x % 8)
        mask += row
    return bytes(mask)


def encode_icon_image(rgba, size, depth):
    """One icon image: BITMAPINFOHEADER (double height), palette for 4 and 8 bits, colour rows
    bottom-up, AND mask. Palette images keep the pixels of at least half coverage, in their own
    colour; 32-bit images carry the alpha channel."""
    if depth == 32:
        header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
        xor = bytearray()
        for y in reversed(range(size)):
            for x in range(size):
                r, g, b, a = rgba[(y * size + x) * 4:(y * size + x) * 4 + 4]
                xor += bytes((b, g, r, a))
        return header + bytes(xor) + and_mask(rgba, size, 1)
    palette = vga_palette() if depth == 4 else cube_palette()
    colours = 1 << depth
    cache = {}
    stride = ((size * depth + 31) // 32) * 4
    xor = bytearray()
    for y in reversed(range(size)):
        row = bytearray(stride)
        for x in range(size):
            r, g, b, a = rgba[(y * size + x) * 4:(y * size + x) * 4 + 4]
            if depth == 4:
                # 16 colours hold only two blues: an ordered dither mixes them into the tile's
                # gradient, the same way on every run.
                t = (BAYER[y % 4][x % 4] - 7.5) * 6
                r, g, b = (max(0, min(255, int(v + t))) for v in (r, g, b))
            index = nearest(palette, (r, g, b), cache) if a >= 128 else 0
            if depth == 8:
                row[x] = index
            else:
                row[x // 2] |= index << (4 if x % 2 == 0 else 0)
        xor += row
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, depth, 0, 0, 0, 0, colours, 0)
    table = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    table += bytes(4 * (colours - len(palette)))
    return header + table + bytes(xor) + and_mask(rgba, size, 128)


def write_ico(path, emblem, badge):
    """Icon file: 16, 32 and 48 pixels at 4 bits, then at 8 bits, then at 32 bits."""
    images = []
    for depth in ICON_DEPTHS:
        for size in ICON_SIZES:
            rgba = over(render_rgba(emblem, size, size), size, render_rgba(badge, size, size), size, 0, 0)
            images.append((size, depth, encode_icon_image(rgba, size, depth)))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, depth, data in images:
        out += struct.pack("<BBBBHHII", size, size, 16 if depth == 4 else 0, 0, 1, depth, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, _, data in images)
    with open(path, "wb") as f:
        f.write(out)


def write_picture(path, svg, emblem, layout):
    (width, height), (left, upper, size) = layout
    rgba = over(render_rgba(svg, width, height), width, render_rgba(emblem, size, size), size, left, upper)
    with open(path, "wb") as f:
        f.write(encode_bmp(rgba, width, height))


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
    art = os.path.join(root, "Ombrix_Setup", "art")
    emblem = os.path.join(root, "Ombrix_Viewer", "art", "ombrix.svg")
    res = os.path.join(root, "Ombrix_Setup", "res")
    if len(sys.argv) == 3 and sys.argv[1] == "--out":
        res = sys.argv[2]
    elif len(sys.argv) != 1:
        sys.exit(__doc__)
    os.makedirs(res, exist_ok=True)
    write_picture(os.path.join(res, "side.bmp"), os.path.join(art, "side.svg"), emblem, SIDE)
    write_picture(os.path.join(res, "banner.bmp"), os.path.join(art, "banner.svg"), emblem, BANNER)
    write_ico(os.path.join(res, "setup.ico"), emblem, os.path.join(art, "badge.svg"))


if __name__ == "__main__":
    main()
