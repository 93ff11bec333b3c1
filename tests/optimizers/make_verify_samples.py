#!/usr/bin/env python3
"""Writes the originals and results of the verification tests: for each kind an
original that any optimizer shrinks and smaller results that hold the same
content, or not quite (one pixel, one frame, one delay, one sample, one entry).

Run at build time with the host's Python (python3-pil), jpegtran, gifsicle and
flac. Usage: make_verify_samples.py OUTPUT_FOLDER
"""
import gzip
import io
import math
import os
import random
import struct
import subprocess
import sys
import wave
import zipfile
import zlib

from PIL import Image, PngImagePlugin

out = sys.argv[1]
os.makedirs(out, exist_ok=True)
rnd = random.Random(16)


def path(name):
    return os.path.join(out, name)


def write(name, data):
    with open(path(name), "wb") as f:
        f.write(data)


def smaller(result, original):
    a, b = os.path.getsize(path(result)), os.path.getsize(path(original))
    assert a < b, "%s (%d bytes) must be smaller than %s (%d bytes)" % (result, a, original, b)


# ---- PNG: RGBA with transparent pixels that carry colours, and a text chunk ----

def png_picture():
    img = Image.new("RGBA", (24, 16))
    for y in range(16):
        for x in range(24):
            alpha = 0 if x < 6 else 255
            img.putpixel((x, y), ((x * 11) % 256, (y * 17) % 256, (x * y * 3) % 256, alpha))
    return img


def save_png(img, name, text=True, level=9):
    info = PngImagePlugin.PngInfo()
    if text:
        info.add_text("Comment", "kept unless metadata is deleted")
    img.save(path(name), compress_level=level, pnginfo=info)


picture = png_picture()
save_png(picture, "original.png", level=0)
save_png(picture, "same.png")
flipped = picture.copy()
r, g, b, a = flipped.getpixel((12, 7))
flipped.putpixel((12, 7), (r ^ 1, g, b, a))
save_png(flipped, "flipped.png")
cleared = picture.copy()
for y in range(16):
    for x in range(6):
        cleared.putpixel((x, y), (0, 0, 0, 0))
save_png(cleared, "cleared.png")
save_png(picture, "stripped.png", text=False)
for name in ("same.png", "flipped.png", "cleared.png", "stripped.png"):
    smaller(name, "original.png")

# ---- JPEG: EXIF and a comment; a turn needs whole 16-pixel blocks ----

def jpeg_picture(size):
    img = Image.new("RGB", size)
    for y in range(size[1]):
        for x in range(size[0]):
            img.putpixel((x, y), (int(128 + 90 * math.sin(x / 3)), (y * 9) % 256, (x * 5 + rnd.randrange(20)) % 256))
    return img


def exif_bytes(orientation=None):
    exif = Image.Exif()
    exif[0x010F] = "Vell test camera"
    if orientation:
        exif[0x0112] = orientation
    return exif.tobytes()


def jpegtran(arguments, source, target):
    subprocess.run(["jpegtran"] + arguments + ["-outfile", path(target), path(source)], check=True)


photo = jpeg_picture((48, 32))
photo.save(path("original.jpg"), quality=92, subsampling=2, exif=exif_bytes())
jpegtran(["-copy", "all", "-optimize", "-progressive"], "original.jpg", "same.jpg")
jpegtran(["-copy", "none", "-optimize", "-progressive"], "original.jpg", "noexif.jpg")
changed = photo.copy()
changed.putpixel((20, 10), (255, 255, 255))
changed.save(path("changed.tmp.jpg"), quality=92, subsampling=2, exif=exif_bytes())
jpegtran(["-copy", "all", "-optimize", "-progressive"], "changed.tmp.jpg", "changed.jpg")
os.remove(path("changed.tmp.jpg"))
for name in ("same.jpg", "noexif.jpg", "changed.jpg"):
    smaller(name, "original.jpg")

jpeg_picture((48, 32)).save(path("turn-6.jpg"), quality=92, subsampling=2, exif=exif_bytes(6))
jpegtran(["-rotate", "90", "-perfect", "-copy", "all"], "turn-6.jpg", "turned.jpg")
jpegtran(["-rotate", "270", "-perfect", "-copy", "all"], "turn-6.jpg", "turned-wrong.jpg")
# 52x36 has partial blocks: "-trim" drops them.
jpeg_picture((52, 36)).save(path("odd-6.jpg"), quality=92, subsampling=2, exif=exif_bytes(6))
jpegtran(["-rotate", "90", "-trim", "-copy", "all"], "odd-6.jpg", "odd-trimmed.jpg")

# ---- GIF: three frames with delays and a loop count ----

palette = [0, 0, 0, 250, 20, 20, 20, 250, 20, 20, 20, 250, 240, 240, 0, 255, 255, 255] + [0] * (768 - 18)


