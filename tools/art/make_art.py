#!/usr/bin/env python3
"""Renders the viewer's icons and logo from the emblem SVG.

Usage: make_art.py [--out DIR]. Needs rsvg-convert (librsvg2-bin) and ImageMagick's convert.
Writes ombrix.ico (icon group 110), tray.ico (icon group 111) and logo.png (resource 115) into
Ombrix_Viewer/res/, or into DIR (tests/wine/40-viewer-art.sh compares the two). The files are
written by our own encoder without timestamps or other ancillary chunks, so running the script
twice gives the same bytes.
"""
import os
import struct
import subprocess
import sys
import tempfile
import zlib

APP_SIZES = [16, 24, 32, 48, 64, 96, 128, 192, 256]
TRAY_SIZES = [64, 32, 24, 16]
LOGO_SIZE = 48


def render_rgba(svg, size):
    """Rasterises the SVG at size x size and returns the RGBA bytes, rows top to bottom."""
    with tempfile.TemporaryDirectory() as tmp:
        png = os.path.join(tmp, "r.png")
        subprocess.run(["rsvg-convert", "-w", str(size), "-h", str(size), "-o", png, svg], check=True)
        raw = subprocess.run(["convert", png, "-depth", "8", "RGBA:-"], check=True,
                             stdout=subprocess.PIPE).stdout
    if len(raw) != size * size * 4:
        sys.exit("unexpected raster size for %d px" % size)
    return raw


def encode_png(rgba, size):
    """8-bit RGBA PNG, filter 0 on every row, only IHDR, IDAT and IEND."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b"".join(b"\x00" + rgba[y * size * 4:(y + 1) * size * 4] for y in range(size))
    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(rows, 9))
            + chunk(b"IEND", b""))


def encode_dib(rgba, size):
    """32-bit icon image: BITMAPINFOHEADER (double height), BGRA rows bottom-up, then the AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = bytearray()
    for y in reversed(range(size)):
        for x in range(size):
            r, g, b, a = rgba[(y * size + x) * 4:(y * size + x) * 4 + 4]
            xor += bytes((b, g, r, a))
    stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for y in reversed(range(size)):
        row = bytearray(stride)
        for x in range(size):
            if rgba[(y * size + x) * 4 + 3] == 0:
                row[x // 8] |= 0x80 >> (x % 8)
        mask += row
    return header + bytes(xor) + bytes(mask)


def write_ico(path, svg, sizes):
    """Icon file with one 32-bit image per size, in the given order; 256 px is stored as PNG."""
    images = []
    for size in sizes:
        rgba = render_rgba(svg, size)
        images.append((size, encode_png(rgba, size) if size >= 256 else encode_dib(rgba, size)))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        dim = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, data in images)
    with open(path, "wb") as f:
        f.write(out)


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
    viewer = os.path.join(root, "Ombrix_Viewer")
    svg = os.path.join(viewer, "art", "ombrix.svg")
    res = os.path.join(viewer, "res")
    if len(sys.argv) == 3 and sys.argv[1] == "--out":
        res = sys.argv[2]
    elif len(sys.argv) != 1:
        sys.exit(__doc__)
    os.makedirs(res, exist_ok=True)
    write_ico(os.path.join(res, "ombrix.ico"), svg, APP_SIZES)
    write_ico(os.path.join(res, "tray.ico"), svg, TRAY_SIZES)
    with open(os.path.join(res, "logo.png"), "wb") as f:
        f.write(encode_png(render_rgba(svg, LOGO_SIZE), LOGO_SIZE))


if __name__ == "__main__":
    main()
