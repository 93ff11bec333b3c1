#!/usr/bin/python3
"""Packs the Windows release.
Usage: make_zip.py VERSION PROGRAM_DIR WINTOOLS_DIR TEMPLATE OUT_DIR
PROGRAM_DIR is the build's dist folder (only the optimizer's own programs are
taken from it, never the tools kit), WINTOOLS_DIR what wintools/build.sh made.
Writes OUT_DIR/Vell-Optimizer-VERSION-win64.zip, whose one top folder holds the
programs, README.txt and tools\\, and OUT_DIR/Vell-Optimizer-VERSION-win64-tool-sources.zip."""
import os, sys, zipfile

# Program file -> (what it is, licence, licence text under tools\licenses).
TOOLS = {
    "OptiPNG.exe": ("OptiPNG", "zlib licence", "OptiPNG.txt"),
    "Gifsicle.exe": ("Gifsicle", "GPL 2", "Gifsicle.txt"),
    "7z.exe": ("7-Zip standalone console (7zz)", "LGPL 2.1 and BSD", "7-Zip.txt"),
    "advzip.exe": ("advzip from AdvanceCOMP", "GPL 3", "advancecomp.txt"),
    "flac.exe": ("flac", "GPL 2; libFLAC BSD", "FLAC.txt"),
    "metaflac.exe": ("metaflac", "GPL 2; libFLAC BSD", "FLAC.txt"),
    "mozjpegtran.exe": ("jpegtran from libjpeg-turbo", "IJG and BSD", "libjpeg-turbo.txt"),
}
# Libraries linked into the programs above.
LIBRARIES = {"zlib": "zlib licence, licenses\\zlib.txt", "libpng1.6": "libpng licence, licenses\\libpng.txt"}
PROGRAMS = ["Vell Optimizer.exe", "VellBatch.exe", "tools/VellCFBF.exe"]


def read_versions(wintools):
    rows = []
    with open(os.path.join(wintools, "versions.tsv"), encoding="utf-8") as f:
        for line in f:
            package, version, note, programs = line.rstrip("\n").split("\t")
            rows.append((package, version, note, programs.split()))
    return rows


def bundled_text(rows):
    lines = []
    programs = {}
    for package, version, note, files in rows:
        for name in files:
            programs[name] = (package, version, note)
    missing = sorted(set(TOOLS) ^ set(programs))
    if missing:
        sys.exit("make_zip.py: tool list and build disagree about: " + ", ".join(missing))
    for name in TOOLS:
        what, licence, text = TOOLS[name]
        package, version, note = programs[name]
        lines.append("  %-16s %s" % (name, what))
        lines.append("  %-16s Debian source package %s %s%s" % ("", package, version, " (%s)" % note if note else ""))
        lines.append("  %-16s %s, licenses\\%s" % ("", licence, text))
    for package, version, note, files in rows:
        if package in LIBRARIES:
            lines.append("  %-16s built into OptiPNG.exe%s: Debian source package %s %s"
                         % ("(library)", " and advzip.exe" if package == "zlib" else "", package, version))
            lines.append("  %-16s %s" % ("", LIBRARIES[package]))
    lines.append("  %-16s MinGW-w64 runtime and GCC support code, linked into every program:" % "(runtime)")
    lines.append("  %-16s licenses\\MinGW-w64 runtime.txt, licenses\\GCC runtime.txt" % "")
    return "\n".join(lines)


def write_tree(archive, top, source, prefix, stored=False):
    for root, dirs, files in os.walk(source):
        dirs.sort()
        for name in sorted(files):
            path = os.path.join(root, name)
            relative = os.path.relpath(path, source).replace(os.sep, "/")
            archive.write(path, top + prefix + relative,
                          zipfile.ZIP_STORED if stored else zipfile.ZIP_DEFLATED)


def main():
    version, program_dir, wintools, template, out = sys.argv[1:6]
    name = "Vell-Optimizer-%s-win64" % version
    rows = read_versions(wintools)
    with open(template, encoding="utf-8") as f:
        readme = f.read().replace("@VERSION@", version).replace("@BUNDLED@", bundled_text(rows))
    # CR LF and a byte order mark, so that every Notepad shows it right.
    readme = "\ufeff" + readme.replace("\r\n", "\n").replace("\n", "\r\n")

    path = os.path.join(out, name + ".zip")
    with zipfile.ZipFile(path + ".part", "w", zipfile.ZIP_DEFLATED, compresslevel=9) as archive:
        top = name + "/"
        for program in PROGRAMS:
            archive.write(os.path.join(program_dir, program), top + program)
        archive.writestr(zipfile.ZipInfo.from_file(template, top + "README.txt"), readme.encode("utf-8"),
                         zipfile.ZIP_DEFLATED)
        write_tree(archive, top, os.path.join(wintools, "tools"), "tools/")
    os.replace(path + ".part", path)

    sources = os.path.join(out, name + "-tool-sources.zip")
    with zipfile.ZipFile(sources + ".part", "w") as archive:
        write_tree(archive, name + "-tool-sources/", os.path.join(wintools, "sources"), "", stored=True)
    os.replace(sources + ".part", sources)
    print(path)
    print(sources)


if __name__ == "__main__":
    main()
