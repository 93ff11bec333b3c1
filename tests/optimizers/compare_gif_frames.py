#!/usr/bin/env python3
"""Checks that every GIF the kit tests optimized shows exactly the frames of its sample.

Usage: compare_gif_frames.py SAMPLES_DIR RESULTS_DIR
Each RESULTS_DIR/NAME.gif is compared with SAMPLES_DIR/NAME.gif frame by frame,
as composed for display (disposal and transparency applied), with the delays.
Exit 77 (skipped) when the kit tests wrote no results.
"""
import os
import sys

from PIL import Image, ImageSequence

NAMES = ["one.gif", "anim.gif", "clear.gif"]


def frames(path):
    shown = []
    with Image.open(path) as image:
        for frame in ImageSequence.Iterator(image):
            rgba = frame.convert("RGBA")
            # The colour under a fully transparent pixel is not shown.
            pixels = [p if p[3] else (0, 0, 0, 0) for p in rgba.getdata()]
            shown.append((rgba.size, pixels, frame.info.get("duration", 0)))
    return shown


def main():
    samples, results = sys.argv[1], sys.argv[2]
    present = [n for n in NAMES if os.path.exists(os.path.join(results, n))]
    if not present:
        print("no optimized GIFs found in " + results + " (kit tests skipped?)")
        return 77
    failed = False
    for name in NAMES:
        result = os.path.join(results, name)
        if not os.path.exists(result):
            print(name + ": no result")
            failed = True
            continue
        before, after = frames(os.path.join(samples, name)), frames(result)
        if len(before) != len(after):
            print("%s: %d frames became %d" % (name, len(before), len(after)))
            failed = True
            continue
        for index, (a, b) in enumerate(zip(before, after)):
            if a != b:
                print("%s: frame %d differs" % (name, index))
                failed = True
        print("%s: %d frames, %d -> %d bytes" % (name, len(before), os.path.getsize(os.path.join(samples, name)),
                                                os.path.getsize(result)))
    return 1 if failed else 0


sys.exit(main())
