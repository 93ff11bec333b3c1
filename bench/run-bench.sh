#!/usr/bin/env bash
# Builds VellBatch, the tool double and the benchmarks, then runs them under a
# Wine prefix of their own so that no one's settings change.
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
files=${BENCH_FILES:-1000}
vell_build "$build" vell_batch tool_double vell_bench vell_bench_demo vell_bench_choosing toolkit_dist vell_cfbf

vell_use_prefix "$build/bench/wineprefix"
double=$(find "$build/tests/support/tool_double" -maxdepth 1 -name 'tool_double.exe' | head -n 1)
wine "$build/bench/vell_bench.exe" "$(winepath -w "$build/dist/VellBatch.exe")" \
  "$(winepath -w "$double")" "$files"
wineserver -w

# Time spent choosing as a container grows tenfold; BENCH_QUICK=1 for smaller containers.
echo
wine "$build/bench/vell_bench_choosing.exe" "$(winepath -w "$double")"
wineserver -w

# The demo set with verification off and on; BENCH_DEMO_ROUNDS=N for more or fewer rounds.
echo
wine "$build/bench/vell_bench_demo.exe" "$(winepath -w "$build/dist/VellBatch.exe")" \
  "$(winepath -w "$build/dist/tools")" "$(winepath -w "$top/samples/files")" "${BENCH_DEMO_ROUNDS:-3}"
wineserver -w

# P5 memory and the window: private bytes per listed job and the longest time the
# real window leaves a WM_NULL unanswered, while 100,000 files are added and while
# a ZIP of 20,000 entries finishes (BENCH_QUICK=1: 10,000 and 2,000). Every tool
# is the no-op double; the window needs a display, so it runs under xvfb-run. The
# window keeps its settings in a prefix of its own; the files stay for the next run.
echo
vell_build "$build" vell_optimizer tool_double vell_bench_window
p5_prefix_before=${WINEPREFIX:-}
vell_use_prefix "$build/bench/window-prefix"
if [ "${BENCH_QUICK:-0}" = 1 ]; then p5_files=10000 p5_entries=2000; else p5_files=100000 p5_entries=20000; fi
p5_double=$(find "$build/tests/support/tool_double" -maxdepth 1 -name 'tool_double.exe' | head -n 1)
p5_work=$build/bench/window-work
mkdir -p "$p5_work"
p5_run=()
[ -n "${DISPLAY:-}" ] || p5_run=(xvfb-run -a)
"${p5_run[@]}" wine "$build/bench/vell_bench_window.exe" "$(winepath -w "$build/dist/Vell Optimizer.exe")" \
  "$(winepath -w "$p5_double")" "$(winepath -w "$p5_work")" "${BENCH_P5_FILES:-$p5_files}" \
  "${BENCH_P5_ENTRIES:-$p5_entries}"
wineserver -w
[ -z "$p5_prefix_before" ] || export WINEPREFIX=$p5_prefix_before
