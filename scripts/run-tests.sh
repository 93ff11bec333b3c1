#!/usr/bin/env bash
# Configures, builds and runs the whole test suite under Wine.
# One wineserver stays up for the whole run; the prefix lives in the build tree.
set -euo pipefail
source "$(dirname "$0")/common.sh"
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
jobs=$(nproc)
vell_build "$build"
grep -E 'warning:' "$build/build.log" | sort -u || true

vell_use_prefix "$build/wineprefix"
wineserver -p 2>/dev/null || true   # already running is fine
trap 'wineserver -k 2>/dev/null || true' EXIT
cd "$build"
# GUI tests need a display; xvfb-run gives one when there is none.
run=()
[ -n "${DISPLAY:-}" ] || run=(xvfb-run -a)
"${run[@]}" ctest --output-on-failure -j "$jobs" ${CTEST_ARGS:-}
