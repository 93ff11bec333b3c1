"""The fault classes, each filling one row of the table."""
import os, random, shutil, signal, time

import harness as h

SAMPLE_NAMES = sorted(os.listdir(h.SAMPLES))
NO_JOB_BY_DEFAULT = {"drawing.svg"}  # SVG minification is off by default
RUN_LIMIT_S = 600  # a run over the samples takes well under a minute; more is a hang
KILLED_RUN_TOOLS_S = 40  # the slowest tool call on a sample takes well under that


class Context:
    def __init__(self, build, work, n, deadline=None):
        self.build, self.work, self.n = build, work, n
        self.deadline = deadline  # time.monotonic() after which no further round starts
        self.temp = os.path.join(work, "temp")
        # A process naming one of these (every tool gets its scratch files' paths) or working
        # below one is a tool of a run here, or a Linux tool the kit started for one.
        self.markers = [work + "/", h.windows_path(work) + "\\"]
        self.duration = None

    def out_of_time(self, row, rounds_run):
        """True, with a note on the row, once FAULTS_MINUTES have passed."""
        if self.deadline is None or time.monotonic() <= self.deadline:
            return False
        row.note("%d of %d rounds run: FAULTS_MINUTES ran out" % (rounds_run, self.n))
        return True

    def folder(self, name):
        path = os.path.join(self.work, name)
        os.makedirs(path, exist_ok=True)
        return path

    def full_run_seconds(self):
        """How long an undisturbed run over the samples takes, measured once."""
        if self.duration is None:
            folder = self.folder("reference")
            run = os.path.join(folder, "run")
            h.fresh_copy(SAMPLE_NAMES, run)
            h.clear_folder(self.temp)
            batch = h.Batch(self.build, folder, [run])
            code = batch.wait(RUN_LIMIT_S)
            self.duration = time.monotonic() - batch.started
            print("an undisturbed run takes %.1f s (exit %s)" % (self.duration, code), flush=True)
        return self.duration


def next_start(ctx, row, folder, run, label):
    """The next VellBatch run over the folder: it must complete, keep every file whole
    and leave nothing behind."""
    batch = h.Batch(ctx.build, folder, [run])
    code = batch.wait(RUN_LIMIT_S)
    if code is None:
        batch.kill()
        row.note("%s: the next run hung" % label)
    out, err = batch.output()
    for fields in h.lines_of(out):
        if h.is_failure(fields[4]):
            row.failures += 1
            row.visible += 1  # its own line says so
            row.note("%s: next run: %s %s" % (label, os.path.basename(fields[0].replace("\\", "/")), fields[4]))
    if code != 0 and code is not None:
        row.failures += 1
        row.visible += 1
        row.note("%s: the next run ended with %s: %s" % (label, code, err.strip()[-200:]))
    checked, problems = h.check_files(h.SAMPLES, run, SAMPLE_NAMES)
    row.checked += checked
    row.lost += len(problems)
    for p in problems:
        row.note("%s after the next run: %s" % (label, p))
    left = h.leftovers(run, ctx.temp)
    row.leftovers += len(left)
    for path in left[:2]:
        row.note("%s: left after the next start: %s" % (label, h.shown(path, ctx.work)))


def disturbed_rounds(ctx, row, name, disturb):
    """N rounds over a fresh copy of the samples, each disturbed at a random moment."""
    folder = ctx.folder(name)
    run = os.path.join(folder, "run")
    duration = ctx.full_run_seconds()
    for round_number in range(ctx.n):
        if ctx.out_of_time(row, round_number):
            break
        label = "round %d" % round_number
        h.fresh_copy(SAMPLE_NAMES, run)
        h.clear_folder(ctx.temp)
        batch = h.Batch(ctx.build, folder, [run])
        delay = random.uniform(0.1, duration)
        row.cases += 1
        if batch.wait(delay) is None:
            disturb(ctx, row, batch, label)
        else:
            # The reference run may have met a busier machine: later moments come
            # from the length of the runs as they are now.
            took = time.monotonic() - batch.started
            row.note("%s: finished in %.1f s, before the fault at %.1f s" % (label, took, delay))
            duration = min(duration, took)
        checked, problems = h.check_files(h.SAMPLES, run, SAMPLE_NAMES)
        row.checked += checked
        row.lost += len(problems)
        for p in problems:
            row.note("%s: %s" % (label, p))
        next_start(ctx, row, folder, run, label)
        print("%s %s: %d lost, %d/%d visible, %d leftovers" % (name, label, row.lost, row.visible,
                                                              row.failures, row.leftovers), flush=True)


