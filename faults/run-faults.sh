#!/usr/bin/env bash
# Fault injection: drives VellBatch (and the window) through kills, cancels,
# misbehaving tools, bad input and awkward names, and prints one table.
#   run-faults.sh [BUILD_DIR]     FAULTS_N rounds per random class (default 200),
#   FAULTS_CLASSES="kills ctrlc"  to run only some classes.
# Exits non-zero when a file was lost or corrupted, a failure went unreported,
# or something was left behind.
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-${BUILD_DIR:-$top/build}}" 2>/dev/null && pwd || echo "${1:-$top/build}")
# The test suite has built everything already.
[ -n "${FAULTS_NO_BUILD:-}" ] || vell_build "$build" vell_batch toolkit_dist vell_cfbf tool_double vell_optimizer window_driver
work=${FAULTS_WORK:-$build/faults}
mkdir -p "$work/temp"

# The demo's settings, with the scratch folders in a folder of the run's own so
# that what is left behind can be counted.
vell_use_demo_prefix "$work/wineprefix"
temp_windows=$(printf 'Z:%s\\' "$work/temp" | tr '/' '\\')
key='HKEY_CURRENT_USER\Software\Zarn’s Vell\Optimizer'
printf 'Windows Registry Editor Version 5.00\r\n\r\n[%s]\r\n"general_tempPath"="%s"\r\n' \
  "$key" "${temp_windows//\\/\\\\}" | iconv -f UTF-8 -t UTF-16 > "$work/temp.reg"
wine regedit /S "$(winepath -w "$work/temp.reg")" >/dev/null 2>&1
wineserver -w
wineserver -p 2>/dev/null || true
trap 'wineserver -k 2>/dev/null || true' EXIT
# The window storms need a display; in CI (as root, no display) xvfb-run gives one.
run=()
[ -n "${DISPLAY:-}" ] || run=(xvfb-run -a)
"${run[@]}" /usr/bin/python3 "$top/faults/faults.py" "$build" "$work"
