"""Running VellBatch under Wine and checking what it left: shared by every fault class."""
import os, shutil, signal, subprocess, sys, time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOP, "scripts"))
import verify_demo  # noqa: E402  the demo's content check

SAMPLES = os.path.join(TOP, "samples", "files")
# Names that say a run left something behind beside a file.
LEFTOVER_MARKS = (".vell~",)


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def batch_environment():
    """The kit's tools compress with the least effort (VELL_KIT_QUICK, toolkit/README.md):
    these runs test kills and cancels, not compression. FAULTS_KIT_QUICK=0 turns it off."""
    env = dict(os.environ)
    if os.environ.get("FAULTS_KIT_QUICK", "1") != "0":
        env["VELL_KIT_QUICK"] = "1"
    return env


class Batch:
    """One VellBatch process; its output goes to files, because a tool's console
    helper outliving a killed run could keep a pipe open."""

    def __init__(self, build, work, args, tools=None, threads=None):
        self.out_path = os.path.join(work, "batch.out")
        self.err_path = os.path.join(work, "batch.err")
        command = ["wine", os.path.join(build, "dist", "VellBatch.exe")]
        if tools:
            command += ["--tools", windows_path(tools)]
        if threads:
            command += ["-j", str(threads)]
        command += ["--"] + [windows_path(a) for a in args]
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.process = subprocess.Popen(command, stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                                            env=batch_environment())
        self.started = time.monotonic()
        self.code = None

    def wait(self, timeout):
        try:
            self.code = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        return self.code

    def signal(self, number):
        """True when the signal reached a running process."""
        if self.process.poll() is not None:
            return False
        try:
            os.kill(self.process.pid, number)
        except ProcessLookupError:
            return False
        return True

    def kill(self):
        self.signal(signal.SIGKILL)
        self.process.wait()

    def output(self):
        with open(self.out_path, "rb") as f:
            out = f.read().decode("utf-8", "replace")
        with open(self.err_path, "rb") as f:
            err = f.read().decode("utf-8", "replace")
        return out, err


def lines_of(out):
    """The job lines: path, size, result, action, status."""
    rows = []
    for line in out.replace("\r", "").split("\n"):
        fields = line.split("\t")
        if len(fields) == 5:
            rows.append(fields)
    return rows


def total_line(out):
    for line in out.replace("\r", "").split("\n"):
        if line.startswith("Total: "):
            return line
    return None


def is_ok(status):
    return status == "OK" or status.startswith("OK (")


# What a run says of a file it rightly leaves alone: stamped by an earlier run, or of
# a kind the settings do not optimize.
RIGHTLY_SKIPPED = ("already optimized", "no action for this kind")


def is_failure(status):
    return not is_ok(status) and status not in RIGHTLY_SKIPPED


def fresh_copy(names, folder, source=SAMPLES):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name in names:
        shutil.copyfile(os.path.join(source, name), os.path.join(folder, name))


def check_files(originals, folder, names=None):
    """(checked, [problems]): every file byte-identical to its original or of the same content."""
    problems = []
    names = names if names is not None else sorted(os.listdir(originals))
    for name in names:
        before = open(os.path.join(originals, name), "rb").read()
        path = os.path.join(folder, name)
        if not os.path.isfile(path):
            problems.append(name + ": missing")
            continue
        after = open(path, "rb").read()
        if before == after:
            continue
        try:
            same, how = verify_demo.same_content(name, before, after)
        except Exception as error:  # a result the check cannot read is not the same content
            same, how = False, "cannot compare: %s" % error
        if not same:
            problems.append(name + ": " + how)
    return len(names), problems


# Characters no Windows name can hold; Wine does not show a Linux file named with one.
NOT_IN_WINDOWS_NAMES = set('\\:*?"<>|')


def only_unseen_files(path):
    """True when the folder holds files and every one has a name no Windows program can
    see: the kit's Linux 7zz keeps a backslash in an entry name as a character (Windows'
    7-Zip takes it as a separator), so the program cannot remove what it wrote. The owner
    marker stays beside them: a removal that cannot finish keeps it."""
    names = [n for root, _, files in os.walk(path) for n in files
             if not (root == path and n == "owner.vell")]
    return bool(names) and all(NOT_IN_WINDOWS_NAMES & set(n) for n in names)


