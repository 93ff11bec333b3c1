#!/usr/bin/env bash
# Redraws docs/settings-pages.png: every settings page under its caption, as Wine draws
# it under a virtual display. Usage: make_pages_sheet.sh [build dir] (default: build)
set -e
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
cmake --build "$build" --target pages_sheet
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export VELL_WINEPREFIX="${VELL_WINEPREFIX:-$build/wineprefix}"
xvfb-run -a -s "-screen 0 1600x1200x24" "$root/scripts/wine-run.sh" \
  "$build/tests/ui/pages_sheet.exe" "Z:${work//\//\\}\\pages.bmp" >"$work/log.txt" 2>&1
# Debian's interpreter, which has PIL (the one first on PATH may not).
/usr/bin/python3 - "$work/pages.bmp" "$root/docs/settings-pages.png" <<'PY'
import sys
from PIL import Image
Image.open(sys.argv[1]).convert("RGB").save(sys.argv[2], optimize=True)
PY
echo "wrote $root/docs/settings-pages.png"
