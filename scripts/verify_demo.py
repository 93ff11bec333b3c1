#!/usr/bin/python3
"""Checks that every optimized file holds the same content as its original.
Usage: verify_demo.py ORIGINALS RESULTS
Images: decoded pixels (a JPEG turned by its orientation tag is compared with a
lossless turn of the original); ZIP-based files: the same entries, images inside by
pixels and everything else by bytes; gzip: the decompressed bytes; FLAC: the decoded
samples; compound files: the same tree, stream bytes and storage classes; a ZIP package
that began with a stored "mimetype" entry must still do so; anything else: the bytes."""
import gzip, io, os, struct, subprocess, sys, tempfile, zipfile
from PIL import Image, ImageSequence
import olefile

IMAGE_EXTENSIONS = (".png", ".jpg", ".jpeg", ".gif", ".bmp", ".tif", ".tiff")

def frames(data):
    img = Image.open(io.BytesIO(data))
    return [f.convert("RGBA").tobytes() + repr(f.size).encode() for f in ImageSequence.Iterator(img)]

def orientation(data):
    try:
        return Image.open(io.BytesIO(data)).getexif().get(0x0112, 1)
    except Exception:
        return 1

def turned_original(data, angle):
    with tempfile.NamedTemporaryFile(suffix=".jpg", delete=False) as f:
        f.write(data)
    try:
        return subprocess.run(["jpegtran", "-rotate", str(angle), "-perfect", "-copy", "none", f.name],
                              check=True, capture_output=True).stdout
    finally:
        os.remove(f.name)

def same_image(before, after, name):
    if name.lower().endswith((".jpg", ".jpeg")):
        o_before, o_after = orientation(before), orientation(after)
        turns = {3: 180, 6: 90, 8: 270}
        if o_before in turns and o_after == 1:
            before = turned_original(before, turns[o_before])
    return frames(before) == frames(after)

def stored_mimetype_first(data):
    """OpenDocument and EPUB readers (and the `file` command) look at the first local
    header only: "mimetype", stored, its text right after the name at byte 38."""
    if len(data) < 38 or data[:4] != b"PK\x03\x04":
        return False
    (method,) = struct.unpack("<H", data[8:10])
    name_length, extra_length = struct.unpack("<HH", data[26:30])
    return method == 0 and name_length == 8 and extra_length == 0 and data[30:38] == b"mimetype"

def same_zip(before, after):
    zb, za = zipfile.ZipFile(io.BytesIO(before)), zipfile.ZipFile(io.BytesIO(after))
    # Folder entries carry no content; 7-Zip writes them where the original had none.
    files = lambda z: sorted(n for n in z.namelist() if not n.endswith("/"))
    names_b, names_a = files(zb), files(za)
    if names_b != names_a:
        return False, "entries differ"
    for name in names_b:
        if not same_content(name, zb.read(name), za.read(name))[0]:
            return False, "entry " + name + " differs"
    if stored_mimetype_first(before) and not stored_mimetype_first(after):
        return False, "mimetype is not the first stored entry"
    return True, "%d entries equal" % len(names_b)

def decoded_flac(data):
    return subprocess.run(["flac", "-d", "-s", "-c", "--force-raw-format", "--endian=little",
                           "--sign=signed", "-"], input=data, check=True, capture_output=True).stdout

def compound_tree(data):
    ole = olefile.OleFileIO(data)
    tree = {"/".join(p): ole.openstream(p).read() for p in ole.listdir(streams=True, storages=False)}
    # Embedded objects are loaded by the class of their storage, so every class counts too.
    tree.update({"/".join(p) + "/": ole.getclsid(p) for p in ole.listdir(streams=False, storages=True)})
    tree["/"] = ole.root.clsid
    return tree

def same_content(name, before, after):
    lower = name.lower()
    if before == after:
        return True, "unchanged"
    if lower.endswith(IMAGE_EXTENSIONS):
        return same_image(before, after, name), "pixels equal"
    if before[:2] == b"PK":
        return same_zip(before, after)
    if before[:2] == b"\x1f\x8b":
        return gzip.decompress(before) == gzip.decompress(after), "decompressed bytes equal"
    if before[:4] == b"fLaC":
        return decoded_flac(before) == decoded_flac(after), "decoded audio equal"
    if before[:8] == b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1":
        return compound_tree(before) == compound_tree(after), "streams and storage classes equal"
    return False, "bytes differ"

def main():
    originals, results = sys.argv[1], sys.argv[2]
    failures = 0
    print("%-18s %10s %10s  %s" % ("file", "before", "after", "content check"))
    for name in sorted(os.listdir(originals)):
        before = open(os.path.join(originals, name), "rb").read()
        result_path = os.path.join(results, name)
        if not os.path.isfile(result_path):
            print("%-18s %10d %10s  FAILED: result missing" % (name, len(before), "-"))
            failures += 1
            continue
        after = open(result_path, "rb").read()
        try:
            ok, how = same_content(name, before, after)
        except Exception as error:
            ok, how = False, "cannot compare: %s" % error
        failures += not ok
        print("%-18s %10d %10d  %s%s" % (name, len(before), len(after), "" if ok else "FAILED: ", how))
    total_before = sum(os.path.getsize(os.path.join(originals, n)) for n in os.listdir(originals))
    total_after = sum(os.path.getsize(os.path.join(results, n)) for n in os.listdir(originals)
                      if os.path.isfile(os.path.join(results, n)))
    print("%d files, %d bytes before, %d after; %s" % (len(os.listdir(originals)), total_before, total_after,
          "every content check passed" if not failures else "%d content checks FAILED" % failures))
    return 1 if failures else 0

if __name__ == "__main__":
    sys.exit(main())