def kill_batch(ctx, row, batch, label):
    batch.kill()
    # Tools the dead run started go on in their scratch folders, as on Windows; they end by
    # themselves. One Wine was starting at the moment of the kill never gets going (it waits
    # for its dead parent): waiting longer than the slowest sample's tool only costs time.
    stray = h.wait_for_no_tools(ctx.markers, KILLED_RUN_TOOLS_S)
    if stray:
        row.note("%s: %d tool(s) still running %d s after the kill: %s" % (
            label, len(stray), KILLED_RUN_TOOLS_S, stray[0][1][:100]))
        h.end_processes(stray)


def interrupt_batch(ctx, row, batch, label):
    if not batch.signal(signal.SIGINT):
        return
    row.failures += 1
    code = batch.wait(60)
    if code is None:
        batch.kill()
        row.note("%s: still running 60 s after Ctrl+C" % label)
    out, err = batch.output()
    canceled = "VellBatch: canceling" in err
    lines = h.lines_of(out)
    # A cancel is reported by the exit code and every unfinished file's line.
    if (code == 1 and canceled and h.total_line(out)) or (code == 0 and not canceled):
        row.visible += 1
    else:
        row.note("%s: cancel not reported (exit %s, %d lines)" % (label, code, len(lines)))
    h.end_stray_tools(ctx.markers, 2, row, label, "the canceled run")
    for fields in lines:
        if not h.is_ok(fields[4]) and fields[2] != "-":
            row.note("%s: a failed job claims a result: %s" % (label, "\t".join(fields)))


def kills(ctx, row):
    disturbed_rounds(ctx, row, "kills", kill_batch)


def ctrl_c(ctx, row):
    disturbed_rounds(ctx, row, "ctrlc", interrupt_batch)


CLASSES = [
    ("kills", kills),
    ("ctrl-c", ctrl_c),
]


# What every tool does in the misbehaving-tools rounds: (name, behaviour, must fail, cancel after s).
# A tool that claims success with a useless result (nothing written, a larger file) may
# leave the file as it was and say "OK" with nothing saved; every other case must fail.
MISBEHAVIOURS = [
    ("access violation", "exit 0xC0000005\n", True, None),
    ("hang until canceled", "hang\n", True, 15),
    # Each tool prints 50 MB on its first run only, which keeps the case to minutes.
    ("prints 50 MB", "call 1: stdout-repeat 1048576 " + "x" * 49 + "\\n\nexit 0\n", False, None),
    ("writes garbage", "write @last garbage\\x00\\xff\nexit 0\n", True, None),
    ("empties its file", "empty @last\nexit 0\n", False, None),
    ("writes a larger file", "grow @last 4096\nexit 0\n", False, None),
    ("exit 0 without writing", "exit 0\n", False, None),
    ("deletes its input", "delete @1\ndelete @last\nexit 0\n", True, None),
    ("locks its input", "lock @1\nlock @last\nsleep 2000\nexit 0\n", False, None),
    ("takes minutes", "sleep 300000\nexit 0\n", True, 15),
]

TOOL_NAMES = ["OptiPNG.exe", "ArchiPNG.exe", "ECT_x64.exe", "DeflOpt.exe", "defluff.exe", "mozjpegtran.exe",
              "Perl/perl.exe", "7z.exe", "Leanify.exe", "advzip.exe", "Gifsicle.exe", "flexiGIF.exe",
              "mp3packer64.exe", "metaflac.exe", "flac.exe", "VellCFBF.exe"]


