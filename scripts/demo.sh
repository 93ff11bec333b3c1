#!/usr/bin/env bash
# Optimizes a fresh copy of the bundled samples for real, with VellBatch and the
# tools kit under Wine, and checks that every result holds the same content.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target vell_batch toolkit_dist vell_cfbf >/dev/null

demo=$build/demo
rm -rf "$demo/run" "$demo/originals"
mkdir -p "$demo"
cp -r "$top/samples/files" "$demo/originals"
cp -r "$top/samples/files" "$demo/run"

# A prefix of its own, so the demo runs with the default settings whatever the
# tests or a user stored elsewhere; ZIP and gzip files are switched from
# "ignore" to "optimize" so that every sample gets work.
export WINEPREFIX="$demo/wineprefix" WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Creating the Wine prefix for the demo (first run only) ..."
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w
fi
key='HKEY_CURRENT_USER\Software\Zarn’s Vell\Optimizer'
printf 'Windows Registry Editor Version 5.00\r\n\r\n[-%s]\r\n\r\n[%s]\r\n"zip_strategy"=dword:00000001\r\n"gzip_strategy"=dword:00000001\r\n' \
  "$key" "$key" | iconv -f UTF-8 -t UTF-16 > "$demo/settings.reg"
wine regedit /S "$(winepath -w "$demo/settings.reg")" >/dev/null 2>&1
wineserver -w

echo "== VellBatch"
status=0
wine "$build/dist/VellBatch.exe" "$(winepath -w "$demo/run")" > "$demo/batch.txt" 2>&1 || status=$?
cat "$demo/batch.txt"
wineserver -w
echo
echo "== Content checks"
/usr/bin/python3 "$top/scripts/verify_demo.py" "$demo/originals" "$demo/run"
exit $status
