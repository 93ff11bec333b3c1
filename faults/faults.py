#!/usr/bin/python3
"""Fault injection: every class drives the real VellBatch through one kind of fault
and gives one row of the table.
Usage: faults.py BUILD_DIR WORK_DIR   (run-faults.sh prepares the Wine prefix)
FAULTS_N: rounds of the random classes (default 200); FAULTS_CLASSES: names to run;
FAULTS_SEED: the random seed (default: the time, printed); FAULTS_MINUTES: no round of a
random class starts after that many minutes (the row says how many ran)."""
import os, platform, random, signal, sys, time

import harness as h
import fault_classes

N = int(os.environ.get("FAULTS_N", "200"))
MINUTES = float(os.environ.get("FAULTS_MINUTES", "0"))


class Row:
    def __init__(self, name):
        self.name = name
        self.cases = 0
        self.checked = 0
        self.lost = 0
        self.failures = 0  # failures that had to be reported
        self.visible = 0  # of those, the ones VellBatch's line or exit code did report
        self.leftovers = 0
        self.notes = []
        self.not_run = None

    def note(self, text):
        print("  %s: %s" % (self.name, text), flush=True)
        if len(self.notes) < 40:
            self.notes.append(text)
        elif len(self.notes) == 40:
            self.notes.append("…")

    def passed(self):
        return self.not_run is None and self.lost == 0 and self.visible == self.failures and self.leftovers == 0


def print_table(rows, seconds):
    head = ("fault class", "cases", "files checked", "lost/corrupted", "failures visible", "leftovers")
    cells = []
    for r in rows:
        if r.not_run:
            cells.append((r.name, "not run", "-", "-", "-", "-"))
        else:
            cells.append((r.name, str(r.cases), str(r.checked), str(r.lost),
                          "%d/%d" % (r.visible, r.failures), str(r.leftovers)))
    widths = [max(len(c[i]) for c in cells + [head]) for i in range(len(head))]
    rule = "|" + "|".join("-" * (w + 2) for w in widths) + "|"
    print("| " + " | ".join(t.ljust(w) for t, w in zip(head, widths)) + " |")
    print(rule)
    for c in cells:
        print("| " + " | ".join(t.ljust(w) for t, w in zip(c, widths)) + " |")
    print()
    for r in rows:
        if r.not_run:
            print("%s: not run: %s" % (r.name, r.not_run))
        for text in r.notes:
            print("%s: %s" % (r.name, text))
    print("N=%d, %s, %s, %d s" % (N, time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
                                  platform.node() + " " + platform.machine(), seconds))


def main():
    build, work = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    seed = int(os.environ.get("FAULTS_SEED", str(int(time.time()))))
    random.seed(seed)
    print("faults: N=%d, seed %d" % (N, seed), flush=True)
    wanted = os.environ.get("FAULTS_CLASSES", "").split()
    deadline = time.monotonic() + MINUTES * 60 if MINUTES > 0 else None
    context = fault_classes.Context(build, work, N, deadline)
    rows = []
    started = time.monotonic()
    for name, run in fault_classes.CLASSES:
        row = Row(name)
        if wanted and name not in wanted:
            row.not_run = "not selected (FAULTS_CLASSES)"
        else:
            print("== %s" % name, flush=True)
            run(context, row)
            print("-- %s: %d cases, %d files checked, %d lost, %d/%d visible, %d leftovers" % (
                name, row.cases, row.checked, row.lost, row.visible, row.failures, row.leftovers), flush=True)
        rows.append(row)
    print()
    print_table(rows, time.monotonic() - started)
    failed = [r.name for r in rows if r.not_run is None and not r.passed()]
    if failed:
        print("FAILED: " + ", ".join(failed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