def double_tools(ctx, behaviour):
    """A tools folder where every tool is the tool double doing the same thing."""
    folder = os.path.join(ctx.work, "double-tools")
    double = os.path.join(ctx.build, "tests", "support", "tool_double", "tool_double.exe")
    for name in TOOL_NAMES:
        path = os.path.join(folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if not os.path.isfile(path):
            shutil.copyfile(double, path)
        base = path[:-4]
        with open(base + ".behavior", "w") as f:
            f.write(behaviour)
        if os.path.exists(base + ".record"):
            os.remove(base + ".record")
    os.makedirs(os.path.join(folder, "ExifTool"), exist_ok=True)
    shutil.copyfile(os.path.join(ctx.build, "dist", "tools", "ExifTool", "exiftool"),
                    os.path.join(folder, "ExifTool", "exiftool"))
    return folder


# One file of each pipeline; every tool call of a case misbehaves the same way.
TOOL_SAMPLES = ["photo-like.png", "camera.jpg", "animation.gif", "log.txt.gz", "tone.flac", "storage.cfb",
                "bundle.zip"]


def misbehaving_tools(ctx, row):
    folder = ctx.folder("tools")
    run = os.path.join(folder, "run")
    markers = ctx.markers
    wanted = os.environ.get("FAULTS_TOOL_CASES", "")
    for name, behaviour, must_fail, cancel_after in MISBEHAVIOURS:
        if wanted and not any(w in name for w in wanted.split(",")):
            continue
        tools = double_tools(ctx, behaviour)
        h.fresh_copy(TOOL_SAMPLES, run)
        h.clear_folder(ctx.temp)
        row.cases += 1
        batch = h.Batch(ctx.build, folder, [run], tools=tools)
        code = batch.wait(cancel_after if cancel_after else RUN_LIMIT_S)
        if code is None and cancel_after:
            batch.signal(signal.SIGINT)
            code = batch.wait(60)
        if code is None:
            batch.kill()
            row.failures += 1
            row.note("%s: VellBatch did not end within 60 s of Ctrl+C; killed" % name)
        out, err = batch.output()
        saved_claims = 0
        shown = set(fields[0] for fields in h.lines_of(out))
        # A cancel reported as the ctrl-c class wants it covers the files it left unreached.
        canceled = bool(cancel_after) and code == 1 and "VellBatch: canceling" in err and h.total_line(out)
        for sample in TOOL_SAMPLES:
            if h.windows_path(os.path.join(run, sample)) not in shown:
                row.failures += 1
                if canceled:
                    row.visible += 1
                else:
                    row.note("%s: no line for %s" % (name, sample))
        for fields in h.lines_of(out):
            row.failures += 1
            claims_saving = fields[2] not in ("-", fields[1]) and not fields[2].startswith(fields[1] + " (0")
            if not h.is_ok(fields[4]) or (not must_fail and not claims_saving):
                row.visible += 1
            else:
                saved_claims += 1
                row.note("%s: %s" % (name, "\t".join(fields)))
        checked, problems = h.check_files(h.SAMPLES, run, TOOL_SAMPLES)
        row.checked += checked
        # Nothing a misbehaving tool gives may reach a file: every file keeps its bytes.
        changed = [n for n in TOOL_SAMPLES if h.read_or_none(os.path.join(run, n)) !=
                   h.read_or_none(os.path.join(h.SAMPLES, n))]
        row.lost += len(set(changed) | set(p.split(":")[0] for p in problems))
        for n in changed:
            row.note("%s: %s changed" % (name, n))
        stray = h.wait_for_no_tools(markers, 10)
        if stray:
            row.failures += 1
            row.note("%s: %d tool process(es) outlived the run by 10 s: %s" % (name, len(stray), stray[0][1][:120]))
            h.end_processes(stray)
        left = h.leftovers(run, ctx.temp)
        row.leftovers += len(left)
        for path in left[:2]:
            row.note("%s: left behind: %s" % (name, h.shown(path, ctx.work)))
        print("tools %s: exit %s, %d lines, %d claiming a saving, %d changed" % (
            name, code, len(h.lines_of(out)), saved_claims, len(changed)), flush=True)


CLASSES.append(("tools", misbehaving_tools))


ESCAPE_MARK = "faults-escape-"
ZERO_EXTENSIONS = ["png", "jpg", "jpeg", "gif", "zip", "gz", "flac", "mp3", "cfb", "doc", "xls", "ppt", "msi",
                   "docx", "xlsx", "pptx", "odt", "ods", "odp", "epub", "7z", "rar", "dmg", "svg", "xml", "txt"]


def zip_bytes(entries, declared=None):
    """A ZIP of (name, bytes) entries, names taken as they are; declared overrides the
    uncompressed size every header states."""
    import io, struct, zipfile
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in entries:
            z.writestr(zipfile.ZipInfo(name, (2020, 1, 1, 0, 0, 0)), data, compress_type=zipfile.ZIP_DEFLATED)
    data = bytearray(buffer.getvalue())
    if declared is not None:
        for signature, offset in ((b"PK\x03\x04", 22), (b"PK\x01\x02", 24)):
            at = data.find(signature)
            while at >= 0:
                struct.pack_into("<I", data, at + offset, declared)
                at = data.find(signature, at + 4)
    return bytes(data)


def bad_inputs(folder):
    """Writes the bad files; returns their names."""
    rng = random.Random(15)
    files = {}
    for name in ["photo-like.png", "camera.jpg", "animation.gif", "bundle.zip", "log.txt.gz", "tone.flac",
                 "storage.cfb", "report.docx", "book.epub"]:
        data = open(os.path.join(h.SAMPLES, name), "rb").read()
        files["truncated-" + name] = data[: len(data) // 2]
        files["malformed-" + name] = data[:64] + bytes(rng.getrandbits(8) for _ in range(len(data) - 64))
    files["bomb-declared.zip"] = zip_bytes([("big.txt", b"\0" * 65536)], declared=0xFFFFFFF0)
    files["bomb-real.zip"] = zip_bytes([("zeros%d.bin" % i, b"\0" * (512 << 10)) for i in range(2)])
    files["traversal.zip"] = zip_bytes([
        ("../../" + ESCAPE_MARK + "relative.txt", b"up\n" * 100),
        ("/tmp/" + ESCAPE_MARK + "absolute.txt", b"root\n" * 100),
        ("C:/" + ESCAPE_MARK + "drive.txt", b"drive\n" * 100),
        ("..\\..\\" + ESCAPE_MARK + "backslash.txt", b"back\n" * 100),
        ("inside.txt", b"fine\n" * 100),
    ])
    for extension in ZERO_EXTENSIONS:
        files["empty." + extension] = b""
    for name, data in files.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    return sorted(files)


def escaped_files(ctx):
    """Entries of the traversal ZIP that reached a place outside a scratch folder."""
    found = []
    roots = [ctx.work, "/tmp", "/", os.path.join(ctx.work, "wineprefix", "drive_c")]
    for root in roots:
        if root == ctx.work:
            for where, dirs, files in os.walk(root):
                dirs[:] = [d for d in dirs if d != "wineprefix"]
                found += [os.path.join(where, n) for n in files if n.startswith(ESCAPE_MARK)]
        elif os.path.isdir(root):
            found += [os.path.join(root, n) for n in os.listdir(root) if n.startswith(ESCAPE_MARK)]
    return found


def bad_input(ctx, row):
    folder = ctx.folder("bad-input")
    originals = os.path.join(folder, "originals")
    run = os.path.join(folder, "run")
    h.clear_folder(originals)
    names = bad_inputs(originals)
    h.fresh_copy(names, run, source=originals)
    h.clear_folder(ctx.temp)
    for path in escaped_files(ctx):
        os.remove(path)
    row.cases += len(names)
    # Compound files go last, in a batch of their own: one that never ends must not
    # keep the others from being tried.
    compound = [n for n in names if n.endswith(".cfb")]
    for group, limit in (([run + "/" + n for n in names if n not in compound]), RUN_LIMIT_S), \
                        (([run + "/" + n for n in compound]), 180):
        batch = h.Batch(ctx.build, folder, group)
        code = batch.wait(limit)
        if code is None:
            batch.kill()
            row.failures += 1
            row.note("VellBatch did not end within %d s; killed" % limit)
        out, err = batch.output()
        if code not in (0, 1, None):
            row.failures += 1
            row.note("VellBatch ended with %s: %s" % (code, err.strip()[-200:]))
        for fields in h.lines_of(out):
            if not h.is_ok(fields[4]):
                row.failures += 1
                row.visible += 1
        print("bad input: exit %s, %d lines" % (code, len(h.lines_of(out))), flush=True)
    checked, problems = h.check_files(originals, run, names)
    row.checked += checked
    row.lost += len(problems)
    for p in problems:
        row.note(p)
    escaped = escaped_files(ctx)
    row.lost += len(escaped)
    for path in escaped:
        row.note("written outside the scratch folder: " + path)
    left = h.leftovers(run, ctx.temp)
    row.leftovers += len(left)
    for path in left[:2]:
        row.note("left behind: %s" % h.shown(path, ctx.work))
    for path in h.kit_leftovers(ctx.temp):
        row.note("the kit's Linux 7zz wrote a name Windows cannot see (not counted): %s" %
                 h.shown(path, ctx.work))


CLASSES.append(("bad-input", bad_input))


def utf16_units(text):
    return len(text.encode("utf-16-le")) // 2


def awkward_names(run):
    """Copies of samples under awkward names; returns [(relative path, sample, argument or None)].
    An argument is given for a path only the "\\\\?\\" form can reach."""
    cases = [
        ("写真-漢字.png", "photo-like.png"),
        ("😀 smile 🎉.jpg", "camera.jpg"),
        ("Cafe\u0301 re\u0301sume\u0301.txt.gz", "log.txt.gz"),
        ("Ω≈ç √∫ 한국어.flac", "tone.flac"),
        (" leading blank.png", "transparent.png"),
        ("trailing blank .gif", "animation.gif"),
        ("trailing blank.png ", "grayscale.png"),
        ("trailing dot.png.", "palette.png"),
    ]
    prefix_units = utf16_units(h.windows_path(run)) + 1
    # One folder deep enough that the file's path ends a few units short of 260, one past it.
    for target, sample, name in ((255, "photo-like.png", "near 260.png"), (300, "camera.jpg", "past 260.jpg")):
        folders = []
        room = target - prefix_units - utf16_units(name)
        while room > 0:
            part = min(room - 1, 60) if room > 61 else room - 1
            if part <= 0:
                break
            folders.append("d" * part)
            room -= part + 1
        relative = "/".join(folders + [name])
        cases.append((relative, sample))
    result = []
    for relative, sample in cases:
        path = os.path.join(run, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        shutil.copyfile(os.path.join(h.SAMPLES, sample), path)
        units = utf16_units(h.windows_path(path))
        result.append((relative, sample, units))
    return result


def names(ctx, row):
    folder = ctx.folder("names")
    run = os.path.join(folder, "run")
    h.clear_folder(run)
    h.clear_folder(ctx.temp)
    cases = awkward_names(run)
    row.cases += len(cases)
    batch = h.Batch(ctx.build, folder, [run])
    code = batch.wait(RUN_LIMIT_S)
    if code is None:
        batch.kill()
        row.failures += 1
        row.note("VellBatch did not end within %d s; killed" % RUN_LIMIT_S)
    out, err = batch.output()
    lines = {fields[0]: fields for fields in h.lines_of(out)}
    for relative, sample, units in cases:
        windows = h.windows_path(os.path.join(run, relative))
        fields = lines.get(windows)
        ok = fields is not None and h.is_ok(fields[4])
        if not ok:
            row.failures += 1
            if fields is not None:
                row.visible += 1
                row.note("%r (%d units): %s" % (relative[-40:], units, fields[4]))
            else:
                row.note("%r (%d units): no line (skipped without a word)" % (relative[-40:], units))
        before = open(os.path.join(h.SAMPLES, sample), "rb").read()
        path = os.path.join(run, relative)
        row.checked += 1
        if not os.path.isfile(path):
            row.lost += 1
            row.note("%r: missing" % relative)
            continue
        after = open(path, "rb").read()
        same, how = (True, "") if before == after else h.verify_demo.same_content(sample, before, after)
        if not same:
            row.lost += 1
            row.note("%r: %s" % (relative, how))
    unknown = [p for p in lines if not any(h.windows_path(os.path.join(run, r)) == p for r, s, u in cases)]
    for p in unknown:
        row.note("a line for a path that is not there: %r" % p)
    left = h.leftovers(run, ctx.temp)
    row.leftovers += len(left)
    for path in left[:2]:
        row.note("left behind: %s" % h.shown(path, ctx.work))
    print("names: exit %s, %d lines" % (code, len(lines)), flush=True)


CLASSES.append(("names", names))


def mount_small(path, kilobytes):
    """A tmpfs of the given size at path; False when this machine does not allow it."""
    import subprocess
    os.makedirs(path, exist_ok=True)
    if os.geteuid() != 0:
        return False
    return subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dk" % kilobytes, "tmpfs", path],
                          capture_output=True).returncode == 0


def unmount(path):
    import subprocess
    subprocess.run(["umount", path], capture_output=True)


def fill(folder, keep_free):
    """Fills the file system of folder up to keep_free bytes."""
    stat = os.statvfs(folder)
    free = stat.f_bavail * stat.f_frsize
    with open(os.path.join(folder, "filler.bin"), "wb") as f:
        f.write(b"\0" * max(0, free - keep_free))


def full_disk(ctx, row):
    folder = ctx.folder("full-disk")
    run = os.path.join(folder, "run")
    # (what is full, free bytes left there)
    cases = [("temporary folder", 0), ("temporary folder", 64 << 10), ("target folder", 0),
             ("target folder", 16 << 10)]
    for what, free in cases:
        small = ctx.temp if what == "temporary folder" else run
        h.clear_folder(ctx.temp)
        shutil.rmtree(run, ignore_errors=True)
        if not mount_small(small, 2048):
            row.not_run = "cannot mount a tmpfs here (needs root and mount rights)"
            return
        try:
            h.fresh_copy_into(SAMPLE_NAMES, run)
            fill(small, free)
            row.cases += 1
            batch = h.Batch(ctx.build, folder, [run])
            code = batch.wait(RUN_LIMIT_S)
            if code is None:
                batch.kill()
                row.failures += 1
                row.note("%s full: VellBatch did not end within %d s; killed" % (what, RUN_LIMIT_S))
            out, err = batch.output()
            shown = set(fields[0] for fields in h.lines_of(out))
            for sample in SAMPLE_NAMES:
                if sample in NO_JOB_BY_DEFAULT:
                    continue
                if h.windows_path(os.path.join(run, sample)) not in shown:
                    row.failures += 1
                    row.note("%s full (%d bytes free): no line for %s" % (what, free, sample))
            for fields in h.lines_of(out):
                if not h.is_ok(fields[4]):
                    row.failures += 1
                    row.visible += 1
            checked, problems = h.check_files(h.SAMPLES, run, SAMPLE_NAMES)
            row.checked += checked
            row.lost += len(problems)
            for p in problems:
                row.note("%s full (%d bytes free): %s" % (what, free, p))
            left = [p for p in h.leftovers(run, ctx.temp) if not p.endswith("filler.bin")]
            row.leftovers += len(left)
            for path in left[:2]:
                row.note("%s full: left behind: %s" % (what, h.shown(path, ctx.work)))
            print("full disk, %s with %d bytes free: exit %s, %d lines, %d not OK" % (
                what, free, code, len(shown), sum(not h.is_ok(f[4]) for f in h.lines_of(out))), flush=True)
        finally:
            unmount(small)


CLASSES.append(("full-disk", full_disk))


import window_storms  # noqa: E402  the class lives in a file of its own

CLASSES.append(("window-storms", window_storms.window_storms))


# (sample, what happens to it while it waits, whether its job must fail)
CHANGES = [("photo-like.png", "deleted", True), ("transparent.png", "renamed", True),
           ("grayscale.png", "locked", True), ("palette.png", "made read-only", False),
           ("camera.jpg", "made hidden", False), ("rotated-6.jpg", "grown", False)]
GATE = "tone.flac"  # its tool holds the only worker while the others wait, analysed


def gated_tools(ctx):
    """The tools kit, with flac.exe replaced by the tool double taking its time."""
    folder = os.path.join(ctx.work, "gated-tools")
    shutil.rmtree(folder, ignore_errors=True)
    shutil.copytree(os.path.join(ctx.build, "dist", "tools"), folder)
    shutil.copyfile(os.path.join(ctx.build, "tests", "support", "tool_double", "tool_double.exe"),
                    os.path.join(folder, "flac.exe"))
    with open(os.path.join(folder, "flac.behavior"), "w") as f:
        f.write("sleep 40000\nexit 1\n")
    return folder


def start_locker(ctx, path):
    """A Windows process holding path open, shared with nobody, until it is killed."""
    import subprocess
    locker = os.path.join(ctx.work, "locker.exe")
    shutil.copyfile(os.path.join(ctx.build, "tests", "support", "tool_double", "tool_double.exe"), locker)
    with open(os.path.join(ctx.work, "locker.behavior"), "w") as f:
        f.write('lock "%s"\nhang\n' % h.windows_path(path))
    return subprocess.Popen(["wine", locker], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def changing_files(ctx, row):
    folder = ctx.folder("changing")
    run = os.path.join(folder, "run")
    originals = os.path.join(folder, "originals")
    names = [GATE] + [c[0] for c in CHANGES]
    h.fresh_copy(names, run)
    h.fresh_copy(names, originals)
    h.clear_folder(ctx.temp)
    tools = gated_tools(ctx)
    batch = h.Batch(ctx.build, folder, [os.path.join(run, GATE), run], tools=tools, threads=1)
    # Every job has its scratch folder from its analysis on; the gate's and the others'.
    deadline = time.monotonic() + 30
    while len(os.listdir(ctx.temp)) < len(names) and time.monotonic() < deadline:
        time.sleep(0.2)
    if len(os.listdir(ctx.temp)) < len(names):
        row.note("the files were not all analysed within 30 s; the changes may come first")
    locker = None
    for name, change, _ in CHANGES:
        path = os.path.join(run, name)
        if change == "deleted":
            os.remove(path)
        elif change == "renamed":
            os.rename(path, path + ".renamed")
        elif change == "locked":
            locker = start_locker(ctx, path)
        elif change == "made read-only":
            os.chmod(path, 0o444)
        elif change == "made hidden":
            os.setxattr(path, "user.DOSATTRIB", b"0x2")
        elif change == "grown":
            with open(path, "ab") as f:
                f.write(b"\0" * 4096)
            shutil.copyfile(path, os.path.join(originals, name))
    code = batch.wait(RUN_LIMIT_S)
    if code is None:
        batch.kill()
        row.failures += 1
        row.note("VellBatch did not end within %d s; killed" % RUN_LIMIT_S)
    if locker:
        locker.kill()
        locker.wait()
    out, err = batch.output()
    lines = {fields[0]: fields for fields in h.lines_of(out)}
    for name, change, must_fail in CHANGES:
        row.cases += 1
        row.checked += 1
        path = os.path.join(run, name)
        fields = lines.get(h.windows_path(path))
        failed = fields is None or not h.is_ok(fields[4])
        if fields is None:
            row.failures += 1
            row.note("%s %s: no line" % (name, change))
        elif failed or must_fail:
            row.failures += 1
            row.visible += failed
            if not failed:
                row.note("%s %s: %s" % (name, change, "\t".join(fields)))
        print("changing: %s %s: %s" % (name, change, fields[4] if fields else "no line"), flush=True)
        if change == "deleted":
            if os.path.exists(path):
                row.lost += 1
                row.note("%s: a deleted file came back" % name)
            continue
        kept = path + ".renamed" if change == "renamed" else path
        if change == "renamed" and os.path.exists(path):
            row.lost += 1
            row.note("%s: a renamed file's old name came back" % name)
        checked, problems = h.check_files(originals, os.path.dirname(kept), [os.path.basename(kept)]) \
            if change != "renamed" else (1, [] if open(kept, "rb").read() == open(
                os.path.join(originals, name), "rb").read() else [name + ": changed under its new name"])
        row.lost += len(problems)
        for p in problems:
            row.note("%s %s: %s" % (name, change, p))
    left = h.leftovers(run, ctx.temp)
    row.leftovers += len(left)
    for path in left[:2]:
        row.note("left behind: %s" % h.shown(path, ctx.work))


CLASSES.insert(len(CLASSES) - 1, ("changing-files", changing_files))
