#!/usr/bin/env bash
# The unpacked release runs the samples with no tools kit: VellBatch.exe from the
# zip starts the real Windows tools from its own tools folder through
# CreateProcess, as on Windows, in a Wine prefix of its own with the demo's
# settings. Samples whose pipelines the bundled tools cover must come out smaller
# with equal content; every other sample must fail with the missing-tool line
# and stay byte for byte as it was.
set -euo pipefail
source "$(dirname "$0")/../../scripts/common.sh"
build=$1
program=$build/tests/release/program
work=$build/tests/release/batch
if [ ! -f "$program/VellBatch.exe" ]; then
  echo "FAILED: $program holds no unpacked release (release_zip unpacks it)"
  exit 1
fi
rm -rf "$work/run" "$work/originals"
mkdir -p "$work"
cp -r "$VELL_TOP/samples/files" "$work/originals"
cp -r "$VELL_TOP/samples/files" "$work/run"

vell_use_demo_prefix "$work/wineprefix"
status=0
wine "$program/VellBatch.exe" "$(winepath -w "$work/run")" > "$work/batch.txt" 2>&1 || status=$?
wineserver -w
cat "$work/batch.txt"
echo "VellBatch exit code: $status"
echo
/usr/bin/python3 "$VELL_TOP/scripts/verify_demo.py" "$work/originals" "$work/run"
echo
/usr/bin/python3 - "$work/originals" "$work/run" "$work/batch.txt" <<'PY'
import os, sys
originals, results, batch = sys.argv[1:4]
# Sample -> the action its content gives it, and what must come of it: "smaller"
# or "kept" when the bundled tools cover its whole pipeline ("kept": the tools
# find nothing to gain), else the first tool it needs that the release does not
# bundle, or "content" when tools are missing for the files inside it. Office and
# EPUB files are told apart by 7z.exe, animated GIFs by Gifsicle.exe; a GIF that
# reaches flexiGIF.exe has passed Gifsicle.exe's optimization.
EXPECTED = {
    "tone.flac": ("optimize FLAC", "smaller"),
    "storage.cfb": ("optimize CFBF", "kept"),
    "grayscale.png": ("optimize PNG", "ECT_x64.exe"),
    "palette.png": ("optimize PNG", "ECT_x64.exe"),
    "photo-like.png": ("optimize PNG", "ECT_x64.exe"),
    "transparent.png": ("optimize PNG", "ECT_x64.exe"),
    "camera.jpg": ("optimize JPEG", "Perl\\perl.exe"),
    "rotated-6.jpg": ("optimize JPEG", "Perl\\perl.exe"),
    "animation.gif": ("optimize GIF", "flexiGIF.exe"),
    "log.txt.gz": ("optimize gzip", "ECT_x64.exe"),
    "bundle.zip": ("optimize ZIP", "Leanify.exe"),
    "report.docx": ("optimize Office Open XML", "content"),
    "book.epub": ("optimize EPUB", "content"),
}
statuses = {}
contents = []
for line in open(batch, encoding="utf-8", errors="replace"):
    fields = line.rstrip("\r\n").split("\t")
    if len(fields) != 5:
        continue
    # Files inside an archive have lines of their own ("archive > inner\path"):
    # they have no original on the disk, only a status.
    if " > " in fields[0]:
        contents.append((fields[0], fields[3], fields[4]))
        continue
    statuses[os.path.basename(fields[0].replace("\\", "/"))] = (fields[3], fields[4])
failures = 0
def is_ok(status):
    # The check of the result adds what it found: "OK (verified)", "OK (not verified)".
    return status == "OK" or status.startswith("OK (")
def fail(name, why):
    global failures
    failures += 1
    print("FAILED: %s: %s" % (name, why))
for name, (action, outcome) in sorted(EXPECTED.items()):
    before = open(os.path.join(originals, name), "rb").read()
    after = open(os.path.join(results, name), "rb").read()
    if name not in statuses:
        fail(name, "no line in VellBatch's output")
        continue
    got_action, status = statuses[name]
    if got_action != action:
        fail(name, "expected the action %r, got %r" % (action, got_action))
    if outcome == "smaller":
        if not is_ok(status) or not len(after) < len(before):
            fail(name, "expected OK and a smaller file, got %r, %d -> %d bytes" % (status, len(before), len(after)))
        continue
    if outcome == "kept":
        if not is_ok(status) or len(after) > len(before):
            fail(name, "expected OK and no larger file, got %r, %d -> %d bytes" % (status, len(before), len(after)))
        continue
    if after != before:
        fail(name, "failed job changed the file")
    if outcome == "content":
        expected = "failed (content failure)"
    else:
        expected = "ERROR: cannot launch tools\\%s (not found)" % outcome
    if status != expected:
        fail(name, "expected the status %r, got %r" % (expected, status))
# Samples the table does not know yet: done (their content was checked above), or
# failed for a missing tool and untouched.
for name in sorted(set(statuses) - set(EXPECTED)):
    action, status = statuses[name]
    print("NOTE: %s (%s) is not in the table; %r" % (name, action, status))
    if is_ok(status) or status == "no action for this kind":
        continue
    if not (status.startswith("ERROR: cannot launch tools\\") or status == "failed (content failure)"):
        fail(name, "failed for another reason than a missing tool: %r" % status)
    if open(os.path.join(originals, name), "rb").read() != open(os.path.join(results, name), "rb").read():
        fail(name, "failed job changed the file")
# Content of archives: done, or failed for a missing tool.
for path, action, status in contents:
    if not (is_ok(status) or status.startswith("ERROR: cannot launch") or status == "no action for this kind"):
        fail(path, "failed for another reason than a missing tool: %r" % status)
print("release run without the tools kit:", "passed" if not failures else "%d FAILED" % failures)
sys.exit(1 if failures else 0)
PY
