#!/usr/bin/env python3
"""Writes the JPEG and GIF samples for the pipeline tests with the real tools kit.

Run at build time with the host's Python (python3-pil), exiftool and jpegtran:
  upright-6.jpg   64x48, EXIF orientation 6, an embedded EXIF thumbnail
  upright-6.ref.jpg  the same image turned by "jpegtran -rotate 90 -perfect":
                  the pixels a lossless turn must give
  odd-6.jpg       61x45, orientation 6: no lossless turn is possible
  tight.jpg       no metadata, already optimized and progressive: nothing to gain
  one.gif, anim.gif, clear.gif  a single frame, an animation that changes in a
                  small area only, an animation with transparency
"""
import math
import os
import random
import subprocess
import sys

from PIL import Image

out = sys.argv[1]
os.makedirs(out, exist_ok=True)
rnd = random.Random(11)


def path(name):
    return os.path.join(out, name)


def picture(size):
    img = Image.new("RGB", size)
    for y in range(size[1]):
        for x in range(size[0]):
            img.putpixel((x, y), (int(128 + 100 * math.sin(x / 4)), (y * 5) % 256,
                                  (x * y + rnd.randrange(30)) % 256))
    return img


def oriented_jpeg(name, size, orientation):
    exif = Image.Exif()
    exif[0x0112] = orientation
    picture(size).save(path(name), quality=88, subsampling=2, exif=exif.tobytes())


oriented_jpeg("upright-6.jpg", (64, 48), 6)
picture((16, 12)).save(path("thumb.tmp.jpg"), quality=70)
subprocess.run(["exiftool", "-q", "-overwrite_original", "-ThumbnailImage<=" + path("thumb.tmp.jpg"),
                path("upright-6.jpg")], check=True)
os.remove(path("thumb.tmp.jpg"))
subprocess.run(["jpegtran", "-rotate", "90", "-perfect", "-copy", "none", "-outfile",
                path("upright-6.ref.jpg"), path("upright-6.jpg")], check=True)

oriented_jpeg("odd-6.jpg", (61, 45), 6)

picture((40, 40)).save(path("tight.tmp.jpg"), quality=80)
subprocess.run(["jpegtran", "-copy", "none", "-optimize", "-progressive", "-outfile", path("tight.jpg"),
                path("tight.tmp.jpg")], check=True)
os.remove(path("tight.tmp.jpg"))

palette = [0, 0, 0, 250, 20, 20, 20, 250, 20, 20, 20, 250, 240, 240, 0, 255, 255, 255] + [0] * (768 - 18)


def frame(size, shift, spot):
    f = Image.new("P", size, 0)
    f.putpalette(palette)
    for y in range(size[1]):
        for x in range(size[0]):
            f.putpixel((x, y), (x // 8 + y // 6) % 4)
    for y in range(spot[1], spot[1] + 6):
        for x in range(spot[0] + shift, spot[0] + shift + 6):
            f.putpixel((x, y), 4 + shift % 2)
    return f


frames = [frame((48, 32), i * 3, (10, 12)) for i in range(4)]
frames[0].save(path("one.gif"))
frames[0].save(path("anim.gif"), save_all=True, append_images=frames[1:], duration=[60, 70, 80, 90], loop=0)

clear = []
for i in range(3):
    f = frame((32, 24), i * 2, (4, 4))
    for y in range(24):
        for x in range(32):
            if (x + y + i) % 7 == 0:
                f.putpixel((x, y), 5)
    f.info["transparency"] = 5
    clear.append(f)
clear[0].save(path("clear.gif"), save_all=True, append_images=clear[1:], duration=100, loop=0,
              transparency=5, disposal=2)

with open(path("stamp"), "w") as stamp:
    stamp.write("ok\n")
