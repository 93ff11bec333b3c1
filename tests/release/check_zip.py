#!/usr/bin/python3
"""Unpacks the Windows release zip into BUILD/tests/release/program and checks it:
exactly the expected files, real Windows tools (none of them the tools kit's
shim), a licence text for each, and a README.txt that names every tool the
optimizer starts.
Usage: check_zip.py SOURCE_DIR BUILD_DIR"""
import os, re, shutil, sys, zipfile

BUNDLED = {
    "OptiPNG.exe": "OptiPNG.txt",
    "Gifsicle.exe": "Gifsicle.txt",
    "7z.exe": "7-Zip.txt",
    "advzip.exe": "advancecomp.txt",
    "flac.exe": "FLAC.txt",
    "metaflac.exe": "FLAC.txt",
    "mozjpegtran.exe": "libjpeg-turbo.txt",
}
# The tools that open files through the C library's narrow calls carry a manifest
# that makes those calls UTF-8, so they reach files with any name.
UTF8_MANIFEST = ["OptiPNG.exe", "Gifsicle.exe", "advzip.exe", "mozjpegtran.exe"]
LIBRARY_LICENCES = ["zlib.txt", "libpng.txt", "MinGW-w64 runtime.txt", "GCC runtime.txt"]
PROGRAMS = ["Vell Optimizer.exe", "VellBatch.exe", "tools/VellCFBF.exe"]
# The tools kit's bridge into Linux; a real Windows tool has no use for it.
SHIM_MARKERS = [b"wine_get_unix_file_name", b"__wine_unix_spawnvp"]

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def version_of(source):
    with open(os.path.join(source, "ui", "vell_optimizer.rc"), encoding="utf-8") as f:
        return re.search(r'VALUE "ProductVersion", "([0-9.]+)"', f.read()).group(1)


def tool_files(source):
    """Every file the optimizer expects in its tools folder, from the runner's list."""
    with open(os.path.join(source, "runner", "tool_names.h"), encoding="utf-8") as f:
        text = f.read()
    names = dict(re.findall(r'const char (TOOL_\w+)\[\] = "([^"]+)";', text))
    listed = re.search(r"TOOL_FILES\[\] = \{(.*?)\};", text, re.S).group(1)
    return [names[n].replace("\\\\", "\\") for n in re.findall(r"TOOL_\w+", listed)]


def main():
    source, build = sys.argv[1], sys.argv[2]
    version = version_of(source)
    name = "Vell-Optimizer-%s-win64" % version
    path = os.path.join(build, name + ".zip")
    if not os.path.isfile(path):
        print("FAILED: %s is missing; 'make dist' makes it (and 'make test' runs it first)" % path)
        return 1
    target = os.path.join(build, "tests", "release")
    shutil.rmtree(os.path.join(target, "program"), ignore_errors=True)
    shutil.rmtree(os.path.join(target, "unpacked"), ignore_errors=True)
    with zipfile.ZipFile(path) as archive:
        check(archive.testzip() is None, "the zip has a damaged entry")
        entries = sorted(n for n in archive.namelist() if not n.endswith("/"))
        archive.extractall(os.path.join(target, "unpacked"))
    tops = {e.split("/")[0] for e in entries}
    if not check(tops == {name}, "one top folder %s expected, found %s" % (name, sorted(tops))):
        return report()
    os.rename(os.path.join(target, "unpacked", name), os.path.join(target, "program"))
    program = os.path.join(target, "program")

    expected = set(PROGRAMS) | {"README.txt"} | {"tools/" + t for t in BUNDLED}
    expected |= {"tools/licenses/" + l for l in set(BUNDLED.values()) | set(LIBRARY_LICENCES)}
    found = {e[len(name) + 1:] for e in entries}
    check(found == expected, "unexpected files %s, missing files %s"
          % (sorted(found - expected), sorted(expected - found)))

    for file in PROGRAMS:
        with open(os.path.join(program, file), "rb") as a, open(os.path.join(build, "dist", file), "rb") as b:
            check(a.read() == b.read(), "%s is not the one this build made" % file)
    with open(os.path.join(build, "dist", "tools", "Leanify.exe"), "rb") as f:
        shim = f.read()
    for tool in BUNDLED:
        with open(os.path.join(program, "tools", tool), "rb") as f:
            data = f.read()
        check(data[:2] == b"MZ" and b"PE\0\0" in data[:1024], "%s is not a Windows program" % tool)
        check(data != shim and not any(m in data for m in SHIM_MARKERS), "%s is the tools kit's shim" % tool)
        if tool in UTF8_MANIFEST:
            check(b"<activeCodePage" in data and b">UTF-8</activeCodePage>" in data,
                  "%s has no UTF-8 code page manifest" % tool)
    for licence in set(BUNDLED.values()) | set(LIBRARY_LICENCES):
        file = os.path.join(program, "tools", "licenses", licence)
        if check(os.path.isfile(file), "licence text %s is missing" % licence):
            check(os.path.getsize(file) > 500, "licence text %s is nearly empty" % licence)

    # The sources of the bundled tools, as the GPL asks, beside the release.
    sources = os.path.join(build, name + "-tool-sources.zip")
    if check(os.path.isfile(sources), "%s is missing" % sources):
        with zipfile.ZipFile(sources) as archive:
            names = archive.namelist()
        for package in ["zlib", "libpng1.6", "optipng", "gifsicle", "7zip", "advancecomp", "flac", "libjpeg-turbo"]:
            folder = name + "-tool-sources/" + package + "/"
            check(any(n.startswith(folder) and n.endswith(".dsc") for n in names) and
                  any(n.startswith(folder) and ".orig.tar." in n for n in names),
                  "the tool sources lack the Debian source package %s" % package)
        for script in ["build.sh", "recipes.sh", "utf8.manifest"]:
            check(name + "-tool-sources/wintools/" + script in names, "the tool sources lack wintools/" + script)

    with open(os.path.join(program, "README.txt"), "rb") as f:
        readme = f.read()
    check(readme.startswith(b"\xef\xbb\xbf"), "README.txt has no UTF-8 byte order mark")
    check(b"\n" not in readme.replace(b"\r\n", b""), "README.txt has line ends other than CR LF")
    text = readme.decode("utf-8")
    check(version in text, "README.txt does not name the version")
    check("@" not in text, "README.txt has an unfilled placeholder")
    for tool in tool_files(source):
        check(tool in text, "README.txt does not mention %s" % tool)
    for tool, licence in BUNDLED.items():
        check(re.search(r"^  %s +\S.*\r\n +Debian source package \S+ \S+" % re.escape(tool), text, re.M),
              "README.txt does not say where %s comes from" % tool)
        check("licenses\\" + licence in text, "README.txt does not point to the licence of %s" % tool)
    return report()


def report():
    for failure in failures:
        print("FAILED:", failure)
    print("release zip checks:", "passed" if not failures else "%d FAILED" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
