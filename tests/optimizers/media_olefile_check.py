"""Reads the compound file that the media kit test left behind, before and after the
compound-file pipeline, with olefile (which shares no code with Windows structured
storage) and compares every stream byte for byte and every storage's class.

usage: media_olefile_check.py <folder with original.msi and optimized.msi>
Exit code 77 (skipped) when the kit test left no files, e.g. without the tools kit.
"""
import os
import sys

import olefile


def tree(path):
    ole = olefile.OleFileIO(path)
    elements = {}
    for entry in ole.listdir(streams=True, storages=True):
        name = "/".join(entry)
        if ole.get_type(entry) == olefile.STGTY_STREAM:
            elements[name] = ole.openstream(entry).read()
        else:
            # Embedded objects are found by the class of their storage.
            elements[name] = ole.getclsid(entry)
    sector_size = ole.sectorsize
    ole.close()
    return elements, sector_size


def main():
    folder = sys.argv[1]
    original = os.path.join(folder, "original.msi")
    optimized = os.path.join(folder, "optimized.msi")
    if not (os.path.exists(original) and os.path.exists(optimized)):
        print("no files from the kit test in %s" % folder)
        return 77
    before, _ = tree(original)
    after, sector_size = tree(optimized)
    problems = []
    if sorted(before) != sorted(after):
        problems.append("trees differ: %r / %r" % (sorted(before), sorted(after)))
    for name, data in before.items():
        if name in after and after[name] != data:
            problems.append("%s differs" % name)
    if os.path.getsize(optimized) >= os.path.getsize(original):
        problems.append("not smaller: %d >= %d" % (os.path.getsize(optimized),
                                                    os.path.getsize(original)))
    for problem in problems:
        print(problem)
    if problems:
        return 1
    print("%d elements read back alike, %d-byte sectors" % (len(after), sector_size))
    return 0


if __name__ == "__main__":
    sys.exit(main())
