#!/usr/bin/env bash
# Runs inside xvfb-run for screenshot.sh: starts the window in a Wine virtual
# desktop (which draws the frame), waits until every job has ended, captures.
set -euo pipefail
desktop=1100x580
tools=$(winepath -w "$VELL_SHOT_TOOLS")\\
ready=$(winepath -w "$VELL_SHOT_WORK/ready")
files=$(winepath -w "$VELL_SHOT_WORK/files")
wine explorer /desktop=vell,$desktop "$VELL_SHOT_EXE" "$tools" "$ready" "$files" >/dev/null 2>&1 &
for _ in $(seq 1 600); do
  [ -f "$VELL_SHOT_WORK/ready" ] && break
  sleep 0.5
done
[ -f "$VELL_SHOT_WORK/ready" ] || { echo "the jobs did not end" >&2; wineserver -k; exit 1; }
sleep 1
/usr/bin/python3 - "$VELL_SHOT_OUT" "$desktop" <<'PY'
import os, sys
from PIL import ImageGrab
width, height = (int(v) for v in sys.argv[2].split("x"))
shot = ImageGrab.grab(xdisplay=os.environ["DISPLAY"]).crop((0, 0, width, height))
shot.convert("RGB").save(sys.argv[1], optimize=True)
PY
wineserver -k
