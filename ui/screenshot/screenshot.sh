#!/usr/bin/env bash
# Saves docs/screenshot.png: the main window after it optimized a copy of the
# bundled samples with the tools kit, under Wine on a virtual X display.
set -euo pipefail
source "$(dirname "$0")/../../scripts/common.sh"
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$top/build}
vell_build "$build" vell_screenshot toolkit_dist vell_cfbf

work=$build/screenshot
rm -rf "$work/files" "$work/ready"
mkdir -p "$work"
cp -r "$top/samples/files" "$work/files"
# A prefix of its own, so the window shows the default settings.
vell_use_prefix "$work/wineprefix"
# Wine's Tahoma has no thin space (U+2009); glyphs it lacks come from DejaVu Sans,
# as Windows' own font linking would supply them.
link='HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink'
printf 'Windows Registry Editor Version 5.00\r\n\r\n[%s]\r\n"Tahoma"=hex(7):%s\r\n' "$link" \
  "$(printf 'DejaVuSans.ttf,DejaVu Sans\0\0' | iconv -f UTF-8 -t UTF-16LE | od -An -tx1 -v | tr -s ' \n' ',' | sed 's/^,//;s/,$//')" \
  | iconv -f UTF-8 -t UTF-16 > "$work/fontlink.reg"
wine regedit /S "$(winepath -w "$work/fontlink.reg")" >/dev/null 2>&1
wineserver -w
export VELL_SHOT_EXE="$build/ui/vell_screenshot.exe" VELL_SHOT_WORK="$work" VELL_SHOT_TOOLS="$build/dist/tools"
export VELL_SHOT_OUT="$top/docs/screenshot.png"
mkdir -p "$top/docs"
xvfb-run -a -s "-screen 0 1280x800x24" "$top/ui/screenshot/capture.sh"
echo "Saved $VELL_SHOT_OUT"
