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
echo "  (not measured yet)"

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
