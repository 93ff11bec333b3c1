#!/usr/bin/env bash
# The performance dashboard: builds VellBatch, the tool double and the
# benchmarks, then prints each part in turn under Wine prefixes of their own,
# so that no one's settings change. Figures only; nothing here passes or fails.
#   make bench                 the full run
#   BENCH_QUICK=1 make bench   smaller sets, a few minutes
# See docs/BENCHMARKS.md for what each figure is compared against.
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
quick=${BENCH_QUICK:-0}
vell_build "$build" vell_batch tool_double vell_bench vell_bench_demo vell_bench_choosing vell_bench_analysis \
  toolkit_dist vell_cfbf

load() { cut -d' ' -f1-3 /proc/loadavg; }
section() { echo; echo "== $1 (load average $(load))"; }
vell_use_prefix "$build/bench/wineprefix"
echo "Vell Optimizer benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(wine --version 2>/dev/null)"
double=$(find "$build/tests/support/tool_double" -maxdepth 1 -name 'tool_double.exe' | head -n 1)

# ---- P1 analysis: files per second adding a tree (own executable).
section "P1 analysis"
# 10,000 files; BENCH_QUICK=1 for 2,000.
wine "$build/bench/vell_bench_analysis.exe"
wineserver -w

# ---- P2 scheduling: VellBatch with the no-op tool double against bare tool starts.
section "P2 scheduling"
if [ "$quick" = 1 ]; then p2_files=${BENCH_FILES:-30} p2_rounds=2; else p2_files=${BENCH_FILES:-300} p2_rounds=3; fi
wine "$build/bench/vell_bench.exe" "$(winepath -w "$build/dist/VellBatch.exe")" \
  "$(winepath -w "$double")" "$p2_files" "$p2_rounds"
wineserver -w

# ---- P3 scaling: the bundled samples with the real tools at one and two workers.
section "P3 scaling"
if [ "$quick" = 1 ]; then p3_copies=2 p3_pairs=1; else p3_copies=3 p3_pairs=2; fi
"$top/bench/scaling.sh" "$build" "$build/bench/scaling" "$p3_copies" "$p3_pairs"

# ---- P4 result: bytes saved per kind against the best single tool.
section "P4 result"
"$top/bench/result.sh" "$build" "$build/bench/result"

# ---- P5 memory and the window's stalls (own executable).
section "P5 memory and window"
# Private bytes per listed job and the longest time the real window leaves a
# WM_NULL unanswered, while 100,000 files are added and while a ZIP of 20,000
# entries finishes (BENCH_QUICK=1: 10,000 and 2,000). Every tool is the no-op
# double; the window needs a display, so it runs under xvfb-run, with settings
# in a prefix of its own.
vell_build "$build" vell_optimizer vell_bench_window
vell_use_prefix "$build/bench/window-prefix"
if [ "$quick" = 1 ]; then p5_files=10000 p5_entries=2000; else p5_files=100000 p5_entries=20000; fi
p5_work=$build/bench/window-work
mkdir -p "$p5_work"
p5_run=()
[ -n "${DISPLAY:-}" ] || p5_run=(xvfb-run -a)
"${p5_run[@]}" wine "$build/bench/vell_bench_window.exe" "$(winepath -w "$build/dist/Vell Optimizer.exe")" \
  "$(winepath -w "$double")" "$(winepath -w "$p5_work")" "${BENCH_P5_FILES:-$p5_files}" \
  "${BENCH_P5_ENTRIES:-$p5_entries}"
wineserver -w
# The list view's own share of a job's memory, at the same row count.
if [ "${BENCH_P5_FILES:-$p5_files}" -ge 5 ]; then
  vell_build "$build" vell_bench_listview
  "${p5_run[@]}" wine "$build/bench/vell_bench_listview.exe" "${BENCH_P5_FILES:-$p5_files}"
  wineserver -w
fi

# ---- Further figures.
vell_use_prefix "$build/bench/wineprefix"
# Time spent choosing as a container grows tenfold; BENCH_QUICK=1 for smaller containers.
section "Choosing under the job list lock"
wine "$build/bench/vell_bench_choosing.exe" "$(winepath -w "$double")"
wineserver -w

# The demo set with verification off and on; BENCH_DEMO_ROUNDS=N for more or fewer rounds.
if [ "$quick" != 1 ]; then
  section "Result verification on the demo set"
  wine "$build/bench/vell_bench_demo.exe" "$(winepath -w "$build/dist/VellBatch.exe")" \
    "$(winepath -w "$build/dist/tools")" "$(winepath -w "$top/samples/files")" "${BENCH_DEMO_ROUNDS:-3}"
  wineserver -w
fi
echo
echo "Done (load average $(load))."
