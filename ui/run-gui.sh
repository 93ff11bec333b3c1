#!/usr/bin/env bash
# Opens "Vell Optimizer.exe" under Wine with the tools kit from dist/. Without
# a display it runs on a virtual one (useful for screenshots only).
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
vell_build "$build" vell_optimizer toolkit_dist vell_cfbf
# A prefix of its own: the settings you choose here stay apart from the tests'.
vell_use_prefix "$build/gui-prefix"
run=()
[ -n "${DISPLAY:-}" ] || run=(xvfb-run -a)
exec "${run[@]}" wine "$build/dist/Vell Optimizer.exe"
