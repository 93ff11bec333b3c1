# Writes the PNG the real-tools test optimizes: RGBA, stored without compression
# so any optimizer gains, with fully transparent pixels that still carry colours
# and a text chunk. Usage: make_png_sample.py OUTPUT
import sys
from PIL import Image, PngImagePlugin

im = Image.new("RGBA", (64, 40))
for y in range(40):
    for x in range(64):
        alpha = 0 if (x < 10 and y < 10) else (255 if x > 30 else 90)
        im.putpixel((x, y), ((x * 9) % 256, (y * 13) % 256, (x * y) % 256, alpha))
info = PngImagePlugin.PngInfo()
info.add_text("Comment", "a text chunk for the strip option")
im.save(sys.argv[1], compress_level=0, pnginfo=info)
