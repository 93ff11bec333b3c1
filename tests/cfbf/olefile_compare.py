"""Compares a VellCFBF output with its input using olefile, a reader that shares no code
with the Windows structured-storage service that wrote both files.

usage: olefile_compare.py <input> <output> <expected sector size>
"""
import sys

import olefile


def cfbf_order(name):
    # Compound files sort the elements of a storage by name length, then by the
    # upper-cased name; listings and hence VellCFBF's copy follow this order.
    return (len(name), name.upper())


def walk(entry, path, found):
    """Depth-first in listing order, entering each storage where it is met."""
    for kid in sorted(entry.kids, key=lambda k: cfbf_order(k.name)):
        kid_path = path + [kid.name]
        found.append((kid_path, kid))
        if kid.entry_type == olefile.STGTY_STORAGE:
            walk(kid, kid_path, found)
    return found


def main():
    source_path, target_path, sector_size = sys.argv[1], sys.argv[2], int(sys.argv[3])
    source = olefile.OleFileIO(source_path)
    target = olefile.OleFileIO(target_path)
    problems = []

    if target.sectorsize != sector_size:
        problems.append("sector size %d, expected %d" % (target.sectorsize, sector_size))
    # Every storage keeps its class and state bits, the root included: embedded objects
    # are loaded by the class of their storage.
    storages = [("", source.root, target.root)]

    source_elements = {"/".join(p): e for p, e in walk(source.root, [], [])}
    met = walk(target.root, [], [])
    target_elements = {"/".join(p): e for p, e in met}
    if sorted(source_elements) != sorted(target_elements):
        problems.append("trees differ: %r / %r" % (sorted(source_elements), sorted(target_elements)))
    for name, entry in source_elements.items():
        other = target_elements.get(name)
        if other is None:
            continue
        if entry.entry_type != other.entry_type:
            problems.append("%r: type %d, expected %d" % (name, other.entry_type, entry.entry_type))
        elif entry.entry_type == olefile.STGTY_STREAM:
            data = source.openstream(name).read()
            copied = target.openstream(name).read()
            if len(data) != entry.size or data != copied or other.size != entry.size:
                problems.append("%r: %d bytes copied, expected %d" % (name, len(copied), len(data)))
        else:
            storages.append((name, entry, other))
    for name, entry, other in storages:
        if entry.clsid != other.clsid:
            problems.append("%r: storage class %r, expected %r" % (name, other.clsid, entry.clsid))
        if entry.dwUserFlags != other.dwUserFlags:
            problems.append("%r: state bits %#x, expected %#x" % (name, other.dwUserFlags,
                                                                  entry.dwUserFlags))
    classes = sum(1 for _, entry, _ in storages if entry.clsid)
    if classes < 2:
        problems.append("the input has %d storage classes; the check needs the root's and "
                        "at least one below it" % classes)

    # All small streams are written before the first large one, each phase in the order
    # the streams were met: so the mini stream's sectors come before every large stream's,
    # and start sectors rise in met order within each phase.
    streams = [(p, e) for p, e in met if e.entry_type == olefile.STGTY_STREAM and e.size > 0]
    small = [e.isectStart for p, e in streams if e.size < target.minisectorcutoff]
    large = [e.isectStart for p, e in streams if e.size >= target.minisectorcutoff]
    if small != sorted(small) or large != sorted(large):
        problems.append("streams not written in met order: %r %r" % (small, large))
    mini_chain = []
    sector = target.root.isectStart
    while sector < olefile.MAXREGSECT and len(mini_chain) <= len(target.fat):
        mini_chain.append(sector)
        sector = target.fat[sector]
    if large and mini_chain and max(mini_chain) > min(large):
        problems.append("a large stream precedes small data: %r %r" % (mini_chain, large))

    source.close()
    target.close()
    for problem in problems:
        print("%s: %s" % (target_path, problem))
    if problems:
        return 1
    print("%s: %d elements, %d streams, %d storage classes, %d-byte sectors match %s" % (
        target_path, len(target_elements), len(streams), classes, target.sectorsize, source_path))
    return 0


if __name__ == "__main__":
    sys.exit(main())
