#!/usr/bin/env bash
# Configures, builds and runs the whole test suite under Wine.
# One wineserver stays up for the whole run; the prefix lives in the build tree.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
jobs=$(nproc)
mkdir -p "$build"
if ! cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" > "$build/configure.log" 2>&1; then
  cat "$build/configure.log"
  exit 1
fi
if ! cmake --build "$build" -j "$jobs" > "$build/build.log" 2>&1; then
  grep -v -E '^\[ *[0-9]+%\]' "$build/build.log" | tail -n 60
  echo "Build failed; the whole log is $build/build.log"
  exit 1
fi
grep -E 'warning:' "$build/build.log" | sort -u || true

export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Creating the Wine prefix for tests (first run only) ..."
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w
fi
wineserver -p 2>/dev/null || true   # already running is fine
trap 'wineserver -k 2>/dev/null || true' EXIT
cd "$build"
# GUI tests need a display; xvfb-run gives one when there is none.
run=()
[ -n "${DISPLAY:-}" ] || run=(xvfb-run -a)
"${run[@]}" ctest --output-on-failure -j "$jobs" ${CTEST_ARGS:-}