def kit_leftovers(temp):
    """Scratch folders that stay only because of files the Windows side cannot see."""
    if not os.path.isdir(temp):
        return []
    return [os.path.join(temp, n) for n in sorted(os.listdir(temp)) if only_unseen_files(os.path.join(temp, n))]


def leftovers(folder, temp):
    """What a run left behind: marked siblings below folder and scratch folders in temp
    (those of kit_leftovers apart)."""
    found = []
    for root, dirs, files in os.walk(folder):
        for name in files + dirs:
            if any(mark in name for mark in LEFTOVER_MARKS):
                found.append(os.path.join(root, name))
    if os.path.isdir(temp):
        unseen = set(kit_leftovers(temp))
        found += [os.path.join(temp, n) for n in sorted(os.listdir(temp)) if os.path.join(temp, n) not in unseen]
    return found


def shown(path, work):
    """A leftover's path below the work folder, with what a folder holds: whether its
    owner marker stayed tells which removal it escaped."""
    text = os.path.relpath(path, work)
    if os.path.isdir(path):
        names = sorted(os.listdir(path))
        text += " [%s]" % (", ".join(names[:4]) + (", …" if len(names) > 4 else "") if names else "empty")
    return text


def clear_folder(folder):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)


def tool_processes(markers):
    """Processes (not Wine's own server, not the programs under test) whose command line names one of
    the markers or that work in a folder below one of them."""
    found = []
    lowered = [m.lower() for m in markers]
    for pid in os.listdir("/proc"):
        if not pid.isdigit() or int(pid) == os.getpid():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                line = f.read().replace(b"\0", b" ").decode("utf-8", "replace")
            where = os.readlink("/proc/%s/cwd" % pid)
        except OSError:
            continue
        # Wine's own services of the prefix live as long as its server.
        if ("wineserver" in line or "VellBatch.exe" in line or "faults.py" in line or
                "Vell Optimizer.exe" in line or "window_driver.exe" in line or
                line.lower().startswith("c:\\windows\\") or "/wineprefix" in where):
            continue
        if any(m in line.lower() for m in lowered) or any((where + "/").startswith(m) for m in markers):
            found.append((int(pid), line.strip()))
    return found


def wait_for_no_tools(markers, seconds):
    deadline = time.monotonic() + seconds
    while True:
        found = tool_processes(markers)
        if not found or time.monotonic() > deadline:
            return found
        time.sleep(0.2)


def end_processes(found):
    for pid, _ in found:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def fresh_copy_into(names, folder, source=SAMPLES):
    """Like fresh_copy, for a folder that may be a mount point of its own."""
    os.makedirs(folder, exist_ok=True)
    for name in os.listdir(folder):
        path = os.path.join(folder, name)
        shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
    for name in names:
        shutil.copyfile(os.path.join(source, name), os.path.join(folder, name))


def read_or_none(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def is_windows_process(command_line):
    """Wine shows a Windows program's command line with its DOS path first."""
    return len(command_line) > 2 and command_line[1:3] == ":\\"


def end_stray_tools(markers, seconds, row, label, outlived):
    """Ends the run's tools still running after the given seconds; each Windows one is a
    failure of the row. The kit starts the Linux tool beside its Windows shim and ending
    the shim cannot end it: that is the kit's limit, not the program's, and only noted."""
    stray = wait_for_no_tools(markers, seconds)
    windows = [p for p in stray if is_windows_process(p[1])]
    if windows:
        row.failures += 1
        row.note("%s: %d tool process(es) outlived %s: %s" % (label, len(windows), outlived, windows[0][1][:120]))
    if len(stray) > len(windows):
        row.note("%s: the kit's Linux tool outlived its ended shim (a limit of the kit): %s" % (
            label, [p for p in stray if p not in windows][0][1][:80]))
    end_processes(stray)
