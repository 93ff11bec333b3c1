"""window-storms: the real window is given a folder of samples and, while it works,
cancels of running jobs and containers and worker counts from 0 to 8 at random
moments, through window_driver.exe, which acts on the window from outside."""
import os, random, subprocess, time

import harness as h

CONTAINER_ACTIONS = ("optimize ZIP", "optimize ZIP-like", "optimize Office Open XML", "optimize Open Document",
                     "optimize EPUB")
NO_JOB_BY_DEFAULT = {"drawing.svg"}
STORM_EVENTS = (6, 14)  # events a round, at random moments
STORM_GAP_S = (0.2, 3.0)  # between two events
SETTLE_LIMIT_S = 600  # the jobs left after the storm end well within this
CLOSE_LIMIT_S = 30  # WM_CLOSE to the end of the process
MAX_COUNT = 8
FINAL = ("OK", "canceled")


class Driver:
    """window_driver.exe, one command a line; None from a command the driver could not carry out."""

    def __init__(self, build):
        exe = os.path.join(build, "tests", "e2e", "window_driver.exe")
        self.process = subprocess.Popen(["wine", exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL)
        self.error = None

    def command(self, *fields, extra=lambda head: 0):
        line = "\t".join(str(f) for f in fields) + "\n"
        try:
            self.process.stdin.write(line.encode("utf-8"))
            self.process.stdin.flush()
            head = self.process.stdout.readline().decode("utf-8", "replace").rstrip("\r\n")
        except (BrokenPipeError, OSError) as error:
            self.error = "the driver ended: %s" % error
            return None
        if not head.startswith("ok"):
            self.error = "%s: %s" % (fields[0], head or "the driver ended")
            return None
        lines = [self.process.stdout.readline().decode("utf-8", "replace").rstrip("\r\n")
                 for _ in range(extra(head))]
        return head, lines

    def rows(self):
        got = self.command("rows", extra=lambda head: int(head.split()[1]))
        return None if got is None else [line.split("\t") for line in got[1]]

    def status(self):
        got = self.command("status", extra=lambda head: 1)
        return None if got is None else got[1][0]

    def end(self):
        try:
            self.process.stdin.close()
        except OSError:
            pass
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def running(row):
    return row[2] == "\u2026"


def unended(row):
    """A row whose job is pending, running or waiting for its content."""
    return row[4] == "pending" or running(row) or row[4].startswith("waiting for content")


def storm_event(driver, notes):
    """One worker count, or a cancel of running jobs or unfinished containers;
    False when the window did not answer."""
    if random.random() < 0.5:
        count = random.randint(0, MAX_COUNT)
        notes.append("workers %d" % count)
        return driver.command("workers", count) is not None
    rows = driver.rows()
    if rows is None:
        return False
    # Now and then two at once, as a user selects two rows.
    choices = [i for i, r in enumerate(rows) if running(r) or (r[3] in CONTAINER_ACTIONS and r[4] not in FINAL)]
    if not choices:
        return True
    picked = random.sample(choices, min(len(choices), random.choice((1, 1, 2))))
    notes.append("cancel %s" % ",".join(rows[i][0] for i in picked))
    return driver.command("cancel", *picked) is not None


def storm(driver, run, names, notes):
    """The files added one by one in a random order, and storm events at random
    moments among and after the additions; False when the window did not answer."""
    steps = [("add", n) for n in random.sample(names, len(names))]
    for _ in range(random.randint(*STORM_EVENTS)):
        steps.insert(random.randint(1, len(steps)), ("event", None))
    for kind, name in steps:
        if kind == "add":
            if driver.command("add-file", h.windows_path(os.path.join(run, name))) is None:
                return False
            continue
        time.sleep(random.uniform(*STORM_GAP_S))
        if not storm_event(driver, notes):
            return False
    return True


def settle(driver, limit):
    """Waits until the status line says the window is idle and no row is unended;
    returns (rows, seconds) or (rows, None) when the limit passed."""
    started = time.monotonic()
    while True:
        status = driver.status()
        rows = driver.rows()
        if status is None or rows is None:
            return rows, None
        if status == " Paused." and not any(unended(r) for r in rows):
            return rows, time.monotonic() - started
        if time.monotonic() - started > limit:
            return rows, None
        time.sleep(1)


def window_round(ctx, row, folder, run, names, label):
    h.fresh_copy(names, run)
    h.clear_folder(ctx.temp)
    exe = os.path.join(ctx.build, "dist", "Vell Optimizer.exe")
    window = subprocess.Popen(["wine", exe], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    driver = Driver(ctx.build)
    notes = []
    row.cases += 1
    try:
        if driver.command("find", 120000) is None:
            row.failures += 1
            row.note("%s: %s" % (label, driver.error))
            return
        count = random.randint(0, MAX_COUNT)
        notes.append("workers %d" % count)
        if driver.command("workers", count) is not None:
            storm(driver, run, names, notes)
        # The storm ends with workers at work, so that every job left can end.
        count = random.randint(1, MAX_COUNT)
        if driver.error is None:
            notes.append("workers %d" % count)
            driver.command("workers", count)
        if driver.error is not None:
            row.failures += 1
            row.note("%s: the window stopped answering: %s (%s)" % (label, driver.error, "; ".join(notes)))
            return
        rows, settled = settle(driver, SETTLE_LIMIT_S)
        if rows is None:
            row.failures += 1
            row.note("%s: the window stopped answering while settling: %s" % (label, driver.error))
            return
        account_rows(row, rows, names, label, settled, notes)
        if driver.command("close") is None:
            row.failures += 1
            row.note("%s: %s" % (label, driver.error))
    finally:
        closed = close_window(ctx, row, window, label)
        driver.end()
    check_round(ctx, row, run, names, label, closed)
    print("window-storms %s: %s; %d lost, %d/%d visible, %d leftovers" % (
        label, "; ".join(notes), row.lost, row.visible, row.failures, row.leftovers), flush=True)


def account_rows(row, rows, names, label, settled, notes):
    """Every job must have ended, and every job that did not end "OK" must say so."""
    tops = [r for r in rows if r[0] in names]
    wanted = [n for n in names if n not in NO_JOB_BY_DEFAULT]
    missing = [n for n in wanted if n not in [r[0] for r in tops]]
    for name in missing:
        row.failures += 1
        row.note("%s: no row for %s" % (label, name))
    for index, cells in enumerate(rows):
        if unended(cells):
            row.failures += 1
            row.note("%s: row %d (%s, %s) did not end within %d s of the storm (%s; %s)" % (
                label, index, cells[0], cells[4], SETTLE_LIMIT_S, "; ".join(notes), cells[2]))
        elif cells[4] != "OK":
            # Ended without "OK": canceled, or a failure its row states.
            row.failures += 1
            row.visible += 1
        elif cells[2] == "-":
            row.failures += 1
            row.note("%s: row %d (%s) says OK with no size" % (label, index, cells[0]))
    if settled is not None:
        print("window-storms %s: the jobs left ended %.1f s after the storm" % (label, settled), flush=True)


def close_window(ctx, row, window, label):
    """WM_CLOSE was posted: the process must end with 0 within seconds, and no tool may outlive it."""
    started = time.monotonic()
    try:
        code = window.wait(CLOSE_LIMIT_S)
    except subprocess.TimeoutExpired:
        code = None
    if code is None:
        row.failures += 1
        row.note("%s: the window's process still ran %d s after WM_CLOSE; killed" % (label, CLOSE_LIMIT_S))
        window.kill()
        window.wait()
    elif code != 0:
        row.failures += 1
        row.note("%s: the window's process ended with %s" % (label, code))
    else:
        print("window-storms %s: closed in %.1f s" % (label, time.monotonic() - started), flush=True)
    h.end_stray_tools(ctx.markers, 5, row, label, "the window")
    return code == 0


def check_round(ctx, row, run, names, label, closed):
    checked, problems = h.check_files(h.SAMPLES, run, names)
    row.checked += checked
    row.lost += len(problems)
    for p in problems:
        row.note("%s: %s" % (label, p))
    left = h.leftovers(run, ctx.temp)
    row.leftovers += len(left)
    for path in left[:2]:
        row.note("%s: left behind%s: %s" % (label, "" if closed else " (the window was killed)",
                                            h.shown(path, ctx.work)))


def window_storms(ctx, row):
    if not os.environ.get("DISPLAY"):
        row.not_run = "no display (run-faults.sh starts one with xvfb-run)"
        return
    folder = ctx.folder("storms")
    run = os.path.join(folder, "run")
    names = sorted(os.listdir(h.SAMPLES))
    for round_number in range(ctx.n):
        if ctx.out_of_time(row, round_number):
            break
        window_round(ctx, row, folder, run, names, "round %d" % round_number)
