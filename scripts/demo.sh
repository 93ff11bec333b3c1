#!/usr/bin/env bash
# The README's demo: builds what it needs and optimizes the samples for real.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
mkdir -p "$build"
if ! cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=Release > "$build/configure.log" 2>&1; then
  cat "$build/configure.log"
  exit 1
fi
cmake --build "$build" -j "$(nproc)" --target vell_batch toolkit_dist vell_cfbf > "$build/demo-build.log" 2>&1 ||
  { tail -n 60 "$build/demo-build.log"; exit 1; }
exec "$top/scripts/optimize-samples.sh" "$build" "$build/demo"
