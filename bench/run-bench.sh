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

# P1 analysis: files per second adding a tree through the adder, beside a bare
# walk of the same tree; 10,000 files, BENCH_QUICK=1 for 2,000.
echo
echo "P1 analysis"
vell_build "$build" vell_bench_analysis
wine "$build/bench/vell_bench_analysis.exe"
wineserver -w
