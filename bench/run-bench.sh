#!/usr/bin/env bash
# Builds VellBatch, the tool double and the benchmark, then runs the benchmark
# under a Wine prefix of its own so that no one's settings change.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
files=${BENCH_FILES:-1000}
cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target vell_batch tool_double vell_bench >/dev/null

export WINEPREFIX="$build/bench/wineprefix" WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Creating the Wine prefix for the benchmark (first run only) ..."
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w
fi
double=$(find "$build/tests/support/tool_double" -maxdepth 1 -name 'tool_double.exe' | head -n 1)
wine "$build/bench/vell_bench.exe" "$(winepath -w "$build/dist/VellBatch.exe")" \
  "$(winepath -w "$double")" "$files"
wineserver -w
