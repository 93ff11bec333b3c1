#!/usr/bin/env bash
# Opens "Vell Optimizer.exe" under Wine with the tools kit from dist/. Without
# a display it runs on a virtual one (useful for screenshots only).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target vell_optimizer toolkit_dist vell_cfbf >/dev/null
# A prefix of its own: the settings you choose here stay apart from the tests'.
export WINEPREFIX="$build/gui-prefix" WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Creating the Wine prefix for the window (first run only) ..."
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w
fi
run=()
[ -n "${DISPLAY:-}" ] || run=(xvfb-run -a)
exec "${run[@]}" wine "$build/dist/Vell Optimizer.exe"
