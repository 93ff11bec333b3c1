#!/usr/bin/python3
"""Makes the bundled sample files. Run with Debian's python3 (it has PIL):
    /usr/bin/python3 samples/make_samples.py samples/files
Everything here is drawn or written by this script; nothing is downloaded."""
import gzip, io, math, os, struct, subprocess, sys, wave, zipfile
from PIL import Image, ImageDraw

out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "files")
os.makedirs(out, exist_ok=True)

def path(name):
    return os.path.join(out, name)

def gradient(size, mode="RGB"):
    w, h = size
    img = Image.new("RGB", size)
    d = ImageDraw.Draw(img)
    for y in range(h):
        d.line([(0, y), (w, y)], fill=(y * 255 // h, 128, 255 - y * 255 // h))
    for i in range(0, w, 24):
        d.ellipse([i, h // 3, i + 20, h // 3 + 20], fill=(255, 220, 0))
    d.rectangle([w // 4, h // 2, w * 3 // 4, h * 3 // 4], outline=(0, 0, 0), width=3)
    return img.convert(mode) if mode != "RGB" else img

# PNGs of different kinds, saved without compression effort so there is room to gain.
gradient((320, 200)).save(path("photo-like.png"), compress_level=1)
rgba = gradient((160, 120)).convert("RGBA")
ImageDraw.Draw(rgba).rectangle([0, 0, 40, 40], fill=(10, 20, 30, 0))
rgba.save(path("transparent.png"), compress_level=1)
gradient((200, 100)).convert("P", palette=Image.ADAPTIVE, colors=16).save(path("palette.png"), compress_level=0)
gradient((128, 128)).convert("L").save(path("grayscale.png"), compress_level=3)

# JPEGs with EXIF: one turned by its orientation tag, one plain.
def exif_bytes(orientation):
    exif = Image.Exif()
    exif[0x0112] = orientation
    exif[0x010F] = "Vell samples"
    return exif.tobytes()

gradient((320, 240)).save(path("rotated-6.jpg"), quality=92, exif=exif_bytes(6), optimize=False)
gradient((256, 160)).save(path("camera.jpg"), quality=88, exif=exif_bytes(1), optimize=False)
# An embedded thumbnail, as cameras write it.
thumb = io.BytesIO()
gradient((160, 120)).save(thumb, "JPEG", quality=80)
with open(path("thumb.jpg"), "wb") as f:
    f.write(thumb.getvalue())
subprocess.run(["exiftool", "-q", "-overwrite_original", "-ThumbnailImage<=" + path("thumb.jpg"),
                path("camera.jpg")], check=True)
os.remove(path("thumb.jpg"))

# An animated GIF.
frames = [gradient((96, 64)).rotate(a).convert("P", palette=Image.ADAPTIVE, colors=32) for a in (0, 90, 180)]
frames[0].save(path("animation.gif"), save_all=True, append_images=frames[1:], duration=200, loop=0)

# Documents and archives, stored or lightly compressed.
xml = ('<?xml version="1.0" encoding="UTF-8"?>\n<root>\n' +
       "".join('  <item id="%d">   value %d   </item>\n' % (i, i) for i in range(200)) + "</root>\n")
png_bytes = open(path("palette.png"), "rb").read()
jpg_bytes = open(path("camera.jpg"), "rb").read()

with zipfile.ZipFile(path("bundle.zip"), "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
    z.writestr("readme.txt", "Sample archive.\n" * 50)
    z.writestr("data/table.xml", xml)
    z.writestr("images/palette.png", png_bytes)

with zipfile.ZipFile(path("report.docx"), "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
    z.writestr("[Content_Types].xml",
               '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
               '<Default Extension="xml" ContentType="application/xml"/><Default Extension="png" ContentType="image/png"/>'
               '<Override PartName="/word/document.xml" ContentType="application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml"/></Types>')
    z.writestr("_rels/.rels",
               '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
               '<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="word/document.xml"/></Relationships>')
    z.writestr("word/document.xml",
               '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<w:document xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main"><w:body>' +
               "".join("<w:p><w:r><w:t>Paragraph %d of the sample report.</w:t></w:r></w:p>" % i for i in range(100)) +
               "</w:body></w:document>")
    z.writestr("word/media/image1.png", png_bytes)

with zipfile.ZipFile(path("book.epub"), "w") as z:
    z.writestr(zipfile.ZipInfo("mimetype"), "application/epub+zip", compress_type=zipfile.ZIP_STORED)
    z.writestr("META-INF/container.xml",
               '<?xml version="1.0"?>\n<container version="1.0" xmlns="urn:oasis:names:tc:opendocument:xmlns:container">'
               '<rootfiles><rootfile full-path="content.opf" media-type="application/oebps-package+xml"/></rootfiles></container>',
               compress_type=zipfile.ZIP_DEFLATED, compresslevel=1)
    z.writestr("content.opf", '<?xml version="1.0"?>\n<package xmlns="http://www.idpf.org/2007/opf" version="2.0"/>',
               compress_type=zipfile.ZIP_DEFLATED, compresslevel=1)
    z.writestr("chapter1.xhtml",
               '<?xml version="1.0" encoding="UTF-8"?>\n<html xmlns="http://www.w3.org/1999/xhtml"><body>' +
               "".join("<p>Line %d of chapter one.</p>\n" % i for i in range(150)) + "</body></html>",
               compress_type=zipfile.ZIP_DEFLATED, compresslevel=1)
    z.writestr("cover.jpg", jpg_bytes, compress_type=zipfile.ZIP_STORED)

# OpenDocument text as office suites write it: "mimetype" stored first (readers such as
# the `file` command look for it at byte 30), then the manifest, content, styles and a picture.
def odf_entry(name):
    return zipfile.ZipInfo(name, date_time=(2026, 1, 1, 12, 0, 0))

odt_type = "application/vnd.oasis.opendocument.text"
office_ns = ('xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" '
             'xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" office:version="1.2"')
with zipfile.ZipFile(path("letter.odt"), "w") as z:
    z.writestr(odf_entry("mimetype"), odt_type, compress_type=zipfile.ZIP_STORED)
    z.writestr(odf_entry("META-INF/manifest.xml"),
               '<?xml version="1.0" encoding="UTF-8"?>\n<manifest:manifest xmlns:manifest="urn:oasis:names:tc:opendocument:xmlns:manifest:1.0" manifest:version="1.2">\n'
               ' <manifest:file-entry manifest:full-path="/" manifest:version="1.2" manifest:media-type="%s"/>\n'
               ' <manifest:file-entry manifest:full-path="content.xml" manifest:media-type="text/xml"/>\n'
               ' <manifest:file-entry manifest:full-path="styles.xml" manifest:media-type="text/xml"/>\n'
               ' <manifest:file-entry manifest:full-path="Pictures/palette.png" manifest:media-type="image/png"/>\n'
               '</manifest:manifest>\n' % odt_type, compress_type=zipfile.ZIP_DEFLATED, compresslevel=1)
    z.writestr(odf_entry("content.xml"),
               '<?xml version="1.0" encoding="UTF-8"?>\n<office:document-content %s><office:body><office:text>\n' % office_ns +
               "".join("<text:p>Paragraph %d of the sample letter.</text:p>\n" % i for i in range(120)) +
               "</office:text></office:body></office:document-content>\n",
               compress_type=zipfile.ZIP_DEFLATED, compresslevel=1)
    z.writestr(odf_entry("styles.xml"),
               '<?xml version="1.0" encoding="UTF-8"?>\n<office:document-styles %s/>\n' % office_ns,
               compress_type=zipfile.ZIP_DEFLATED, compresslevel=1)
    z.writestr(odf_entry("Pictures/palette.png"), png_bytes, compress_type=zipfile.ZIP_STORED)

with gzip.GzipFile(path("log.txt.gz"), "wb", compresslevel=1, mtime=0) as g:
    g.write(("2026-01-01 12:00:%02d INFO sample log line number %d\n" % (0, 0)).encode() * 1)
    g.write("".join("2026-01-01 12:%02d:%02d INFO sample log line number %d\n" % (i // 60 % 60, i % 60, i)
                    for i in range(2000)).encode())

with open(path("drawing.svg"), "w") as f:
    f.write('<svg xmlns="http://www.w3.org/2000/svg" width="100" height="100">\n'
            '    <!-- a sample drawing -->\n    <circle cx="50" cy="50" r="40"   fill="teal" />\n</svg>\n')

# FLAC: a tone with a little noise, encoded at the fastest level so re-encoding gains.
wav = path("tone.wav")
with wave.open(wav, "wb") as w:
    w.setnchannels(2)
    w.setsampwidth(2)
    w.setframerate(44100)
    seed = 1
    frames = bytearray()
    for i in range(44100 * 2):
        seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF
        s = int(8000 * math.sin(2 * math.pi * 440 * i / 44100)) + (seed % 200) - 100
        frames += struct.pack("<hh", s, s // 2)
    w.writeframes(bytes(frames))
subprocess.run(["flac", "-s", "-0", "-f", "-o", path("tone.flac"), wav], check=True)
os.remove(wav)
print("samples written to", out)
