#!/usr/bin/env python3
"""Writes the sample files for the tools kit tests into the folder given.

Run at build time with the host's Python (python3-pil); the tests copy these
files into a scratch folder before any tool touches them.
"""
import gzip
import io
import math
import os
import random
import shutil
import struct
import subprocess
import sys
import wave
import zipfile

from PIL import Image, PngImagePlugin

out = sys.argv[1]
os.makedirs(out, exist_ok=True)
rnd = random.Random(7)


def path(name):
    return os.path.join(out, name)


# GIFs: one frame, and three frames.
palette = [0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255] + [0] * (768 - 12)
frames = []
for i in range(3):
    f = Image.new("P", (24, 16), 0)
    f.putpalette(palette)
    for y in range(16):
        for x in range(24):
            f.putpixel((x, y), (x // 6 + y // 4 + i) % 4)
    frames.append(f)
frames[0].save(path("one.gif"))
frames[0].save(path("anim.gif"), save_all=True, append_images=frames[1:], duration=80, loop=0)

# An RGBA PNG, stored without compression so that any optimizer gains, with
# fully transparent pixels that still carry colours and a text chunk.
im = Image.new("RGBA", (48, 32))
for y in range(32):
    for x in range(48):
        a = 0 if (x < 8 and y < 8) else (255 if x > 24 else 128)
        im.putpixel((x, y), ((x * 5) % 256, (y * 7) % 256, (x * y) % 256, a))
info = PngImagePlugin.PngInfo()
info.add_text("Comment", "kept unless stripped")
im.save(path("rgba.png"), compress_level=0, pnginfo=info)


def jpeg(name, size, orientation):
    img = Image.new("RGB", size)
    for y in range(size[1]):
        for x in range(size[0]):
            img.putpixel((x, y), (int(128 + 100 * math.sin(x / 5)), (y * 4) % 256, rnd.randrange(40)))
    exif = Image.Exif()
    exif[0x0112] = orientation
    img.save(path(name), quality=92, exif=exif.tobytes(), optimize=False)


jpeg("photo.jpg", (64, 48), 6)   # whole 16x16 blocks: turns losslessly
jpeg("odd.jpg", (70, 45), 6)     # partial blocks: "-perfect" must refuse
Image.new("RGB", (16, 12), (200, 30, 30)).save(path("thumb.jpg"), quality=80)
shutil.copy(path("photo.jpg"), path("withthumb.jpg"))
subprocess.run(["exiftool", "-q", "-overwrite_original", "-ThumbnailImage<=" + path("thumb.jpg"),
                path("withthumb.jpg")], check=True)

# A folder of content, and a ZIP with marker entries.
tree = path("tree")
shutil.rmtree(tree, ignore_errors=True)
os.makedirs(os.path.join(tree, "sub"))
with open(os.path.join(tree, "a.txt"), "w") as f:
    f.write("hello tools kit\n" * 200)
with open(os.path.join(tree, "sub", "b.bin"), "wb") as f:
    f.write(bytes(rnd.randrange(256) for _ in range(3000)))
with zipfile.ZipFile(path("doc.zip"), "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
    z.writestr("mimetype", "application/epub+zip")
    z.writestr("[Content_Types].xml", "<Types/>")
    z.writestr("word/body.xml", "<body>" + "text " * 500 + "</body>")
with open(path("text.gz"), "wb") as f:
    f.write(gzip.compress("".join("line of text %d\n" % (i % 50) for i in range(2000)).encode(), compresslevel=1))

# A short FLAC file, encoded fast so that the best setting gains.
wav = path("tone.wav")
with wave.open(wav, "wb") as w:
    w.setnchannels(1)
    w.setsampwidth(2)
    w.setframerate(8000)
    w.writeframes(b"".join(struct.pack("<h", int(9000 * math.sin(i / 9.0))) for i in range(8000)))
subprocess.run(["flac", "-s", "-f", "-0", "--padding=4096", "-T", "TITLE=tone", wav, "-o", path("tone.flac")],
               check=True)
os.remove(wav)

# Bytes of every value, including CR, LF, NUL and Ctrl-Z, for the stream relay.
with open(path("binary.bin"), "wb") as f:
    f.write(bytes(range(256)) * 64 + b"\r\n\n\r\x1a\x00" * 1000 + bytes(rnd.randrange(256) for _ in range(50000)))

open(path("stamp"), "w").close()
