#!/usr/bin/python3
"""Draws the program icon and writes vell.ico (16, 32, 48 and 256 pixels).

Each size is drawn on its own at four times its size and scaled down, so the
small images stay crisp. 16 to 48 are stored as 32-bit bitmaps, 256 as PNG.
"""
import io
import os
import struct
import sys

from PIL import Image, ImageDraw

SIZES = (16, 32, 48, 256)
TOP = (38, 166, 154)
BOTTOM = (12, 92, 120)


def draw(size):
    scale = 4
    n = size * scale
    image = Image.new("RGBA", (n, n), (0, 0, 0, 0))
    # Background: a rounded square with a vertical gradient.
    gradient = Image.new("RGBA", (n, n))
    pixels = gradient.load()
    for y in range(n):
        t = y / (n - 1)
        colour = tuple(round(a + (b - a) * t) for a, b in zip(TOP, BOTTOM)) + (255,)
        for x in range(n):
            pixels[x, y] = colour
    mask = Image.new("L", (n, n), 0)
    margin = n // 16
    ImageDraw.Draw(mask).rounded_rectangle((margin, margin, n - margin - 1, n - margin - 1),
                                           radius=n // 5, fill=255)
    image.paste(gradient, (0, 0), mask)
    pen = ImageDraw.Draw(image)
    # A "V" whose arms are pressed together by two arrows: files made smaller.
    white = (255, 255, 255, 255)
    width = max(n // 9, scale * 2)
    pen.line([(n * 0.30, n * 0.26), (n * 0.50, n * 0.76), (n * 0.70, n * 0.26)], fill=white,
             width=width, joint="curve")
    if size >= 32:
        arrow = (255, 214, 90, 255)
        for side in (-1, 1):
            tip = n * 0.5 + side * n * 0.09
            base = n * 0.5 + side * n * 0.36
            y = n * 0.40
            pen.polygon([(tip, y), (base, y - n * 0.09), (base, y + n * 0.09)], fill=arrow)
    return image.resize((size, size), Image.LANCZOS)


def bitmap_entry(image):
    size = image.width
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    for y in reversed(range(size)):
        row = bytearray()
        for x in range(size):
            r, g, b, a = image.getpixel((x, y))
            row += bytes((b, g, r, a))
        rows.append(bytes(row))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for y in reversed(range(size)):
        bits = bytearray(mask_stride)
        for x in range(size):
            if image.getpixel((x, y))[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + b"".join(rows) + bytes(mask)


def png_entry(image):
    out = io.BytesIO()
    image.save(out, "PNG", optimize=True)
    return out.getvalue()


def main():
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "vell.ico")
    entries = []
    for size in SIZES:
        image = draw(size)
        entries.append((size, png_entry(image) if size >= 256 else bitmap_entry(image)))
    data = struct.pack("<HHH", 0, 1, len(entries))
    offset = 6 + 16 * len(entries)
    for size, blob in entries:
        side = size if size < 256 else 0
        data += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
    for _, blob in entries:
        data += blob
    with open(target, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
