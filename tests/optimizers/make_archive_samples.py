"""Writes the archives the archive pipeline tests run through the real tools kit.

Each archive holds a PNG, a JPEG or both, XML and plain text, compressed weakly
so that the rebuilt archive is smaller. The .7z is made with 7zz when present.
"""
import gzip
import io
import os
import shutil
import subprocess
import sys
import zipfile

from PIL import Image


def png_bytes():
    image = Image.new("RGB", (64, 48))
    image.putdata([((x * 4) % 256, (y * 5) % 256, 90) for y in range(48) for x in range(64)])
    out = io.BytesIO()
    image.save(out, "PNG", compress_level=1)
    return out.getvalue()


def jpeg_bytes():
    image = Image.new("RGB", (64, 48))
    image.putdata([((x * 4) % 256, 128, (y * 5) % 256) for y in range(48) for x in range(64)])
    out = io.BytesIO()
    image.save(out, "JPEG", quality=90)
    return out.getvalue()


XML = ('<?xml version="1.0" encoding="UTF-8"?>\n<root>\n' +
       "".join('  <item number="%d">   some   text   </item>\n' % i for i in range(200)) +
       "</root>\n").encode()
TEXT = ("Plain text that no tool touches.\n" * 300).encode()


def write_zip(path, entries):
    with zipfile.ZipFile(path, "w") as archive:
        for name, data, stored in entries:
            info = zipfile.ZipInfo(name, date_time=(2020, 1, 2, 3, 4, 6))
            if stored:
                info.compress_type = zipfile.ZIP_STORED
                archive.writestr(info, data)
            else:
                info.compress_type = zipfile.ZIP_DEFLATED
                archive.writestr(info, data, compresslevel=1)


def write_odf(path, kind, png, stored=False):
    """An OpenDocument package as office suites write it: "mimetype" stored first, then
    the manifest listing every part, the content, the styles and a picture; with stored,
    every part is kept uncompressed, so that any rebuild is smaller."""
    media_type = "application/vnd.oasis.opendocument." + kind
    parts = [("content.xml", "text/xml"), ("styles.xml", "text/xml"), ("meta.xml", "text/xml"),
             ("Pictures/picture.png", "image/png")]
    manifest = ('<?xml version="1.0" encoding="UTF-8"?>\n<manifest:manifest xmlns:manifest='
                '"urn:oasis:names:tc:opendocument:xmlns:manifest:1.0" manifest:version="1.2">\n'
                ' <manifest:file-entry manifest:full-path="/" manifest:version="1.2" manifest:media-type="%s"/>\n'
                % media_type +
                "".join(' <manifest:file-entry manifest:full-path="%s" manifest:media-type="%s"/>\n' % part
                        for part in parts) + "</manifest:manifest>\n").encode()
    office = ('<?xml version="1.0" encoding="UTF-8"?>\n<office:document-%s xmlns:office='
              '"urn:oasis:names:tc:opendocument:xmlns:office:1.0" office:version="1.2">\n')
    content = (office % "content" + "".join("  <office:body>  item %d   </office:body>\n" % i for i in range(200)) +
               "</office:document-content>\n").encode()
    styles = (office % "styles" + "</office:document-styles>\n").encode()
    meta = (office % "meta" + "</office:document-meta>\n").encode()
    write_zip(path, [
        ("mimetype", media_type.encode(), True), ("META-INF/manifest.xml", manifest, stored),
        ("content.xml", content, stored), ("styles.xml", styles, stored), ("meta.xml", meta, stored),
        ("Pictures/picture.png", png, stored)])


def main(folder):
    os.makedirs(folder, exist_ok=True)
    png, jpeg = png_bytes(), jpeg_bytes()
    write_zip(os.path.join(folder, "sample.zip"), [
        ("images/picture.png", png, False), ("images/photo.jpg", jpeg, False),
        ("data/list.xml", XML, False), ("readme.txt", TEXT, False)])
    write_zip(os.path.join(folder, "sample.docx"), [
        ("[Content_Types].xml", b'<?xml version="1.0"?><Types xmlns="http://schemas.openxmlformats.org/'
         b'package/2006/content-types"><Default Extension="xml" ContentType="application/xml"/></Types>', False),
        ("word/document.xml", XML, False), ("word/media/image1.png", png, False),
        ("word/media/image2.jpeg", jpeg, False)])
    for name, kind in (("sample.odt", "text"), ("sample.ods", "spreadsheet"), ("sample.odp", "presentation")):
        write_odf(os.path.join(folder, name), kind, png)
    write_zip(os.path.join(folder, "sample.epub"), [
        ("mimetype", b"application/epub+zip", True),
        ("META-INF/container.xml", b'<?xml version="1.0"?><container version="1.0" xmlns='
         b'"urn:oasis:names:tc:opendocument:xmlns:container"/>', False),
        ("OEBPS/chapter.xhtml", XML, False), ("OEBPS/cover.jpg", jpeg, False),
        ("OEBPS/figure.png", png, False)])
    # Its "mimetype" ends in a line break, so sniffing takes it for a ZIP-like file; its
    # first entry is still the stored "mimetype" that readers look for.
    write_zip(os.path.join(folder, "newline.epub"), [
        ("mimetype", b"application/epub+zip\n", True),
        ("META-INF/container.xml", b'<?xml version="1.0"?><container version="1.0" xmlns='
         b'"urn:oasis:names:tc:opendocument:xmlns:container"/>', False),
        ("OEBPS/chapter.xhtml", XML, False), ("OEBPS/figure.png", png, False)])
    # A document inside an archive, stored uncompressed so that its own rebuild is smaller
    # and takes its place.
    write_odf(os.path.join(folder, "letter.odt"), "text", png, stored=True)
    with open(os.path.join(folder, "letter.odt"), "rb") as document:
        write_zip(os.path.join(folder, "nested.zip"), [
            ("documents/letter.odt", document.read(), True), ("readme.txt", TEXT, False)])
    with open(os.path.join(folder, "notes.txt"), "wb") as plain:
        plain.write(TEXT)
    with gzip.open(os.path.join(folder, "notes.txt.gz"), "wb", compresslevel=1) as packed:
        packed.write(TEXT)
    with open(os.path.join(folder, "picture.png"), "wb") as image:
        image.write(png)
    seven = os.path.join(folder, "sample.7z")
    if os.path.exists(seven):
        os.remove(seven)
    tool = shutil.which("7zz") or shutil.which("7z")
    if tool:
        subprocess.run([tool, "a", "-bd", seven, "notes.txt", "picture.png"], cwd=folder, check=True,
                       stdout=subprocess.DEVNULL)
    with open(os.path.join(folder, "stamp"), "w") as stamp:
        stamp.write("ok\n")


if __name__ == "__main__":
    main(sys.argv[1])