def gif_frame(shift):
    f = Image.new("P", (24, 16), 0)
    f.putpalette(palette)
    for y in range(16):
        for x in range(24):
            f.putpixel((x, y), (x // 6 + y // 4) % 4)
    for y in range(5, 9):
        for x in range(4 + shift, 8 + shift):
            f.putpixel((x, y), 4)
    return f


def save_gif(frames, name, durations, loop=0):
    frames[0].save(path(name), save_all=True, append_images=frames[1:], duration=durations, loop=loop,
                   optimize=False)


def squeeze(source, target):
    subprocess.run(["gifsicle", "-O3", "-o", path(target), path(source)], check=True)


frames = [gif_frame(i * 4) for i in range(3)]
save_gif(frames, "original.gif", [60, 70, 80])
squeeze("original.gif", "same.gif")
save_gif(frames[:2], "dropped.tmp.gif", [60, 70])
save_gif(frames, "delay.tmp.gif", [60, 90, 80])
save_gif(frames, "loop.tmp.gif", [60, 70, 80], loop=3)
spotted = [f.copy() for f in frames]
spotted[1].putpixel((20, 2), 5)
save_gif(spotted, "flipped.tmp.gif", [60, 70, 80])
for kind in ("dropped", "delay", "loop", "flipped"):
    squeeze(kind + ".tmp.gif", kind + ".gif")
    os.remove(path(kind + ".tmp.gif"))
for name in ("same.gif", "dropped.gif", "delay.gif", "loop.gif", "flipped.gif"):
    smaller(name, "original.gif")

# ---- gzip: text compressed badly, well, cut short, and other text ----

text = b"".join(b"line %d of the verification sample\n" % i for i in range(400))
write("original.gz", gzip.compress(text, compresslevel=0))
write("same.gz", gzip.compress(text, compresslevel=9))
write("truncated.gz", gzip.compress(text, compresslevel=9)[:-40])
other = text.replace(b"line 7 ", b"line 8 ")
write("other.gz", gzip.compress(other, compresslevel=9))
write("other.txt", other)
# What 7-Zip's test prints for each content.
write("same.listing", b"Everything is Ok\r\n\r\nSize:       %d\r\nCompressed: 1\r\n\r\nCRC32  for data:              %08X\r\n"
      % (len(text), zlib.crc32(text)))
write("other.listing", b"Everything is Ok\r\n\r\nSize:       %d\r\nCompressed: 1\r\n\r\nCRC32  for data:              %08X\r\n"
      % (len(other), zlib.crc32(other)))
for name in ("same.gz", "truncated.gz", "other.gz"):
    smaller(name, "original.gz")

# ---- FLAC: a short stereo tone, encoded fast and well, and with one sample changed ----

def flac(samples, level, name):
    wav = path(name + ".wav")
    with wave.open(wav, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(22050)
        w.writeframes(b"".join(struct.pack("<hh", left, right) for left, right in samples))
    subprocess.run(["flac", "--silent", "--force", level, "-o", path(name), wav], check=True)
    os.remove(wav)


tone = [(int(6000 * math.sin(i / 9.0)) + rnd.randrange(-200, 200), int(-3000 * math.sin(i / 9.0)))
        for i in range(22050)]
flac(tone, "-0", "original.flac")
flac(tone, "-8", "same.flac")
tone[5000] = (tone[5000][0] + 1, tone[5000][1])
flac(tone, "-8", "changed.flac")
for name in ("same.flac", "changed.flac"):
    smaller(name, "original.flac")

# ---- ZIP: entries stored, then deflated, changed, dropped or added to ----

entries = {"a.txt": text, "docs/b.txt": text[:3000]}


def make_zip(name, files, method):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", method) as z:
        for entry, data in files.items():
            z.writestr(entry, data)
    write(name, buffer.getvalue())


make_zip("original.zip", entries, zipfile.ZIP_STORED)
make_zip("same.zip", entries, zipfile.ZIP_DEFLATED)
make_zip("changed.zip", dict(entries, **{"docs/b.txt": other[:3000]}), zipfile.ZIP_DEFLATED)
make_zip("dropped.zip", {"a.txt": text}, zipfile.ZIP_DEFLATED)
make_zip("added.zip", dict(entries, **{"c.txt": b"new"}), zipfile.ZIP_DEFLATED)
for name in ("same.zip", "changed.zip", "dropped.zip", "added.zip"):
    smaller(name, "original.zip")

# ---- MP3: frames of MPEG-1 layer III, 128 kbit/s at 44.1 kHz, with silent payloads ----

def mp3(frames, name):
    header = bytes([0xFF, 0xFB, 0x90, 0x00])
    frame = header + bytes(417 - 4)
    write(name, b"ID3\x03\x00\x00\x00\x00\x00\x00" + frame * frames)


mp3(20, "original.mp3")
write("same.mp3", open(path("original.mp3"), "rb").read()[10:])
mp3(19, "short.mp3")
write("broken.mp3", open(path("original.mp3"), "rb").read()[:5000])

# ---- SVG: indented, minified, and cut short ----

svg = b"""<svg xmlns="http://www.w3.org/2000/svg" width="10" height="10">
    <!-- a comment the minifier drops -->
    <rect x="1" y="1" width="8" height="8" fill="#336699"/>
</svg>
"""
write("original.svg", svg)
write("same.svg", b'<svg xmlns="http://www.w3.org/2000/svg" width="10" height="10"><rect x="1" y="1" width="8" '
      b'height="8" fill="#336699"/></svg>')
write("broken.svg", b'<svg xmlns="http://www.w3.org/2000/svg" width="10" height="10"><rect x="1" y="1"')
for name in ("same.svg", "broken.svg"):
    smaller(name, "original.svg")

with open(path("stamp"), "w") as f:
    f.write("done\n")
